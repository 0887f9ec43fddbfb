"""At-least-once delivery: every message goes into the outbox first and
leaves it only once Telegram took it, oldest first, chat by chat.

A text is split with the module's own `_chunk_text` and numbered as the
module numbers pieces, so each piece is an entry of its own: a piece that
went out is never sent again because a later one failed. Each piece goes
through the module's current `send_burn_telegram` (looked up at each call,
so the sender installed for the Telegram options or a dry run is used).

Telegram's answers are followed where they say what to do: a 429 with
retry_after of at most a minute is waited out (through time.sleep, so Ctrl-C
works and tests record it) and tried again; a longer one leaves the piece for
the next pass. A group upgraded to a supergroup is followed to its new id,
which is remembered and logged for the operator. A token that Telegram
refuses, or a refusal from every chat, is a setting that can never work:
`refused` says so, and the host ends the program with the settings status
once the pass is over (a service that kept running would look healthy)."""

import collections
import time

from kilnguard_watch.delivery import telegram as telegram_api

PAUSE_BETWEEN_PIECES = 0.4
LONGEST_WAIT = 60
ATTEMPTS_PER_PIECE = 3


def dropped_note(count):
    return f"({count} older message{'s' if count != 1 else ''} dropped: the outbox was full)\n"


class Delivery:
    """Delivers the outbox to `chats` (a list of Chat) with `token`.
    `sends` tallies each send by reason ("sent" or a failure reason) until
    the host takes the tally for a pass outcome; `refused` holds why
    nothing can ever arrive, once Telegram said so."""

    def __init__(self, module, outbox, token, chats, log):
        self.module = module
        self.outbox = outbox
        self.token = token
        self.chats = chats
        self.log = log
        self.sends = collections.Counter()
        self.flushed = False  # whether a delivery ran since the tally was taken
        self.refused = None

    def send_text(self, text, token=None, chat_id=None):
        """Stands in for send_burn_telegram_messages: queue, then deliver
        everything that waits. The host's own chats and token are the ones
        that count; the module's arguments are not read."""
        self.queue(text)
        return self.flush()

    def queue(self, text):
        """Puts the messages the module would send for `text` in the outbox,
        for every chat, and writes it down before anything is sent."""
        self.outbox.add(list(self.module._message_pieces(text)), [chat.key for chat in self.chats])
        self.save()

    def take_tally(self):
        """The sends since the last call, and whether a delivery ran."""
        tally, flushed = self.sends, self.flushed
        self.sends, self.flushed = collections.Counter(), False
        return tally, flushed

    def flush(self):
        """Delivers what waits, chat by chat: (True, "") when nothing is left,
        else (False, the first chat's error)."""
        self.flushed = True
        errors = {}
        for chat in self.chats:
            error = self._flush_chat(chat)
            if error is not None:
                errors[chat] = error
        if not errors:
            return (True, "")
        self._note_when_nothing_can_arrive(errors)
        chat, error = next(iter(errors.items()))
        if len(self.chats) > 1:
            return (False, f"chat {chat.key}: {error}")
        return (False, error)

    def save(self):
        try:
            self.outbox.save()
        except OSError as error:
            # The messages are still held in memory and delivered from there.
            self.log(f"cannot write the outbox {self.outbox.path}: {error}")

    def _flush_chat(self, chat):
        sent = False
        for entry in self.outbox.pending(chat.key):
            text = entry["text"]
            dropped = self.outbox.dropped.get(chat.key)
            if dropped:
                text = dropped_note(dropped) + text
            if sent:
                time.sleep(PAUSE_BETWEEN_PIECES)
            ok, error = self._send_piece(text, chat)
            if not ok:
                return error
            self.outbox.delivered(entry, chat.key)
            self.save()
            sent = True
        return None

    def _send_piece(self, text, chat):
        for attempt in range(1, ATTEMPTS_PER_PIECE + 1):
            target = chat.moved_to(self.outbox.moved.get(chat.id, chat.id))
            ok, error = self.module.send_burn_telegram(text, self.token, target.key)
            if ok:
                self._count("sent")
                return (True, "")
            failure = telegram_api.classify(error)
            self._count(failure.reason)
            if attempt == ATTEMPTS_PER_PIECE:
                break
            if failure.reason == telegram_api.THROTTLED:
                if failure.retry_after is None or failure.retry_after > LONGEST_WAIT:
                    break  # the next pass tries again
                time.sleep(max(failure.retry_after, 1))
            elif failure.reason == telegram_api.MIGRATED:
                new_id = failure.migrate_to or telegram_api.migrated_chat(self.token, target.id)
                if new_id is None or new_id == target.id:
                    break
                self.outbox.moved[chat.id] = new_id
                self.save()
                self.log(f"chat {chat.id} was upgraded to a supergroup with id {new_id}; sending "
                         f"there now: set TELEGRAM_CHAT_ID or --chat-id to {new_id}")
            else:
                break
        return (False, error)

    def _count(self, reason):
        self.sends[reason] += 1

    def _note_when_nothing_can_arrive(self, errors):
        reasons = {chat: telegram_api.classify(error).reason for chat, error in errors.items()}
        if telegram_api.TOKEN in reasons.values():
            error = next(e for c, e in errors.items() if reasons[c] == telegram_api.TOKEN)
            self.refused = (f"Telegram refuses the bot token ({error}): check "
                            f"TELEGRAM_BOT_TOKEN or --token-file; {len(self.outbox)} "
                            f"message(s) wait in {self.outbox.path}")
        elif len(errors) == len(self.chats) and all(r == telegram_api.CHAT for r in reasons.values()):
            chat, error = next(iter(errors.items()))
            self.refused = (f"Telegram refuses chat {chat.key} ({error}): check "
                            f"TELEGRAM_CHAT_ID or --chat-id; {len(self.outbox)} message(s) "
                            f"wait in {self.outbox.path}")

