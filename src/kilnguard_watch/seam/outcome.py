"""What one pass came to, as the rest of the host sees it, and the
subscribers that hear about it."""

import dataclasses

# What the module says a failed pass stopped at, and what the host makes of it.
NO_KEY = "taostats_key"
NO_LISTING = "fetch"
WRONG_LISTING = "listing"
NOT_DELIVERED = "delivery"
RAISED = "error"


@dataclasses.dataclass(frozen=True)
class PassOutcome:
    """What one pass (kind "pass") or the start-up snapshot (kind
    "snapshot") came to.

    result: "ok" (returned 0), "failed" (returned 1: no listing, or the
        alert not delivered) or "error" (raised);
    subnets: subnets in the listing, None without a usable listing;
    changes: subnets the module found changed since the previous pass at
        the top-level threshold (each chat is told against its own
        baseline and rules);
    duration: seconds, on the monotonic clock;
    outbox_size: messages still waiting after the pass;
    messages_sent: Telegram messages delivered during the pass;
    telegram_failures: failed sends by reason ("throttled", "migrated",
        "token", "chat", "other"), retries included;
    throttled: 429 replies seen (also counted in telegram_failures);
    taostats_throttled: Taostats answers that said to slow down;
    error: the pass's error on one line, secrets removed ("" when ok);
    rates: the rate map the pass acted on (netuid -> rate text), None
        without a usable listing.
    """
    kind: str
    result: str
    subnets: int | None
    changes: int
    duration: float
    outbox_size: int
    messages_sent: int
    telegram_failures: dict
    throttled: int
    error: str
    taostats_throttled: int = 0
    rates: object = None

    def summary(self):
        """One line for the log and the service manager's status."""
        took = f"{self.duration * 1000:.0f} ms"
        if self.result == "ok":
            text = f"{self.kind} ok: {self.subnets} subnets, {self.changes} changed, {took}"
        else:
            text = f"{self.kind} {self.result}: {self.error or 'see above'}, {took}"
        if self.outbox_size:
            text += f", {self.outbox_size} message(s) waiting"
        return text


class Observers:
    """Callbacks that hear of every event of one kind; one that raises is
    logged and never stops monitoring or the callbacks after it."""

    def __init__(self, log):
        self._callbacks = []
        self._log = log

    def subscribe(self, callback):
        self._callbacks.append(callback)
        return callback

    def publish(self, event):
        for callback in self._callbacks:
            try:
                callback(event)
            except Exception as error:
                self._log(f"pass observer {getattr(callback, '__name__', callback)} failed: {error}")
