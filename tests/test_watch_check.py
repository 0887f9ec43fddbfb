"""`kilnguard-watch --check` as a new operator runs it: the bot's right to
post in each chat, a forum topic that must exist, a dry run that needs no
token, and the test message to every chat; all from the real process
against the loopback fakes."""

import json

import pytest

from fake_taostats import Reply
from fake_telegram import BAD_GATEWAY_PAGE, BLOCKED, api_error, api_method, json_reply

BOT_ID = 4242
ME = json_reply(200, {"ok": True, "result": {"id": BOT_ID, "is_bot": True, "username": "kiln_bot"}})
GROUP = {"id": -100123, "type": "supergroup", "title": "Validators"}
CHANNEL = {"id": -100123, "type": "channel", "title": "Burns"}
NO_RIGHTS = api_error(400, "Bad Request: not enough rights to send text messages to the chat")
NO_THREAD = api_error(400, "Bad Request: message thread not found")


def ok(result):
    return json_reply(200, {"ok": True, "result": result})


def member(status, **rights):
    return ok({"user": {"id": BOT_ID, "is_bot": True}, "status": status, **rights})


def check(watcher, *args, **settings):
    watcher.taostats.reply(Reply(body=json.dumps({"pagination": {}, "data": [{"netuid": 0}]})))
    return watcher.run("--check", *args, **settings)


def calls(watcher, method):
    return [r for r in watcher.telegram.requests if api_method(r) == method]


@pytest.mark.parametrize("chat, found, rights, topic, status, line", [
    ("-100123", GROUP, member("member"), None, 0, "ok: supergroup Validators"),
    ("-100123", GROUP, member("left"), None, 78, "refused: the bot may not post in chat -100123: "
                                                 "the bot is not a member (status left)"),
    ("-100123", GROUP, member("kicked"), None, 78, "refused: the bot may not post in chat -100123: "
                                                   "the bot is not a member (status kicked)"),
    ("-100123", GROUP, member("restricted", can_send_messages=False), None, 78,
     "refused: the bot may not post in chat -100123: the bot is restricted"),
    ("-100123", {**GROUP, "permissions": {"can_send_messages": False}}, member("member"), None, 78,
     "refused: the bot may not post in chat -100123: members may not send messages"),
    ("-100123", {**GROUP, "permissions": {"can_send_messages": False}}, member("administrator"), None,
     0, "ok: supergroup Validators"),
    ("-100123", CHANNEL, member("administrator", can_post_messages=False), None, 78,
     "refused: the bot may not post in chat -100123: in a channel the bot must be an administrator"),
    ("-100123", CHANNEL, member("administrator", can_post_messages=True), None, 0, "ok: channel Burns"),
    ("-100123:7", GROUP, member("member"), NO_THREAD, 78,
     "refused: Telegram refuses chat -100123:7 (Bad Request: message thread not found)"),
    ("-100123:7", GROUP, member("member"), ok(True), 0, "ok: supergroup Validators"),
    ("-100123", BAD_GATEWAY_PAGE, None, None, 1, "unknown: no answer from the Bot API: HTTP 502"),
], ids=["member", "left", "kicked", "restricted", "members-muted", "admin-where-members-muted",
        "channel-admin-not-posting", "channel-admin-posting", "topic-missing", "topic-found",
        "getchat-502-page"])
def test_check_finds_chats_the_bot_may_not_post_in(watcher, chat, found, rights, topic, status, line):
    watcher.telegram.answer_method("getMe", ME)
    watcher.telegram.answer_method("getChat", found if isinstance(found, Reply) else ok(found))
    if rights is not None:
        watcher.telegram.answer_method("getChatMember", rights)
    if topic is not None:
        watcher.telegram.answer_method("sendChatAction", topic)
    done = check(watcher, "--chat-id", chat)
    assert done.returncode == status, done.stdout + done.stderr
    assert f"telegram chat {chat}: {line}" in done.stdout, done.stdout
    if rights is not None:
        [asked] = calls(watcher, "getChatMember")
        assert (asked.field("chat_id"), asked.field("user_id")) == ("-100123", str(BOT_ID))
    assert [r.field("message_thread_id") for r in calls(watcher, "sendChatAction")] == \
        (["7"] if topic is not None else [])
    assert calls(watcher, "sendMessage") == []


def test_negative_chat_ids_are_values_of_chat_id_not_flags(watcher):
    done = check(watcher, "--chat-id", "-1001234567890:7", "--chat-id", "-100555", "--chat-id", "42")
    assert done.returncode == 0, done.stdout + done.stderr
    assert [r.field("chat_id") for r in calls(watcher, "getChat")] == ["-1001234567890", "-100555", "42"]


def test_a_dry_run_check_needs_no_token(watcher):
    done = check(watcher, "--dry-run", TELEGRAM_BOT_TOKEN="", TELEGRAM_CHAT_ID="")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "telegram: not checked: no bot token is needed for a dry run" in done.stdout.splitlines()
    assert watcher.telegram.requests == []


TEST_TEXT = "kilnguard-watch test message: alerts for this chat arrive here."


@pytest.mark.parametrize("answers, status, lines", [
    ({}, 0, ["test message to -100123:7: ok: Telegram took it", "test message to 555: ok: Telegram took it"]),
    ({"555": BLOCKED}, 78, ["test message to -100123:7: ok",
                            "test message to 555: refused: Telegram refused it (Forbidden: bot was blocked"]),
    ({"-100123": NO_RIGHTS}, 78, ["test message to -100123:7: refused: Telegram refused it (Bad Request: "
                                  "not enough rights", "test message to 555: ok"]),
    ({"555": BAD_GATEWAY_PAGE}, 1, ["test message to -100123:7: ok", "test message to 555: unknown: not "
                                                                     "delivered (<html>"]),
], ids=["both-take-it", "one-blocked", "no-rights", "502-page"])
def test_send_test_sends_one_message_to_every_chat(watcher, answers, status, lines):
    for chat, reply in answers.items():
        watcher.telegram.answer_chat(chat, reply)
    done = check(watcher, "--send-test", "--silent", "--chat-id", "-100123:7", "--chat-id", "555")
    assert done.returncode == status, done.stdout + done.stderr
    printed = done.stdout.splitlines()[-2:]
    assert all(p.startswith(line) for p, line in zip(printed, lines)), printed
    sends = calls(watcher, "sendMessage")
    assert [(r.field("chat_id"), r.field("text"), r.field("message_thread_id"),
             r.field("disable_notification")) for r in sends] == [
        ("-100123", TEST_TEXT, "7", "true"), ("555", TEST_TEXT, None, "true")]


@pytest.mark.parametrize("mode", [["--once"], []], ids=["once", "loop"])
def test_a_bot_that_may_not_post_stops_the_start_with_status_78(watcher, mode):
    watcher.telegram.answer_method("getMe", ME)
    watcher.telegram.answer_method("getChatMember", member("restricted", can_send_messages=False))
    done = watcher.run(*mode, "--pause-file", str(watcher.pause))
    assert (done.returncode, done.stderr) == (
        78, "kilnguard-watch: the bot may not post in chat 12345: the bot is restricted from "
            "sending messages: lift the restriction\n")
    assert watcher.taostats.requests == [] and calls(watcher, "sendMessage") == []
