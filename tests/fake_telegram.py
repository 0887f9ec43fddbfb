"""A loopback stand-in for the Telegram Bot API, on the shared fake server:
records every request as it arrived on the wire and answers from a script of
replies shaped like the real service's (JSON with `ok`, `error_code`,
`description`, `parameters`), or with a success once the script is used up."""

import json

import fake_taostats


def Reply(status=200, body=b"", reason=None, headers=(), **more):
    """A scripted reply; `more` takes the shared server's fault options
    (hang_up_after, stall, reset, ...)."""
    return fake_taostats.Reply(status=status, reason=reason, body=body, headers=list(headers),
                               **more)


def json_reply(status, document, headers=()):
    return Reply(status, json.dumps(document).encode(), headers=headers)


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


def api_method(recorded):
    """The Bot API method a request called: sendMessage, getMe, getChat."""
    return recorded.path.rsplit("/", 1)[-1]


class FakeTelegram(fake_taostats.FakeServer):
    """The shared fake server, answering a success once the script is used up.
    Replies scripted for one Bot API method (`answer_method`) come before the
    general script, and a chat given a standing reply (`answer_chat`) gets it
    for every sendMessage."""

    def __init__(self, tls_context=None):
        self._method_scripts = {}
        self._chat_replies = {}
        super().__init__(tls_context)

    @property
    def base_url(self):
        return self.url

    def answer(self, *replies):
        self.reply(*replies)

    def answer_method(self, method, *replies):
        with self._lock:
            self._method_scripts.setdefault(method, []).extend(replies)

    def answer_chat(self, chat_id, reply):
        """Every later sendMessage to `chat_id` gets `reply` (None: no longer)."""
        with self._lock:
            if reply is None:
                self._chat_replies.pop(chat_id, None)
            else:
                self._chat_replies[chat_id] = reply

    def choose_reply(self, recorded):
        method = api_method(recorded)
        if method == "sendMessage" and recorded.field("chat_id") in self._chat_replies:
            return self._chat_replies[recorded.field("chat_id")]
        if self._method_scripts.get(method):
            return self._method_scripts[method].pop(0)
        return super().choose_reply(recorded)

    def unscripted_reply(self):
        return sent()

    def delivered(self, chat_id=None):
        """Texts that sendMessage accepted, in order, for one chat or all."""
        with self._lock:
            return [r.field("text") for r in self.requests
                    if api_method(r) == "sendMessage" and 200 <= r.status < 300
                    and (chat_id is None or r.field("chat_id") == chat_id)]
