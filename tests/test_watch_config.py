"""kilnguard-watch with a configuration file, as an operator runs it: each
chat hears its own subnets at its own threshold, with its own topic and
sound; a file with mistakes stops it before anything else, naming them."""

import pytest

from fake_telegram import api_method

CONFIG = """\
threshold = 0.01
[[chat]]
id = 111
subnets = [1]
[[chat]]
id = "-100222"
topic = 5
silent = true
threshold = 0.3
"""


def test_each_chat_hears_what_its_table_says(watcher, tmp_path):
    config = tmp_path / "watch.toml"
    config.write_text(CONFIG)
    watcher.listing({0: "0", 1: "0", 2: "0"})
    assert watcher.run("--once", "--config", str(config)).returncode == 0
    watcher.listing({0: "0", 1: "0.1", 2: "0.5"})
    done = watcher.run("--once", "--config", str(config))
    assert done.returncode == 0, done.stderr
    # TELEGRAM_CHAT_ID (12345 in these tests) is not read beside a file.
    assert (f"kilnguard-watch: TELEGRAM_CHAT_ID is not read: the chats are those of {config}"
            in done.stderr.splitlines())
    [first], [second] = watcher.telegram.delivered("111"), watcher.telegram.delivered("-100222")
    assert first.endswith("\n\nSN1: 0.0000 → 0.1000") and second.endswith("\n\nSN2: 0.0000 → 0.5000")
    sends = {r.field("chat_id"): r for r in watcher.telegram.requests
             if api_method(r) == "sendMessage"}
    assert (sends["-100222"].field("message_thread_id"), sends["-100222"].field(
        "disable_notification")) == ("5", "true")
    assert sends["111"].field("disable_notification") is None
    assert watcher.telegram.delivered("12345") == []


@pytest.mark.parametrize("args, settings, line", [
    (["--check"], {"TAOSTATS_API_KEY": ""}, "{config}:5: chat.topic: must be a whole number above "
                                             "0, not text (\"7\")"),
    (["--once"], {}, "{config}:5: chat.topic: must be a whole number above 0, not text (\"7\")"),
    (["--once", "--chat-id", "5"], {}, "--config and --chat-id do not go together: name the "
                                       "chats in the file {config}"),
], ids=["check-before-anything-else", "never-starts-on-it", "not-with-chat-id"])
def test_a_file_with_mistakes_stops_it_with_status_2(watcher, tmp_path, args, settings, line):
    config = tmp_path / "watch.toml"
    config.write_text("[[chat]]\nid = 1\n[[chat]]\nid = 2\ntopic = \"7\"\nsubnets = [\"30-20\"]\n")
    done = watcher.run(*args, "--config", str(config), **settings)
    assert done.returncode == 2
    assert "kilnguard-watch: " + line.format(config=config) in done.stderr.splitlines()
    assert watcher.taostats.requests == [] and watcher.telegram.requests == []
