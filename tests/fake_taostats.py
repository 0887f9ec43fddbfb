"""A loopback HTTP server with scripted replies and recorded requests (the
base of both services' fakes), and listing records shaped like the real
Taostats service's.

Each request takes the next scripted Reply (an unscripted request gets a 599,
so a test that makes one request too many fails loudly). Every connection is
closed after its one reply, as the client never reuses connections."""

import dataclasses
import http.server
import socket
import ssl
import struct
import threading
import time
from urllib.parse import parse_qsl

# Listing records shaped like the service's, shared with the built-in demo.
from kilnguard_watch.cli.sample_listing import subnet_listing, subnet_record  # noqa: F401


@dataclasses.dataclass
class Reply:
    status: int = 200
    # None: the standard phrase for the status; "": a status line without one.
    reason: str | None = None
    body: bytes | str = b""
    headers: list = dataclasses.field(default_factory=list)
    # Seconds to wait before the status line.
    delay: float = 0.0
    # Interim responses sent before the final one, as (status, reason).
    interim: list = dataclasses.field(default_factory=list)
    # Close the connection after this many body bytes (Content-Length still
    # declares the whole body).
    hang_up_after: int | None = None
    # Seconds to go silent after the headers (and after any bytes allowed by
    # hang_up_after), then close.
    stall: float = 0.0
    # Close the connection at once, without any reply.
    drop: bool = False
    # Send the body as these chunks with chunked transfer coding.
    chunks: object = None
    # Seconds between two chunks: a body that trickles in.
    chunk_pause: float = 0.0
    # End the connection with a TCP reset instead of an orderly close, after
    # the bytes allowed by hang_up_after.
    reset: bool = False
    # Declare this Content-Length instead of the body's own.
    content_length: int | None = None
    # Seconds between two bytes of the whole answer, status line included:
    # a server that never stalls long enough for a per-read time-out.
    trickle: float = 0.0


@dataclasses.dataclass
class Recorded:
    method: str
    target: str  # the raw request target: path, "?" and query as sent
    version: str
    headers: list  # (name, value) pairs in the order they arrived
    body: bytes
    status: int = 0  # of the reply it was given

    @property
    def path(self):
        return self.target.split("?", 1)[0]

    @property
    def query(self):
        """The raw query string, or None when the target has no "?"."""
        return self.target.split("?", 1)[1] if "?" in self.target else None

    def header(self, name):
        values = [v for n, v in self.headers if n.lower() == name.lower()]
        return values[0] if values else None

    def form(self):
        """The body's fields, for a form-encoded or multipart POST (a file
        part's value is its bytes)."""
        content_type = self.header("Content-Type") or ""
        if content_type.startswith("multipart/form-data"):
            from email.parser import BytesParser
            from email.policy import HTTP

            message = BytesParser(policy=HTTP).parsebytes(
                f"Content-Type: {content_type}\r\n\r\n".encode() + self.body)
            return [(part.get_param("name", header="content-disposition"),
                     part.get_payload(decode=True) if part.get_filename() else part.get_content())
                    for part in message.iter_parts()]
        return parse_qsl(self.body.decode("ascii"), keep_blank_values=True, strict_parsing=True)

    def field(self, name):
        """A form field of a POST, or a query parameter of a GET."""
        fields = self.form() if self.method == "POST" else parse_qsl(self.query or "")
        return dict(fields).get(name)


def _encode(body):
    return body.encode() if isinstance(body, str) else body


class _Trickle:
    """A reply stream that sends one byte at a time, pausing between them."""

    def __init__(self, stream, fake, pause):
        self._stream, self._fake, self._pause = stream, fake, pause

    def write(self, data):
        for byte in data:
            self._stream.write(bytes([byte]))
            self._stream.flush()
            self._fake._wait(self._pause)
            if self._fake._stopping.is_set():
                raise BrokenPipeError("the server stops")

    def flush(self):
        self._stream.flush()


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        fake = self.server.fake
        reply = fake._record(Recorded(self.command, self.path, self.request_version,
                                      list(self.headers.items()), body))
        self.close_connection = True
        if reply.drop:
            return
        if reply.delay:
            fake._wait(reply.delay)
        out = _Trickle(self.wfile, fake, reply.trickle) if reply.trickle else self.wfile
        for status, reason in reply.interim:
            out.write(f"HTTP/1.1 {status} {reason}\r\n\r\n".encode("latin-1"))
        reason = self.responses.get(reply.status, ("",))[0] if reply.reason is None else reply.reason
        status_line = f"HTTP/1.1 {reply.status} {reason}" if reason else f"HTTP/1.1 {reply.status}"
        out.write(status_line.encode("latin-1") + b"\r\n")
        payload = _encode(reply.body)
        for name, value in reply.headers:
            out.write(f"{name}: {value}\r\n".encode("latin-1"))
        if reply.chunks is not None:
            out.write(b"Transfer-Encoding: chunked\r\n")
        else:
            declared = len(payload) if reply.content_length is None else reply.content_length
            out.write(f"Content-Length: {declared}\r\n".encode())
        out.write(b"Connection: close\r\n\r\n")
        out.flush()
        if reply.chunks is not None:
            for n, chunk in enumerate(reply.chunks):
                if n and reply.chunk_pause:
                    out.flush()
                    fake._wait(reply.chunk_pause)
                out.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            out.write(b"0\r\n\r\n")
        elif reply.hang_up_after is not None:
            out.write(payload[:reply.hang_up_after])
        else:
            out.write(payload)
        out.flush()
        if reply.stall:
            fake._wait(reply.stall)
        if reply.reset:
            # Give the client a moment to read what was sent: a reset drops
            # whatever still waits in the socket buffers.
            fake._wait(0.1)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()

    def handle_one_request(self):
        try:
            super().handle_one_request()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            # The client gave up on us (a size cap, a time-out, Ctrl-C).
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_HEAD = _serve


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls_context = None

    def get_request(self):
        conn, address = super().get_request()
        if self.tls_context is not None:
            conn = self.tls_context.wrap_socket(conn, server_side=True)
        return conn, address

    def handle_error(self, request, client_address):
        pass


class FakeServer:
    """Scripted replies on 127.0.0.1 at a free port; `url` is its base."""

    def __init__(self, tls_context=None):
        self._lock = threading.Lock()
        self._script = []
        self._stopping = threading.Event()
        self.requests = []
        self.request_seen = threading.Event()
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.fake = self
        self._server.tls_context = tls_context
        scheme = "https" if tls_context else "http"
        self.port = self._server.server_address[1]
        self.url = f"{scheme}://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,),
                                        daemon=True)
        self._thread.start()

    def reply(self, *replies, **fields):
        """Queues replies: Reply objects, or one Reply made of the keywords."""
        with self._lock:
            self._script.extend(replies or [Reply(**fields)])
        return self

    def forget_replies(self):
        """Drops the queued replies no request took (a run killed early)."""
        with self._lock:
            self._script.clear()
        return self

    def close(self):
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()

    def _record(self, recorded):
        """Keeps the request and hands back the reply it gets."""
        with self._lock:
            reply = self.choose_reply(recorded)
            recorded.status = reply.status
            self.requests.append(recorded)
        self.request_seen.set()
        return reply

    def choose_reply(self, recorded):
        """The next scripted reply (called with the lock held); a subclass may
        answer by what was asked."""
        return self._script.pop(0) if self._script else self.unscripted_reply()

    def unscripted_reply(self):
        return Reply(status=599, reason="Unscripted Request", body="no reply was scripted")

    def _wait(self, seconds):
        # Cut short when the server stops, so a stalled reply never holds up
        # the end of a test.
        self._stopping.wait(seconds)


def refused_port():
    """A loopback port with nothing listening on it."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def throttled(n=None):
    """A throttling answer as the service gives it: 429 with a plain body."""
    return Reply(status=429, body="" if n is None else f"throttled {n}")


def wait_until(predicate, timeout=30.0):
    # Not time.sleep: tests replace it with a recorder.
    deadline = time.monotonic() + timeout
    pause = threading.Event()
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not met in time")
        pause.wait(0.01)
