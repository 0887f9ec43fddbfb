"""kilnguard-watch's own lines under replies that echo its secrets or carry
page layout: no form of the bot token in any line, every line one physical
line with one prefix, and the Bot API base read by the module's rule."""

import pytest

from fake_telegram import BAD_GATEWAY_PAGE, api_error

TOKEN = "123456:telegram-bot-token"
# How a proxy or a fake may echo the token in a reply's description.
ECHOES = {
    "plain": TOKEN,
    "percent-upper": TOKEN.replace(":", "%3A"),
    "percent-lower": TOKEN.replace(":", "%3a"),
    "json-escaped": TOKEN.replace(":", "\\u003a"),
}


def forms_of_the_token(text):
    return [name for name, form in ECHOES.items() if form in text]


@pytest.mark.parametrize("method", ["getMe", "getChat"])
@pytest.mark.parametrize("mode", [("--check",), ("--once",)], ids=["check", "start"])
@pytest.mark.parametrize("echo", list(ECHOES))
def test_a_reply_echoing_the_token_never_shows_it(watcher, method, mode, echo):
    watcher.listing({0: "0.5"})
    watcher.telegram.answer_method(method, api_error(500, f"Internal: bot{ECHOES[echo]}/{method}"))
    done = watcher.run(*mode)
    assert "Internal: bot" in done.stdout + done.stderr  # the reply was shown, in part
    assert forms_of_the_token(done.stdout + done.stderr) == []


def test_every_line_is_one_line_with_one_prefix_when_a_page_comes_back(watcher):
    watcher.listing({0: "0", 1: "0"})
    assert watcher.run("--once").returncode == 0
    # The alert of the second pass waits; the third pass tries it again.
    watcher.listing({0: "0", 1: "1"})
    watcher.listing({0: "0", 1: "1"})
    watcher.telegram.answer_method("sendMessage", *[BAD_GATEWAY_PAGE] * 6)
    lines = []
    for _ in range(2):
        done = watcher.run("--once")
        assert done.returncode == 1
        lines += done.stderr.splitlines()
    assert any("wait in the outbox" in line and "502 Bad Gateway" in line for line in lines)
    assert all(line.startswith(("kilnguard-watch: ", "[burn] ")) for line in lines), lines
    assert not any(line.startswith("kilnguard-watch: kilnguard-watch:") for line in lines)


def test_an_empty_bot_api_base_is_refused_as_the_module_would_fail_on_it(watcher):
    done = watcher.run("--once", TELEGRAM_API_BASE="")
    assert done.returncode == 2
    assert done.stderr == ("kilnguard-watch: TELEGRAM_API_BASE is set but empty: unset it for "
                           "https://api.telegram.org or give the URL of a Bot API server\n")
    assert watcher.telegram.requests == [] and watcher.taostats.requests == []
