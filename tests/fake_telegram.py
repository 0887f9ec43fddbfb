"""A loopback stand-in for the Telegram Bot API: records every request as it
arrived on the wire and answers from a script of replies shaped like the real
service's (JSON with `ok`, `error_code`, `description`, `parameters`)."""

import json
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl


@dataclass
class Reply:
    status: int = 200
    body: bytes = b""
    reason: str | None = None  # None: the standard phrase for the status
    headers: list = field(default_factory=list)


def json_reply(status, document, headers=()):
    return Reply(status, json.dumps(document).encode(), headers=list(headers))


def api_error(status, description, **parameters):
    document = {"ok": False, "error_code": status, "description": description}
    if parameters:
        document["parameters"] = parameters
    return json_reply(status, document)


def sent(message_id=1, chat_id=12345, text="hello"):
    return json_reply(200, {"ok": True, "result": {
        "message_id": message_id, "chat": {"id": chat_id, "type": "private"},
        "date": 1765044593, "text": text}})


# Replies the public Bot API gives, taken from its observed behaviour.
CHAT_NOT_FOUND = api_error(400, "Bad Request: chat not found")
BLOCKED = api_error(403, "Forbidden: bot was blocked by the user")
UNAUTHORIZED = api_error(401, "Unauthorized")
TOO_MANY_REQUESTS = Reply(429, json.dumps({
    "ok": False, "error_code": 429, "description": "Too Many Requests: retry after 34",
    "parameters": {"retry_after": 34}}).encode(), headers=[("Retry-After", "34")])
MESSAGE_TOO_LONG = api_error(400, "Bad Request: message is too long")
BAD_GATEWAY_PAGE = Reply(502, (
    b"<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n"
    b"<center><h1>502 Bad Gateway</h1></center>\r\n<hr><center>nginx</center>\r\n"
    b"</body>\r\n</html>\r\n"), headers=[("Content-Type", "text/html")])
EMPTY_BAD_GATEWAY = Reply(502)


@dataclass
class Recorded:
    method: str
    path: str
    headers: list  # (name, value) in the order sent
    body: bytes
    status: int = 0  # of the reply it got

    @property
    def api_method(self):
        """The Bot API method: sendMessage, getMe, getChat."""
        return self.path.split("?", 1)[0].rsplit("/", 1)[-1]

    def field(self, name):
        """A form field, or a query parameter of a GET."""
        query = self.path.split("?", 1)[1] if "?" in self.path else ""
        fields = dict(parse_qsl(query)) if self.method == "GET" else dict(self.form())
        return fields.get(name)

    def header(self, name):
        values = [v for n, v in self.headers if n.lower() == name.lower()]
        return values[0] if values else None

    def form(self):
        return parse_qsl(self.body.decode("ascii"), keep_blank_values=True, strict_parsing=True)


class FakeTelegram:
    """Answers each request with the next scripted reply, or with a success
    once the script is used up. Replies scripted for one Bot API method
    (`answer_method`) come before the general script, and a chat given a
    standing reply (`answer_chat`) gets it for every sendMessage."""

    def __init__(self, tls_context=None):
        self.requests = []
        self.script = []
        self.method_scripts = {}
        self.chat_replies = {}
        self._lock = threading.Lock()
        fake = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length)
                with fake._lock:
                    recorded = Recorded(self.command, self.path, list(self.headers.items()), body)
                    reply = fake._reply_for(recorded)
                    recorded.status = reply.status
                    fake.requests.append(recorded)
                self.send_response(reply.status, reply.reason)
                for name, value in reply.headers:
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(reply.body)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(reply.body)

            do_GET = do_POST

            def log_message(self, *args):
                pass

        class Server(ThreadingHTTPServer):
            daemon_threads = True

            def get_request(self):
                conn, address = super().get_request()
                if tls_context is not None:
                    conn = tls_context.wrap_socket(conn, server_side=True)
                return conn, address

            def handle_error(self, request, client_address):
                pass  # a client that refused our certificate

        self._server = Server(("127.0.0.1", 0), Handler)
        scheme = "https" if tls_context else "http"
        self.base_url = f"{scheme}://127.0.0.1:{self._server.server_address[1]}"
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,),
                                        daemon=True)
        self._thread.start()

    def answer(self, *replies):
        with self._lock:
            self.script.extend(replies)

    def answer_method(self, method, *replies):
        with self._lock:
            self.method_scripts.setdefault(method, []).extend(replies)

    def answer_chat(self, chat_id, reply):
        """Every later sendMessage to `chat_id` gets `reply` (None: no longer)."""
        with self._lock:
            if reply is None:
                self.chat_replies.pop(chat_id, None)
            else:
                self.chat_replies[chat_id] = reply

    def _reply_for(self, recorded):
        method = recorded.api_method
        if method == "sendMessage" and recorded.field("chat_id") in self.chat_replies:
            return self.chat_replies[recorded.field("chat_id")]
        if self.method_scripts.get(method):
            return self.method_scripts[method].pop(0)
        return self.script.pop(0) if self.script else sent()

    def delivered(self, chat_id=None):
        """Texts that sendMessage accepted, in order, for one chat or all."""
        with self._lock:
            return [r.field("text") for r in self.requests
                    if r.api_method == "sendMessage" and 200 <= r.status < 300
                    and (chat_id is None or r.field("chat_id") == chat_id)]

    def close(self):
        self._server.shutdown()
        self._server.server_close()
