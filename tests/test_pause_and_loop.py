"""The pause switch, the interval sleep and the poll loop. The host's
time.sleep is a recorder, so loops of many intervals run in milliseconds."""

import math
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import kilnguard
from child_env import interruptible
from monitor_host import MonitorHost, rows


@pytest.fixture
def pause_file(tmp_path):
    return tmp_path / "pause"


def test_pause_switch_states(tmp_path, pause_file, monkeypatch):
    assert kilnguard._burn_is_paused(str(pause_file)) is False  # missing
    pause_file.write_text("")
    assert kilnguard._burn_is_paused(str(pause_file)) is True  # content never matters
    link = tmp_path / "link"
    link.symlink_to(pause_file)
    assert kilnguard._burn_is_paused(str(link)) is True
    pause_file.unlink()
    assert kilnguard._burn_is_paused(str(link)) is False  # dangling
    assert kilnguard._burn_is_paused(str(tmp_path)) is False  # a directory
    assert kilnguard._burn_is_paused("/dev/null") is False  # not a regular file
    assert kilnguard._burn_is_paused("bad\0path") is False
    assert kilnguard._burn_is_paused("\udcff") is False
    monkeypatch.chdir(tmp_path)
    (tmp_path / "relative").write_text("")
    assert kilnguard._burn_is_paused("relative") is True
    assert kilnguard._burn_is_paused("") is False


class PauseProbe:
    """Wraps the module's own pause test to count how often it is asked."""

    def __init__(self, monkeypatch):
        self.tests = 0
        real = kilnguard._burn_is_paused

        def counted(path):
            self.tests += 1
            return real(path)

        monkeypatch.setattr(kilnguard, "_burn_is_paused", counted)


@pytest.mark.parametrize("interval, pauses, tests", [
    (0, [], 1),
    (-5, [], 1),
    (math.nan, [], 1),
    (2.5, [1.0, 1.0, 0.5], 4),
    (3, [1.0, 1.0, 1.0], 4),
    (0.25, [0.25], 2),
])
def test_interval_sleep_steps(sleeps, monkeypatch, pause_file, interval, pauses, tests):
    probe = PauseProbe(monkeypatch)
    assert kilnguard._sleep_until_interval(interval, str(pause_file)) is True
    assert sleeps.pauses == pauses
    assert probe.tests == tests


@pytest.mark.parametrize("created_at_sleep, interval, pauses", [
    (0, 5, 0),  # present at the start: no sleep at all
    (2, 5, 2),  # created during the wait: noticed after the current step
    (3, 3, 3),  # created during the last step: the final test catches it
])
def test_interval_sleep_stops_for_the_pause_file(sleeps, pause_file, created_at_sleep, interval, pauses):
    if created_at_sleep == 0:
        pause_file.write_text("")
    sleeps.on_sleep = lambda n: n == created_at_sleep and pause_file.write_text("")
    assert kilnguard._sleep_until_interval(interval, str(pause_file)) is False
    assert len(sleeps.pauses) == pauses


def test_empty_pause_path_always_sleeps_the_whole_interval(sleeps):
    assert kilnguard._sleep_until_interval(4, "") is True
    assert sleeps.pauses == [1.0] * 4


@pytest.fixture
def host(monkeypatch, capsys):
    return MonitorHost(monkeypatch, capsys)


def loop(state_path, pause_file, interval_minutes=1, **extra):
    kilnguard.run_burn_poll_loop(state_path=state_path, threshold=0.01,
                                 interval_minutes=interval_minutes, burn_token="t",
                                 burn_chat_id="c", pause_path=str(pause_file), **extra)


def test_pause_file_present_at_start_stops_at_once(host, sleeps, state_path, pause_file):
    pause_file.write_text("")
    assert loop(state_path, pause_file) is None
    assert host.lines == ["[burn] monitoring paused\n"]
    assert host.fetches == [] and sleeps.pauses == []


def test_the_loop_waits_an_interval_before_each_pass(host, sleeps, state_path, pause_file):
    host.listings = [rows({1: "0"})]
    # Three whole intervals of 60 one-second steps, then the pause file.
    sleeps.on_sleep = lambda n: n == 150 and pause_file.write_text("")
    loop(state_path, pause_file)
    assert len(host.fetches) == 2  # after sleep 60 and after sleep 120
    assert set(sleeps.pauses) == {1.0} and len(sleeps.pauses) == 150
    assert host.lines == ["[burn] monitoring paused\n"]


@pytest.mark.parametrize("minutes, seconds", [
    (0.5, 60.0), (1, 60.0), (0, 60.0), (-3, 60.0), (math.nan, 60.0), (2.5, 150.0), (10, 600.0),
], ids=repr)
def test_interval_rule(host, state_path, pause_file, monkeypatch, minutes, seconds):
    waits = []
    monkeypatch.setattr(kilnguard, "_sleep_until_interval",
                        lambda interval, path: waits.append(interval) or False)
    loop(state_path, pause_file, interval_minutes=minutes)
    assert waits == [seconds] and type(waits[0]) is float


def test_errors_of_a_pass_are_logged_and_the_loop_goes_on(host, sleeps, state_path, pause_file,
                                                          monkeypatch):
    outcomes = iter([OSError(2, "No such file or directory"), ValueError("bad key '7.0'"), None])
    calls = []

    def flaky_pass(**arguments):
        calls.append(arguments)
        outcome = next(outcomes)
        if outcome is not None:
            raise outcome
        pause_file.write_text("")
        return 0

    monkeypatch.setattr(kilnguard, "run_kilnguard_once", flaky_pass)
    loop(state_path, pause_file, interval_minutes=0)
    assert host.lines == ["[burn] error: [Errno 2] No such file or directory\n",
                          "[burn] error: bad key '7.0'\n",
                          "[burn] monitoring paused\n"]
    assert calls[0] == dict(state_path=state_path, threshold=0.01, burn_token="t", burn_chat_id="c")
    assert len(calls) == 3


@pytest.mark.parametrize("interruption", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("where", ["pass", "sleep"])
def test_interrupts_end_the_loop(host, sleeps, state_path, pause_file, monkeypatch, interruption, where):
    def interrupted(*args, **kwargs):
        raise interruption()

    if where == "pass":
        monkeypatch.setattr(kilnguard, "run_kilnguard_once", interrupted)
    else:
        sleeps.on_sleep = lambda n: interrupted()
    with pytest.raises(interruption):
        loop(state_path, pause_file)
    assert host.lines == []


def test_a_pause_during_a_pass_lets_it_finish_and_stops_without_another(host, sleeps, state_path,
                                                                      pause_file, monkeypatch):
    passes = []

    def pausing_pass(**arguments):
        passes.append(arguments)
        pause_file.write_text("")
        return 0

    monkeypatch.setattr(kilnguard, "run_kilnguard_once", pausing_pass)
    loop(state_path, pause_file)
    assert len(passes) == 1
    assert len(sleeps.pauses) == 60  # the first interval only
    assert host.lines == ["[burn] monitoring paused\n"]


def test_an_infinite_interval_never_runs_a_pass(host, sleeps, state_path, pause_file):
    sleeps.on_sleep = lambda n: n == 500 and pause_file.write_text("")
    loop(state_path, pause_file, interval_minutes=math.inf)
    assert host.fetches == [] and len(sleeps.pauses) == 500


def test_poll_loop_checks_its_arguments_before_waiting(sleeps, state_path):
    with pytest.raises(TypeError, match="argument 'interval_minutes' must be a real number, not str"):
        kilnguard.run_burn_poll_loop(state_path=state_path, threshold=0, interval_minutes="5",
                                     burn_token="t", burn_chat_id="c")
    with pytest.raises(TypeError, match="argument 'pause_path' must be str, not None"):
        kilnguard.run_burn_poll_loop(state_path=state_path, threshold=0, interval_minutes=5,
                                     burn_token="t", burn_chat_id="c", pause_path=None)
    assert sleeps.pauses == []


def test_ctrl_c_ends_a_real_loop_within_about_a_second(tmp_path):
    script = textwrap.dedent(f"""
        import sys, kilnguard
        print("ready", flush=True)
        try:
            kilnguard.run_burn_poll_loop(state_path={str(tmp_path / 's.json')!r}, threshold=0.01,
                                         interval_minutes=5, burn_token="t", burn_chat_id="c")
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    child = subprocess.Popen(interruptible([sys.executable, "-c", script]),
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    out, _ = child.communicate(timeout=30)
    assert out == "interrupted\n"
    assert time.monotonic() - sent < 5  # generous: the machine is shared
