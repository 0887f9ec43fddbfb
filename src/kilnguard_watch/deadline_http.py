"""HTTP GETs of the host's own (the heartbeat, the Bot API's getMe and
getChat) with an overall deadline: connecting, the TLS handshake, sending
and every read of the answer share one time budget, so a server that
trickles its answer a byte at a time cannot hold a pass or the start for
longer than that. Python's own socket time-out is per operation, and a
1 KiB answer sent a byte every few seconds would meet it for over an hour.

urllib still does the rest (proxies from the environment, TLS with
SSL_CERT_FILE, redirects), each redirect inside the same budget. A blocking
wait is an ordinary socket wait, so Ctrl-C and SIGTERM end it at once."""

import functools
import http.client
import io
import time
import urllib.request


class DeadlinePassed(TimeoutError):
    pass


def _left(deadline):
    left = deadline - time.monotonic()
    if left <= 0:
        raise DeadlinePassed("no answer in time")
    return left


class _DeadlineReader(io.RawIOBase):
    """The socket's bytes, each read given only what is left of the budget.
    Holds its own reference to the socket (makefile), as the response's
    reader must: urllib closes the connection's socket object early."""

    def __init__(self, sock, deadline):
        self._sock = sock
        self._raw = sock.makefile("rb", buffering=0)
        self._deadline = deadline

    def readable(self):
        return True

    def readinto(self, buffer):
        self._sock.settimeout(_left(self._deadline))
        return self._raw.readinto(buffer)

    def close(self):
        if not self.closed:
            self._raw.close()
        super().close()


class _Response(http.client.HTTPResponse):
    def __init__(self, sock, *args, deadline, **kwargs):
        super().__init__(sock, *args, **kwargs)
        self.fp.close()
        self.fp = io.BufferedReader(_DeadlineReader(sock, deadline))


def _within(base, deadline):
    """`base` (HTTPConnection or HTTPSConnection) connecting, handshaking
    and reading within `deadline`."""

    class Connection(base):
        response_class = functools.partial(_Response, deadline=deadline)

        def connect(self):
            # create_connection and the TLS handshake each treat the time-out
            # as their whole budget; a proxy tunnel reads through
            # response_class.
            self.timeout = _left(deadline)
            super().connect()
            self.sock.settimeout(_left(deadline))

    return Connection


class _HTTPHandler(urllib.request.HTTPHandler):
    def __init__(self, deadline):
        super().__init__()
        self._deadline = deadline

    def http_open(self, request):
        return self.do_open(_within(http.client.HTTPConnection, self._deadline), request)


class _HTTPSHandler(urllib.request.HTTPSHandler):
    def __init__(self, deadline):
        super().__init__()
        self._deadline = deadline

    def https_open(self, request):
        return self.do_open(_within(http.client.HTTPSConnection, self._deadline), request,
                            context=self._context)


def get(request, seconds, limit):
    """(status, reason, body) of a GET (a POST for a Request with data), the body cut to at most `limit`
    bytes plus one (so the caller can tell a body that was too long); with
    `limit` 0 the body is not read.
    Raises OSError (TimeoutError when the budget ran out),
    http.client.HTTPException or ValueError when there is no answer."""
    deadline = time.monotonic() + seconds
    # Only HTTP and HTTPS, so a redirect cannot lead to a scheme (ftp://)
    # that the budget does not bind.
    opener = urllib.request.OpenerDirector()
    for handler in (urllib.request.ProxyHandler(), urllib.request.UnknownHandler(),
                    _HTTPHandler(deadline), _HTTPSHandler(deadline),
                    urllib.request.HTTPDefaultErrorHandler(), urllib.request.HTTPRedirectHandler(),
                    urllib.request.HTTPErrorProcessor()):
        opener.add_handler(handler)
    try:
        answer = opener.open(request, timeout=seconds)
    except urllib.request.HTTPError as error:
        with error:
            return error.code, error.reason, error.read(limit + 1) if limit else b""
    with answer:
        return answer.status, answer.reason, answer.read(limit + 1) if limit else b""
