"""kilnguard-watch's outbox file and its wiring, in process: the bound and
the note about dropped messages, the atomic replacement, a damaged file set
aside, pieces exactly as the module numbers them, and the pass outcomes that
observers receive."""

import json
import os

import pytest

import kilnguard
from fake_taostats import Reply, subnet_listing
from fake_telegram import BAD_GATEWAY_PAGE, json_reply
from fake_telegram import Reply as TelegramReply
from kilnguard_watch.delivery import outbox as outbox_module
from kilnguard_watch import seam as wiring
from kilnguard_watch.delivery.chats import Chat
from kilnguard_watch.delivery.deliver import Delivery


def test_a_full_outbox_drops_the_oldest_and_the_next_message_says_how_many(
        tmp_path, telegram, sleeps):
    box = outbox_module.Outbox(str(tmp_path / "o.json"), limit=3)
    box.add([f"m{i}" for i in range(5)], ["1", "2"])
    assert [e["text"] for e in box.entries] == ["m2", "m3", "m4"] and box.dropped == {"1": 2, "2": 2}
    delivery = Delivery(kilnguard, box, "123:token", [Chat("1"), Chat("2")], log=print)
    assert delivery.flush() == (True, "")
    assert telegram.delivered("1") == ["(2 older messages dropped: the outbox was full)\nm2", "m3", "m4"]
    assert telegram.delivered("2") == telegram.delivered("1")
    assert len(box) == 0 and box.dropped == {} and sleeps.pauses == [0.4, 0.4, 0.4, 0.4]


def test_save_replaces_the_file_whole_and_a_failed_save_keeps_the_old_one(tmp_path, monkeypatch):
    path = tmp_path / "o.json"
    box = outbox_module.Outbox(str(path))
    box.add(["first"], ["1"])
    box.save()
    before = path.read_text()
    box.add(["second"], ["1"])

    def disk_full(path, text):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(kilnguard, "_replace_file", disk_full)
    with pytest.raises(OSError):
        box.save()
    assert path.read_text() == before and os.listdir(tmp_path) == ["o.json"]
    monkeypatch.undo()
    # What could not be written is written at the next save, not taken as done.
    box.save()
    again = outbox_module.Outbox(str(path))
    again.load()
    assert [e["text"] for e in again.entries] == ["first", "second"]


def test_a_damaged_outbox_is_set_aside(tmp_path):
    path = tmp_path / "o.json"
    path.write_text('{"messages": [')
    box = outbox_module.Outbox(str(path))
    with pytest.raises(outbox_module.OutboxDamaged, match="kept it as .*o.json.damaged"):
        box.load()
    assert (tmp_path / "o.json.damaged").read_text() == '{"messages": ['
    assert len(box) == 0


def test_a_fifo_that_appears_at_the_outbox_is_left_alone(tmp_path):
    # It came after the start: the first save says so, later ones keep quiet.
    path = tmp_path / "o.json"
    box = outbox_module.Outbox(str(path))
    box.load()
    os.mkfifo(path)
    box.add(["waiting"], ["1"])
    with pytest.raises(OSError, match=f"{path} is a FIFO, not a regular file"):
        box.save()
    box.save()
    assert os.path.exists(path) and not path.is_file()
    assert [e["text"] for e in box.entries] == ["waiting"]


@pytest.mark.parametrize("length", [10, 3900, 3901, 9000], ids=["short", "one-full", "two", "three"])
def test_pieces_are_those_the_module_sends(telegram, sleeps, length):
    text = "\n".join(f"SN{n}: 0.1000 → 0.2000" for n in range(length // 22 + 1))[:length]
    assert kilnguard.send_burn_telegram_messages(text, "123:token", "1") == (True, "")
    assert kilnguard._message_pieces(text) == telegram.delivered()


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
    assert [kilnguard.run_kilnguard_once(**common) for _ in range(3)] == [0, 1, 0]
    seen = [(o.kind, o.result, o.subnets, o.changes, o.outbox_size, o.messages_sent,
             o.telegram_failures) for o in outcomes]
    assert seen == [("pass", "ok", 5, 0, 0, 0, {}),
                    ("pass", "failed", 5, 1, 1, 0, {"other": 1}),
                    ("pass", "ok", 5, 1, 0, 2, {})]
    assert outcomes[1].error.startswith("telegram: ") and all(o.duration >= 0 for o in outcomes)
    assert installed.lines.count("pass observer broken failed: metrics down") == 3
    assert len(telegram.delivered("7")) == 2


def throttled(seconds):
    return json_reply(429, {"ok": False, "error_code": 429,
                            "description": f"Too Many Requests: retry after {seconds}",
                            "parameters": {"retry_after": seconds}})


@pytest.mark.parametrize("replies, pauses, left", [
    ([throttled(34)], [34], 0),
    ([throttled(60)], [60], 0),
    ([throttled(61)], [], 1),
    ([TelegramReply(429)], [], 1),  # no retry_after to go by: the next pass
    ([throttled(1), throttled(1), throttled(1)], [1, 1], 1),
], ids=["34s", "60s", "61s-deferred", "429-without-retry-after", "still-throttled"])
def test_a_429_is_waited_out_within_a_minute(tmp_path, telegram, sleeps, replies, pauses, left):
    box = outbox_module.Outbox(str(tmp_path / "o.json"))
    delivery = Delivery(kilnguard, box, "123:token", [Chat("1")], log=print)
    telegram.answer_method("sendMessage", *replies)
    ok, error = delivery.send_text("SN1: 0.1000 → 0.2000")
    assert (ok, sleeps.pauses, len(box)) == (left == 0, pauses, left)


@pytest.mark.parametrize("configured, waiting, lines", [
    pytest.param(["2"], [("both", ["2"])],
                 ["forgot 2 undelivered message(s) for chats no longer configured"],
                 id="a-chat-removed"),
    pytest.param(["1", "3"], [("old", ["1"]), ("both", ["1", "3"])],
                 ["1 undelivered message(s) for chats no longer configured go to the "
                  "chats configured in their place"], id="a-chat-replaced"),
    pytest.param(["3"], [("old", ["3"]), ("both", ["3"])],
                 ["2 undelivered message(s) for chats no longer configured go to the "
                  "chats configured in their place"], id="the-chat-id-corrected"),
])
def test_what_waits_for_a_chat_no_longer_configured(tmp_path, configured, waiting, lines):
    # "old" was delivered to chat 2 and waits for 1; "both" waits for 1 and 2.
    state = str(tmp_path / "s.json")
    box = outbox_module.Outbox(outbox_module.outbox_path(state))
    box.add(["old", "both"], ["1", "2"])
    box.delivered(box.entries[0], "2")
    box.save()
    logged = []
    host = wiring.install(kilnguard, wiring.Settings(state, "t", [Chat(c) for c in configured]),
                          log=logged.append)
    host.uninstall()
    assert [(e["text"], e["chats"]) for e in host.outbox.entries] == waiting
    assert logged == lines
