"""The history of every rate the monitor saw change, and of every pass.

Each pass records each subnet whose rate differs from the last one recorded
for it (when, the old rate, the new one; a subnet seen for the first time
has no old rate) and its own outcome (when, result, subnets, duration). A
subnet missing from a listing is no change: its last rate stands until it
is seen again.

A change first goes into history_recent, one row each, in the pass's own
small transaction. Once its UTC day is over, each subnet's changes of that
day are packed into one compressed block (history_blocks.py): a year of a
thousand subnets changing every pass then takes a few hundred megabytes
instead of several gigabytes, and one subnet's year is a few hundred rows.
Both that packing and the removal of what is older than the kept period
are done a bounded batch at each pass, so the passes after midnight share
the day's packing and no pass waits on a large DELETE. The newest record
of each subnet is kept whatever its age, so its rate at the start of any
period stays known.

None of this is in the alerts' transaction: the host writes the history
after the pass's messages went out, and a history that cannot be written
(a full disk) costs only that pass's history. Its commits do not wait for
the disk either: a power cut may lose the last few records, and a quiet
pass then costs the monitor a few hundredths of a millisecond, not a sync.

The readers (changes, series, passes) take the host's Database or any
sqlite3 connection, such as a read-only one of another process. Each
reads with several statements, and the monitor may pack a day between two
of them: read in one transaction (in the monitor, holding database.lock)."""

import bisect
import calendar
import collections
import dataclasses
import itertools
import time

from kilnguard_watch.store.history_blocks import DAY, decode, encode

DEFAULT_DAYS = 365
LONGEST_DAYS = 3650
# Subnets whose finished days one pass packs: at the thousand subnets of the
# worst case, everything of a day is packed within the first hour and a half
# of the next at the five-minute interval, each pass handling ~18 000 rows.
PACKED_PER_PASS = 64
# Rows deleted by one pass, at most: far above what an hour adds (twelve
# pass rows and some forty blocks at a thousand subnets), so trimming once an
# hour keeps up, and a shortened period is caught up a batch a pass.
BLOCKS_TRIMMED_PER_PASS = 200
PASSES_TRIMMED_PER_PASS = 1000
TRIM_EVERY = 3600  # seconds, while the last trim left nothing behind
# Netuids are stored as SQLite integers; a name outside them cannot be.
_SQLITE_INTEGERS = range(-2**63, 2**63)
_EVER = (-2**62, 2**62)  # from and to, for no bound
_MOST_PARAMETERS = 500  # netuids put in one IN (...) list; more are filtered here

Change = collections.namedtuple("Change", "at netuid old new")
Change.__doc__ = """A rate change: `at` seconds since the epoch, `old` None when the subnet
was first seen."""
PassRecord = collections.namedtuple("PassRecord", "at kind result subnets duration")
PassRecord.__doc__ = """One pass: `kind` pass or snapshot, `result` ok, failed or error,
`subnets` None without a usable listing, `duration` in seconds."""


@dataclasses.dataclass(frozen=True)
class Series:
    """One subnet's rate over a period: `start` the rate in force at
    `since` (None when nothing was recorded before it), then each change
    from `since` to `until` (seconds since the epoch): `rates[i]` from
    `times[i]` on."""
    netuid: int
    since: int
    until: int
    start: str | None
    times: list
    rates: list

    @property
    def changes(self):
        """Changes in the period; a first record with nothing before it
        opens the line and is no change."""
        return len(self.times) - (self.start is None and bool(self.times))

    @property
    def current(self):
        """The rate at `until`."""
        return self.rates[-1] if self.rates else self.start


class History:
    """The writer, used by the monitor: one record() a pass. `days`: how
    long changes and passes are kept."""

    def __init__(self, database, days=DEFAULT_DAYS):
        self.database = database
        self.days = days
        self._last = None  # netuid text -> its last recorded rate; read at the first record
        self._unpacked = None  # netuid -> time of its oldest change not yet packed
        self._next_trim = None  # when (pass time) to trim next

    def record(self, at, kind, result, subnets, duration, rates):
        """Records one pass at `at` (whole seconds since the epoch) and each
        rate of `rates` (netuid text -> rate text, None without a usable
        listing) that differs from the subnet's last recorded one, then packs
        and trims a batch. Raises sqlite3.Error when the database cannot take
        it; what was not committed is tried again at the next pass."""
        if self._last is None:
            self._load()
        last = self._last
        # Most passes change nothing: the comparison is kept to one line.
        changed = [(key, rate) for key, rate in (rates or {}).items() if last.get(key) != rate]
        rows, seen = [], []
        for key, rate in changed:
            netuid = _netuid(key)
            if netuid is not None:
                rows.append((netuid, at, last.get(key), rate))
                seen.append((key, netuid, rate))
        with self.database.transaction(durable=False) as connection:
            connection.execute("INSERT INTO history_passes (at, kind, result, subnets, duration) "
                               "VALUES (?, ?, ?, ?, ?)", (at, kind, result, subnets, duration))
            connection.executemany("INSERT INTO history_recent (netuid, at, old, new) "
                                   "VALUES (?, ?, ?, ?)", rows)
        for key, netuid, rate in seen:
            last[key] = rate
            self._unpacked.setdefault(netuid, at)
        self._upkeep(at)

    def _load(self):
        # Keyed by netuid text, as the rate map is. SQLite gives the other
        # columns of the row that holds MAX().
        last = {str(netuid): rate for netuid, rate, _ in self.database.execute(
            "SELECT netuid, last, MAX(day) FROM history_blocks GROUP BY netuid")}
        last.update((str(netuid), rate) for netuid, rate, _ in self.database.execute(
            "SELECT netuid, new, MAX(rowid) FROM history_recent GROUP BY netuid"))
        self._unpacked = dict(self.database.execute(
            "SELECT netuid, MIN(at) FROM history_recent GROUP BY netuid").fetchall())
        self._last = last

    def _upkeep(self, at):
        """Packs the finished days of a few subnets and, when due, deletes a
        batch of what is older than the kept period, in one transaction;
        a quiet pass has nothing to do here."""
        today = at // DAY
        due = []
        if min(self._unpacked.values(), default=today * DAY) < today * DAY:
            due = sorted((oldest, netuid) for netuid, oldest in self._unpacked.items()
                         if oldest < today * DAY)[:PACKED_PER_PASS]
        trim = self._next_trim is None or at >= self._next_trim or at < self._next_trim - TRIM_EVERY
        if not due and not trim:
            return
        left, backlog = {}, False
        with self.database.transaction(durable=False) as connection:
            for _, netuid in due:
                left[netuid] = _pack(connection, netuid, today * DAY)
            if trim:
                backlog = _trim(connection, at - self.days * DAY)
        for netuid, oldest in left.items():
            if oldest is None:
                del self._unpacked[netuid]
            else:
                self._unpacked[netuid] = oldest
        if trim:
            self._next_trim = at if backlog else at + TRIM_EVERY


def _trim(connection, cutoff):
    """Deletes a batch of passes before `cutoff` and of blocks wholly before
    it, but never a subnet's newest block; True when a batch was full (more
    may wait)."""
    passes = connection.execute(
        "DELETE FROM history_passes WHERE rowid IN (SELECT rowid FROM history_passes "
        "WHERE at < ? LIMIT ?)", (cutoff, PASSES_TRIMMED_PER_PASS)).rowcount
    blocks = connection.execute(
        "DELETE FROM history_blocks WHERE rowid IN (SELECT b.rowid FROM history_blocks AS b "
        "WHERE b.day < ? AND EXISTS (SELECT 1 FROM history_blocks AS n WHERE "
        "n.netuid = b.netuid AND n.day > b.day) LIMIT ?)",
        (cutoff // DAY, BLOCKS_TRIMMED_PER_PASS)).rowcount
    return passes == PASSES_TRIMMED_PER_PASS or blocks == BLOCKS_TRIMMED_PER_PASS


def _pack(connection, netuid, before):
    """Moves the subnet's changes before `before` into blocks, one per day;
    gives the time of its oldest change left unpacked, or None."""
    rows = connection.execute("SELECT at, old, new FROM history_recent WHERE netuid = ? AND "
                              "at < ? ORDER BY at, rowid", (netuid, before)).fetchall()
    for day, group in itertools.groupby(rows, key=lambda row: row[0] // DAY):
        group = list(group)
        times, first_old, rates = [at for at, _, _ in group], group[0][1], [new for _, _, new in group]
        packed = connection.execute("SELECT data FROM history_blocks WHERE netuid = ? AND day = ?",
                                    (netuid, day)).fetchone()
        if packed is not None:
            # Changes of a day already packed: the clock was set back. Merged
            # in time order; the rows just read come after the block's at
            # the same second.
            old_times, old_first, old_rates = decode(day, packed[0])
            if old_times[0] <= times[0]:
                first_old = old_first
            merged = sorted(zip(old_times + times, old_rates + rates), key=lambda pair: pair[0])
            times, rates = [t for t, _ in merged], [r for _, r in merged]
        connection.execute("INSERT OR REPLACE INTO history_blocks (netuid, day, changes, last, data) "
                           "VALUES (?, ?, ?, ?, ?)",
                           (netuid, day, len(rates), rates[-1], encode(day, times, first_old, rates)))
    connection.execute("DELETE FROM history_recent WHERE netuid = ? AND at < ?", (netuid, before))
    return connection.execute("SELECT MIN(at) FROM history_recent WHERE netuid = ?",
                              (netuid,)).fetchone()[0]


def pass_time(stamp, clock=time.time):
    """The whole seconds since the epoch of a pass's time stamp
    ("2026-12-08T14:05:00Z"); the clock's when it has none."""
    try:
        return calendar.timegm(time.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ"))
    except (TypeError, ValueError):
        return int(clock())


def _netuid(key):
    try:
        netuid = int(key)
    except ValueError:
        return None
    return netuid if netuid in _SQLITE_INTEGERS else None


# ------------------------------------------------------------------ readers

def changes(source, netuids=None, since=None, until=None):
    """Every recorded change of `netuids` (every subnet when None) from
    `since` to `until` (seconds since the epoch, both included; None: no
    bound), as Changes, oldest first and by netuid at the same second. Read
    a day at a time: a year of every subnet is never in memory at once.
    DamagedBlock when a block cannot be read."""
    low, high = _EVER[0] if since is None else since, _EVER[1] if until is None else until
    where, parameters = _subnets_clause(netuids)
    wanted = None if netuids is None else set(netuids)
    recent = collections.defaultdict(list)
    for at, netuid, old, new in source.execute(
            f"SELECT at, netuid, old, new FROM history_recent WHERE at BETWEEN ? AND ?{where}",
            (low, high, *parameters)):
        if wanted is None or netuid in wanted:
            recent[at // DAY].append(Change(at, netuid, old, new))
    days = {day for day, in source.execute(
        f"SELECT DISTINCT day FROM history_blocks WHERE day BETWEEN ? AND ?{where}",
        (low // DAY, high // DAY, *parameters))}
    for day in sorted(days | recent.keys()):
        found = recent.get(day, [])
        for netuid, data in source.execute(
                f"SELECT netuid, data FROM history_blocks WHERE day = ?{where}", (day, *parameters)):
            if wanted is not None and netuid not in wanted:
                continue
            times, old, rates = _decoded(day, data, netuid)
            for at, new in zip(times, rates):
                if low <= at <= high:
                    found.append(Change(at, netuid, old, new))
                old = new
        found.sort(key=lambda change: (change.at, change.netuid))
        yield from found


def series(source, netuid, since, until):
    """The Series of one subnet from `since` to `until` (seconds since the
    epoch)."""
    first_day, last_day = since // DAY, until // DAY
    before = source.execute("SELECT MAX(day) FROM history_blocks WHERE netuid = ? AND day < ?",
                            (netuid, first_day)).fetchone()[0]
    times, rates = [], []
    for day, data in source.execute(
            "SELECT day, data FROM history_blocks WHERE netuid = ? AND day BETWEEN ? AND ? "
            "ORDER BY day", (netuid, first_day if before is None else before, last_day)):
        block_times, _, block_rates = _decoded(day, data, netuid)
        times += block_times
        rates += block_rates
    for at, new in source.execute("SELECT at, new FROM history_recent WHERE netuid = ? AND "
                                  "at <= ? ORDER BY at, rowid", (netuid, until)):
        times.append(at)
        rates.append(new)
    if any(b < a for a, b in zip(times, times[1:])):  # a clock set back, seen as it was
        pairs = sorted(zip(times, rates), key=lambda pair: pair[0])
        times, rates = [t for t, _ in pairs], [r for _, r in pairs]
    first, end = bisect.bisect_left(times, since), bisect.bisect_right(times, until)
    return Series(netuid, since, until, rates[first - 1] if first else None,
                  times[first:end], rates[first:end])


def passes(source, since=None, until=None):
    """The recorded passes from `since` to `until`, oldest first."""
    low, high = _EVER[0] if since is None else since, _EVER[1] if until is None else until
    for row in source.execute("SELECT at, kind, result, subnets, duration FROM history_passes "
                              "WHERE at BETWEEN ? AND ? ORDER BY at, rowid", (low, high)):
        yield PassRecord(*row)


def _subnets_clause(netuids):
    if netuids is None or len(netuids) > _MOST_PARAMETERS:
        return "", ()
    netuids = sorted(set(netuids))
    return f" AND netuid IN ({', '.join('?' * len(netuids))})", tuple(netuids)


def _decoded(day, data, netuid):
    try:
        return decode(day, data)
    except ValueError as error:
        raise type(error)(f"subnet {netuid}: {error}") from None
