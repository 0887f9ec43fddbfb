"""Fixtures shared by the whole suite: the module under test, a state-file
path in a fresh folder, a recorder for the host's time.sleep, and an
environment with no Taostats, Telegram or proxy settings."""

import contextlib
import pathlib
import sys
import time

import pytest

try:
    import kilnguard_watch  # noqa: F401  (installed with the package)
except ImportError:  # a build tree on PYTHONPATH: use the host's sources
    sys.path.append(str(pathlib.Path(__file__).resolve().parent.parent / "src"))

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


# ------------------------------------------------------- loopback servers

@pytest.fixture
def fake_taostats(monkeypatch):
    """A scripted stand-in for the Taostats API; TAOSTATS_API_BASE points at it."""
    from fake_taostats import FakeServer

    server = FakeServer()
    monkeypatch.setenv("TAOSTATS_API_BASE", server.url)
    yield server
    server.close()


@pytest.fixture
def ping_service():
    """A scripted stand-in for a dead-man service (healthchecks.io and the like)."""
    from fake_taostats import FakeServer

    server = FakeServer()
    yield server
    server.close()


@pytest.fixture(scope="session")
def tls_authority():
    """A private CA and a certificate for 127.0.0.1 that it signed."""
    trustme = pytest.importorskip("trustme")
    return trustme.CA()


@pytest.fixture
def tls_taostats(monkeypatch, tls_authority, tmp_path):
    """The scripted Taostats stand-in over TLS. SSL_CERT_FILE is left unset
    (tests choose); `ca_file` on the server names the CA's PEM file."""
    import ssl

    from fake_taostats import FakeServer

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls_authority.issue_cert("127.0.0.1").configure_cert(context)
    server = FakeServer(tls_context=context)
    server.ca_file = str(tmp_path / "ca.pem")
    tls_authority.cert_pem.write_to_path(server.ca_file)
    for name in ("SSL_CERT_FILE", "SSL_CERT_DIR"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("TAOSTATS_API_BASE", server.url)
    yield server
    server.close()


# ------------------------------------------------------------ Telegram Bot API

@pytest.fixture
def telegram(monkeypatch):
    """A fake Bot API on loopback, with TELEGRAM_API_BASE pointing at it."""
    from fake_telegram import FakeTelegram

    fake = FakeTelegram()
    monkeypatch.setenv("TELEGRAM_API_BASE", fake.base_url)
    yield fake
    fake.close()


@pytest.fixture
def webhook():
    """A loopback receiver for Apprise's json://, form:// and ntfy://."""
    from fake_webhook import FakeWebhook

    server = FakeWebhook()
    yield server
    server.close()


# ------------------------------------------------------------ kilnguard-watch

class Watcher:
    """kilnguard-watch as a child process, as an operator runs it, against
    the loopback Taostats and Telegram fakes, with its state file (and the
    outbox beside it) in a fresh folder."""

    TOKEN = "123456:telegram-bot-token"
    KEY = "taostats-api-key-123"

    def __init__(self, folder, taostats, telegram):
        self.state = folder / "burn_state.json"
        self.database = folder / "burn_state.kilnguard.db"
        self.pause = folder / "pause"
        self.taostats = taostats
        self.telegram = telegram
        self.settings = {"TAOSTATS_API_KEY": self.KEY, "TAOSTATS_API_BASE": taostats.url,
                         "TELEGRAM_API_BASE": telegram.base_url,
                         "TELEGRAM_BOT_TOKEN": self.TOKEN, "TELEGRAM_CHAT_ID": "12345"}

    def command(self, *args):
        return [sys.executable, "-m", "kilnguard_watch", "--state", str(self.state), *args]

    def run(self, *args, timeout=120, **settings):
        import subprocess

        from child_env import watch_env

        return subprocess.run(self.command(*args), env=watch_env(**{**self.settings, **settings}),
                              capture_output=True, text=True, timeout=timeout)

    def start(self, *args, **settings):
        import subprocess

        from child_env import interruptible, watch_env

        return subprocess.Popen(interruptible(self.command(*args)),
                                env=watch_env(**{**self.settings, **settings}),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def listing(self, rates, **fields):
        """Queues one listing answer: {netuid: incentive_burn}, every other
        field as the service gives it; `fields` replace top-level members."""
        import json

        from fake_taostats import Reply, subnet_listing

        document = subnet_listing(len(rates), {n: rates[n] for n in range(len(rates))})
        document.update(fields)
        self.taostats.reply(Reply(body=json.dumps(document)))

    def query(self, sql, *parameters):
        """Rows of the host database, read as another process reads it while
        the monitor runs; none before it exists."""
        import sqlite3

        if not self.database.exists():
            return []
        with contextlib.closing(sqlite3.connect(self.database)) as connection:
            return connection.execute(sql, parameters).fetchall()

    def outbox_texts(self):
        """The messages waiting, oldest first."""
        return [text for text, in self.query("SELECT text FROM outbox ORDER BY id")]


@pytest.fixture
def watcher(tmp_path, fake_taostats, telegram):
    return Watcher(tmp_path, fake_taostats, telegram)
