"""The host's own log lines: one per call on standard error, each starting
"kilnguard-watch: "."""

import sys


def log_line(text):
    sys.stderr.write(f"kilnguard-watch: {text}\n")
