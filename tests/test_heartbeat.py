"""The dead-man heartbeat against a loopback stand-in of the ping service."""

import pytest

from fake_taostats import Reply, refused_port
from kilnguard_watch.reporting.heartbeat import Heartbeat, HeartbeatUrlError, check_url

SECRET = "5f1e9c3a-2b7d-4c61-9a0e-7d3b8e2f4a10"


LONG = "é" * 600  # 1200 bytes of UTF-8


@pytest.mark.parametrize("path, call, method, target, body", [
    (f"/{SECRET}", lambda h: h.ping(True), "GET", f"/{SECRET}", ""),
    (f"/{SECRET}", lambda h: h.ping(False, "fetch\nfailed"), "POST", f"/{SECRET}/fail", "fetch failed"),
    (f"/{SECRET}/", lambda h: h.ping(False, "x"), "POST", f"/{SECRET}/fail", "x"),
    (f"/{SECRET}", lambda h: h.ping(False, f"echoed {SECRET}"), "POST", f"/{SECRET}/fail", "echoed ..."),
    (f"/{SECRET}", lambda h: h.ping(False, LONG), "POST", f"/{SECRET}/fail", LONG[:512]),
    (f"/{SECRET}", lambda h: h.start(), "GET", f"/{SECRET}/start", ""),
    (f"/api/push/{SECRET}?status=up&msg=OK", lambda h: h.ping(True), "GET",
     f"/api/push/{SECRET}?status=up&msg=OK", ""),
    (f"/api/push/{SECRET}?status=up&msg=OK&ping=", lambda h: h.ping(False, "no listing"), "GET",
     f"/api/push/{SECRET}?ping=&status=down&msg=no+listing", ""),
], ids=["ok", "fail-with-reason", "trailing-slash", "reason-quotes-the-url", "reason-cut-at-1-KiB",
        "start", "push-up", "push-down"])
def test_ping_hits_the_url_its_fail_url_or_its_start(ping_service, path, call, method, target, body):
    lines = []
    ping_service.reply(Reply(body="OK"))
    assert call(Heartbeat(ping_service.url + path, lines.append))
    [request] = ping_service.requests
    assert (request.method, request.target, request.body.decode()) == (method, target, body)
    assert lines == []


def test_a_push_url_has_no_start(ping_service):
    heartbeat = Heartbeat(f"{ping_service.url}/api/push/{SECRET}?status=up&msg=OK", print)
    assert heartbeat.start() is None and ping_service.requests == []


@pytest.mark.parametrize("reply, expected", [
    (Reply(status=404, body="not found"), "HTTP 404 Not Found"),
    (Reply(drop=True), "Remote end closed connection without response"),
    (Reply(delay=3.0), "no answer within 0.5 s"),
    # Never 0.5 s without a byte, so only a deadline for the whole ping ends it.
    pytest.param(Reply(trickle=0.1, body="OK"), "no answer within 0.5 s", marks=pytest.mark.slow),
    # Whatever the service echoes of the URL stays out of the log.
    (Reply(status=404, reason=f"No check at /ping/{SECRET}"), "HTTP 404 No check at /ping..."),
    (Reply(status=404, reason=f"No check {SECRET}"), "HTTP 404 No check ..."),
    (Reply(status=302, headers=[("Location", f"file:///{SECRET}")]),
     "HTTP 302 Found - Redirection to url 'file://...' is not allowed"),
], ids=["http-error", "dropped", "silent", "trickled", "reason-quotes-the-path",
        "reason-quotes-a-segment", "redirect-quotes-the-path"])
def test_a_failed_ping_is_one_log_line_without_the_url(ping_service, reply, expected):
    lines = []
    ping_service.reply(reply)
    heartbeat = Heartbeat(f"{ping_service.url}/{SECRET}", lines.append, timeout=0.5)
    assert heartbeat.ping(True) is False
    assert lines == [f"heartbeat to http://127.0.0.1 failed: {expected}"]
    assert SECRET.split("-")[-1] not in lines[0]


def test_nothing_listening(ping_service):
    lines = []
    Heartbeat(f"http://127.0.0.1:{refused_port()}/{SECRET}", lines.append).ping(False)
    assert lines == ["heartbeat to http://127.0.0.1 failed: [Errno 111] Connection refused"]


@pytest.mark.parametrize("url", [
    f"hc-ping.com/{SECRET}", f"ftp://hc-ping.com/{SECRET}", "https:///nohost",
    f"https://hc-ping.com/{SECRET} ", f"https://hc-ping.com/é{SECRET}",
], ids=["no-scheme", "ftp", "no-host", "space", "non-ascii"])
def test_unusable_urls_are_refused_without_repeating_them(url):
    with pytest.raises(HeartbeatUrlError) as refused:
        check_url(url)
    assert SECRET not in str(refused.value) and "--heartbeat-url" in str(refused.value)
