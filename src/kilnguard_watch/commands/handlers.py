"""The answers to chat commands: who is served, how often, and what each
command says. Pure logic: the host hands in what the monitor knows (a
MonitorView) and queues the answers; nothing here does I/O.

Every command is a row of COMMANDS; the menu, /help and the dispatch all
read that table, so a command added there is offered everywhere at once."""

import collections
import re
import time
from dataclasses import dataclass
from typing import Callable, Mapping, Protocol

from kilnguard_watch.commands.incoming import Incoming
from kilnguard_watch.commands.parse import parse
from kilnguard_watch.commands.words import (MOST_SUBNETS, BadArgument, fit, netuid_of,
                                            netuid_order, netuids, quoted, size_text,
                                            spans, subnet_or_all, threshold_of, utc, watched_text)
from kilnguard_watch.digest.schedule import Schedule
from kilnguard_watch.rates import rate_value
from kilnguard_watch.store import mutes

PER_MINUTE = 20  # commands a chat may send in any 60 seconds
WINDOW = 60.0
IGNORED_LOG_EVERY = 60.0  # seconds between log lines about one unserved chat
IGNORED_CHATS_KEPT = 10_000  # unserved chats remembered for that, newest kept
MOST_WATCHED = 1024  # per /watch: a whole listing
TOP_DEFAULT = 10
NO_LISTING = "No listing yet: the first pass has not finished."
NOT_ALLOWED = ("Only the group's administrators (and the users named in admins = [...] in the "
               "configuration file) may change what this chat hears.")
LONGEST_MUTE = 30 * 24 * 3600
_DURATION = re.compile(r"([0-9]{1,5})([mhd])")
_UNIT = {"m": 60, "h": 3600, "d": 86400}
SLOW_DOWN = f"Slow down: at most {PER_MINUTE} commands a minute."
HISTORY_DAYS = 30  # /history's period when none is given
CHARTS_PER_MINUTE = 20  # for every chat together: a chart costs up to a second of a core
CAPTION_LIMIT = 1024  # characters Telegram takes under a picture


@dataclass(frozen=True)
class Status:
    """The monitor as /status tells it.

    last_kind: "pass" or "snapshot", None before the first;
    last_result: "ok", "failed" or "error", None before the first pass;
    last_at: when it ended (time.time), None before the first pass;
    subnets: subnets in its listing, None without a usable listing;
    changes: subnets it found changed;
    next_at: when the next pass starts (time.time); a time already past
        means a pass is running and the next comes after it; None when no
        pass is scheduled (a single run);
    outbox: messages waiting to be delivered;
    health: "" when well, else the monitor's failure text;
    version: the host's version;
    database_bytes: the host database on the disk, its write-ahead log
        included; None when the data is kept in memory."""
    last_kind: str | None
    last_result: str | None
    last_at: float | None
    subnets: int | None
    changes: int
    next_at: float | None
    outbox: int
    health: str
    version: str
    database_bytes: int | None = None


class MonitorView(Protocol):
    """What the host tells the commands about the monitor. Called on the
    thread that answers commands, so each call must be safe beside a
    running pass and quick (no network)."""

    def status(self) -> Status:
        """The monitor's state now."""

    def rates(self) -> Mapping[str, str] | None:
        """Netuid text -> rate text of the last usable listing, None before
        the first one."""

    def changed_at(self, netuid: str) -> float | None:
        """When (time.time) the subnet's rate last changed while the monitor
        ran; None when it has not changed since the monitor started."""

    def mutes(self, chat_key: str) -> list[tuple[int, float]]:
        """(netuid or mutes.EVERY_SUBNET, until) of the chat's mutes now."""

    def subscription(self, chat_key: str):
        """The chat's ChatConfig (subnets, threshold, levels), or None."""

    def public_chats(self) -> set[str]:
        """The keys of the chats that subscribed themselves."""

    def series(self, netuid: int, since: int, until: int):
        """The subnet's history.Series from `since` to `until` (seconds)."""

    def history_days(self) -> int:
        """How many days of history the monitor keeps."""

    def is_admin(self, chat_id: str, user_id: int) -> bool:
        """Whether the user administers the group (asked of Telegram, kept
        a few minutes); False when it cannot be told now."""


@dataclass(frozen=True)
class Picture:
    """An answer that is a PNG with a caption under it."""
    png: bytes
    caption: str


@dataclass(frozen=True)
class Entry:
    """One command: its usage line and menu description, the method of
    Commands that answers it (given the message and the arguments), and
    whether it changes anything (reading commands are taken from anyone in
    a served chat; changing ones will ask more of the sender)."""
    name: str
    usage: str
    description: str
    answer: Callable[["Commands", Incoming, tuple[str, ...]], str]
    changes: bool


class Commands:
    """Answers the commands of the chats in `configured` (chat ids as text).

    view: the MonitorView; module: the kilnguard module (every rate is shown
    through its format_owner_burn, looked up at each use); log: one line per
    call; clock: monotonic seconds for the limits; wall: time.time for the
    moments shown."""

    def __init__(self, view, module, configured, bot_username, log, clock=time.monotonic,
                 wall=time.time, keys=None, admins=(), subscriptions=None,
                 digest_schedule=Schedule()):
        self.view = view
        self.digest_schedule = digest_schedule  # when the weekly digest comes, to tell
        # The store that makes /watch and /unwatch changes; its `public`
        # lets any chat be served and subscribe itself.
        self.subscriptions = subscriptions
        self.public = subscriptions is not None and subscriptions.public
        # Chats /watch subscribed whose change may not be committed yet (it
        # is, with the batch of updates, within seconds), with the clock time.
        self._joining = {}
        self.module = module
        self.configured = frozenset(configured)
        # The configured chats' keys (ID or ID:TOPIC) a change applies to.
        self.keys = frozenset(configured if keys is None else keys)
        self.admins = frozenset(admins)  # user ids that may change any chat
        self.bot_username = bot_username
        self.log = log
        self.clock = clock
        self.wall = wall
        self._recent = {}  # chat id -> deque of the clock times of its answered commands
        self._warned = set()  # chats told to slow down and not yet under the limit
        self._ignored = {}  # unserved chat id -> clock time of its last log line, oldest first
        self._charts = collections.deque()  # clock times of the charts drawn in the last minute

    def handle(self, message):
        """The answers to one message, as (chat key, text); [] for none."""
        command = parse(message.text, self.bot_username)
        if command is None:
            return []
        if message.chat_id not in self.configured and not self.public:
            self._note_ignored(message.chat_id)
            return []
        if not self._admit(message.chat_id):
            if message.chat_id in self._warned:
                return []
            self._warned.add(message.chat_id)
            return [(message.chat_key, SLOW_DOWN)]
        self._warned.discard(message.chat_id)
        answer = self._answer(message, command)
        if isinstance(answer, Picture):
            return [(message.chat_key, answer.caption[:CAPTION_LIMIT], answer.png)]
        # A command that changes something gives its answer and the change,
        # which the caller makes in the transaction that confirms the update.
        text, change = (answer, None) if isinstance(answer, str) else answer
        return [(message.chat_key, fit(text))] + ([change] if change is not None else [])

    def _note_ignored(self, chat_id):
        now = self.clock()
        last = self._ignored.get(chat_id)
        if last is not None and now - last < IGNORED_LOG_EVERY:
            return
        self._ignored.pop(chat_id, None)
        self._ignored[chat_id] = now  # re-inserted: the latest logged is last
        while len(self._ignored) > IGNORED_CHATS_KEPT:
            del self._ignored[next(iter(self._ignored))]
        self.log(f"ignored a command from chat {chat_id}, which is not configured")

    def _admit(self, chat_id):
        """Whether the chat is under its limit; an admitted command counts.
        Refused ones do not, so a chat that keeps sending is served again a
        minute after its last served command, not never."""
        now = self.clock()
        recent = self._recent.setdefault(chat_id, collections.deque())
        while recent and now - recent[0] >= WINDOW:
            recent.popleft()
        if len(recent) >= PER_MINUTE:
            return False
        recent.append(now)
        return True

    def _answer(self, message, command):
        entry = BY_NAME.get(ALIASES.get(command.name, command.name))
        if entry is None:
            return f"Unknown command /{command.name[:32]}. Send /help for the list."
        if entry.changes and not self._may_change(message):
            return NOT_ALLOWED
        try:
            return entry.answer(self, message, command.args)
        except BadArgument as bad:
            return f"Usage: {entry.usage}; {bad}"
        except Exception as error:  # the view is the host's; one fault must not stop the poller
            self.log(f"command /{entry.name} from chat {message.chat_id} failed: "
                     f"{type(error).__name__}: {error}")
            return f"Sorry, /{entry.name} failed; the monitor's log says why."

    def _may_change(self, message):
        """In a private chat the user is the chat; in a group, its
        administrators and the configured admins."""
        if message.chat_type == "private" or message.user_id in self.admins:
            return True
        return message.user_id is not None and self.view.is_admin(message.chat_id,
                                                                   message.user_id)

    def _targets(self, message):
        """The chats a change from this message applies to: its own key, or
        (asked in a topic not configured apart) every configured key of the
        chat; in a chat that is not configured, its own key."""
        if message.chat_key in self.keys:
            return [message.chat_key]
        return sorted(key for key in self.keys if key.partition(":")[0] == message.chat_id) \
            or [message.chat_key]

    def _shown(self, rate):
        return self.module.format_owner_burn(rate)

    def status(self, message, args):
        state = self.view.status()
        if state.last_result is None:
            lines = ["Last pass: none yet"]
        else:
            lines = [f"Last {state.last_kind or 'pass'}: {state.last_result}, "
                     + (utc(state.last_at) if state.last_at is not None else "time unknown"),
                     "Subnets: " + ("no usable listing" if state.subnets is None
                                    else str(state.subnets)),
                     f"Changes: {state.changes}"]
        if state.next_at is None:
            upcoming = "not scheduled"
        elif state.next_at <= self.wall():
            upcoming = "after this one"
        else:
            upcoming = utc(state.next_at)
        lines += [f"Next pass: {upcoming}",
                  f"Messages waiting: {state.outbox}",
                  "Health: " + (" ".join(state.health.split()) or "well")]
        if state.database_bytes is not None:
            lines.append(f"Database: {size_text(state.database_bytes)}")
        lines.append(f"Version: {state.version}")
        return "\n".join(lines)

    def burn(self, message, args):
        if not args:
            return f"Usage: {BY_NAME['burn'].usage}"
        wanted = netuids(args)
        if not wanted:  # only commas
            return f"Usage: {BY_NAME['burn'].usage}"
        rates = self.view.rates()
        if rates is None:
            return NO_LISTING
        lines = []
        for netuid in wanted:
            rate = rates.get(str(netuid))
            if rate is None:
                lines.append(f"SN{netuid}: not in the listing")
                continue
            changed = self.view.changed_at(str(netuid))
            when = ("unchanged since the monitor started" if changed is None
                    else f"changed {utc(changed)}")
            lines.append(f"SN{netuid}: {self._shown(rate)} ({when})")
        return "\n".join(lines)

    def top(self, message, args):
        if len(args) > 1:
            raise BadArgument(f"{quoted(args[1])} is one number too many")
        count = TOP_DEFAULT
        if args:
            if not re.fullmatch(r"[0-9]{1,3}", args[0]) or not 1 <= int(args[0]) <= MOST_SUBNETS:
                raise BadArgument(f"{quoted(args[0])} is not a number from 1 to {MOST_SUBNETS}")
            count = int(args[0])
        rates = self.view.rates()
        if rates is None:
            return NO_LISTING
        ranked = sorted(((value, netuid) for netuid, value in
                         ((netuid, rate_value(rate)) for netuid, rate in rates.items())
                         if value is not None),
                        key=lambda pair: (-pair[0], netuid_order(pair[1])))[:count]
        if not ranked:
            return f"No subnet in the last listing ({len(rates)} subnets) has a numeric rate."
        lines = [f"Highest owner burn rates ({len(ranked)} of {len(rates)} subnets):"]
        lines += [f"SN{netuid}: {self._shown(rates[netuid])}" for _, netuid in ranked]
        return "\n".join(lines)

    def mute(self, message, args):
        if len(args) != 2:
            return f"Usage: {BY_NAME['mute'].usage}"
        netuid = subnet_or_all(args[0])
        found = _DURATION.fullmatch(args[1])
        seconds = int(found.group(1)) * _UNIT[found.group(2)] if found else 0
        if not 60 <= seconds <= LONGEST_MUTE:
            raise BadArgument(f"{quoted(args[1])} is not a time from 1m to 30d, like 30m, 6h or 2d")
        until = self.wall() + seconds
        targets = self._targets(message)
        what = "every subnet" if netuid == mutes.EVERY_SUBNET else f"SN{netuid}"
        return (f"Muted {what} until {utc(until)}; its changes are told when the mute ends, "
                f"against what this chat last heard.",
                lambda connection: mutes.mute(connection, targets, netuid, until))

    def unmute(self, message, args):
        if len(args) != 1:
            return f"Usage: {BY_NAME['unmute'].usage}"
        netuid = subnet_or_all(args[0])
        targets = self._targets(message)
        muted = {muted for key in targets for muted, _ in self.view.mutes(key)}
        if netuid == mutes.EVERY_SUBNET:
            if not muted:
                return "Nothing is muted in this chat."
            what = "every mute"
        elif netuid not in muted:
            return (f"SN{netuid} is not muted on its own"
                    + (" (every subnet is: /unmute all)." if mutes.EVERY_SUBNET in muted else "."))
        else:
            what = f"SN{netuid}"
        return (f"Ended {what}; changes are told at the next pass, against what this chat last "
                f"heard.", lambda connection: mutes.unmute(connection, targets, netuid))

    def watch(self, message, args):
        words = [word for arg in args for word in arg.split(",") if word]
        thresholds = [value for value in map(threshold_of, words) if value is not None]
        if len(thresholds) > 1:
            raise BadArgument("give one threshold")
        asked = [word for word in words if threshold_of(word) is None]
        every = [word for word in asked if word.lower() == "all"]
        if every and len(asked) > 1:
            raise BadArgument('"all" goes alone')
        chosen = None if every else netuids(asked, most=MOST_WATCHED)
        threshold = thresholds[0] if thresholds else None
        targets = self._targets(message)
        subs = [self.view.subscription(key) for key in targets]
        if not every and not chosen and (threshold is None or None in subs):
            return f"Usage: {BY_NAME['watch'].usage}"
        key = message.chat_key
        if None in subs and not self._may_join(key):
            return (f"This monitor already serves the most chats it takes "
                    f"({self.subscriptions.most}); try again later.")
        listed = [int(netuid) for netuid in (self.view.rates() or {}) if netuid.isdigit()]
        changes = [self.subscriptions.watch(target, chosen, threshold, listed)
                   for target in targets]
        at = "" if threshold is None else f"threshold {threshold:g}"
        if every or chosen:
            answer = (f"Now watching {'every subnet' if every else spans(chosen)}"
                      + (f" at {at}" if at else "") + ". Changes are told against the rates "
                      "now; /subscriptions shows all this chat hears.")
        else:
            answer = f"This chat's {at} now. /subscriptions shows all this chat hears."
        return answer, _all_of(changes)

    def _may_join(self, key):
        """Whether a chat may subscribe itself: under the bound, counting
        the chats that joined in this batch of updates. The change checks
        the bound again when it is made, so it holds even against a miscount
        here."""
        now, joined = self.clock(), self.view.public_chats()
        self._joining = {k: at for k, at in self._joining.items()
                         if now - at < WINDOW and k not in joined}
        if len(joined) + len(self._joining) >= self.subscriptions.most \
                and key not in self._joining:
            return False
        self._joining[key] = now
        return True

    def unwatch(self, message, args):
        words = [word for arg in args for word in arg.split(",") if word]
        if not words:
            return f"Usage: {BY_NAME['unwatch'].usage}"
        every = [word for word in words if word.lower() == "all"]
        if every and len(words) > 1:
            raise BadArgument('"all" goes alone')
        chosen = None if every else netuids(words, most=MOST_WATCHED)
        targets = self._targets(message)
        if all(self.view.subscription(key) is None for key in targets):
            return "This chat hears nothing yet: /watch N subscribes it."
        changes = [self.subscriptions.unwatch(target, chosen) for target in targets]
        if every:
            answer = ("Unsubscribed: this chat hears no alerts now; /watch N subscribes it "
                      "again." if message.chat_id not in self.configured else
                      "This chat watches no subnet now; /watch N or /watch all brings them back.")
        else:
            answer = (f"No longer watching {spans(chosen)}. /subscriptions shows all this chat "
                      f"hears.")
        return answer, _all_of(changes)

    def history(self, message, args):
        if not 1 <= len(args) <= 2:
            return f"Usage: {BY_NAME['history'].usage}"
        netuid = netuid_of(args[0])
        if netuid is None:
            raise BadArgument(f"{quoted(args[0])} is not a subnet number")
        kept = self.view.history_days()
        days = HISTORY_DAYS if len(args) == 1 else None
        if days is None:
            if not re.fullmatch(r"[0-9]{1,4}", args[1]) or not 1 <= int(args[1]) <= kept:
                raise BadArgument(f"{quoted(args[1])} is not a number of days from 1 to {kept}")
            days = int(args[1])
        now = self.clock()
        while self._charts and now - self._charts[0] >= WINDOW:
            self._charts.popleft()
        if len(self._charts) >= CHARTS_PER_MINUTE:
            return "Busy drawing charts for other chats: ask again in a minute."
        until = int(self.wall())
        series = self.view.series(netuid, until - min(days, kept) * 86400, until)
        if series.start is None and not series.times:
            return f"No history of SN{netuid} yet: it is kept from the first pass that sees it."
        self._charts.append(now)
        # Drawn here, on the thread that answers commands: matplotlib is
        # loaded with the first chart, never by the monitor's passes.
        from kilnguard_watch.charts import caption, rate_chart

        return Picture(rate_chart(series), caption(series))

    def digest(self, message, args):
        if len(args) != 1 or args[0].lower() not in ("weekly", "off"):
            return f"Usage: {BY_NAME['digest'].usage}"
        weekly = args[0].lower() == "weekly"
        targets = [key for key in self._targets(message) if self.view.subscription(key)]
        if not targets:
            return "This chat hears nothing yet: /watch N subscribes it."
        answer = (f"Weekly digest on: {self.digest_schedule}, a picture of the week's rates and "
                  f"the list of their changes, for the subnets this chat watches." if weekly
                  else "Weekly digest off.")
        return answer, _all_of([self.subscriptions.digest(key, weekly) for key in targets])

    def subscriptions(self, message, args):
        lines = []
        for key in self._targets(message):
            sub = self.view.subscription(key)
            if sub is None:
                continue
            watched = watched_text(sub)
            lines.append(f"{'This chat' if key == message.chat_key else key}: {watched}, "
                         f"threshold {sub.threshold:g}"
                         + (f", above {sub.above:g}" if sub.above is not None else "")
                         + (f", below {sub.below:g}" if sub.below is not None else "")
                         + (", weekly digest" if sub.digest else ""))
            for netuid, until in self.view.mutes(key):
                what = "every subnet" if netuid == mutes.EVERY_SUBNET else f"SN{netuid}"
                lines.append(f"  muted: {what} until {utc(until)}")
        return "\n".join(lines) or ("This chat hears nothing yet: /watch N subscribes it."
                                     if self.public else
                                     "This chat hears nothing: it is not configured.")

    def help(self, message, args):
        return "\n".join(f"{entry.usage} — {entry.description}" for entry in COMMANDS)


def _all_of(changes):
    """One change that makes each of `changes` (one per chat it applies to)."""
    def change(connection):
        for each in changes:
            each(connection)
    return change


COMMANDS = (
    Entry("status", "/status", "the last pass, the next one and the monitor's health",
          Commands.status, changes=False),
    Entry("burn", "/burn N [N ...] (subnet numbers, like /burn 1 12)",
          "owner burn rate of the given subnets and when it last changed",
          Commands.burn, changes=False),
    Entry("top", f"/top [K] (how many, 1 to {MOST_SUBNETS}, {TOP_DEFAULT} when left out)",
          "the subnets with the highest owner burn rate", Commands.top, changes=False),
    Entry("history", f"/history N [DAYS] (like /history 12 90; {HISTORY_DAYS} days when left "
                     f"out)", "a chart of a subnet's owner burn rate over the last days",
          Commands.history, changes=False),
    Entry("subscriptions", "/subscriptions", "what this chat hears about, and its mutes",
          Commands.subscriptions, changes=False),
    Entry("watch", "/watch N [N-M ...] [THRESHOLD] (like /watch 12 20-30 0.05, or /watch all)",
          "hear about these subnets too, at this chat's threshold", Commands.watch, changes=True),
    Entry("unwatch", "/unwatch N [N-M ...] or /unwatch all", "hear no more about these subnets",
          Commands.unwatch, changes=True),
    Entry("mute", "/mute N|all TIME (like /mute 12 6h; TIME from 1m to 30d)",
          "no alerts about a subnet (or all) for a while; then one against what was last heard",
          Commands.mute, changes=True),
    Entry("unmute", "/unmute N|all", "end a mute", Commands.unmute, changes=True),
    Entry("digest", "/digest weekly|off",
          "a picture and list of the week's changes, every week, or no more",
          Commands.digest, changes=True),
    Entry("help", "/help", "this list", Commands.help, changes=False),
)
BY_NAME = {entry.name: entry for entry in COMMANDS}
# Telegram sends /start when someone opens a private chat with the bot.
ALIASES = {"start": "help"}
# For setMyCommands: the name and the description, without the usage.
MENU = [(entry.name, entry.description) for entry in COMMANDS]
