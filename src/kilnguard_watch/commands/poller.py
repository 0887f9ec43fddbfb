"""Reading the chat's commands: the Bot API's getUpdates long polling on a
thread of its own, so the host opens no port and needs no webhook.

Each batch's answers go to the outbox in one transaction with the offset
that confirms the batch: after a crash or a restart an update is either
answered and confirmed, or neither, and is then read again. Nothing here
stops alerts: a conflict, a refused token or an outage ends or pauses the
commands only, with one line in the log."""

import json
import threading

from kilnguard_watch.commands.incoming import incoming, whole_number
from kilnguard_watch.delivery import telegram
from kilnguard_watch.log import scrub
from kilnguard_watch.store.outbox import ANSWER

THREAD_NAME = "kilnguard-commands"
OFFSET_KEY = "update_offset"  # in the meta table: the first update not yet answered
BATCH = 100  # the most updates getUpdates hands over at once
# A full batch of 4096-character messages, with the JSON around them.
REPLY_LIMIT = 8 * 1024 * 1024
SLACK_SECONDS = 10  # the HTTP call's deadline beyond the long poll
LONGEST_WAIT = 60  # seconds, between tries in an outage and after a 429
ALLOWED_UPDATES = json.dumps(["message"])  # edited messages and channel posts are not asked


class Poller:
    """Reads updates, answers the commands among them through `handle`
    (incoming -> [(chat key, text)]) and queues the answers; `wake()` tells
    the delivery that answers wait. `menu` is the bot's command menu as
    (command, description) pairs, set once when the thread starts."""

    def __init__(self, token, database, outbox, handle, log, *, wake=lambda: None, menu=(),
                 long_poll=25):
        self._token = token
        self._database = database
        self._outbox = outbox
        self._handle = handle
        self._log = log
        self._wake = wake
        self._menu = list(menu)
        self._long_poll = long_poll
        self._stopping = threading.Event()
        self._thread = None
        self._failures = 0  # rounds in a row that could not read or keep updates
        self._offset = self._stored_offset()

    # ------------------------------------------------------------ control

    def start(self):
        """Starts the thread (once): it sets the menu, then polls until
        stopped or until polling cannot work."""
        if self._thread is None:
            self._thread = threading.Thread(target=self._run, name=THREAD_NAME, daemon=True)
            self._thread.start()

    def stop(self):
        """Asks the thread to end: a wait ends at once; an open long poll is
        left to run out (the thread is a daemon) and what it brings is not
        confirmed, so the next start reads it again."""
        self._stopping.set()

    @property
    def running(self):
        """Whether the thread still reads updates."""
        return self._thread is not None and self._thread.is_alive() and not self._stopping.is_set()

    def _run(self):
        try:
            if self._menu:
                self._set_menu()
            while not self._stopping.is_set() and self.poll_once():
                pass
        except Exception as error:  # a fault of ours: one line, never a traceback
            self._say(f"commands stopped by an unexpected error ({type(error).__name__}: {error}); "
                      f"alerts go on")

    # ------------------------------------------------------------ one round

    def poll_once(self):
        """One getUpdates round, its answers queued; after trouble, the wait
        before the next. False when polling must end."""
        params = {"timeout": self._long_poll, "allowed_updates": ALLOWED_UPDATES, "limit": BATCH}
        if self._offset is not None:
            params["offset"] = self._offset
        try:
            reply = telegram.request("getUpdates", self._token, params,
                                     self._long_poll + SLACK_SECONDS, REPLY_LIMIT)
        except telegram.Unreachable as error:
            return self._trouble(f"no answer from the Bot API: {error}")
        if self._stopping.is_set():
            return False  # unconfirmed: read again at the next start
        if not reply.get("ok"):
            return self._refused(reply)
        updates = reply.get("result")
        if not isinstance(updates, list):
            return self._trouble("getUpdates answered without a list of updates")
        ids = [update["update_id"] for update in updates
               if isinstance(update, dict) and whole_number(update.get("update_id"))]
        if len(ids) != len(updates):
            return self._trouble("getUpdates answered an update without an update_id")
        if ids:
            answers, changes = self._answers(updates)
            try:
                self._keep(answers, changes, max(ids) + 1)
            except Exception as error:  # a full disk, a locked or damaged database
                return self._trouble(f"could not keep the answers to {len(ids)} updates "
                                     f"({type(error).__name__}: {error}); they are read again")
            if answers:
                self._wake()
        if self._failures:
            self._say(f"commands: reading updates works again after {self._failures} failed tries")
            self._failures = 0
        return True

    def _answers(self, updates):
        """The answers to every new text message, and the changes commands
        asked for (callables given the transaction's connection); an update
        whose handling fails is skipped, so it cannot hold back those behind
        it for ever."""
        answers, changes = [], []
        for update in updates:
            message = incoming(update)
            if message is None:
                continue  # not a new text message: only the offset moves past it
            try:
                given = list(self._handle(message))
                asked = [item for item in given if callable(item)]
                told = [tuple(item) for item in given if not callable(item)]
                if not all(isinstance(answer[0], str) and isinstance(answer[1], str)
                           and (len(answer) == 2 or len(answer) == 3 and isinstance(answer[2], bytes))
                           for answer in told):
                    raise TypeError("the answers are not (chat key, text) pairs or (chat key, "
                                    "caption, PNG) triples")
            except Exception as error:
                self._say(f"commands: update {message.update_id} from chat {message.chat_key} "
                          f"skipped: answering it failed ({type(error).__name__}: {error})")
                continue
            answers += told
            changes += asked
        return answers, changes

    def _keep(self, answers, changes, offset):
        """Answers, changes and the offset that confirms them, in one
        transaction: a restart neither answers nor changes anything twice."""
        with self._database.transaction() as connection:
            for change in changes:
                change(connection)
            if answers:
                self._outbox.add(connection, answers, priority=ANSWER)
            connection.execute("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)",
                               (OFFSET_KEY, str(offset)))
        self._offset = offset

    def _stored_offset(self):
        row = self._database.execute("SELECT value FROM meta WHERE key = ?",
                                     (OFFSET_KEY,)).fetchone()
        if row is None:
            return None
        try:
            return int(row[0])
        except (TypeError, ValueError):
            self._say(f"commands: the stored update offset {row[0]!r} is not a number; reading "
                      f"every update Telegram still keeps")
            return None

    # ------------------------------------------------------------ failures

    def _refused(self, reply):
        code = reply.get("error_code")
        if code == 409:
            self._say(self._conflict(reply))
            return False
        if code in (401, 404):
            self._say(f"commands: Telegram refuses the bot token "
                      f"({telegram.describe(reply, self._token)}): commands are off")
            return False
        if code == 429:
            parameters = reply.get("parameters")
            after = parameters.get("retry_after") if isinstance(parameters, dict) else None
            self._wait(min(after, LONGEST_WAIT) if whole_number(after) and after > 0 else 1)
            return not self._stopping.is_set()
        return self._trouble(f"getUpdates failed: {telegram.describe(reply, self._token)}")

    def _conflict(self, reply):
        description = telegram.describe(reply, self._token)
        if "webhook" not in description.lower():
            return ("commands: another program reads this bot's updates: commands are off; "
                    "alerts go on")
        try:
            url = telegram.webhook_url(self._token)
        except (telegram.Unreachable, telegram.ApiError):
            url = None
        where = description if url is None else telegram.site(url)
        return (f"commands: the bot has a webhook set ({where}): commands are off; alerts go on; "
                f"delete the webhook with deleteWebhook to use commands")

    def _trouble(self, why):
        """One line when the trouble starts, then waits of 1, 2, 4 ... 60 s."""
        if self._stopping.is_set():
            return False
        if not self._failures:
            self._say(f"commands: cannot read updates ({why}); trying again, at most "
                      f"{LONGEST_WAIT} s apart")
        self._failures += 1
        self._wait(min(2 ** min(self._failures - 1, 6), LONGEST_WAIT))
        return not self._stopping.is_set()

    def _wait(self, seconds):
        self._stopping.wait(seconds)

    # ------------------------------------------------------------ the rest

    def _set_menu(self):
        commands = json.dumps([{"command": command, "description": description}
                               for command, description in self._menu])
        try:
            reply = telegram.call("setMyCommands", self._token, commands=commands)
        except telegram.Unreachable as error:
            problem = f"no answer from the Bot API: {error}"
        else:
            if reply.get("ok"):
                return
            problem = telegram.describe(reply, self._token)
        self._say(f"commands: could not set the bot's command menu ({problem}); commands "
                  f"still work")

    def _say(self, text):
        self._log(" ".join(scrub(text, self._token).split()))
