"""Delivery through sendMessage against a loopback fake of the Bot API: the
request on the wire, every outcome of the reply, the errors that reach the
caller, numbered pieces with their pauses, and the token kept out of every
result."""

import json
import socket
import threading
import urllib.parse

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kilnguard
from fake_telegram import (BAD_GATEWAY_PAGE, BLOCKED, CHAT_NOT_FOUND, EMPTY_BAD_GATEWAY,
                           MESSAGE_TOO_LONG, TOO_MANY_REQUESTS, UNAUTHORIZED, Reply, json_reply,
                           sent)

TOKEN = "123456789:AAHdqTcvCH1vGWJxfSeofSAs0K5PALDsaw"
CHAT = "12345"


def send(text="hello", token=TOKEN, chat_id=CHAT):
    return kilnguard.send_burn_telegram(text, token, chat_id)


# ------------------------------------------------------------ the request

def test_request_on_the_wire(telegram):
    assert send("SN3: 0.1800 \u2192 0.2500") == (True, "")
    [request] = telegram.requests
    assert request.method == "POST"
    assert request.path == f"/bot{TOKEN}/sendMessage"
    assert request.body == (b"chat_id=12345&text=SN3%3A+0.1800+%E2%86%92+0.2500"
                            b"&disable_web_page_preview=true")
    assert request.header("Content-Type") == "application/x-www-form-urlencoded"
    assert request.header("Content-Length") == str(len(request.body))
    for absent in ("User-Agent", "Authorization", "Expect", "Accept-Encoding"):
        assert request.header(absent) is None, absent


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.text(st.characters(blacklist_categories=["Cs"]), max_size=30),
       chat_id=st.text(st.characters(blacklist_categories=["Cs"]), min_size=1, max_size=10))
def test_form_body_agrees_with_urlencode(telegram, text, chat_id):
    telegram.requests.clear()
    send(text, chat_id=chat_id)
    expected = urllib.parse.urlencode(
        [("chat_id", chat_id), ("text", text), ("disable_web_page_preview", "true")])
    assert telegram.requests[0].body == expected.encode("ascii")


@pytest.mark.parametrize("base, path", [
    pytest.param("{base}", "/bot{token}/sendMessage", id="plain"),
    pytest.param("{base}///", "/bot{token}/sendMessage", id="trailing-slashes"),
    pytest.param("{base}/tg/", "/tg/bot{token}/sendMessage", id="with-a-path"),
])
def test_api_base_comes_from_the_environment(telegram, monkeypatch, base, path):
    monkeypatch.setenv("TELEGRAM_API_BASE", base.format(base=telegram.base_url))
    assert send() == (True, "")
    assert telegram.requests[-1].path == path.format(token=TOKEN)


def test_api_base_is_read_at_each_call(telegram, monkeypatch):
    second = type(telegram)()
    try:
        send()
        monkeypatch.setenv("TELEGRAM_API_BASE", second.base_url)
        send()
        assert len(telegram.requests) == 1 and len(second.requests) == 1
    finally:
        second.close()


# ------------------------------------------------ Telegram's own options

PLAIN_BODY = b"chat_id=12345&text=hi&disable_web_page_preview=true"


@pytest.mark.parametrize("options, tail", [
    pytest.param({}, b"", id="none"),
    pytest.param({"message_thread_id": 7}, b"&message_thread_id=7", id="topic"),
    pytest.param({"disable_notification": True}, b"&disable_notification=true", id="silent"),
    pytest.param({"message_thread_id": 2**70, "disable_notification": True},
                 b"&message_thread_id=1180591620717411303424&disable_notification=true",
                 id="both"),
    pytest.param({"message_thread_id": None, "disable_notification": False}, b"",
                 id="defaults-given"),
])
def test_options_follow_the_three_fields(telegram, options, tail):
    assert kilnguard.send_telegram_message("hi", TOKEN, CHAT, **options) == (True, "")
    assert send("hi") == (True, "")
    with_options, plain = telegram.requests
    assert plain.body == PLAIN_BODY
    assert with_options.body == PLAIN_BODY + tail
    assert with_options.path == plain.path
    assert [n for n, _ in with_options.headers] == [n for n, _ in plain.headers]
    assert with_options.header("Content-Type") == plain.header("Content-Type")


@pytest.mark.parametrize("thread_id", [0, -3, True, 2.0, "7", b"7"], ids=repr)
def test_bad_topic_is_refused_before_any_request(telegram, thread_id):
    with pytest.raises(ValueError) as failure:
        kilnguard.send_telegram_message("hi", TOKEN, CHAT, message_thread_id=thread_id)
    assert str(failure.value) == ("send_telegram_message() argument 'message_thread_id' must be "
                                  f"a whole number above zero, not {thread_id!r}")
    assert telegram.requests == []


@pytest.mark.parametrize("call, message", [
    pytest.param(lambda: kilnguard.send_telegram_message("hi", TOKEN, CHAT, disable_notification=1),
                 "send_telegram_message() argument 'disable_notification' must be bool, not int",
                 id="silent-not-bool"),
    pytest.param(lambda: kilnguard.send_telegram_message("hi", TOKEN, None, message_thread_id=0),
                 "send_telegram_message() argument 'chat_id' must be str, not None", id="chat-id"),
    pytest.param(lambda: kilnguard.send_telegram_message("hi", TOKEN, CHAT, 7),
                 "send_telegram_message(): incompatible function arguments",
                 id="options-by-name-only"),
])
def test_option_argument_checks(telegram, call, message):
    with pytest.raises(TypeError) as failure:
        call()
    assert message in str(failure.value)
    assert telegram.requests == []


def test_options_share_the_outcomes(telegram):
    telegram.answer(BLOCKED, json_reply(400, {"description": f"no /bot{TOKEN}/"}))
    assert kilnguard.send_telegram_message("hi", TOKEN, CHAT, message_thread_id=3) == (
        False, "Forbidden: bot was blocked by the user")
    ok, error = kilnguard.send_telegram_message("hi", TOKEN, CHAT, disable_notification=True)
    assert ok is False and TOKEN not in error
    assert kilnguard.send_telegram_message("hi", "", CHAT, message_thread_id=3) == (
        False, "burn telegram not configured")


# ----------------------------------------------------------- the outcomes

LONG_PADDING = "x" * 400

OUTCOMES = [
    ("sent", sent(), (True, "")),
    ("ok-with-anything-else", json_reply(200, {"ok": True, "result": None, "x": [1]}), (True, "")),
    ("ok-is-a-text", json_reply(201, {"ok": "no"}), (True, "")),
    ("ok-false", json_reply(200, {"ok": False}), (False, "{'ok': False}")),
    ("ok-absent", json_reply(200, {"result": 1, "s": "it's"}), (False, "{'result': 1, 's': \"it's\"}")),
    ("ok-zero", json_reply(200, {"ok": 0.0}), (False, "{'ok': 0.0}")),
    ("chat-not-found", CHAT_NOT_FOUND, (False, "Bad Request: chat not found")),
    ("blocked", BLOCKED, (False, "Forbidden: bot was blocked by the user")),
    ("unauthorised", UNAUTHORIZED, (False, "Unauthorized")),
    ("too-many-requests", TOO_MANY_REQUESTS, (False, "Too Many Requests: retry after 34")),
    ("message-too-long", MESSAGE_TOO_LONG, (False, "Bad Request: message is too long")),
    ("description-not-text", json_reply(400, {"description": [1, 2]}), (False, [1, 2])),
    ("description-empty", json_reply(400, {"description": "", "pad": LONG_PADDING}),
     (False, json.dumps({"description": "", "pad": LONG_PADDING})[:300])),
    ("no-description", json_reply(404, {"ok": False}), (False, '{"ok": false}')),
    ("html-page", BAD_GATEWAY_PAGE, (False, BAD_GATEWAY_PAGE.body.decode())),
    ("long-text-not-shortened", Reply(500, b"e" * 1000), (False, "e" * 1000)),
    ("empty-body", EMPTY_BAD_GATEWAY, (False, "HTTP Error 502: Bad Gateway")),
    ("empty-body-own-reason", Reply(418, reason="Short And Stout"),
     (False, "HTTP Error 418: Short And Stout")),
    ("non-ascii-error-text", Reply(503, "d\u00e9j\u00e0 \U0001F600".encode()),
     (False, "d\u00e9j\u00e0 \U0001F600")),
]


@pytest.mark.parametrize("reply, result", [o[1:] for o in OUTCOMES], ids=[o[0] for o in OUTCOMES])
def test_reply_outcomes(telegram, reply, result):
    telegram.answer(reply)
    assert send() == result


@pytest.mark.parametrize("reply, error", [
    pytest.param(Reply(200, b"<html>ok</html>"), ValueError, id="success-not-json"),
    pytest.param(Reply(200), ValueError, id="success-empty"),
    pytest.param(Reply(200, b'{"ok": true}\xff'), UnicodeDecodeError, id="success-not-utf8"),
    pytest.param(Reply(200, b"[true]"), TypeError, id="success-json-list"),
    pytest.param(Reply(200, b"null"), TypeError, id="success-json-null"),
    pytest.param(Reply(400, b'{"description": "\xc3"}'), UnicodeDecodeError, id="error-not-utf8"),
    pytest.param(Reply(400, b'"Bad Request"'), TypeError, id="error-json-text"),
])
def test_replies_that_break_the_format_reach_the_caller(telegram, reply, error):
    telegram.answer(reply)
    with pytest.raises(error):
        send()


@pytest.mark.parametrize("token, chat_id", [("", CHAT), (TOKEN, ""), ("", "")], ids=repr)
def test_not_configured_sends_nothing(telegram, token, chat_id):
    long_text = "h1\nh2\nh3\n\n" + "\n".join(["line"] * 2000)
    assert send(token=token, chat_id=chat_id) == (False, "burn telegram not configured")
    assert kilnguard.send_burn_telegram_messages(long_text, token, chat_id) == (
        False, "burn telegram not configured")
    assert telegram.requests == []


@pytest.mark.parametrize("args, message", [
    pytest.param((None, TOKEN, CHAT), "send_burn_telegram() argument 'text' must be str, not None",
                 id="text"),
    pytest.param(("x", b"t", CHAT), "send_burn_telegram() argument 'token' must be str, not bytes",
                 id="token"),
    pytest.param(("x", TOKEN, 12345), "send_burn_telegram() argument 'chat_id' must be str, not int",
                 id="chat-id"),
])
def test_wrong_kinds_send_nothing(telegram, args, message):
    for operation in (kilnguard.send_burn_telegram, kilnguard.send_burn_telegram_messages):
        with pytest.raises(TypeError) as failure:
            operation(*args)
        assert str(failure.value) == message.replace("send_burn_telegram", operation.__name__)
    assert telegram.requests == []


# ------------------------------------------------------- the bot token

def refused_base():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{probe.getsockname()[1]}"


@pytest.mark.parametrize("token", [
    "123:with space", "123:line\nfeed", "123:cr\rx", "123:caf\u00e9", "123:nul\0x", "123:\ud800x",
], ids=repr)
def test_unusable_token_is_a_failed_result(telegram, token):
    ok, error = send(token=token)
    assert ok is False and error and token not in error
    assert telegram.requests == []


@pytest.mark.parametrize("situation", ["refused", "echoing-page", "echoing-reply",
                                       "echoing-description", "bad-scheme"])
def test_token_appears_in_no_result(telegram, monkeypatch, situation):
    echo = f"no route for POST /bot{TOKEN}/sendMessage"
    if situation == "refused":
        monkeypatch.setenv("TELEGRAM_API_BASE", refused_base())
    elif situation == "bad-scheme":
        monkeypatch.setenv("TELEGRAM_API_BASE", "ftp://127.0.0.1")
    elif situation == "echoing-page":
        telegram.answer(Reply(404, echo.encode()))
    elif situation == "echoing-reply":
        telegram.answer(json_reply(200, {"ok": False, "url": echo}))
    else:
        telegram.answer(json_reply(400, {"description": echo}))
    ok, error = kilnguard.send_burn_telegram_messages("hi", TOKEN, CHAT)
    assert ok is False and error
    assert TOKEN not in error and TOKEN.split(":")[1] not in error


@pytest.fixture
def tls_telegram(monkeypatch, tls_authority, tmp_path):
    import ssl

    from fake_telegram import FakeTelegram

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls_authority.issue_cert("127.0.0.1").configure_cert(context)
    fake = FakeTelegram(tls_context=context)
    ca_file = tmp_path / "ca.pem"
    tls_authority.cert_pem.write_to_path(str(ca_file))
    for name in ("SSL_CERT_FILE", "SSL_CERT_DIR"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("TELEGRAM_API_BASE", fake.base_url)
    yield fake, str(ca_file)
    fake.close()


def test_tls_with_a_trusted_authority(tls_telegram, monkeypatch):
    fake, ca_file = tls_telegram
    monkeypatch.setenv("SSL_CERT_FILE", ca_file)
    assert send() == (True, "")
    assert fake.requests[0].path == f"/bot{TOKEN}/sendMessage"


def test_untrusted_certificate_is_a_failure_without_the_token(tls_telegram):
    fake, _ = tls_telegram
    ok, error = send()
    assert ok is False and error and TOKEN not in error
    assert fake.requests == []


@pytest.mark.slow
def test_silent_server_times_out_without_the_token(monkeypatch):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen()
    accepted = []
    threading.Thread(target=lambda: accepted.append(listener.accept()), daemon=True).start()
    monkeypatch.setenv("TELEGRAM_API_BASE", f"http://127.0.0.1:{listener.getsockname()[1]}")
    try:
        ok, error = send()
    finally:
        listener.close()
    assert ok is False and error and TOKEN not in error


# ------------------------------------------------------ numbered pieces

def header_text(lines):
    return "Subnet owner burn rates (startup)\n2026-12-06T18:09:53Z UTC\n%d subnets\n\n" % lines


def test_short_text_goes_out_whole(telegram, sleeps):
    text = header_text(1) + "x" * (3900 - len(header_text(1)))
    assert kilnguard.send_burn_telegram_messages(text, TOKEN, CHAT) == (True, "")
    assert [dict(r.form())["text"] for r in telegram.requests] == [text]
    assert sleeps.pauses == []


def test_two_pieces_are_numbered_with_one_pause(telegram, sleeps):
    text = header_text(2) + "a" * 3000 + "\n" + "b" * 3000
    assert kilnguard.send_burn_telegram_messages(text, TOKEN, CHAT) == (True, "")
    texts = [dict(r.form())["text"] for r in telegram.requests]
    assert texts == ["(1/2)\n" + header_text(2) + "a" * 3000, "(2/2)\n" + header_text(2) + "b" * 3000]
    assert sleeps.pauses == [0.4]


def test_first_failed_piece_ends_the_sending(telegram, sleeps):
    text = header_text(5) + "\n".join(c * 3000 for c in "abcde")
    telegram.answer(sent(), sent(), CHAT_NOT_FOUND)
    assert kilnguard.send_burn_telegram_messages(text, TOKEN, CHAT) == (
        False, "Bad Request: chat not found")
    assert [dict(r.form())["text"][:6] for r in telegram.requests] == ["(1/5)\n", "(2/5)\n", "(3/5)\n"]
    assert sleeps.pauses == [0.4, 0.4]


def test_snapshot_of_1024_subnets(telegram, sleeps):
    rows = [{"netuid": n, "incentive_burn": str(n / 1024)} for n in reversed(range(1024))]
    text = kilnguard.format_burn_snapshot(rows, "2026-12-06T18:09:53Z")
    assert kilnguard.send_burn_telegram_messages(text, TOKEN, CHAT) == (True, "")
    texts = [dict(r.form())["text"] for r in telegram.requests]
    count = len(texts)
    assert count > 1 and sleeps.pauses == [0.4] * (count - 1)
    body = []
    for i, message in enumerate(texts, 1):
        prefix = f"({i}/{count})\n"
        assert message.startswith(prefix + header_text(1024))
        piece = message[len(prefix):]
        assert len(piece) <= 3900
        body += piece.split("\n")[4:]
    assert body == text.split("\n")[4:]
    assert body[0] == "SN0: 0.0000" and body[-1] == "SN1023: 0.9990"


def test_pieces_go_through_the_module_bindings(monkeypatch, sleeps):
    calls = []
    monkeypatch.setattr(kilnguard, "_chunk_text", lambda text: ("p1", "p2", "p3"))
    monkeypatch.setattr(kilnguard, "send_burn_telegram",
                        lambda *args: calls.append(args) or (True, ""))
    assert kilnguard.send_burn_telegram_messages("t", "k", "c") == (True, "")
    assert calls == [("(1/3)\np1", "k", "c"), ("(2/3)\np2", "k", "c"), ("(3/3)\np3", "k", "c")]
    assert sleeps.pauses == [0.4, 0.4]


def test_interrupt_during_a_pause_stops_the_sending(telegram, sleeps):
    def interrupt(count):
        raise KeyboardInterrupt

    sleeps.on_sleep = interrupt
    text = header_text(2) + "a" * 3000 + "\n" + "b" * 3000
    with pytest.raises(KeyboardInterrupt):
        kilnguard.send_burn_telegram_messages(text, TOKEN, CHAT)
    assert len(telegram.requests) == 1
