"""The configuration file: every mistake named with file, line and key, the
file taken whole or not at all, and a good file read into what each chat
watches."""

import os
import threading

import pytest

from kilnguard_watch.config import ChatConfig, Config, ConfigInvalid, load
from kilnguard_watch.delivery.chats import Chat

EXAMPLE = """\
threshold = 0.01                 # default for every chat
[[chat]]
id = -1001234567890              # integer or string, as Telegram gives it
topic = 7                        # optional forum topic
silent = true                    # optional
subnets = [1, 12, "20-30"]       # netuids and ranges; "all" (the default) for every subnet
threshold = 0.05                 # optional, this chat only
above = 0.99                     # optional level rules
below = 0.10
"""

CHAT = '[[chat]]\nid = "@channelname"\n'


def problems(tmp_path, text):
    """The problems load() finds in `text`, with the file's path written F."""
    path = tmp_path / "watch.toml"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ConfigInvalid) as raised:
        load(str(path))
    assert str(raised.value) == "\n".join(raised.value.problems)
    return [problem.replace(str(path), "F") for problem in raised.value.problems]


BAD_ID = "must be an integer, numeric text or @channelname (5 or more letters, digits or _)"
NOT_A_NETUID = 'not a netuid or a range like "20-30"'
MISTAKES = {
    "unknown-key-near-a-known-one": (
        "thresold = 0.1\n" + CHAT,
        ["F:1: thresold: unknown key (did you mean threshold?)"]),
    "chat-key-at-the-top": (
        "subnets = [1]\n" + CHAT,
        ["F:1: subnets: unknown key at the top level (it belongs in a [[chat]] table)"]),
    "unknown-sub-table-named-at-its-header": (
        CHAT + "[report]\nhour = 1\n",
        ["F:3: report: unknown key"]),
    "quoted-key-with-a-space": (
        CHAT + '"my key" = 1\n',
        ['F:3: chat."my key": unknown key']),
    "topic-as-text": (
        CHAT + 'topic = "7"\n',
        ['F:3: chat.topic: must be a whole number above 0, not text ("7")']),
    "topic-zero": (
        CHAT + "topic = 0\n",
        ["F:3: chat.topic: must be a whole number above 0 (0)"]),
    "topic-true": (
        CHAT + "topic = true\n",
        ["F:3: chat.topic: must be a whole number above 0, not true/false (true)"]),
    "silent-one": (
        CHAT + "silent = 1\n",
        ["F:3: chat.silent: must be true or false, not an integer (1)"]),
    "id-missing-named-at-the-header": (
        "threshold = 0.1\n\n[[chat]]\nsilent = true\n",
        ["F:3: chat.id: missing: every [[chat]] needs the chat's id"]),
    "id-with-topic-after-a-colon": (
        '[[chat]]\nid = "-100123:7"\n',
        ['F:2: chat.id: give the topic as topic = N, not after a colon ("-100123:7")']),
    "id-short-name": (
        '[[chat]]\nid = "@abc"\n',
        [f'F:2: chat.id: {BAD_ID} ("@abc")']),
    "id-a-number-with-a-point": (
        "[[chat]]\nid = 12.5\n",
        ['F:2: chat.id: must be an integer or text like "@channelname", not a number (12.5)']),
    "same-chat-twice-as-integer-and-text": (
        '[[chat]]\nid = -100123\ntopic = 7\n[[chat]]\nid = -100123\n'
        '[[chat]]\ntopic = 7\nid = "-100123"\nsilent = 1\n',
        ["F:8: chat.id: chat -100123 topic 7 is configured twice (first at line 2)",
         "F:9: chat.silent: must be true or false, not an integer (1)"]),
    "same-channel-twice-in-other-case": (
        CHAT + '[[chat]]\nid = "@ChannelName"\n',
        ["F:4: chat.id: chat @ChannelName is configured twice (first at line 2)"]),
    "subnets-a-range-not-in-a-list": (
        CHAT + 'subnets = "20-30"\n',
        ['F:3: chat.subnets: must be "all" or a list of netuids and ranges like "20-30" ("20-30")']),
    "subnets-all-in-capitals": (
        CHAT + 'subnets = "ALL"\n',
        ['F:3: chat.subnets: must be "all" or a list of netuids and ranges like "20-30" ("ALL")']),
    "subnets-empty": (
        CHAT + "subnets = []\n",
        ['F:3: chat.subnets: is an empty list, which watches nothing (leave it out, or "all", for every subnet)']),
    "subnets-each-bad-item": (
        CHAT + 'subnets = [-1, 65536, "30-20", "20..30", "x", "0-65536", true, "all", 7]\n',
        ["F:3: chat.subnets: netuid out of range 0..65535 (-1)",
         "F:3: chat.subnets: netuid out of range 0..65535 (65536)",
         'F:3: chat.subnets: range starts above its end ("30-20")',
         f'F:3: chat.subnets: {NOT_A_NETUID} ("20..30")',
         f'F:3: chat.subnets: {NOT_A_NETUID} ("x")',
         'F:3: chat.subnets: range outside 0..65535 ("0-65536")',
         f"F:3: chat.subnets: {NOT_A_NETUID} (true)",
         'F:3: chat.subnets: "all" stands alone, not in a list: subnets = "all"']),
    "range-with-more-digits-than-int-takes": (
        CHAT + f'subnets = ["1-{"9" * 5000}"]\n',
        [f'F:3: chat.subnets: range outside 0..65535 ("1-{"9" * 57}…)']),
    "threshold-above-one": (
        "threshold = 1.5\n" + CHAT,
        ["F:1: threshold: must be a number from 0 to 1 (1.5)"]),
    "threshold-true": (
        "threshold = true\n" + CHAT,
        ["F:1: threshold: must be a number from 0 to 1, not true/false (true)"]),
    "threshold-nan": (
        CHAT + "threshold = nan\n",
        ["F:3: chat.threshold: must be a number from 0 to 1 (nan)"]),
    "above-inf": (
        CHAT + "above = inf\n",
        ["F:3: chat.above: must be a number from 0 to 1 (inf)"]),
    "below-equal-to-above": (
        CHAT + "above = 0.5\nbelow = 0.5\n",
        ["F:4: chat.below: must be under above (0.5 is not under 0.5)"]),
    "history-days-zero": (
        "history_days = 0\n" + CHAT,
        ["F:1: history_days: must be a whole number of days from 1 to 3650 (0)"]),
    "history-days-a-fraction": (
        "history_days = 30.5\n" + CHAT,
        ["F:1: history_days: must be a whole number of days from 1 to 3650, not a number (30.5)"]),
    "history-days-in-a-chat": (
        CHAT + "history_days = 30\n",
        ["F:3: chat.history_days: unknown key"]),
    "digest-daily": (
        CHAT + 'digest = "daily"\n',
        ['F:3: chat.digest: must be "weekly" or "off" ("daily")']),
    "digest-day-a-number": (
        "digest_day = 1\n" + CHAT,
        ['F:1: digest_day: must be a day of the week, "monday" to "sunday" (1)']),
    "digest-hour-24": (
        "digest_hour = 24\n" + CHAT,
        ["F:1: digest_hour: must be a whole hour from 0 to 23, UTC (24)"]),
    "no-chat": (
        "threshold = 0.1\n",
        ["F:1: chat: no [[chat]] table: name at least one chat to send alerts to (or public = true)"]),
    "chat-as-one-table": (
        "threshold = 0.1\n[chat]\nid = 1\n",
        ["F:2: chat: must be [[chat]] tables (an array of tables), not a table"]),
    "chat-inline-with-a-number": (
        'chat = [{id = 1}, 2, {id = "x"}]\n',
        ['F:1: chat: must be [[chat]] tables, each a table ([{id = 1}, 2, {id = "x"}])',
         f'F:1: chat.id: {BAD_ID} ("x")']),
    "public-chats-not-a-count": (
        "public = true\npublic_chats = 0\n",
        ["F:2: public_chats: must be a whole number from 1 to 1000000 (0)"]),
    "key-lines-inside-a-multiline-string-skipped": (
        CHAT + 'note = """\ntopic = 1\n"""\ntopic = "1"\n',
        ["F:3: chat.note: unknown key",
         'F:6: chat.topic: must be a whole number above 0, not text ("1")']),
}


@pytest.mark.parametrize("text, expected", MISTAKES.values(), ids=MISTAKES.keys())
def test_each_mistake_is_named_with_its_line_and_key(tmp_path, text, expected):
    assert problems(tmp_path, text) == expected


def test_every_mistake_in_a_file_is_reported_in_file_order(tmp_path):
    text = ("threshold = 2\nnote = 1\n"
            "[[chat]]\nid = 1\ntopic = -1\nsubnets = [1, \"x\"]\n"
            "[[chat]]\nsilent = \"yes\"\nabove = 0.2\nbelow = 0.9\n"
            "[report]\nhour = 1\n")
    assert problems(tmp_path, text) == [
        "F:1: threshold: must be a number from 0 to 1 (2)",
        "F:2: note: unknown key",
        "F:5: chat.topic: must be a whole number above 0 (-1)",
        'F:6: chat.subnets: not a netuid or a range like "20-30" ("x")',
        "F:7: chat.id: missing: every [[chat]] needs the chat's id",
        'F:8: chat.silent: must be true or false, not text ("yes")',
        "F:10: chat.below: must be under above (0.9 is not under 0.2)",
        "F:11: report: unknown key",
    ]


def test_the_example_is_read_into_what_each_chat_watches(tmp_path):
    path = tmp_path / "watch.toml"
    path.write_text(EXAMPLE + '[[chat]]\nid = "@channelname"\nsubnets = "all"\n')
    assert load(str(path)) == Config(str(path), 0.01, (
        ChatConfig(Chat("-1001234567890", 7), 0.05, frozenset({1, 12, *range(20, 31)}), True, 0.99, 0.10),
        ChatConfig(Chat("@channelname"), 0.01),
    ))


def test_a_public_monitor_may_name_no_chat(tmp_path):
    path = tmp_path / "public.toml"
    path.write_text("public = true\npublic_chats = 500\n")
    assert load(str(path)) == Config(str(path), 0.01, (), commands=True, public=True,
                                     most_chats=500)


def test_ranges_are_expanded_with_their_ends(tmp_path):
    path = tmp_path / "watch.toml"
    path.write_text(CHAT + 'subnets = [3, "0-2", "65534-65535", "9-9", 3]\n')
    chat, = load(str(path)).chats
    assert chat.subnets == frozenset({0, 1, 2, 3, 9, 65534, 65535})
    assert [n for n in range(65536) if chat.watches(n)] == [0, 1, 2, 3, 9, 65534, 65535]


@pytest.mark.parametrize("text, days", [
    (CHAT, 90),
    ("history_days = 3650\n" + CHAT, 3650),
], ids=["flag", "file"])
def test_the_days_of_history_come_from_the_file_else_the_flag(tmp_path, text, days):
    path = tmp_path / "watch.toml"
    path.write_text(text)
    assert load(str(path), default_history_days=90).history_days == days


@pytest.mark.parametrize("top, own, file_threshold, chat_threshold", [
    ("", "", 0.03, 0.03),
    ("threshold = 0\n", "", 0.0, 0.0),
    ("threshold = 0.2\n", "threshold = 1\n", 0.2, 1.0),
], ids=["default", "file", "chat"])
def test_a_chat_threshold_falls_back_to_the_file_then_the_default(tmp_path, top, own, file_threshold,
                                                                  chat_threshold):
    path = tmp_path / "watch.toml"
    path.write_text(top + CHAT + own)
    config = load(str(path), default_threshold=0.03)
    assert (config.threshold, config.chats[0].threshold) == (file_threshold, chat_threshold)


def read_in_a_thread(path):
    """load()'s problems, from a thread so a hanging read fails the test
    instead of stopping the suite."""
    found = []

    def read():
        with pytest.raises(ConfigInvalid) as raised:
            load(path)
        found.extend(raised.value.problems)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(120)
    assert not reader.is_alive(), f"reading {path} hangs"
    return [problem.replace(path, "F") for problem in found]


@pytest.mark.parametrize("make, expected", [
    (os.mkfifo, "F is a FIFO, not a regular file"),
    (os.mkdir, "F is a directory, not a regular file"),
    (lambda path: None, "F: cannot read: No such file or directory"),
    (lambda path: open(path, "wb").write(b'[[chat]]\nid = "@chann\xe9l"\n'),
     "F:2: not UTF-8 text (byte 0xe9)"),
    (lambda path: open(path, "w").write(CHAT + "topic = = 7\n"), "F:3:9: not valid TOML: Invalid value"),
    (lambda path: open(path, "w").write(CHAT + f"topic = {'7' * 5000}\n"),
     "F: not valid TOML: Exceeds the limit (4300 digits) for integer string conversion: value has 5000 digits; "
     "use sys.set_int_max_str_digits() to increase the limit"),
], ids=["fifo", "directory", "missing", "not-utf-8", "toml-syntax", "integer-too-long"])
def test_a_file_not_read_whole_is_one_problem(tmp_path, make, expected):
    path = str(tmp_path / "watch.toml")
    make(path)
    assert read_in_a_thread(path) == [expected]
