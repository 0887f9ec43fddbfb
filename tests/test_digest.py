"""The weekly digest: when it is due (on time, not yet, made already, too
late, across a restart), what a week of changes reads as (each day's last
rate, the subnets that changed most), the digest a chat gets through the
monitor (a picture and its list, shared by chats that watch the same
subnets, one line for a quiet week), a single run that waits for it, and
a database from before it."""

import calendar
import contextlib
import importlib
import json
import sqlite3
import struct
import time

import pytest

import kilnguard
from fake_taostats import Reply, subnet_listing
from kilnguard_watch import config, seam
from kilnguard_watch.config import ChatConfig
from kilnguard_watch.delivery.chats import Chat
from kilnguard_watch.digest import week as week_module
from kilnguard_watch.digest.schedule import DAY, WEEK, Schedule, week_before
from kilnguard_watch.digest.week import SubnetWeek, Week, read_week
from kilnguard_watch.store.database import Database
from kilnguard_watch.store.history import History
from kilnguard_watch.store.subscriptions import Subscriptions

TOKEN = "123456:telegram-bot-token"
# The module, which the package's function of the same name hides.
week_chart_module = importlib.import_module("kilnguard_watch.charts.week_chart")
MONDAY = calendar.timegm((2024, 10, 14, 8, 0, 0))  # a digest's moment, Mondays at 08:00
SINCE, UNTIL = week_before(MONDAY)  # Monday 2024-10-07 00:00 to Monday 2024-10-14 00:00


@pytest.mark.parametrize("schedule, now, done, due", [
    (Schedule(), MONDAY, MONDAY - WEEK, (MONDAY, False)),
    (Schedule(), MONDAY - 1, MONDAY - WEEK, None),
    (Schedule(), MONDAY + 3 * 3600, MONDAY, None),
    (Schedule(), MONDAY + 5 * 3600, None, (MONDAY, False)),
    (Schedule(), MONDAY + DAY, MONDAY - WEEK, (MONDAY, False)),
    (Schedule(), MONDAY + DAY + 1, MONDAY - WEEK, (MONDAY, True)),
    (Schedule(), MONDAY + 6 * DAY, None, (MONDAY, True)),
    (Schedule(6, 20), calendar.timegm((2024, 10, 13, 20, 30, 0)), None,
     (calendar.timegm((2024, 10, 13, 20, 0, 0)), False)),
    (Schedule(0, 0), MONDAY, None, (MONDAY - 8 * 3600, False)),
    (Schedule(), MONDAY + 3600, MONDAY + WEEK, None),
], ids=["at-its-hour", "an-instant-before", "made-already", "first-start-after-the-hour",
        "a-day-late-still-made", "more-than-a-day-late-skipped", "first-start-days-late",
        "sundays-at-20", "mondays-at-midnight", "clock-set-back"])
def test_when_a_digest_is_due(schedule, now, done, due):
    assert schedule.due(now, done) == due


def record_week(writer):
    """A week of SN1, SN2, SN3, SN5 and SN7, with changes before and after it."""
    writer.record(SINCE - DAY, "pass", "ok", 4, 0.01, {"1": "0.5", "2": "0.9", "3": "0.2",
                                                      "7": "0.1"})
    writer.record(SINCE + 3600, "pass", "ok", 4, 0.01, {"1": "0.6"})
    writer.record(SINCE + DAY + 60, "pass", "ok", 4, 0.01, {"1": "0.7"})
    writer.record(SINCE + 2 * DAY + 60, "pass", "ok", 5, 0.01, {"5": "0.3"})  # first seen
    writer.record(SINCE + 3 * DAY, "pass", "ok", 5, 0.01, {"2": "0.95"})
    writer.record(SINCE + 4 * DAY + 60, "pass", "ok", 5, 0.01, {"1": "0.65", "5": "0.4"})
    writer.record(UNTIL - 1, "pass", "ok", 5, 0.01, {"1": "0.6"})
    writer.record(UNTIL + 3600, "pass", "ok", 5, 0.01, {"1": "0.99"})  # the next week's


def test_a_week_is_each_days_last_rate(tmp_path):
    database = Database(str(tmp_path / "k.db"))
    database.open()
    record_week(History(database))
    week = read_week(database, SINCE, UNTIL)
    assert week.subnets == {
        1: SubnetWeek(1, "0.5", "0.6", 4, ("0.6", "0.7", "0.7", "0.7", "0.65", "0.65", "0.6")),
        2: SubnetWeek(2, "0.9", "0.95", 1, ("0.9", "0.9", "0.9", "0.95", "0.95", "0.95", "0.95")),
        5: SubnetWeek(5, "0.3", "0.4", 1, (None, None, "0.3", "0.3", "0.4", "0.4", "0.4")),
    }
    assert list(read_week(database, SINCE, UNTIL, [2, 3]).subnets) == [2]
    database.close()


def many(count):
    """A week of `count` subnets, SN n changing n % 7 + 1 times."""
    return Week(SINCE, UNTIL, {n: SubnetWeek(n, "0.5", "1", n % 7 + 1, ("1",) * 7)
                               for n in range(count)})


@pytest.mark.parametrize("count, in_picture, summary", [
    (40, 40, "40 subnets changed"),
    (45, 40, "45 subnets changed; the picture shows the 40 that changed most, and 5 more"),
    (45, None, "45 subnets changed"),
], ids=["all-in-the-picture", "more-than-the-picture", "no-picture"])
def test_a_long_week_names_what_the_picture_leaves_out(count, in_picture, summary):
    week = many(count)
    netuids = tuple(range(count))
    shown = week_module.shown(week, netuids)
    assert list(shown) == sorted(shown)
    # Left out: the fewest changes, the higher netuids first at a tie.
    assert set(netuids) - set(shown) == ({14, 21, 28, 35, 42} if count == 45 else set())
    lines = week_module.text(week, netuids, in_picture, kilnguard.format_owner_burn).split("\n")
    assert lines[1] == summary and len(lines) == 3 + count


def chat(chat_id, subnets, digest=True):
    return ChatConfig(Chat(chat_id), 0.01, subnets=frozenset(subnets), digest=digest)


@pytest.fixture
def monitor(tmp_path, fake_taostats, telegram, sleeps, monkeypatch):
    """start(now) -> a host whose digest clock reads `now` (a restart when
    one ran before); run() is one pass."""
    monkeypatch.setenv("TAOSTATS_API_KEY", "taostats-api-key-123")
    state = str(tmp_path / "burn_state.json")
    hosts = []

    class Monitor:
        lines = []

        def start(self, now):
            self.stop()
            hosts.append(seam.install(kilnguard, seam.Settings(state, TOKEN, subscriptions=[
                chat("1", [1, 2, 3, 5]), chat("2", [1, 2, 3, 5]), chat("3", [3, 7]),
                chat("4", [1], digest=False)], history_days=3650), log=self.lines.append))
            hosts[-1].digest.clock = lambda: now
            return hosts[-1]

        def run(self):
            fake_taostats.reply(Reply(body=json.dumps(subnet_listing(2, {0: "0", 1: "0.99"}))))
            kilnguard.run_kilnguard_once(state_path=state, threshold=0.01, burn_token=TOKEN,
                                         burn_chat_id="")
            hosts[-1].finish_digest()

        def stop(self):
            if hosts:
                hosts[-1].uninstall()
                hosts[-1].database.close()

    yield Monitor()
    Monitor().stop()


def png_size(png):
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and png[12:16] == b"IHDR"
    return struct.unpack(">II", png[16:24])


def test_each_chat_gets_its_weeks_picture_and_list_once(monitor, telegram, monkeypatch):
    drawn = []
    draw = week_chart_module.week_chart
    monkeypatch.setattr(week_chart_module, "week_chart",
                        lambda week, netuids: drawn.append(netuids) or draw(week, netuids))
    host = monitor.start(MONDAY + 2 * 3600)
    record_week(host.history)
    monitor.run()
    assert drawn == [(1, 2, 5)]  # once for the two chats that watch the same subnets
    for chat_id in ("1", "2"):
        [(caption, png)] = telegram.photos(chat_id)
        assert caption == ("Weekly digest, 2024-10-07 to 2024-10-13 (UTC): 3 subnets changed; "
                           "the list follows.")
        assert png_size(png) == (1200, 800)
        assert telegram.delivered(chat_id) == [
            "Weekly digest: owner burn rates, 2024-10-07 to 2024-10-13 (UTC)\n"
            "3 subnets changed\n\n"
            "SN1: 0.5000 → 0.6000 (4 changes)\n"
            "SN2: 0.9000 → 0.9500 (1 change)\n"
            "SN5: 0.3000 → 0.4000 (1 change)"]
    assert telegram.photos("3") == [] and telegram.delivered("3") == [
        "Weekly digest, 2024-10-07 to 2024-10-13 (UTC): no owner burn rate changed in the "
        "subnets this chat watches."]
    assert telegram.photos("4") == telegram.delivered("4") == []
    assert "queued the weekly digest of 2024-10-07 to 2024-10-13 (UTC) for 3 chat(s)" in \
        monitor.lines

    monitor.start(MONDAY + 3 * 3600)  # a restart within the day: not made again
    monitor.run()
    monitor.start(MONDAY + WEEK - 1)
    monitor.run()
    assert len(telegram.photos()) == 2 and len(drawn) == 1


def test_a_digest_more_than_a_day_late_is_skipped_with_one_line(monitor, telegram):
    host = monitor.start(MONDAY + DAY + 3600)
    record_week(host.history)
    monitor.run()
    monitor.run()
    assert telegram.photos() == [] and telegram.delivered() == []
    assert [line for line in monitor.lines if "digest" in line] == [
        "skipped the weekly digest due 2024-10-14 08:00 UTC: the monitor was not running "
        "within a day of it"]


def test_a_database_from_before_the_digest_keeps_its_subscriptions(tmp_path):
    path = tmp_path / "k.db"
    with contextlib.closing(sqlite3.connect(path)) as connection:
        connection.executescript(
            "CREATE TABLE subscriptions (chat TEXT PRIMARY KEY, subnets TEXT, ignored TEXT NOT "
            "NULL DEFAULT '[]', threshold REAL NOT NULL, fresh TEXT NOT NULL DEFAULT '[]', "
            "configured TEXT); INSERT INTO subscriptions (chat, subnets, threshold) "
            "VALUES ('501', '[3]', 0.02); PRAGMA user_version = 5;")
    database = Database(str(path))
    assert database.open() is None
    store = Subscriptions(database, [], 0.01, public=True)
    assert store.of_chat("501") == ChatConfig(Chat("501"), 0.02, subnets=frozenset({3}))
    with database.transaction() as connection:
        store.digest("501", True)(connection)
    assert store.of_chat("501").digest is True
    database.close()


def test_a_single_run_waits_for_its_digest_and_delivers_it(watcher, tmp_path):
    now = time.time()
    today = int(now) // DAY * DAY
    database = Database(str(watcher.database))
    database.open()
    writer = History(database)
    writer.record(today - 5 * DAY, "pass", "ok", 2, 0.01, {"0": "0", "1": "0.5"})
    writer.record(today - 3 * DAY, "pass", "ok", 2, 0.01, {"1": "0.7"})
    database.close()
    # Due at this very hour: the run makes it, and ends only once it went out.
    path = tmp_path / "watch.toml"
    path.write_text(f'digest_day = "{config.WEEKDAYS[time.gmtime(now).tm_wday]}"\n'
                    f'digest_hour = {time.gmtime(now).tm_hour}\n'
                    f'[[chat]]\nid = 12345\ndigest = "weekly"\n')
    watcher.listing({0: "0", 1: "0.7"})
    done = watcher.run("--once", "--config", str(path))
    assert done.returncode == 0, done.stderr
    [(_, png)] = watcher.telegram.photos("12345")
    assert png_size(png) == (1200, 800)
    assert watcher.telegram.delivered("12345")[-1].endswith("\n\nSN1: 0.5000 → 0.7000 (1 change)")
