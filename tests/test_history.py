"""The history of rate changes and passes: blocks that give back exactly the
texts that went in, a history kept and trimmed across restarts, bounded
packing and trimming, a pass whose history cannot be written still
alerting, the database size reported, the chart's caption, and a monitor
that never loads matplotlib."""

import contextlib
import json
import os
import sqlite3
import subprocess
import sys

import pytest

import kilnguard
from child_env import watch_env
from fake_taostats import Reply, subnet_listing
from kilnguard_watch import seam
from kilnguard_watch.charts import caption
from kilnguard_watch.commands.words import size_text
from kilnguard_watch.delivery.chats import Chat
from kilnguard_watch.rates import rate_value, rate_values
from kilnguard_watch.reporting.metrics import Metrics
from kilnguard_watch.store import history
from kilnguard_watch.store.database import Database, bytes_on_disk
from kilnguard_watch.store.history import History, Series
from kilnguard_watch.store.history_blocks import DAY, DamagedBlock, decode, encode

TOKEN = "123456:telegram-bot-token"
START = 20_000 * DAY  # a UTC midnight
PASS = 300


@pytest.mark.parametrize("first_old, rates", [
    (None, ["0.5", "0.97", "1", "0", "0.125"]),
    ("0.5", ["0.50", "-0", "1e-05", "-0.25", "00.5", "1.0", "0.000000000000000001"]),
    ("", ["12345678901234567890123", "nan", "", "x\ud800y", "a\nb", "0.3"]),
    ("0.1", [f"0.{n:04d}" for n in range(288)]),
], ids=["plain", "texts-no-number-keeps", "literals-and-line-breaks", "a-day-of-passes"])
def test_a_block_gives_back_exactly_what_went_in(first_old, rates):
    times = [START + PASS * n + n % 3 for n in range(len(rates))]
    assert decode(20_000, encode(20_000, times, first_old, rates)) == (times, first_old, rates)


def test_a_damaged_block_is_refused_with_its_day():
    data = encode(20_000, [START], None, ["0.5"])
    with pytest.raises(DamagedBlock, match="day 20000"):
        decode(20_000, data[:-3])


def opened(path):
    database = Database(str(path))
    assert database.open() is None
    return database


def test_history_is_kept_and_trimmed_across_restarts(tmp_path, monkeypatch):
    monkeypatch.setattr(history, "BLOCKS_TRIMMED_PER_PASS", 2)
    path = tmp_path / "burn_state.kilnguard.db"
    database = opened(path)
    writer = History(database, days=2)
    day_passes = DAY // PASS
    for n in range(2 * day_passes):  # two days: SN1 changes every pass, SN2 once
        writer.record(START + PASS * n, "pass", "ok", 2, 0.01,
                      {"1": f"0.{n % 50:02d}1", "2": "0.5" if n < day_passes + 10 else "0.6"})
    database.close()  # its last day not packed yet

    database = opened(path)  # a restart: what was last recorded is known again
    writer = History(database, days=2)
    for n in range(2 * day_passes, 5 * day_passes):
        writer.record(START + PASS * n, "pass", "ok", 2, 0.01, {"1": f"0.{n % 50:02d}1", "2": "0.6"})
    now = START + PASS * (5 * day_passes - 1)
    kept = history.changes(database, since=START)
    assert not any(change.old is None for change in kept if change.at > START)  # no "first seen" twice
    days = database.execute("SELECT netuid, day FROM history_blocks ORDER BY netuid, day").fetchall()
    # The days before the cutoff went, but for SN2's newest, which stays.
    assert days == [(1, 20_002), (1, 20_003), (2, 20_001)]
    oldest = database.execute("SELECT MIN(at) FROM history_passes").fetchone()[0]
    assert now - 2 * DAY - history.TRIM_EVERY - PASS <= oldest <= now - 2 * DAY
    assert history.series(database, 2, now - DAY, now).start == "0.6"

    sn1 = history.series(database, 1, START + 3 * DAY, now)
    assert sn1.start == f"0.{(3 * day_passes - 1) % 50:02d}1" and sn1.rates == [f"0.{n % 50:02d}1" for n in
                                                  range(3 * day_passes, 5 * day_passes)]
    chain = list(history.changes(database, [1], START + 3 * DAY, now))
    assert [c.old for c in chain[1:]] == [c.new for c in chain[:-1]]
    database.close()


def test_a_finished_day_is_packed_a_few_subnets_a_pass(tmp_path, monkeypatch):
    monkeypatch.setattr(history, "PACKED_PER_PASS", 3)
    database = opened(tmp_path / "h.db")
    writer = History(database)
    writer.record(START, "snapshot", "ok", 8, 0.01, {str(n): "0.5" for n in range(8)})
    writer.record(START + 60, "pass", "ok", 8, 0.01, {str(n): "0.6" for n in range(0, 8, 2)})
    packed = []
    for n in range(1, 5):  # the next day's passes, nothing new
        writer.record(START + DAY + n, "pass", "ok", 8, 0.01, None)
        packed.append(database.execute("SELECT COUNT(*) FROM history_blocks").fetchone()[0]
                      + database.execute("SELECT COUNT(*) FROM history_recent").fetchone()[0] / 10)
    assert packed == [3.2, 6.2, 8, 8]  # blocks, and tenths for the rows still to pack
    assert [(c.netuid, c.old, c.new) for c in history.changes(database)] == [
        *((n, None, "0.5") for n in range(8)), *((n, "0.5", "0.6") for n in range(0, 8, 2))]


@pytest.fixture
def monitor(tmp_path, fake_taostats, telegram, sleeps, monkeypatch):
    """One in-process monitor on the loopback fakes; run(rates) is one pass."""
    monkeypatch.setenv("TAOSTATS_API_KEY", "taostats-api-key-123")
    state = str(tmp_path / "burn_state.json")
    lines, outcomes = [], []
    host = seam.install(kilnguard, seam.Settings(state, TOKEN, [Chat("1")]), log=lines.append)
    host.lines, host.outcomes = lines, outcomes
    host.observers.subscribe(outcomes.append)

    def run(rates):
        fake_taostats.reply(Reply(body=json.dumps(subnet_listing(len(rates), rates))))
        kilnguard.run_kilnguard_once(state_path=state, threshold=0.01, burn_token=TOKEN,
                                     burn_chat_id="")
    host.run = run
    yield host
    host.uninstall()
    host.database.close()


def test_a_pass_whose_history_cannot_be_written_still_alerts(monitor, telegram):
    monitor.run({0: "0", 1: "0.5"})
    full = ("CREATE TRIGGER full BEFORE INSERT ON history_passes "
            "BEGIN SELECT RAISE(FAIL, 'database or disk is full'); END")
    monitor.database.execute(full)
    monitor.run({0: "0", 1: "0.7"})
    assert [text.splitlines()[-1] for text in telegram.delivered("1")] == ["SN1: 0.5000 → 0.7000"]
    assert monitor.outcomes[-1].result == "ok"
    assert monitor.baselines.rates_of("1")["1"] == "0.7"  # the alert's transaction stood
    [line] = [line for line in monitor.lines if "history" in line]
    assert line.startswith("cannot record this pass in the history") and line.endswith(
        "database or disk is full")
    monitor.database.execute("DROP TRIGGER full")
    monitor.run({0: "0", 1: "0.7"})  # the change missed is recorded with the next pass
    assert [(c.netuid, c.old, c.new) for c in history.changes(monitor.database)] == [
        (0, None, "0"), (1, None, "0.5"), (1, "0.5", "0.7")]
    assert [p.result for p in history.passes(monitor.database)] == ["ok", "ok"]


def test_the_database_size_counts_the_log_beside_it(monitor):
    monitor.run({0: "0", 1: "0.5"})
    path = monitor.database.path
    on_disk = os.stat(path).st_size + os.stat(path + "-wal").st_size
    assert monitor.database.bytes_on_disk() == bytes_on_disk(path) == on_disk
    assert Database(None).bytes_on_disk() is None


@pytest.mark.parametrize("size, shown", [
    (lambda: 123_456_789, 123_456_789),
    (lambda: None, None),
], ids=["on-disk", "in-memory"])
def test_the_database_size_is_a_gauge(size, shown):
    registry = Metrics("1", database_size=size).registry
    assert registry.get_sample_value("kilnguard_database_bytes") == shown


@pytest.mark.parametrize("count, text", [
    (812, "812 bytes"), (812_000, "812 KB"), (12_345_678, "12 MB"), (1_234_567_890, "1.2 GB"),
], ids=["bytes", "kilobytes", "megabytes", "gigabytes"])
def test_sizes_read_as_a_person_reads_them(count, text):
    assert size_text(count) == text


@pytest.mark.parametrize("series, text", [
    (Series(12, START, START + DAY, "0.97", [START + 60, START + 120], ["0.5", "1"]),
     "SN12, 2024-10-04 00:00 to 2024-10-05 00:00 UTC: now 100%, min 50%, max 100%, 2 changes"),
    (Series(3, START, START + DAY, None, [START + 60], ["0.125"]),
     "SN3, 2024-10-04 00:00 to 2024-10-05 00:00 UTC: now 12.5%, min 12.5%, max 12.5%, 0 changes"),
    (Series(3, START, START + DAY, "n/a", [], []),
     "SN3, 2024-10-04 00:00 to 2024-10-05 00:00 UTC: now 'n/a', 0 changes"),
    (Series(3, START, START + DAY, None, [], []),
     "SN3, 2024-10-04 00:00 to 2024-10-05 00:00 UTC: no rate recorded"),
], ids=["changes", "first-seen-is-no-change", "not-a-number", "nothing"])
def test_the_caption_says_where_the_rate_is_and_went(series, text):
    assert caption(series) == text


@pytest.mark.parametrize("texts", [
    ["0", "0.97", "1e-05", ".5", "-0.25"],
    ["0.5", "1e999", "0.25"],
    ["0.5", "1\n2", "0.25"],
    ["0.5", " 0.5", "nan", "1_0", None, "0.3"],
    [],
], ids=["decimals", "overflow", "line-break-inside", "not-decimals", "none"])
def test_many_rates_read_as_each_is_read(texts):
    assert rate_values(texts) == [rate_value(text) for text in texts]


def test_the_monitor_never_loads_matplotlib(watcher):
    watcher.listing({0: "0", 1: "0.5"})
    watcher.listing({0: "0", 1: "0.7"})
    for _ in range(2):
        done = subprocess.run([sys.executable, "-X", "importtime", *watcher.command("--once")[1:]],
                              env=watch_env(**watcher.settings), capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0, done.stderr
        assert " matplotlib" not in done.stderr and " numpy" not in done.stderr
    with contextlib.closing(sqlite3.connect(watcher.database)) as connection:
        assert [(c.netuid, c.old, c.new) for c in history.changes(connection)] == [
            (0, None, "0"), (1, None, "0.5"), (1, "0.5", "0.7")]
