"""A loopback server for the benchmarks, run as a process of its own so that
its work never competes with the measured client for the GIL.

It answers from bytes built once at start-up: GET <prefix>/api/subnet/latest/v1
with the listing of that prefix's size (/n129, /n1024), POST
/bot<token>/sendMessage with a Bot API success, and GET /_deliveries with the
form bodies posted since the last such request (for the check that both
implementations deliver the same messages). Every connection is closed after
its one reply, as both clients expect.

Usage: python loopback.py COUNT [COUNT ...]; prints the port on one line."""

import json
import socket
import sys
import threading

from kilnguard_watch.cli.sample_listing import subnet_listing

LISTING_PATH = "/api/subnet/latest/v1"
SENT = json.dumps({"ok": True, "result": {
    "message_id": 1, "chat": {"id": 12345, "type": "private"},
    "date": 1765044593, "text": "alert"}}).encode()


def listing_body(count):
    """The listing of `count` subnets as the service would send it."""
    return json.dumps(subnet_listing(count)).encode()


def response(body, content_type="application/json"):
    head = (f"HTTP/1.1 200 OK\r\nContent-Type: {content_type}\r\n"
            f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode()
    return head + body


NOT_FOUND = b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"


class Loopback:
    def __init__(self, counts):
        self.listings = {f"/n{count}{LISTING_PATH}": response(listing_body(count))
                         for count in counts}
        self.sent = response(SENT)
        self.deliveries = []
        self.lock = threading.Lock()

    def reply_to(self, method, target, body):
        path = target.split("?", 1)[0]
        if method == "GET" and path in self.listings:
            return self.listings[path]
        if method == "POST" and path.endswith("/sendMessage"):
            with self.lock:
                self.deliveries.append(body.decode("ascii"))
            return self.sent
        if method == "GET" and path == "/_deliveries":
            with self.lock:
                taken, self.deliveries = self.deliveries, []
            return response(json.dumps(taken).encode())
        return NOT_FOUND

    def serve(self, conn):
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                more = conn.recv(65536)
                if not more:
                    return
                data += more
            head, _, body = data.partition(b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            method, target, _ = lines[0].split(" ", 2)
            length = 0
            for line in lines[1:]:
                name, _, value = line.partition(":")
                if name.strip().lower() == "content-length":
                    length = int(value)
            while len(body) < length:
                more = conn.recv(65536)
                if not more:
                    return
                body += more
            try:
                conn.sendall(self.reply_to(method, target, body))
                conn.shutdown(socket.SHUT_WR)
            except OSError:
                pass  # the client gave up (curl's --max-time, an interrupt)


def main():
    server = Loopback(int(arg) for arg in sys.argv[1:])
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=server.serve, args=(conn,), daemon=True).start()


if __name__ == "__main__":
    main()
