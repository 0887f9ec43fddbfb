"""Destinations other than Telegram (Discord, Slack, Matrix, ntfy, e-mail,
webhooks), each given as one Apprise URL and reached through Apprise.

A Destination is checked when it is loaded, so a URL Apprise cannot use
stops the start with a line that says what is wrong. It names itself by
scheme and host only, splits an alert at its service's own limit with the
module's chunking, and sends one message at a time within an overall
deadline. A send answers in the delivery loop's terms, Telegram's reasons
(telegram.py), so one loop serves both:

- THROTTLED: the service answered 429; try again later;
- MESSAGE: it refuses this message as it is (a 4xx about the request);
- CHAT: it refuses the destination whatever is sent (401, 403, 404, 405,
  410: credentials, or a webhook, topic or room that is gone), as a chat
  that bars the bot;
- OTHER: no connection, no answer within the deadline, a 5xx, or any
  failure Apprise does not explain: the service's or the network's, try
  again later. A message is never dropped on a guess.

Apprise tells a send's caller only true or false; the rest is in what its
plugins log meanwhile. The HTTP ones log a failed reply as "... error=<HTTP
status>." (their shared wording), so the records logged during a send are
collected and read. A context variable marks which send a record belongs
to: it follows the send onto any worker thread Apprise starts, where the
logging thread would not, and concurrent sends never see each other's
records. Those records are read, and repeated only when they hold no part
of the URL the name hides: Apprise quotes hosts, topics, addresses and whole
URLs in them. For the same reason the "apprise" logger keeps its records
from the root logger, where any handler set up in the process would write
them out."""

import contextvars
import difflib
import http
import logging
import math
import re
import threading
from dataclasses import dataclass

import apprise

import kilnguard
from kilnguard_watch import files
from kilnguard_watch.delivery.masked_url import MaskedUrl
from kilnguard_watch.delivery.telegram import CHAT, MESSAGE, OTHER, THROTTLED, Failure

DEADLINE = 30  # seconds for a whole send, as for the Bot API's questions
TELEGRAM_LIMIT = 4096  # characters in one Telegram message

_SCHEME = re.compile(r"[a-z][a-z0-9+.-]*", re.IGNORECASE | re.ASCII)
_STATUS = re.compile(r"\berror=(\d{3,})")


class DestinationError(ValueError):
    """An Apprise URL (or its file) that cannot be used. The text says what
    is wrong and holds no part of the URL but its scheme."""


@dataclass(frozen=True)
class Attempt:
    """What became of one send: taken (`ok`), or why not: `failure` in
    Telegram's reasons and `error`, one line that holds nothing the
    destination's name hides."""
    ok: bool
    error: str = ""
    failure: Failure | None = None


# ----------------------------------------------------- Apprise's log records

_records = contextvars.ContextVar("apprise_records", default=None)


class _Collector(logging.Handler):
    """Adds the text of each record Apprise logs to the list of the load or
    send it happened in (none: dropped)."""

    def emit(self, record):
        records = _records.get()
        if records is None:
            return
        try:
            records.append(record.getMessage())
        except Exception:  # a record that cannot be formatted tells nothing
            pass


def _contain_apprise_logging():
    """The "apprise" logger feeds the collector, and the root logger never
    (Apprise's own NullHandler already keeps logging's last-resort handler
    from printing its warnings). Warnings are the least a failed reply is
    logged at; debug records, which quote payloads and URLs, are never made."""
    logger = logging.getLogger("apprise")
    if not any(isinstance(handler, _Collector) for handler in logger.handlers):
        logger.addHandler(_Collector())
        logger.propagate = False
        logger.setLevel(logging.WARNING)


_contain_apprise_logging()


# ---------------------------------------------------------- the destination

def _reason(status):
    """A failed HTTP reply's status in the delivery loop's terms."""
    if status == 429:
        return THROTTLED
    if status in (401, 403, 404, 405, 410):
        return CHAT
    if 400 <= status < 500 and status not in (408, 425):
        return MESSAGE
    return OTHER


def _status_phrase(status):
    try:
        return f"HTTP {status} {http.HTTPStatus(status).phrase}"
    except ValueError:
        return f"HTTP {status}"


def _numbered(chunks):
    """"(i/N)\\n" in front of each of several pieces, as the module's
    _message_pieces numbers them (a test holds the two together): it takes
    no length, and these pieces were cut shorter than its 3900."""
    count = len(chunks)
    if count < 2:
        return list(chunks)
    return [f"({i}/{count})\n{chunk}" for i, chunk in enumerate(chunks, 1)]


def _prefix_length(digits):
    return len("(/)\n") + 2 * digits


class Destination:
    """One Apprise URL, checked: `name` for logs and labels, `pieces` to
    split an alert at the service's limit, `send` to deliver one piece."""

    def __init__(self, bundle, masked, deadline):
        self._bundle = bundle  # one Apprise object holding this one service
        self._plugin = bundle[0]
        self._masked = masked
        self.name = masked.name
        self.service = self._plugin.service_name
        self.deadline = deadline

    def __repr__(self):
        return f"<Destination {self.name}>"

    @classmethod
    def load(cls, url, *, deadline=DEADLINE):
        """The destination `url` names (whitespace around it is ignored);
        DestinationError says why not, without the URL's secrets (the caller
        adds where the URL came from). `deadline`: seconds a send may take
        in all."""
        if not isinstance(url, str):
            raise TypeError(f"load() argument 'url' must be str, not {type(url).__name__}")
        if isinstance(deadline, bool) or not isinstance(deadline, (int, float)) \
                or not math.isfinite(deadline) or deadline <= 0:
            raise ValueError(f"the deadline must be a number of seconds above 0, not {deadline!r}")
        url = url.strip()
        if not url:
            raise DestinationError("the Apprise URL is empty")
        scheme, separator, _ = url.partition("://")
        if not separator or not _SCHEME.fullmatch(scheme):
            raise DestinationError("not an Apprise URL: it must begin with its service's scheme "
                                   "and ://, as discord://… or ntfy://… do")
        scheme = scheme.lower()
        services = apprise.NotificationManager()
        if scheme not in services:
            close = difflib.get_close_matches(scheme, services.schemas(), n=1)
            raise DestinationError(f"Apprise has no service with the scheme {scheme}://"
                                   + (f" (did you mean {close[0]}://?)" if close else ""))
        service = services[scheme]
        if not service.enabled:
            needs = service.requirements.get("packages_required") if service.requirements else None
            needs = ", ".join([needs] if isinstance(needs, str) else needs or [])
            raise DestinationError(f"Apprise's {service.service_name} service ({scheme}://) is "
                                   "not available here" + (f": it needs {needs}" if needs else ""))
        masked = MaskedUrl(url, service)
        records = []
        token = _records.set(records)
        try:
            bundle = apprise.Apprise(asset=apprise.AppriseAsset(
                app_id="kilnguard-watch", app_desc="kilnguard-watch alerts"))
            added = bundle.add(url)
        finally:
            _records.reset(token)
        if not added:
            said = next(filter(None, (masked.shown(text) for text in records)), None)
            forms = ", ".join(form.replace("{schema}", scheme) for form in service.templates[:3])
            raise DestinationError(f"Apprise cannot use this {scheme}:// URL"
                                   + (f" ({said.rstrip('.')})" if said else "")
                                   + (f"; its forms are {forms}" if forms else ""))
        if len(bundle) != 1:
            raise DestinationError(f"it holds {len(bundle)} Apprise URLs: give each destination "
                                   "its own")
        plugin = bundle[0]
        if plugin.body_max_line_count > 0:
            raise DestinationError(f"{service.service_name} ({scheme}://) shows only the first "
                                   f"{plugin.body_max_line_count} lines of a message, and an "
                                   "alert would lose the others")
        # A send left at its deadline runs on in its thread; with no socket
        # wait longer than the deadline it ends soon after.
        plugin.socket_connect_timeout = min(plugin.socket_connect_timeout, deadline)
        plugin.socket_read_timeout = min(plugin.socket_read_timeout, deadline)
        return cls(bundle, masked, deadline)

    @classmethod
    def load_file(cls, path, *, deadline=DEADLINE):
        """`load` for the URL held in the file at `path` (whitespace around
        it is ignored). The errors name the file, never what it holds."""
        try:
            with files.open_regular(path) as f:  # a FIFO would hang the start
                url = f.read().strip()
        except files.NotRegularFile as error:
            raise DestinationError(f"the Apprise URL file {error}") from None
        except UnicodeDecodeError:
            raise DestinationError(f"the Apprise URL file {path} is not UTF-8 text") from None
        except OSError as error:
            raise DestinationError(f"cannot read the Apprise URL file {path}: "
                                   f"{error.strerror or type(error).__name__}") from None
        if not url:
            raise DestinationError(f"the Apprise URL file {path} is empty")
        try:
            return cls.load(url, deadline=deadline)
        except DestinationError as error:
            raise DestinationError(f"{path}: {error}") from None

    def _room(self, title):
        """Characters a message's body may take beside `title`; None when
        the service sets no limit."""
        plugin = self._plugin
        room = plugin.body_maxlen if plugin.body_maxlen > 0 else None
        if not title:
            return room
        if plugin.title_maxlen > 0:
            if len(title) > plugin.title_maxlen:
                raise ValueError(f"a title of {len(title)} characters is over the "
                                 f"{plugin.title_maxlen} {self.service} takes")
            return room
        # A service without titles gets the title as the body's first line,
        # joined by "\r\n".
        return None if room is None else room - len(title) - 2

    def pieces(self, text, title=""):
        """The messages `text` goes out as here, in order: split by the
        module's chunking at the service's own limit (every line kept) and
        numbered "(i/N)\\n" when there are several. A piece is longer than
        the limit only when one line is."""
        room = self._room(title)
        if room is None or room >= TELEGRAM_LIMIT:
            # _message_pieces cuts at 3900 characters and puts "(i/N)\n" in
            # front; the 196 characters left below Telegram's 4096 hold that
            # prefix for any count, so a service that takes 4096 takes these
            # pieces as they are: the very messages a Telegram chat gets.
            return list(kilnguard._message_pieces(text))
        chunks = kilnguard._chunk_text(text, room)
        if len(chunks) < 2:
            return list(chunks)
        # The prefix needs room too, and one more digit in the count may
        # cost one more piece: cut again until the count fits its room.
        digits = len(str(len(chunks)))
        while True:
            chunks = kilnguard._chunk_text(text, room - _prefix_length(digits))
            if len(str(len(chunks))) <= digits:
                return _numbered(chunks)
            digits = len(str(len(chunks)))

    def send(self, text, title=""):
        """Sends one message (a piece) and tells what became of it (Attempt)
        within `deadline` seconds. Apprise blocks, so it sends on a thread of
        its own, left to finish alone if the deadline passes first; the
        caller only waits, so Ctrl-C ends the wait at once."""
        for argument, value in (("text", text), ("title", title)):
            if not isinstance(value, str):
                raise TypeError(f"send() argument '{argument}' must be str, not "
                                f"{type(value).__name__}")
        if not text.strip():
            # Apprise refuses an empty body before any request, every time.
            return Attempt(False, "an empty message", Failure(MESSAGE))
        answer = {}
        finished = threading.Event()

        def deliver():
            records = []
            _records.set(records)  # this thread's own context
            try:
                answer["ok"] = bool(self._bundle.notify(body=text, title=title))
            except Exception as error:  # a fault in Apprise or a plugin
                answer["fault"] = error
            answer["records"] = records
            finished.set()

        threading.Thread(target=deliver, name="apprise-send", daemon=True).start()
        if not finished.wait(self.deadline):
            return Attempt(False, f"no answer within {self.deadline:g} s", Failure(OTHER))
        if "fault" in answer:
            fault = answer["fault"]
            said = self._masked.shown(str(fault))
            return Attempt(False, f"Apprise failed: {type(fault).__name__}"
                           + (f": {said}" if said else ""), Failure(OTHER))
        return self._judged(answer["ok"], answer["records"])

    def _judged(self, ok, records):
        """The Attempt a send made, from Apprise's answer and what it logged
        meanwhile: the last HTTP status logged decides, and the record that
        gave it (or the last one) is the text, when it may be shown."""
        if ok:
            return Attempt(True)
        status, said = None, records[-1] if records else None
        for text in records:
            found = _STATUS.search(text)
            if found:
                # ntfy's own codes are five digits, the HTTP status first.
                status, said = int(found.group(1)[:3]), text
        shown = None if said is None else self._masked.shown(said)
        if status is not None:
            return Attempt(False, shown or _status_phrase(status), Failure(_reason(status)))
        if shown is None:
            shown = ("not delivered; Apprise's account of it names a part of the URL and is "
                     "not shown" if said is not None else "not delivered; Apprise gave no reason")
        return Attempt(False, shown, Failure(OTHER))
