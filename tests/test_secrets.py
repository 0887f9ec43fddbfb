"""The Taostats key and the bot token stay out of every value handed back,
every error text and every log line, whatever the failing path echoes: error
pages and replies that repeat headers and paths plainly, JSON-escaped or
percent-encoded, descriptions that are not texts, excerpts cut anywhere
around a secret, and proxies. No 12-character run of either may show."""

import json
import re
import urllib.parse

import pytest

import kilnguard
from fake_taostats import Reply
from fake_telegram import Reply as TelegramReply
from fake_telegram import json_reply

KEY = "tao-4f1c2e9a7b3d5e8f0a1b2c3d4e5f6a7b"
# A key with characters that JSON escapes and URLs encode.
ODD_KEY = 'tao/"k\u00e9y"+0123456789abcdef'
TOKEN = "7712345678:AAF3kq9ZmX1vPq2RsT4uVw5XyZ6aBcDeFgH"


def forms(secret):
    """The plain, JSON-escaped and percent-encoded forms a page may echo."""
    return [secret, json.dumps(secret)[1:-1], json.dumps(secret, ensure_ascii=False)[1:-1],
            urllib.parse.quote(secret, safe=""), urllib.parse.quote(secret, safe="/:"),
            re.sub("%[0-9A-F]{2}", lambda m: m[0].lower(), urllib.parse.quote(secret, safe="")),
            urllib.parse.quote_plus(secret)]


def assert_clean(*values):
    for value in values:
        text = value if isinstance(value, str) else repr(value)
        for secret in (KEY, ODD_KEY, TOKEN):
            for form in set(forms(secret)):
                for start in range(len(form) - 11):
                    assert form[start:start + 12] not in text, (form, text[:300])


def echo_page(secret):
    return "<html><pre>" + "\r\n".join(f"Authorization: {form}" for form in forms(secret)) + "</pre>"


# ------------------------------------------------------------- Taostats

@pytest.mark.parametrize("key", [KEY, ODD_KEY], ids=["key", "odd-key"])
@pytest.mark.parametrize("reply", [
    lambda key: Reply(status=502, body=echo_page(key)),
    lambda key: Reply(status=401, body=json.dumps({"error": "bad key", "echo": {
        "headers": {"Authorization": forms(key)}, key: [key]}})),
    lambda key: Reply(status=200, body=echo_page(key)),
], ids=["error-page", "error-json", "success-not-json"])
def test_taostats_answers_that_echo_the_key(fake_taostats, key, reply):
    fake_taostats.reply(reply(key))
    assert_clean(kilnguard.http_get_json("/x", {}, key))


def test_taostats_excerpt_cut_anywhere_around_the_key(fake_taostats):
    for pad in range(500 - len(KEY) - 1, 501):
        fake_taostats.reply(Reply(status=200, body="x" * pad + KEY + "y" * 100))
        result = kilnguard.http_get_json("/x", {}, KEY)
        assert len(result["raw"]) <= 500
        assert_clean(result)


def test_fetch_failed_line(fake_taostats, monkeypatch, capsys, state_path, sleeps):
    monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
    fake_taostats.reply(Reply(status=403, body=json.dumps({"seen": forms(KEY) + [TOKEN]})))
    assert kilnguard.run_kilnguard_once(state_path=state_path, threshold=0.01,
                                        burn_token=TOKEN, burn_chat_id="1") == 1
    line = capsys.readouterr().err
    assert line.startswith("[burn] fetch failed: ")
    assert_clean(line)


# ------------------------------------------------------------- Telegram

def send(token=TOKEN):
    return kilnguard.send_burn_telegram("hi", token, "1")


@pytest.mark.parametrize("reply", [
    TelegramReply(404, f"Cannot POST /bot{urllib.parse.quote(TOKEN)}/sendMessage".encode()),
    TelegramReply(404, echo_page(TOKEN).encode()),
    TelegramReply(404),
    json_reply(400, {"ok": False, "description": {"path": f"/bot{TOKEN}/sendMessage"}}),
    json_reply(400, {"ok": False, "description": [1, TOKEN]}),
    json_reply(400, {"ok": False, "description": forms(TOKEN)}),
    json_reply(400, {"ok": False, "echo": TOKEN}),
    json_reply(200, {"ok": False, "echo": forms(TOKEN)}),
], ids=["percent-encoded-path", "every-form", "no-body", "description-object",
        "description-list", "description-forms", "no-description", "not-ok"])
def test_telegram_replies_that_echo_the_token(telegram, reply):
    telegram.answer(reply)
    ok, error = send()
    assert ok is False and error
    assert_clean(error)


@pytest.mark.parametrize("description", [{"code": 7, "why": "busy"}, [1, 2.5, None]], ids=repr)
def test_a_description_without_a_secret_comes_back_as_given(telegram, description):
    telegram.answer(json_reply(400, {"ok": False, "description": description}))
    assert send() == (False, description)


def test_telegram_excerpt_cut_anywhere_around_the_token(telegram):
    prefix = len(json.dumps({"ok": False, "pad": ""})) - 1 + len(', "t": "')
    for pad in range(300 - prefix - len(TOKEN) - 1, 300 - prefix + 1):
        telegram.answer(json_reply(400, {"ok": False, "pad": "x" * pad, "t": TOKEN}))
        ok, error = send()
        assert len(error) <= 300
        assert_clean(error)


def test_through_a_proxy_that_echoes_the_url(telegram, monkeypatch):
    monkeypatch.setenv("TELEGRAM_API_BASE", "http://telegram.invalid")
    monkeypatch.setenv("http_proxy", telegram.url)
    telegram.answer(TelegramReply(502, (
        "proxy cannot reach http://telegram.invalid/bot%s/sendMessage"
        % urllib.parse.quote(TOKEN)).encode()))
    ok, error = send()
    assert telegram.requests[0].path.startswith("http://telegram.invalid/bot")
    assert ok is False and "proxy cannot reach" in error
    assert_clean(error)


def test_telegram_failed_line(telegram, monkeypatch, capsys, state_path):
    monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
    monkeypatch.setattr(kilnguard, "fetch_all_subnets_latest",
                        lambda auth: [{"netuid": 1, "incentive_burn": "0.5"}])
    monkeypatch.setattr(kilnguard, "load_burn_state", lambda path: {"1": "0.1"})
    telegram.answer(json_reply(400, {"ok": False, "description": [KEY, TOKEN]}))
    assert kilnguard.run_kilnguard_once(state_path=state_path, threshold=0.01,
                                        burn_token=TOKEN, burn_chat_id="1") == 1
    line = capsys.readouterr().err
    assert line.startswith("[burn] telegram failed: ")
    assert_clean(line)


def test_a_secret_too_short_to_be_real_is_left_alone(monkeypatch):
    from fake_taostats import refused_port

    monkeypatch.setenv("TELEGRAM_API_BASE", f"http://127.0.0.1:{refused_port()}")
    ok, error = send(token="o")
    assert ok is False and "..." not in error and "onnect" in error
