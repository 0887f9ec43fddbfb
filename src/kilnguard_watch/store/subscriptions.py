"""What each chat watches, as changed in the chat with /watch and /unwatch,
whether it has the weekly digest (/digest), and the chats that subscribed
themselves (public mode).

A configured chat starts from its table in the configuration file (or the
command-line flags); its row here holds what the chat changed, together with
the configured subscription it changed. When the file later says something
else for that chat, the file wins and the chat's own changes are forgotten
with one log line: an operator's edit is never shadowed by an old /watch.

A chat's baseline does not follow the subnets it does not watch, so a subnet
it starts watching has a stale rate there: such netuids stay `fresh` until
the next pass takes their current rate into the baseline without an alert.
Otherwise /watch would report every move made while the chat was not
listening.

Changes are made by the thread that answers commands, inside the
transaction that confirms the update (each change reads the row it changes
there, so two commands in one batch both count); a pass reads the
subscriptions afresh from the database."""

import dataclasses
import json

from kilnguard_watch.config import ChatConfig
from kilnguard_watch.delivery.chats import parse_chat
from kilnguard_watch.store.database import chat_and_topics

MOST_PUBLIC_CHATS = 10_000


@dataclasses.dataclass(frozen=True)
class Current:
    """The subscriptions a pass works with: every chat served (configured
    first, in their order, then self-subscribed ones), and the fresh
    netuids of chats that just started watching them."""
    chats: list
    fresh: dict


def _netuid_list(netuids):
    return json.dumps(sorted(netuids))


def _fingerprint(sub):
    """What of a configured subscription the chat may change: when this
    differs from what a row recorded, the file was edited since. The digest
    is named only when on, so the rows written before there was one still
    match."""
    return json.dumps({"subnets": None if sub.subnets is None else sorted(sub.subnets),
                       "threshold": sub.threshold, **({"digest": True} if sub.digest else {})})


def _netuids(text):
    """A stored netuid list; a damaged one reads as none."""
    try:
        values = json.loads(text)
    except (TypeError, ValueError):
        return frozenset()
    if not isinstance(values, list):
        return frozenset()
    return frozenset(v for v in values if isinstance(v, int) and not isinstance(v, bool))


class Subscriptions:
    """`configured`: ChatConfig of the chats the operator named; `threshold`
    the one self-subscribed chats start with; `public`: whether any chat may
    subscribe itself, at most `most` chats at a time."""

    COLUMNS = "chat, subnets, ignored, threshold, fresh, configured, digest"

    def __init__(self, database, configured, threshold, public=False, most=MOST_PUBLIC_CHATS):
        self.database = database
        self.configured = {sub.chat.key: sub for sub in configured}
        self.threshold = threshold
        self.public = public
        self.most = most

    def forget_edited(self):
        """At start: drops the chat changes of chats whose configuration
        changed or that are no longer configured. Gives the log lines."""
        lines = []
        with self.database.transaction() as connection:
            for key, recorded in connection.execute(
                    "SELECT chat, configured FROM subscriptions WHERE configured IS NOT NULL"
            ).fetchall():
                sub = self.configured.get(key)
                if sub is not None and _fingerprint(sub) == recorded:
                    continue
                connection.execute("DELETE FROM subscriptions WHERE chat = ?", (key,))
                lines.append(f"chat {key}: " + (
                    "its subscription in the configuration changed, so what /watch, "
                    "/unwatch and /digest changed in the chat is forgotten" if sub is not None else
                    "no longer configured; what /watch, /unwatch and /digest changed there is "
                    "forgotten"))
        return lines

    # ------------------------------------------------------------ reading

    def current(self):
        """The subscriptions now, for a pass (one query)."""
        rows = {row[0]: row for row in self.database.execute(
            f"SELECT {self.COLUMNS} FROM subscriptions")}
        chats, fresh = [], {}
        for key, sub in self.configured.items():
            row = rows.pop(key, None)
            chats.append(sub if row is None else self._applied(sub, row))
            if row is not None and _netuids(row[4]):
                fresh[key] = _netuids(row[4])
        if self.public:
            for key, row in sorted(rows.items()):
                if row[5] is not None:
                    continue  # left by a configured chat; forgotten at the next start
                sub = self._own(row)
                if sub is not None:
                    chats.append(sub)
                    if _netuids(row[4]):
                        fresh[key] = _netuids(row[4])
        return Current(chats, fresh)

    def of_chat(self, key, connection=None):
        """The chat's subscription now, or None when it hears nothing."""
        read = (connection or self.database).execute(
            f"SELECT {self.COLUMNS} FROM subscriptions WHERE chat = ?", (key,)).fetchone()
        sub = self.configured.get(key)
        if sub is not None:
            return sub if read is None else self._applied(sub, read)
        if read is None or read[5] is not None or not self.public:
            return None
        return self._own(read)

    def public_chats(self, connection=None):
        """The keys of the chats that subscribed themselves."""
        return {key for key, in (connection or self.database).execute(
            "SELECT chat FROM subscriptions WHERE configured IS NULL")}

    def _applied(self, sub, row):
        _, subnets, ignored, threshold, _, _, digest = row
        return dataclasses.replace(sub, subnets=None if subnets is None else _netuids(subnets),
                                   ignored=_netuids(ignored), threshold=threshold,
                                   digest=sub.digest if digest is None else digest == 1)

    def _own(self, row):
        key, subnets, ignored, threshold, _, _, digest = row
        try:
            chat = parse_chat(key)
        except ValueError:
            return None  # not a key this program wrote
        return ChatConfig(chat, threshold, subnets=None if subnets is None else _netuids(subnets),
                          ignored=_netuids(ignored), digest=digest == 1)

    # ------------------------------------------------------------ changes
    # Each gives a callable that makes the change inside the transaction
    # it is given.

    def watch(self, key, netuids, threshold, listed):
        """Adds `netuids` (None: every subnet) to what the chat watches,
        with its threshold changed when `threshold` is not None; `listed`:
        the netuids of the last listing, which "every subnet" starts
        watching afresh. A chat that is not served yet subscribes itself,
        unless `most` chats already did."""

        def change(connection):
            sub = self.of_chat(key, connection)
            fresh = self._fresh(connection, key)
            if sub is None:
                if key not in self.configured and len(self.public_chats(connection)) >= self.most:
                    return
                sub = ChatConfig(parse_chat(key), self.threshold, subnets=frozenset())
            wanted = set(listed) if netuids is None else set(netuids)
            fresh |= {netuid for netuid in wanted if not sub.watches(netuid)}
            if netuids is None:
                subnets, ignored = None, frozenset()
            elif sub.subnets is None:
                subnets, ignored = None, sub.ignored - wanted
            else:
                subnets, ignored = sub.subnets | wanted, frozenset()
            self._write(connection, key, subnets, ignored,
                        sub.threshold if threshold is None else threshold, fresh)

        return change

    def unwatch(self, key, netuids):
        """Takes `netuids` (None: every subnet) from what the chat watches;
        a self-subscribed chat left watching nothing is unsubscribed."""

        def change(connection):
            sub = self.of_chat(key, connection)
            if sub is None:
                return
            gone = None if netuids is None else set(netuids)
            if gone is None:
                subnets, ignored = frozenset(), frozenset()
            elif sub.subnets is None:
                subnets, ignored = None, sub.ignored | gone
            else:
                subnets, ignored = sub.subnets - gone, frozenset()
            if key not in self.configured and subnets is not None and not subnets:
                connection.execute("DELETE FROM subscriptions WHERE chat = ?", (key,))
                return
            fresh = frozenset() if gone is None else self._fresh(connection, key) - gone
            self._write(connection, key, subnets, ignored, sub.threshold, fresh)

        return change

    def digest(self, key, weekly):
        """Turns the chat's weekly digest on (`weekly`) or off; a chat that
        hears nothing is left alone."""

        def change(connection):
            sub = self.of_chat(key, connection)
            if sub is None:
                return
            if connection.execute("SELECT 1 FROM subscriptions WHERE chat = ?",
                                  (key,)).fetchone() is None:
                # A configured chat's first change: the row holds what the file says.
                self._write(connection, key, sub.subnets, sub.ignored, sub.threshold, frozenset())
            connection.execute("UPDATE subscriptions SET digest = ? WHERE chat = ?",
                               (int(weekly), key))

        return change

    def took_fresh(self, connection, taken):
        """Inside the pass's transaction: the netuids `taken` ({key: set})
        are in their chats' baselines now. A /watch since the pass read
        them keeps its own."""
        for key, netuids in taken.items():
            left = self._fresh(connection, key) - netuids
            connection.execute("UPDATE subscriptions SET fresh = ? WHERE chat = ?",
                               (_netuid_list(left), key))

    def drop(self, connection, chat_id):
        """Inside the caller's transaction: the chat (every topic of it)
        blocked the bot or is gone; its self-subscriptions end. Gives how
        many ended."""
        return connection.execute(
            f"DELETE FROM subscriptions WHERE configured IS NULL AND {chat_and_topics('chat')}",
            (chat_id,)).rowcount

    def _fresh(self, connection, key):
        row = connection.execute("SELECT fresh FROM subscriptions WHERE chat = ?",
                                 (key,)).fetchone()
        return set() if row is None else set(_netuids(row[0]))

    def _write(self, connection, key, subnets, ignored, threshold, fresh):
        """What the chat watches; its digest stays as it was."""
        sub = self.configured.get(key)
        connection.execute(
            "INSERT INTO subscriptions (chat, subnets, ignored, threshold, fresh, configured) "
            "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (chat) DO UPDATE SET "
            "subnets = excluded.subnets, ignored = excluded.ignored, "
            "threshold = excluded.threshold, fresh = excluded.fresh, "
            "configured = excluded.configured",
            (key, None if subnets is None else _netuid_list(subnets), _netuid_list(ignored),
             threshold, _netuid_list(fresh), None if sub is None else _fingerprint(sub)))
