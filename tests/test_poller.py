"""The command poller against the loopback Bot API and a real database file:
every update answered once across restarts, answers and offset kept
together, and each way Telegram can refuse or fail to answer."""

import json
import sqlite3
import threading

import pytest

from fake_taostats import wait_until
from fake_telegram import BAD_GATEWAY_PAGE, Reply, UNAUTHORIZED, api_error, api_method, json_reply
from kilnguard_watch.cli import checks
from kilnguard_watch.commands.poller import Poller
from kilnguard_watch.store.database import Database
from kilnguard_watch.store.outbox import ANSWER, Outbox

TOKEN = "123456:ABCDEFGHsecret"
READER = api_error(409, "Conflict: terminated by other getUpdates request; make sure that only "
                        "one bot instance is running")
WEBHOOK = api_error(409, "Conflict: can't use getUpdates method while webhook is active; use "
                         "deleteWebhook to delete the webhook first")
HOOK = json_reply(200, {"ok": True, "result": {"url": f"https://hooks.example/{TOKEN}/in"}})


def text(words, chat_id=12345):
    return {"message": {"message_id": 1, "date": 0, "from": {"id": 7, "first_name": "Op"},
                        "chat": {"id": chat_id, "type": "private"}, "text": words}}


def echo(message):
    return [(message.chat_key, f"echo {message.text}")]


@pytest.fixture
def database(tmp_path):
    database = Database(str(tmp_path / "burn_state.kilnguard.db"))
    assert database.open() is None
    yield database
    database.close()


@pytest.fixture
def make(telegram, database):
    """A poller on the shared database; its log lines and waits recorded."""
    def make(handle=echo, **options):
        poller = Poller(TOKEN, database, Outbox(database), handle, poller_log.append,
                        **{"long_poll": 0, **options})
        poller.waits = []
        poller._wait = poller.waits.append
        return poller
    poller_log = make.log = []
    return make


def answers(database):
    return [tuple(row) for row in database.execute("SELECT chat, text, priority FROM outbox")]


def offset(database):
    row = database.execute("SELECT value FROM meta WHERE key = 'update_offset'").fetchone()
    return row and int(row[0])


def polls(telegram):
    return [r for r in telegram.requests if api_method(r) == "getUpdates"]


def test_each_update_is_answered_once_across_restarts(telegram, database, make):
    woken = []
    photo = text(None)
    photo["message"]["photo"] = [{"file_id": "x", "width": 1, "height": 1}]
    telegram.push_update({"edited_message": text("/help")["message"]})
    for n in range(100):  # JSON-escaped, one batch of these is over 2 MiB
        telegram.push_update(text(f"/{n}".ljust(4096, "é")))
    telegram.push_update(photo)  # the 102nd: left for the next batch
    assert make(wake=lambda: woken.append(1)).poll_once()
    assert offset(database) == 101 and woken == [1] and len(answers(database)) == 99
    asked = polls(telegram)[0]
    assert (asked.field("allowed_updates"), asked.field("limit"), asked.field("offset")) == \
        ('["message"]', "100", None)
    telegram.push_update(text("/mute 5", chat_id=-100777))
    assert make().poll_once()  # a new poller, as after a restart
    assert polls(telegram)[-1].field("offset") == "101" and offset(database) == 104
    assert answers(database)[0] == ("12345", "echo /0".ljust(4096 + 5, "é"), ANSWER)
    assert [row[1][:8] for row in answers(database)[98:]] == ["echo /98", "echo /99", "echo /mu"]
    assert answers(database)[-1] == ("-100777", "echo /mute 5", ANSWER) and make.log == []


def test_answers_and_offset_are_kept_together(telegram, database, make, monkeypatch):
    telegram.push_update(text("/status"))
    poller = make()
    real_add = Outbox.add

    def add_then_fail(*args, **kwargs):
        real_add(*args, **kwargs)
        raise sqlite3.OperationalError("disk I/O error")

    monkeypatch.setattr(Outbox, "add", add_then_fail)
    assert poller.poll_once()
    assert answers(database) == [] and offset(database) is None
    assert len(make.log) == 1 and "disk I/O error" in make.log[0]
    monkeypatch.setattr(Outbox, "add", real_add)
    assert poller.poll_once()
    assert [r.field("offset") for r in polls(telegram)] == [None, None]  # read again
    assert answers(database) == [("12345", "echo /status", ANSWER)] and offset(database) == 2


@pytest.mark.parametrize("replies, line", [
    ([READER], "commands: another program reads this bot's updates: commands are off; "
               "alerts go on"),
    ([WEBHOOK, HOOK], "commands: the bot has a webhook set (https://hooks.example): commands are "
                      "off; alerts go on; delete the webhook with deleteWebhook to use commands"),
    ([UNAUTHORIZED], "commands: Telegram refuses the bot token (Unauthorized): commands are off"),
    ([api_error(404, "Not Found")], "commands: Telegram refuses the bot token (Not Found)"),
], ids=["another-reader", "webhook", "unauthorized", "not-found"])
def test_polling_ends_when_it_cannot_work(telegram, make, replies, line):
    telegram.answer_method("getUpdates", replies[0])
    telegram.answer_method("getWebhookInfo", *replies[1:])
    poller = make()
    poller.start()
    wait_until(lambda: not poller.running)
    assert len(make.log) == 1 and make.log[0].startswith(line) and TOKEN not in make.log[0]
    assert len(polls(telegram)) == 1


@pytest.mark.parametrize("after, waited", [(3, 3), (600, 60), (None, 1)],
                         ids=["as-told", "bounded", "untold"])
def test_a_429_is_waited_out(telegram, make, after, waited):
    told = {} if after is None else {"retry_after": after}
    telegram.answer_method("getUpdates", api_error(429, "Too Many Requests: retry after 3", **told))
    poller = make()
    assert poller.poll_once() and poller.poll_once()
    assert poller.waits == [waited] and make.log == []


def test_an_outage_is_one_line_at_its_start_and_one_at_its_end(telegram, database, make):
    telegram.answer_method("getUpdates", BAD_GATEWAY_PAGE, Reply(drop=True),
                           api_error(500, "Internal Server Error"), json_reply(200, {"ok": True}))
    telegram.push_update(text("/status"))
    poller = make()
    for _ in range(5):
        assert poller.poll_once()
    assert poller.waits == [1, 2, 4, 8]
    assert [line.split(" (")[0] for line in make.log] == \
        ["commands: cannot read updates",
         "commands: reading updates works again after 4 failed tries"]
    assert answers(database) == [("12345", "echo /status", ANSWER)]


def test_an_update_that_cannot_be_answered_is_skipped_alone(telegram, database, make):
    def handle(message):
        if message.text == "/boom":
            raise RuntimeError("bad\ninput")
        return [("12345", None)] if message.text == "/odd" else echo(message)

    for words in ("/one", "/boom", "/odd", "/two"):
        telegram.push_update(text(words))
    assert make(handle).poll_once()
    assert [row[1] for row in answers(database)] == ["echo /one", "echo /two"]
    assert offset(database) == 5 and [line.split(" from")[0] for line in make.log] == \
        ["commands: update 2", "commands: update 3"]


@pytest.mark.parametrize("waiting", ["long-poll", "429-wait"])
def test_stop_ends_the_thread_where_it_waits(telegram, database, make, waiting):
    if waiting == "429-wait":
        telegram.answer_method("getUpdates", api_error(429, "Too Many Requests", retry_after=60))
    poller = make(long_poll=25)
    del poller._wait  # the real wait, on the poller's event
    poller.start()
    [thread] = [t for t in threading.enumerate() if t.name == "kilnguard-commands"]
    assert thread.daemon
    wait_until(lambda: telegram.held_polls == 1 if waiting == "long-poll" else polls(telegram))
    poller.stop()
    telegram.push_update(text("/status"))  # ends the long poll; stays for the next start
    thread.join(30)
    assert not thread.is_alive() and not poller.running
    assert offset(database) is None and answers(database) == []
    assert telegram.pending_updates() == [1]


@pytest.mark.parametrize("reply, logged", [(None, False), (api_error(400, "Bad Request"), True)],
                         ids=["set", "refused"])
def test_the_menu_is_set_before_polling(telegram, make, reply, logged):
    if reply is not None:
        telegram.answer_method("setMyCommands", reply)
    poller = make(menu=[("status", "Burn rates now"), ("help", "What I answer")], long_poll=1)
    poller.start()
    wait_until(lambda: polls(telegram))
    poller.stop()
    [menu] = [r for r in telegram.requests if api_method(r) == "setMyCommands"]
    assert telegram.requests[0] is menu
    assert json.loads(menu.field("commands")) == [
        {"command": "status", "description": "Burn rates now"},
        {"command": "help", "description": "What I answer"}]
    assert len(make.log) == logged


@pytest.mark.parametrize("reply, status, detail", [
    (None, checks.OK, "none set"),
    (HOOK, checks.WARNING, "the bot has a webhook set (https://hooks.example)"),
    (BAD_GATEWAY_PAGE, checks.UNKNOWN, "no answer from the Bot API: HTTP 502"),
    (UNAUTHORIZED, checks.UNKNOWN, "Unauthorized"),
], ids=["none", "set", "bad-gateway", "unauthorized"])
def test_webhook_check(telegram, reply, status, detail):
    if reply is not None:
        telegram.answer_method("getWebhookInfo", reply)
    check = checks.webhook_check(TOKEN)
    assert (check.status, check.detail[:len(detail)]) == (status, detail)
    assert TOKEN not in check.line()
