"""A dead-man heartbeat: after every pass a GET of the operator's URL, or of
URL + "/fail" when the pass got no listing (the healthchecks.io convention).
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


def fail_url(url):
    """URL + "/fail", the suffix going on the path so that a query string
    (as some push services use) stays a query string."""
    parts = urllib.parse.urlsplit(url)
    return urllib.parse.urlunsplit(parts._replace(path=parts.path.rstrip("/") + "/fail"))


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


class Heartbeat:
    def __init__(self, url, log, timeout=TIMEOUT):
        parts = check_url(url)
        self._url = url
        self._fail_url = fail_url(url)
        self._secrets = secret_parts(self._fail_url) + secret_parts(url)
        # What a log line may say about where the pings go.
        self.where = f"{parts.scheme}://{parts.hostname}"
        self._log = log
        self._timeout = timeout

    def ping(self, got_listing):
        """One GET; True when the service answered 2xx. Failures are logged,
        never raised: a heartbeat must not stop the monitor it reports on."""
        url = self._url if got_listing else self._fail_url
        # Only the status matters: the answer's body is not read.
        request = urllib.request.Request(url, headers={"User-Agent": "kilnguard-watch"})
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
