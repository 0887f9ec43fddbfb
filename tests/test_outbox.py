"""kilnguard-watch's outbox in the host database, in process: the bound per
chat and the note about dropped messages, the outbox file of earlier
versions taken over, a bad row or a message Telegram refuses set aside alone,
429s waited out, what waits for a chat no longer configured, and the pass
outcomes observers receive."""

import contextlib
import json

import pytest

import kilnguard
from fake_taostats import Reply, subnet_listing
from fake_telegram import BAD_GATEWAY_PAGE, MESSAGE_TOO_LONG, json_reply
from fake_telegram import Reply as TelegramReply
from kilnguard_watch import seam as wiring
from kilnguard_watch.delivery.chats import Chat
from kilnguard_watch.delivery.deliver import Delivery
from kilnguard_watch.store.database import SCHEMA_VERSION, Database, database_path
from kilnguard_watch.store.json_outbox import json_outbox_path
from kilnguard_watch.store.outbox import Outbox


def outbox(path=None, limit=200):
    database = Database(path)
    assert database.open() is None
    return Outbox(database, limit=limit)


def texts(box, chat):
    return [text for text, in box.database.execute(
        "SELECT text FROM outbox WHERE chat = ? ORDER BY id", (chat,))]


def test_a_full_outbox_drops_a_chats_oldest_and_its_next_message_says_how_many(telegram, sleeps):
    box = outbox(limit=3)
    box.queue([f"m{i}" for i in range(5)], ["1", "2"])
    box.queue(["only for 2"], ["2"])
    assert texts(box, "1") == ["m2", "m3", "m4"] and texts(box, "2") == ["m3", "m4", "only for 2"]
    delivery = Delivery(kilnguard, box, "123:token", [Chat("1"), Chat("2")], log=print)
    assert delivery.flush() == (True, "")
    assert telegram.delivered("1") == ["(2 older messages dropped: the outbox was full)\nm2",
                                       "m3", "m4"]
    assert telegram.delivered("2")[0] == "(3 older messages dropped: the outbox was full)\nm3"
    assert len(box) == 0 and box.dropped("1") == box.dropped("2") == 0


def test_the_outbox_file_of_earlier_versions_is_taken_over_whole(tmp_path, telegram, sleeps):
    state = str(tmp_path / "burn_state.json")
    old = json_outbox_path(state)
    with open(old, "w") as f:
        json.dump({"version": 1, "messages": [
            {"text": "first", "chats": ["1", "2"], "for": ["1", "2"]},
            {"text": "second", "chats": ["2"], "for": ["1", "2"]}],
            "dropped": {"2": 4}, "moved": {"2": "-1002"}, "health": {"failures": 2}}, f)
    host = wiring.install(kilnguard, wiring.Settings(state, "t", [Chat("1"), Chat("2")]),
                          log=print)
    host.uninstall()
    assert not (tmp_path / "burn_state.outbox.json").exists()
    box = outbox(database_path(state))
    assert box.database.execute("PRAGMA journal_mode").fetchone() == ("wal",)
    assert (texts(box, "1"), texts(box, "2")) == (["first"], ["first", "second"])
    assert (box.dropped("2"), box.moved, box.health) == (4, {"2": "-1002"}, {"failures": 2})


def test_an_outbox_file_that_cannot_be_read_is_kept_aside(tmp_path):
    state = str(tmp_path / "burn_state.json")
    (tmp_path / "burn_state.outbox.json").write_text('{"messages": [')
    lines = []
    wiring.install(kilnguard, wiring.Settings(state, "t", [Chat("1")]), log=lines.append).uninstall()
    assert lines == [f"cannot read the old outbox {json_outbox_path(state)} (Expecting value: "
                     f"line 1 column 15 (char 14)); kept it as {json_outbox_path(state)}.damaged"]
    assert (tmp_path / "burn_state.outbox.json.damaged").read_text() == '{"messages": ['


@pytest.mark.parametrize("bad", [b"\xff\xfe", b"", " \n"], ids=["bytes", "no-bytes", "blank"])
def test_a_bad_row_is_set_aside_alone(tmp_path, telegram, sleeps, bad):
    box = outbox(str(tmp_path / "k.db"))
    box.queue(["before"], ["1"])
    # A row written by something other than this program.
    box.database.execute("INSERT INTO outbox (chat, text) VALUES ('1', ?)", (bad,))
    box.queue(["after"], ["1"])
    delivery = Delivery(kilnguard, box, "123:token", [Chat("1")], log=print)
    assert delivery.flush() == (True, "")
    assert telegram.delivered("1") == ["before", "after"]
    assert box.set_aside_count() == 1


@pytest.mark.parametrize("tried_before", [0, 2], ids=["in-one-go", "counted-across-restarts"])
def test_a_message_telegram_refuses_is_set_aside_and_the_next_ones_go_on(
        tmp_path, telegram, sleeps, tried_before):
    box = outbox(str(tmp_path / "k.db"))
    box.queue(["too long", "next"], ["1"])
    box.database.execute("UPDATE outbox SET tries = ? WHERE text = 'too long'", (tried_before,))
    lines = []
    delivery = Delivery(kilnguard, box, "123:token", [Chat("1")], log=lines.append)
    telegram.answer_method("sendMessage", *[MESSAGE_TOO_LONG] * (3 - tried_before))
    assert delivery.flush() == (True, "")
    delivered = telegram.delivered("1")
    assert delivered[0] == "next" and delivered[1].startswith(
        "kilnguard-watch: Telegram refused a message for this chat 3 times (Bad Request: "
        "message is too long); it was set aside")
    assert box.database.execute("SELECT text, error FROM set_aside").fetchall() == [
        ("too long", "Bad Request: message is too long")]
    assert any("was set aside in" in line for line in lines)


def test_pieces_are_those_the_module_sends(telegram, sleeps):
    text = "\n".join(f"SN{n}: 0.1000 → 0.2000" for n in range(500))
    box = outbox()
    delivery = Delivery(kilnguard, box, "123:token", [Chat("1")], log=print)
    delivery.queue(text)
    assert delivery.flush() == (True, "")
    assert telegram.delivered() == kilnguard._message_pieces(text)
    # One message a second into one chat, never faster.
    assert len(sleeps.pauses) == len(telegram.delivered()) - 1 and min(sleeps.pauses) >= 1


def throttled(seconds):
    return json_reply(429, {"ok": False, "error_code": 429,
                            "description": f"Too Many Requests: retry after {seconds}",
                            "parameters": {"retry_after": seconds}})


@pytest.mark.parametrize("replies, waited, left", [
    ([throttled(34)], 34, 0),
    ([throttled(60)], 60, 0),
    ([throttled(61)], 0, 1),
    ([TelegramReply(429)], 0, 1),  # no retry_after to go by: the next pass
    ([throttled(1), throttled(1), throttled(1)], 2, 1),
], ids=["34s", "60s", "61s-deferred", "429-without-retry-after", "still-throttled"])
def test_a_429_is_waited_out_within_a_minute(telegram, sleeps, replies, waited, left):
    box = outbox()
    delivery = Delivery(kilnguard, box, "123:token", [Chat("1")], log=print)
    telegram.answer_method("sendMessage", *replies)
    delivery.queue("SN1: 0.1000 → 0.2000")
    ok, error = delivery.flush()
    assert (ok, len(box)) == (left == 0, left)
    assert waited - 0.5 <= sum(sleeps.pauses) < waited + 2


@pytest.fixture
def installed(tmp_path, fake_taostats, telegram, sleeps, monkeypatch):
    monkeypatch.setenv("TAOSTATS_API_KEY", "taostats-api-key-123")
    state = str(tmp_path / "burn_state.json")
    lines = []
    host = wiring.install(kilnguard, wiring.Settings(state, "123:token", [Chat("7")]), log=lines.append)
    host.lines = lines
    yield host
    host.uninstall()


def test_observers_get_each_pass_outcome(installed, fake_taostats, telegram):
    outcomes = []
    installed.observers.subscribe(outcomes.append)

    @installed.observers.subscribe
    def broken(outcome):
        raise RuntimeError("metrics down")

    common = dict(state_path=installed.settings.state_path, threshold=0.01, burn_token="123:token",
                  burn_chat_id="7")
    for rates in ({3: "0.1"}, {3: "0.5"}, {3: "0.9"}):
        fake_taostats.reply(Reply(body=json.dumps(subnet_listing(5, rates))))
    telegram.answer_method("sendMessage", BAD_GATEWAY_PAGE)
    assert [kilnguard.run_kilnguard_once(**common) for _ in range(3)] == [0, 0, 0]
    seen = [(o.kind, o.result, o.subnets, o.changes, o.outbox_size, o.messages_sent,
             o.telegram_failures) for o in outcomes]
    assert seen == [("pass", "ok", 5, 0, 0, 0, {}),
                    ("pass", "failed", 5, 1, 1, 0, {"other": 1}),
                    ("pass", "ok", 5, 1, 0, 2, {})]
    assert outcomes[1].error.startswith("telegram: ") and all(o.duration >= 0 for o in outcomes)
    assert installed.lines.count("pass observer broken failed: metrics down") == 3
    assert len(telegram.delivered("7")) == 2


@pytest.mark.parametrize("configured, waiting, lines", [
    pytest.param(["2"], [],
                 ["forgot 2 undelivered message(s) for chats no longer configured"],
                 id="a-chat-removed"),
    pytest.param(["2", "3"], [("3", "a"), ("3", "b")],
                 ["2 undelivered message(s) for chats no longer configured go to the "
                  "chats configured in their place"], id="the-chat-id-corrected"),
])
def test_what_waits_for_a_chat_no_longer_configured(tmp_path, configured, waiting, lines):
    # Chats 1 and 2 were configured; "a" and "b" wait for chat 1 only.
    state = str(tmp_path / "s.json")
    box = outbox(database_path(state))
    box.queue(["a", "b"], ["1"])
    box.database.execute("INSERT INTO chats (key) VALUES ('1'), ('2')")
    box.database.close()
    logged = []
    host = wiring.install(kilnguard, wiring.Settings(state, "t", [Chat(c) for c in configured]),
                          log=logged.append)
    host.uninstall()
    assert host.database.execute("SELECT chat, text FROM outbox ORDER BY id").fetchall() == waiting
    assert logged == lines


def test_a_bot_api_out_of_reach_costs_one_failure_not_one_per_chat(telegram, sleeps):
    box = outbox()
    chats = [Chat(str(n)) for n in range(1, 6)]
    delivery = Delivery(kilnguard, box, "123:token", chats, log=print)
    delivery.queue("SN1: 0.1000 → 0.2000")
    telegram.answer_method("sendMessage", BAD_GATEWAY_PAGE)
    ok, why = delivery.flush()
    assert (ok, len(telegram.requests), len(box)) == (False, 1, 5) and "502 Bad Gateway" in why
    assert delivery.flush() == (True, "") and len(telegram.delivered()) == 5


def test_an_answer_waits_behind_every_alert(telegram, sleeps):
    from kilnguard_watch.store.outbox import ANSWER

    box = outbox()
    with box.database.transaction() as connection:
        box.add(connection, [("1", "answer"), ("2", "answer")], priority=ANSWER)
    box.queue(["alert"], ["1", "3"])
    chats = [Chat(key) for key in ("1", "2", "3")]
    assert Delivery(kilnguard, box, "123:token", chats, log=print).flush() == (True, "")
    assert telegram.delivered("1") == ["alert", "answer"]  # in its own chat
    assert telegram.delivered()[:2] == ["alert", "alert"]  # and before other chats' answers


def test_a_database_of_the_first_schema_keeps_what_waits(tmp_path):
    import sqlite3

    path = tmp_path / "k.db"
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.executescript(
            "CREATE TABLE outbox (id INTEGER PRIMARY KEY, chat TEXT NOT NULL, text TEXT NOT NULL,"
            " tries INTEGER NOT NULL DEFAULT 0); CREATE INDEX outbox_by_chat ON outbox (chat, id);"
            " INSERT INTO outbox (chat, text) VALUES ('1', 'waiting'); PRAGMA user_version = 1;")
    box = outbox(str(path))
    assert box.oldest("1")[1:] == ("waiting", 0, None)
    assert box.database.execute("PRAGMA user_version").fetchone() == (SCHEMA_VERSION,)


@pytest.mark.parametrize("public, left", [
    (True, [("1", "alert"), ("900", "answer"), ("901", "alert")]),
    (False, [("1", "alert")]),
], ids=["public-keeps-its-chats", "configured-only"])
def test_a_restart_keeps_what_waits_for_chats_that_are_not_configured_only_in_public_mode(
        tmp_path, public, left):
    from kilnguard_watch.store.outbox import ANSWER

    state = str(tmp_path / "s.json")
    box = outbox(database_path(state))
    box.queue(["alert"], ["1", "901"])
    with box.database.transaction() as connection:
        box.add(connection, [("900", "answer")], priority=ANSWER)  # asked, never subscribed
        connection.execute("INSERT INTO subscriptions (chat, subnets, threshold) "
                           "VALUES ('901', '[1]', 0.01)")
        connection.execute("INSERT INTO chats (key) VALUES ('1'), ('901')")
    box.database.close()
    host = wiring.install(kilnguard, wiring.Settings(state, "t", [Chat("1")], public=public),
                          log=print)
    host.uninstall()
    assert host.database.execute("SELECT chat, text FROM outbox ORDER BY chat").fetchall() == left


PNG = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 40  # any bytes: Telegram is the fake


def test_a_picture_waits_in_the_outbox_and_goes_with_its_caption_and_topic(telegram, sleeps):
    box = outbox()
    with box.database.transaction() as connection:
        box.add(connection, [("-100777:9", "SN1 over 30 days", PNG), ("-100777:9", "after it")])
    chats = [Chat("-100777", 9)]
    telegram.answer_method("sendPhoto", json_reply(502, {"ok": False, "error_code": 502,
                                                         "description": "Bad Gateway"}))
    delivery = Delivery(kilnguard, box, "123:token", chats, log=print)
    assert delivery.flush()[0] is False and len(box) == 2  # waits, in order, for the next try
    assert delivery.flush() == (True, "")
    [request] = [r for r in telegram.requests if r.status == 200 and r.path.endswith("sendPhoto")]
    assert (request.field("chat_id"), request.field("message_thread_id")) == ("-100777", "9")
    assert telegram.photos("-100777") == [("SN1 over 30 days", PNG)]
    assert telegram.delivered() == ["after it"]  # after the picture


def test_what_waited_for_a_removed_chat_goes_to_a_new_chat_never_to_a_new_destination():
    box = outbox()
    box.queue(["for chat 1"], ["1"])
    box.queue(["for the old hook"], ["apprise-0123456789abcdef"])
    retargeted, forgotten = box.keep_only(["5", "apprise-fedcba9876543210"],
                                          {"1", "apprise-0123456789abcdef"})
    assert box.database.execute("SELECT chat, text FROM outbox").fetchall() == [("5", "for chat 1")]
    assert (retargeted, forgotten) == (1, 0)
