"""Settings checked against the services: the Taostats key (one small listing
request), the bot token (getMe), every chat (getChat) and the state folder.
`--check` runs them all; a real run checks Telegram before its first pass
(the Taostats key is judged by the first listing answer, which costs no
request of its own)."""

import dataclasses
import json
import os
import tempfile

from kilnguard_watch.delivery import telegram as telegram_api
from kilnguard_watch.log import scrub
from kilnguard_watch.cli.errors import EXIT_FAILURE, EXIT_OK, EXIT_SETTING_REFUSED

LISTING_PATH = "/api/subnet/latest/v1"
OK = "ok"
REFUSED = "refused"  # the service says the setting is wrong
MOVED = "moved"  # the chat has a new id; delivery follows it, the setting should too
UNKNOWN = "unknown"  # could not tell (network, service trouble)


@dataclasses.dataclass
class Check:
    name: str
    status: str
    detail: str
    new_id: str | None = None  # for MOVED
    chat: object = None  # the Chat a chat check is about

    def line(self):
        return f"{self.name}: {self.status}: {self.detail}"


def taostats_check(module):
    auth = module.taostats_auth()
    if not auth:
        return Check("taostats key", REFUSED, "TAOSTATS_API_KEY is not set")
    try:
        answer = module.http_get_json(LISTING_PATH, {"limit": 1}, auth)
    except Exception as error:  # transport failures, a reply that is not JSON
        return Check("taostats key", UNKNOWN, f"no answer from {module.api_base()}: {error}")
    status = answer.get("http_status") if isinstance(answer, dict) else None
    if status in (401, 403):
        message = scrub(answer.get("message", answer), auth)[:200]
        return Check("taostats key", REFUSED,
                     f"Taostats refuses TAOSTATS_API_KEY (HTTP {status}: {message})")
    if status is not None or not isinstance(answer, dict) or "parse_error" in answer:
        return Check("taostats key", UNKNOWN, f"unexpected answer from Taostats (HTTP {status})")
    return Check("taostats key", OK, "the listing answered")


def telegram_checks(token, chats):
    """getMe for the token, then getChat for each chat (skipped when the
    token is refused or Telegram cannot be reached)."""
    try:
        me = telegram_api.call("getMe", token)
    except telegram_api.Unreachable as error:
        return [Check("telegram token", UNKNOWN, f"no answer from the Bot API: {error}")]
    if not me.get("ok"):
        if me.get("error_code") in (401, 404):
            return [Check("telegram token", REFUSED, f"Telegram refuses TELEGRAM_BOT_TOKEN "
                                                     f"({telegram_api.describe(me, token)})")]
        return [Check("telegram token", UNKNOWN, telegram_api.describe(me, token))]
    bot = me.get("result") if isinstance(me.get("result"), dict) else {}
    results = [Check("telegram token", OK, f"bot @{bot.get('username', '?')}")]
    for chat in chats:
        results.append(_chat_check(token, chat))
    return results


def _chat_check(token, chat):
    name = f"telegram chat {chat.key}"
    try:
        reply = telegram_api.call("getChat", token, chat_id=chat.id)
    except telegram_api.Unreachable as error:
        return Check(name, UNKNOWN, f"no answer from the Bot API: {error}")
    if reply.get("ok"):
        found = reply.get("result") if isinstance(reply.get("result"), dict) else {}
        title = found.get("title") or found.get("username") or found.get("first_name") or ""
        return Check(name, OK, f"{found.get('type', 'chat')} {title}".strip())
    failure = telegram_api.classify(json.dumps(reply))
    if failure.reason == telegram_api.MIGRATED and failure.migrate_to:
        return Check(name, MOVED, f"the group became a supergroup: set the chat id to "
                                  f"{failure.migrate_to}", new_id=failure.migrate_to, chat=chat)
    if failure.reason in (telegram_api.CHAT, telegram_api.TOKEN):
        return Check(name, REFUSED, f"Telegram refuses chat {chat.key} "
                                    f"({telegram_api.describe(reply, token)}): check TELEGRAM_CHAT_ID or --chat-id")
    return Check(name, UNKNOWN, telegram_api.describe(reply, token))


def folder_unwritable(folder):
    """Why no file can be made in `folder` now (its error text), or None."""
    try:
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        return error.strerror or str(error)
    return None


def state_folder_check(state_path):
    # Not REFUSED: a folder remounted read-only or a full disk can clear by
    # itself, and the monitor keeps running (and reporting) meanwhile.
    folder = os.path.dirname(os.path.abspath(state_path))
    problem = folder_unwritable(folder)
    if problem is not None:
        return Check("state folder", UNKNOWN, f"cannot write in {folder} now: {problem}")
    return Check("state folder", OK, f"{folder} is writable")


def exit_status(checks):
    if any(check.status in (REFUSED, MOVED) for check in checks):
        return EXIT_SETTING_REFUSED
    if any(check.status == UNKNOWN for check in checks):
        return EXIT_FAILURE
    return EXIT_OK
