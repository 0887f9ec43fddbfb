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


def watch_env(**settings):
    """The environment of a kilnguard-watch child: this interpreter's import
    path, loopback without proxies, the sanitizer runtime, and `settings`."""
    import sys

    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONPATH": os.pathsep.join(sys.path),
           "no_proxy": "127.0.0.1", **sanitizer_env()}
    env.update(settings)
    return env
