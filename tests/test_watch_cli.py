"""kilnguard-watch driven as an operator drives it: as a separate process."""

import json
import signal
import subprocess
import sys
import time

import pytest

from child_env import interruptible, watch_env
from fake_taostats import Reply, refused_port, subnet_listing


def watch(*args, timeout=60, **settings):
    return subprocess.run([sys.executable, "-m", "kilnguard_watch", *args], env=watch_env(**settings),
                          capture_output=True, text=True, timeout=timeout)


SECRETS = {"TELEGRAM_BOT_TOKEN": "123456:ABCDEFGHsecret", "TELEGRAM_CHAT_ID": "1"}


def test_version():
    done = watch("--version")
    assert done.returncode == 0 and done.stdout.startswith("kilnguard-watch ")


@pytest.mark.parametrize("args, settings, message", [
    ([], {}, "kilnguard-watch: no Taostats API key: set TAOSTATS_API_KEY or give --taostats-key-file\n"),
    ([], {"TAOSTATS_API_KEY": "k", "TELEGRAM_CHAT_ID": "1"},
     "kilnguard-watch: no bot token: set TELEGRAM_BOT_TOKEN or give --token-file\n"),
    ([], {"TAOSTATS_API_KEY": "k", "TELEGRAM_BOT_TOKEN": "t"},
     "kilnguard-watch: no chat id: set TELEGRAM_CHAT_ID or give --chat-id\n"),
    (["--token-file", "/nonexistent/token"], {"TAOSTATS_API_KEY": "k", "TELEGRAM_CHAT_ID": "1"},
     "kilnguard-watch: cannot read --token-file /nonexistent/token: No such file or directory\n"),
    (["--threshold", "x"], {}, "kilnguard-watch: argument --threshold: invalid float value: 'x' (see --help)\n"),
    (["--threshold", "nan", "--dry-run"], {"TAOSTATS_API_KEY": "k"},
     "kilnguard-watch: --threshold must be a rate from 0 to 1, not nan\n"),
    (["--threshold", "5", "--dry-run"], {"TAOSTATS_API_KEY": "k"},
     "kilnguard-watch: --threshold must be a rate from 0 to 1, not 5.0\n"),
    (["--interval", "20000", "--dry-run"], {"TAOSTATS_API_KEY": "k"},
     "kilnguard-watch: --interval must be at most a week (10080 minutes), not 20000.0\n"),
    (["--state", ".", "--dry-run"], {"TAOSTATS_API_KEY": "k"},
     "kilnguard-watch: --state . is a directory, not a regular file\n"),
    (["--state", "/dev/null", "--dry-run"], {"TAOSTATS_API_KEY": "k"},
     "kilnguard-watch: --state /dev/null is a character device, not a regular file\n"),
    (["--chat-id", "12:x"], {"TAOSTATS_API_KEY": "k", "TELEGRAM_BOT_TOKEN": "t"},
     "kilnguard-watch: --chat-id: topic in '12:x' is not a whole number above zero\n"),
    ([], {"TAOSTATS_API_KEY": "k", "TELEGRAM_BOT_TOKEN": "t", "TELEGRAM_CHAT_ID": "1,chat"},
     "kilnguard-watch: TELEGRAM_CHAT_ID: chat id 'chat' is not a number (like -1001234567890) "
     "or @channelname\n"),
    (["--interval", "-3", "--dry-run"], {"TAOSTATS_API_KEY": "k"},
     "kilnguard-watch: --interval must be at least 1 minute, not -3\n"),
    # The module would wait a whole minute anyway.
    (["--interval", "0.5", "--dry-run"], {"TAOSTATS_API_KEY": "k"},
     "kilnguard-watch: --interval must be at least 1 minute, not 0.5\n"),
    (["--state", "/nonexistent/s.json", "--dry-run"], {"TAOSTATS_API_KEY": "k"},
     "kilnguard-watch: --state /nonexistent/s.json: folder /nonexistent does not exist\n"),
    (["--frobnicate"], {}, "kilnguard-watch: unrecognized arguments: --frobnicate (see --help)\n"),
    # The Bot API's URL carries the token: an HTTP client's error about the
    # URL would quote it.
    ([], {"TAOSTATS_API_KEY": "k", "TELEGRAM_API_BASE": "http://127.0.0.1:9/x y", **SECRETS},
     "kilnguard-watch: TELEGRAM_API_BASE holds a space, a control character or non-ASCII text; "
     "percent-encode it\n"),
    ([], {"TAOSTATS_API_KEY": "k", "TELEGRAM_API_BASE": "http://127.0.0.1:9/x\ty", **SECRETS},
     "kilnguard-watch: TELEGRAM_API_BASE holds a space, a control character or non-ASCII text; "
     "percent-encode it\n"),
    ([], {"TAOSTATS_API_KEY": "k", "TAOSTATS_API_BASE": "ftp://127.0.0.1", **SECRETS},
     "kilnguard-watch: TAOSTATS_API_BASE must be an http:// or https:// URL with a host\n"),
    ([], {"TAOSTATS_API_KEY": "k", "TAOSTATS_API_BASE": "::not a url::", **SECRETS},
     "kilnguard-watch: TAOSTATS_API_BASE must be an http:// or https:// URL with a host\n"),
    (["--state", ""], {"TAOSTATS_API_KEY": "k", **SECRETS}, "kilnguard-watch: --state must name a file, not ''\n"),
    (["--dry-run"], {"TAOSTATS_API_KEY": b"\xffkey-" + SECRETS["TELEGRAM_BOT_TOKEN"].encode()},
     "kilnguard-watch: TAOSTATS_API_KEY is not valid UTF-8 text\n"),
    ([], {"TAOSTATS_API_KEY": "k", "TELEGRAM_BOT_TOKEN": "123456:ABCDEFGH\rsecret", "TELEGRAM_CHAT_ID": "1"},
     "kilnguard-watch: TELEGRAM_BOT_TOKEN holds a space, a control character or non-ASCII text "
     "(value not shown: it is a secret)\n"),
], ids=["no-key", "no-token", "no-chat", "unreadable-token-file", "bad-threshold", "nan-threshold",
        "threshold-above-1", "interval-above-a-week", "state-is-a-directory", "state-is-a-device",
        "bad-topic", "bad-chat-in-list", "negative-interval", "half-minute-interval",
        "missing-state-folder", "unknown-flag", "telegram-base-with-a-space", "telegram-base-with-a-tab",
        "taostats-base-not-http", "taostats-base-not-a-url", "empty-state",
        "key-not-utf-8", "token-with-a-return"])
def test_bad_settings_give_one_line_and_status_2(tmp_path, args, settings, message):
    done = subprocess.run([sys.executable, "-m", "kilnguard_watch", *args], env=watch_env(**settings),
                          capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert (done.returncode, done.stderr, done.stdout) == (2, message, "")
    assert "ABCDEFGH" not in done.stderr
    assert list(tmp_path.iterdir()) == []


def test_once_dry_run_prints_the_alert(fake_taostats, tmp_path):
    state = str(tmp_path / "state.json")
    settings = {"TAOSTATS_API_KEY": "k", "TAOSTATS_API_BASE": fake_taostats.url}
    fake_taostats.reply(Reply(body=json.dumps(subnet_listing(5, {3: "0.18"}))))
    first = watch("--once", "--dry-run", "--state", state, **settings)
    dry_run = "kilnguard-watch: dry run: messages are printed to standard output, not sent\n"
    assert (first.returncode, first.stdout, first.stderr) == (0, "", dry_run)
    fake_taostats.reply(Reply(body=json.dumps(subnet_listing(5, {3: "0.25"}))))
    second = watch("--once", "--dry-run", "--state", state, **settings)
    assert second.returncode == 0
    assert second.stdout.startswith("Owner burn rate changed\n")
    assert second.stdout.endswith(" UTC\n\nSN3: 0.1800 → 0.2500\n\n")
    assert second.stderr == dry_run + "[burn] alert sent (1 subnet(s))\n"


def test_a_failed_pass_gives_status_1(tmp_path):
    done = watch("--once", "--dry-run", "--state", str(tmp_path / "s.json"),
                 TAOSTATS_API_KEY="k", TAOSTATS_API_BASE="http://127.0.0.1:9")
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1].startswith("kilnguard-watch: error: ")
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize("once", [False, True], ids=["loop", "once"])
def test_pause_file_at_start_ends_the_run_without_a_request(fake_taostats, tmp_path, once):
    pause = tmp_path / "pause"
    pause.write_text("")
    done = watch("--dry-run", *(["--once"] if once else []), "--state", str(tmp_path / "s.json"),
                 "--pause-file", str(pause), TAOSTATS_API_KEY="k", TAOSTATS_API_BASE=fake_taostats.url)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "[burn] monitoring paused\n")
    assert fake_taostats.requests == []


def test_ctrl_c_gives_status_130_without_a_traceback(tmp_path):
    child = subprocess.Popen(
        interruptible([sys.executable, "-m", "kilnguard_watch", "--dry-run", "--no-snapshot",
                       "--state", str(tmp_path / "s.json")]),
        env=watch_env(TAOSTATS_API_KEY="k", TAOSTATS_API_BASE=f"http://127.0.0.1:{refused_port()}"),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)  # well inside the first wait
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert child.returncode == 130
    assert err.endswith("kilnguard-watch: interrupted\n") and "Traceback" not in err


@pytest.mark.parametrize("encoding, arrow", [("utf-8", " → "), ("ascii", " \\u2192 ")],
                         ids=["utf-8", "ascii-output"])
def test_demo_shows_a_snapshot_and_alerts(encoding, arrow):
    done = watch("--demo", timeout=120, PYTHONIOENCODING=encoding)
    assert done.returncode == 0, done.stderr
    assert "Subnet owner burn rates (startup)" in done.stdout
    assert "129 subnets" in done.stdout
    assert "Owner burn rate changed" in done.stdout and arrow in done.stdout
    assert "[burn] startup snapshot sent (129 subnets)\n" in done.stderr
    assert "[burn] alert sent (" in done.stderr


@pytest.mark.parametrize("args, status, line", [
    (["--once", "--dry-run"], 1, "kilnguard-watch: error: the Taostats listing answer is a JSON list, "
                                 "not an object"),
    (["--check", "--dry-run"], 1, "taostats key: unknown: the Taostats listing answer is a JSON list, "
                                  "not an object"),
], ids=["pass", "check"])
def test_a_listing_answer_that_is_a_json_list_is_named_as_taostats_answer(fake_taostats, tmp_path, args,
                                                                          status, line):
    fake_taostats.reply(Reply(body="[]"))
    done = watch(*args, "--state", str(tmp_path / "s.json"), TAOSTATS_API_KEY="k",
                 TAOSTATS_API_BASE=fake_taostats.url)
    assert done.returncode == status, done.stderr
    assert line in (done.stdout + done.stderr).splitlines()
