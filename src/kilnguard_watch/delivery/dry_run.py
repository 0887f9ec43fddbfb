"""--dry-run: every message printed instead of sent, and the module's
"sent" lines worded as what they are."""

import sys

# The module's success lines, and what they mean in a dry run.
_REWORDED = (("[burn] alert sent (", "[burn] would send alert ("),
             ("[burn] startup snapshot sent (", "[burn] would send startup snapshot ("))


def print_instead_of_sending(text, token, chat_id):
    """Stands in for kilnguard.send_burn_telegram: each piece is printed."""
    print(text, end="\n\n", flush=True)
    return (True, "")


class DryRunStream:
    """Wraps standard error (which the module looks up at each write)."""

    def __init__(self, stream):
        self._stream = stream

    def write(self, text):
        for sent, would in _REWORDED:
            if text.startswith(sent):
                text = would + text[len(sent):]
        return self._stream.write(text)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def reword_stderr():
    if not isinstance(sys.stderr, DryRunStream):
        sys.stderr = DryRunStream(sys.stderr)
