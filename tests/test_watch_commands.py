"""Commands asked in the chat, against the running kilnguard-watch as an
operator runs it: answered in the chat (and topic) they came from while the
monitor runs, only for configured chats, and never twice across a restart."""

import signal

from fake_taostats import wait_until
from fake_telegram import api_method


def message(chat_id, text, chat_type="private", topic=None):
    sent = {"message_id": 1, "date": 1765000000, "chat": {"id": chat_id, "type": chat_type},
            "from": {"id": 42, "is_bot": False, "first_name": "Ada"}, "text": text}
    if topic is not None:
        sent.update(message_thread_id=topic, is_topic_message=True)
    return {"message": sent}


def stop(child):
    child.send_signal(signal.SIGTERM)
    out, err = child.communicate(timeout=60)
    return child.returncode, err


def test_commands_are_answered_where_they_were_asked_and_never_twice(watcher):
    settings = {"TELEGRAM_CHAT_ID": "12345,-100777"}
    watcher.listing({0: "0", 1: "0.5", 2: "1"})
    child = watcher.start("--commands", "--interval", "60", **settings)
    try:
        wait_until(lambda: len(watcher.telegram.delivered()) == 2, timeout=60)  # the snapshots
        watcher.telegram.push_update(message(12345, "/burn 1 2"))
        watcher.telegram.push_update(message(-100777, "/top 1", "supergroup", topic=9))
        watcher.telegram.push_update(message(999, "/status"))
        wait_until(lambda: len(watcher.telegram.delivered()) == 4, timeout=60)
    finally:
        status, err = stop(child)
    assert status == 0, err
    answer = watcher.telegram.delivered("12345")[-1]
    assert answer.splitlines()[:2] == ["SN1: 0.5000 (unchanged since the monitor started)",
                                       "SN2: 1.0000 (unchanged since the monitor started)"]
    [top] = [r for r in watcher.telegram.requests if api_method(r) == "sendMessage"
             and r.field("chat_id") == "-100777" and r.field("message_thread_id") == "9"]
    assert "SN2: 1.0000" in top.field("text")
    assert "ignored a command from chat 999, which is not configured" in err
    assert watcher.telegram.delivered("999") == []
    assert any(api_method(r) == "setMyCommands" for r in watcher.telegram.requests)
    # A restart starts after the updates it answered: only a new one is.
    answered = len(watcher.telegram.delivered())
    watcher.listing({0: "0", 1: "0.5", 2: "1"})
    child = watcher.start("--commands", "--interval", "60", **settings)
    try:
        wait_until(lambda: watcher.telegram.held_polls, timeout=60)
        watcher.telegram.push_update(message(12345, "/help"))
        wait_until(lambda: len(watcher.telegram.delivered()) > answered, timeout=60)
    finally:
        status, err = stop(child)
    assert status == 0, err
    [new] = watcher.telegram.delivered()[answered:]
    assert "/burn" in new and "/top" in new


def test_check_warns_that_a_webhook_keeps_commands_from_being_read(watcher):
    from fake_telegram import json_reply

    watcher.telegram.answer_method("getWebhookInfo", json_reply(200, {"ok": True, "result": {
        "url": f"https://hooks.example.net/{watcher.TOKEN}", "pending_update_count": 0}}))
    watcher.listing({0: "0"})
    done = watcher.run("--check", "--commands")
    assert done.returncode == 0, done.stderr
    [line] = [line for line in done.stdout.splitlines() if "webhook" in line]
    assert "https://hooks.example.net" in line and watcher.TOKEN not in done.stdout



def test_in_public_mode_any_chat_subscribes_itself_and_is_dropped_when_it_blocks_the_bot(watcher):
    from fake_telegram import api_error

    public = {"TELEGRAM_CHAT_ID": ""}  # no configured chat at all
    watcher.listing({0: "0", 1: "0.5"})
    child = watcher.start("--public", "--interval", "60", **public)
    try:
        wait_until(lambda: watcher.telegram.held_polls, timeout=60)
        watcher.telegram.push_update(message(777, "/watch 1"))
        wait_until(lambda: watcher.telegram.delivered("777"), timeout=60)
    finally:
        status, err = stop(child)
    assert status == 0, err
    assert watcher.telegram.delivered("777")[0].startswith("Now watching SN1.")
    for rates in ({0: "0", 1: "0.5"}, {0: "0", 1: "0.9"}):  # it starts quietly, then hears
        watcher.listing(rates)
        done = watcher.run("--once", "--public", **public)
        assert done.returncode == 0, done.stderr
    assert "SN1: 0.5000 → 0.9000" in watcher.telegram.delivered("777")[-1]
    watcher.telegram.answer_chat("777", api_error(403, "Forbidden: bot was blocked by the user"))
    watcher.listing({0: "0", 1: "0.1"})
    done = watcher.run("--once", "--public", **public)
    assert done.returncode == 0, done.stderr
    assert "chat 777 cannot be reached (Forbidden: bot was blocked by the user): dropped its " \
           "subscription and 1 waiting message(s)" in done.stderr
    assert watcher.query("SELECT chat FROM subscriptions") == []
