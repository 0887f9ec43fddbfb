"""A dead-man heartbeat: URL + "/start" as a pass begins, then a GET of the
operator's URL after a pass that did its job, or a POST of URL + "/fail"
with the reason when it did not (no listing, or an alert Telegram did not
take): the healthchecks.io convention. A push URL that carries its state in
its query (Uptime Kuma's `?status=up&msg=OK`) gets status=down and the
reason as msg instead, and no start.
The dead-man service raises the alarm when the pings stop or say "fail", so
a monitor that died, hangs or cannot reach Taostats is noticed even when
Telegram is the thing that is down.

A ping has one overall deadline (connect, send and read together): a ping
service that answers a byte at a time costs a pass TIMEOUT seconds, never
more. The URL is a secret (anyone who has it can ping), so no log line
carries more of it than its scheme and host, whatever the service answers."""

import http.client
import re
import urllib.error
import urllib.parse
import urllib.request

from kilnguard_watch import deadline_http
from kilnguard_watch.log import scrub

TIMEOUT = 10.0


class HeartbeatUrlError(ValueError):
    pass


def check_url(url):
    """Refuses a URL that can never be pinged, without repeating it."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise HeartbeatUrlError("--heartbeat-url must be an http:// or https:// URL with a host "
                                "(value not shown: it is a secret)")
    if any(not 0x21 <= ord(c) <= 0x7e for c in url):
        raise HeartbeatUrlError("--heartbeat-url holds a space, a control character or non-ASCII "
                                "text; percent-encode it (value not shown: it is a secret)")
    return parts


def suffixed(url, suffix):
    """URL + "/fail" or "/start", the suffix going on the path so that a
    query string stays a query string."""
    parts = urllib.parse.urlsplit(url)
    return urllib.parse.urlunsplit(parts._replace(path=parts.path.rstrip("/") + suffix))


def fail_url(url):
    return suffixed(url, "/fail")


def is_push_url(url):
    """Whether the URL says its state in its query (Uptime Kuma's push URLs:
    …/api/push/TOKEN?status=up&msg=OK), rather than on its path."""
    query = urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query, keep_blank_values=True)
    return any(name == "status" for name, _ in query)


def with_status(url, status, message):
    """A push URL with its status and msg replaced, every other field kept."""
    parts = urllib.parse.urlsplit(url)
    query = [(name, value) for name, value in
             urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
             if name not in ("status", "msg")]
    query += [("status", status), ("msg", message)]
    return urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(query)))


def secret_parts(url):
    """Every part of `url` beyond its scheme and host that a log line must
    not show, longest first: the URL itself, its path and query, the user
    and password, and each path segment or query value of 8 characters or
    more (a service may echo any one of them on its own)."""
    parts = urllib.parse.urlsplit(url)
    pieces = [url, parts.path, parts.query, parts.username, parts.password]
    pieces += re.split(r"[/?&=;]", f"{parts.path}?{parts.query}")
    pieces += [urllib.parse.unquote(piece) for piece in pieces if piece]
    return sorted({piece for piece in pieces if piece}, key=len, reverse=True)


REASON_BYTES = 1024  # of the failure's reason sent with a /fail ping
PUSH_MESSAGE_LENGTH = 200  # characters of the reason in a push URL's query


def reason_body(reason):
    """The reason as a /fail ping's body: UTF-8, at most REASON_BYTES bytes,
    never a character cut in half."""
    return reason.encode("utf-8")[:REASON_BYTES].decode("utf-8", "ignore").encode("utf-8")


class Heartbeat:
    def __init__(self, url, log, timeout=TIMEOUT):
        parts = check_url(url)
        self._url = url
        self._push = is_push_url(url)
        self._fail_url = fail_url(url)
        self._start_url = suffixed(url, "/start")
        self._secrets = secret_parts(self._fail_url) + secret_parts(url)
        # What a log line may say about where the pings go.
        self.where = f"{parts.scheme}://{parts.hostname}"
        self._log = log
        self._timeout = timeout

    def start(self):
        """Says a pass begins, so the service can measure how long it runs
        (URL + "/start"); a push URL has no such state and is left alone."""
        if self._push:
            return None
        return self._send(self._start_url)

    def ping(self, healthy, reason=""):
        """Says how a pass went: the URL itself when it did its job;
        otherwise URL + "/fail" with the reason as a short text body, or, for
        a push URL, status=down with the reason as its msg. True when the
        service answered 2xx. Failures are logged, never raised: a heartbeat
        must not stop the monitor it reports on."""
        if healthy:
            return self._send(self._url)
        reason = " ".join(scrub(reason, *self._secrets).split()) or "the pass failed"
        if self._push:
            return self._send(with_status(self._url, "down", reason[:PUSH_MESSAGE_LENGTH]))
        return self._send(self._fail_url, reason_body(reason))

    def _send(self, url, body=None):
        # Only the status matters: the answer's body is not read.
        headers = {"User-Agent": "kilnguard-watch"}
        if body is not None:
            headers["Content-Type"] = "text/plain; charset=utf-8"
        request = urllib.request.Request(url, data=body, headers=headers)
        try:
            status, reason, _answer = deadline_http.get(request, self._timeout, 0)
            if 200 <= status < 300:
                return True
            problem = f"HTTP {status} {reason}"
        except urllib.error.URLError as error:  # the connection failed or timed out
            problem = self._timed_out() if isinstance(error.reason, TimeoutError) else error.reason
        except TimeoutError:  # while reading the answer
            problem = self._timed_out()
        except (OSError, ValueError, http.client.HTTPException) as error:
            problem = error
        text = " ".join(scrub(str(problem), *self._secrets).split())
        self._log(f"heartbeat to {self.where} failed: {text}")
        return False

    def _timed_out(self):
        return f"no answer within {self._timeout:g} s"
