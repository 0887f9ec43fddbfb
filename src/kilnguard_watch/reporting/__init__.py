"""What kilnguard-watch tells the outside world about itself: Prometheus
metrics, the dead-man heartbeat and systemd's notify socket, each fed by the
observers of the installed wiring (never by a wrapper of its own)."""

import dataclasses
import math
import os

from kilnguard_watch import __version__
from kilnguard_watch.delivery import telegram as telegram_api
from kilnguard_watch.log import log_line
from kilnguard_watch.reporting.heartbeat import Heartbeat, check_url
from kilnguard_watch.reporting.metrics import Metrics, parse_listen
from kilnguard_watch.reporting.notify import Notifier

FAILURE_REASONS = (telegram_api.THROTTLED, telegram_api.MIGRATED, telegram_api.TOKEN,
                   telegram_api.CHAT, telegram_api.OTHER)


def check_flags(metrics_listen, heartbeat_url):
    """Raises ValueError (naming the flag) for a value that can never work,
    before anything starts."""
    if metrics_listen is not None:
        parse_listen(metrics_listen)
    if heartbeat_url is not None:
        check_url(heartbeat_url)


@dataclasses.dataclass
class Reporting:
    notifier: Notifier
    metrics: Metrics | None
    heartbeat: Heartbeat | None

    def pass_starting(self):
        """For a pass the command line runs itself (the loop's own passes
        are seen through its waits)."""
        if self.heartbeat is not None:
            self.heartbeat.start()


def pause_tests_per_wait(interval_minutes):
    """How often the loop tests the pause file from one pass to the next:
    its wait (at least a minute) tests before each step of at most a second
    and once at the end, then the loop tests once more right before the
    pass. The last of them is the pass's start."""
    seconds = max(interval_minutes * 60, 60.0)
    return math.ceil(seconds) + 2


def heartbeat_verdict(outcome):
    """(healthy, reason) of a pass for the dead-man service: a pass did its
    job when it got a listing and everything it had to deliver arrived."""
    if outcome.result == "ok" and not (outcome.outbox_size and outcome.telegram_failures):
        return True, ""
    reason = f"{outcome.kind} {outcome.result}: {outcome.error or 'see the log'}"
    if outcome.outbox_size:
        reason += f"; {outcome.outbox_size} message(s) wait in the outbox"
    return False, reason


def attach(host, module, state_path, metrics_listen=None, heartbeat_url=None,
           environ=os.environ, log=log_line, interval_minutes=None):
    """Subscribes metrics, heartbeat and systemd notification to `host`'s
    passes and waits, and starts the metrics endpoint (OSError when it
    cannot listen). Each is its own subscriber, so one that fails does not
    silence the others. With `interval_minutes` (the loop's), the heartbeat
    also says when each of the loop's passes starts."""
    notifier = Notifier(environ, log)
    metrics = heartbeat = None
    if metrics_listen is not None:
        metrics = Metrics(__version__, FAILURE_REASONS, database_size=host.database.bytes_on_disk)
        # Until the first pass, what the monitor starts from.
        metrics.burn_rates.update(module.load_burn_state(state_path))
        metrics.outbox.set(len(host.outbox))
        metrics.destinations.states = host.destination_states
        metrics.serve(metrics_listen)

        host.observers.subscribe(metrics.observe)
    if heartbeat_url is not None:
        heartbeat = Heartbeat(heartbeat_url, log)

        def ping(outcome):
            # A pass that raised after its listing (say, the state file
            # cannot be written) did not do its job either, nor one whose
            # alert Telegram did not take.
            heartbeat.ping(*heartbeat_verdict(outcome))
        host.observers.subscribe(ping)
        if interval_minutes is not None:
            host.waiting.subscribe(_start_of_loop_passes(host, heartbeat, interval_minutes))

    def tell_systemd(outcome):
        notifier.ready(outcome.summary())
    host.observers.subscribe(tell_systemd)
    host.waiting.subscribe(lambda paused: notifier.ping())
    return Reporting(notifier, metrics, heartbeat)


def _start_of_loop_passes(host, heartbeat, interval_minutes):
    """A waiting observer that pings the heartbeat's start when the loop's
    test of the pause file is the one right before a pass: the count of
    tests starts again at every pass's outcome."""
    tests_per_wait = pause_tests_per_wait(interval_minutes)
    tests = 0

    def restart(outcome):
        nonlocal tests
        tests = 0

    def count(paused):
        nonlocal tests
        tests += 1
        if tests == tests_per_wait and not paused:
            heartbeat.start()

    host.observers.subscribe(restart)
    return count
