"""Chat commands that change what a chat hears (/watch, /unwatch, /mute,
/unmute) and the one that shows it (/subscriptions): who may, what they
answer, public mode's bound, and that the change is made in the transaction
that confirms the update, so a restart never makes it twice."""

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
from kilnguard_watch.store.subscriptions import Subscriptions

NOW = calendar.timegm((2026, 12, 8, 14, 5, 0))
KEYS = {"42", "-100123", "-100777:9"}
ADMIN, MEMBER, NAMED = 1, 2, 3


CONFIGURED = [ChatConfig(Chat("42"), 0.05, subnets=frozenset({1, 12, 20, 21, 22}), above=0.99),
              ChatConfig(Chat("-100123"), 0.01), ChatConfig(Chat("-100777", 9), 0.01)]
LISTED = {str(n): "0.5" for n in range(0, 40)}


class View:
    """The monitor as the commands see it, with a real database for mutes
    and subscriptions."""

    def __init__(self, database, public=False, most=10_000):
        self.database = database
        self.store = Subscriptions(database, CONFIGURED, 0.01, public=public, most=most)
        self.asked = []

    def mutes(self, chat_key):
        return mutes.of_chat(self.database, chat_key, NOW)

    def subscription(self, chat_key):
        return self.store.of_chat(chat_key)

    def public_chats(self):
        return self.store.public_chats()

    def rates(self):
        return LISTED

    def is_admin(self, chat_id, user_id):
        self.asked.append((chat_id, user_id))
        return user_id == ADMIN


@pytest.fixture
def make_handler(tmp_path):
    def make(public=False, most=10_000):
        database = Database(str(tmp_path / "k.db"))
        database.open()
        view = View(database, public, most)
        commands = Commands(view, kilnguard, {"42", "-100123", "-100777"}, "KilnBot", print,
                            wall=lambda: NOW, keys=KEYS, admins={NAMED}, subscriptions=view.store)
        commands.database, commands.view_used = database, view
        return commands
    return make


@pytest.fixture
def handler(make_handler):
    return make_handler()


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
    ("supergroup", NAMED, True),
    ("group", MEMBER, False),
], ids=["private-chat", "group-admin", "group-member", "listed-in-admins", "small-group-member"])
@pytest.mark.parametrize("text", ["/mute 12 6h", "/unmute all", "/watch 30 0.2", "/unwatch 1",
                                  "/digest weekly"])
def test_who_may_change_what_a_chat_hears(handler, kind, user, allowed, text):
    chat = "42" if kind == "private" else "-100123"
    say(handler, "/mute 1 1h", chat=chat, kind="private")  # something /unmute can end
    before = (mutes.active(handler.database, NOW), handler.view_used.store.of_chat(chat))
    answer = say(handler, text, chat=chat, kind=kind, user=user)
    assert (answer != NOT_ALLOWED) == allowed
    after = (mutes.active(handler.database, NOW), handler.view_used.store.of_chat(chat))
    assert (after != before) == allowed
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
    view = View(database)
    handler = Commands(view, kilnguard, {"42"}, "KilnBot", print, wall=lambda: NOW,
                       keys={"42"}, subscriptions=view.store)
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


def watched(handler, key):
    """(subnets or "all", ignored, threshold, fresh) of a chat now."""
    sub = handler.view_used.store.of_chat(key)
    fresh = handler.view_used.store.current().fresh.get(key, frozenset())
    return (("all" if sub.subnets is None else set(sub.subnets)), set(sub.ignored), sub.threshold,
            set(fresh))


CONFIGURED_42 = {1, 12, 20, 21, 22}


@pytest.mark.parametrize("chat, texts, answer, after", [
    ("42", ["/watch 30-32"], "Now watching SN30-32. Changes are told against the rates now; "
                             "/subscriptions shows all this chat hears.",
     (CONFIGURED_42 | {30, 31, 32}, set(), 0.05, {30, 31, 32})),
    ("42", ["/watch 12,30 2%"], "Now watching SN12, SN30 at threshold 0.02. Changes are told "
                                "against the rates now; /subscriptions shows all this chat hears.",
     (CONFIGURED_42 | {30}, set(), 0.02, {30})),
    ("42", ["/watch 0.1"], "This chat's threshold 0.1 now. /subscriptions shows all this chat "
                           "hears.", (CONFIGURED_42, set(), 0.1, set())),
    ("42", ["/watch 30", "/unwatch 30 12"], "No longer watching SN12, SN30. /subscriptions "
                                            "shows all this chat hears.",
     (CONFIGURED_42 - {12}, set(), 0.05, set())),
    ("42", ["/unwatch all"], "This chat watches no subnet now; /watch N or /watch all brings "
                             "them back.", (set(), set(), 0.05, set())),
    ("42", ["/watch all"], "Now watching every subnet. Changes are told against the rates now; "
                           "/subscriptions shows all this chat hears.",
     ("all", set(), 0.05, set(range(40)) - CONFIGURED_42)),
    ("-100123", ["/unwatch 5"], "No longer watching SN5. /subscriptions shows all this chat "
                                "hears.", ("all", {5}, 0.01, set())),
    ("-100123", ["/unwatch 5-7", "/watch 5"], "Now watching SN5. Changes are told against the "
                                              "rates now; /subscriptions shows all this chat "
                                              "hears.", ("all", {6, 7}, 0.01, {5})),
], ids=["add-range", "add-with-percent-threshold", "threshold-only", "remove",
        "remove-all-configured", "watch-all", "every-subnet-but-one", "back-is-fresh"])
def test_watch_and_unwatch(handler, chat, texts, answer, after):
    kind = "private" if chat == "42" else "supergroup"
    for text in texts:
        told = say(handler, text, chat=chat, kind=kind, user=ADMIN)
    assert told == answer
    assert watched(handler, chat) == after


WATCH_USAGE = "Usage: /watch N [N-M ...] [THRESHOLD] (like /watch 12 20-30 0.05, or /watch all)"


@pytest.mark.parametrize("text, answer", [
    ("/watch", WATCH_USAGE),
    ("/watch 1 0.1 0.2", WATCH_USAGE + "; give one threshold"),
    ("/watch all 3", WATCH_USAGE + '; "all" goes alone'),
    ("/watch 1 1.5", WATCH_USAGE + '; "1.5" is not a threshold from 0 to 1 (0% to 100%)'),
    ("/watch 1 .", WATCH_USAGE + '; "." is not a threshold like 0.05 or 5%'),
    ("/watch x", WATCH_USAGE + '; "x" is not a subnet number'),
    ("/watch 0-1100", WATCH_USAGE + "; at most 1024 subnets at a time"),
    ("/unwatch", "Usage: /unwatch N [N-M ...] or /unwatch all"),
], ids=["nothing", "two-thresholds", "all-and-more", "threshold-over-one", "bare-point",
        "word", "too-many", "unwatch-nothing"])
def test_watch_refuses_what_it_cannot_use(handler, text, answer):
    assert say(handler, text) == answer
    assert watched(handler, "42") == (CONFIGURED_42, set(), 0.05, set())


DIGEST_ON = ("Weekly digest on: Mondays at 08:00 UTC, a picture of the week's rates and the "
             "list of their changes, for the subnets this chat watches.")


@pytest.mark.parametrize("texts, answer, digest", [
    (["/digest weekly"], DIGEST_ON, True),
    (["/digest WEEKLY", "/digest off"], "Weekly digest off.", False),
    (["/digest weekly", "/watch 30", "/unwatch 1"], None, True),
    (["/digest daily"], "Usage: /digest weekly|off", False),
], ids=["on", "off-again", "kept-by-watch-and-unwatch", "daily"])
def test_digest_turns_the_weekly_digest_on_and_off(handler, texts, answer, digest):
    for text in texts:
        told = say(handler, text)
    assert answer is None or told == answer
    assert handler.view_used.store.of_chat("42").digest is digest
    # Kept in the database: a restart reads it back.
    assert Subscriptions(handler.database, CONFIGURED, 0.01).of_chat("42").digest is digest
    assert say(handler, "/subscriptions").endswith("threshold 0.05, above 0.99"
                                                   + (", weekly digest" if digest else ""))


def test_a_changed_configuration_wins_over_what_was_changed_in_the_chat(handler):
    say(handler, "/watch 30")
    say(handler, "/unwatch 5", chat="-100123", kind="supergroup", user=ADMIN)
    store = handler.view_used.store
    edited = [CONFIGURED[0], ChatConfig(Chat("-100123"), 0.2)]
    again = Subscriptions(handler.database, edited, 0.01)
    assert again.forget_edited() == [
        "chat -100123: its subscription in the configuration changed, so what /watch, "
        "/unwatch and /digest changed in the chat is forgotten"]
    assert again.of_chat("42") == store.of_chat("42")  # unchanged configuration: kept
    assert again.of_chat("-100123") == ChatConfig(Chat("-100123"), 0.2)


def test_public_mode_lets_a_chat_subscribe_itself_up_to_the_bound(make_handler):
    handler = make_handler(public=True, most=2)
    store = handler.view_used.store
    assert say(handler, "/subscriptions", chat="501") == ("This chat hears nothing yet: /watch N "
                                                          "subscribes it.")
    assert say(handler, "/watch 3", chat="501").startswith("Now watching SN3")
    assert say(handler, "/watch 4", chat="502", kind="supergroup", user=ADMIN,
               topic=7).startswith("Now watching SN4")
    assert say(handler, "/watch 5", chat="503") == (
        "This monitor already serves the most chats it takes (2); try again later.")
    assert say(handler, "/watch 5", chat="502", kind="supergroup") == NOT_ALLOWED
    assert store.public_chats() == {"501", "502:7"}
    assert [sub.chat.key for sub in store.current().chats] == [
        "42", "-100123", "-100777:9", "501", "502:7"]
    assert say(handler, "/subscriptions", chat="501") == "This chat: SN3, threshold 0.01"
    # Leaving makes room; a chat that joins again starts afresh.
    assert say(handler, "/unwatch 3", chat="501").startswith("No longer watching SN3")
    assert store.public_chats() == {"502:7"}
    assert say(handler, "/watch 5", chat="503").startswith("Now watching SN5")


def test_the_bound_holds_for_chats_joining_in_one_batch(make_handler):
    handler = make_handler(public=True, most=1)
    first = handler.handle(Incoming(1, "601", "private", None, 601, "/watch 1"))
    second = handler.handle(Incoming(2, "602", "private", None, 602, "/watch 1"))
    assert second[0][1].startswith("This monitor already serves the most chats")
    # Even a change made beyond a miscount is refused when it is made.
    late = handler.view_used.store.watch("603", [1], None, [])
    with handler.database.transaction() as connection:
        first[1](connection)
        late(connection)
    assert handler.view_used.store.public_chats() == {"601"}


def test_without_public_mode_another_chat_cannot_subscribe(handler):
    assert handler.handle(Incoming(1, "777", "private", None, 777, "/watch 1")) == []
    assert handler.view_used.store.public_chats() == set()
