"""What kilnguard-watch tells the outside world about itself: Prometheus
metrics, the dead-man heartbeat and systemd's notify socket, each fed by the
observers of the installed wiring (never by a wrapper of its own)."""

import dataclasses
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


def attach(host, module, state_path, metrics_listen=None, heartbeat_url=None,
           environ=os.environ, log=log_line):
    """Subscribes metrics, heartbeat and systemd notification to `host`'s
    passes and waits, and starts the metrics endpoint (OSError when it
    cannot listen). Each is its own subscriber, so one that fails does not
    silence the others."""
    notifier = Notifier(environ, log)
    metrics = heartbeat = None
    if metrics_listen is not None:
        metrics = Metrics(__version__, FAILURE_REASONS)
        # Until the first pass, what the monitor starts from.
        metrics.burn_rates.update(module.load_burn_state(state_path))
        metrics.outbox.set(len(host.outbox))
        metrics.serve(metrics_listen)

        host.observers.subscribe(metrics.observe)
    if heartbeat_url is not None:
        heartbeat = Heartbeat(heartbeat_url, log)

        def ping(outcome):
            # A pass that raised after its listing (say, the state file
            # cannot be written) did not do its job either.
            heartbeat.ping(outcome.subnets is not None and outcome.result != "error")
        host.observers.subscribe(ping)

    def tell_systemd(outcome):
        notifier.ready(outcome.summary())
    host.observers.subscribe(tell_systemd)
    host.waiting.subscribe(lambda paused: notifier.ping())
    return Reporting(notifier, metrics, heartbeat)
