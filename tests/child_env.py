"""What a process needs to pass on to the children a test starts with an
environment of its own: the sanitizer runtime and its settings, when the
suite runs under `make sanitize`. Empty otherwise."""

import os

NAMES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "KILNGUARD_SANITIZED")


def sanitizer_env():
    return {name: os.environ[name] for name in NAMES if name in os.environ}


# Sets SIGINT back to its default action, then becomes the command in argv.
# SIG_DFL survives exec (SIG_IGN would too), and Python then installs its
# KeyboardInterrupt handler.
_RESTORE_SIGINT = ("import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                   "os.execv(sys.argv[1], sys.argv[1:])")


def interruptible(argv):
    """The command line that runs `argv` (an absolute program path first) so
    that Ctrl-C reaches it: a shell that started the suite in the background
    leaves SIGINT ignored, and Python then never installs its
    KeyboardInterrupt handler. A small launcher does it rather than a
    preexec_fn, which runs Python code between fork and exec: with the fake
    servers' threads running, a lock one of them held at the fork is never
    released in the child, which then hangs (seen under the sanitizers)."""
    import sys

    return [sys.executable, "-c", _RESTORE_SIGINT, *argv]


def watch_env(**settings):
    """The environment of a kilnguard-watch child: this interpreter's import
    path, loopback without proxies, the sanitizer runtime, and `settings`."""
    import sys

    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONPATH": os.pathsep.join(sys.path),
           "no_proxy": "127.0.0.1", **sanitizer_env()}
    env.update(settings)
    return env
