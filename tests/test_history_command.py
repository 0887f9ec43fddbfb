"""/history in the chat: a chart of a subnet's rate as a picture with its
caption, sent with sendPhoto through the outbox; what it refuses, and the
bound on charts drawn for all chats together."""

import struct

import pytest

import kilnguard
from fake_taostats import wait_until
from kilnguard_watch.commands.handlers import CHARTS_PER_MINUTE, Commands
from kilnguard_watch.commands.incoming import Incoming
from kilnguard_watch.store import history
from kilnguard_watch.store.database import Database
from kilnguard_watch.store.history import History

NOW = 1_765_000_000
USAGE = "Usage: /history N [DAYS] (like /history 12 90; 30 days when left out)"


def png_size(png):
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", png[16:24])


class View:
    def __init__(self, database):
        self.database = database

    def series(self, netuid, since, until):
        return history.series(self.database, netuid, since, until)

    def history_days(self):
        return 365


@pytest.fixture
def handler(tmp_path):
    database = Database(str(tmp_path / "k.db"))
    database.open()
    kept = History(database)
    for n, rate in enumerate(["0.5", "0.9", "0.7"]):
        kept.record(NOW - 3 * 86400 + n * 86400, "pass", "ok", 2, 1.0, {"1": rate, "2": "0"})
    clock = [0.0]
    commands = Commands(View(database), kilnguard, {"42", *map(str, range(100))}, "KilnBot", print,
                        clock=lambda: clock[0], wall=lambda: NOW)
    commands.clock_now = clock
    return commands


def ask(handler, text, chat="42"):
    [answer] = handler.handle(Incoming(1, chat, "private", None, 42, text))
    return answer


def test_a_chart_comes_as_a_picture_with_its_caption(handler):
    key, caption, png = ask(handler, "/history 1 7")
    assert key == "42" and png_size(png) == (1200, 800)
    assert caption.startswith("SN1, ") and caption.endswith("now 70%, min 50%, max 90%, 2 changes")


@pytest.mark.parametrize("text, answer", [
    ("/history", USAGE),
    ("/history 1 2 3", USAGE),
    ("/history x", USAGE + '; "x" is not a subnet number'),
    ("/history 1 0", USAGE + '; "0" is not a number of days from 1 to 365'),
    ("/history 1 366", USAGE + '; "366" is not a number of days from 1 to 365'),
    ("/history 3", "No history of SN3 yet: it is kept from the first pass that sees it."),
], ids=["nothing", "too-much", "not-a-subnet", "no-days", "past-the-kept-period", "unknown"])
def test_what_history_refuses(handler, text, answer):
    assert ask(handler, text) == ("42", answer)


def test_charts_are_bounded_for_all_chats_together(handler, monkeypatch):
    import kilnguard_watch.charts as charts

    monkeypatch.setattr(charts, "rate_chart", lambda series: b"\x89PNG")
    for n in range(CHARTS_PER_MINUTE):
        assert len(ask(handler, "/history 1", chat=str(n))) == 3
    assert ask(handler, "/history 1", chat="99")[1].startswith("Busy drawing charts")
    handler.clock_now[0] += 60
    assert len(ask(handler, "/history 1", chat="99")) == 3


def test_the_running_monitor_sends_the_chart_through_the_outbox(watcher):
    from test_watch_commands import message, stop

    watcher.listing({0: "0", 1: "0.5"})
    child = watcher.start("--commands", "--interval", "60")
    try:
        # The snapshot's rates are in the history once it is over.
        wait_until(lambda: watcher.telegram.held_polls
                   and watcher.query("SELECT COUNT(*) FROM history_recent") == [(1,)], timeout=60)
        watcher.telegram.push_update(message(12345, "/history 1"))
        wait_until(lambda: watcher.telegram.photos("12345"), timeout=60)
    finally:
        status, err = stop(child)

    assert status == 0, err
    [(caption, png)] = watcher.telegram.photos("12345")
    assert caption.startswith("SN1, ") and png_size(png) == (1200, 800)
