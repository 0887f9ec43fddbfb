"""Fixtures shared by the whole suite: the module under test, a state-file
path in a fresh folder, a recorder for the host's time.sleep, and an
environment with no Taostats, Telegram or proxy settings."""

import os
import time

import pytest

import kilnguard

SETTINGS = (
    "TAOSTATS_API_BASE",
    "TAOSTATS_API_KEY",
    "TAOSTATS_USER_AGENT",
    "TELEGRAM_API_BASE",
    "http_proxy",
    "https_proxy",
    "HTTPS_PROXY",
    "all_proxy",
    "ALL_PROXY",
    "no_proxy",
    "NO_PROXY",
)


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch):
    """Every test starts without Taostats, Telegram or proxy settings."""
    for name in SETTINGS:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def kg():
    return kilnguard


@pytest.fixture
def state_path(tmp_path):
    return str(tmp_path / "burn_state.json")


class SleepRecorder:
    """Stands in for time.sleep: records each pause and returns at once.
    `on_sleep`, when set, runs after each recorded pause (to create a pause
    file at the k-th sleep, or raise KeyboardInterrupt)."""

    def __init__(self):
        self.pauses = []
        self.on_sleep = None

    def __call__(self, seconds):
        self.pauses.append(seconds)
        if self.on_sleep is not None:
            self.on_sleep(len(self.pauses))


@pytest.fixture
def sleeps(monkeypatch):
    recorder = SleepRecorder()
    monkeypatch.setattr(time, "sleep", recorder)
    return recorder


# ------------------------------------------------------------ Telegram Bot API

@pytest.fixture
def telegram(monkeypatch):
    """A fake Bot API on loopback, with TELEGRAM_API_BASE pointing at it."""
    from fake_telegram import FakeTelegram

    fake = FakeTelegram()
    monkeypatch.setenv("TELEGRAM_API_BASE", fake.base_url)
    yield fake
    fake.close()
