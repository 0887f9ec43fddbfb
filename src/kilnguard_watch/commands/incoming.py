"""One message from the Bot API's getUpdates, as the commands see it. Only
new text messages are taken: edited messages, channel posts, other kinds of
update and anything with a field missing or of the wrong type are None."""

from dataclasses import dataclass

LONGEST_TEXT = 4096  # Telegram's own limit for a message's text


@dataclass(frozen=True)
class Incoming:
    update_id: int
    chat_id: str  # as text, like a configured chat id
    chat_type: str  # "private", "group", "supergroup" or "channel"
    topic: int | None  # the forum topic it was written in, answered there
    user_id: int | None  # the sender (None when Telegram does not say)
    text: str

    @property
    def chat_key(self):
        """The key of the chat (and topic) an answer goes to: ID or ID:TOPIC."""
        return self.chat_id if self.topic is None else f"{self.chat_id}:{self.topic}"


def whole_number(value):
    """An int that is not a bool (JSON true is no id)."""
    return isinstance(value, int) and not isinstance(value, bool)


def incoming(update):
    """The Incoming of one decoded update (a dict), or None."""
    if not isinstance(update, dict) or not whole_number(update.get("update_id")):
        return None
    message = update.get("message")
    if not isinstance(message, dict):
        return None
    chat, text = message.get("chat"), message.get("text")
    if not isinstance(chat, dict) or not whole_number(chat.get("id")) or not isinstance(text, str):
        return None
    chat_type = chat.get("type")
    if chat_type not in ("private", "group", "supergroup", "channel"):
        return None
    topic = message.get("message_thread_id")
    topic = topic if message.get("is_topic_message") is True and whole_number(topic) and topic > 0 else None
    sender = message.get("from")
    user_id = sender.get("id") if isinstance(sender, dict) and whole_number(sender.get("id")) else None
    return Incoming(update["update_id"], str(chat["id"]), chat_type, topic, user_id,
                    text[:LONGEST_TEXT])
