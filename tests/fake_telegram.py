"""A loopback stand-in for the Telegram Bot API, on the shared fake server:
records every request as it arrived on the wire and answers from a script of
replies shaped like the real service's (JSON with `ok`, `error_code`,
`description`, `parameters`), or with a success once the script is used up.
getUpdates answers as the real service does: the updates pushed and not yet
confirmed, held open as a long poll until one comes."""

import collections
import json
import math
import threading
import time

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
        self._limits = None
        self.too_many = 0  # 429s given for going over the limits
        # Updates pushed and not yet confirmed, and the long polls waiting
        # for one: guarded by their own condition, never by the fake's lock,
        # so a held long poll stops no other request.
        self._updates = []
        self._last_update_id = 0
        self._update_pushed = threading.Condition()
        self.held_polls = 0  # getUpdates requests holding open now
        super().__init__(tls_context)

    def push_update(self, update):
        """Queues an update (a dict without its id) for getUpdates; gives
        its update_id, counting up from 1."""
        with self._update_pushed:
            self._last_update_id += 1
            self._updates.append({"update_id": self._last_update_id, **update})
            self._update_pushed.notify_all()
            return self._last_update_id

    def pending_updates(self):
        """The ids of the updates not yet confirmed."""
        with self._update_pushed:
            return [update["update_id"] for update in self._updates]

    def _record(self, recorded):
        if api_method(recorded) == "getUpdates":
            self._hold(recorded)
        return super()._record(recorded)

    def _hold(self, recorded):
        """A long poll: waits up to its `timeout` for an update at or past its
        offset, unless a reply is scripted for it."""
        with self._lock:
            if self._method_scripts.get("getUpdates"):
                return
        offset = int(recorded.field("offset") or 0)
        with self._update_pushed:
            self.held_polls += 1
            try:
                self._update_pushed.wait_for(
                    lambda: self._stopping.is_set()
                    or any(update["update_id"] >= offset for update in self._updates),
                    timeout=float(recorded.field("timeout") or 0))
            finally:
                self.held_polls -= 1

    def _updates_reply(self, recorded):
        """Confirms (drops) the updates below the offset; answers those left,
        at most `limit` of them."""
        offset = recorded.field("offset")
        limit = int(recorded.field("limit") or 100)
        with self._update_pushed:
            if offset is not None:
                self._updates = [u for u in self._updates if u["update_id"] >= int(offset)]
            return json_reply(200, {"ok": True, "result": self._updates[:limit]})

    def close(self):
        self._stopping.set()
        with self._update_pushed:
            self._update_pushed.notify_all()
        super().close()

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

    def enforce_limits(self, per_bot=30, per_chat_seconds=1.0, per_group=20, group_window=60.0):
        """From now on a sendMessage that would go over Telegram's limits, as
        sliding windows over arrival times, gets Telegram's 429: per_bot
        messages in any second, one message per per_chat_seconds to a chat,
        per_group messages in any group_window to a group (a negative id or
        an @name). Topics are sent with their group's chat_id, so they share
        its limits. Requests answered 429 do not count toward them."""
        with self._lock:
            self._limits = (per_bot, per_chat_seconds, per_group, group_window)
            self._bot_arrivals = collections.deque()
            self._chat_arrivals = {}

    def _limit_wait(self, chat_id):
        """Seconds until a sendMessage to chat_id would keep within the
        limits (0 when it does now); when it does, it is counted."""
        per_bot, per_chat, per_group, window = self._limits
        now = time.monotonic()
        group = chat_id.startswith(("-", "@"))
        bot = self._bot_arrivals
        chat = self._chat_arrivals.setdefault(chat_id, collections.deque())
        while bot and bot[0] <= now - 1.0:
            bot.popleft()
        while chat and chat[0] <= now - (max(window, per_chat) if group else per_chat):
            chat.popleft()
        wait = 0.0
        if len(bot) >= per_bot:
            wait = bot[-per_bot] + 1.0 - now
        if chat:
            wait = max(wait, chat[-1] + per_chat - now)
        if group and len(chat) >= per_group:
            wait = max(wait, chat[-per_group] + window - now)
        if wait <= 0:
            bot.append(now)
            chat.append(now)
        return wait

    def choose_reply(self, recorded):
        method = api_method(recorded)
        if method == "sendMessage" and self._limits is not None:
            wait = self._limit_wait(recorded.field("chat_id") or "")
            if wait > 0:
                self.too_many += 1
                after = max(1, math.ceil(wait))
                return api_error(429, f"Too Many Requests: retry after {after}",
                                 retry_after=after)
        if method in ("sendMessage", "sendPhoto") and recorded.field("chat_id") in self._chat_replies:
            return self._chat_replies[recorded.field("chat_id")]
        if self._method_scripts.get(method):
            return self._method_scripts[method].pop(0)
        # The poller's own questions never take a reply scripted for sends.
        if method == "getUpdates":
            return self._updates_reply(recorded)
        if method == "setMyCommands":
            return json_reply(200, {"ok": True, "result": True})
        if method == "getWebhookInfo":
            return json_reply(200, {"ok": True, "result": {"url": "", "pending_update_count": 0}})
        return super().choose_reply(recorded)

    def unscripted_reply(self):
        return sent()

    def photos(self, chat_id=None):
        """(caption, PNG bytes) that sendPhoto accepted, in order."""
        with self._lock:
            return [(r.field("caption"), r.field("photo")) for r in self.requests
                    if api_method(r) == "sendPhoto" and 200 <= r.status < 300
                    and (chat_id is None or r.field("chat_id") == chat_id)]

    def delivered(self, chat_id=None):
        """Texts that sendMessage accepted, in order, for one chat or all."""
        with self._lock:
            return [r.field("text") for r in self.requests
                    if api_method(r) == "sendMessage" and 200 <= r.status < 300
                    and (chat_id is None or r.field("chat_id") == chat_id)]
