"""kilnguard-watch's reports about itself, from the real process: the
heartbeat after each pass, systemd's notify datagrams, the Taostats key from
a credential file, and the flags that can never work."""

import json
import os
import signal
import socket
import subprocess
import sys

import kilnguard
import pytest

from child_env import watch_env
from fake_taostats import Reply, subnet_listing, throttled
from fake_telegram import BAD_GATEWAY_PAGE
from kilnguard_watch import seam as wiring
from kilnguard_watch.delivery.chats import Chat

SECRET = "0b3c7f5e-hc-uuid-4d2a"


def _spoil_state(watcher):
    # The state file leads to a folder that is gone: saving the rates raises
    # after the listing came.
    watcher.state.symlink_to(watcher.state.parent / "gone" / "burn_state.json")
    watcher.listing({n: "0" for n in range(5)})


def _alert_not_taken(watcher):
    watcher.listing({n: "0" for n in range(5)})
    assert watcher.run("--once").returncode == 0
    watcher.listing({n: "1" for n in range(5)})
    watcher.telegram.answer_method("sendMessage", BAD_GATEWAY_PAGE)


HEALTHCHECKS = f"/{SECRET}"
KUMA = f"/api/push/{SECRET}?status=up&msg=OK"


@pytest.mark.parametrize("url, prepare, status, pings", [
    (HEALTHCHECKS, lambda w: w.listing({n: "0" for n in range(5)}), 0,
     [("GET", f"/{SECRET}/start", ""), ("GET", f"/{SECRET}", "")]),
    (HEALTHCHECKS, lambda w: w.taostats.reply(Reply(status=500, body="upstream down")), 1,
     [("GET", f"/{SECRET}/start", ""), ("POST", f"/{SECRET}/fail", '"http_status": 500')]),
    (HEALTHCHECKS, _spoil_state, 1,
     [("GET", f"/{SECRET}/start", ""), ("POST", f"/{SECRET}/fail", "pass error: ")]),
    (HEALTHCHECKS, _alert_not_taken, 1,
     [("GET", f"/{SECRET}/start", ""), ("POST", f"/{SECRET}/fail", "1 message(s) wait")]),
    (KUMA, lambda w: w.listing({n: "0" for n in range(5)}), 0, [("GET", KUMA, "")]),
    (KUMA, lambda w: w.taostats.reply(Reply(status=500, body="upstream down")), 1,
     [("GET", f"/api/push/{SECRET}?status=down&msg=pass+failed%3A+", "")]),
], ids=["listing", "no-listing", "raised-after-listing", "alert-not-taken", "push-up", "push-down"])
def test_heartbeat_says_when_a_pass_starts_and_how_it_went(watcher, ping_service, url, prepare,
                                                          status, pings):
    prepare(watcher)
    ping_service.reply(*[Reply(body="OK")] * 2)
    done = watcher.run("--once", "--heartbeat-url", ping_service.url + url)
    assert done.returncode == status, done.stderr
    seen = [(r.method, r.target, r.body.decode()) for r in ping_service.requests]
    assert [(method, target[:len(want)]) for (method, target, _), (_, want, _) in zip(seen, pings)] \
        == [(method, want) for method, want, _ in pings] and len(seen) == len(pings), seen
    for (_, _, body), (_, _, part) in zip(seen, pings):
        assert part in body and len(body.encode()) <= 1024 and watcher.KEY not in body
    assert SECRET not in done.stderr


def test_systemd_hears_ready_status_watchdog_and_stopping(watcher, tmp_path):
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(str(tmp_path / "notify"))
    notify.settimeout(30)
    watcher.listing({n: "0.5" for n in range(5)})
    child = watcher.start("--pause-file", str(watcher.pause), NOTIFY_SOCKET=str(tmp_path / "notify"),
                          WATCHDOG_USEC="2000000")
    try:
        ready = notify.recv(4096).decode()
        assert ready.startswith("READY=1\nSTATUS=snapshot ok: 5 subnets, 0 changed, "), ready
        # The loop now waits a minute, testing the pause file every second.
        assert [notify.recv(4096) for _ in range(2)] == [b"WATCHDOG=1"] * 2
        watcher.pause.write_text("")
        while (message := notify.recv(4096)) == b"WATCHDOG=1":
            pass
        assert message == b"STOPPING=1\nSTATUS=stopped"
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
        child.communicate()
        notify.close()


def test_the_taostats_key_comes_from_its_file(watcher, tmp_path):
    key_file = tmp_path / "taostats-api-key"
    key_file.write_text("key-from-a-credential-file\n")
    watcher.listing({n: "0" for n in range(3)})
    done = watcher.run("--once", "--taostats-key-file", str(key_file), TAOSTATS_API_KEY="")
    assert done.returncode == 0, done.stderr
    assert [r.header("Authorization") for r in watcher.taostats.requests] == ["key-from-a-credential-file"]


def test_a_metrics_port_in_use_ends_the_start_with_status_1(watcher):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        address = f"127.0.0.1:{taken.getsockname()[1]}"
        done = watcher.run("--metrics-listen", address)
    assert (done.returncode, done.stderr) == (
        1, f"kilnguard-watch: cannot listen on {address}: Address already in use\n")
    assert watcher.taostats.requests == []


@pytest.mark.parametrize("args, message", [
    (["--metrics-listen", "9817"],
     "--metrics-listen wants HOST:PORT with a port from 1 to 65535, not '9817'"),
    (["--heartbeat-url", f"hc-ping.com/{SECRET}"],
     "--heartbeat-url must be an http:// or https:// URL with a host (value not shown: it is a secret)"),
    (["--taostats-key-file", "/nonexistent/key"],
     "cannot read --taostats-key-file /nonexistent/key: No such file or directory"),
    (["--taostats-key-file", "{tmp}/empty"], "--taostats-key-file {tmp}/empty is empty"),
    (["--token-file", "{tmp}/empty"], "--token-file {tmp}/empty is empty"),
    # Nothing writes into the FIFO: reading it would wait for ever.
    (["--taostats-key-file", "{tmp}/fifo"], "--taostats-key-file {tmp}/fifo is a FIFO, not a regular file"),
    (["--token-file", "{tmp}/fifo"], "--token-file {tmp}/fifo is a FIFO, not a regular file"),
    (["--taostats-key-file", "/dev/zero"],
     "--taostats-key-file /dev/zero is a character device, not a regular file"),
    (["--token-file", "{tmp}/spaced"], "--token-file holds a space, a control character or non-ASCII "
                                        "text (value not shown: it is a secret)"),
], ids=["listen-without-host", "heartbeat-without-scheme", "unreadable-key-file", "empty-key-file", "empty-token-file",
        "fifo-key-file", "fifo-token-file", "device-key-file", "token-with-a-space"])
def test_flags_that_can_never_work_give_one_line_and_status_2(tmp_path, args, message):
    (tmp_path / "empty").write_text("\n")
    (tmp_path / "spaced").write_text("123456:secret token\n")
    os.mkfifo(tmp_path / "fifo")
    args = [arg.format(tmp=tmp_path) for arg in args]
    done = subprocess.run([sys.executable, "-m", "kilnguard_watch", "--state", str(tmp_path / "s.json"),
                           *args], env=watch_env(TAOSTATS_API_KEY="k", TELEGRAM_BOT_TOKEN="t",
                                                 TELEGRAM_CHAT_ID="1"),
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (2, f"kilnguard-watch: {message.format(tmp=tmp_path)}\n")
    assert "secret token" not in done.stderr


def test_the_wiring_counts_throttled_answers_and_hears_the_loop_wait(
        tmp_path, fake_taostats, telegram, sleeps, monkeypatch):
    monkeypatch.setenv("TAOSTATS_API_KEY", "taostats-api-key-123")
    state = str(tmp_path / "burn_state.json")
    host = wiring.install(kilnguard, wiring.Settings(state, "123:token", [Chat("7")]), log=print)
    try:
        outcomes, waits = [], []
        host.observers.subscribe(outcomes.append)
        host.waiting.subscribe(waits.append)
        fake_taostats.reply(throttled(1), throttled(2), Reply(body=json.dumps(subnet_listing(4))))
        kilnguard.run_kilnguard_once(state_path=state, threshold=0.01, burn_token="123:token",
                                     burn_chat_id="7")
        assert [o.taostats_throttled for o in outcomes] == [2]
        # The module's own wait tests the pause file through its late binding:
        # before each of the steps 1, 1, 0.5 and once at the end.
        assert kilnguard._sleep_until_interval(2.5, "") is True
        assert waits == [False] * 4
    finally:
        host.uninstall()


def test_the_loops_passes_ping_start_right_before_they_run(watcher, ping_service, sleeps, monkeypatch):
    """The command line in this process, its waits recorded: the start of a
    pass the loop runs is seen only through the loop's tests of the pause
    file, counted from the last pass."""
    from kilnguard_watch.cli import main as cli

    for name in wiring.REPLACED:  # put back what the run installs
        monkeypatch.setattr(kilnguard, name, getattr(kilnguard, name))
    monkeypatch.setattr(signal, "signal", lambda *args: None)
    for name, value in watcher.settings.items():
        monkeypatch.setenv(name, value)
    watcher.listing({n: "0" for n in range(5)})
    watcher.listing({n: "0" for n in range(5)})
    ping_service.reply(*[Reply(body="OK")] * 4)
    taostats_seen = []

    def note(count):
        taostats_seen.append((count, len(watcher.taostats.requests), len(ping_service.requests)))
        if len(ping_service.requests) == 4 or count > 400:
            watcher.pause.write_text("")
    sleeps.on_sleep = note
    assert cli.main(["--state", str(watcher.state), "--pause-file", str(watcher.pause),
                     "--interval", "1.01", "--heartbeat-url", f"{ping_service.url}/{SECRET}"]) == 0
    assert [r.target for r in ping_service.requests] == [f"/{SECRET}/start", f"/{SECRET}"] * 2
    # The second start came after the whole wait (61 steps for 60.6 s), not during it.
    assert [seen for seen in taostats_seen if seen[0] == 61] == [(61, 1, 2)]
