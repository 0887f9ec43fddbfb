"""No operation keeps anything behind: many calls of each, with good and bad
arguments, and many whole passes against the fakes leave Python's memory,
the resident set and the open file descriptors where they started."""

import gc
import json
import os
import resource
import sys
import tempfile
import tracemalloc

import pytest

import kilnguard
from fake_taostats import FakeServer, Reply, refused_port, subnet_listing, wait_until
from fake_telegram import FakeTelegram

CALLS = 10_000
PASSES = 2_000
WARM_UP = 300
LIMIT = 1 << 20  # bytes
SANITIZED = bool(os.environ.get("KILNGUARD_SANITIZED"))
KEY = "tao-leak-check-0123456789"
STAMP = "2026-12-06T18:09:52Z"


class Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def open_descriptors():
    return set(os.listdir("/proc/self/fd"))


class Usage:
    """Python memory (tracemalloc), resident set and descriptors around a
    block, after a warm-up that fills caches and pools."""

    def __enter__(self):
        gc.collect()
        self.fds = open_descriptors()
        self.rss = rss()
        tracemalloc.start()
        self.traced = tracemalloc.get_traced_memory()[0]
        return self

    def __exit__(self, *exc):
        gc.collect()
        self.traced_growth = tracemalloc.get_traced_memory()[0] - self.traced
        tracemalloc.stop()
        self.rss_growth = rss() - self.rss

    def check(self):
        assert self.traced_growth < LIMIT, self.traced_growth
        # ASan keeps freed memory in quarantine: the resident set says nothing.
        if not SANITIZED:
            assert self.rss_growth < LIMIT, self.rss_growth
        # A fake's end of the last connection may still be closing. A
        # descriptor another test's thread closed meanwhile is no leak: only
        # new ones left open are.
        wait_until(lambda: len(open_descriptors()) <= len(self.fds), timeout=10)
        assert open_descriptors() <= self.fds


@pytest.fixture
def quiet(monkeypatch):
    monkeypatch.setattr(sys, "stderr", Discard())


@pytest.fixture
def folder():
    # Saves sync the file and its folder; on tmpfs that costs nothing.
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=base) as name:
        yield name


def operations(folder):
    state = os.path.join(folder, "state.json")
    pause = os.path.join(folder, "pause")
    kilnguard.save_burn_state(state, {"1": "0.5"}, STAMP)
    with open(pause, "w"):
        pass
    rows = [{"netuid": n, "incentive_burn": "0.5", "name": f"sn{n}"} for n in range(20)]
    long_text = "Owner burn rate changed\nstamp\n\n" + "SN1: 0.1000 → 0.2000\n" * 400
    once = dict(state_path=state, threshold=0.01, burn_token="t", burn_chat_id="c")
    # name: (good arguments, bad arguments); a good call may still fail on
    # the outside world (a refused connection), which is a path to check too.
    return {
        "api_base": ((), (1,)),
        "request_headers": ((KEY,), (None,)),
        "taostats_auth": ((), (1,)),
        "http_get_json": (("/x", {"limit": 1024, "q": None}, KEY), ("/x", [], KEY)),
        "is_rate_limited": (({"status_code": 429, "message": "x"},), (None,)),
        "with_retries": (("/x", {}, KEY), ("/x", {}, 5)),
        "fetch_all_subnets_latest": ((KEY,), (None,)),
        "owner_burn_from_row": (({"incentive_burn": "0.97"},), ([],)),
        "format_owner_burn": (("0.18",), (0.18,)),
        "owner_burn_changed": (("0.1", "0.25", 0.01), ("0.1", "0.25", "x")),
        "load_burn_state": ((state,), (None,)),
        "save_burn_state": ((state, {"1": "0.5", "12": "1"}, STAMP), (state, {"1": object()}, STAMP)),
        "diff_burns": (({"1": "0", "2": "1"}, {"1": "1", "2": "1"}, 0.01),
                       ({"x": "0"}, {"x": "1"}, 0.01)),
        "format_burn_alert": (([("3", "0.1", "0.2")], STAMP), ([("3", "0.1")], STAMP)),
        "format_burn_snapshot": ((rows, STAMP), ([5], STAMP)),
        "_chunk_text": ((long_text, 3900), (long_text, "x")),
        "send_burn_telegram_messages": ((long_text, "", "c"), (None, "", "c")),
        "send_burn_telegram": (("hi", "", "c"), ("hi", None, "c")),
        "send_telegram_message": (dict(text="hi", token="", chat_id="c", message_thread_id=7,
                                       disable_notification=True),
                                  dict(text="hi", token="", chat_id="c", message_thread_id=0)),
        "run_kilnguard_once": (once, dict(once, threshold="x")),
        "run_burn_startup_snapshot": (dict(state_path=state, burn_token="t", burn_chat_id="c"),
                                      dict(state_path=None, burn_token="t", burn_chat_id="c")),
        "_burn_is_paused": ((pause,), (None,)),
        "_sleep_until_interval": ((0, pause), ("x", pause)),
        "run_burn_poll_loop": (dict(once, interval_minutes=1, pause_path=pause),
                               dict(once, interval_minutes=1, pause_path=b"x")),
    }


def call(operation, arguments):
    try:
        if isinstance(arguments, dict):
            operation(**arguments)
        else:
            operation(*arguments)
    except (TypeError, ValueError, OSError):
        pass


def test_every_operation_many_times(folder, quiet, monkeypatch):
    # A closed port: the network operations fail at once, inside libcurl.
    monkeypatch.setenv("TAOSTATS_API_BASE", f"http://127.0.0.1:{refused_port()}")
    table = operations(folder)
    assert len(table) == 24 and all(hasattr(kilnguard, name) for name in table)
    for name, (good, bad) in table.items():
        operation = getattr(kilnguard, name)
        for _ in range(WARM_UP):
            call(operation, good)
            call(operation, bad)
        with Usage() as usage:
            for _ in range(CALLS):
                call(operation, good)
                call(operation, bad)
        usage.check()


def test_many_whole_passes_against_the_fakes(folder, quiet, monkeypatch, sleeps):
    taostats = FakeServer()
    telegram = FakeTelegram()
    try:
        monkeypatch.setenv("TAOSTATS_API_BASE", taostats.url)
        monkeypatch.setenv("TELEGRAM_API_BASE", telegram.base_url)
        monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
        # Two listings in turn: every pass after the first sends an alert.
        bodies = [json.dumps(subnet_listing(16, {3: burn})) for burn in ("0.18", "0.25")]
        state = os.path.join(folder, "state.json")

        def one_pass(n):
            taostats.reply(Reply(body=bodies[n % 2]))
            result = kilnguard.run_kilnguard_once(state_path=state, threshold=0.01,
                                                  burn_token="123:secret-token", burn_chat_id="42")
            taostats.requests.clear()
            telegram.requests.clear()
            sleeps.pauses.clear()
            return result

        for n in range(WARM_UP // 3):
            one_pass(n)
        with Usage() as usage:
            results = [one_pass(n) for n in range(PASSES)]
        assert results.count(0) == PASSES
        usage.check()
    finally:
        taostats.close()
        telegram.close()
