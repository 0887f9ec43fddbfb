"""The monitor's own failures, told to the chat: after N passes in a row
without a usable listing (or that raised), one message saying so, since when
and the last error; when a pass succeeds again, one message saying so and how
long it lasted. A listing that is visibly wrong is told at once.

The record lives in the outbox file, so a monitor run from cron with --once
counts its failures across runs just as the loop does."""

import time

from kilnguard_watch.log import scrub

ERROR_LENGTH = 300
# Kinds of failed pass.
NO_LISTING = "no listing"
RAISED = "error"
WRONG_LISTING = "wrong listing"


def one_line(text, *secrets):
    """An error for a chat message: secrets scrubbed, one line, at most
    ERROR_LENGTH characters."""
    text = scrub(text, *secrets)
    text = " ".join(text.split())
    return text if len(text) <= ERROR_LENGTH else text[:ERROR_LENGTH - 1] + "…"


def stamp(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))


def duration(seconds):
    seconds = int(round(seconds))
    if seconds < 60:
        return f"{seconds} s"
    minutes = seconds // 60
    if minutes < 60:
        return f"{minutes} min"
    hours, minutes = divmod(minutes, 60)
    if hours < 48:
        return f"{hours} h {minutes} min" if minutes else f"{hours} h"
    return f"{hours // 24} days {hours % 24} h"


class Health:
    """`record` is the outbox's health dict (kept up to date in place);
    `failed` and `succeeded` return the message to send, or None."""

    def __init__(self, record, alert_after, clock=time.time):
        self.record = record
        self.alert_after = alert_after
        self.clock = clock

    @property
    def failures(self):
        return self.record.get("failures", 0)

    def failed(self, kind, error):
        now = self.clock()
        record = self.record
        record["failures"] = self.failures + 1
        record.setdefault("since", now)
        record["last_error"] = error
        record["kind"] = kind
        if record.get("reported") or (kind != WRONG_LISTING and record["failures"] < self.alert_after):
            return None
        record["reported"] = True
        since = stamp(record["since"])
        if kind == WRONG_LISTING:
            head = (f"kilnguard-watch: the subnet listing looks wrong, so it was not used and the "
                    f"stored rates were kept (since {since}).")
        elif kind == RAISED:
            head = f"kilnguard-watch: {record['failures']} passes in a row failed, since {since}."
        else:
            head = (f"kilnguard-watch: no subnet listing for {record['failures']} passes in a row, "
                    f"since {since}.")
        return f"{head}\nLast error: {error}"

    def succeeded(self):
        record = self.record
        message = None
        if record.get("reported"):
            lasted = duration(self.clock() - record["since"])
            message = (f"kilnguard-watch: passes succeed again; the outage lasted {lasted} "
                       f"(since {stamp(record['since'])}).")
        record.clear()
        return message
