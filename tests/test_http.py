"""The HTTP client under the Taostats GET: what goes on the wire, the reason
phrase, TLS trust from SSL_CERT_FILE, refused URLs and headers, redirects,
the body cap, time-outs and Ctrl-C. No error text may carry the API key or
the URL's path."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import kilnguard
from child_env import interruptible
from fake_taostats import Reply, refused_port

KEY = "sk-live-0123456789abcdef"
SECRET_PATH = "/api/private/v1"


def assert_no_secret(error):
    text = str(error)
    assert KEY not in text and SECRET_PATH not in text and "/api/private" not in text


# ----------------------------------------------------------------- the wire


def test_request_carries_exactly_the_listed_headers(fake_taostats):
    fake_taostats.reply(body="{}")
    kilnguard.http_get_json("/x", {}, KEY)
    recorded = fake_taostats.requests[0]
    assert (recorded.method, recorded.version, recorded.body) == ("GET", "HTTP/1.1", b"")
    assert recorded.headers == [
        ("Host", f"127.0.0.1:{fake_taostats.port}"),
        ("Authorization", KEY),
        ("User-Agent", kilnguard.request_headers(KEY)["User-Agent"]),
        ("Accept", "application/json, text/plain, */*"),
        ("Accept-Language", "en-US,en;q=0.9"),
    ]


def test_non_ascii_header_values_go_out_as_utf8(monkeypatch, fake_taostats):
    monkeypatch.setenv("TAOSTATS_USER_AGENT", "agent «τ»")
    fake_taostats.reply(body="{}")
    kilnguard.http_get_json("/x", {}, KEY)
    # http.server reads header bytes as ISO-8859-1.
    sent = fake_taostats.requests[0].header("User-Agent")
    assert sent.encode("latin-1").decode("utf-8") == "agent «τ»"


@pytest.mark.parametrize("reply, message", [
    (Reply(status=404, reason="Gone Fishing"), "Gone Fishing"),
    (Reply(status=429, reason=""), ""),
    (Reply(status=503, reason="Trop Demandé"), "Trop Demandé"),
    (Reply(status=503, reason="Busy Now", interim=[(100, "Continue")]), "Busy Now"),
    (Reply(status=418, reason="I'm a teapot  with  spaces"), "I'm a teapot  with  spaces"),
], ids=["custom", "none", "latin-1", "after-100-continue", "inner-spaces"])
def test_message_of_an_empty_error_body_is_the_final_reason(fake_taostats, reply, message):
    fake_taostats.reply(reply)
    assert kilnguard.http_get_json("/x", {}, KEY)["message"] == message


def test_proxy_from_the_environment_is_used(monkeypatch, fake_taostats):
    monkeypatch.setenv("TAOSTATS_API_BASE", "http://taostats.invalid")
    monkeypatch.setenv("http_proxy", fake_taostats.url)
    fake_taostats.reply(body='{"via": "proxy"}')
    assert kilnguard.http_get_json("/x", {"n": 1}, KEY) == {"via": "proxy"}
    assert fake_taostats.requests[0].target == "http://taostats.invalid/x?n=1"


# ---------------------------------------------------------------- redirects


def redirect(to, status=302):
    return Reply(status=status, headers=[("Location", to)], body="moved")


def test_redirect_is_followed_and_its_reason_forgotten(fake_taostats):
    fake_taostats.reply(redirect("/next", 301), Reply(status=404, reason="Final Reason"))
    assert kilnguard.http_get_json("/x", {}, KEY) == {
        "status_code": 404, "message": "Final Reason", "http_status": 404}
    first, second = fake_taostats.requests
    assert (second.method, second.path, second.header("Authorization")) == ("GET", "/next", KEY)


@pytest.mark.parametrize("hops, outcome", [(10, "followed"), (11, "refused")])
def test_at_most_ten_redirects_are_followed(fake_taostats, hops, outcome):
    fake_taostats.reply(*[redirect(f"/hop{n}", 307) for n in range(hops)], Reply(body="{}"))
    if outcome == "followed":
        assert kilnguard.http_get_json("/x", {}, KEY) == {}
    else:
        with pytest.raises(ConnectionError, match="redirect"):
            kilnguard.http_get_json("/x", {}, KEY)
    assert len(fake_taostats.requests) == 11


@pytest.mark.parametrize("target", ["ftp://127.0.0.1/x", "file:///etc/passwd", "gopher://127.0.0.1/"])
def test_redirects_leave_http_and_https_for_nothing(fake_taostats, target):
    fake_taostats.reply(redirect(target))
    with pytest.raises(ConnectionError):
        kilnguard.http_get_json("/x", {}, KEY)
    assert len(fake_taostats.requests) == 1


def test_key_stays_with_the_host_it_was_meant_for(fake_taostats):
    fake_taostats.reply(redirect(f"http://localhost:{fake_taostats.port}/elsewhere"),
                        Reply(body="{}"))
    kilnguard.http_get_json("/x", {}, KEY)
    moved = fake_taostats.requests[1]
    assert moved.path == "/elsewhere" and moved.header("Authorization") is None


# ---------------------------------------------------------------------- TLS


def test_tls_trusts_the_ca_named_by_ssl_cert_file(monkeypatch, tls_taostats):
    tls_taostats.reply(Reply(body='{"secure": true}'), Reply(body="{}"))
    monkeypatch.setenv("SSL_CERT_FILE", tls_taostats.ca_file)
    assert kilnguard.http_get_json(SECRET_PATH, {}, KEY) == {"secure": True}
    # Read afresh: without it the private CA is unknown.
    monkeypatch.delenv("SSL_CERT_FILE")
    with pytest.raises(ConnectionError) as failure:
        kilnguard.http_get_json(SECRET_PATH, {}, KEY)
    assert "certificate" in str(failure.value).lower()
    assert_no_secret(failure.value)


# ------------------------------------------------------------- refused input


@pytest.mark.parametrize("setting, value, path, params", [
    ("TAOSTATS_API_BASE", "{url}/a b", "/x", {}),
    (None, None, "/x", {"q": "two words"}),
    (None, None, "/x", {"q": "a\r\nX-Injected: 1"}),
    (None, None, "/x", {"q": "tab\there"}),
    (None, None, "/x", {"q": "nul\x00"}),
    (None, None, "/x", {"q": "del\x7f"}),
    (None, None, "/x", {"q": "naïve"}),
    (None, None, "/x\nHost: evil", {}),
    ("TAOSTATS_USER_AGENT", "agent\r\nX-Evil: 1", "/x", {}),
    ("TAOSTATS_USER_AGENT", "agent\nX-Evil: 1", "/x", {}),
], ids=["space-in-base", "space-in-query", "crlf-in-query", "tab", "nul-in-query", "del",
        "non-ascii", "lf-in-path", "crlf-in-agent", "lf-in-agent"])
def test_unusable_url_or_header_makes_no_request(monkeypatch, fake_taostats, setting, value,
                                                 path, params):
    if setting:
        monkeypatch.setenv(setting, value.format(url=fake_taostats.url))
    with pytest.raises(ValueError) as failure:
        kilnguard.http_get_json(path, params, KEY)
    assert fake_taostats.requests == []
    assert_no_secret(failure.value)


@pytest.mark.parametrize("auth", [KEY + "\r\nX-Evil: 1", "\n" + KEY, KEY + "\x00"],
                         ids=["crlf", "leading-lf", "nul"])
def test_key_with_a_line_break_is_refused_without_being_quoted(fake_taostats, auth):
    with pytest.raises(ValueError, match="Authorization") as failure:
        kilnguard.http_get_json(SECRET_PATH, {}, auth)
    assert fake_taostats.requests == []
    assert_no_secret(failure.value)


def test_header_names_that_cannot_be_sent_are_refused(monkeypatch, fake_taostats):
    for headers in ({"": "x"}, {"Bad Name": "x"}, {"X:Y": "x"}, {"X\r\nY": "x"}):
        monkeypatch.setattr(kilnguard, "request_headers", lambda auth, h=headers: h)
        with pytest.raises(ValueError):
            kilnguard.http_get_json("/x", {}, KEY)
    assert fake_taostats.requests == []


# --------------------------------------------------------- transport errors


def test_refused_connection_names_host_and_port_only(monkeypatch):
    port = refused_port()
    monkeypatch.setenv("TAOSTATS_API_BASE", f"http://127.0.0.1:{port}")
    with pytest.raises(ConnectionError) as failure:
        kilnguard.http_get_json(SECRET_PATH, {"key": KEY}, KEY)
    assert "127.0.0.1" in str(failure.value) and str(port) in str(failure.value)
    assert_no_secret(failure.value)


@pytest.mark.parametrize("reply", [Reply(body="x" * 1000, hang_up_after=10), Reply(drop=True)],
                         ids=["cut-mid-body", "no-reply"])
def test_broken_replies_are_transport_errors(fake_taostats, reply):
    fake_taostats.reply(reply)
    with pytest.raises(ConnectionError) as failure:
        kilnguard.http_get_json(SECRET_PATH, {}, KEY)
    assert_no_secret(failure.value)


def test_chunked_body_is_read_whole(fake_taostats):
    fake_taostats.reply(chunks=[b'{"a": ', b"[1, ", b"2]}"])
    assert kilnguard.http_get_json("/x", {}, KEY) == {"a": [1, 2]}


MIB = 1 << 20


@pytest.mark.parametrize("reply", [
    Reply(chunks=(b"x" * MIB for _ in range(65))),
    Reply(body=b"x" * 1024, content_length=64 * MIB + 1, hang_up_after=1024),
], ids=["chunked", "declared"])
def test_bodies_over_64_mib_are_refused(fake_taostats, reply):
    fake_taostats.reply(reply)
    with pytest.raises(ConnectionError, match="exceeds 64 MiB") as failure:
        kilnguard.http_get_json(SECRET_PATH, {}, KEY)
    assert_no_secret(failure.value)


@pytest.mark.slow
def test_a_silent_server_times_out_after_60_seconds(fake_taostats):
    # Headers and a little of the body arrive; then nothing for too long.
    fake_taostats.reply(body="x" * 100, hang_up_after=5, stall=120)
    started = time.monotonic()
    with pytest.raises(TimeoutError) as failure:
        kilnguard.http_get_json(SECRET_PATH, {}, KEY)
    elapsed = time.monotonic() - started
    assert 59 <= elapsed < 110
    assert str(failure.value) == f"no data from 127.0.0.1 port {fake_taostats.port} for 60 seconds"


# ------------------------------------------------------------------ Ctrl-C

CHILD = textwrap.dedent("""
    import kilnguard
    kilnguard.http_get_json("/stalled", {}, "k")
""")


@pytest.mark.parametrize("reply", [Reply(delay=60), Reply(body="x" * 100, hang_up_after=3, stall=60)],
                         ids=["before-status", "mid-body"])
def test_ctrl_c_ends_a_stalled_request_within_about_a_second(fake_taostats, reply):
    fake_taostats.reply(reply)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path),
               TAOSTATS_API_BASE=fake_taostats.url)
    child = subprocess.Popen(interruptible([sys.executable, "-c", CHILD]), env=env,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert fake_taostats.request_seen.wait(30), "the child never made its request"
        time.sleep(0.3)  # let the transfer settle into its wait
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        child.wait(timeout=20)
        elapsed = time.monotonic() - sent
    finally:
        child.kill()
        stderr = child.stderr.read()
        child.stderr.close()
    assert "KeyboardInterrupt" in stderr and child.returncode != 0
    assert elapsed < 5
