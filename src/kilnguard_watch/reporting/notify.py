"""Telling systemd how the service is doing (Type=notify): READY=1 once the
first pass is done, STATUS= with the last pass's outcome, WATCHDOG=1 while
the loop waits, STOPPING=1 on the way out.

The protocol (sd_notify(3)) is a datagram of newline-separated VAR=value
assignments sent to the AF_UNIX socket named by $NOTIFY_SOCKET; a name that
starts with "@" is in the abstract namespace, where the "@" stands for a
leading NUL byte. systemd sets WATCHDOG_USEC (and WATCHDOG_PID, the process
it expects to hear from) when the unit has WatchdogSec=. Without
$NOTIFY_SOCKET every call does nothing, so the program runs the same way
outside systemd."""

import os
import socket
import time

# A status line is shown by `systemctl status`; keep it to one short line.
STATUS_LIMIT = 200
# Pings go out at most this often, however often the loop checks in.
PING_SPACING = 1.0


def socket_address(name):
    """The address to send to for a $NOTIFY_SOCKET value, or None for one
    this program cannot use (empty, or a kind other than a file-system or
    abstract AF_UNIX socket)."""
    if name.startswith("/"):
        return name
    if name.startswith("@") and len(name) > 1:
        return "\0" + name[1:]
    return None


def watchdog_interval(environ, pid):
    """Seconds within which systemd wants a WATCHDOG=1, or None when no
    watchdog is set up for this process."""
    try:
        usec = int(environ.get("WATCHDOG_USEC", ""))
    except ValueError:
        return None
    expected = environ.get("WATCHDOG_PID", "")
    if usec <= 0 or (expected and expected != str(pid)):
        return None
    return usec / 1e6


class Notifier:
    def __init__(self, environ=os.environ, log=None, clock=time.monotonic):
        name = environ.get("NOTIFY_SOCKET", "")
        self._address = socket_address(name)
        self._log = log
        self._clock = clock
        self._warned = set()  # kinds of failure already logged
        self._last_ping = None
        self.ready_sent = False
        self.watchdog = watchdog_interval(environ, os.getpid()) if self._address else None
        if name and self._address is None and log is not None:
            log(f"NOTIFY_SOCKET={name!r} is not a unix socket this program can use; "
                f"systemd will not hear from it")

    @property
    def enabled(self):
        return self._address is not None

    def send(self, *assignments):
        """Sends one datagram without ever waiting: a socket nobody reads
        (its buffer full) must not stop the passes, the pause file or
        SIGTERM. A datagram that cannot go is skipped; each kind of failure
        is logged once (systemd's own time-outs tell the operator)."""
        if self._address is None:
            return False
        message = "\n".join(assignments).encode("utf-8", "replace")
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC
                               | socket.SOCK_NONBLOCK) as sock:
                sock.sendto(message, self._address)
        except BlockingIOError:
            self._warn_once("full", "systemd's notify socket is full (nobody reads it); "
                                    "skipping notifications while it stays full")
            return False
        except OSError as error:
            self._warn_once("failed", f"cannot notify systemd: {error.strerror or error}")
            return False
        return True

    def _warn_once(self, kind, text):
        if kind not in self._warned and self._log is not None:
            self._log(text)
        self._warned.add(kind)

    def ready(self, status):
        """READY=1 the first time, a status line every time."""
        status = "STATUS=" + one_line(status)
        if self.ready_sent:
            self.send(status)
        else:
            self.ready_sent = self.send("READY=1", status)

    def ping(self):
        """WATCHDOG=1, at most once a second. The loop calls this about once
        a second while it waits; being waiting also means being ready, for a
        start that ran no pass first."""
        if not self.ready_sent:
            self.ready("waiting for the first pass")
        if self.watchdog is None:
            return
        now = self._clock()
        if self._last_ping is None or now - self._last_ping >= min(PING_SPACING, self.watchdog / 2):
            self._last_ping = now
            self.send("WATCHDOG=1")

    def stopping(self, status):
        self.send("STOPPING=1", "STATUS=" + one_line(status))


def one_line(text):
    text = " ".join(str(text).split())
    return text if len(text) <= STATUS_LIMIT else text[:STATUS_LIMIT - 1] + "…"
