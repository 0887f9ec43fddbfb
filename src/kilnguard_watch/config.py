"""The configuration file (`--config PATH`, TOML): which chats hear about
which subnets, at which threshold, with which level rules.

    threshold = 0.01                 # default for every chat
    commands = true                  # answer /status, /burn, /watch ... in the chats
    admins = [12345]                 # user ids that may change any chat's subscription
    public = true                    # any chat may subscribe itself with /watch
    public_chats = 10000             # ... at most this many
    history_days = 365               # how long rate changes are kept
    digest_day = "monday"            # when the weekly digest comes (UTC)
    digest_hour = 8
    [[chat]]
    id = -1001234567890              # integer or text, as Telegram gives it
    topic = 7                        # optional forum topic
    silent = true                    # optional
    subnets = [1, 12, "20-30"]       # netuids and ranges; "all" (the default)
    threshold = 0.05                 # optional, this chat only
    above = 0.99                     # optional level rules
    below = 0.10
    digest = "weekly"                # optional: a picture and list of the week's changes
                                     # ("off", the default: none)

A file is taken whole or not at all: every mistake in it is reported, each
on one line naming file, line and key, and a monitor never starts on a file
it could only partly use."""

import difflib
import hashlib
import json
import os
import math
import re
import tomllib
from dataclasses import dataclass

from kilnguard_watch.delivery.chats import Chat, parse_chat
from kilnguard_watch.delivery.destinations import KEY_PREFIX, is_destination
from kilnguard_watch.files import NotRegularFile, open_regular
from kilnguard_watch.store.history import DEFAULT_DAYS, LONGEST_DAYS

_NETUIDS = range(0, 65536)


@dataclass(frozen=True)
class ChatConfig:
    chat: Chat
    threshold: float
    subnets: frozenset[int] | None = None  # None: every subnet
    silent: bool = False
    above: float | None = None
    below: float | None = None
    ignored: frozenset[int] = frozenset()  # with every subnet: these left out (/unwatch)
    digest: bool = False  # the weekly digest (/digest)

    def watches(self, netuid):
        return (netuid in self.subnets) if self.subnets is not None else netuid not in self.ignored


@dataclass(frozen=True)
class DestinationConfig:
    """A destination reached through Apprise: its subscription (whose chat
    is the destination's key), the loaded Destination and whether it also
    hears the monitor's own news while Telegram fails."""
    subscription: ChatConfig
    target: object
    fallback: bool = False

    @property
    def key(self):
        return self.subscription.chat.key


def destination_key(url):
    """The key a destination's messages and baseline are kept under: the
    same for the same URL across restarts, and no secret of the URL (a
    hash, not the URL)."""
    return KEY_PREFIX + hashlib.sha256(url.strip().encode("utf-8")).hexdigest()[:16]


def load_destination(url=None, path=None):
    """A DestinationConfig target loaded from `url` or the file at `path`,
    with its key; DestinationError says what is wrong. Apprise is imported
    only here, when a destination is configured."""
    from kilnguard_watch.delivery.destination import Destination

    if path is not None:
        target = Destination.load_file(path)
        with open_regular(path) as file:  # already read whole and checked by load_file
            url = file.read()
    else:
        target = Destination.load(url)
    return target, destination_key(url)


@dataclass(frozen=True)
class Config:
    path: str
    threshold: float
    chats: tuple[ChatConfig, ...]
    commands: bool = False  # answer commands asked in the chats
    admins: frozenset = frozenset()  # user ids that may change any chat's subscription
    public: bool = False  # any chat may subscribe itself with /watch
    most_chats: int = 10_000  # chats that may subscribe themselves, at most
    destinations: tuple[DestinationConfig, ...] = ()
    history_days: int = DEFAULT_DAYS  # how long the history of rates is kept
    digest_day: int = 0  # the weekday of the weekly digest, Monday 0 (as time.gmtime counts)
    digest_hour: int = 8  # ... and its hour, UTC


class ConfigInvalid(Exception):
    """Everything wrong with a configuration file, one problem a line:
    `PATH:LINE: KEY: what is wrong (the value)`."""

    def __init__(self, problems):
        self.problems = list(problems)
        super().__init__("\n".join(self.problems))


def everything(chats, threshold, silent, destinations=(), history_days=DEFAULT_DAYS):
    """What the command-line flags alone mean: every chat (and every
    destination, given as (target, key)) hears about every subnet at one
    threshold."""
    return Config("", threshold, tuple(ChatConfig(chat, threshold, silent=silent) for chat in chats),
                  destinations=tuple(DestinationConfig(ChatConfig(Chat(key), threshold), target)
                                     for target, key in destinations),
                  history_days=history_days)


def load(path, default_threshold=0.01, default_history_days=DEFAULT_DAYS):
    """The configuration in the file at `path`; ConfigInvalid lists every
    mistake in it. The defaults stand for keys the file leaves out."""
    text = _read_whole(path)
    try:
        document = tomllib.loads(text)
    except ValueError as error:  # TOMLDecodeError, or an integer too long to convert
        raise ConfigInvalid([_syntax_problem(path, error)]) from None
    return _Reader(path, _KeyLines(text)).config(document, default_threshold, default_history_days)


def _read_whole(path):
    try:
        with open_regular(path) as file:
            data = file.buffer.read()
    except NotRegularFile as error:
        raise ConfigInvalid([str(error)]) from None
    except (OSError, ValueError) as error:  # ValueError: a NUL in the path
        raise ConfigInvalid([f"{path}: cannot read: {getattr(error, 'strerror', None) or error}"]) from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise ConfigInvalid([f"{path}:{line}: not UTF-8 text (byte 0x{data[error.start]:02x})"]) from None


def _syntax_problem(path, error):
    message = str(error)
    at = re.fullmatch(r"(.*) \(at line (\d+), column (\d+)\)", message, re.DOTALL)
    if at:
        return f"{path}:{at[2]}:{at[3]}: not valid TOML: {at[1]}"
    return f"{path}: not valid TOML: {message}"


class _Wrong(Exception):
    """What is wrong with one value, as one or more texts."""

    def __init__(self, *messages):
        super().__init__(*messages)
        self.messages = messages


# Readers of one value each: the value as the program uses it, or _Wrong.

def _fraction(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _Wrong(f"must be a number from 0 to 1, not {_kind(value)} ({_shown(value)})")
    if not 0 <= value <= 1:  # NaN fails this too
        raise _Wrong(f"must be a number from 0 to 1 ({_shown(value)})")
    return float(value)


def _chat_id(value):
    if isinstance(value, int) and not isinstance(value, bool):
        return parse_chat(str(value)).id
    if not isinstance(value, str):
        raise _Wrong(f'must be an integer or text like "@channelname", not {_kind(value)} ({_shown(value)})')
    if ":" in value:
        raise _Wrong(f"give the topic as topic = N, not after a colon ({_shown(value)})")
    try:
        return parse_chat(value).id
    except ValueError:
        raise _Wrong("must be an integer, numeric text or @channelname "
                     f"(5 or more letters, digits or _) ({_shown(value)})") from None


def _topic(value):
    if isinstance(value, bool) or not isinstance(value, int):
        raise _Wrong(f"must be a whole number above 0, not {_kind(value)} ({_shown(value)})")
    if value <= 0:
        raise _Wrong(f"must be a whole number above 0 ({value})")
    return value


def _flag(value):
    if not isinstance(value, bool):
        raise _Wrong(f"must be true or false, not {_kind(value)} ({_shown(value)})")
    return value


def _subnets(value):
    if value == "all":
        return None
    if not isinstance(value, list):
        raise _Wrong(f"must be \"all\" or a list of netuids and ranges like \"20-30\" ({_shown(value)})")
    if not value:
        raise _Wrong("is an empty list, which watches nothing (leave it out, or \"all\", for every subnet)")
    netuids, wrong = set(), []
    for item in value:
        try:
            netuids.update(_netuids(item))
        except _Wrong as error:
            wrong.extend(error.messages)
    if wrong:
        raise _Wrong(*wrong)
    return frozenset(netuids)


def _netuids(item):
    span = f"{_NETUIDS.start}..{_NETUIDS.stop - 1}"
    if isinstance(item, int) and not isinstance(item, bool):
        if item not in _NETUIDS:
            raise _Wrong(f"netuid out of range {span} ({item})")
        return (item,)
    bounds = re.fullmatch(r"([0-9]+)-([0-9]+)", item) if isinstance(item, str) else None
    if item == "all":
        raise _Wrong('"all" stands alone, not in a list: subnets = "all"')
    if not bounds:
        raise _Wrong(f"not a netuid or a range like \"20-30\" ({_shown(item)})")
    # More digits than any netuid has: out of range without converting
    # a text int() may refuse for its length.
    first, last = (int(b) if len(b) <= 6 else _NETUIDS.stop for b in bounds.groups())
    if first not in _NETUIDS or last not in _NETUIDS:
        raise _Wrong(f"range outside {span} ({_shown(item)})")
    if first > last:
        raise _Wrong(f"range starts above its end ({_shown(item)})")
    return range(first, last + 1)


def days_problem(value):
    """What is wrong with a number of days of history, or None."""
    if isinstance(value, bool) or not isinstance(value, int):
        return f"must be a whole number of days from 1 to {LONGEST_DAYS}, not {_kind(value)}"
    if not 1 <= value <= LONGEST_DAYS:
        return f"must be a whole number of days from 1 to {LONGEST_DAYS}"
    return None


def _days(value):
    problem = days_problem(value)
    if problem is not None:
        raise _Wrong(f"{problem} ({_shown(value)})")
    return value


WEEKDAYS = ("monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday")


def _weekday(value):
    if not isinstance(value, str) or value.lower() not in WEEKDAYS:
        raise _Wrong(f'must be a day of the week, "monday" to "sunday" ({_shown(value)})')
    return WEEKDAYS.index(value.lower())


def _hour(value):
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 23:
        raise _Wrong(f"must be a whole hour from 0 to 23, UTC ({_shown(value)})")
    return value


def _digest(value):
    if value not in ("weekly", "off"):
        raise _Wrong(f'must be "weekly" or "off" ({_shown(value)})')
    return value == "weekly"


def _user_ids(value):
    if not isinstance(value, list) or not all(
            isinstance(item, int) and not isinstance(item, bool) and item > 0 for item in value):
        raise _Wrong(f"must be a list of Telegram user ids (whole numbers above 0), not "
                     f"{_shown(value)}")
    return frozenset(value)


def _chat_count(value):
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= 1_000_000:
        raise _Wrong(f"must be a whole number from 1 to 1000000 ({_shown(value)})")
    return value


_TOP_KEYS = {"threshold": _fraction, "commands": _flag, "admins": _user_ids, "public": _flag,
             "public_chats": _chat_count, "history_days": _days, "digest_day": _weekday,
             "digest_hour": _hour}  # and the tables
_CHAT_KEYS = {
    "id": _chat_id,
    "topic": _topic,
    "silent": _flag,
    "subnets": _subnets,
    "threshold": _fraction,
    "above": _fraction,
    "below": _fraction,
    "digest": _digest,
}


def _text(value):
    if not isinstance(value, str) or not value.strip():
        raise _Wrong(f"must be text, not {_kind(value) if not isinstance(value, str) else 'empty'}")
    return value


_DESTINATION_KEYS = {
    "url": _text,
    "url_file": _text,
    "subnets": _subnets,
    "threshold": _fraction,
    "above": _fraction,
    "below": _fraction,
    "fallback": _flag,
}


class _Reader:
    """Checks a parsed document, collecting problems with their lines."""

    def __init__(self, path, lines):
        self.path = path
        self.lines = lines
        self.problems = []  # (line, text)
        self.named = []  # (Chat, line of its id) of each chat whose id and topic are good

    def wrong(self, line, key, message):
        self.problems.append((line, f"{self.path}:{line}: {key}: {message}"))

    def config(self, document, default_threshold, default_history_days):
        top = self.values(document, _TOP_KEYS, (), skip=("chat", "destination"))
        threshold = top.get("threshold", default_threshold)
        public = top.get("public", False)
        chats = tuple(self.chat(table, index, threshold)
                      for index, table in self.chat_tables(document, public))
        destinations = tuple(self.destination(table, index, threshold)
                             for index, table in self.tables(document, "destination"))
        self.duplicates()
        if self.problems:
            self.problems.sort(key=lambda problem: problem[0])  # file order
            raise ConfigInvalid([text for _, text in self.problems])
        return Config(self.path, threshold, chats, commands=top.get("commands", False) or public,
                      admins=top.get("admins", frozenset()), public=public,
                      most_chats=top.get("public_chats", Config.most_chats),
                      destinations=destinations,
                      history_days=top.get("history_days", default_history_days),
                      digest_day=top.get("digest_day", Config.digest_day),
                      digest_hour=top.get("digest_hour", Config.digest_hour))

    def values(self, table, readers, where, skip=()):
        """The table's known keys read; problems for the others."""
        read = {}
        for key, value in table.items():
            if key in skip:
                continue
            line = self.lines.line(where, key)
            name = (f"{where[0]}." if where else "") + _key_text(key)
            if key not in readers:
                self.wrong(line, name, _unknown(key, list(readers) + list(skip), where))
                continue
            try:
                read[key] = readers[key](value)
            except _Wrong as error:
                for message in error.messages:
                    self.wrong(line, name, message)
        return read

    def chat_tables(self, document, public):
        if "chat" not in document or document["chat"] == []:
            if not public:  # a public monitor may serve only the chats that subscribe
                self.wrong(1, "chat", "no [[chat]] table: name at least one chat to send alerts "
                                      "to (or public = true)")
            return []
        chats = document["chat"]
        line = self.lines.line((), "chat")
        if not isinstance(chats, list):
            self.wrong(line, "chat", f"must be [[chat]] tables (an array of tables), not {_kind(chats)}")
            return []
        if not all(isinstance(chat, dict) for chat in chats):
            self.wrong(line, "chat", f"must be [[chat]] tables, each a table ({_shown(chats)})")
        return [(index, chat) for index, chat in enumerate(chats) if isinstance(chat, dict)]

    def tables(self, document, name):
        """The [[name]] tables of the document, if any, as (index, table)."""
        found = document.get(name, [])
        if not isinstance(found, list) or not all(isinstance(t, dict) for t in found):
            self.wrong(self.lines.line((), name), name,
                       f"must be [[{name}]] tables, each a table ({_shown(found)})")
            return []
        return list(enumerate(found))

    def destination(self, table, index, file_threshold):
        """The destination's configuration, its URL loaded, or None when it
        has a mistake."""
        from kilnguard_watch.delivery.destination import DestinationError

        where = ("destination", index)
        before = len(self.problems)
        read = self.values(table, _DESTINATION_KEYS, where)
        given = [key for key in ("url", "url_file") if key in table]
        if len(given) != 1:
            self.wrong(self.lines.line(where), "destination.url",
                       "give url or url_file (one of them)" if not given else
                       "give url or url_file, not both")
        self.levels(read, where, "destination")
        if len(self.problems) > before:
            return None
        key = given[0]
        try:
            if key == "url":
                target, target_key = load_destination(url=read["url"])
            else:
                path = os.path.join(os.path.dirname(self.path), read["url_file"])
                target, target_key = load_destination(path=path)
        except (DestinationError, OSError) as error:
            self.wrong(self.lines.line(where, key), f"destination.{key}", str(error))
            return None
        self.named.append((Chat(target_key), self.lines.line(where, key)))
        return DestinationConfig(
            ChatConfig(Chat(target_key), read.get("threshold", file_threshold),
                       subnets=read.get("subnets"), above=read.get("above"),
                       below=read.get("below")),
            target, fallback=read.get("fallback", False))

    def levels(self, read, where, name):
        if "above" in read and "below" in read and not read["below"] < read["above"]:
            self.wrong(self.lines.line(where, "below"), f"{name}.below",
                       f"must be under above ({_shown(read['below'])} is not under {_shown(read['above'])})")

    def chat(self, table, index, file_threshold):
        """The chat's configuration, or None when it has a mistake."""
        where = ("chat", index)
        before = len(self.problems)
        read = self.values(table, _CHAT_KEYS, where)
        if "id" not in table:
            self.wrong(self.lines.line(where), "chat.id", "missing: every [[chat]] needs the chat's id")
        self.levels(read, where, "chat")
        if "id" in read and ("topic" in read or "topic" not in table):
            chat = Chat(read["id"], read.get("topic"))
            self.named.append((chat, self.lines.line(where, "id")))
        if len(self.problems) > before:
            return None
        return ChatConfig(chat, read.get("threshold", file_threshold), subnets=read.get("subnets"),
                          silent=read.get("silent", False), above=read.get("above"), below=read.get("below"),
                          digest=read.get("digest", False))

    def duplicates(self):
        first = {}
        for chat, line in self.named:
            # Telegram's @names ignore case: @Channel and @channel are one chat.
            same = (chat.id.lower(), chat.topic)
            if same not in first:
                first[same] = line
                continue
            if is_destination(chat.id):
                self.wrong(line, "destination.url", f"the same destination is configured "
                                                    f"twice (first at line {first[same]})")
                continue
            topic = "" if chat.topic is None else f" topic {chat.topic}"
            self.wrong(line, "chat.id",
                       f"chat {chat.id}{topic} is configured twice (first at line {first[same]})")


def _unknown(key, known, where):
    if not where and key in _CHAT_KEYS:
        return "unknown key at the top level (it belongs in a [[chat]] table)"
    close = difflib.get_close_matches(key, sorted(known), n=1)
    return f"unknown key (did you mean {close[0]}?)" if close else "unknown key"


def _kind(value):
    for kind, name in ((bool, "true/false"), (int, "an integer"), (float, "a number"), (str, "text"),
                       (list, "a list"), (dict, "a table")):
        if isinstance(value, kind):
            return name
    return "a date or time"


def _shown(value, limit=60):
    """The value as TOML writes it, cut short if long."""
    text = _toml(value)
    return text if len(text) <= limit else text[:limit] + "…"


def _toml(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, float) and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, list):
        return "[" + ", ".join(_toml(item) for item in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{_key_text(k)} = {_toml(v)}" for k, v in value.items()) + "}"
    return value.isoformat() if hasattr(value, "isoformat") else repr(value)


def _key_text(key):
    return key if re.fullmatch(r"[A-Za-z0-9_-]+", key) else _toml(key)


class _KeyLines:
    """Where each key of each table first appears. tomllib keeps no
    positions, so a light scan of the lines finds them: table headers
    (`[[chat]]` counted in order, any other header a table of its own), and
    `key =`, `"key" =` or the first part of `a.b =` under each. Lines inside
    multi-line strings are skipped, so a key-looking line there is not taken."""

    _HEADER = re.compile(r"\s*(\[\[?)\s*([A-Za-z0-9_.\- \"']+?)\s*\]\]?\s*(#.*)?")
    _KEY = re.compile(r"\s*(?:\"([^\"\\]*)\"|'([^']*)'|([A-Za-z0-9_-]+))\s*[=.]")

    def __init__(self, text):
        top = {"": 1}  # key "" holds the table's own header line
        self.tables = {(): top}
        counts = {}
        table = top
        open_string = None
        for number, line in enumerate(text.split("\n"), 1):
            if open_string:
                close = line.find(open_string)
                if close < 0:
                    continue
                open_string = _left_open(line[close + 3:])
                continue
            header, key = self._HEADER.fullmatch(line.rstrip("\r")), self._KEY.match(line)
            if header:
                name = re.sub(r"\s*\.\s*", ".", header[2])
                first, _, rest = name.partition(".")
                if header[1] == "[[":
                    counts[name] = counts.get(name, -1) + 1
                    where = (name, counts[name])
                else:
                    where = (name,)
                table = self.tables.setdefault(where, {"": number})
                # A sub-table's name is a key of the table it sits in.
                if rest and first in counts:
                    self.tables[(first, counts[first])].setdefault(rest.partition(".")[0], number)
                else:
                    top.setdefault(first, number)
            elif key:
                table.setdefault(next(part for part in key.groups() if part is not None), number)
            open_string = _left_open(line)

    def line(self, where, key=""):
        """The line of `key` in the table at `where` (() the top level,
        ("chat", 0) the first [[chat]]); else the table's header; else 1."""
        table = self.tables.get(where)
        if table is None:  # chats written inline, as chat = [{...}]
            return self.tables[()].get("chat", 1)
        return table.get(key) or table[""]


def _left_open(line):
    """The multi-line string delimiter a line opens and does not close."""
    position = 0
    while True:
        found = [(line.find(mark, position), mark) for mark in ('"""', "'''") if mark in line[position:]]
        if not found:
            return None
        start, mark = min(found)
        end = line.find(mark, start + 3)
        if end < 0:
            return mark
        position = end + 3
