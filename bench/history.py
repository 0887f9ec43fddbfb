"""The history in the host database: what it costs a pass, how large it
grows, and how fast one subnet's year is read and drawn.

  1. size: 1024 subnets, every one changing at every pass, a pass every 5
     minutes, written pass by pass through the monitor's own History.record
     for --days days (a month by default; --days 365 writes the whole year
     in about half an hour), then the year extrapolated from the growth of
     the days after the first (the table of the day's changes not yet
     packed is the same size whatever the period);
  2. what recording costs a pass: the quiet pass (nothing changed), a pass
     where all 1024 rates changed, and the passes after midnight that also
     pack the finished day;
  3. one subnet changing at every pass for a year (105 120 changes): the
     Series read from the database, the chart drawn (the first drawing
     loads matplotlib), and `kilnguard-watch history --chart` as a process,
     start to exit.

Rates are a random walk in steps of 0.01 written with up to four decimals
(`--rates walk`, how a moving burn rate reads), or random fractions of one
to nine decimals (`--rates random`, the worst case for compression).

    PYTHONPATH=src .venv/bin/python bench/history.py             # about 3 minutes
    PYTHONPATH=src .venv/bin/python bench/history.py --days 365  # the whole year"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src"))

from kilnguard_watch.store import history  # noqa: E402
from kilnguard_watch.store.database import Database, bytes_on_disk  # noqa: E402

SUBNETS = 1024
INTERVAL = 300
DAY = 86_400
YEAR_DAYS = 365
START = 20_454 * DAY  # a UTC midnight (2026-01-01)
TARGET_BYTES = 300e6  # "a few hundred MB" for the year
READ_AND_DRAW = 1.0  # seconds for one subnet's year


class Rates:
    """Each subnet's next rate text, always different from its last."""

    def __init__(self, kind, count, seed=1):
        self.rng = random.Random(seed)
        self.kind = kind
        self.values = [self.rng.random() for _ in range(count)]
        self.texts = [""] * count

    def step(self, index):
        while True:
            if self.kind == "walk":
                value = min(1.0, max(0.0, self.values[index] + self.rng.gauss(0, 0.01)))
                text = f"{value:.4f}".rstrip("0").rstrip(".")
            else:
                value = self.rng.random()
                text = str(round(value, self.rng.randint(1, 9)))
            if text != self.texts[index]:
                self.values[index], self.texts[index] = value, text
                return text


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def on_disk(database):
    """Bytes once the write-ahead log is copied back, as a stopped monitor
    leaves it."""
    database.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    return bytes_on_disk(database.path)


def every_subnet_every_pass(folder, days, kind):
    database = Database(os.path.join(folder, "year.kilnguard.db"))
    database.open()
    writer = history.History(database)
    rates = Rates(kind, SUBNETS)
    keys = [str(n) for n in range(SUBNETS)]
    quiet, changed, packing, sizes = [], [], [], {}
    passes_a_day = DAY // INTERVAL
    for n in range(days * passes_a_day):
        at = START + n * INTERVAL
        listing = {key: rates.step(i) for i, key in enumerate(keys)}
        # A pass packs while changes of a day before its own wait.
        packs = writer._oldest is not None and writer._oldest // DAY < at // DAY
        began = time.perf_counter()
        writer.record(at, "pass", "ok", SUBNETS, 0.02, listing)
        (packing if packs else changed).append(time.perf_counter() - began)
        if n % passes_a_day == passes_a_day - 1:
            day = n // passes_a_day + 1
            sizes[day] = on_disk(database)
            print(f"  day {day}: {sizes[day] / 1e6:.1f} MB", file=sys.stderr, flush=True)
    for n in range(40):  # and passes where nothing changed, once the last day is packed
        at = START + (days * passes_a_day + n) * INTERVAL
        packs = writer._oldest is not None
        began = time.perf_counter()
        writer.record(at, "pass", "ok", SUBNETS, 0.02, listing)
        if not packs:
            quiet.append(time.perf_counter() - began)
    blocks, changes = database.execute("SELECT COUNT(*), SUM(changes) FROM history_blocks").fetchone()
    database.close()
    return sizes, quiet, changed, packing, blocks, changes


def one_subnet_a_year(folder, kind):
    state = os.path.join(folder, "one.json")
    database = Database(os.path.join(folder, "one.kilnguard.db"))
    database.open()
    writer = history.History(database)
    rates = Rates(kind, 1, seed=7)
    passes = YEAR_DAYS * DAY // INTERVAL
    for n in range(passes):
        writer.record(START + n * INTERVAL, "pass", "ok", 1, 0.02, {"7": rates.step(0)})
    on_disk(database)
    until = START + passes * INTERVAL
    reads = []
    for _ in range(5):
        began = time.perf_counter()
        series = history.series(database, 7, START, until)
        reads.append(time.perf_counter() - began)
    assert series.changes == passes - 1, series.changes

    from kilnguard_watch.charts import rate_chart
    draws = []
    for _ in range(4):
        began = time.perf_counter()
        png = rate_chart(series)
        draws.append(time.perf_counter() - began)
    with open(os.path.join(folder, "year.png"), "wb") as out:
        out.write(png)
    database.close()

    command = [sys.executable, "-m", "kilnguard_watch", "history", "--state", state,
               "--netuid", "7", "--since", time.strftime("%Y-%m-%d", time.gmtime(START)),
               "--until", time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(until)),
               "--chart", os.path.join(folder, "cli.png")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    processes = []
    for _ in range(3):
        began = time.perf_counter()
        subprocess.run(command, env=env, check=True, capture_output=True)
        processes.append(time.perf_counter() - began)
    return reads, draws, processes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=30,
                        help="days of 1024 subnets to write (default: %(default)s)")
    parser.add_argument("--rates", choices=("walk", "random"), default="walk")
    parser.add_argument("--keep", action="store_true", help="keep the folder (and its charts)")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="kilnguard-history-bench-")
    print(f"writing {args.days} days of {SUBNETS} subnets changing every pass in {folder}",
          file=sys.stderr)
    sizes, quiet, changed, packing, blocks, changes = every_subnet_every_pass(
        folder, args.days, args.rates)
    first, last = min(sizes), max(sizes)
    per_day = (sizes[last] - sizes[first]) / (last - first) if last > first else sizes[last]
    year = sizes[last] + per_day * (YEAR_DAYS - last)
    print("reading and drawing one subnet's year", file=sys.stderr)
    reads, draws, processes = one_subnet_a_year(folder, args.rates)
    read, draw = statistics.median(reads), statistics.median(draws[1:])

    print(f"\n{SUBNETS} subnets changing every 5 minutes, rates: {args.rates}")
    print(f"| Measure | target | measured |\n|---|---|---|")
    print(f"| database after {last} days ({changes:,} changes in {blocks:,} blocks) | | "
          f"{sizes[last] / 1e6:.1f} MB |")
    print(f"| growth a day after the first | | {per_day / 1e6:.2f} MB "
          f"({per_day / (SUBNETS * DAY // INTERVAL):.2f} bytes a change) |")
    verdict = "met" if year <= TARGET_BYTES else "missed"
    print(f"| a year ({YEAR_DAYS * DAY // INTERVAL * SUBNETS:,} changes)"
          f"{'' if last >= YEAR_DAYS else ', extrapolated'} | ≤ {TARGET_BYTES / 1e6:.0f} MB | "
          f"{year / 1e6:.0f} MB — {verdict} |")
    print(f"| recording a pass, nothing changed, median / max | | "
          f"{ms(statistics.median(quiet))} / {ms(max(quiet))} |")
    print(f"| recording a pass, {SUBNETS} changed, median / max | | "
          f"{ms(statistics.median(changed))} / {ms(max(changed))} |")
    if packing:
        print(f"| the same while packing the day before ({len(packing) // (last - 1)} passes a "
              f"day), median / max | | "
              f"{ms(statistics.median(packing))} / {ms(max(packing))} |")
    print(f"| one subnet's year (105,120 changes): Series read, median of 5 | | {ms(read)} |")
    print(f"| … its chart drawn: first (loads matplotlib) / then, median | | "
          f"{ms(draws[0])} / {ms(draw)} |")
    both = read + draw
    print(f"| … read and drawn | < {READ_AND_DRAW:.0f} s | {ms(both)} — "
          f"{'met' if both < READ_AND_DRAW else 'missed'} |")
    print(f"| `kilnguard-watch history --chart` for that year, process start to exit, median of 3 "
          f"| | {ms(statistics.median(processes))} |")
    if not args.keep:
        import shutil
        shutil.rmtree(folder)
    else:
        print(f"\nkept {folder}", file=sys.stderr)


if __name__ == "__main__":
    main()
