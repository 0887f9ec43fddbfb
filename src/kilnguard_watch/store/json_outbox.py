"""Taking over the outbox file of earlier versions (`burn_state.outbox.json`
beside `burn_state.json`): its messages, dropped counts, moved chats and
health record go into the database in one transaction, and only then is the
file removed, so a crash in between at worst takes it over again (the
messages it holds are then queued once more, never lost)."""

import json
import os

from kilnguard_watch.files import NotRegularFile, open_regular
from kilnguard_watch.store.database import beside_state


def json_outbox_path(state_path):
    return beside_state(state_path, ".outbox.json")


def _read(path):
    with open_regular(path) as f:
        document = json.loads(f.read())
    entries = [(e["text"], list(e["chats"]), list(e.get("for", e["chats"])))
               for e in document["messages"]]
    if not all(isinstance(text, str) and all(isinstance(c, str) for c in chats + queued_for)
               for text, chats, queued_for in entries):
        raise ValueError("an entry is not text for chats")
    dropped = {str(k): int(v) for k, v in document.get("dropped", {}).items()}
    moved = {str(k): str(v) for k, v in document.get("moved", {}).items()}
    health = dict(document.get("health", {}))
    return entries, dropped, moved, health


def take_over(path, database):
    """Moves the file at `path` into `database`; gives None, or one line
    saying what happened to a file that could not be read (it is kept as
    *.damaged, or left alone when it is not a regular file)."""
    try:
        entries, dropped, moved, health = _read(path)
    except FileNotFoundError:
        return None
    except NotRegularFile as error:
        return f"cannot take over the old outbox: {error}; left it alone"
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        aside = path + ".damaged"
        try:
            os.replace(path, aside)
        except OSError:
            aside = None
        return (f"cannot read the old outbox {path} ({error}); "
                + (f"kept it as {aside}" if aside else "left it in place"))
    with database.transaction() as connection:
        connection.executemany("INSERT INTO outbox (chat, text) VALUES (?, ?)",
                               [(chat, text) for text, chats, _ in entries for chat in chats])
        # The chats a message was queued for count as known: a corrected chat
        # id takes over what the wrong one could not take, never twice.
        known = {chat for _, _, queued_for in entries for chat in queued_for} | set(dropped)
        connection.executemany("INSERT OR IGNORE INTO chats (key) VALUES (?)",
                               [(chat,) for chat in known])
        connection.executemany("UPDATE chats SET dropped = ? WHERE key = ?",
                               [(n, chat) for chat, n in dropped.items()])
        connection.executemany("INSERT OR REPLACE INTO moved (chat_id, new_id) VALUES (?, ?)",
                               list(moved.items()))
        if health:
            connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('health', ?)",
                               (json.dumps(health, sort_keys=True),))
    os.unlink(path)
    return None
