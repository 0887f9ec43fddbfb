"""The monitor as the commands see it: the last pass's outcome, the rates of
the last usable listing and when each of them last changed, kept up to date
by listening to every pass (so it costs nothing while commands are off). The
rates are taken as soon as a pass has them, before its messages go out."""

import time

from kilnguard_watch import __version__
from kilnguard_watch.commands.handlers import Status
from kilnguard_watch.delivery import telegram as telegram_api
from kilnguard_watch.reporting.health import stamp
from kilnguard_watch.store import history, mutes

ADMIN_KEPT = 300  # seconds a getChatMember answer is trusted
ADMINS_REMEMBERED = 10_000


class HostView:
    """`host`: the installed seam.Host; `interval` seconds between passes,
    None for a single run."""

    def __init__(self, host, interval, token="", wall=time.time, clock=time.monotonic):
        self.host = host
        self.interval = interval
        self.token = token
        self.wall = wall
        self.clock = clock
        self._admins = {}  # (chat id, user id) -> (is admin, clock time asked)
        self._last = None  # (PassOutcome, when it ended, when it started)
        self._rates = None
        self._changed_at = {}
        host.listings.subscribe(self.listed)
        host.observers.subscribe(self.observe)

    def listed(self, rates):
        now = self.wall()
        if self._rates is not None:
            for netuid, rate in rates.items():
                if self._rates.get(netuid) != rate:
                    self._changed_at[netuid] = now
        self._rates = dict(rates)

    def observe(self, outcome):
        now = self.wall()
        self._last = (outcome, now, now - outcome.duration)

    def status(self):
        record = self.host.health.record
        health = ""
        if record.get("failures"):
            health = (f"{record['failures']} pass(es) in a row failed since "
                      f"{stamp(record['since'])}: {record.get('last_error', '')}")
        size = self.host.database.bytes_on_disk()
        if self._last is None:
            return Status(None, None, None, None, 0, self._next(None), len(self.host.outbox),
                          health, __version__, size)
        outcome, ended, started = self._last
        return Status(outcome.kind, outcome.result, ended, outcome.subnets, outcome.changes,
                      self._next(started), len(self.host.outbox), health, __version__, size)

    def _next(self, started):
        if self.interval is None:
            return None
        return (self.wall() if started is None else started) + self.interval

    def rates(self):
        return self._rates

    def changed_at(self, netuid):
        return self._changed_at.get(netuid)

    def mutes(self, chat_key):
        return mutes.of_chat(self.host.database, chat_key, self.wall())

    def subscription(self, chat_key):
        return self.host.subscriptions.of_chat(chat_key)

    def public_chats(self):
        return self.host.subscriptions.public_chats()

    def series(self, netuid, since, until):
        # One subnet's reads in one go: the monitor packs a finished day
        # between passes, and must not do it between two of these reads.
        with self.host.database.lock:
            return history.series(self.host.database, netuid, since, until)

    def history_days(self):
        return self.host.settings.history_days

    def is_admin(self, chat_id, user_id):
        now = self.clock()
        known = self._admins.get((chat_id, user_id))
        if known is not None and now - known[1] < ADMIN_KEPT:
            return known[0]
        try:
            member = telegram_api.call("getChatMember", self.token, chat_id=chat_id,
                                       user_id=user_id).get("result")
        except telegram_api.Unreachable:
            return False  # not now; not remembered either
        admin = isinstance(member, dict) and member.get("status") in ("creator", "administrator")
        self._admins.pop((chat_id, user_id), None)
        self._admins[(chat_id, user_id)] = (admin, now)
        while len(self._admins) > ADMINS_REMEMBERED:
            del self._admins[next(iter(self._admins))]
        return admin
