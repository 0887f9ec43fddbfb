"""The README's own kilnguard-watch commands, read from the README as a new
operator reads them and run as written against the loopback fakes: only the
placeholders an operator fills in (the secrets, `~`) are filled in here."""

import pathlib
import re
import shlex
import signal

import pytest

from fake_taostats import wait_until
from fake_telegram import api_method

README = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")


def readme_commands():
    """Every kilnguard-watch command line of the README: in shell blocks, and
    in backticks in the text (where a line break may fall inside one)."""
    found = []
    for block in re.findall(r"```sh\n(.*?)```", README, re.S):
        for line in block.splitlines():
            command = line.split("#")[0].strip()
            if command.startswith("kilnguard-watch "):
                found.append(command)
    for quoted in re.findall(r"`(kilnguard-watch --[^`]+)`", README):
        found.append(" ".join(quoted.split()))
    return list(dict.fromkeys(found))


def readme_settings():
    """The variables of the README's `export` line, each placeholder ("...")
    filled in as an operator would."""
    [line] = [line for line in README.splitlines() if line.startswith("export TAOSTATS_API_KEY")]
    return dict(word.split("=", 1) for word in shlex.split(line)[1:])


def test_the_readme_shows_the_commands_this_file_runs():
    commands = readme_commands()
    assert "kilnguard-watch --demo" in commands and "kilnguard-watch --check" in commands
    assert any("--interval" in command for command in commands)


@pytest.mark.parametrize("command", readme_commands())
def test_a_readme_command_runs_as_written(watcher, tmp_path, command):
    args = [arg.replace("~/", f"{tmp_path}/") for arg in shlex.split(command)[1:]]
    settings = readme_settings()
    # The README's chat id is a placeholder of the form -100123...: a
    # supergroup's id, as an operator would paste it.
    settings.update(TAOSTATS_API_KEY=watcher.KEY, TELEGRAM_BOT_TOKEN=watcher.TOKEN,
                    TELEGRAM_CHAT_ID=settings["TELEGRAM_CHAT_ID"].rstrip(".") + "456")
    watcher.listing({n: "0.5" for n in range(5)})
    if "--once" in args or "--check" in args or "--demo" in args:
        done = watcher.run(*args, **settings)
        assert done.returncode == 0, done.stderr
        assert "Traceback" not in done.stderr
        if "--demo" not in args and "--dry-run" not in args:
            assert not watcher.telegram.requests or all(
                r.path.startswith(f"/bot{watcher.TOKEN}/") for r in watcher.telegram.requests)
        return
    # The monitor itself: its snapshot arrives, and a service stop ends it.
    child = watcher.start(*args, **settings)
    try:
        wait_until(lambda: any(api_method(r) == "sendMessage" for r in watcher.telegram.requests),
                   timeout=60)
        child.send_signal(signal.SIGTERM)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    [snapshot] = watcher.telegram.delivered(settings["TELEGRAM_CHAT_ID"])
    assert "5 subnets" in snapshot


@pytest.mark.parametrize("value", re.findall(r"`--chat-id (-?\d+:\d+)`", README))
def test_the_readme_forum_topic_example_reaches_its_topic(watcher, value):
    watcher.listing({0: "0"})
    watcher.listing({0: "1"})
    for _ in range(2):  # the first pass stores the rates, the second alerts
        done = watcher.run("--once", "--chat-id", value)
        assert done.returncode == 0, done.stderr
    chat, topic = value.split(":")
    sends = [r for r in watcher.telegram.requests if api_method(r) == "sendMessage"]
    assert [(r.field("chat_id"), r.field("message_thread_id")) for r in sends] == [(chat, topic)]
