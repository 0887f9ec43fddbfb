"""Delivery on a thread of its own, once messages come from more than the
passes: an answer to a command goes out while a pass fetches its listing or
the monitor waits for the next one, instead of after them.

A pass still waits for what it queued (`settle`), so its outcome says, as
before, whether its alerts arrived; the wait ends with Ctrl-C like any other.
The thread is a daemon: a stop never waits for a send, and a message on its
way at that instant is the one that may arrive twice."""

import sqlite3
import threading

LOOK_EVERY = 0.25  # seconds: how soon a delivery that waits sees new messages


class Courier:
    def __init__(self, delivery, log):
        self.delivery = delivery
        self.log = log
        delivery.look_every = LOOK_EVERY
        self._changed = threading.Condition()
        self._asked = 0  # settle() calls so far
        self._done = 0  # the last call a finished delivery started after
        self._result = (True, "")
        self._thread = threading.Thread(target=self._run, name="kilnguard-delivery", daemon=True)

    def start(self):
        self._thread.start()

    def wake(self):
        """New messages wait (answers to a command): on their way at the next
        turn of a delivery that runs, or at once."""
        self.delivery.queued.set()
        with self._changed:
            self._changed.notify_all()

    def settle(self):
        """Delivers what waits now, as Delivery.flush does, and gives its
        result once a delivery that started after this call is over."""
        with self._changed:
            self._asked += 1
            ticket = self._asked
            self.delivery.queued.set()
            self._changed.notify_all()
            while self._done < ticket:
                self._changed.wait(1.0)
            return self._result

    def _run(self):
        while True:
            with self._changed:
                while self._done >= self._asked and not self.delivery.queued.is_set():
                    self._changed.wait()
                ticket = self._asked
            try:
                result = self.delivery.flush()
            except sqlite3.Error as problem:
                result = (False, f"cannot use the database: {problem}")
            except Exception as error:  # never end the thread: alerts depend on it
                result = (False, f"delivery failed: {error}")
                self.log(result[1])
            with self._changed:
                self._done = ticket
                self._result = result
                self._changed.notify_all()
