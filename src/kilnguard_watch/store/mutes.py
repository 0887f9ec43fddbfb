"""Mutes a chat set with /mute: until a moment, alerts about one subnet (or
every subnet) are not told to that chat. Its baseline does not move for
them meanwhile, so once the mute ends the chat hears, once, how far the rate
is from what it last heard: nothing is lost and nothing floods."""

EVERY_SUBNET = -1


def active(database, now):
    """{chat key: frozenset of muted netuids, EVERY_SUBNET among them for a
    whole chat} of the mutes not yet over."""
    muted = {}
    for chat, netuid, until in database.execute(
            "SELECT chat, netuid, until FROM mutes WHERE until > ?", (now,)):
        muted.setdefault(chat, set()).add(netuid)
    return {chat: frozenset(netuids) for chat, netuids in muted.items()}


def of_chat(database, chat, now):
    """[(netuid, until)] of the chat's mutes not yet over, by netuid."""
    return sorted(database.execute(
        "SELECT netuid, until FROM mutes WHERE chat = ? AND until > ?", (chat, now)).fetchall())


def mute(connection, chats, netuid, until):
    """Inside the caller's transaction."""
    connection.executemany("INSERT OR REPLACE INTO mutes (chat, netuid, until) VALUES (?, ?, ?)",
                           [(chat, netuid, until) for chat in chats])


def unmute(connection, chats, netuid):
    """Inside the caller's transaction; EVERY_SUBNET ends every mute of the
    chats. Over mutes are dropped on the way."""
    for chat in chats:
        if netuid == EVERY_SUBNET:
            connection.execute("DELETE FROM mutes WHERE chat = ?", (chat,))
        else:
            connection.execute("DELETE FROM mutes WHERE chat = ? AND netuid = ?", (chat, netuid))
