"""kilnguard-watch against hostile or unlucky surroundings, as the real
process: things at its paths that are not files, a state folder that cannot
be written, an output that cannot encode an arrow, a notify socket nobody
reads, ping and Bot API servers that trickle, and idle clients crowding the
metrics endpoint. None of them may hang it, stop it for good or leak a
secret."""

import dataclasses
import os
import shutil
import signal
import socket
import subprocess
import urllib.request

import kilnguard
import pytest

from fake_taostats import Reply, refused_port, wait_until
from kilnguard_watch.delivery import telegram as telegram_api

SECRET = "9d2c41f0-ping-uuid-77ab"


def _can_remount_read_only():
    if shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "--map-root-user", "--mount", "true"],
                          capture_output=True).returncode == 0


def read_only(watcher):
    """The command runs with the state folder mounted read-only (as after a
    remount), in a mount namespace of its own."""
    folder = str(watcher.state.parent)
    return ["unshare", "--map-root-user", "--mount", "sh", "-c",
            f'mount --bind "{folder}" "{folder}" && mount -o remount,bind,ro "{folder}" && exec "$@"',
            "sh"]


def full_notify_socket(watcher):
    """A notify socket whose buffer is full: nobody reads it."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(str(watcher.state.parent / "notify"))
    filler = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    filler.setblocking(False)
    try:
        while True:
            filler.sendto(b"X" * 512, str(watcher.state.parent / "notify"))
    except BlockingIOError:
        pass
    watcher.keep = (sock, filler)
    return {"NOTIFY_SOCKET": str(watcher.state.parent / "notify")}


@dataclasses.dataclass
class Situation:
    args: tuple = ()
    settings: dict = dataclasses.field(default_factory=dict)
    prepare: object = None  # prepare(watcher) -> more settings
    stored: dict | None = None  # rates in the state file before the run
    prefix: object = None  # prefix(watcher) -> the command line in front
    status: int = 0
    err: str = ""  # a line the log must hold
    out: str = ""  # text standard output must hold
    alerted: bool = False  # the alert for the stored rates reached Telegram


SITUATIONS = {
    # A FIFO with no writer would hang the start in open(); a file that is
    # not a database is never replaced. Either way the alert still goes out.
    "database-is-a-fifo": Situation(
        prepare=lambda w: os.mkfifo(w.database), stored={"3": "0.18"}, alerted=True,
        err="kilnguard-watch: cannot use the database {database} ({database} is a FIFO, not a "
            "regular file): left it as it is; until it is repaired or moved away, undelivered "
            "messages and baselines are kept in memory only\n"),
    "database-is-not-a-database": Situation(
        prepare=lambda w: w.database.write_bytes(b"kept by hand\n" * 100) and None, stored={"3": "0.18"},
        alerted=True,
        err="kilnguard-watch: cannot use the database {database} (file is not a database): left "
            "it as it is; until it is repaired or moved away, undelivered messages and "
            "baselines are kept in memory only\n"),
    # A remount or a full disk clears by itself: no status 2 (systemd would
    # never restart the service), the pass fails and --once says so.
    "state-folder-read-only": pytest.param(Situation(
        prefix=read_only, status=1,
        err="kilnguard-watch: --state {state}: cannot write in folder {folder} now "
            "(Read-only file system); passes fail until it can be written\n"),
        marks=pytest.mark.skipif(not _can_remount_read_only(),
                                 reason="no mount namespace for a read-only remount")),
    "ascii-output": Situation(
        args=("--dry-run",), settings={"PYTHONIOENCODING": "ascii"}, stored={"3": "0.18"},
        out="SN3: 0.1800 \\u2192 0.2500\n"),
    "notify-socket-full": Situation(
        prepare=full_notify_socket,
        err="kilnguard-watch: systemd's notify socket is full (nobody reads it); skipping "
            "notifications while it stays full\n"),
}


@pytest.mark.parametrize("situation", list(SITUATIONS.values()), ids=list(SITUATIONS))
def test_hostile_surroundings_neither_hang_nor_stop_it_for_good(watcher, situation):
    if situation.stored is not None:
        kilnguard.save_burn_state(str(watcher.state), situation.stored, "2026-12-01T00:00:00Z")
    settings = dict(situation.settings)
    if situation.prepare is not None:
        settings.update(situation.prepare(watcher) or {})
    watcher.listing({0: "0", 1: "0", 2: "0", 3: "0.25"})
    command = watcher.command("--once", *situation.args)
    if situation.prefix is not None:
        command = situation.prefix(watcher) + command
    from child_env import watch_env
    done = subprocess.run(command, env=watch_env(**{**watcher.settings, **settings}),
                          capture_output=True, text=True, timeout=90)
    places = {"database": watcher.database, "state": watcher.state, "folder": watcher.state.parent}
    assert done.returncode == situation.status, done.stderr
    assert situation.err.format(**places) in done.stderr
    assert done.stderr.count(situation.err.format(**places)) == 1 or not situation.err
    assert situation.out in done.stdout
    assert bool(watcher.telegram.delivered()) == situation.alerted
    if situation.prepare is not None and "database" in str(situation.err):
        assert not watcher.database.is_file() or watcher.database.read_bytes().startswith(b"kept")
    for secret in (watcher.TOKEN, watcher.KEY):
        assert secret not in done.stdout + done.stderr


@pytest.mark.slow
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)],
                         ids=["ctrl-c", "sigterm"])
def test_signals_end_a_pass_held_by_a_trickling_ping(watcher, ping_service, signum, status):
    watcher.listing({n: "0" for n in range(3)})
    ping_service.reply(Reply(trickle=5.0, body="OK"))
    child = watcher.start("--once", "--heartbeat-url", f"{ping_service.url}/{SECRET}")
    try:
        wait_until(ping_service.request_seen.is_set, timeout=60)
        child.send_signal(signum)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == status, err
    assert "Traceback" not in err and SECRET not in err


@pytest.mark.slow
@pytest.mark.parametrize("reply, message", [
    # Never a 30 s pause, so only an overall deadline ends it.
    (Reply(trickle=0.2, body='{"ok": true, "result": {}}'), "no answer within 1 s"),
    (Reply(chunks=iter(lambda: b" " * 65536, None)), "HTTP 200, a reply of over 1024 KiB: "
                                                      "not a Bot API reply"),
], ids=["trickled", "endless"])
def test_a_bot_api_answer_cannot_hold_the_start(telegram, monkeypatch, reply, message):
    monkeypatch.setattr(telegram_api, "TIMEOUT_SECONDS", 1)
    telegram.answer_method("getMe", reply)
    with pytest.raises(telegram_api.Unreachable) as unreachable:
        telegram_api.call("getMe", "123456:ABCDEFGHsecret")
    assert str(unreachable.value) == message


def open_descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def scrape(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=30) as answer:
        return answer.read().decode()


@pytest.mark.slow
def test_idle_clients_cannot_take_the_monitors_descriptors_or_keep_scrapes_out(watcher):
    port = refused_port()
    watcher.listing({n: "0.5" for n in range(5)})
    child = watcher.start("--metrics-listen", f"127.0.0.1:{port}", "--pause-file", str(watcher.pause))
    idle = []
    try:
        wait_until(lambda: watcher.telegram.delivered(), timeout=60)  # the snapshot went out
        before = open_descriptors(child.pid)
        for _ in range(200):
            idle.append(socket.create_connection(("127.0.0.1", port), timeout=10))
        for _ in range(3):
            assert "kilnguard_subnets 5.0" in scrape(port)
        # Sixteen connections at most, however many clients wait.
        assert open_descriptors(child.pid) <= before + 16
        watcher.pause.write_text("")
        assert child.wait(timeout=60) == 0
    finally:
        for sock in idle:
            sock.close()
        child.kill()
        child.communicate()
