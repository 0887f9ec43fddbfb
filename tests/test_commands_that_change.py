"""Chat commands that change what a chat hears (/mute, /unmute) and the one
that shows it (/subscriptions): who may, what they answer, and that the
change is made in the transaction that confirms the update, so a restart
never makes it twice."""

import calendar
import sqlite3

import pytest

import kilnguard
from fake_telegram import api_method
from kilnguard_watch.commands.handlers import NOT_ALLOWED, Commands
from kilnguard_watch.commands.incoming import Incoming
from kilnguard_watch.commands.poller import Poller
from kilnguard_watch.config import ChatConfig
from kilnguard_watch.delivery.chats import Chat
from kilnguard_watch.store import mutes
from kilnguard_watch.store.database import Database
from kilnguard_watch.store.outbox import Outbox

NOW = calendar.timegm((2026, 12, 8, 14, 5, 0))
KEYS = {"42", "-100123", "-100777:9"}
ADMIN, MEMBER, LISTED = 1, 2, 3


class View:
    """The monitor as the commands see it, with a real database for mutes."""

    def __init__(self, database):
        self.database = database
        self.asked = []

    def mutes(self, chat_key):
        return mutes.of_chat(self.database, chat_key, NOW)

    def subscription(self, chat_key):
        if chat_key == "42":
            return ChatConfig(Chat("42"), 0.05, subnets=frozenset({1, 12, 20, 21, 22}), above=0.99)
        return ChatConfig(Chat(chat_key.partition(":")[0]), 0.01)

    def is_admin(self, chat_id, user_id):
        self.asked.append((chat_id, user_id))
        return user_id == ADMIN


@pytest.fixture
def handler(tmp_path):
    database = Database(str(tmp_path / "k.db"))
    database.open()
    view = View(database)
    commands = Commands(view, kilnguard, {"42", "-100123", "-100777"}, "KilnBot", print,
                        wall=lambda: NOW, keys=KEYS, admins={LISTED})
    commands.database, commands.view_used = database, view
    return commands


def say(handler, text, chat="42", kind="private", user=MEMBER, topic=None):
    """The answer's text; a change it asked for is made at once."""
    given = handler.handle(Incoming(1, chat, kind, topic, user, text))
    for change in [item for item in given if callable(item)]:
        with handler.database.transaction() as connection:
            change(connection)
    [(key, text)] = [item for item in given if not callable(item)]
    return text


@pytest.mark.parametrize("kind, user, allowed", [
    ("private", MEMBER, True),
    ("supergroup", ADMIN, True),
    ("supergroup", MEMBER, False),
    ("supergroup", LISTED, True),
    ("group", MEMBER, False),
], ids=["private-chat", "group-admin", "group-member", "listed-in-admins", "small-group-member"])
def test_who_may_mute(handler, kind, user, allowed):
    chat = "42" if kind == "private" else "-100123"
    answer = say(handler, "/mute 12 6h", chat=chat, kind=kind, user=user)
    assert (answer != NOT_ALLOWED) == allowed
    assert bool(mutes.active(handler.database, NOW)) == allowed
    # Reading commands are for anyone in a served chat.
    assert say(handler, "/subscriptions", chat=chat, kind=kind, user=user) != NOT_ALLOWED


@pytest.mark.parametrize("text, answer, muted", [
    ("/mute 12 6h", "Muted SN12 until 2026-12-08 20:05 UTC; its changes are told when the mute "
                    "ends, against what this chat last heard.", {"42": {12}}),
    ("/mute all 2d", "Muted every subnet until 2026-12-10 14:05 UTC; its changes are told when "
                     "the mute ends, against what this chat last heard.",
     {"42": {mutes.EVERY_SUBNET}}),
    ("/mute SN7 30m", "Muted SN7 until 2026-12-08 14:35 UTC; its changes are told when the mute "
                      "ends, against what this chat last heard.", {"42": {7}}),
    ("/mute 12 31d", 'Usage: /mute N|all TIME (like /mute 12 6h; TIME from 1m to 30d); "31d" is '
                     'not a time from 1m to 30d, like 30m, 6h or 2d', {}),
    ("/mute 12 0m", 'Usage: /mute N|all TIME (like /mute 12 6h; TIME from 1m to 30d); "0m" is not '
                    'a time from 1m to 30d, like 30m, 6h or 2d', {}),
    ("/mute x 6h", 'Usage: /mute N|all TIME (like /mute 12 6h; TIME from 1m to 30d); "x" is '
                   'neither a subnet number nor all', {}),
    ("/mute 12", "Usage: /mute N|all TIME (like /mute 12 6h; TIME from 1m to 30d)", {}),
    ("/unmute 12", "SN12 is not muted on its own.", {}),
    ("/unmute all", "Nothing is muted in this chat.", {}),
], ids=["one-subnet", "every-subnet", "sn-form", "too-long", "too-short", "not-a-subnet",
        "no-time", "unmute-nothing", "unmute-all-nothing"])
def test_mute_answers_and_changes(handler, text, answer, muted):
    assert say(handler, text) == answer
    assert {chat: set(n) for chat, n in mutes.active(handler.database, NOW).items()} == muted


def test_unmute_ends_a_mute_and_subscriptions_shows_it(handler):
    say(handler, "/mute 12 6h")
    say(handler, "/mute all 1h")
    assert say(handler, "/subscriptions") == (
        "This chat: SN1, SN12, SN20-22, threshold 0.05, above 0.99\n"
        "  muted: every subnet until 2026-12-08 15:05 UTC\n"
        "  muted: SN12 until 2026-12-08 20:05 UTC")
    assert say(handler, "/unmute 12") == ("Ended SN12; changes are told at the next pass, "
                                          "against what this chat last heard.")
    assert say(handler, "/unmute 12") == "SN12 is not muted on its own (every subnet is: /unmute all)."
    say(handler, "/unmute all")
    assert mutes.active(handler.database, NOW) == {}


def test_a_mute_asked_in_a_topic_of_a_chat_configured_without_it(handler):
    say(handler, "/mute 3 1h", chat="-100123", kind="supergroup", user=ADMIN, topic=4)
    assert mutes.active(handler.database, NOW) == {"-100123": frozenset({3})}


def test_a_change_is_made_with_the_offset_or_not_at_all(tmp_path, telegram):
    database = Database(str(tmp_path / "k.db"))
    database.open()
    outbox = Outbox(database)
    handler = Commands(View(database), kilnguard, {"42"}, "KilnBot", print, wall=lambda: NOW,
                       keys={"42"})
    telegram.push_update({"message": {"message_id": 1, "date": 0, "text": "/mute 12 6h",
                                      "chat": {"id": 42, "type": "private"},
                                      "from": {"id": 42, "is_bot": False, "first_name": "A"}}})
    poller = Poller("123:token", database, outbox, handler.handle, print, long_poll=0)
    add = outbox.add

    def full_disk(connection, messages, priority=0):
        raise sqlite3.OperationalError("database or disk is full")

    outbox.add = full_disk
    poller.poll_once()
    assert mutes.active(database, NOW) == {}  # not kept, so read again
    outbox.add = add
    poller.poll_once()
    assert set(mutes.active(database, NOW)["42"]) == {12}
    again = Poller("123:token", database, outbox, handler.handle, print, long_poll=0)
    again.poll_once()
    assert len(outbox) == 1  # one answer: the update was not taken twice
    assert sum(api_method(r) == "getUpdates" for r in telegram.requests) == 3
