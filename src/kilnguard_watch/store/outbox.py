"""The outbox: every Telegram message not yet delivered, one row per chat and
message, oldest first. A message is written here before it is sent and its
row is deleted in a transaction of its own once Telegram took it: a SIGKILL
at any moment loses nothing committed, and a message recorded as delivered
is never sent again (the one in flight at the kill may arrive twice).

Each chat holds at most `limit` messages: when a new one does not fit, its
oldest goes, and the chat is told how many it lost with the next message it
gets. A message Telegram refuses for good is moved to `set_aside` with the
reason, so it never holds back the messages behind it."""

import json

from kilnguard_watch.delivery.destinations import is_destination
from kilnguard_watch.store.database import chat_and_topics

LIMIT = 200
ALERT = 0
ANSWER = 1


class Outbox:
    def __init__(self, database, limit=LIMIT):
        self.database = database
        self.limit = limit
        self.moved = dict(database.execute("SELECT chat_id, new_id FROM moved"))
        row = database.execute("SELECT value FROM meta WHERE key = 'health'").fetchone()
        self._health_written = row[0] if row else "{}"
        try:
            health = json.loads(self._health_written)
        except ValueError:
            health = None
        # The health record (health.py owns its fields), kept up to date in place.
        self.health = health if isinstance(health, dict) else {}

    @property
    def path(self):
        return "memory" if self.database.in_memory else self.database.path

    def __len__(self):
        return self.database.execute("SELECT COUNT(*) FROM outbox").fetchone()[0]

    def waiting_chats(self):
        """The chats something waits for, in the order their oldest message
        was queued."""
        return [chat for chat, _ in self.waiting_by_priority()]

    def waiting_by_priority(self):
        """(chat, ALERT or ANSWER: the most urgent that waits for it), in the
        order the chats' oldest messages were queued."""
        return self.database.execute(
            "SELECT chat, MIN(priority) FROM outbox GROUP BY chat ORDER BY MIN(id)").fetchall()

    # ------------------------------------------------------------ queueing

    def queue(self, texts, chats):
        """Queues each text for every chat, in one transaction with the
        health record."""
        with self.database.transaction() as connection:
            self.add(connection, [(chat, text) for chat in chats for text in texts])

    def add(self, connection, messages, priority=ALERT):
        """Inside the caller's transaction: (chat, text) pairs in order, or
        (chat, caption, PNG bytes) for a picture, each chat then trimmed to
        `limit`, and the health record when it changed. An ANSWER to a
        command waits behind every ALERT (alerts and the monitor's own news)
        for its chat."""
        connection.executemany(
            "INSERT INTO outbox (chat, text, priority, photo) VALUES (?, ?, ?, ?)",
            [(message[0], message[1], priority, message[2] if len(message) > 2 else None)
             for message in messages])
        chats = {message[0] for message in messages}
        over = connection.execute(
            "SELECT chat, COUNT(*) - ? FROM outbox GROUP BY chat HAVING COUNT(*) > ?",
            (self.limit, self.limit)).fetchall()
        for chat, excess in over:
            if chat not in chats:
                continue
            connection.execute("DELETE FROM outbox WHERE id IN (SELECT id FROM outbox WHERE "
                               "chat = ? ORDER BY id LIMIT ?)", (chat, excess))
            connection.execute("INSERT INTO chats (key, dropped) VALUES (?, ?) ON CONFLICT (key) "
                               "DO UPDATE SET dropped = dropped + excluded.dropped", (chat, excess))
        self.write_health(connection)

    def write_health(self, connection):
        text = json.dumps(self.health, sort_keys=True)
        if text != self._health_written:
            connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('health', ?)",
                               (text,))
            self._health_written = text

    def save_health(self):
        if json.dumps(self.health, sort_keys=True) != self._health_written:
            with self.database.transaction() as connection:
                self.write_health(connection)

    # ------------------------------------------------------------ delivering

    def oldest(self, chat):
        """(row id, text, tries, photo: PNG bytes or None) of the chat's
        oldest message, or None. A row that is not a message (edited by
        hand, damaged) is set aside alone."""
        while True:
            row = self.database.execute("SELECT id, text, tries, photo FROM outbox WHERE chat = ? "
                                        "ORDER BY priority, id LIMIT 1", (chat,)).fetchone()
            if row is None:
                return None
            row_id, text, tries, photo = row
            if photo is None:
                if isinstance(text, str) and text.strip() and isinstance(tries, int):
                    return row
            elif isinstance(photo, bytes) and isinstance(text, str) and isinstance(tries, int):
                return row
            self.set_aside(row_id, "not a message: its text is not text")

    def dropped(self, chat):
        row = self.database.execute("SELECT dropped FROM chats WHERE key = ?", (chat,)).fetchone()
        return row[0] if row and isinstance(row[0], int) else 0

    def delivered(self, row_id, chat):
        """Telegram took this message; gives whether more wait for the chat."""
        with self.database.transaction() as connection:
            connection.execute("DELETE FROM outbox WHERE id = ?", (row_id,))
            connection.execute("UPDATE chats SET dropped = 0 WHERE key = ? AND dropped != 0",
                               (chat,))
            more = connection.execute("SELECT 1 FROM outbox WHERE chat = ? LIMIT 1",
                                      (chat,)).fetchone()
        return more is not None

    def refused(self, row_id):
        """Counts one refusal of this very message; gives the count."""
        with self.database.transaction() as connection:
            connection.execute("UPDATE outbox SET tries = tries + 1 WHERE id = ?", (row_id,))
            row = connection.execute("SELECT tries FROM outbox WHERE id = ?", (row_id,)).fetchone()
        return row[0] if row else 0

    def set_aside(self, row_id, error):
        with self.database.transaction() as connection:
            connection.execute("INSERT INTO set_aside (chat, text, error) SELECT chat, "
                               "CAST(text AS TEXT), ? FROM outbox WHERE id = ?", (error, row_id))
            connection.execute("DELETE FROM outbox WHERE id = ?", (row_id,))

    def set_aside_count(self):
        return self.database.execute("SELECT COUNT(*) FROM set_aside").fetchone()[0]

    def remember_moved(self, chat_id, new_id):
        with self.database.transaction() as connection:
            connection.execute("INSERT OR REPLACE INTO moved (chat_id, new_id) VALUES (?, ?)",
                               (chat_id, new_id))
        self.moved[chat_id] = new_id

    # ------------------------------------------------------------ chats

    def forget_chat(self, connection, chat_id):
        """Inside the caller's transaction: drops what waits for the chat
        (every topic of it). Gives how many messages."""
        return connection.execute(f"DELETE FROM outbox WHERE {chat_and_topics('chat')}",
                                  (chat_id,)).rowcount

    def keep_only(self, chats, known, answers_anywhere=False):
        """Fits what waits to the chats configured now. An alert that still
        waited for a chat no longer configured goes to each configured chat
        that is new here (`known`: the chats the database knew before), so
        the alerts a wrong chat id could not take reach the corrected one; a
        chat never gets a message twice. What no new chat takes over is
        forgotten, since it would hold places for ever; so are answers for a
        chat no longer configured (answers in a topic of a configured chat
        wait under the topic's key, and stay), unless `answers_anywhere`
        (a public monitor answers any chat). Gives (retargeted, forgotten)
        deliveries."""
        # Only between Telegram chats: a corrected chat id is not a service.
        newcomers = [chat for chat in chats if chat not in known and not is_destination(chat)]
        ids = {chat.partition(":")[0] for chat in chats}
        gone = [chat for chat in self.waiting_chats() if chat not in chats]
        retargeted = forgotten = 0
        with self.database.transaction() as connection:
            texts = []
            for chat in gone:
                rows = connection.execute("SELECT text FROM outbox WHERE chat = ? AND priority = ? "
                                          "ORDER BY id", (chat, ALERT)).fetchall()
                for text, in rows:
                    if text not in texts and not is_destination(chat):
                        texts.append(text)
                forgotten += len(rows)
                connection.execute("DELETE FROM outbox WHERE chat = ? AND priority = ?",
                                   (chat, ALERT))
                if chat.partition(":")[0] not in ids and not answers_anywhere:
                    connection.execute("DELETE FROM outbox WHERE chat = ?", (chat,))
            if newcomers and texts:
                self.add(connection, [(chat, text) for text in texts for chat in newcomers])
                retargeted = len(texts) * len(newcomers)
                forgotten = 0
            connection.executemany("DELETE FROM chats WHERE key = ?",
                                   [(chat,) for chat in known if chat not in chats])
        return retargeted, forgotten
