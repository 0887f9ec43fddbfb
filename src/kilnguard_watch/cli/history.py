"""`kilnguard-watch history`: the rate changes (or the passes) the monitor
recorded over a period, as aligned columns for a person, CSV or JSON for a
script, or one subnet's chart as a PNG. It reads the database beside the
state file, as the monitor finds it, while the monitor may be writing it,
and never creates or changes it. Times are UTC, written as ISO 8601."""

import argparse
import contextlib
import csv
import datetime
import json
import os
import sqlite3
import sys
import time

from kilnguard_watch import config
from kilnguard_watch.cli.errors import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, UsageError
from kilnguard_watch.cli.main import Parser
from kilnguard_watch.log import ERROR, log_line
from kilnguard_watch.store import history
from kilnguard_watch.store.database import database_path, read_only
from kilnguard_watch.store.history_blocks import DamagedBlock

PROG = "kilnguard-watch history"
LARGEST_NETUID = 65535
_UTC = datetime.timezone.utc


def build_parser():
    parser = Parser(
        prog=PROG,
        description="Print the owner burn rate changes kilnguard-watch recorded (each with "
                    "its time, subnet, old and new rate), or draw one subnet's rate as a chart. "
                    "Reads the monitor's database beside --state, also while it runs; "
                    "changes nothing.",
        epilog="DATE is ISO 8601: 2026-12-08, 2026-12-08T14:05 or 2026-12-08T14:05+02:00; "
               "UTC unless it names an offset. A date alone means the start of that day for "
               "--since and its end for --until. Exit status: 0 done, 1 the database could "
               "not be read or the chart not written, 2 a bad flag or value, or no database "
               "beside --state.")
    parser.add_argument("--state", default="./burn_state.json", metavar="PATH",
                        help="the monitor's state file; its database is beside it "
                             "(default: %(default)s)")
    parser.add_argument("--config", metavar="PATH",
                        help="the monitor's configuration file: its history_days is the "
                             "period shown when --since is not given")
    parser.add_argument("--netuid", action="append", type=_netuids, metavar="N",
                        help="only this subnet; give it again, or N,M,..., for more "
                             "(default: every subnet)")
    parser.add_argument("--since", metavar="DATE",
                        help="from this moment (default: the period the monitor keeps, "
                             f"history_days of --config or {history.DEFAULT_DAYS} days)")
    parser.add_argument("--until", metavar="DATE", help="up to this moment (default: now)")
    parser.add_argument("--format", choices=("table", "csv", "json"),
                        help="table: aligned columns (the default); csv: a header line, then "
                             "at,netuid,old,new; json: an array of objects with those keys "
                             "(old is empty or null when the subnet was first seen)")
    parser.add_argument("--passes", action="store_true",
                        help="the passes instead of the changes: at, kind, result, subnets "
                             "(empty without a usable listing), duration in seconds")
    parser.add_argument("--chart", metavar="FILE.png",
                        help="draw the rate of the one subnet of --netuid over the period to "
                             "this PNG file (1200x800) and print a one-line summary")
    return parser


def run_history(argv):
    try:
        args = build_parser().parse_args(argv)
        return show(args, time.time())
    except UsageError as error:
        log_line(error, ERROR)
        return EXIT_USAGE
    except config.ConfigInvalid as invalid:
        for problem in invalid.problems:
            log_line(problem, ERROR)
        return EXIT_USAGE
    except (sqlite3.Error, DamagedBlock) as error:
        log_line(f"cannot read the history: {error}", ERROR)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        log_line("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader (head, less) has what it wanted; Python must not
        # complain about stdout at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK


def show(args, now):
    netuids = None if args.netuid is None else sorted({n for group in args.netuid for n in group})
    since, until = period(args, now)
    if args.chart is not None:
        chart_usage(args, netuids)
    path = database_path(args.state)
    with contextlib.closing(open_database(path, args.state)) as connection:
        if args.chart is not None:
            return write_chart(connection, args.chart, netuids[0], since, until)
        if args.passes:
            columns = ("at", "kind", "result", "subnets", "duration")
            rows = ((stamp(p.at), p.kind, p.result, p.subnets, p.duration)
                    for p in history.passes(connection, since, until))
        else:
            columns = ("at", "netuid", "old", "new")
            rows = ((stamp(c.at), c.netuid, c.old, c.new)
                    for c in history.changes(connection, netuids, since, until))
        WRITERS[args.format or "table"](sys.stdout, columns, rows)
    return EXIT_OK


def period(args, now):
    """(since, until) in whole seconds since the epoch, both included."""
    until = int(now) if args.until is None else moment("--until", args.until, end_of_day=True)
    if args.since is not None:
        since = moment("--since", args.since)
    else:
        days = history.DEFAULT_DAYS
        if args.config is not None:
            days = config.load(args.config).history_days
        since = until - days * 86400
    if since > until:
        raise UsageError(f"--since {args.since} is after --until {args.until or 'now'}")
    return since, until


def moment(flag, text, end_of_day=False):
    """Whole seconds since the epoch of an ISO 8601 date or time; UTC
    unless it names an offset."""
    try:
        day = datetime.date.fromisoformat(text)
    except ValueError:
        day = None
    try:
        if day is not None:
            start = datetime.datetime(day.year, day.month, day.day, tzinfo=_UTC)
            return int(start.timestamp()) + (86399 if end_of_day else 0)
        when = datetime.datetime.fromisoformat(text)
        if when.tzinfo is None:
            when = when.replace(tzinfo=_UTC)
        return int(when.timestamp() // 1)
    except (ValueError, OverflowError):
        raise UsageError(f"{flag} wants a date like 2026-12-08 or 2026-12-08T14:05 (UTC unless "
                         f"an offset is given), not {text!r}") from None


def chart_usage(args, netuids):
    if netuids is None or len(netuids) != 1:
        raise UsageError("--chart draws one subnet: give exactly one --netuid"
                         + ("" if netuids is None else f", not {len(netuids)}"))
    for flag, given in (("--passes", args.passes), ("--format", args.format is not None)):
        if given:
            raise UsageError(f"--chart and {flag} do not go together")
    folder = os.path.dirname(os.path.abspath(args.chart))
    if not os.path.isdir(folder):
        raise UsageError(f"--chart {args.chart}: folder {folder} does not exist")


def open_database(path, state):
    try:
        connection = read_only(path)
    except FileNotFoundError:
        raise UsageError(f"no database at {path}: kilnguard-watch keeps its history beside "
                         f"the state file; give the monitor's --state (not {state!r})") from None
    except OSError as error:
        raise sqlite3.OperationalError(f"{path}: {error.strerror or error}") from None
    tables = {name for name, in connection.execute(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name LIKE 'history%'")}
    if not {"history_passes", "history_recent", "history_blocks"} <= tables:
        connection.close()
        raise sqlite3.OperationalError(f"{path} has no history yet: it was last opened by a "
                                       f"kilnguard-watch that kept none")
    # One snapshot for the whole read: the monitor may pack a day's rows
    # into a block meanwhile, which would otherwise be read twice or not at all.
    connection.execute("BEGIN")
    return connection


def write_chart(connection, path, netuid, since, until):
    from kilnguard_watch.charts import caption, rate_chart

    series = history.series(connection, netuid, since, until)
    png = rate_chart(series)
    try:
        with open(path, "wb") as file:
            file.write(png)
    except OSError as error:
        log_line(f"cannot write --chart {path}: {error.strerror or error}", ERROR)
        return EXIT_FAILURE
    print(caption(series), flush=True)
    return EXIT_OK


def stamp(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def _netuids(text):
    """N or N,M,... as argparse's type: a list of netuids."""
    netuids = []
    for word in text.split(","):
        word = word.strip()
        if not (word.isascii() and word.isdigit()) or int(word) > LARGEST_NETUID:
            raise argparse.ArgumentTypeError(f"a subnet number from 0 to {LARGEST_NETUID}, "
                                             f"not {word!r}")
        netuids.append(int(word))
    return netuids


# ------------------------------------------------------------------ writers

def write_table(out, columns, rows):
    """Aligned for a person: a rate as it was given, "-" for none. Widths
    are fixed rather than measured, so rows go out as they are read."""
    widths = {"at": 20, "netuid": 6, "old": 12, "new": 12, "kind": 8, "result": 6,
              "subnets": 7, "duration": 8}
    right = {"netuid", "subnets", "duration"}
    header = {"at": "time (UTC)", "netuid": "subnet"}

    def line(values):
        cells = [str(v).rjust(widths[c]) if c in right else str(v).ljust(widths[c])
                 for c, v in zip(columns, values)]
        return "  ".join(cells).rstrip() + "\n"

    out.write(line([header.get(c, c) for c in columns]))
    for row in rows:
        out.write(line(["-" if v is None else f"{v:.3f}" if isinstance(v, float) else v
                        for v in row]))


def write_csv(out, columns, rows):
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(columns)
    writer.writerows(rows)


def write_json(out, columns, rows):
    """One array, written an object a line as the rows are read."""
    out.write("[")
    for count, row in enumerate(rows):
        out.write(("," if count else "") + "\n" + json.dumps(dict(zip(columns, row)),
                                                             ensure_ascii=False))
    out.write("\n]\n")


WRITERS = {"table": write_table, "csv": write_csv, "json": write_json}
