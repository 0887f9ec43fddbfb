"""The one place where kilnguard-watch meets the module.

Every module operation calls the others through the module's current
binding, looked up at each call. `install()` rebinds, once, at start-up,
only what the host replaces and the two hooks it listens on:

  send_burn_telegram_messages
      takes the module's text and sends nothing: each chat's messages are
      worked out from the pass report that follows (alerts/routing.py,
      against the chat's own baseline) and delivered at least once through
      the outbox in the host database (store/, delivery/deliver.py);
  send_burn_telegram
      the sender of one message, only when the module's own will not do:
      with a forum topic, a silent chat or answers to commands, a call of
      the module's send_telegram_message with them; in a dry run, a
      printer;
  _burn_is_paused
      the module's own test of the pause file, and also "paused" once a
      setting turned out never to work (the loop then ends as it does for
      the pause file); it tells the `waiting` observers that the loop is
      alive: the module tests at least once a second while it waits;
  _burn_check_listing
      a listing that is visibly wrong is refused, so the pass logs it as a
      failed fetch and keeps the stored rates;
  _burn_pass_report
      the module's record of every pass and start-up snapshot: the host
      settles the monitor's health from it, queues each chat's messages and
      moves its baseline in one transaction, delivers what waits, notes a
      key Taostats refuses at its first answer, records the pass and
      the rates that changed in the history (store/history.py) once the
      messages went out, starts the weekly digest when one is due
      (digest/weekly.py, on a thread of its own), and publishes a
      PassOutcome.

Everything else (the listing fetch, its retries, the rate map, the state
file) stays the module's own, so its fast path stays on.

The same pass report also goes to the destinations reached through Apprise
(delivery/destinations.py: each with its own subnets and baseline, sent on a
thread of its own so a slow service never holds up a pass).

Observing passes. Other parts of the host (metrics, heartbeat, a service
manager's watchdog) subscribe to the outcome of every pass:

    host = install(kilnguard, settings)
    host.observers.subscribe(callback)      # callback(outcome: PassOutcome)

The callback runs on the monitor's thread after each pass (and after the
start-up snapshot), once the outbox has been delivered. An exception in a
callback is logged and never stops monitoring; a callback should be quick.
`host.waiting.subscribe(callback)` works the same way, callback(paused)
being called at each test of the pause file, and so does
`host.listings.subscribe(callback)`, callback(rates) being called with the
rate map of each usable listing before its messages are delivered.
"""

import dataclasses
import sqlite3
import time

from kilnguard_watch.alerts.routing import Router
from kilnguard_watch.config import everything
from kilnguard_watch.delivery import deliver as delivery_module
from kilnguard_watch.delivery.courier import Courier
from kilnguard_watch.delivery.destinations import Destinations, is_destination
from kilnguard_watch.delivery import dry_run
from kilnguard_watch.delivery import telegram as telegram_api
from kilnguard_watch.delivery.chats import sender_with_options
from kilnguard_watch.digest.schedule import Schedule
from kilnguard_watch.digest.weekly import WeeklyDigest
from kilnguard_watch.log import PREFIX as log_prefix
from kilnguard_watch.log import log_line
from kilnguard_watch.reporting import health as health_module
from kilnguard_watch.seam import outcome as outcome_module
from kilnguard_watch.seam.listing_check import listing_problem, pass_error_text
from kilnguard_watch.seam.outcome import Observers, PassOutcome
from kilnguard_watch.store import mutes
from kilnguard_watch.store.baselines import Baselines
from kilnguard_watch.store.database import Database, database_path
from kilnguard_watch.store.history import DEFAULT_DAYS, History, pass_time
from kilnguard_watch.store.json_outbox import json_outbox_path, take_over
from kilnguard_watch.store.outbox import Outbox
from kilnguard_watch.store.subscriptions import MOST_PUBLIC_CHATS, Subscriptions

# The operations the host puts in place of the module's own.
REPLACED = ("send_burn_telegram_messages", "send_burn_telegram", "_burn_is_paused",
            "_burn_check_listing", "_burn_pass_report")
# How a pass that failed or raised counts for the monitor's health.
_HEALTH_KIND = {outcome_module.NO_LISTING: health_module.NO_LISTING,
                outcome_module.WRONG_LISTING: health_module.WRONG_LISTING,
                outcome_module.RAISED: health_module.RAISED}
# Passes that ended before a usable listing.
_WITHOUT_LISTING = (outcome_module.NO_KEY, outcome_module.NO_LISTING, outcome_module.WRONG_LISTING)


@dataclasses.dataclass
class Settings:
    """`chats` (Chat) watch every subnet at `threshold`, unless
    `subscriptions` (ChatConfig, from a configuration file) say more."""
    state_path: str
    token: str
    chats: list = dataclasses.field(default_factory=list)
    alert_after: int = 3
    dry_run: bool = False
    silent: bool = False
    threshold: float = 0.01
    subscriptions: list | None = None
    public: bool = False  # any chat may subscribe itself with /watch
    most_chats: int = MOST_PUBLIC_CHATS
    destinations: list = dataclasses.field(default_factory=list)  # config.DestinationConfig
    history_days: int = DEFAULT_DAYS
    digest_day: int = 0  # the weekly digest's weekday (Monday 0) and hour, UTC
    digest_hour: int = 8

    def __post_init__(self):
        if self.subscriptions is None:
            self.subscriptions = list(everything(self.chats, self.threshold, self.silent).chats)
        self.chats = [sub.chat for sub in self.subscriptions]


class Host:
    """The installed wiring: the database, delivery, health and observers."""

    def __init__(self, module, settings, log):
        self.module = module
        self.settings = settings
        self.log = log
        self.observers = Observers(log)
        self.waiting = Observers(log)
        # The rate map of each usable listing, told before its messages are
        # delivered (which may take long), for what answers questions.
        self.listings = Observers(log)
        self.database = Database(None if settings.dry_run else database_path(settings.state_path))
        self._say(self.database.open())
        if not self.database.in_memory:
            self._say(take_over(json_outbox_path(settings.state_path), self.database))
        self.outbox = Outbox(self.database)
        self.baselines = Baselines(self.database)
        self.history = History(self.database, settings.history_days)
        self.destinations = Destinations(settings.destinations, self.outbox, log,
                                         settings.alert_after, settings.dry_run)
        self.subscriptions = Subscriptions(
            self.database, settings.subscriptions + [d.subscription for d in settings.destinations],
            settings.threshold, settings.public, settings.most_chats)
        for line in self.subscriptions.forget_edited():
            log(line)
        keys = [chat.key for chat in settings.chats] + self.destinations.keys
        # Chats that subscribed themselves keep what waits for them, and are
        # never given what waited for a configured chat.
        public = self.subscriptions.public_chats() if settings.public else set()
        retargeted, forgotten = self.outbox.keep_only(keys + sorted(public),
                                                      set(self.baselines.known) | public,
                                                      answers_anywhere=settings.public)
        if retargeted:
            log(f"{retargeted} undelivered message(s) for chats no longer configured go to "
                f"the chats configured in their place")
        if forgotten:
            log(f"forgot {forgotten} undelivered message(s) for chats no longer configured")
        # The rates stored before the first pass: chats start from them when
        # this database knew none yet, and the start-up snapshot (which does
        # not read the state file itself) has its listing checked against
        # how many there were.
        stored = self._stored_rates()
        self.stored_subnets = len(stored)
        self.router = Router(module, self.baselines, stored, self.destinations.splitters)
        self.delivery = delivery_module.Delivery(module, self.outbox, settings.token,
                                                 settings.chats, log, public=settings.public,
                                                 gone=self._gone)
        self.courier = None  # delivery on a thread of its own, once commands are answered
        self.digest = WeeklyDigest(self.database, self.outbox,
                                   Schedule(settings.digest_day, settings.digest_hour),
                                   lambda: self.subscriptions.current().chats,
                                   self.router.messages, module, log, self._wake_courier)
        self.health = health_module.Health(self.outbox.health, settings.alert_after)
        self.listing_answered = False
        self.refused_key = None
        self._refusal = None  # why the last listing was refused
        self._module_text = None  # the text the module handed to delivery in this pass
        self.last_outcome = None  # what the last pass or snapshot came to
        self.originals = {}

    def _say(self, problem):
        if problem is not None:
            self.log(problem)

    def _stored_rates(self):
        try:
            return dict(self.module.load_burn_state(self.settings.state_path))
        except Exception:  # the pass itself reports an unreadable state file
            return {}

    @property
    def refused(self):
        """Why monitoring cannot go on (a setting Taostats or Telegram
        refuses), or None."""
        return self.refused_key or self.delivery.refused

    # -------------------------------------------------------------- hooks

    def check_listing(self, rows, pagination, stored):
        stored_subnets = self.stored_subnets if stored is None else len(stored)
        self._refusal = listing_problem(rows, pagination, stored_subnets)
        return self._refusal

    def is_paused(self, pause_path):
        paused = self.refused is not None or self.originals["_burn_is_paused"](pause_path)
        self.waiting.publish(paused)
        return paused

    def take_text(self, text, token=None, chat_id=None):
        """Stands in for send_burn_telegram_messages. The host works out each
        chat's messages from the pass's report, which follows at once, and
        delivers them there; the module's own text is kept for the chats it
        fits as it stands (a snapshot of every subnet)."""
        self._module_text = text
        return (True, "")

    def pass_report(self, report):
        failure = report.failure
        error = "" if failure is None else self._one_line(pass_error_text(report.error))
        if failure == outcome_module.WRONG_LISTING and self._refusal is not None:
            error = self._one_line(self._refusal)
        self._refusal = None
        module_text, self._module_text = self._module_text, None
        self._note_refused_key(report)
        if failure in _HEALTH_KIND:
            message = self.health.failed(_HEALTH_KIND[failure], error)
        elif failure != outcome_module.NO_KEY:
            message = self.health.succeeded()
        else:
            message = None
        if message is not None:
            # The chat's text names the program; the log line's prefix
            # already does.
            self.log(message.removeprefix(log_prefix).replace("\n", " "))
        news = [] if message is None else [(self._news_keys(), message)]
        telegram_keys = [chat.key for chat in self.settings.chats]
        for note in self.destinations.notes(self._waiting()):
            self.log(note.removeprefix(log_prefix))
            news.append((telegram_keys, note))
        alerted, not_written = self._queue(report, module_text, news)
        self.destinations.wake()
        if report.rates is not None and failure not in _WITHOUT_LISTING:
            self.listings.publish(report.rates)
        ok, why = self._deliver_waiting()
        self._tell_fallback(ok, why)
        sends, _ = self.delivery.take_tally()
        failures = {reason: n for reason, n in sends.items() if reason != "sent"}
        result = "error" if failure == outcome_module.RAISED else (
            "ok" if report.result == 0 else "failed")
        if result == "ok" and not_written:
            result, error = "failed", not_written
        elif result == "ok" and alerted and not ok:
            result = "failed"
            error = "telegram: " + (", ".join(f"{n} {reason}" for reason, n in failures.items())
                                    or "messages wait for Telegram's rate limits")
        usable = failure not in _WITHOUT_LISTING
        self.last_outcome = outcome = PassOutcome(
            kind=report.kind, result=result, subnets=report.subnets if usable else None,
            changes=len(report.changes), duration=report.duration, outbox_size=len(self.outbox),
            messages_sent=sends["sent"], telegram_failures=failures,
            throttled=sends[telegram_api.THROTTLED], error=error,
            taostats_throttled=report.throttled, rates=report.rates if usable else None)
        self._record_history(report.updated_at, outcome)
        self._start_digest()
        self.observers.publish(outcome)

    def _record_history(self, stamp, outcome):
        """Once the pass's messages went out, in a transaction of its own: a
        history that cannot be written is one log line, never a failed pass."""
        try:
            self.history.record(pass_time(stamp), outcome.kind, outcome.result, outcome.subnets,
                                outcome.duration, outcome.rates)
        except Exception as problem:  # whatever it is, monitoring goes on
            self.log(f"cannot record this {outcome.kind} in the history in {self.outbox.path}: "
                     f"{problem}")

    def _start_digest(self):
        try:
            self.digest.after_pass()
        except Exception as problem:  # whatever it is, monitoring goes on
            self.log(f"cannot start the weekly digest: {problem}")

    def finish_digest(self):
        """For a single run, which would end under it: waits for a digest in
        the making and delivers it, when no delivery thread will."""
        if self.digest.wait() and self.courier is None:
            self._deliver_waiting()

    def _deliver_waiting(self):
        """Delivers what waits, if anything: (True, "") or (False, why),
        which is logged."""
        if not len(self.outbox):
            return True, ""
        ok, why = self._flush()
        if not ok:
            self.log(f"{len(self.outbox)} message(s) wait in the outbox: {why}")
        return ok, why

    def _wake_courier(self):
        if self.courier is not None:
            self.courier.wake()

    def _queue(self, report, module_text, news):
        """Queues this pass's alerts for each chat and the monitor's news
        ((keys, text) each), moving the chats' baselines in the same
        transaction. Gives (chats alerted and news told, "" or why the
        database could not take it)."""
        plan = None
        if report.rates is not None and report.failure in (None, outcome_module.NOT_DELIVERED):
            plan = self.router.plan(report, self.subscriptions.current(), module_text,
                                    mutes.active(self.database, time.time()))
        messages = plan.messages if plan is not None else []
        for keys, text in news:
            messages = messages + self.router.messages(keys, text)
        try:
            if messages or (plan is not None and plan.pointing):
                with self.database.transaction() as connection:
                    self.outbox.add(connection, messages)
                    change = self.baselines.write(connection, plan.pointing if plan else [])
                    if plan is not None:
                        self.subscriptions.took_fresh(connection, plan.took_fresh)
                self.baselines.committed(change)
            else:
                self.outbox.save_health()
        except sqlite3.Error as problem:
            # Nothing moved: the chats' baselines are where they were, so the
            # next pass finds the same changes and queues them then.
            why = f"cannot write the database {self.outbox.path}: {problem}"
            self.log(f"{why}; the alerts are worked out again at the next pass")
            return 0, why
        return (plan.alerted if plan is not None else 0) + len(news), ""

    def _news_keys(self):
        """Who hears the monitor's own news: the configured chats, and the
        fallback destinations while Telegram fails."""
        keys = [chat.key for chat in self.settings.chats]
        return keys + (self.destinations.fallback if self.destinations.telegram_failing else [])

    def _waiting(self):
        """{key: messages waiting for it}; {} when no destination needs it."""
        if not self.destinations.keys:
            return {}
        return dict(self.database.execute("SELECT chat, COUNT(*) FROM outbox GROUP BY chat"))

    def destination_states(self):
        """[(masked name, failing, messages waiting)] of every destination,
        for the metrics (read on their thread)."""
        waiting = self._waiting()
        return [(self.destinations.names[key], courier.failing is not None, waiting.get(key, 0))
                for key, courier in self.destinations.couriers.items()]

    def _tell_fallback(self, ok, why):
        """Telegram failing for --alert-after passes (and working again) is
        told to the fallback destinations."""
        if not self.destinations.fallback:
            return
        waiting = sum(n for key, n in self._waiting().items() if not is_destination(key))
        note = self.destinations.telegram(ok, why, waiting)
        if note is None:
            return
        self.log(note.removeprefix(log_prefix))
        try:
            with self.database.transaction() as connection:
                self.outbox.add(connection, self.router.messages(self.destinations.fallback, note))
        except sqlite3.Error as problem:
            self.log(f"cannot write the database {self.outbox.path}: {problem}")
            return
        self.destinations.wake(self.destinations.fallback)

    def _gone(self, key, error):
        """A chat that subscribed itself (or only asked a question) blocked
        the bot or is gone: its subscription and waiting messages go, with
        one line. Called by the delivery."""
        chat_id = key.partition(":")[0]
        try:
            with self.database.transaction() as connection:
                ended = self.subscriptions.drop(connection, chat_id)
                dropped = self.outbox.forget_chat(connection, chat_id)
        except sqlite3.Error as problem:
            self.log(f"chat {chat_id} cannot be reached ({error}), and dropping it failed: "
                     f"cannot write the database {self.outbox.path}: {problem}")
            return
        # Its baseline is left to the next start, which forgets the
        # baselines of chats no longer served: this may run on the delivery
        # thread, and the baselines in memory are the passes' own.
        self.log(f"chat {chat_id} cannot be reached ({error}): "
                 + (f"dropped its subscription and {dropped} waiting message(s)" if ended
                    else f"dropped {dropped} waiting message(s)"))

    def _flush(self):
        if self.courier is not None:
            return self.courier.settle()
        try:
            return self.delivery.flush()
        except sqlite3.Error as problem:
            return False, f"cannot write the database {self.outbox.path}: {problem}"

    def deliver_on_a_thread(self):
        """From now on messages are delivered by a thread of their own (the
        passes wait for theirs): for answers that must not wait for a pass.
        Gives the Courier, whose wake() says new messages wait."""
        if self.courier is None:
            # Answers go to the topic a question came from, which the
            # module's own sender cannot address.
            if self.module.send_burn_telegram is self.originals["send_burn_telegram"]:
                self.module.send_burn_telegram = sender_with_options(self.module, self._silent())
            self.courier = Courier(self.delivery, self.log)
            self.courier.start()
        return self.courier

    def _note_refused_key(self, report):
        """A key Taostats refuses at its first answer was never right: the
        monitor stops (status 78) rather than fail every pass for ever. A
        refusal after answers that went through may be the service's own
        trouble, and counts as a failed pass like any other."""
        if report.failure == outcome_module.NO_LISTING or report.subnets is not None:
            first_answer = not self.listing_answered
            self.listing_answered = True
            if first_answer and report.http_status in (401, 403):
                self.refused_key = (f"Taostats refuses TAOSTATS_API_KEY "
                                    f"(HTTP {report.http_status}): check the key")

    def _one_line(self, text):
        return health_module.one_line(text, self.settings.token)

    # ------------------------------------------------------------- install

    def _bind(self, module):
        for name in REPLACED:
            self.originals[name] = getattr(module, name)
        module.send_burn_telegram_messages = self.take_text
        module._burn_is_paused = self.is_paused
        module._burn_check_listing = self.check_listing
        module._burn_pass_report = self.pass_report
        self.delivery.silent = frozenset(self._silent())
        if self.settings.dry_run:
            module.send_burn_telegram = dry_run.print_instead_of_sending
            self.delivery.send_photo = dry_run.print_photo_instead
        elif self._silent() or any(chat.topic is not None for chat in self.settings.chats):
            module.send_burn_telegram = sender_with_options(module, self._silent())

    def _silent(self):
        return {sub.chat.key for sub in self.settings.subscriptions if sub.silent}

    def uninstall(self):
        """Puts the module's operations back and stops the destinations'
        threads (for tests and embedding hosts)."""
        self.destinations.stop()
        for name, original in self.originals.items():
            setattr(self.module, name, original)
        self.originals = {}


def install(module, settings, log=log_line):
    """Wires kilnguard-watch into `module` (the kilnguard module object) for
    `settings`; returns the Host, whose `observers` take subscriptions."""
    host = Host(module, settings, log)
    host._bind(module)
    host.destinations.start()
    return host

