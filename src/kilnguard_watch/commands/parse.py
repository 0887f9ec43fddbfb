"""A chat text read as a bot command, as Telegram's clients write one:
"/name" or "/name@bot" at the very start, then arguments split on white
space."""

import re
from dataclasses import dataclass

# Telegram's own rule for a command name; the "@bot" part is a username.
_COMMAND = re.compile(r"/([A-Za-z0-9_]{1,32})(?:@([A-Za-z0-9_]{1,64}))?")
MOST_ARGS = 64  # more is never a sensible command; the rest is dropped unread


@dataclass(frozen=True)
class Command:
    name: str  # lower case, without "/" and without "@bot"
    args: tuple[str, ...]


def parse(text, bot_username):
    """The Command in a message's text, or None when the text is not a
    command or is addressed to another bot ("/status@otherbot").

    bot_username is ours without "@", matched without regard to case. When
    it is not known (None), an addressed command is taken as ours: Telegram
    hands a bot in privacy mode only the commands addressed to it, and a bot
    that stays silent looks dead, while a second answer only costs a line."""
    if not isinstance(text, str) or not text.startswith("/"):
        return None
    # One split more than kept: the last piece holds the unread rest.
    words = text.split(None, MOST_ARGS + 1)
    found = _COMMAND.fullmatch(words[0]) if words else None
    if found is None:
        return None
    name, addressee = found.groups()
    if addressee is not None and bot_username is not None \
            and addressee.lower() != bot_username.lower():
        return None
    return Command(name.lower(), tuple(words[1:MOST_ARGS + 1]))
