"""The one place where kilnguard-watch hooks into the module.

Every module operation calls the others through the module's current
binding, looked up at each call. `install()` rebinds, once, at start-up:

  run_kilnguard_once, run_burn_startup_snapshot
      time the pass, settle the monitor's health from what the pass saw,
      deliver what waits in the outbox, and publish a PassOutcome;
  fetch_all_subnets_latest
      a listing that is visibly wrong is handed back as an error object, so
      the pass logs it and keeps the stored rates; a key that Taostats
      refuses at the first answer ends the program (status 78);
  with_retries
      keeps the listing page's pagination for the check above;
  format_burn_alert
      counts the changes of the pass;
  send_burn_telegram_messages
      at-least-once delivery through the outbox (delivery.py);
  send_burn_telegram
      the sender of one message: the module's own; with a forum topic or
      --silent, a call of the module's send_telegram_message with them; in a
      dry run, a printer (and the module's "sent" lines say "would send");
  is_rate_limited
      counts the throttled Taostats answers of the pass;
  _burn_is_paused
      tells the `waiting` observers that the loop is still alive: the module
      tests the pause file at least once a second while it waits.

Each wrapper calls the operation it replaces (send_burn_telegram_messages
excepted: delivery splits with the module's `_chunk_text` and sends each
piece itself, so that it knows which pieces went out) and nothing else is
patched anywhere.

Observing passes. Other parts of the host (metrics, heartbeat, a service
manager's watchdog) subscribe to the outcome of every pass without touching
its logic:

    host = install(kilnguard, settings)
    host.observers.subscribe(callback)      # callback(outcome: PassOutcome)

The callback runs on the monitor's thread after each pass (and after the
start-up snapshot), once the outbox has been delivered. An exception in a
callback is logged and never stops monitoring; a callback should be quick.
`host.waiting.subscribe(callback)` works the same way, callback(paused)
being called at each test of the pause file (a service manager's watchdog
pings there).
"""

import collections
import dataclasses
import json
import os
import time

from kilnguard_watch.delivery import deliver as delivery_module
from kilnguard_watch.delivery import dry_run
from kilnguard_watch.reporting import health as health_module
from kilnguard_watch.seam import listing_check as listing_module
from kilnguard_watch.delivery import telegram as telegram_api
from kilnguard_watch.delivery.chats import sender_with_options
from kilnguard_watch.cli.errors import SettingRefused
from kilnguard_watch.log import log_line
from kilnguard_watch.delivery.outbox import Outbox, OutboxDamaged, outbox_path

LISTING_PATH = "/api/subnet/latest/v1"
WRAPPED = ("run_kilnguard_once", "run_burn_startup_snapshot", "fetch_all_subnets_latest",
           "with_retries", "format_burn_alert", "send_burn_telegram_messages", "send_burn_telegram",
           "is_rate_limited", "_burn_is_paused")


@dataclasses.dataclass(frozen=True)
class PassOutcome:
    """What one pass (kind "pass") or the start-up snapshot (kind
    "snapshot") came to.

    result: "ok" (returned 0), "failed" (returned 1: no listing, or the
        alert not delivered) or "error" (raised);
    subnets: subnets in the listing, None without a usable listing;
    changes: changed subnets alerted in this pass;
    duration: seconds, on the monotonic clock;
    outbox_size: messages still waiting after the pass;
    messages_sent: Telegram messages delivered during the pass;
    telegram_failures: failed sends by reason ("throttled", "migrated",
        "token", "chat", "other"), retries included;
    throttled: 429 replies seen (also counted in telegram_failures);
    taostats_throttled: Taostats answers that said to slow down;
    error: the pass's error on one line, secrets removed ("" when ok).
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
    def __init__(self, log):
        self._callbacks = []
        self._log = log

    def subscribe(self, callback):
        self._callbacks.append(callback)
        return callback

    def publish(self, outcome):
        for callback in self._callbacks:
            try:
                callback(outcome)
            except Exception as error:  # an observer never stops monitoring
                self._log(f"pass observer {getattr(callback, '__name__', callback)} failed: {error}")


@dataclasses.dataclass
class Settings:
    state_path: str
    token: str
    chats: list  # of chats.Chat
    alert_after: int = 3
    dry_run: bool = False
    silent: bool = False


class _Pass:
    """What the wrappers learn during one pass."""

    def __init__(self):
        self.started = time.monotonic()
        self.telegram = collections.Counter()
        self.pagination = None
        self.subnets = None
        self.changes = 0
        self.listing_error = None  # (health kind, one-line text)
        self.flushed = False
        self.taostats_throttled = 0

    def count_telegram(self, reason):
        self.telegram[reason] += 1


class Host:
    """The installed wiring: the outbox, delivery, health and observers."""

    def __init__(self, module, settings, log):
        self.module = module
        self.settings = settings
        self.log = log
        self.observers = Observers(log)
        self.waiting = Observers(log)
        self.outbox = Outbox(None if settings.dry_run else outbox_path(settings.state_path))
        try:
            self.outbox.load()
        except OutboxDamaged as error:
            log(str(error))
        retargeted, forgotten = self.outbox.keep_only([chat.key for chat in settings.chats])
        if retargeted:
            log(f"{retargeted} undelivered message(s) for chats no longer configured go to "
                f"the chats configured in their place")
        if forgotten:
            log(f"forgot {forgotten} undelivered message(s) for chats no longer configured")
        self.delivery = delivery_module.Delivery(module, self.outbox, settings.token,
                                                 settings.chats, log)
        self.health = health_module.Health(self.outbox.health, settings.alert_after)
        self.originals = {}
        self.current = None
        self.listing_answered = False

    # -------------------------------------------------------------- passes

    def _run(self, kind, original, kwargs):
        self.current = current = _Pass()
        self.delivery.stats = current
        try:
            result = original(**kwargs)
        except Exception as error:
            self._settle(current, kind, "error", self._one_line(error))
            raise
        finally:
            self.current = None
        self._settle(current, kind, "ok" if result == 0 else "failed", "")
        return result

    def _settle(self, current, kind, result, error):
        if result == "error":
            message = self.health.failed(health_module.RAISED, error)
        elif current.listing_error is not None:
            message = self.health.failed(*current.listing_error)
            error = current.listing_error[1]
        elif current.subnets is not None:
            message = self.health.succeeded()
        else:
            message = None
        if message is not None:
            self.log(message.replace("\n", " "))
            self.outbox.add(delivery_module.numbered_pieces(self.module, message),
                            [chat.key for chat in self.settings.chats])
        self.delivery.save()
        if len(self.outbox) and (message is not None or not current.flushed):
            self.delivery.stats = current
            ok, failure = self.delivery.flush()
            if not ok:
                self.log(f"{len(self.outbox)} message(s) wait in the outbox: {failure}")
        if result == "failed" and not error and current.telegram:
            error = "telegram: " + ", ".join(f"{n} {r}" for r, n in current.telegram.items() if r != "sent")
        self.observers.publish(PassOutcome(
            kind=kind, result=result, subnets=current.subnets, changes=current.changes,
            duration=time.monotonic() - current.started, outbox_size=len(self.outbox),
            messages_sent=current.telegram["sent"],
            telegram_failures={r: n for r, n in current.telegram.items() if r != "sent"},
            throttled=current.telegram[telegram_api.THROTTLED], error=error,
            taostats_throttled=current.taostats_throttled))

    def _one_line(self, text):
        return health_module.one_line(text, self.settings.token, os.environ.get("TAOSTATS_API_KEY", ""))

    # ------------------------------------------------------------- listing

    def _fetch(self, auth):
        current = self.current or _Pass()
        current.pagination = None
        result = self.originals["fetch_all_subnets_latest"](auth)
        first_answer = not self.listing_answered
        self.listing_answered = True
        if isinstance(result, dict) and result.get("error"):
            status = _http_status(result)
            if first_answer and status in (401, 403):
                raise SettingRefused(f"Taostats refuses TAOSTATS_API_KEY (HTTP {status}): "
                                     f"check the key")
            current.listing_error = (health_module.NO_LISTING, self._one_line(
                json.dumps(result, ensure_ascii=False)))
            return result
        if not isinstance(result, list):
            return result  # the pass refuses it with its own error
        stored = len(self.module.load_burn_state(self.settings.state_path))
        problem = listing_module.listing_problem(result, current.pagination, stored)
        if problem is not None:
            current.listing_error = (health_module.WRONG_LISTING, problem)
            return {"error": "listing_looks_wrong", "reason": problem}
        current.subnets = listing_module.count_subnets(result)
        return result

    def _with_retries(self, path, params, auth, **options):
        payload = self.originals["with_retries"](path, params, auth, **options)
        if self.current is not None and path == LISTING_PATH and isinstance(payload, dict):
            self.current.pagination = payload.get("pagination")
        return payload

    def _format_alert(self, changes, updated_at):
        if self.current is not None:
            self.current.changes = len(changes)
        return self.originals["format_burn_alert"](changes, updated_at)

    def _send_text(self, text, token, chat_id):
        if self.current is not None:
            self.current.flushed = True
        return self.delivery.send_text(text, token, chat_id)

    def _is_rate_limited(self, payload):
        limited = self.originals["is_rate_limited"](payload)
        if limited and self.current is not None:
            self.current.taostats_throttled += 1
        return limited

    def _is_paused(self, pause_path):
        paused = self.originals["_burn_is_paused"](pause_path)
        self.waiting.publish(paused)
        return paused

    # ------------------------------------------------------------- install

    def _bind(self, module):
        for name in WRAPPED:
            self.originals[name] = getattr(module, name)

        def run_kilnguard_once(**kwargs):
            return self._run("pass", self.originals["run_kilnguard_once"], kwargs)

        def run_burn_startup_snapshot(**kwargs):
            return self._run("snapshot", self.originals["run_burn_startup_snapshot"], kwargs)

        module.run_kilnguard_once = run_kilnguard_once
        module.run_burn_startup_snapshot = run_burn_startup_snapshot
        module.fetch_all_subnets_latest = self._fetch
        module.with_retries = self._with_retries
        module.format_burn_alert = self._format_alert
        module.send_burn_telegram_messages = self._send_text
        module.is_rate_limited = self._is_rate_limited
        module._burn_is_paused = self._is_paused
        if self.settings.dry_run:
            module.send_burn_telegram = dry_run.print_instead_of_sending
            dry_run.reword_stderr()
        elif self.settings.silent or any(chat.topic is not None for chat in self.settings.chats):
            module.send_burn_telegram = sender_with_options(module, self.settings.silent)

    def uninstall(self):
        """Puts the module's operations back (for tests and embedding hosts)."""
        for name, original in self.originals.items():
            setattr(self.module, name, original)
        self.originals = {}


def _http_status(error_object):
    response = error_object.get("response")
    status = response.get("http_status") if isinstance(response, dict) else None
    return status if isinstance(status, int) else None


def install(module, settings, log=log_line):
    """Wires kilnguard-watch into `module` (the kilnguard module object) for
    `settings`; returns the Host, whose `observers` take subscriptions."""
    host = Host(module, settings, log)
    host._bind(module)
    return host
