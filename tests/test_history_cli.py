"""`kilnguard-watch history` run as an operator runs it, as a separate
process: its formats, its period and subnet filters, its chart, its usage
errors, and a database it reads beside a running monitor without ever
creating or changing it."""

import json
import sqlite3
import struct
import subprocess
import sys

import pytest

from child_env import watch_env
from kilnguard_watch.store.database import Database
from kilnguard_watch.store.history import History, _pass_changes

DAY = 86_400
START = 20_000 * DAY  # 2024-10-04T00:00:00Z


def history(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "kilnguard_watch", "history", *args],
                          env=watch_env(), capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def recorded(tmp_path):
    """A state path whose database holds a day packed into blocks and a
    day not yet packed; gives the --state value."""
    state = tmp_path / "burn_state.json"
    database = Database(str(tmp_path / "burn_state.kilnguard.db"))
    database.open()
    writer = History(database)
    writer.record(START, "snapshot", "ok", 2, 0.012, {"1": "0.5", "12": "1"})
    writer.record(START + 300, "pass", "ok", 2, 0.0125, {"1": "0.97", "12": "1"})
    writer.record(START + 600, "pass", "failed", None, 3.5, None)
    writer.record(START + DAY + 60, "pass", "ok", 2, 0.01, {"1": "0.97", "12": "0.999"})
    assert database.execute("SELECT COUNT(*) FROM history_blocks").fetchone()[0] == 2
    database.close()
    return str(state)


EVERYTHING = ("--since", "2024-10-01", "--until", "2024-10-06")
TABLE = """\
time (UTC)            subnet  old           new
2024-10-04T00:00:00Z       1  -             0.5
2024-10-04T00:00:00Z      12  -             1
2024-10-04T00:05:00Z       1  0.5           0.97
2024-10-05T00:01:00Z      12  1             0.999
"""
CSV = """\
at,netuid,old,new
2024-10-04T00:00:00Z,1,,0.5
2024-10-04T00:00:00Z,12,,1
2024-10-04T00:05:00Z,1,0.5,0.97
2024-10-05T00:01:00Z,12,1,0.999
"""
PASSES = """\
time (UTC)            kind      result  subnets  duration
2024-10-04T00:00:00Z  snapshot  ok            2     0.012
2024-10-04T00:05:00Z  pass      ok            2     0.013
2024-10-04T00:10:00Z  pass      failed        -     3.500
2024-10-05T00:01:00Z  pass      ok            2     0.010
"""


@pytest.mark.parametrize("args, out", [
    ((), TABLE),
    (("--format", "csv"), CSV),
    (("--format", "csv", "--netuid", "12"), "at,netuid,old,new\n2024-10-04T00:00:00Z,12,,1\n"
                                            "2024-10-05T00:01:00Z,12,1,0.999\n"),
    (("--passes",), PASSES),
    (("--passes", "--format", "csv"), "at,kind,result,subnets,duration\n"
                                      "2024-10-04T00:00:00Z,snapshot,ok,2,0.012\n"
                                      "2024-10-04T00:05:00Z,pass,ok,2,0.0125\n"
                                      "2024-10-04T00:10:00Z,pass,failed,,3.5\n"
                                      "2024-10-05T00:01:00Z,pass,ok,2,0.01\n"),
], ids=["table", "csv", "csv-one-subnet", "passes", "passes-csv"])
def test_formats(recorded, args, out):
    done = history("--state", recorded, *EVERYTHING, *args)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", out)


def test_json_is_one_array_of_objects(recorded):
    done = history("--state", recorded, *EVERYTHING, "--format", "json", "--netuid", "1,12")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [
        {"at": "2024-10-04T00:00:00Z", "netuid": 1, "old": None, "new": "0.5"},
        {"at": "2024-10-04T00:00:00Z", "netuid": 12, "old": None, "new": "1"},
        {"at": "2024-10-04T00:05:00Z", "netuid": 1, "old": "0.5", "new": "0.97"},
        {"at": "2024-10-05T00:01:00Z", "netuid": 12, "old": "1", "new": "0.999"}]


@pytest.mark.parametrize("since, until, lines", [
    ("2024-10-04T00:05:00Z", "2024-10-04T02:05+02:00", ["2024-10-04T00:05:00Z,1,0.5,0.97"]),
    ("2024-10-04T00:05:01", "2024-10-05", ["2024-10-05T00:01:00Z,12,1,0.999"]),
    ("2024-10-05T00:01:01", "2024-10-06", []),
], ids=["offset-until", "date-until-takes-its-whole-day", "nothing-in-the-period"])
def test_the_period_takes_both_ends(recorded, since, until, lines):
    done = history("--state", recorded, "--since", since, "--until", until, "--format", "csv")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1:] == lines


def test_the_chart_is_a_png_of_the_promised_size(recorded, tmp_path):
    chart = tmp_path / "sn1.png"
    done = history("--state", recorded, "--netuid", "1", *EVERYTHING, "--chart", str(chart))
    assert done.returncode == 0, done.stderr
    assert done.stdout == ("SN1, 2024-10-01 00:00 to 2024-10-06 23:59 UTC: now 97%, min 50%, "
                           "max 97%, 1 change\n")
    data = chart.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    assert struct.unpack(">II", data[16:24]) == (1200, 800)


@pytest.mark.parametrize("args, status, err", [
    (("--since", "04/10/2024"), 2,
     "kilnguard-watch: --since wants a date like 2026-12-08 or 2026-12-08T14:05 (UTC unless an "
     "offset is given), not '04/10/2024'\n"),
    (("--since", "2024-10-05", "--until", "2024-10-04T12:00"), 2,
     "kilnguard-watch: --since 2024-10-05 is after --until 2024-10-04T12:00\n"),
    (("--netuid", "70000"), 2,
     "kilnguard-watch history: argument --netuid: a subnet number from 0 to 65535, not '70000' "
     "(see --help)\n"),
    (("--chart", "x.png"), 2, "kilnguard-watch: --chart draws one subnet: give exactly one --netuid\n"),
    (("--chart", "x.png", "--netuid", "1,12"), 2,
     "kilnguard-watch: --chart draws one subnet: give exactly one --netuid, not 2\n"),
    (("--chart", "x.png", "--netuid", "1", "--format", "csv"), 2,
     "kilnguard-watch: --chart and --format do not go together\n"),
    (("--chart", "/nonexistent/x.png", "--netuid", "1"), 2,
     "kilnguard-watch: --chart /nonexistent/x.png: folder /nonexistent does not exist\n"),
], ids=["bad-date", "since-after-until", "netuid-out-of-range", "chart-without-subnet",
        "chart-of-two-subnets", "chart-with-format", "chart-in-no-folder"])
def test_usage_errors_name_the_value(recorded, args, status, err):
    done = history("--state", recorded, *args)
    assert (done.returncode, done.stderr, done.stdout) == (status, err, "")


def test_no_database_is_an_error_and_none_is_made(tmp_path):
    done = history("--state", str(tmp_path / "other.json"))
    assert done.returncode == 2
    assert done.stderr.startswith(f"kilnguard-watch: no database at {tmp_path}/other.kilnguard.db:")
    assert list(tmp_path.iterdir()) == []


def test_a_database_from_before_history_is_left_as_it_was(tmp_path):
    path = tmp_path / "burn_state.kilnguard.db"
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE outbox (id INTEGER PRIMARY KEY, chat TEXT, text TEXT)")
        connection.execute("PRAGMA user_version = 3")
    done = history("--state", str(tmp_path / "burn_state.json"))
    assert done.returncode == 1 and "has no history yet" in done.stderr
    with sqlite3.connect(path) as connection:
        assert connection.execute("PRAGMA user_version").fetchone()[0] == 3
        assert connection.execute("SELECT name FROM sqlite_master").fetchall() == [("outbox",)]


def test_it_reads_beside_a_monitor_in_the_middle_of_a_write(recorded, tmp_path):
    database = Database(str(tmp_path / "burn_state.kilnguard.db"))
    database.open()
    with database.transaction() as connection:
        connection.execute("INSERT INTO history_recent (at, changes) VALUES (?, ?)",
                           (START + DAY + 300, _pass_changes([1], ["0.97"], ["0.1"])))
        done = history("--state", recorded, *EVERYTHING, "--format", "csv", "--netuid", "1")
    database.close()
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1:] == ["2024-10-04T00:00:00Z,1,,0.5",
                                            "2024-10-04T00:05:00Z,1,0.5,0.97"]


def test_the_monitors_passes_are_in_its_history(watcher):
    watcher.listing({0: "0", 1: "0.5"})
    watcher.listing({0: "0", 1: "0.7"})
    for _ in range(2):
        assert watcher.run("--once").returncode == 0
    done = history("--state", str(watcher.state), "--format", "csv")
    assert done.returncode == 0, done.stderr
    assert [line.split(",", 1)[1] for line in done.stdout.splitlines()[1:]] == [
        "0,,0", "1,,0.5", "1,0.5,0.7"]
    done = history("--state", str(watcher.state), "--passes", "--format", "csv")
    assert [line.split(",")[1:4] for line in done.stdout.splitlines()[1:]] == [
        ["pass", "ok", "2"], ["pass", "ok", "2"]]


def test_the_monitor_refuses_a_period_it_cannot_keep(watcher):
    done = watcher.run("--history-days", "0", "--dry-run")
    assert (done.returncode, done.stderr) == (
        2, "kilnguard-watch: --history-days must be a whole number of days from 1 to 3650 (0)\n")
