"""At-least-once delivery: every message is in the outbox before it is sent
and leaves it only once Telegram took it, oldest first for each chat, the
chats served in turn at Telegram's limits (scheduler.py).

Each piece goes through the module's current `send_burn_telegram` (looked up
at each call, so the sender installed for the Telegram options or a dry run
is used). Telegram's answers are followed where they say what to do:

- a 429 pauses that chat (or every chat, when it is the bot's own limit) for
  its retry_after when that is at most LONGEST_WAIT, and the message is tried
  again then; a longer pause leaves it for the next pass;
- a group upgraded to a supergroup is followed to its new id, which is
  remembered and logged for the operator;
- a message Telegram refuses as such (a 400 that is neither about the chat
  nor a move) is tried ATTEMPTS times, counted across restarts, and then set
  aside with a note to its chat, so it never holds back the ones behind it;
- a chat that subscribed itself (public mode) and cannot be reached any more
  (it blocked the bot, or is gone) is handed to `gone`, which ends its
  subscription and what waits for it;
- a token that Telegram refuses, or a refusal from every configured chat, is
  a setting that can never work: `refused` says so, and the host ends the program with
  the settings status once the pass is over;
- any other failure (no connection, a time-out, a 5xx page) is the service's
  or the network's, not the chat's: the delivery stops there and everything
  waits for the next pass, so an unreachable Bot API costs a pass one
  time-out, not one for every chat.

Waits go through time.sleep, looked up at each call, so Ctrl-C works and
tests can record them; the scheduler's clock follows the sleeps."""

import collections
import threading
import time

from kilnguard_watch.delivery import telegram as telegram_api
from kilnguard_watch.delivery.chats import parse_chat
from kilnguard_watch.delivery.destinations import is_destination
from kilnguard_watch.delivery.scheduler import Scheduler, limit_key

LONGEST_WAIT = 60
ATTEMPTS = 3


def dropped_note(count):
    return f"({count} older message{'s' if count != 1 else ''} dropped: the outbox was full)\n"


class PacedClock:
    """time.monotonic, moved on by any part of a sleep that did not really
    pass (a test's recorder returns at once): the pacing then reads the same
    whether a wait was slept or recorded."""

    def __init__(self):
        self.ahead = 0.0

    def __call__(self):
        return time.monotonic() + self.ahead

    def sleep(self, seconds):
        start = self()
        time.sleep(seconds)
        self.ahead += max(0.0, seconds - (self() - start))


class Delivery:
    """Delivers the outbox to `chats` (a list of Chat, the configured ones)
    with `token`, and with `public` to any chat something waits for;
    `gone(key, error)` is told of such a chat that cannot be reached.
    `sends` tallies each send by reason ("sent" or a failure reason) until
    the host takes the tally for a pass outcome; `refused` holds why
    nothing can ever arrive, once Telegram said so."""

    def __init__(self, module, outbox, token, chats, log, public=False, gone=None):
        self.module = module
        self.outbox = outbox
        self.token = token
        self.chats = {chat.key: chat for chat in chats}
        self.chat_ids = {chat.id for chat in chats}
        self.public = public
        self.gone = gone
        # Pictures go through the host's own client (the module sends text
        # only); the keys of the chats that hear them without a sound.
        self.send_photo = telegram_api.send_photo
        self.silent = frozenset()
        self.log = log
        self.clock = PacedClock()
        self.scheduler = Scheduler(self.clock)
        self.sends = collections.Counter()
        self.flushed = False  # whether a delivery ran since the tally was taken
        self._tally_lock = threading.Lock()  # the tally is taken from another thread
        self.refused = None
        # Set when new messages were queued while a delivery runs (an answer
        # to a command): it looks for them at its next turn, or within
        # `look_every` seconds of a wait (None: a wait is slept whole, as
        # when nothing else queues messages).
        self.queued = threading.Event()
        self.look_every = None

    def queue(self, text):
        """Puts the messages the module would send for `text` in the outbox,
        for every chat, before anything is sent."""
        self.outbox.queue(list(self.module._message_pieces(text)), list(self.chats))

    def take_tally(self):
        """The sends since the last call, and whether a delivery ran."""
        with self._tally_lock:
            tally, flushed = self.sends, self.flushed
            self.sends, self.flushed = collections.Counter(), False
        return tally, flushed

    def configured(self, key):
        """A configured chat, or a topic of one (where a command was asked)."""
        return key in self.chats or limit_key(key) in self.chat_ids

    def serves(self, key):
        """Whether messages for `key` are delivered here (a destination's
        go through Apprise, on its own thread)."""
        return not is_destination(key) and (self.public or self.configured(key))

    def _count(self, reason):
        with self._tally_lock:
            self.sends[reason] += 1

    def _look_for_new(self):
        self.queued.clear()
        for key, priority in self.outbox.waiting_by_priority():
            if self.serves(key):
                self.scheduler.waiting(key, rank=priority)

    def flush(self):
        """Delivers what waits until nothing is left or what is left cannot
        go within LONGEST_WAIT: (True, "") when nothing is left, else
        (False, why the first chat still waits)."""
        self.flushed = True
        errors = {}
        attempts = collections.Counter()  # failed tries per chat in this flush
        unreachable = False
        self._look_for_new()
        while self.refused is None and not unreachable:
            if self.queued.is_set():
                self._look_for_new()
            key, wait = self.scheduler.next()
            if key is None:
                if wait > LONGEST_WAIT:
                    break
                self.clock.sleep(wait if self.look_every is None else min(wait, self.look_every))
                continue
            row = self.outbox.oldest(key)
            if row is None:
                self.scheduler.done(key)
                continue
            row_id, text, _, photo = row
            dropped = self.outbox.dropped(key)
            ok, error = self._send((dropped_note(dropped) if dropped else "") + text, key, photo)
            self.scheduler.sent(key)
            if ok:
                self._count("sent")
                if not self.outbox.delivered(row_id, key):
                    self.scheduler.done(key)
                errors.pop(key, None)
                attempts[key] = 0
                continue
            failure = telegram_api.classify(error)
            self._count(failure.reason)
            errors[key] = error
            attempts[key] += 1
            unreachable = failure.reason == telegram_api.OTHER
            if not self._follow(failure, key, row_id, error, attempts[key]):
                self.scheduler.done(key)
        waiting = [key for key in self.outbox.waiting_chats() if self.serves(key)]
        for key in waiting:
            self.scheduler.done(key)
        if not waiting:
            return (True, "")
        errors = {key: errors[key] for key in waiting if key in errors}
        self._note_when_nothing_can_arrive(errors)
        if not errors:
            return (False, "Telegram's rate limits leave them for later")
        key, error = next(iter(errors.items()))
        return (False, f"chat {key}: {error}" if len(self.chats) > 1 else error)

    def _chat(self, key):
        return self.chats.get(key) or parse_chat(key)

    def _send(self, text, key, photo=None):
        chat = self._chat(key)
        target = chat.moved_to(self.outbox.moved.get(chat.id, chat.id))
        if photo is not None:
            return self.send_photo(self.token, target, photo, text, key in self.silent)
        return self.module.send_burn_telegram(text, self.token, target.key)

    def _follow(self, failure, key, row_id, error, attempts):
        """What a failed send means for the chat; True while it stays in
        turn in this flush."""
        if failure.reason == telegram_api.MESSAGE:
            if self.outbox.refused(row_id) >= ATTEMPTS:
                self._set_aside(key, row_id, error)
            return True
        if attempts >= ATTEMPTS:
            return False
        if failure.reason == telegram_api.THROTTLED:
            if failure.retry_after is None or failure.retry_after > LONGEST_WAIT:
                return False  # the next pass tries again
            self.scheduler.throttled(key, max(failure.retry_after, 1))
            return True
        if failure.reason == telegram_api.CHAT and self.gone is not None \
                and not self.configured(key):
            self.gone(key, error)
            return False
        if failure.reason == telegram_api.MIGRATED:
            chat = self._chat(key)
            old_id = self.outbox.moved.get(chat.id, chat.id)
            new_id = failure.migrate_to or telegram_api.migrated_chat(self.token, old_id)
            if new_id is None or new_id == old_id:
                return False
            self.outbox.remember_moved(chat.id, new_id)
            self.log(f"chat {chat.id} was upgraded to a supergroup with id {new_id}; sending "
                     f"there now: set TELEGRAM_CHAT_ID or --chat-id to {new_id}")
            return True
        return False

    def _set_aside(self, key, row_id, error):
        self.outbox.set_aside(row_id, error)
        note = (f"kilnguard-watch: Telegram refused a message for this chat {ATTEMPTS} times "
                f"({error}); it was set aside, and the messages after it go on.")
        self.log(f"chat {key}: a message Telegram refused {ATTEMPTS} times ({error}) was set "
                 f"aside in {self.outbox.path}")
        self.outbox.queue([note], [key])

    def _note_when_nothing_can_arrive(self, errors):
        # Chats that subscribed themselves say nothing about the settings.
        errors = {key: error for key, error in errors.items() if self.configured(key)}
        reasons = {key: telegram_api.classify(error).reason for key, error in errors.items()}
        if telegram_api.TOKEN in reasons.values():
            error = next(e for k, e in errors.items() if reasons[k] == telegram_api.TOKEN)
            self.refused = (f"Telegram refuses the bot token ({error}): check "
                            f"TELEGRAM_BOT_TOKEN or --token-file; {len(self.outbox)} "
                            f"message(s) wait in {self.outbox.path}")
        elif errors and len(errors) == len(self.chats) \
                and all(r == telegram_api.CHAT for r in reasons.values()):
            key, error = next(iter(errors.items()))
            self.refused = (f"Telegram refuses chat {key} ({error}): check "
                            f"TELEGRAM_CHAT_ID or --chat-id; {len(self.outbox)} message(s) "
                            f"wait in {self.outbox.path}")
