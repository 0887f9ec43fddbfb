"""The chats messages go to: `ID` or `ID:TOPIC` (a forum topic of a
supergroup), from --chat-id (repeatable) or TELEGRAM_CHAT_ID (comma-separated).

A chat travels through the module as its key text (`-1001234:7`), the
chat_id argument of send_burn_telegram; the host's sender takes it apart."""

import re
from dataclasses import dataclass

_CHAT_ID = re.compile(r"-?[0-9]+|@[A-Za-z0-9_]{5,}")
_TOPIC = re.compile(r"[1-9][0-9]*")


@dataclass(frozen=True)
class Chat:
    id: str
    topic: int | None = None

    @property
    def key(self):
        return self.id if self.topic is None else f"{self.id}:{self.topic}"

    def moved_to(self, new_id):
        return Chat(new_id, self.topic)


def parse_chat(text):
    """`-100123`, `@channel` or `-100123:7`; ValueError names a bad value."""
    given = text.strip()
    chat_id, colon, topic = given.partition(":")
    if not _CHAT_ID.fullmatch(chat_id):
        raise ValueError(f"chat id {given!r} is not a number (like -1001234567890) or @channelname")
    if colon and not _TOPIC.fullmatch(topic):
        raise ValueError(f"topic in {given!r} is not a whole number above zero")
    return Chat(chat_id, int(topic) if colon else None)


def parse_chats(values):
    """Chats from a list of given values, each of which may hold a comma-separated
    list; repeated chats count once, in their first place."""
    chats = []
    for value in values:
        for given in value.split(","):
            if given.strip():
                chat = parse_chat(given)
                if chat not in chats:
                    chats.append(chat)
    return chats


def sender_with_options(module, silent):
    """send_burn_telegram for chats given as their keys: a topic, and no
    notification sound for the chats whose keys are in `silent` (a set, or
    True for every chat), reach Telegram through the module's
    send_telegram_message, looked up at each call like every module
    operation."""

    def send_burn_telegram(text, token, chat_id):
        try:
            chat = parse_chat(chat_id)
        except ValueError:
            chat = Chat(chat_id)  # not one of ours: sent as it is
        options = {}
        if chat.topic is not None:
            options["message_thread_id"] = chat.topic
        if silent is True or (silent and chat_id in silent):
            options["disable_notification"] = True
        return module.send_telegram_message(text, token, chat.id, **options)

    return send_burn_telegram
