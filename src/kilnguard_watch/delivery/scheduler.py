"""Which chat may send next, at Telegram's limits: messages a second for the
bot, one message a second for each chat, messages a minute for each group
(a negative id or an @name: groups, supergroups, channels). Chats take
turns, so a chat with many messages never holds up the others; the outbox
keeps each chat's own messages in order, this only picks the chat.

Pure bookkeeping on an injectable clock: no I/O, no threads, no sleeping.

Telegram does not publish exact limits, so the defaults pace a little under
the nominal ones (30/s, 1/s a chat, 20/min a group), as a client whose
requests reach the server a few milliseconds apart from when it counted them
must."""

import heapq
import itertools
import math
import time
from collections import deque

PER_BOT = 29  # messages in any one second, for the whole bot (nominal 30)
PER_CHAT_SECONDS = 1.05  # between two messages to one chat (nominal 1.0)
PER_GROUP = 20  # messages to one group ...
GROUP_WINDOW = 63.0  # ... in any window this long (nominal 60 s)
BOT_WINDOW = 1.0


def limit_key(chat_key: str) -> str:
    """The chat Telegram counts: a forum topic `ID:TOPIC` shares its group's limits."""
    return chat_key.partition(":")[0]


def is_group(chat_key: str) -> bool:
    return chat_key.startswith(("-", "@"))


class Scheduler:
    """The turn order of the chats that have something to send, and the
    limits they send under.

    Limits are sliding windows: the send times of the last second (bot) and
    of the last group window (each chat), so a chat is ready exactly when its
    oldest counted send leaves the window. That matches how a server that
    counts requests as they arrive judges them, where a token bucket's refill
    would only approximate it.

    Chats ready to send wait in a FIFO (the turn order); a chat found blocked
    by its own limits or a pause moves to a heap keyed by the time it is ready
    again and rejoins the end of the turn then. next() therefore touches only
    chats whose turn has come, and answers at once when the bot's own window
    is full or every chat is paused."""

    def __init__(self, clock=time.monotonic, *, per_bot=PER_BOT, per_chat_seconds=PER_CHAT_SECONDS,
                 per_group=PER_GROUP, group_window=GROUP_WINDOW):
        for name, value in (("per_bot", per_bot), ("per_group", per_group)):
            if not isinstance(value, int) or isinstance(value, bool) or value < 1:
                raise ValueError(f"{name} must be a whole number above zero, not {value!r}")
        for name, value in (("per_chat_seconds", per_chat_seconds), ("group_window", group_window)):
            if not isinstance(value, (int, float)) or isinstance(value, bool) or not value >= 0:
                raise ValueError(f"{name} must be seconds, zero or more, not {value!r}")
        self._clock = clock
        self._per_bot, self._per_chat = per_bot, float(per_chat_seconds)
        self._per_group, self._group_window = per_group, float(group_window)
        self._bot_sends = deque()  # times of the bot's sends in the last second
        self._sends = {}  # limit key -> its send times, newest last, within its window
        self._paused = {}  # limit key -> clock time its 429 pause ends
        self._all_paused = -math.inf  # when the bot's own 429 pause ends
        # A waiting chat has one entry, in the turn or in the held heap, marked
        # with its ticket; entries of a chat that left (done) are skipped.
        self._tickets = {}  # chat key -> ticket
        # (chat, ticket) in turn order, one turn per rank: every chat of rank
        # 0 (an alert waits) goes before any of rank 1 (only answers wait).
        self._turns = (deque(), deque())
        self._rank = {}  # chat key -> its rank
        self._held = []  # heap of (ready time, ticket, chat)
        self._next_ticket = itertools.count()

    def waiting(self, chat_key: str, rank: int = 0) -> None:
        """This chat has something to send: rank 0 an alert, 1 only answers
        to commands, which wait while any alert can go. A chat new to its
        turn joins the end; one waiting already moves up when it now has an
        alert."""
        if chat_key not in self._tickets or rank < self._rank[chat_key]:
            ticket = self._tickets[chat_key] = next(self._next_ticket)
            self._rank[chat_key] = rank
            self._turns[rank].append((chat_key, ticket))

    def done(self, chat_key: str) -> None:
        """Nothing more waits for this chat: it leaves the turn order."""
        self._tickets.pop(chat_key, None)
        self._rank.pop(chat_key, None)

    def next(self) -> tuple[str | None, float]:
        """(chat that may send now, 0.0), in turn; or (None, seconds until
        one may), math.inf when no chat waits."""
        if not self._tickets:
            return None, math.inf
        now = self._clock()
        self._release(now)
        pause = max(self._bot_ready() - now, self._all_paused - now)
        for turn in self._turns:
            while turn:
                if pause > 0:
                    return None, pause
                chat, ticket = turn.popleft()
                if self._tickets.get(chat) != ticket:
                    continue
                ready = self._ready_at(limit_key(chat))
                if ready > now:
                    heapq.heappush(self._held, (ready, ticket, chat))
                    continue
                turn.append((chat, ticket))  # its next message waits a whole turn
                return chat, 0.0
        if not self._held:
            return None, math.inf
        return None, max(self._held[0][0] - now, pause)

    def sent(self, chat_key: str) -> None:
        """A request went out to this chat now (a failed one too): it counts
        toward the bot's, the chat's and its group's limits."""
        now = self._clock()
        key = limit_key(chat_key)
        self._bot_sends.append(now)
        while self._bot_sends[0] <= now - BOT_WINDOW:
            self._bot_sends.popleft()
        sends = self._sends.setdefault(key, deque())
        window = max(self._group_window, self._per_chat) if is_group(key) else self._per_chat
        while sends and sends[0] <= now - window:
            sends.popleft()
        sends.append(now)

    def throttled(self, chat_key: str, retry_after: float) -> bool:
        """Telegram answered the request last recorded by sent() for this chat
        with 429 and retry_after seconds. When the chat's own limits explain it
        (it sent in the per-chat interval before, or a group used its whole
        allowance of the window) only the chat is paused; otherwise the bot is
        over its global limit and every chat pauses: returns True then."""
        if not isinstance(retry_after, (int, float)) or isinstance(retry_after, bool) \
                or not retry_after >= 0:
            raise ValueError(f"retry_after must be seconds, zero or more, not {retry_after!r}")
        key = limit_key(chat_key)
        until = self._clock() + retry_after
        sends = self._sends.get(key, ())
        own = (len(sends) > 1 and sends[-2] > sends[-1] - self._per_chat) \
            or (is_group(key) and len(sends) >= self._per_group)
        if own:
            self._paused[key] = max(self._paused.get(key, -math.inf), until)
        else:
            self._all_paused = max(self._all_paused, until)
        return not own

    def paused_until(self, chat_key: str) -> float:
        """The clock time this chat may send again by its limits and pauses
        (at or before now when it may send now)."""
        return max(self._ready_at(limit_key(chat_key)), self._all_paused)

    def _ready_at(self, key):
        ready = self._paused.get(key, -math.inf)
        sends = self._sends.get(key)
        if sends:
            ready = max(ready, sends[-1] + self._per_chat)
            if is_group(key) and len(sends) >= self._per_group:
                ready = max(ready, sends[-self._per_group] + self._group_window)
        return ready

    def _bot_ready(self):
        if len(self._bot_sends) < self._per_bot:
            return -math.inf
        return self._bot_sends[-self._per_bot] + BOT_WINDOW

    def _release(self, now):
        """Held chats whose time came rejoin the end of the turn; next() checks
        them again there (a pause or a send to a topic of their group may have
        come since)."""
        while self._held and self._held[0][0] <= now:
            _, ticket, chat = heapq.heappop(self._held)
            if self._tickets.get(chat) == ticket:
                self._turns[self._rank[chat]].append((chat, ticket))
