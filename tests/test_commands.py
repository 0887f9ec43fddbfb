"""Chat commands: reading a command, who is answered and how often, and what
each reading command answers, against a fixed monitor and fixed clocks."""

import calendar

import kilnguard
import pytest

from kilnguard_watch.commands.handlers import MENU, Commands, Status
from kilnguard_watch.commands.incoming import LONGEST_TEXT, Incoming
from kilnguard_watch.commands.parse import Command, parse

NOW = calendar.timegm((2026, 12, 8, 14, 5, 0))
SERVED = {"-100123", "42"}


class View:
    def __init__(self, rates=None, status=None, fail=False):
        self._rates, self._status, self.fail = rates, status, fail

    def status(self):
        return self._status

    def rates(self):
        if self.fail:
            raise RuntimeError("database is locked")
        return self._rates

    def changed_at(self, netuid):
        return NOW - 3600 if netuid == "2" else None


RATES = {"1": "0.18", "2": "0.5", "3": "garbage", "4": "nan", "12": "0.50", "30": "0"}


def commands(view=None, clock=None):
    lines, now = [], clock or [0.0]
    handler = Commands(view or View(RATES), kilnguard, SERVED, "KilnBot", lines.append,
                       clock=lambda: now[0], wall=lambda: NOW)
    return handler, lines, now


def say(handler, text, chat="42", kind="private", topic=None):
    return handler.handle(Incoming(1, chat, kind, topic, 7, text))


@pytest.mark.parametrize("text, expected", [
    ("/status", Command("status", ())),
    ("/BURN 1  sn2\t3\n", Command("burn", ("1", "sn2", "3"))),
    ("/status@kilnbot", Command("status", ())),
    ("/status@OtherBot", None),
    ("/status@", None),
    ("hello /status", None),
    (" /status", None),
    ("/", None),
    ("/" + "a" * 33, None),
    ("/stat-us", None),
    ("/x " + "a " * 100, Command("x", ("a",) * 64)),
], ids=["plain", "case-and-spaces", "ours", "other-bot", "empty-address", "not-at-start",
        "leading-space", "slash-only", "name-too-long", "odd-character", "args-capped"])
def test_parse(text, expected):
    assert parse(text, "KilnBot") == expected
    if expected is not None:  # our name unknown: an addressed command is taken as ours
        assert parse(text.replace("@kilnbot", "@SomeBot"), None) == expected


@pytest.mark.parametrize("kind", ["private", "group", "supergroup"])
@pytest.mark.parametrize("chat, text, answered, logged", [
    ("42", "/help", True, False),
    ("-100123", "/status@kilnbot", True, False),
    ("42", "just talking", False, False),
    ("42", "/help@OtherBot", False, False),
    ("99", "/help", False, True),
    ("99", "hello", False, False),
], ids=["served", "served-addressed", "not-a-command", "other-bot", "unserved", "unserved-chatter"])
def test_who_is_answered(kind, chat, text, answered, logged):
    handler, lines, _ = commands(View(RATES, Status("pass", "ok", NOW, 6, 0, None, 0, "", "1")))
    answers = say(handler, text, chat, kind, topic=5)
    assert [key for key, _ in answers] == ([f"{chat}:5"] if answered else [])
    assert lines == (["ignored a command from chat 99, which is not configured"] if logged else [])


def test_an_unserved_chat_is_logged_once_a_minute_and_the_record_stays_bounded():
    handler, lines, now = commands()
    say(handler, "/help", "99"), say(handler, "/help", "99")
    now[0] = 59.0
    say(handler, "/help", "99")
    assert len(lines) == 1
    now[0] = 60.0
    say(handler, "/help", "99")
    assert len(lines) == 2
    for chat in range(10_000):  # pushes chat 99 out of the record
        say(handler, "/help", f"-{chat}")
    say(handler, "/help", "99")
    assert lines[-1] == "ignored a command from chat 99, which is not configured"


def test_twenty_commands_a_minute_then_one_warning_then_silence():
    handler, _, now = commands()
    for second in range(20):
        now[0] = float(second)
        assert len(say(handler, "/help")) == 1
    assert say(handler, "/nonsense") == [("42", "Slow down: at most 20 commands a minute.")]
    assert say(handler, "/help") == []
    assert len(say(handler, "/help", "-100123")) == 1  # each chat has its own limit
    now[0] = 60.0  # the first command leaves the window
    assert len(say(handler, "/help")) == 1
    assert say(handler, "/help") == [("42", "Slow down: at most 20 commands a minute.")]


@pytest.mark.parametrize("text, expected", [
    ("/burn 2 sn1 SN9 2", "SN2: 0.5000 (changed 2026-12-08 13:05 UTC)\n"
                          "SN1: 0.1800 (unchanged since the monitor started)\n"
                          "SN9: not in the listing"),
    ("/burn 11-12,30", "SN11: not in the listing\n"
                       "SN12: 0.5000 (unchanged since the monitor started)\n"
                       "SN30: 0.0000 (unchanged since the monitor started)"),
    ("/burn", "Usage: /burn N [N ...] (subnet numbers, like /burn 1 12)"),
    ("/burn 1 x", 'Usage: /burn N [N ...] (subnet numbers, like /burn 1 12); '
                  '"x" is not a subnet number'),
    ("/burn 65536", 'Usage: /burn N [N ...] (subnet numbers, like /burn 1 12); '
                    '"65536" is not a subnet number'),
    ("/burn 9-3", 'Usage: /burn N [N ...] (subnet numbers, like /burn 1 12); '
                  '"9-3" is not a range of subnet numbers'),
    ("/burn 1-40 41-51", "Usage: /burn N [N ...] (subnet numbers, like /burn 1 12); "
                         "at most 50 subnets at a time"),
    ("/top", "Highest owner burn rates (4 of 6 subnets):\n"
             "SN2: 0.5000\nSN12: 0.5000\nSN1: 0.1800\nSN30: 0.0000"),
    ("/top 2", "Highest owner burn rates (2 of 6 subnets):\nSN2: 0.5000\nSN12: 0.5000"),
    ("/top 51", 'Usage: /top [K] (how many, 1 to 50, 10 when left out); '
                '"51" is not a number from 1 to 50'),
    ("/frobnicate 3", "Unknown command /frobnicate. Send /help for the list."),
], ids=["burn", "burn-range", "burn-bare", "burn-word", "burn-too-big", "burn-reversed",
        "burn-too-many", "top", "top-k", "top-too-many", "unknown"])
def test_answers(text, expected):
    handler, _, _ = commands()
    assert say(handler, text) == [("42", expected)]


@pytest.mark.parametrize("text", ["/burn 1", "/top"])
def test_no_listing_yet(text):
    handler, _, _ = commands(View(None))
    assert say(handler, text) == [("42", "No listing yet: the first pass has not finished.")]


@pytest.mark.parametrize("status, expected", [
    (Status(None, None, None, None, 0, None, 0, "", "1.2"),
     "Last pass: none yet\nNext pass: not scheduled\nMessages waiting: 0\nHealth: well\n"
     "Version: 1.2"),
    (Status("snapshot", "ok", NOW, 129, 3, NOW + 300, 2, "", "1.2"),
     "Last snapshot: ok, 2026-12-08 14:05 UTC\nSubnets: 129\nChanges: 3\n"
     "Next pass: 2026-12-08 14:10 UTC\nMessages waiting: 2\nHealth: well\nVersion: 1.2"),
    (Status("pass", "failed", NOW, None, 0, NOW - 1, 0, "no listing\nfor 3 passes", "1.2"),
     "Last pass: failed, 2026-12-08 14:05 UTC\nSubnets: no usable listing\nChanges: 0\n"
     "Next pass: after this one\nMessages waiting: 0\nHealth: no listing for 3 passes\n"
     "Version: 1.2"),
    (Status("pass", "ok", NOW, 129, 0, NOW + 300, 0, "", "1.2", database_bytes=48_213_504),
     "Last pass: ok, 2026-12-08 14:05 UTC\nSubnets: 129\nChanges: 0\n"
     "Next pass: 2026-12-08 14:10 UTC\nMessages waiting: 0\nHealth: well\nDatabase: 48 MB\n"
     "Version: 1.2"),
], ids=["before-first-pass", "well", "failing-and-running", "database-size"])
def test_status(status, expected):
    handler, _, _ = commands(View(RATES, status))
    assert say(handler, "/status") == [("42", expected)]


def test_help_start_and_menu_list_the_same_commands():
    handler, _, _ = commands()
    (_, help_text), = say(handler, "/help")
    assert say(handler, "/start") == [("42", help_text)]
    assert [line.split()[0] for line in help_text.splitlines()] == [f"/{c}" for c, _ in MENU]
    for command, description in MENU:
        assert parse(f"/{command}", None).name == command and 1 <= len(description) <= 256


def test_a_failing_monitor_is_logged_and_answered():
    handler, lines, _ = commands(View(RATES, fail=True))
    assert say(handler, "/top") == [("42", "Sorry, /top failed; the monitor's log says why.")]
    assert lines == ["command /top from chat 42 failed: RuntimeError: database is locked"]


@pytest.mark.parametrize("text", [
    "/burn " + "1" * 5000, "/burn " + "x" * 50_000, "/burn " + "7 " * 25_000,
    "/burn \u202e1\u200b", "/burn \ud800", "/top \ud800\udfff", "/top -1", "/top 1e3",
    "/burn 1,,,", "/burn ,", "/burn -", "/burn 0-0", "/burn sn", "/burn ٣",
    "/" + "z" * 32 + " " * 50_000, "/burn " + " ".join(map(str, range(64))),
    "/status " + "é" * 50_000,
], ids=["huge-number", "huge-word", "many-words", "rtl-zero-width", "surrogate",
        "surrogate-pair", "negative", "exponent", "commas", "comma-only", "dash", "zero-range",
        "prefix-only", "other-digits", "long-unknown", "sixty-four", "status-with-junk"])
def test_bad_input_gets_a_short_answer(text):
    handler, _, _ = commands()
    (_, answer), = say(handler, text)
    assert 0 < len(answer) < LONGEST_TEXT
    answer.encode("utf-8")  # storable and sendable: no lone surrogate quoted back


def test_an_overlong_monitor_text_still_makes_a_sendable_answer():
    handler, _, _ = commands(View(RATES, Status("pass", "error", NOW, None, 0, None, 0,
                                                "x" * 10_000, "1.2")))
    (_, answer), = say(handler, "/status")
    assert answer.startswith("Last pass: error") and len(answer) < LONGEST_TEXT
