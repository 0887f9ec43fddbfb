"""Settings checked against the services: the Taostats key (one small listing
request), the bot token (getMe), every chat (getChat, the bot's right to post
there with getChatMember, a topic with sendChatAction) and the state folder;
on request, a test message to every chat.
`--check` runs them all; a real run checks Telegram before its first pass
(the Taostats key is judged by the first listing answer, which costs no
request of its own)."""

import dataclasses
import json
import os
import tempfile

from kilnguard_watch.delivery import telegram as telegram_api
from kilnguard_watch.delivery.chats import sender_with_options
from kilnguard_watch.log import scrub
from kilnguard_watch.seam.listing_check import pass_error_text
from kilnguard_watch.cli.errors import EXIT_FAILURE, EXIT_OK, EXIT_SETTING_REFUSED

LISTING_PATH = "/api/subnet/latest/v1"
OK = "ok"
REFUSED = "refused"  # the service says the setting is wrong
MOVED = "moved"  # the chat has a new id; delivery follows it, the setting should too
UNKNOWN = "unknown"  # could not tell (network, service trouble)
SKIPPED = "not checked"  # not needed for this run
WARNING = "warning"  # alerts work, something else does not


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
    except TypeError as error:  # JSON, but not the object every answer is
        return Check("taostats key", UNKNOWN, pass_error_text(error))
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
    bot_id = bot.get("id")
    for chat in chats:
        results.append(_chat_check(token, chat, bot_id))
    return results


def _chat_check(token, chat, bot_id=None):
    name = f"telegram chat {chat.key}"
    try:
        reply = telegram_api.call("getChat", token, chat_id=chat.id)
        if reply.get("ok"):
            found = reply.get("result") if isinstance(reply.get("result"), dict) else {}
            title = found.get("title") or found.get("username") or found.get("first_name") or ""
            # getChat answers for a chat the bot may not post in: its rights
            # and the topic are asked for on their own.
            reply = _may_post(token, chat, bot_id, found)
            if reply is None:
                reply = _topic_exists(token, chat)
            if reply is None:
                return Check(name, OK, f"{found.get('type', 'chat')} {title}".strip())
    except telegram_api.Unreachable as error:
        return Check(name, UNKNOWN, f"no answer from the Bot API: {error}")
    except _NoRights as refusal:
        return Check(name, REFUSED, f"the bot may not post in chat {chat.key}: {refusal}")
    failure = telegram_api.classify(json.dumps(reply))
    if failure.reason == telegram_api.MIGRATED and failure.migrate_to:
        return Check(name, MOVED, f"the group became a supergroup: set the chat id to "
                                  f"{failure.migrate_to}", new_id=failure.migrate_to, chat=chat)
    if failure.reason in (telegram_api.CHAT, telegram_api.TOKEN):
        return Check(name, REFUSED, f"Telegram refuses chat {chat.key} "
                                    f"({telegram_api.describe(reply, token)}): check TELEGRAM_CHAT_ID or --chat-id")
    return Check(name, UNKNOWN, telegram_api.describe(reply, token))


class _NoRights(Exception):
    """The bot is in the chat's records but may not post there."""


def _may_post(token, chat, bot_id, found):
    """Raises _NoRights when getChatMember says the bot may not post in the
    chat; a failed reply is returned for the caller to judge; None when
    nothing says it may not (an answer without a status proves nothing)."""
    if not isinstance(bot_id, int) or isinstance(bot_id, bool):
        return None
    reply = telegram_api.call("getChatMember", token, chat_id=chat.id, user_id=bot_id)
    if not reply.get("ok"):
        return reply
    member = reply.get("result") if isinstance(reply.get("result"), dict) else {}
    status = member.get("status")
    if status in ("left", "kicked"):
        raise _NoRights(f"the bot is not a member (status {status}): add it to the chat")
    if status == "restricted" and member.get("can_send_messages") is False:
        raise _NoRights("the bot is restricted from sending messages: lift the restriction")
    if found.get("type") == "channel":
        if status != "creator" and not (status == "administrator" and member.get("can_post_messages")):
            raise _NoRights("in a channel the bot must be an administrator allowed to post "
                            "messages")
        return None
    permissions = found.get("permissions") if isinstance(found.get("permissions"), dict) else {}
    if status == "member" and permissions.get("can_send_messages") is False:
        raise _NoRights("members may not send messages in this group: make the bot an "
                        "administrator or allow members to send messages")
    return None


def _topic_exists(token, chat):
    """The Bot API has no read-only question about a forum topic. The least
    visible request that names one is sendChatAction: it shows "typing…" in
    the topic for a few seconds and posts nothing, and Telegram answers it
    "message thread not found" for a topic that does not exist. A failed
    reply is returned for the caller to judge; None otherwise."""
    if chat.topic is None:
        return None
    reply = telegram_api.call("sendChatAction", token, chat_id=chat.id, action="typing",
                              message_thread_id=chat.topic)
    return None if reply.get("ok") else reply


def webhook_check(token):
    """Chat commands are read with getUpdates, which Telegram refuses while
    the bot has a webhook; alerts are sent either way."""
    name = "telegram webhook"
    try:
        url = telegram_api.webhook_url(token)
    except telegram_api.Unreachable as error:
        return Check(name, UNKNOWN, f"no answer from the Bot API: {error}")
    except telegram_api.ApiError as error:
        return Check(name, UNKNOWN, str(error))
    if url is None:
        return Check(name, OK, "none set: chat commands can be read")
    return Check(name, WARNING, f"the bot has a webhook set ({telegram_api.site(url)}): chat "
                                f"commands cannot be read while it is; alerts still go; delete "
                                f"it with deleteWebhook to use commands")


def skipped_telegram_checks(reason):
    return [Check("telegram", SKIPPED, reason)]


TEST_MESSAGE = "kilnguard-watch test message: alerts for this chat arrive here."


def send_test(module, token, chats, silent):
    """One test message to every chat (and topic) through the module's
    send_telegram_message, with the options real messages carry: whether
    each chat took it is the one answer getChat cannot give."""
    results = []
    # The sender real messages go through when they need a topic or --silent.
    send = sender_with_options(module, silent)
    for chat in chats:
        name = f"test message to {chat.key}"
        ok, error = send(TEST_MESSAGE, token, chat.key)
        if ok:
            results.append(Check(name, OK, "Telegram took it"))
            continue
        text = " ".join(scrub(error, token).split())[:200]
        reason = telegram_api.classify(error).reason
        if reason in (telegram_api.CHAT, telegram_api.TOKEN, telegram_api.MIGRATED):
            results.append(Check(name, REFUSED, f"Telegram refused it ({text})"))
        else:
            results.append(Check(name, UNKNOWN, f"not delivered ({text})"))
    return results


def destination_checks(destinations):
    """Every destination was loaded with the configuration (a URL Apprise
    cannot use stops there, with status 2): one line each, by its masked
    name."""
    return [Check(f"destination {d.target.name}", OK, f"{d.target.service} URL loaded")
            for d in destinations]


def send_destination_tests(destinations):
    """One test message to every destination: whether each took it."""
    from kilnguard_watch.delivery.telegram import CHAT as REFUSES_DESTINATION

    results = []
    for d in destinations:
        name = f"test message to {d.target.name}"
        attempt = d.target.send(TEST_MESSAGE.replace("this chat", "this destination"))
        if attempt.ok:
            results.append(Check(name, OK, f"{d.target.service} took it"))
        elif attempt.failure is not None and attempt.failure.reason == REFUSES_DESTINATION:
            results.append(Check(name, REFUSED, f"{d.target.service} refused it ({attempt.error})"))
        else:
            results.append(Check(name, UNKNOWN, f"not delivered ({attempt.error})"))
    return results


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
