"""The connection to the host database and its schema.

WAL lets a reader (a second `kilnguard-watch` command, sqlite3 itself) look
while the monitor writes, and full synchronous commits mean a transaction
that returned is on the disk: a SIGKILL or a power cut right after loses
nothing that was committed. A file that cannot be used as a database is left
exactly as it is, never replaced: the host then keeps its data in memory for
this run and says so once."""

import contextlib
import os
import sqlite3
import stat
import threading
import urllib.parse

from kilnguard_watch.files import kind

SCHEMA_VERSION = 6
# Ordered for reading: the outbox by chat, oldest first; a chat's baseline is
# a shared set of rates (most chats were told the same things at the same
# times, so they share one copy).
SCHEMA = """
CREATE TABLE IF NOT EXISTS outbox (
    id INTEGER PRIMARY KEY,          -- the order of queueing: oldest first
    chat TEXT NOT NULL,              -- the chat's key: ID or ID:TOPIC
    text TEXT NOT NULL,              -- one Telegram message, numbered if a piece
    tries INTEGER NOT NULL DEFAULT 0, -- answers that refused this very message
    priority INTEGER NOT NULL DEFAULT 0, -- 0 alerts and the monitor's news, 1 answers
    photo BLOB                       -- a PNG sent with the text as its caption; NULL: text only
);
CREATE INDEX IF NOT EXISTS outbox_by_chat ON outbox (chat, priority, id);
CREATE TABLE IF NOT EXISTS set_aside (
    id INTEGER PRIMARY KEY,
    chat TEXT NOT NULL,
    text TEXT,
    error TEXT NOT NULL,
    at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))
);
CREATE TABLE IF NOT EXISTS baselines (
    id INTEGER PRIMARY KEY,
    rates TEXT NOT NULL              -- JSON object: netuid text -> rate text
);
CREATE TABLE IF NOT EXISTS chats (
    key TEXT PRIMARY KEY,
    baseline INTEGER REFERENCES baselines (id),
    dropped INTEGER NOT NULL DEFAULT 0  -- messages dropped since its last delivery
);
CREATE TABLE IF NOT EXISTS moved (
    chat_id TEXT PRIMARY KEY,        -- a group Telegram upgraded to a supergroup
    new_id TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS mutes (
    chat TEXT NOT NULL,              -- the chat's key, as in chats
    netuid INTEGER NOT NULL,         -- -1: every subnet
    until REAL NOT NULL,             -- when it ends (seconds since the epoch)
    PRIMARY KEY (chat, netuid)
);
CREATE TABLE IF NOT EXISTS subscriptions (
    chat TEXT PRIMARY KEY,           -- the chat's key, as in chats
    subnets TEXT,                    -- JSON list of netuids watched; NULL: every subnet
    ignored TEXT NOT NULL DEFAULT '[]', -- with every subnet: the ones left out
    threshold REAL NOT NULL,
    fresh TEXT NOT NULL DEFAULT '[]', -- netuids whose baseline the next pass takes afresh
    configured TEXT,                 -- the configured subscription this changed; NULL: the
                                     -- chat subscribed itself
    digest INTEGER                   -- the weekly digest chosen in the chat (1 on, 0 off);
                                     -- NULL: as configured
);
CREATE TABLE IF NOT EXISTS meta (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS history_passes (
    at INTEGER NOT NULL,             -- when it ran (seconds since the epoch)
    kind TEXT NOT NULL,              -- pass or snapshot
    result TEXT NOT NULL,            -- ok, failed or error
    subnets INTEGER,                 -- subnets in its listing, NULL without a usable one
    duration REAL NOT NULL           -- seconds
);
CREATE INDEX IF NOT EXISTS history_passes_by_time ON history_passes (at);
CREATE TABLE IF NOT EXISTS history_recent (
    at INTEGER NOT NULL,             -- one pass's changes, until their day is packed
    changes BLOB NOT NULL            -- zlib of JSON [[netuid, ...], [old, ...], [new, ...]]
);
CREATE TABLE IF NOT EXISTS history_blocks (
    netuid INTEGER NOT NULL,
    day INTEGER NOT NULL,            -- UTC day: seconds since the epoch // 86400
    part INTEGER NOT NULL,           -- the first history_recent row it was packed from
    changes INTEGER NOT NULL,
    last TEXT NOT NULL,              -- its last rate
    data BLOB NOT NULL,              -- the day's changes, compressed (history_blocks.py)
    UNIQUE (netuid, day, part)
);
CREATE INDEX IF NOT EXISTS history_blocks_by_day ON history_blocks (day);
"""


def beside_state(state_path, suffix):
    """The path of a file kept beside the state file: `burn_state.json` and
    ".kilnguard.db" give `burn_state.kilnguard.db`, in the same folder."""
    root, ext = os.path.splitext(state_path)
    return (root if ext == ".json" else state_path) + suffix


def chat_and_topics(column):
    """SQL true for rows of one chat, its topics included (`ID` and
    `ID:TOPIC` keys), the chat id given as the parameter ?1."""
    return f"({column} = ?1 OR substr({column}, 1, length(?1) + 1) = ?1 || ':')"


def database_path(state_path):
    return beside_state(state_path, ".kilnguard.db")


def bytes_on_disk(path):
    """What the database at `path` takes on the disk: the main file and its
    write-ahead log, which holds the latest commits until a checkpoint
    copies them back (the shared-memory index beside them is not data)."""
    total = 0
    for name in (path, path + "-wal"):
        try:
            total += os.stat(name).st_size
        except OSError:  # no log (the monitor closed it), or not ours to look at
            pass
    return total


def read_only(path):
    """A connection that only reads the database at `path`, beside a monitor
    that may be writing it (a WAL reader): it never creates, migrates or
    changes the file. FileNotFoundError when there is none; sqlite3.Error
    when it cannot be read, or was written by a newer kilnguard-watch."""
    mode = os.stat(path).st_mode
    if not stat.S_ISREG(mode):
        raise sqlite3.DatabaseError(f"{path} is {kind(mode)}, not a regular file")
    connection = sqlite3.connect(f"file:{urllib.parse.quote(path)}?mode=ro", uri=True,
                                 check_same_thread=False)
    try:
        connection.execute("PRAGMA busy_timeout = 5000")
        connection.execute("PRAGMA query_only = ON")
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise sqlite3.DatabaseError(f"{path} was written by a newer kilnguard-watch "
                                        f"(schema {version})")
    except BaseException:
        connection.close()
        raise
    return connection


class Database:
    """One connection, shared by the host's threads one at a time: `lock`
    is held for each statement and for a whole transaction. `path` None
    keeps everything in memory (a dry run, which must not touch the real
    data)."""

    def __init__(self, path):
        self.path = path
        self.in_memory = path is None
        self.connection = None
        self.lock = threading.RLock()

    def open(self):
        """Opens (or creates) the database; gives None, or the one line that
        says why the file could not be used and the data lives in memory."""
        problem = None
        if self.path is not None:
            try:
                self.connection = self._connect(self.path)
            except (sqlite3.Error, OSError) as error:
                problem = (f"cannot use the database {self.path} ({error}): left it as it is; "
                           f"until it is repaired or moved away, undelivered messages and "
                           f"baselines are kept in memory only")
                self.in_memory = True
        if self.connection is None:
            self.connection = self._connect(":memory:")
        return problem

    def _connect(self, path):
        if path != ":memory:":
            try:
                mode = os.stat(path).st_mode
            except FileNotFoundError:
                pass
            else:
                if not stat.S_ISREG(mode):
                    raise OSError(f"{path} is {kind(mode)}, not a regular file")
        # Autocommit mode: every transaction is an explicit BEGIN ... COMMIT.
        connection = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        try:
            connection.execute("PRAGMA busy_timeout = 5000")
            version = connection.execute("PRAGMA user_version").fetchone()[0]
            if version > SCHEMA_VERSION:
                raise sqlite3.DatabaseError(f"written by a newer kilnguard-watch "
                                            f"(schema {version})")
            if path != ":memory:":
                connection.execute("PRAGMA journal_mode = WAL")
            connection.execute("PRAGMA synchronous = FULL")
            if version == 1:  # before command answers waited behind alerts
                connection.execute("ALTER TABLE outbox ADD COLUMN priority INTEGER NOT NULL "
                                   "DEFAULT 0")
                connection.execute("DROP INDEX IF EXISTS outbox_by_chat")
            if 1 <= version < 5:  # before pictures
                connection.execute("ALTER TABLE outbox ADD COLUMN photo BLOB")
            connection.executescript(SCHEMA)
            columns = {row[1] for row in connection.execute("PRAGMA table_info(subscriptions)")}
            if "digest" not in columns:  # before the weekly digest
                connection.execute("ALTER TABLE subscriptions ADD COLUMN digest INTEGER")
            connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            problem = connection.execute("PRAGMA quick_check").fetchone()[0]
            if problem != "ok":
                raise sqlite3.DatabaseError(f"damaged: {problem}")
        except BaseException:
            connection.close()
            raise
        return connection

    @contextlib.contextmanager
    def transaction(self, durable=True):
        """BEGIN IMMEDIATE ... COMMIT, rolled back on any error: the work
        inside is on the disk whole or not at all. Not `durable`, the commit
        does not wait for the disk (synchronous NORMAL, which in WAL mode
        keeps the database whole): a power cut may take this commit back,
        and the next durable commit takes it to the disk with its own. For
        what may be lost that way (the history's records), never for what
        the host promised (the outbox, the baselines)."""
        with self.lock:
            connection = self.connection
            if not durable:
                connection.execute("PRAGMA synchronous = NORMAL")
            try:
                connection.execute("BEGIN IMMEDIATE")
                try:
                    yield connection
                    connection.execute("COMMIT")
                except BaseException:
                    # A COMMIT that failed (a full disk) may leave the transaction open.
                    if connection.in_transaction:
                        connection.execute("ROLLBACK")
                    raise
            finally:
                if not durable:
                    connection.execute("PRAGMA synchronous = FULL")

    def execute(self, sql, parameters=()):
        """One statement, its rows read whole under the lock."""
        with self.lock:
            return _Rows(self.connection.execute(sql, parameters).fetchall())

    def bytes_on_disk(self):
        """The file's size with its write-ahead log; None in memory."""
        return None if self.in_memory else bytes_on_disk(self.path)

    def close(self):
        if self.connection is not None:
            self.connection.close()
            self.connection = None


class _Rows(list):
    """Rows already fetched, read like a cursor."""

    def fetchone(self):
        return self[0] if self else None

    def fetchall(self):
        return list(self)
