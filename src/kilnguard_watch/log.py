"""The host's own log lines and the one way the host keeps secrets out of a
text. Both rules are the module's own (a line stays one physical line, a
secret is looked for in every form a server may echo it in); the host only
adds its prefix, the line's priority when the journal reads it, and names
its secrets."""

import enum
import os
import sys

import kilnguard

PREFIX = "kilnguard-watch: "


class Level(enum.IntEnum):
    """syslog priorities, as sd-daemon(3) numbers them."""
    ERROR = 3
    WARNING = 4
    INFO = 6


ERROR, WARNING, INFO = Level.ERROR, Level.WARNING, Level.INFO


def stderr_is_journal():
    """Whether standard error is systemd's journal stream, told as systemd
    documents it: JOURNAL_STREAM names the stream's device and inode, and
    they are those of our standard error. The variable alone is not enough:
    a child of the service inherits it with its standard error sent
    elsewhere, and the priority prefix would then be noise in a file.
    Read at each line, like every other setting."""
    stream = os.environ.get("JOURNAL_STREAM")
    if not stream:
        return False
    try:
        status = os.fstat(sys.stderr.fileno())
    except (AttributeError, ValueError, OSError):  # replaced, closed or detached
        return False
    return stream == f"{status.st_dev}:{status.st_ino}"


def log_line(text, level=INFO):
    """One line on standard error, as the module writes its own. Under the
    journal it begins with its priority (`<3>` error, `<4>` warning, `<6>`
    info), so `journalctl -p warning` shows what needs a look; journald
    takes the prefix off. It goes in front of the whole line, where journald
    looks for it, and the module's one-line rule then applies to it all."""
    level = Level(level)
    priority = f"<{level.value}>" if stderr_is_journal() else ""
    kilnguard._log_line(priority + PREFIX + str(text))


def scrub(text, *secrets):
    """The text form of `text` with every form of every secret blotted out;
    empty or missing secrets are skipped."""
    return kilnguard._scrub_secrets(str(text), [secret for secret in secrets if secret])
