"""The Prometheus metrics, read back as a scraper reads them."""

import socket
import urllib.request

import pytest
from prometheus_client.parser import text_string_to_metric_families

from fake_taostats import refused_port
from kilnguard_watch.reporting.metrics import ListenAddressError, Metrics, parse_listen, rate_value
from kilnguard_watch.reporting.metrics_server import MetricsServer
from kilnguard_watch.reporting import FAILURE_REASONS
from kilnguard_watch.seam import PassOutcome


def outcome(result="ok", subnets=3, **fields):
    values = dict(kind="pass", result=result, subnets=subnets, changes=0, duration=0.02,
                  outbox_size=0, messages_sent=0, telegram_failures={}, throttled=0, error="",
                  taostats_throttled=0)
    values.update(fields)
    return PassOutcome(**values)


def scrape(url):
    with urllib.request.urlopen(url + "/metrics", timeout=10) as answer:
        text = answer.read().decode()
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


@pytest.fixture
def served():
    metrics = Metrics("1.2.3", FAILURE_REASONS)
    port = refused_port()
    server = metrics.serve(f"127.0.0.1:{port}")
    yield metrics, f"http://127.0.0.1:{port}"
    server.shutdown()
    server.server_close()


def test_a_scrape_shows_what_the_passes_did(served):
    metrics, url = served
    metrics.observe(outcome(changes=2, messages_sent=1, duration=0.3,
                            rates={"0": "0", "3": "0.18", "7": "1", "9": "not a rate", "11": "nan"}))
    metrics.observe(outcome("failed", subnets=None, outbox_size=2, taostats_throttled=6,
                            telegram_failures={"throttled": 2, "chat": 1}))
    metrics.observe(outcome("error", subnets=None, duration=70))
    samples = scrape(url)
    rates = {labels[0][1]: value for (name, labels), value in samples.items()
             if name == "kilnguard_owner_burn_rate"}
    assert rates == {"0": 0.0, "3": 0.18, "7": 1.0}
    expected = {
        ("kilnguard_subnets", ()): 3,
        ("kilnguard_passes_total", (("result", "ok"),)): 1,
        ("kilnguard_passes_total", (("result", "failed"),)): 1,
        ("kilnguard_passes_total", (("result", "error"),)): 1,
        ("kilnguard_pass_duration_seconds_count", ()): 3,
        ("kilnguard_pass_duration_seconds_bucket", (("le", "0.5"),)): 2,
        ("kilnguard_changes_total", ()): 2,
        ("kilnguard_messages_sent_total", ()): 1,
        ("kilnguard_telegram_failures_total", (("reason", "throttled"),)): 2,
        ("kilnguard_telegram_failures_total", (("reason", "chat"),)): 1,
        ("kilnguard_telegram_failures_total", (("reason", "token"),)): 0,
        ("kilnguard_outbox_messages", ()): 0,
        ("kilnguard_taostats_throttled_total", ()): 6,
        ("kilnguard_build_info", (("version", "1.2.3"),)): 1,
    }
    assert {key: samples.get(key) for key in expected} == expected
    assert samples[("kilnguard_last_successful_pass_timestamp_seconds", ())] > 1.7e9
    assert ("process_resident_memory_bytes", ()) in samples


def test_a_subnet_that_left_the_listing_leaves_the_metrics(served):
    metrics, url = served
    metrics.observe(outcome(rates={"1": "0.5", "2": "1"}))
    metrics.observe(outcome(subnets=None, result="failed"))  # no listing: keep what we had
    metrics.observe(outcome(subnets=1, rates={"2": "0.25"}))
    rates = {labels: value for (name, labels), value in scrape(url).items()
             if name == "kilnguard_owner_burn_rate"}
    assert rates == {(("netuid", "2"),): 0.25}


LAST_SUCCESS = ("kilnguard_last_successful_pass_timestamp_seconds", ())


@pytest.mark.parametrize("results, present", [
    ((), False),
    (("failed", "error"), False),
    (("failed", "ok"), True),
    (("ok", "failed", "error"), True),
], ids=["before-any-pass", "only-failures", "first-success", "failures-after-success"])
def test_the_last_success_is_absent_until_there_is_one(served, results, present):
    # Read as 0, it would make `time() - last success` fifty-odd years at
    # every slow start, and alert on it.
    metrics, url = served
    for result in results:
        metrics.observe(outcome(result))
    samples = scrape(url)
    assert (LAST_SUCCESS in samples) == present
    if present:
        assert samples[LAST_SUCCESS] > 1.7e9


@pytest.mark.parametrize("text, address", [
    ("127.0.0.1:9817", ("127.0.0.1", 9817)),
    ("[::1]:9817", ("::1", 9817)),
    (":9817", ("0.0.0.0", 9817)),
    ("localhost:1", ("localhost", 1)),
], ids=["ipv4", "ipv6", "every-interface", "name"])
def test_listen_addresses(text, address):
    assert parse_listen(text) == address


@pytest.mark.parametrize("text, message", [
    ("9817", "--metrics-listen wants HOST:PORT with a port from 1 to 65535, not '9817'"),
    ("127.0.0.1:0", "--metrics-listen wants HOST:PORT with a port from 1 to 65535, not '127.0.0.1:0'"),
    ("127.0.0.1:http", "--metrics-listen wants HOST:PORT with a port from 1 to 65535, not '127.0.0.1:http'"),
    ("::1:9817", "--metrics-listen '::1:9817': write an IPv6 address in brackets, as in [::1]:9817"),
], ids=["no-host", "port-0", "port-name", "bare-ipv6"])
def test_bad_listen_addresses(text, message):
    with pytest.raises(ListenAddressError) as refused:
        parse_listen(text)
    assert str(refused.value) == message


def test_a_taken_port_is_refused_with_the_address(served):
    _, url = served
    taken = url.removeprefix("http://")
    with pytest.raises(OSError) as refused:
        Metrics("1").serve(taken)
    assert str(refused.value) == f"cannot listen on {taken}: Address already in use"


@pytest.mark.parametrize("text, value", [
    ("0", 0.0), ("0.97", 0.97), ("1", 1.0), ("1e-05", 1e-05), (".5", 0.5),
    ("nan", None), ("inf", None), ("1e400", None), ("", None), ("None", None), ("1_0", None), (" 1", None),
    (None, None),
])
def test_rate_value(text, value):
    assert rate_value(text) == value


@pytest.fixture
def quick_server():
    """The endpoint with connections given half a second."""
    server = MetricsServer(Metrics("1.2.3").registry, "127.0.0.1", 0, deadline=0.5)
    yield server.server_address[1]
    server.shutdown()
    server.server_close()


@pytest.mark.slow
@pytest.mark.parametrize("request_bytes, answer", [
    (b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", b"HTTP/1.1 200 OK\r\n"),
    (b"HEAD /metrics HTTP/1.1\r\n\r\n", b"HTTP/1.1 200 OK\r\n"),
    (b"GET /other HTTP/1.1\r\n\r\n", b"HTTP/1.1 404 Not Found\r\n"),
    (b"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", b"HTTP/1.1 405 Method Not Allowed\r\n"),
    (b"hello\r\n\r\n", b"HTTP/1.1 400 Bad Request\r\n"),
    (b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 9000, b"HTTP/1.1 431 Request Header Fields Too Large\r\n"),
    # Idle or slow clients are closed at their deadline, without an answer.
    (b"", b""),
    (b"GET /metrics HTTP/1.1\r\n", b""),
], ids=["get", "head", "other-path", "post", "garbage", "too-large", "silent", "unfinished"])
def test_the_endpoint_answers_one_bounded_request(quick_server, request_bytes, answer):
    with socket.create_connection(("127.0.0.1", quick_server), timeout=10) as client:
        client.sendall(request_bytes)
        received = b""
        while chunk := client.recv(65536):
            received += chunk
    assert received.startswith(answer) and bool(received) == bool(answer)
    if request_bytes.startswith(b"GET") and answer.endswith(b"200 OK\r\n"):
        assert b"kilnguard_build_info" in received
