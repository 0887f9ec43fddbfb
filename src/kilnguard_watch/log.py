"""The host's own log lines: one per call on standard error, each starting
"kilnguard-watch: ", and the one way the host keeps secrets out of a text."""

import sys

from kilnguard_watch.delivery import telegram as _telegram


def log_line(text):
    sys.stderr.write(f"kilnguard-watch: {text}\n")


def scrub(text, *secrets):
    """`text` with every form of every secret blotted out."""
    return _telegram.scrub(str(text), *secrets)
