"""What a process needs to pass on to the children a test starts with an
environment of its own: the sanitizer runtime and its settings, when the
suite runs under `make sanitize`. Empty otherwise."""

import os

NAMES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "KILNGUARD_SANITIZED")


def sanitizer_env():
    return {name: os.environ[name] for name in NAMES if name in os.environ}


def default_sigint():
    """preexec_fn for a child that is to be interrupted: a shell that started
    the suite in the background leaves SIGINT ignored, and Python then never
    installs its KeyboardInterrupt handler."""
    import signal

    signal.signal(signal.SIGINT, signal.SIG_DFL)
