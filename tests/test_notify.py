"""The systemd notify protocol, heard on a socket the test binds."""

import os
import socket

import pytest

from kilnguard_watch.reporting.notify import Notifier, socket_address


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


@pytest.fixture(params=["path", "abstract"])
def listener(request, tmp_path):
    """A datagram socket standing in for systemd's, and the $NOTIFY_SOCKET
    value naming it."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    if request.param == "path":
        name = str(tmp_path / "notify")
        sock.bind(name)
    else:
        sock.bind(f"\0kilnguard-test-{os.getpid()}-{id(sock)}")
        name = "@" + sock.getsockname()[1:].decode()
    sock.settimeout(5)
    yield sock, name
    sock.close()


def received(sock):
    """Every datagram waiting on the socket."""
    messages = []
    sock.setblocking(False)
    try:
        while True:
            messages.append(sock.recv(4096).decode())
    except BlockingIOError:
        return messages
    finally:
        sock.settimeout(5)


def test_ready_status_watchdog_and_stopping(listener):
    sock, name = listener
    clock = Clock()
    notifier = Notifier({"NOTIFY_SOCKET": name, "WATCHDOG_USEC": "4000000",
                         "WATCHDOG_PID": str(os.getpid())}, clock=clock)
    assert notifier.enabled and notifier.watchdog == 4.0
    notifier.ready("pass ok: 129 subnets\n2 changed")
    notifier.ready("pass failed: no listing")
    notifier.ping()
    clock.now += 0.5
    notifier.ping()  # too soon after the last ping
    clock.now += 0.6
    notifier.ping()
    notifier.stopping("paused")
    assert received(sock) == ["READY=1\nSTATUS=pass ok: 129 subnets 2 changed",
                              "STATUS=pass failed: no listing", "WATCHDOG=1", "WATCHDOG=1",
                              "STOPPING=1\nSTATUS=paused"]


def test_waiting_before_any_pass_counts_as_ready(listener):
    sock, name = listener
    notifier = Notifier({"NOTIFY_SOCKET": name})
    notifier.ping()
    notifier.ping()
    # No WATCHDOG_USEC: no watchdog pings, but systemd still learns that the
    # service is up.
    assert received(sock) == ["READY=1\nSTATUS=waiting for the first pass"]


@pytest.mark.parametrize("environ, interval", [
    ({"WATCHDOG_USEC": "30000000"}, 30.0),
    ({"WATCHDOG_USEC": "30000000", "WATCHDOG_PID": "1"}, None),  # meant for another process
    ({"WATCHDOG_USEC": "0"}, None),
    ({"WATCHDOG_USEC": "soon"}, None),
    ({}, None),
], ids=["set", "other-pid", "zero", "garbage", "unset"])
def test_watchdog_interval(tmp_path, environ, interval):
    notifier = Notifier({"NOTIFY_SOCKET": str(tmp_path / "s"), **environ})
    assert notifier.watchdog == interval


@pytest.mark.parametrize("name, address", [
    ("/run/systemd/notify", "/run/systemd/notify"),
    ("@/org/freedesktop/systemd1/notify/123", "\0/org/freedesktop/systemd1/notify/123"),
    ("@", None),
    ("", None),
    ("vsock:2:1234", None),
    ("relative/path", None),
], ids=["path", "abstract", "bare-at", "empty", "vsock", "relative"])
def test_socket_address(name, address):
    assert socket_address(name) == address


def test_an_unusable_socket_is_logged_once_and_never_raises(tmp_path):
    lines = []
    notifier = Notifier({"NOTIFY_SOCKET": str(tmp_path / "gone"), "WATCHDOG_USEC": "1"},
                        log=lines.append)
    notifier.ready("pass ok")
    notifier.ping()
    notifier.stopping("paused")
    assert lines == ["cannot notify systemd: No such file or directory"]


def test_an_unsupported_socket_kind_is_named_and_ignored():
    lines = []
    notifier = Notifier({"NOTIFY_SOCKET": "vsock:2:1234"}, log=lines.append)
    notifier.ready("pass ok")
    assert not notifier.enabled
    assert lines == ["NOTIFY_SOCKET='vsock:2:1234' is not a unix socket this program can use; "
                     "systemd will not hear from it"]

