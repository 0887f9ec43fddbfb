"""Prometheus metrics of kilnguard-watch (`--metrics-listen HOST:PORT`):
prometheus_client's registry and exposition, served by a bounded server of
our own (metrics_server.py).

Everything is fed from the outcome of each pass (and of the start-up
snapshot), rates included, so the numbers are those the monitor itself
acted on."""

import time

from prometheus_client import (CollectorRegistry, Counter, Gauge, Histogram, Info,
                               PlatformCollector, ProcessCollector)
from prometheus_client.core import GaugeMetricFamily

from kilnguard_watch.rates import rate_value
from kilnguard_watch.reporting.metrics_server import MetricsServer

PASS_RESULTS = ("ok", "failed", "error")
# A pass is mostly one listing request; the long tail is throttling retries
# and Telegram time-outs.
DURATION_BUCKETS = (0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300, 600)


class ListenAddressError(ValueError):
    pass


def parse_listen(text):
    """HOST:PORT, [IPv6]:PORT or :PORT (every interface) -> (host, port)."""
    host, colon, port = text.rpartition(":")
    if not colon or not port.isdigit() or not 0 < int(port) < 65536:
        raise ListenAddressError(f"--metrics-listen wants HOST:PORT with a port from 1 to 65535, "
                                 f"not {text!r}")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    elif ":" in host:
        raise ListenAddressError(f"--metrics-listen {text!r}: write an IPv6 address in brackets, "
                                 f"as in [::1]:9817")
    return host or "0.0.0.0", int(port)


class BurnRates:
    """kilnguard_owner_burn_rate{netuid}: one series per subnet of the last
    listing, built at scrape time, so a subnet that left the listing leaves
    the metrics too."""

    NAME = "kilnguard_owner_burn_rate"
    HELP = "Owner burn rate of each subnet in the last listing, a fraction from 0 to 1"

    def __init__(self):
        self._rates = {}

    def update(self, burn_map):
        rates = {}
        for netuid, text in burn_map.items():
            value = rate_value(text)
            if value is not None:
                rates[str(netuid)] = value
        self._rates = rates  # one assignment: a scrape sees the old map or the new

    def describe(self):
        yield GaugeMetricFamily(self.NAME, self.HELP, labels=["netuid"])

    def collect(self):
        family = GaugeMetricFamily(self.NAME, self.HELP, labels=["netuid"])
        for netuid, value in self._rates.items():
            family.add_metric([netuid], value)
        yield family


class LastSuccess:
    """kilnguard_last_successful_pass_timestamp_seconds, absent until the
    first ok pass. A plain Gauge would read 0 from the start, and an alert on
    time() - 0 fires at every slow start while a monitor that never succeeds
    is indistinguishable from one that did in 1970; absent, "not yet" is
    something a rule can wait out on purpose."""

    NAME = "kilnguard_last_successful_pass_timestamp_seconds"
    HELP = "Unix time at which the last pass with result ok ended (absent until the first one)"

    def __init__(self):
        self.when = None

    def set(self, when):
        self.when = when

    def describe(self):
        yield GaugeMetricFamily(self.NAME, self.HELP)

    def collect(self):
        if self.when is not None:
            yield GaugeMetricFamily(self.NAME, self.HELP, value=self.when)


class DestinationStates:
    """Each destination's state when scraped, labelled by its masked name
    (never the URL's secrets): whether its last try failed while messages
    wait, and how many wait."""

    def __init__(self, states=lambda: []):
        self.states = states  # () -> [(name, failing, waiting)]

    def describe(self):
        return self._families([])

    def collect(self):
        return self._families(self.states())

    def _families(self, states):
        failing = GaugeMetricFamily(
            "kilnguard_destination_failing",
            "1 while the last try to deliver to an Apprise destination failed", labels=["destination"])
        waiting = GaugeMetricFamily("kilnguard_destination_messages",
                                    "Messages waiting for an Apprise destination",
                                    labels=["destination"])
        for name, failed, count in states:
            failing.add_metric([name], 1.0 if failed else 0.0)
            waiting.add_metric([name], count)
        return [failing, waiting]


class DatabaseSize:
    """kilnguard_database_bytes: the host database on the disk, its
    write-ahead log included, read at scrape time (it grows between passes
    too, with commands and deliveries); absent while the data is kept in
    memory."""

    NAME = "kilnguard_database_bytes"
    HELP = "Size of the host database on disk (main file and write-ahead log), in bytes"

    def __init__(self, size):
        self._size = size

    def describe(self):
        yield GaugeMetricFamily(self.NAME, self.HELP)

    def collect(self):
        size = self._size()
        if size is not None:
            yield GaugeMetricFamily(self.NAME, self.HELP, value=size)


class Metrics:
    def __init__(self, version, failure_reasons=(), database_size=None):
        """`database_size`: () -> bytes of the host database, or None."""
        self.registry = registry = CollectorRegistry()
        ProcessCollector(registry=registry)
        PlatformCollector(registry=registry)
        self.burn_rates = BurnRates()
        registry.register(self.burn_rates)
        self.destinations = DestinationStates()
        registry.register(self.destinations)
        self.subnets = Gauge("kilnguard_subnets", "Subnets in the last listing", registry=registry)
        self.passes = Counter(
            "kilnguard_passes", "Passes and start-up snapshots by result: ok; failed (no listing, "
            "or the alert not delivered); error (the pass raised)", ["result"], registry=registry)
        self.last_success = LastSuccess()
        registry.register(self.last_success)
        self.duration = Histogram("kilnguard_pass_duration_seconds", "How long each pass took",
                                  buckets=DURATION_BUCKETS, registry=registry)
        self.changes = Counter("kilnguard_changes", "Changed subnets alerted", registry=registry)
        self.messages_sent = Counter("kilnguard_messages_sent", "Telegram messages delivered",
                                     registry=registry)
        self.telegram_failures = Counter("kilnguard_telegram_failures",
                                         "Telegram sends that failed, by reason", ["reason"],
                                         registry=registry)
        self.outbox = Gauge("kilnguard_outbox_messages",
                            "Messages waiting in the outbox for the next delivery",
                            registry=registry)
        self.throttled = Counter("kilnguard_taostats_throttled",
                                 "Taostats answers that said to slow down (each is retried)",
                                 registry=registry)
        if database_size is not None:
            registry.register(DatabaseSize(database_size))
        Info("kilnguard_build", "Version of kilnguard-watch", registry=registry).info(
            {"version": version})
        # Series that exist from the start read 0 rather than "no data", so
        # rate() and alert rules work before the first failure.
        for result in PASS_RESULTS:
            self.passes.labels(result)
        for reason in failure_reasons:
            self.telegram_failures.labels(reason)

    def observe(self, outcome):
        """Counts one pass; its rates replace those shown so far (a pass
        without a usable listing keeps them)."""
        self.passes.labels(outcome.result).inc()
        self.duration.observe(outcome.duration)
        if outcome.result == "ok":
            self.last_success.set(time.time())
        if outcome.subnets is not None:
            self.subnets.set(outcome.subnets)
        if outcome.rates is not None:
            self.burn_rates.update(outcome.rates)
        self.changes.inc(outcome.changes)
        self.messages_sent.inc(outcome.messages_sent)
        self.throttled.inc(outcome.taostats_throttled)
        for reason, count in outcome.telegram_failures.items():
            self.telegram_failures.labels(reason).inc(count)
        self.outbox.set(outcome.outbox_size)

    def serve(self, listen):
        """Starts the HTTP endpoint on a thread of its own; raises OSError
        (address in use, no such address) before monitoring starts."""
        host, port = parse_listen(listen)
        try:  # a name that does not resolve is an OSError too (gaierror)
            return MetricsServer(self.registry, host, port)
        except OSError as error:
            raise OSError(f"cannot listen on {listen}: {error.strerror or error}") from None
