"""The /metrics endpoint: a small HTTP server of our own on one thread, in
front of prometheus_client's exposition.

prometheus_client's own server starts a thread per connection and keeps an
idle one for ever, so a few hundred idle connections take every file
descriptor the service may open (and the monitor's requests then fail) and
keep a core busy. Here whatever clients do stays inside fixed bounds:

- at most MAX_CONNECTIONS are open at once; further ones wait in the
  kernel's listen backlog, costing this process nothing;
- when every place is taken and more clients wait, a connection that has
  not sent its whole request within EVICT_AFTER gives its place up (oldest
  first), so idle clients cannot keep an honest scrape out;
- each connection has DEADLINE seconds all told to send its request (at
  most REQUEST_LIMIT bytes) and take the answer, then it is closed;
- the exposition text is built at most once per RENDER_SPACING seconds, so
  a client that scrapes in a tight loop costs the monitor's interpreter
  almost nothing.

One request per connection (Connection: close), GET or HEAD of /metrics."""

import selectors
import socket
import threading
import time

from prometheus_client.exposition import choose_encoder

MAX_CONNECTIONS = 16
DEADLINE = 5.0
EVICT_AFTER = 0.1
REQUEST_LIMIT = 8192
BACKLOG = 64
RENDER_SPACING = 1.0
# After accept() fails for want of descriptors, the listener rests this long
# rather than waking the loop at once, again and again.
ACCEPT_REST = 1.0
METRICS_PATH = "/metrics"


class _Connection:
    def __init__(self, sock, now):
        self.sock = sock
        self.opened = now
        self.received = b""
        self.answer = None  # bytes still to send, once the request is read
        self.sent = 0
        # The answer went out; what the client still sends is read and
        # dropped until it closes, as closing with unread bytes would reset
        # the connection and could destroy the answer before it is read.
        self.draining = False

    @property
    def waiting_for_request(self):
        return self.answer is None

    @property
    def may_give_way(self):
        return self.waiting_for_request or self.draining


def _response(status, content_type, body, head=False):
    lines = [f"HTTP/1.1 {status}", f"Content-Type: {content_type}",
             f"Content-Length: {len(body)}", "Connection: close", "", ""]
    return "\r\n".join(lines).encode("latin-1") + (b"" if head else body)


def _best_family(host, port):
    infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    family, _, _, _, address = infos[0]
    return family, address


class MetricsServer:
    """Serves `registry` on host:port from a daemon thread; the listening
    socket is open (OSError otherwise) when the constructor returns."""

    def __init__(self, registry, host, port, max_connections=MAX_CONNECTIONS, deadline=DEADLINE,
                 clock=time.monotonic):
        self._registry = registry
        self._max = max_connections
        self._deadline = deadline
        self._clock = clock
        family, address = _best_family(host, port)
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        try:
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._listener.bind(address)
            self._listener.listen(BACKLOG)
        except OSError:
            self._listener.close()
            raise
        self._listener.setblocking(False)
        self.server_address = self._listener.getsockname()
        self._wake_reader, self._wake_writer = socket.socketpair()
        self._stopping = False
        self._connections = {}
        self._rendered = {}  # content type -> (when, body)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._wake_reader, selectors.EVENT_READ)
        self._listening = False
        self._resting_until = None
        self._thread = threading.Thread(target=self._serve, name="metrics-endpoint", daemon=True)
        self._thread.start()

    # ------------------------------------------------------------ control

    def shutdown(self):
        self._stopping = True
        try:
            self._wake_writer.send(b"x")
        except OSError:
            pass
        self._thread.join()

    def server_close(self):
        for sock in (self._listener, self._wake_reader, self._wake_writer):
            sock.close()

    # ------------------------------------------------------------- loop

    def _serve(self):
        try:
            while not self._stopping:
                self._listen_when_there_is_room()
                events = self._selector.select(self._next_timeout())
                for key, mask in events:
                    if key.fileobj is self._listener:
                        self._accept()
                    elif isinstance(key.data, _Connection):
                        if key.data.sock not in self._connections:
                            continue  # closed earlier in this round
                        if mask & selectors.EVENT_READ:
                            self._read(key.data)
                        if mask & selectors.EVENT_WRITE and key.data.sock in self._connections:
                            self._write(key.data)
                self._close_expired()
        finally:
            for connection in list(self._connections.values()):
                self._close(connection)
            self._selector.close()

    def _evictable(self, now):
        """The connection that has waited longest for its request, when it
        has waited at least EVICT_AFTER."""
        waiting = [c for c in self._connections.values()
                   if c.draining or (c.waiting_for_request and now - c.opened >= EVICT_AFTER)]
        return min(waiting, key=lambda c: c.opened) if waiting else None

    def _listen_when_there_is_room(self):
        # Registered only while a new connection could be taken in: with
        # every place busy, the listener would otherwise wake the loop at
        # once for ever, and the clients are better off in the backlog.
        now = self._clock()
        if self._resting_until is not None and now >= self._resting_until:
            self._resting_until = None
        room = self._resting_until is None and (
            len(self._connections) < self._max or self._evictable(now) is not None)
        if room and not self._listening:
            self._selector.register(self._listener, selectors.EVENT_READ)
        elif not room and self._listening:
            self._selector.unregister(self._listener)
        self._listening = room

    def _next_timeout(self):
        now = self._clock()
        ends = [c.opened + self._deadline for c in self._connections.values()]
        if self._resting_until is not None:
            ends.append(self._resting_until)
        if not ends:
            return None
        if len(self._connections) >= self._max:
            ends += [c.opened + EVICT_AFTER for c in self._connections.values()
                     if c.may_give_way]
        return max(0.0, min(ends) - now)

    def _accept(self):
        while True:
            if len(self._connections) >= self._max:
                victim = self._evictable(self._clock())
                if victim is None:
                    return
                self._close(victim)
            try:
                sock, _address = self._listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except (ConnectionAbortedError, ConnectionResetError):
                continue  # reset while it waited in the queue
            except OSError:  # out of descriptors: rest, then try again
                self._resting_until = self._clock() + ACCEPT_REST
                return
            sock.setblocking(False)
            connection = _Connection(sock, self._clock())
            self._connections[sock] = connection
            self._selector.register(sock, selectors.EVENT_READ, connection)
            # The request usually came with the connection: answer it now,
            # before it could be taken for an idle one.
            self._read(connection)

    def _read(self, connection):
        try:
            data = connection.sock.recv(REQUEST_LIMIT + 1 - len(connection.received)
                                        if not connection.draining else 65536)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            return self._close(connection)
        if not data:
            return self._close(connection)
        if connection.draining:
            return
        connection.received += data
        if b"\r\n\r\n" in connection.received or b"\n\n" in connection.received:
            self._answer(connection)
        elif len(connection.received) > REQUEST_LIMIT:
            connection.answer = _response("431 Request Header Fields Too Large", "text/plain",
                                          b"request too large\n")
            self._start_writing(connection)

    def _answer(self, connection):
        head, _, _ = connection.received.partition(b"\n")
        parts = head.decode("latin-1").split()
        headers = self._headers(connection.received)
        if len(parts) != 3 or not parts[2].startswith("HTTP/"):
            answer = _response("400 Bad Request", "text/plain", b"bad request\n")
        elif parts[0] not in ("GET", "HEAD"):
            answer = _response("405 Method Not Allowed", "text/plain", b"GET only\n")
        elif parts[1].split("?", 1)[0] != METRICS_PATH:
            answer = _response("404 Not Found", "text/plain", b"metrics are at /metrics\n",
                               head=parts[0] == "HEAD")
        else:
            try:
                content_type, body = self._render(headers.get("accept", ""))
                answer = _response("200 OK", content_type, body, head=parts[0] == "HEAD")
            except Exception as error:  # a collector that failed: the endpoint stays up
                answer = _response("500 Internal Server Error", "text/plain",
                                   f"cannot collect the metrics: {error}\n".encode("utf-8", "replace"))
        connection.answer = answer
        self._start_writing(connection)

    @staticmethod
    def _headers(request):
        headers = {}
        for line in request.decode("latin-1").split("\n")[1:]:
            name, colon, value = line.partition(":")
            if colon:
                headers[name.strip().lower()] = value.strip()
        return headers

    def _render(self, accept):
        encoder, content_type = choose_encoder(accept)
        now = self._clock()
        when, body = self._rendered.get(content_type, (None, None))
        if when is None or now - when >= RENDER_SPACING:
            body = encoder(self._registry)
            self._rendered[content_type] = (now, body)
        return content_type, body

    def _start_writing(self, connection):
        self._selector.modify(connection.sock, selectors.EVENT_WRITE, connection)
        self._write(connection)

    def _write(self, connection):
        try:
            connection.sent += connection.sock.send(connection.answer[connection.sent:])
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            return self._close(connection)
        if connection.sent >= len(connection.answer):
            try:
                connection.sock.shutdown(socket.SHUT_WR)
            except OSError:
                return self._close(connection)
            connection.draining = True
            self._selector.modify(connection.sock, selectors.EVENT_READ, connection)

    def _close_expired(self):
        now = self._clock()
        for connection in list(self._connections.values()):
            if now - connection.opened >= self._deadline:
                self._close(connection)

    def _close(self, connection):
        if self._connections.pop(connection.sock, None) is None:
            return
        self._selector.unregister(connection.sock)
        connection.sock.close()
