"""The host's own log lines and the one way the host keeps secrets out of a
text. Both rules are the module's own (a line stays one physical line, a
secret is looked for in every form a server may echo it in); the host only
adds its prefix and names its secrets."""

import kilnguard

PREFIX = "kilnguard-watch: "


def log_line(text):
    """One line on standard error, as the module writes its own."""
    kilnguard._log_line(PREFIX + str(text))


def scrub(text, *secrets):
    """The text form of `text` with every form of every secret blotted out;
    empty or missing secrets are skipped."""
    return kilnguard._scrub_secrets(str(text), [secret for secret in secrets if secret])
