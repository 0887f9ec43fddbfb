"""The outbox: messages not yet delivered, kept in a file beside the state
file so that neither a failed delivery nor a restart loses them.

Each entry is one Telegram message (one piece of a long text, already
numbered) and the chats that still have to get it; every chat therefore has
its own place in the queue, and a chat that fails holds back only itself.
The file is replaced atomically, like the state file, and holds at most
LIMIT entries: when a new one does not fit, the oldest goes, and each chat
that lost messages is told how many with the next message it gets.

The same file keeps the host's other memory across restarts: the chats
Telegram moved (a group upgraded to a supergroup) and the health record.
"""

import json
import os
import stat

import kilnguard

from kilnguard_watch.files import NotRegularFile, kind, open_regular

LIMIT = 200
VERSION = 1


def outbox_path(state_path):
    """`burn_state.json` -> `burn_state.outbox.json`, in the same folder."""
    root, ext = os.path.splitext(state_path)
    return (root if ext == ".json" else state_path) + ".outbox.json"


class OutboxDamaged(Exception):
    """The file is there but cannot be read as an outbox."""


class OutboxRefused(OutboxDamaged):
    """Something other than a regular file is at the outbox's path (a FIFO
    would hang the start); it is left alone and the outbox lives in memory."""


class Outbox:
    """In memory, with `save()` writing the file when there is one (`path`
    None: a dry run, which must not touch the real outbox)."""

    def __init__(self, path=None, limit=LIMIT):
        self.path = path
        self.limit = limit
        # Oldest first: {"text": str, "chats": [chat keys still to get it],
        # "for": [chat keys it was queued for]}.
        self.entries = []
        self.dropped = {}  # chat key -> messages dropped since its last delivery
        self.moved = {}  # chat id -> the id Telegram moved it to
        self.health = {}  # the health record (health.py owns its fields)
        self._written = None  # the text of the file as last read or written
        # Something other than a file is at `path`: it is neither read nor
        # replaced, and what waits is kept in memory only (said once).
        self.refused = False

    # ------------------------------------------------------------ file

    def load(self):
        """Reads the file; a missing file is an empty outbox. A damaged one
        is set aside (renamed to *.damaged) rather than overwritten, and
        OutboxDamaged says where it went."""
        if self.path is None:
            return
        try:
            with open_regular(self.path) as f:
                text = f.read()
            document = json.loads(text)
            entries = [{"text": e["text"], "chats": list(e["chats"]),
                        "for": list(e.get("for", e["chats"]))} for e in document["messages"]]
            if not all(isinstance(e["text"], str)
                       and all(isinstance(c, str) for c in e["chats"] + e["for"])
                       for e in entries):
                raise ValueError("an entry is not text for chats")
            dropped = {str(k): int(v) for k, v in document.get("dropped", {}).items()}
            moved = {str(k): str(v) for k, v in document.get("moved", {}).items()}
            health = dict(document.get("health", {}))
        except FileNotFoundError:
            return
        except NotRegularFile as error:
            self.refused = True
            raise OutboxRefused(f"cannot use the outbox: {error}; left it alone, and "
                                f"undelivered messages are kept in memory only") from None
        except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
            aside = self.path + ".damaged"
            try:
                os.replace(self.path, aside)
            except OSError:
                aside = None
            raise OutboxDamaged(f"cannot read the outbox {self.path} ({error}); "
                                + (f"kept it as {aside}" if aside else "left it in place")) from None
        self.entries, self.dropped, self.moved, self.health = entries, dropped, moved, health
        self._written = text

    def save(self):
        """Writes the file when what it would hold differs from what it
        holds: most passes change nothing here, and each write costs two
        syncs to the disk."""
        if self.path is None or self.refused:
            return
        document = {"version": VERSION, "messages": self.entries,
                    "dropped": {k: v for k, v in self.dropped.items() if v},
                    "moved": self.moved, "health": self.health}
        text = json.dumps(document, ensure_ascii=False, indent=1) + "\n"
        if text == self._written:
            return
        try:
            mode = os.stat(self.path).st_mode
        except FileNotFoundError:
            mode = None
        if mode is not None and not stat.S_ISREG(mode):
            self.refused = True
            raise NotRegularFile(f"{self.path} is {kind(mode)}, not a regular file; left it "
                                 f"alone, and undelivered messages are kept in memory only")
        if self._written is None and not self.entries and not document["dropped"] \
                and not self.moved and not self.health and not os.path.exists(self.path):
            return  # nothing to remember: do not create a file for it
        # Replaced atomically, as the module replaces the state file: a crash
        # leaves the old or the new file.
        kilnguard._replace_file(self.path, text)
        self._written = text

    # ------------------------------------------------------------ queue

    def __len__(self):
        return len(self.entries)

    def add(self, texts, chats):
        """Queues each text for every chat, dropping the oldest entries
        beyond the limit (counted per chat that had not got them)."""
        for text in texts:
            self.entries.append({"text": text, "chats": list(chats), "for": list(chats)})
        while len(self.entries) > self.limit:
            for chat in self.entries.pop(0)["chats"]:
                self.dropped[chat] = self.dropped.get(chat, 0) + 1

    def keep_only(self, chats):
        """Fits what waits to the chats configured now. A message that still
        waited for a chat no longer configured goes to each configured chat
        it was never queued for, so the alerts a wrong chat id could not take
        reach the corrected one; a chat never gets a message twice. What no
        new chat takes over is forgotten, since it would hold places for
        ever. Gives (retargeted, forgotten) deliveries."""
        retargeted = forgotten = 0
        for entry in list(self.entries):
            kept = [chat for chat in entry["chats"] if chat in chats]
            if len(kept) == len(entry["chats"]):
                continue
            newcomers = [chat for chat in chats if chat not in entry["for"]]
            if newcomers:
                entry["for"] += newcomers
                retargeted += len(newcomers)
            else:
                forgotten += len(entry["chats"]) - len(kept)
            entry["chats"] = kept + newcomers
            if not entry["chats"]:
                self.entries.remove(entry)
        self.dropped = {chat: n for chat, n in self.dropped.items() if chat in chats}
        return retargeted, forgotten

    def pending(self, chat):
        """The entries `chat` still has to get, oldest first."""
        return [entry for entry in self.entries if chat in entry["chats"]]

    def delivered(self, entry, chat):
        entry["chats"].remove(chat)
        if not entry["chats"]:
            self.entries.remove(entry)
        self.dropped.pop(chat, None)
