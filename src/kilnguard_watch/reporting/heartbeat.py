"""A dead-man heartbeat: after every pass a GET of the operator's URL, or of
URL + "/fail" when the pass got no listing (the healthchecks.io convention).
The dead-man service raises the alarm when the pings stop or say "fail", so
a monitor that died, hangs or cannot reach Taostats is noticed even when
Telegram is the thing that is down.

The URL is a secret (anyone who has it can ping), so no log line carries
more of it than its scheme and host."""

import urllib.error
import urllib.parse
import urllib.request

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


class Heartbeat:
    def __init__(self, url, log, timeout=TIMEOUT):
        parts = check_url(url)
        self._url = url
        self._fail_url = fail_url(url)
        # What a log line may say about where the pings go.
        self.where = f"{parts.scheme}://{parts.hostname}"
        self._log = log
        self._timeout = timeout

    def ping(self, got_listing):
        """One GET; True when the service answered 2xx. Failures are logged,
        never raised: a heartbeat must not stop the monitor it reports on."""
        url = self._url if got_listing else self._fail_url
        request = urllib.request.Request(url, headers={"User-Agent": "kilnguard-watch"})
        try:
            with urllib.request.urlopen(request, timeout=self._timeout) as answer:
                answer.read(1024)
            return True
        except urllib.error.HTTPError as error:
            reason = f"HTTP {error.code} {error.reason}"
        except urllib.error.URLError as error:  # the connection failed or timed out
            reason = (f"no answer within {self._timeout:g} s" if isinstance(error.reason, TimeoutError)
                      else self._scrub(error.reason))
        except TimeoutError:  # while reading the answer
            reason = f"no answer within {self._timeout:g} s"
        except (OSError, ValueError) as error:
            reason = self._scrub(error)
        self._log(f"heartbeat to {self.where} failed: {reason}")
        return False

    def _scrub(self, reason):
        text = str(reason)
        for secret in (self._fail_url, self._url, urllib.parse.urlsplit(self._url).path):
            if len(secret) > 1:
                text = text.replace(secret, "…")
        return text
