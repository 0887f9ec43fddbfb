"""The history of every rate the monitor saw change, and of every pass.

Each pass records each subnet whose rate differs from the last one recorded
for it (when, the old rate, the new one; a subnet seen for the first time
has no old rate) and its own outcome (when, result, subnets, duration). A
subnet missing from a listing is no change: its last rate stands until it
is seen again.

A pass's changes go, all together, into one compressed history_recent row,
appended in the pass's own small transaction: one row per change, indexed
by subnet, would make every pass of a busy day rewrite a page per subnet.
Once a UTC day is over, its changes are packed, a slice of the subnets at
each pass, into one block per subnet and day (history_blocks.py): a year of
a thousand subnets changing every pass then takes a few hundred megabytes
instead of several gigabytes, and one subnet's year is a few hundred rows.
What is older than the kept period is deleted a bounded batch at a time,
so no pass waits on a large DELETE; the newest block of each subnet is
kept whatever its age, so its rate at the start of any period stays known.

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
import json
import time
import zlib

from kilnguard_watch.store.history_blocks import DAY, DamagedBlock, decode, encode

DEFAULT_DAYS = 365
LONGEST_DAYS = 3650
# Subnets of a finished day one pass packs: at the thousand subnets of the
# worst case, a day is packed by the eighth pass of the next, each reading
# the day's rows and encoding some 37 000 changes (about 0.2 s).
PACKED_PER_PASS = 128
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


@dataclasses.dataclass
class _Packing:
    """A finished day being packed: its history_recent rows from `first`
    to `upto` (rowids), the subnets from `next_netuid` on still to do."""
    day: int
    first: int
    upto: int
    next_netuid: int = -2**63


class History:
    """The writer, used by the monitor: one record() a pass. `days`: how
    long changes and passes are kept."""

    def __init__(self, database, days=DEFAULT_DAYS):
        self.database = database
        self.days = days
        self._last = None  # netuid text -> its last recorded rate; read at the first record
        self._oldest = None  # time of the oldest change not yet packed, None: all packed
        self._packing = None  # the _Packing under way
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
        seen = []  # (key, netuid, rate)
        for key, rate in changed:
            netuid = _netuid(key)
            if netuid is not None:
                seen.append((key, netuid, rate))
        seen.sort(key=lambda item: item[1])
        with self.database.transaction(durable=False) as connection:
            connection.execute("INSERT INTO history_passes (at, kind, result, subnets, duration) "
                               "VALUES (?, ?, ?, ?, ?)", (at, kind, result, subnets, duration))
            if seen:
                connection.execute("INSERT INTO history_recent (at, changes) VALUES (?, ?)", (
                    at, _pass_changes([netuid for _, netuid, _ in seen],
                                      [last.get(key) for key, _, _ in seen],
                                      [rate for _, _, rate in seen])))
        for key, _, rate in seen:
            last[key] = rate
        if seen and (self._oldest is None or at < self._oldest):
            self._oldest = at
        self._upkeep(at)

    def _load(self):
        """What the history last recorded of each subnet (keyed by netuid
        text, as the rate map is), from the index of blocks and the rows
        not yet packed."""
        last = {}
        newest = self.database.execute(
            "SELECT netuid, MAX(day) FROM history_blocks GROUP BY netuid").fetchall()
        for netuid, day in newest:
            last[str(netuid)] = self.database.execute(
                "SELECT last FROM history_blocks WHERE netuid = ? AND day = ? "
                "ORDER BY part DESC LIMIT 1", (netuid, day)).fetchone()[0]
        for _, _, netuids, _, news in _recent(self.database, *_EVER):
            last.update(zip(map(str, netuids), news))
        self._oldest = self.database.execute("SELECT MIN(at) FROM history_recent").fetchone()[0]
        self._last = last

    def _upkeep(self, at):
        """Packs a slice of a finished day and, when due, deletes a batch of
        what is older than the kept period, in one transaction; a quiet pass
        has nothing to do here."""
        pack = self._oldest is not None and self._oldest // DAY < at // DAY
        trim = self._next_trim is None or at >= self._next_trim or at < self._next_trim - TRIM_EVERY
        if not pack and not trim:
            return
        packing, backlog = None, False
        with self.database.transaction(durable=False) as connection:
            if pack:
                packing = _pack(connection, self._packing or _day_to_pack(connection, self._oldest))
                oldest = connection.execute("SELECT MIN(at) FROM history_recent").fetchone()[0]
            if trim:
                backlog = _trim(connection, at - self.days * DAY)
        if pack:
            self._packing, self._oldest = packing, oldest
        if trim:
            self._next_trim = at if backlog else at + TRIM_EVERY


def _day_to_pack(connection, oldest):
    day = oldest // DAY
    first, upto = connection.execute(
        "SELECT MIN(rowid), MAX(rowid) FROM history_recent WHERE at >= ? AND at < ?",
        (day * DAY, (day + 1) * DAY)).fetchone()
    return _Packing(day, first, upto)


def _pack(connection, packing):
    """Packs the next PACKED_PER_PASS subnets of the day; once it is all
    packed, deletes its rows. Gives the _Packing left to do, or None.

    A block's part is the first row of the day: packing the same rows again
    (after a restart) replaces what the interrupted run wrote, while changes
    that came later for a day already packed (the clock was set back) make
    a part of their own."""
    start, end = packing.day * DAY, (packing.day + 1) * DAY
    subnets = {}  # netuid -> (times, its first change's old rate, rates)
    bound, more = None, False  # the highest netuid taken; whether any are left
    for at, _, netuids, olds, news in _recent(connection, start, end - 1, packing.first,
                                              packing.upto):
        low = bisect.bisect_left(netuids, packing.next_netuid)
        for netuid, old, new in zip(netuids[low:], olds[low:], news[low:]):
            if bound is not None and netuid > bound:
                more = True
                break
            times, _, rates = subnets.setdefault(netuid, ([], old, []))
            times.append(at)
            rates.append(new)
        if len(subnets) > PACKED_PER_PASS:
            # Rows are read in time order: the lowest netuids are kept.
            for netuid in sorted(subnets)[PACKED_PER_PASS:]:
                del subnets[netuid]
            bound, more = max(subnets), True
    for netuid, (times, first_old, rates) in subnets.items():
        connection.execute(
            "INSERT OR REPLACE INTO history_blocks (netuid, day, part, changes, last, data) "
            "VALUES (?, ?, ?, ?, ?, ?)", (netuid, packing.day, packing.first, len(rates),
                                          rates[-1], encode(packing.day, times, first_old, rates)))
    if more:
        return dataclasses.replace(packing, next_netuid=bound + 1)
    connection.execute("DELETE FROM history_recent WHERE rowid BETWEEN ? AND ? AND at >= ? AND "
                       "at < ?", (packing.first, packing.upto, start, end))
    return None


def _trim(connection, cutoff):
    """Deletes a batch of passes before `cutoff` and of blocks wholly before
    it, but never a subnet's newest day; True when a batch was full (more
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


def _pass_changes(netuids, olds, news):
    """A pass's changes, netuids ascending, as history_recent keeps them."""
    text = json.dumps([netuids, olds, news], separators=(",", ":"))
    return zlib.compress(text.encode("ascii"), 6)  # json.dumps escapes all but ASCII


def _recent(source, low, high, first=None, upto=None):
    """(at, rowid, netuids, olds, news) of the passes not yet packed from
    `low` to `high` (rowids from `first` to `upto` when given), in time
    order."""
    rows = "" if first is None else " AND rowid BETWEEN ? AND ?"
    for at, rowid, data in source.execute(
            f"SELECT at, rowid, changes FROM history_recent WHERE at BETWEEN ? AND ?{rows} "
            f"ORDER BY at, rowid", (low, high) + (() if first is None else (first, upto))):
        try:
            netuids, olds, news = json.loads(zlib.decompress(data))
        except (zlib.error, ValueError) as error:
            raise DamagedBlock(f"damaged history of the pass at {at}: {error}") from None
        yield at, rowid, netuids, olds, news


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
    for at, _, in_pass, olds, news in _recent(source, low, high):
        for netuid, old, new in zip(in_pass, olds, news):
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
            "ORDER BY day, part", (netuid, first_day if before is None else before, last_day)):
        block_times, _, block_rates = _decoded(day, data, netuid)
        times += block_times
        rates += block_rates
    for at, _, in_pass, _, news in _recent(source, _EVER[0], until):
        index = bisect.bisect_left(in_pass, netuid)
        if index < len(in_pass) and in_pass[index] == netuid:
            times.append(at)
            rates.append(news[index])
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
