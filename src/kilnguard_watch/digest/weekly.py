"""The weekly digest of the chats that chose it: a picture of the week's
rates by day and the list of its changes, once a week (schedule.py).

At each pass's end the monitor asks whether a digest is due, which most
passes answer with a little arithmetic. When one is, the week is read,
drawn and queued on a short-lived thread of its own, so a pass never waits
for the drawing (or for matplotlib to load); the moment it was made for is
written in the transaction that queues it, so a digest is queued whole,
once, or not at all. Chats that watch the same subnets share one picture,
drawn once. The delivery thread, when there is one, is woken for it;
otherwise the next pass delivers it.

Only Telegram chats get a digest: a destination's service takes no
pictures, and its subscription has no digest."""

import sqlite3
import threading
import time

from kilnguard_watch.delivery.destinations import is_destination
from kilnguard_watch.digest import week as week_module
from kilnguard_watch.digest.schedule import Schedule, moment_text, week_before

DONE_KEY = "digest_done"  # in meta: the moment of the last digest made or skipped


class WeeklyDigest:
    """`chats()`: the subscriptions now (ChatConfig); `messages(keys,
    text)`: the text split into (key, piece) as each chat takes it;
    `module`: the kilnguard module (rates through its format_owner_burn);
    `wake()`: tells the delivery thread, if any, that messages wait."""

    def __init__(self, database, outbox, schedule, chats, messages, module, log, wake,
                 clock=time.time):
        self.database = database
        self.outbox = outbox
        self.schedule = schedule or Schedule()
        self.chats = chats
        self.messages = messages
        self.module = module
        self.log = log
        self.wake = wake
        self.clock = clock
        row = database.execute("SELECT value FROM meta WHERE key = ?", (DONE_KEY,)).fetchone()
        self._done = int(row[0]) if row is not None and str(row[0]).isdigit() else None
        self._thread = None

    def after_pass(self):
        """At a pass's end, on the monitor's thread: starts the digest when
        one is due; skips one too late, with a log line."""
        found = self.schedule.due(self.clock(), self._done)
        if found is None or (self._thread is not None and self._thread.is_alive()):
            return
        moment, late = found
        wanted = [sub for sub in self.chats() if sub.digest and not is_destination(sub.chat.key)
                  and (sub.subnets is None or sub.subnets)]
        if late and wanted:
            self.log(f"skipped the weekly digest due {moment_text(moment)}: the monitor was not "
                     f"running within a day of it")
        if late or not wanted:
            self._mark(moment)
            return
        self._thread = threading.Thread(target=self._make, args=(moment, wanted),
                                        name="kilnguard-digest", daemon=True)
        self._thread.start()

    def wait(self):
        """Waits for a digest in the making (for a single run, which would
        end under it); True when there was one."""
        thread, self._thread = self._thread, None
        if thread is None:
            return False
        thread.join()
        return True

    def _mark(self, moment, connection=None):
        """Records `moment` as done, in the caller's transaction or one of its own."""
        if connection is not None:
            connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)",
                               (DONE_KEY, str(moment)))
            return
        try:
            with self.database.transaction() as connection:
                self._mark(moment, connection)
        except sqlite3.Error as problem:
            self.log(f"cannot write the database {self.outbox.path}: {problem}")
            return
        self._done = moment

    def _make(self, moment, wanted):
        since, until = week_before(moment)
        netuids = None if any(sub.subnets is None for sub in wanted) else \
            sorted(set().union(*(sub.subnets for sub in wanted)))
        try:
            # The history is read in one transaction: a pass may pack a day
            # between two of its statements otherwise.
            with self.database.transaction() as connection:
                first = connection.execute("SELECT MIN(at) FROM history_passes").fetchone()[0]
                week = week_module.read_week(connection, since, until, netuids)
            if first is None or first >= until:
                self.log(f"skipped the weekly digest of {week.period}: the monitor recorded "
                         f"nothing that week")
                self._mark(moment)
                return
            messages = self._compose(week, wanted)
            with self.database.transaction() as connection:
                self.outbox.add(connection, messages)
                self._mark(moment, connection)
        except sqlite3.Error as problem:
            self.log(f"cannot make the weekly digest due {moment_text(moment)}: cannot use the "
                     f"database {self.outbox.path}: {problem}; tried again at the next pass")
            return
        except Exception as problem:  # a damaged history: one line, not one every pass
            self.log(f"cannot make the weekly digest due {moment_text(moment)}: "
                     f"{type(problem).__name__}: {problem}; skipped")
            self._mark(moment)
            return
        self._done = moment
        self.log(f"queued the weekly digest of {week.period} for {len(wanted)} chat(s)")
        self.wake()

    def _compose(self, week, wanted):
        """The messages of every chat in `wanted`, a picture and its list
        for each set of subnets watched."""
        groups = {}
        for sub in wanted:
            groups.setdefault(week.watched_by(sub), []).append(sub.chat.key)
        messages = []
        for netuids, keys in groups.items():
            if not netuids:
                messages += self.messages(keys, week_module.quiet_text(week))
                continue
            in_picture = week_module.shown(week, netuids)
            png = self._draw(week, in_picture)
            if png is not None:
                messages += [(key, week_module.caption(week, netuids), png) for key in keys]
            messages += self.messages(keys, week_module.text(
                week, netuids, None if png is None else len(in_picture),
                lambda rate: self.module.format_owner_burn(rate)))
        return messages

    def _draw(self, week, netuids):
        """The picture's PNG, or None (its text then goes alone)."""
        try:
            from kilnguard_watch.charts.week_chart import week_chart
            return week_chart(week, netuids)
        except Exception as problem:  # no matplotlib, or a fault in it: the list still helps
            self.log(f"cannot draw the weekly digest's picture ({type(problem).__name__}: "
                     f"{problem}); its list goes alone")
            return None
