"""Delivery to the destinations reached through Apprise, each on a thread of
its own: Apprise sends block, and a slow webhook must delay neither a pass
nor a Telegram chat, nor another destination.

A destination's messages wait in the outbox like a chat's (under the
destination's key), oldest first, and leave it only once the service took
them. Each destination is paced on its own, one message every PACE seconds.
What a failed send means follows the reasons of Telegram's delivery:

- THROTTLED (429): wait THROTTLED_WAIT, then the same message again;
- MESSAGE (the service refuses it as it is): tried ATTEMPTS times, counted
  across restarts, then set aside, so it never holds back the ones behind;
- CHAT (the service refuses the destination: credentials, a webhook that
  is gone) and OTHER (no answer, a 5xx): everything waits; tried again at
  the next pass, or after RETRY_AFTER when no pass comes sooner.

`failing` tells the host that the last try failed while messages wait: the
host counts such passes and tells the Telegram chats once the destination
has failed for --alert-after passes (and again when it works)."""

import sqlite3
import threading
import time

from kilnguard_watch.delivery.telegram import MESSAGE, OTHER, THROTTLED

PACE = 1.0  # seconds between two messages to one destination
THROTTLED_WAIT = 30.0  # Apprise does not pass a service's retry-after on
RETRY_AFTER = 300.0  # an unreachable destination, when no pass comes sooner
ATTEMPTS = 3
# The key of a destination in the outbox and the baselines: never a Telegram
# chat's (a number or @name), and the same across restarts.
KEY_PREFIX = "apprise-"


def is_destination(key):
    return key.startswith(KEY_PREFIX)


class DestinationCourier:
    """Delivers what waits for one destination (`target`: a Destination, or
    anything with name, send(text) -> Attempt) under `key`."""

    def __init__(self, key, target, outbox, log, clock=time.monotonic):
        self.key = key
        self.target = target
        self.outbox = outbox
        self.log = log
        self.clock = clock
        self.failing = None  # the last failed try's error while messages wait, else None
        self._woken = threading.Event()
        self._idle = threading.Condition()
        self._rounds = 0  # delivery rounds finished
        self._busy = False
        self._stopped = False
        self._thread = threading.Thread(target=self._run, name=f"kilnguard-{key}", daemon=True)

    def start(self):
        self._thread.start()

    def wake(self):
        """New messages wait, or a pass asks for another try."""
        self._woken.set()

    def stop(self):
        """No round after the one under way, if any (an embedding host
        that uninstalls, a test that ends); what waits stays in the outbox."""
        self._stopped = True
        self._woken.set()

    def settle(self, seconds):
        """Wakes the thread and waits (at most `seconds`) for a round of
        delivery that started after this call; for a single run, which must
        know what is left before it ends."""
        with self._idle:
            target = self._rounds + (2 if self._busy else 1)
        self.wake()
        deadline = time.monotonic() + seconds
        with self._idle:
            while self._rounds < target:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._idle.wait(min(left, 1.0))
        return True

    def _run(self):
        wait = None
        while True:
            self._woken.wait(wait)
            self._woken.clear()
            if self._stopped:
                return
            with self._idle:
                self._busy = True
            try:
                wait = self._deliver()
            except sqlite3.Error as problem:
                wait = RETRY_AFTER
                self.failing = f"cannot use the database: {problem}"
            except Exception as error:  # never end the thread: alerts depend on it
                wait = RETRY_AFTER
                self.failing = f"delivery failed: {type(error).__name__}: {error}"
                self.log(f"{self.target.name}: {self.failing}")
            with self._idle:
                self._busy = False
                self._rounds += 1
                self._idle.notify_all()

    def _deliver(self):
        """Sends what waits, oldest first; gives how long to wait before the
        next round when something is left (None: until woken)."""
        last = None
        while True:
            row = self.outbox.oldest(self.key)
            if row is None:
                self.failing = None
                return None
            row_id, text, _, _ = row  # destinations get text only
            if last is not None and PACE - (self.clock() - last) > 0:
                time.sleep(PACE - (self.clock() - last))
            last = self.clock()
            attempt = self.target.send(text)
            if attempt.ok:
                self.outbox.delivered(row_id, self.key)
                self.failing = None
                continue
            reason = attempt.failure.reason if attempt.failure else OTHER
            if reason == MESSAGE:
                if self.outbox.refused(row_id) >= ATTEMPTS:
                    self.outbox.set_aside(row_id, attempt.error)
                    self.log(f"{self.target.name}: a message the service refused {ATTEMPTS} "
                             f"times ({attempt.error}) was set aside in {self.outbox.path}")
                continue
            self.failing = attempt.error
            return THROTTLED_WAIT if reason == THROTTLED else RETRY_AFTER


class _Printer:
    """A dry run's destination: each message printed, never sent."""

    def __init__(self, name):
        self.name = name

    def send(self, text):
        from kilnguard_watch.delivery.destination import Attempt

        print(f"[to {self.name}]\n{text}", end="\n\n", flush=True)
        return Attempt(True)


class Destinations:
    """Every configured destination (config.DestinationConfig) with its
    courier, and what the host tells about them: a destination that failed
    for `alert_after` passes in a row is told to the Telegram chats, and
    Telegram failing that long is told to the destinations marked fallback
    (each once, and again when it works)."""

    def __init__(self, configured, outbox, log, alert_after, dry_run=False):
        self.names = {d.key: d.target.name for d in configured}
        self.splitters = {d.key: d.target.pieces for d in configured}
        self.fallback = [d.key for d in configured if d.fallback]
        self.couriers = {d.key: DestinationCourier(
            d.key, _Printer(d.target.name) if dry_run else d.target, outbox, log)
            for d in configured}
        self.alert_after = alert_after
        self._failed = dict.fromkeys(self.couriers, 0)  # passes in a row each failed
        self._telegram_failed = 0

    @property
    def keys(self):
        return list(self.couriers)

    def start(self):
        for courier in self.couriers.values():
            courier.start()

    def wake(self, keys=None):
        for key in self.couriers if keys is None else keys:
            self.couriers[key].wake()

    def stop(self):
        for courier in self.couriers.values():
            courier.stop()

    def settle(self, seconds):
        """Each destination tries what waits for it once more (within
        `seconds` in all); for a single run."""
        deadline = time.monotonic() + seconds
        for courier in self.couriers.values():
            courier.wake()
        for courier in self.couriers.values():
            courier.settle(max(0.0, deadline - time.monotonic()))

    def notes(self, waiting):
        """After a pass: what to tell the Telegram chats about the
        destinations (`waiting`: key -> messages waiting for it)."""
        notes = []
        for key, courier in self.couriers.items():
            error = courier.failing
            if error is None:
                if self._failed[key] >= self.alert_after:
                    notes.append(f"kilnguard-watch: {self.names[key]} takes messages again.")
                self._failed[key] = 0
                continue
            self._failed[key] += 1
            if self._failed[key] == self.alert_after:
                notes.append(f"kilnguard-watch: {self.names[key]} has failed for "
                             f"{self.alert_after} passes in a row: {error}; "
                             f"{waiting.get(key, 0)} message(s) wait for it.")
        return notes

    def telegram(self, ok, why, waiting):
        """After a pass's Telegram delivery (`ok`, `why` not, `waiting`
        messages): the note for the fallback destinations, or None."""
        if not self.fallback:
            return None
        if ok:
            back = self._telegram_failed >= self.alert_after
            self._telegram_failed = 0
            return "kilnguard-watch: Telegram takes messages again." if back else None
        self._telegram_failed += 1
        if self._telegram_failed != self.alert_after:
            return None
        return (f"kilnguard-watch: Telegram has not taken messages for {self.alert_after} "
                f"passes in a row: {why}; {waiting} message(s) wait for it.")

    @property
    def telegram_failing(self):
        return self._telegram_failed >= self.alert_after
