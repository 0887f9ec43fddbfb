"""What each chat was last told: for every chat, the rate of each subnet as
it stood when the chat last heard of it (or when the chat was added).

Chats told the same things at the same times have the same baseline, so a
baseline is a shared set of rates that chats point to; a set no chat points
to any more is deleted in the transaction that moved the last one away. Ten
thousand chats that watch the same subnets cost one set, not ten million
rows."""

import json


class Baselines:
    def __init__(self, database):
        self.database = database
        self.sets = {}  # set id -> {netuid text: rate text}
        for set_id, text in database.execute("SELECT id, rates FROM baselines"):
            try:
                rates = json.loads(text)
            except (TypeError, ValueError):
                continue  # a damaged set: its chats start again from the next pass
            if isinstance(rates, dict):
                self.sets[set_id] = {str(k): str(v) for k, v in rates.items()}
        self.of_chat = {}  # chat key -> set id, for chats that have a baseline
        for key, set_id in database.execute("SELECT key, baseline FROM chats"):
            if set_id in self.sets:
                self.of_chat[key] = set_id
        self.known = {key for key, in database.execute("SELECT key FROM chats")}

    def rates_of(self, chat):
        set_id = self.of_chat.get(chat)
        return None if set_id is None else self.sets[set_id]

    def write(self, connection, pointing):
        """Inside the caller's transaction: each (chats, rates) of `pointing`
        makes those chats' baseline `rates`, a new set unless it is the very
        dict of a set they share already. Sets are never changed in place,
        so memory follows only once the database took it: call `committed`
        with the result after the commit."""
        by_identity = {id(rates): set_id for set_id, rates in self.sets.items()}
        new_sets, of_chat = {}, {}
        for chats, rates in pointing:
            set_id = by_identity.get(id(rates))
            if set_id is None:
                set_id = connection.execute("INSERT INTO baselines (rates) VALUES (?)",
                                            (json.dumps(rates),)).lastrowid
                by_identity[id(rates)] = set_id
                new_sets[set_id] = rates
            for chat in chats:
                of_chat[chat] = set_id
        connection.executemany(
            "INSERT INTO chats (key, baseline) VALUES (?, ?) ON CONFLICT (key) "
            "DO UPDATE SET baseline = excluded.baseline",
            [(chat, set_id) for chat, set_id in of_chat.items()])
        connection.execute("DELETE FROM baselines WHERE id NOT IN "
                           "(SELECT baseline FROM chats WHERE baseline IS NOT NULL)")
        return new_sets, of_chat

    def committed(self, change):
        new_sets, of_chat = change
        self.sets.update(new_sets)
        self.of_chat.update(of_chat)
        self.known.update(of_chat)
        used = set(self.of_chat.values())
        for set_id in [s for s in self.sets if s not in used]:
            del self.sets[set_id]
