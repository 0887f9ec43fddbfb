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


class FakeTelegram(fake_taostats.FakeServer):
    """The shared fake server, answering a success once the script is used up."""

    @property
    def base_url(self):
        return self.url

    def answer(self, *replies):
        self.reply(*replies)

    def unscripted_reply(self):
        return sent()
