"""What kilnguard-watch promises an operator who leaves it alone: every
change reaches the chat at least once (none twice where nothing failed), no
change is missed across a restart, its own failures reach the chat, and a
setting that can never work ends it with status 78. Each test drives the
real process against the loopback fakes, pass by pass with --once (the
outbox and health record carry over between runs as between passes), or
the loop where the loop is the point."""

import json
import signal

import pytest

from fake_taostats import Reply, refused_port, wait_until
from fake_telegram import (BAD_GATEWAY_PAGE, BLOCKED, CHAT_NOT_FOUND, UNAUTHORIZED, api_error,
                           api_method, json_reply)

SUBNETS = 20


def change_line(netuid, old, new):
    return f"SN{netuid}: {float(old):.4f} → {float(new):.4f}"


def drifting_passes(passes, per_pass):
    """Listings for `passes` passes over SUBNETS subnets: the first seeds,
    each later one moves `per_pass` subnets by at least 0.04. Gives the
    listings and the change lines each pass must alert."""
    rates = {n: "0" for n in range(SUBNETS)}
    listings, expected = [dict(rates)], [[]]
    for p in range(1, passes):
        lines = []
        for i in range(per_pass):
            netuid = (per_pass * p + i) % SUBNETS
            new = f"0.{10 + p}"
            lines.append((netuid, change_line(netuid, rates[netuid], new)))
            rates[netuid] = new
        listings.append(dict(rates))
        expected.append([line for _, line in sorted(lines)])
    return listings, expected


def delivered_lines(telegram):
    return [line for text in telegram.delivered() for line in text.splitlines()
            if line.startswith("SN")]


THROTTLED_LONG = json_reply(429, {"ok": False, "error_code": 429,
                                  "description": "Too Many Requests: retry after 120",
                                  "parameters": {"retry_after": 120}})


@pytest.mark.parametrize("failing, reply", [
    ({5}, BAD_GATEWAY_PAGE),
    ({5}, THROTTLED_LONG),
    ({5}, "down"),
    ({5, 6, 7}, "down"),
], ids=["502-one-pass", "429-one-pass", "down-one-pass", "down-15-minutes"])
def test_every_change_of_twelve_passes_arrives_once(watcher, failing, reply):
    listings, expected = drifting_passes(12, 5)
    assert sum(map(len, expected)) == 55
    for number, rates in enumerate(listings):
        watcher.listing(rates)
        settings = {}
        if number in failing:
            if reply == "down":
                settings["TELEGRAM_API_BASE"] = f"http://127.0.0.1:{refused_port()}"
            else:
                watcher.telegram.answer_method("sendMessage", reply)
        done = watcher.run("--once", **settings)
        assert done.returncode == (1 if number in failing else 0), done.stderr
        assert bool(watcher.outbox_texts()) == (number in failing)
    assert delivered_lines(watcher.telegram) == [line for lines in expected for line in lines]


def test_a_long_alert_whose_second_piece_fails_sends_each_piece_once(watcher):
    old = {n: "0" for n in range(200)}
    new = {n: "0.5" for n in range(200)}
    watcher.listing(old)
    assert watcher.run("--once").returncode == 0
    watcher.listing(new)
    watcher.telegram.answer_method("sendMessage", json_reply(200, {"ok": True}), BAD_GATEWAY_PAGE)
    first = watcher.run("--once")
    assert first.returncode == 1 and "1 message(s) wait in the outbox: <html>" in first.stderr
    watcher.listing(new)
    second = watcher.run("--once")
    assert second.returncode == 0 and watcher.outbox_texts() == []
    pieces = watcher.telegram.delivered()
    assert [p.split("\n", 1)[0] for p in pieces] == ["(1/2)", "(2/2)"]
    assert sorted(delivered_lines(watcher.telegram)) == sorted(change_line(n, "0", "0.5")
                                                              for n in range(200))


@pytest.mark.parametrize("stored, args, expect", [
    (True, [], "alert"),
    (True, ["--snapshot", "never"], "alert"),
    (True, ["--snapshot", "always"], "snapshot"),
    (False, [], "snapshot"),
], ids=["auto-with-state", "never", "always", "auto-without-state"])
def test_restart_reports_what_changed_while_stopped(watcher, stored, args, expect):
    before = {n: "0" for n in range(SUBNETS)}
    after = {**before, **{n: "1" for n in range(5)}}
    if stored:
        watcher.listing(before)
        assert watcher.run("--once").returncode == 0
    watcher.listing(after)
    child = watcher.start("--pause-file", str(watcher.pause), *args)
    wait_until(lambda: watcher.telegram.delivered())
    watcher.pause.write_text("")
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    [message] = watcher.telegram.delivered()
    if expect == "alert":
        assert message.startswith("Owner burn rate changed")
        assert delivered_lines(watcher.telegram) == [change_line(n, "0", "1") for n in range(5)]
    else:
        assert message.startswith("Subnet owner burn rates (startup)")
    assert err.endswith("[burn] monitoring paused\n")


def _renamed(document, old, new):
    for row in document["data"]:
        row[new] = row.pop(old)
    return document


@pytest.mark.parametrize("spoil, reason", [
    (lambda d: _renamed(d, "netuid", "subnet_id"), "none names a subnet"),
    (lambda d: _renamed(d, "incentive_burn", "owner_burn"), "no row has a burn rate"),
    (lambda d: {"pagination": {**d["pagination"], "total_items": 8}, "data": d["data"][:8]},
     "fewer than half of the 20 stored"),
    (lambda d: {**d, "pagination": {**d["pagination"], "total_items": 40}}, "cut short"),
    (lambda d: {**d, "pagination": {**d["pagination"], "next_page": 2}}, "cut short"),
], ids=["netuid-renamed", "rate-renamed", "half-missing", "total-items", "next-page"])
def test_a_visibly_wrong_listing_keeps_the_baseline_and_is_reported(watcher, spoil, reason):
    from fake_taostats import subnet_listing

    rates = {n: "0" for n in range(SUBNETS)}
    watcher.listing(rates)
    assert watcher.run("--once").returncode == 0
    stored = watcher.state.read_text()
    changed = {**rates, 3: "0.5"}
    document = spoil(subnet_listing(SUBNETS, changed))
    watcher.taostats.reply(Reply(body=json.dumps(document)))
    bad = watcher.run("--once")
    assert bad.returncode == 1 and '"error": "listing_looks_wrong"' in bad.stderr and reason in bad.stderr
    # The chat's text names the program; the log line names it once.
    assert "kilnguard-watch: the subnet listing looks wrong" in bad.stderr
    assert "kilnguard-watch: kilnguard-watch:" not in bad.stderr
    assert watcher.state.read_text() == stored
    [report] = watcher.telegram.delivered()
    assert report.startswith("kilnguard-watch: the subnet listing looks wrong") and reason in report
    watcher.listing(changed)
    assert watcher.run("--once").returncode == 0
    alert, recovered = watcher.telegram.delivered()[1:]
    assert change_line(3, "0", "0.5") in alert
    assert recovered.startswith("kilnguard-watch: passes succeed again")


@pytest.mark.parametrize("failure, last_error", [
    (Reply(status=500, body='{"message": "Internal error"}'), '"http_status": 500'),
    (Reply(drop=True), "Last error: "),
], ids=["listing-error", "pass-raises"])
def test_own_failures_reach_the_chat_after_n_passes_and_so_does_recovery(watcher, failure, last_error):
    rates = {n: "0" for n in range(SUBNETS)}
    watcher.listing(rates)
    assert watcher.run("--once").returncode == 0
    for attempt in range(3):
        watcher.taostats.reply(failure)
        assert watcher.run("--once", "--alert-after", "3").returncode == 1
        assert len(watcher.telegram.delivered()) == (1 if attempt == 2 else 0)
    [report] = watcher.telegram.delivered()
    assert "3 passes in a row" in report and "since 20" in report and last_error in report
    assert watcher.KEY not in report and len(report.splitlines()[1]) <= len("Last error: ") + 300
    watcher.listing(rates)
    assert watcher.run("--once", "--alert-after", "3").returncode == 0
    assert watcher.telegram.delivered()[-1].startswith("kilnguard-watch: passes succeed again; "
                                                       "the outage lasted ")


@pytest.mark.parametrize("mode", [["--once"], []], ids=["once", "loop"])
@pytest.mark.parametrize("script, line", [
    (("telegram", "getMe", UNAUTHORIZED), "Telegram refuses TELEGRAM_BOT_TOKEN (Unauthorized)"),
    (("telegram", "getChat", CHAT_NOT_FOUND), "Telegram refuses chat 12345 (Bad Request: chat not found)"),
    (("telegram", "getChat", BLOCKED), "Telegram refuses chat 12345 (Forbidden: bot was blocked"),
    (("taostats", None, Reply(status=401, body='{"message": "Invalid API key"}')),
     "Taostats refuses TAOSTATS_API_KEY (HTTP 401)"),
    (("taostats", None, Reply(status=403, body="<html>denied</html>")),
     "Taostats refuses TAOSTATS_API_KEY (HTTP 403)"),
], ids=["token", "chat-not-found", "bot-blocked", "taostats-401", "taostats-403"])
def test_a_refused_setting_ends_the_program_with_status_78(watcher, mode, script, line):
    service, method, reply = script
    if service == "telegram":
        watcher.telegram.answer_method(method, reply)
    else:
        watcher.taostats.reply(reply)
    done = watcher.run(*mode, "--pause-file", str(watcher.pause))
    assert done.returncode == 78, done.stderr
    # The module's own line of the refused answer may come first.
    lines = done.stderr.splitlines()
    assert lines[-1].startswith(f"kilnguard-watch: {line}") and len(lines) <= 2, lines
    assert all(line.startswith("[burn] ") for line in lines[:-1])
    assert watcher.TOKEN not in done.stderr and watcher.KEY not in done.stderr
    assert not watcher.state.exists()


@pytest.mark.parametrize("reply, line", [
    (UNAUTHORIZED, "Telegram refuses the bot token (Unauthorized)"),
    (api_error(400, "Bad Request: not enough rights to send text messages to the chat"),
     "Telegram refuses chat 12345 (Bad Request: not enough rights to send text messages"),
    (api_error(400, "Bad Request: message thread not found"),
     "Telegram refuses chat 12345 (Bad Request: message thread not found)"),
], ids=["token-revoked", "rights-taken", "topic-deleted"])
def test_a_setting_refused_while_running_ends_it_and_keeps_the_alert(watcher, reply, line):
    watcher.listing({n: "0" for n in range(SUBNETS)})
    assert watcher.run("--once").returncode == 0
    watcher.listing({n: "1" for n in range(SUBNETS)})
    watcher.telegram.answer_method("sendMessage", reply)
    done = watcher.run("--once")
    assert done.returncode == 78
    assert f"kilnguard-watch: {line}" in done.stderr
    [waiting] = watcher.outbox_texts()
    assert waiting.startswith("Owner burn rate changed")


@pytest.mark.parametrize("replies, status, lines", [
    ((), 0, ["taostats key: ok", "telegram token: ok", "telegram chat 12345: ok",
             "telegram chat -100678:3: ok", "state folder: ok"]),
    ((CHAT_NOT_FOUND,), 78, ["taostats key: ok", "telegram token: ok",
                             "telegram chat 12345: refused: Telegram refuses chat 12345 (Bad Request: "
                             "chat not found)", "telegram chat -100678:3: ok", "state folder: ok"]),
], ids=["all-good", "chat-not-found"])
def test_check_prints_one_line_per_check(watcher, replies, status, lines):
    watcher.taostats.reply(Reply(body=json.dumps({"pagination": {}, "data": [{"netuid": 0}]})))
    watcher.telegram.answer_method("getChat", *replies)
    done = watcher.run("--check", TELEGRAM_CHAT_ID="12345,-100678:3")
    assert done.returncode == status, done.stderr
    printed = done.stdout.splitlines()
    assert len(printed) == len(lines) and all(p.startswith(l) for p, l in zip(printed, lines))
    assert [r.path.split("?")[0] for r in watcher.taostats.requests] == ["/api/subnet/latest/v1"]


def test_a_short_429_is_waited_out_and_a_moved_group_followed(watcher):
    watcher.listing({n: "0" for n in range(SUBNETS)})
    assert watcher.run("--once").returncode == 0
    watcher.listing({n: "1" if n < 2 else "0" for n in range(SUBNETS)})
    moved = api_error(400, "Bad Request: group chat was upgraded to a supergroup chat",
                      migrate_to_chat_id=-1009876543210)
    watcher.telegram.answer_method(
        "sendMessage",
        json_reply(429, {"ok": False, "error_code": 429, "description": "Too Many Requests: retry after 1",
                         "parameters": {"retry_after": 1}}), moved)
    # The description alone does not name the new chat: the old id asked
    # again (getChat, after the start-up check's) does.
    watcher.telegram.answer_method("getChat", json_reply(200, {"ok": True, "result": {}}), moved)
    done = watcher.run("--once", "--verbose")
    assert done.returncode == 0, done.stderr
    assert "set TELEGRAM_CHAT_ID or --chat-id to -1009876543210" in done.stderr
    assert "kilnguard-watch: pass ok: 20 subnets, 2 changed, " in done.stderr
    sends = [r for r in watcher.telegram.requests if api_method(r) == "sendMessage"]
    assert [r.field("chat_id") for r in sends] == ["12345", "12345", "-1009876543210"]
    assert [r.field("text") for r in sends] == [sends[0].field("text")] * 3
    watcher.listing({n: "0" for n in range(SUBNETS)})
    assert watcher.run("--once").returncode == 0
    assert watcher.telegram.requests[-1].field("chat_id") == "-1009876543210"  # remembered


def test_sigterm_during_once_gives_143(watcher):
    watcher.taostats.reply(Reply(body="{}", delay=30))
    child = watcher.start("--once")
    wait_until(watcher.taostats.request_seen.is_set)
    child.send_signal(signal.SIGTERM)
    out, err = child.communicate(timeout=30)
    assert child.returncode == 143 and "Traceback" not in err


@pytest.mark.parametrize("args, extra", [
    (["--chat-id", "12345"], ""),
    (["--chat-id", "12345:7"], "&message_thread_id=7"),
    (["--chat-id", "12345", "--silent"], "&disable_notification=true"),
    (["--chat-id", "12345:7", "--silent"], "&message_thread_id=7&disable_notification=true"),
], ids=["plain", "topic", "silent", "topic-and-silent"])
def test_telegram_options_reach_the_form_body(watcher, args, extra):
    watcher.listing({0: "0", 1: "0"})
    assert watcher.run("--once", *args).returncode == 0
    watcher.listing({0: "0", 1: "0.25"})
    done = watcher.run("--once", *args)
    assert done.returncode == 0, done.stderr
    [send] = [r for r in watcher.telegram.requests if api_method(r) == "sendMessage"]
    text = send.body.decode().split("&text=", 1)[1].split("&", 1)[0]
    assert send.body.decode() == f"chat_id=12345&text={text}&disable_web_page_preview=true{extra}"
    assert "SN1%3A+0.0000+%E2%86%92+0.2500" in text


def test_two_chats_one_refusing_the_other_gets_every_message_once(watcher):
    listings, expected = drifting_passes(4, 5)
    watcher.telegram.answer_chat("-100222", BLOCKED)
    for number, rates in enumerate(listings):
        watcher.listing(rates)
        done = watcher.run("--once", TELEGRAM_CHAT_ID="111, -100222:5")
        assert done.returncode == (1 if number else 0), done.stderr
        assert "Forbidden: bot was blocked by the user" in done.stderr or not number
    alerts = watcher.telegram.delivered("111")
    assert [line for text in alerts for line in text.splitlines() if line.startswith("SN")] == \
        [line for lines in expected for line in lines]
    assert watcher.telegram.delivered("-100222") == []
    watcher.telegram.answer_chat("-100222", None)  # unblocked: the backlog arrives, in order
    watcher.listing(listings[-1])
    assert watcher.run("--once", TELEGRAM_CHAT_ID="111,-100222:5").returncode == 0
    assert watcher.telegram.delivered("-100222") == alerts
    assert watcher.telegram.delivered("111") == alerts
    assert {r.field("message_thread_id") for r in watcher.telegram.requests
            if api_method(r) == "sendMessage"} == {None, "5"}


def test_a_moved_group_is_written_down_before_the_first_pass(watcher):
    # Killed while its first listing is still on the way: the new id must
    # already be on disk, or the next start would send to the old group.
    watcher.telegram.answer_method("getChat", api_error(
        400, "Bad Request: group chat was upgraded to a supergroup chat", migrate_to_chat_id=-1005))
    watcher.taostats.reply(Reply(body=json.dumps({"data": []}), delay=30))
    child = watcher.start("--once")
    try:
        wait_until(watcher.taostats.request_seen.is_set, timeout=60)
        child.send_signal(signal.SIGKILL)
        child.communicate(timeout=60)
    finally:
        child.kill()
    assert watcher.query("SELECT chat_id, new_id FROM moved") == [("12345", "-1005")]


def test_a_group_moved_before_the_start_is_followed_from_the_first_message(watcher):
    watcher.listing({0: "0", 1: "0"})
    assert watcher.run("--once").returncode == 0
    watcher.listing({0: "0", 1: "1"})
    watcher.telegram.answer_method("getChat", api_error(
        400, "Bad Request: group chat was upgraded to a supergroup chat", migrate_to_chat_id=-1005))
    done = watcher.run("--once")
    assert done.returncode == 0, done.stderr
    assert "telegram chat 12345: the group became a supergroup: set the chat id to -1005" in done.stderr
    assert [r.field("chat_id") for r in watcher.telegram.requests if api_method(r) == "sendMessage"] \
        == ["-1005"]
    # The new id was written down at the start: the next run sends there
    # even when Telegram cannot be asked where the group went.
    watcher.listing({0: "1", 1: "1"})
    watcher.telegram.answer_method("getChat", BAD_GATEWAY_PAGE)
    assert watcher.run("--once").returncode == 0
    assert [r.field("chat_id") for r in watcher.telegram.requests
            if api_method(r) == "sendMessage"][1:] == ["-1005"]


@pytest.mark.parametrize("first, answers", [
    (Reply(status=500, body="upstream down"), 1),
    (Reply(status=429, body=""), 6),  # a throttled request is asked again, five times
], ids=["500", "429-without-a-message"])
def test_a_snapshot_without_a_listing_is_tried_again_each_interval(watcher, sleeps, monkeypatch, first,
                                                                  answers):
    """The command line in this process, its waits recorded (a real run would
    wait a minute): the snapshot is what the first good listing produces,
    never a silent first pass of the loop."""
    import kilnguard

    from kilnguard_watch import seam
    from kilnguard_watch.cli import main as cli

    for name in seam.REPLACED:  # put back what the run installs
        monkeypatch.setattr(kilnguard, name, getattr(kilnguard, name))
    monkeypatch.setattr(signal, "signal", lambda *args: None)
    for name, value in watcher.settings.items():
        monkeypatch.setenv(name, value)
    watcher.taostats.reply(*[first] * answers)
    watcher.listing({n: "0.5" for n in range(SUBNETS)})

    def pause_once_told(count):
        # Bounded even when no snapshot ever arrives.
        if watcher.telegram.delivered() or count > 400:
            watcher.pause.write_text("")
    sleeps.on_sleep = pause_once_told
    status = cli.main(["--state", str(watcher.state), "--pause-file", str(watcher.pause),
                       "--interval", "1"])
    assert status == 0
    [snapshot] = watcher.telegram.delivered()
    assert snapshot.startswith("Subnet owner burn rates (startup)")
    assert sum(sleeps.pauses[-61:-1]) >= 60  # a whole interval before the second try
    assert len(kilnguard.load_burn_state(str(watcher.state))) == SUBNETS


def sends(watcher):
    return sum(api_method(r) == "sendMessage" for r in list(watcher.telegram.requests))


@pytest.mark.slow
def test_sigkill_at_any_moment_loses_no_alert_and_resends_at_most_the_one_in_flight(watcher):
    # 30 chats; each run has a new rate to tell them and is killed after a
    # random number of messages went out (none: while it starts or fetches).
    import random

    chats = [str(n) for n in range(1, 31)]
    settings = {"TELEGRAM_CHAT_ID": ",".join(chats)}
    chance = random.Random(20261208)
    watcher.listing({0: "0", 1: "0"})
    assert watcher.run("--once", **settings).returncode == 0
    kills = 0
    rates = [f"0.{n}" for n in range(1, 10)]
    for rate in rates:
        watcher.taostats.forget_replies()
        watcher.listing({0: "0", 1: rate})
        goal = sends(watcher) + chance.randrange(0, 40)
        child = watcher.start("--once", **settings)
        try:
            wait_until(lambda: sends(watcher) >= goal or child.poll() is not None, timeout=60)
            child.send_signal(signal.SIGKILL)
            child.communicate(timeout=60)
        finally:
            child.kill()
        kills += child.returncode == -signal.SIGKILL
    watcher.taostats.forget_replies()
    watcher.listing({0: "0", 1: rates[-1]})
    done = watcher.run("--once", **settings)
    assert done.returncode == 0, done.stderr
    assert kills >= 5 and watcher.outbox_texts() == []
    unique = 0
    for chat in chats:
        lines = [line for text in watcher.telegram.delivered(chat) for line in text.splitlines()
                 if line.startswith("SN")]
        # Told in order, each change from the rate told before (none lost),
        # a line twice only right after itself (the piece in flight).
        told = [line for i, line in enumerate(lines) if i == 0 or line != lines[i - 1]]
        unique += len(told)
        steps = [line.removeprefix("SN1: ").split(" → ") for line in told]
        assert [old for old, _ in steps] == ["0.0000"] + [new for _, new in steps[:-1]]
        assert steps[-1][1] == "0.9000"
    assert unique <= sum(len(watcher.telegram.delivered(chat)) for chat in chats) <= unique + kills
    left = {p.name for p in watcher.state.parent.iterdir()}
    assert left <= {"burn_state.json", "burn_state.kilnguard.db", "burn_state.kilnguard.db-wal",
                    "burn_state.kilnguard.db-shm"}, left


@pytest.mark.parametrize("args", [["--once"], ["--commands", "--interval", "60"]],
                         ids=["in-the-pass", "on-the-delivery-thread"])
def test_ctrl_c_while_delivery_waits_out_a_429_stops_at_once_and_keeps_the_alert(watcher, args):
    # On the delivery thread the send itself may be on its way at the
    # signal: the process must still end with 130, never abort.
    watcher.listing({0: "0", 1: "0"})
    assert watcher.run("--once").returncode == 0
    watcher.listing({0: "0", 1: "0.5"})
    watcher.telegram.answer_method("sendMessage", json_reply(429, {
        "ok": False, "error_code": 429, "description": "Too Many Requests: retry after 50",
        "parameters": {"retry_after": 50}}))
    child = watcher.start(*args)
    try:
        wait_until(lambda: sends(watcher) == 1, timeout=60)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)  # well before the 50 s are over
    finally:
        child.kill()
    assert child.returncode == 130 and "Traceback" not in err, err
    [waiting] = watcher.outbox_texts()
    assert waiting.endswith("SN1: 0.0000 → 0.5000")
