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
refuses, or a refusal from every chat, ends the program with the settings
status: nothing can reach the chat, and a service that keeps running would
look healthy."""

import time

from kilnguard_watch.delivery import telegram as telegram_api
from kilnguard_watch.cli.errors import SettingRefused

PAUSE_BETWEEN_PIECES = 0.4
LONGEST_WAIT = 60
ATTEMPTS_PER_PIECE = 3


def numbered_pieces(module, text):
    """The messages the module would send for `text`: its pieces, each with
    "(i/N)\\n" in front when there are several."""
    pieces = list(module._chunk_text(text))
    if len(pieces) == 1:
        return pieces
    return [f"({i}/{len(pieces)})\n{piece}" for i, piece in enumerate(pieces, 1)]


def dropped_note(count):
    return f"({count} older message{'s' if count != 1 else ''} dropped: the outbox was full)\n"


class Delivery:
    """Delivers the outbox to `chats` (a list of Chat) with `token`.
    `stats`, when set, tallies each send by reason (count_telegram), for
    the pass outcome."""

    def __init__(self, module, outbox, token, chats, log):
        self.module = module
        self.outbox = outbox
        self.token = token
        self.chats = chats
        self.log = log
        self.stats = None

    def send_text(self, text, token=None, chat_id=None):
        """Stands in for send_burn_telegram_messages: queue, then deliver
        everything that waits. The chat and token given by the module are
        the ones the host passed it; the host's own list of chats wins."""
        self.outbox.add(numbered_pieces(self.module, text), [chat.key for chat in self.chats])
        self.save()
        return self.flush()

    def flush(self):
        """Delivers what waits, chat by chat: (True, "") when nothing is left,
        else (False, the first chat's error)."""
        errors = {}
        for chat in self.chats:
            error = self._flush_chat(chat)
            if error is not None:
                errors[chat] = error
        if not errors:
            return (True, "")
        self._stop_when_nothing_can_arrive(errors)
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
        if self.stats is not None:
            self.stats.count_telegram(reason)

    def _stop_when_nothing_can_arrive(self, errors):
        reasons = {chat: telegram_api.classify(error).reason for chat, error in errors.items()}
        if telegram_api.TOKEN in reasons.values():
            error = next(e for c, e in errors.items() if reasons[c] == telegram_api.TOKEN)
            raise SettingRefused(f"Telegram refuses the bot token ({error}): check "
                                 f"TELEGRAM_BOT_TOKEN or --token-file; {len(self.outbox)} "
                                 f"message(s) wait in {self.outbox.path}")
        if len(errors) == len(self.chats) and all(r == telegram_api.CHAT for r in reasons.values()):
            chat, error = next(iter(errors.items()))
            raise SettingRefused(f"Telegram refuses chat {chat.key} ({error}): check "
                                 f"TELEGRAM_CHAT_ID or --chat-id; {len(self.outbox)} message(s) "
                                 f"wait in {self.outbox.path}")

