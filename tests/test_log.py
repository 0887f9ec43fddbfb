"""The host's log lines under systemd's journal: each of its own lines
carries its priority when, and only when, standard error is the journal
stream, so `journalctl -p err` finds the failures and a file or a terminal
gets plain lines. The module's own lines are left as they are."""

import os
import subprocess
import sys

import pytest

from child_env import watch_env
from kilnguard_watch import log

CHILD = """
import sys
import kilnguard
from kilnguard_watch.log import ERROR, INFO, WARNING, log_line

log_line("--token-file: no such file", ERROR)
log_line("2 message(s) wait in the outbox", WARNING)
log_line("pass ok: 3 subnets", INFO)
log_line("first pass")
log_line("an error page\\nthat spans lines", ERROR)
kilnguard.run_kilnguard_once(state_path=sys.argv[1], threshold=0.0, burn_token="", burn_chat_id="")
"""

LINES = ["{error}kilnguard-watch: --token-file: no such file",
         "{warning}kilnguard-watch: 2 message(s) wait in the outbox",
         "{info}kilnguard-watch: pass ok: 3 subnets",
         "{info}kilnguard-watch: first pass",
         "{error}kilnguard-watch: an error page\\nthat spans lines",
         "[burn] taostats API not available (must be bundled in package defaults)"]
JOURNAL = dict(error="<3>", warning="<4>", info="<6>")
PLAIN = dict(error="", warning="", info="")


def identity(path):
    status = os.stat(path)
    return f"{status.st_dev}:{status.st_ino}"


@pytest.mark.parametrize("stream, priorities", [
    ("stderr", JOURNAL),
    (None, PLAIN),
    # A child of the service inherits the variable with its standard error
    # sent elsewhere (a file, a pipe).
    ("other", PLAIN),
    ("garbage", PLAIN),
], ids=["journal", "no-journal", "journal-of-another-stream", "malformed"])
def test_priorities_only_when_standard_error_is_the_journal(tmp_path, stream, priorities):
    stderr_path, other = tmp_path / "stderr", tmp_path / "other"
    stderr_path.touch()
    other.touch()
    settings = {}
    if stream is not None:
        settings["JOURNAL_STREAM"] = {"stderr": identity(stderr_path), "other": identity(other),
                                      "garbage": "journal"}[stream]
    with open(stderr_path, "w") as stderr:
        run = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "burn_state.json")],
                             env=watch_env(**settings), stderr=stderr, timeout=120)
    assert run.returncode == 0
    assert stderr_path.read_text().splitlines() == [line.format(**priorities) for line in LINES]


def test_a_replaced_standard_error_gets_plain_lines(monkeypatch, capsys, tmp_path):
    # Whatever took sys.stderr's place (a capture, a wrapper without a file
    # descriptor) is not the journal, whatever fd 2 is.
    monkeypatch.setenv("JOURNAL_STREAM", identity("/proc/self/fd/2"))
    log.log_line("refused", log.ERROR)
    assert capsys.readouterr().err == "kilnguard-watch: refused\n"
