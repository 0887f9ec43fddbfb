"""What the monitor does when the network or a service misbehaves: one row
per fault, with the line it writes (or the error a pass raises), its result
and what becomes of the state file. Each row runs through one watch pass and
through the poll loop, which logs the fault and goes on with the next pass.
Everything between the fakes and the state file is the module's own; no
text it produces may carry the bot token or the Taostats key.

How to read the table: a row whose outcome is `Logged` returns that result
and writes that line; a row whose outcome is `Raised` makes the pass raise
that error (the poll loop writes it as "[burn] error: ..."). `state` "kept"
means the stored file is left byte for byte; "rewritten" that it holds the
new listing's rates."""

import dataclasses
import json
import os
import re
import resource
import sys
import threading
import time

import pytest

import kilnguard
from fake_taostats import FakeServer, Reply, refused_port, subnet_listing, throttled, wait_until
from fake_telegram import BLOCKED, CHAT_NOT_FOUND, TOO_MANY_REQUESTS, FakeTelegram
from fake_telegram import Reply as TelegramReply

KEY = "tao-4f1c2e9a7b3d5e8f0a1b2c3d4e5f6a7b"
TOKEN = "7712345678:AAF3kq9ZmX1vPq2RsT4uVw5XyZ6aBcDeFgH"
CHAT = "-1001234567890"
OLD_STAMP = "2026-01-01T00:00:00Z"
SANITIZED = bool(os.environ.get("KILNGUARD_SANITIZED"))

# What the state file holds before the pass, and what a healthy listing
# says: SN2 moved, so a pass that gets the listing sends an alert.
STORED = {0: "0", 1: "1", 2: "0.18", 3: "0.5"}
LISTED = {0: "0", 1: "1", 2: "0.25", 3: "0.5"}
MIB = 1 << 20


def listing_body(rates):
    return json.dumps(subnet_listing(len(rates), rates))


@dataclasses.dataclass
class Logged:
    result: int
    line: str  # "" when the pass writes nothing


@dataclasses.dataclass
class Raised:
    error: type
    message: str


# In expected texts {taostats}, {telegram} and {tls} stand for the fakes'
# ports, {any} for any port or count, {ms} for libcurl's elapsed milliseconds.
def matcher(template, rig):
    pattern = re.escape(template)
    for name, value in (("taostats", rig.taostats.port), ("telegram", rig.telegram_port),
                        ("tls", rig.tls_port)):
        pattern = pattern.replace(re.escape("{%s}" % name), str(value))
    return re.compile(pattern.replace(re.escape("{ms}"), r"\d+"), re.DOTALL)


class Rig:
    """The fakes of both services with a pre-seeded state file. `arrange`
    functions script a fault for the next pass; `heal` puts healthy services
    back for the pass after it."""

    def __init__(self, monkeypatch, tmp_path, tls_authority):
        self.monkeypatch = monkeypatch
        self.tmp_path = tmp_path
        self.tls_authority = tls_authority
        self.taostats = FakeServer()
        self.telegram = FakeTelegram()
        self.telegram_port = int(self.telegram.base_url.rsplit(":", 1)[1])
        self.tls_port = None
        self.others = []
        self.state_path = str(tmp_path / "burn_state.json")
        kilnguard.save_burn_state(self.state_path, {str(k): v for k, v in STORED.items()},
                                  OLD_STAMP)
        with open(self.state_path, "rb") as f:
            self.stored_bytes = f.read()
        self.results = []
        real_send = kilnguard.send_burn_telegram

        def recorded_send(text, token, chat_id):
            result = real_send(text, token, chat_id)
            self.results.append(result)
            return result

        monkeypatch.setattr(kilnguard, "send_burn_telegram", recorded_send)
        monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
        self.heal()

    def heal(self):
        self.monkeypatch.setenv("TAOSTATS_API_BASE", self.taostats.url)
        self.monkeypatch.setenv("TELEGRAM_API_BASE", self.telegram.base_url)
        for name in ("SSL_CERT_FILE", "SSL_CERT_DIR"):
            self.monkeypatch.delenv(name, raising=False)

    def listing(self, rates=LISTED):
        self.taostats.reply(body=listing_body(rates))

    def server(self, **options):
        """One more fake (over TLS with `tls=True`), closed with the rig."""
        if options.pop("tls", False):
            import ssl

            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            self.tls_authority.issue_cert("127.0.0.1").configure_cert(context)
            options["tls_context"] = context
        server = FakeServer(**options)
        self.others.append(server)
        return server

    def stored(self):
        with open(self.state_path, encoding="utf-8") as f:
            return json.load(f)

    def close(self):
        for server in [self.taostats, *self.others]:
            server.close()
        self.telegram.close()


@pytest.fixture
def rig(monkeypatch, tmp_path, tls_authority):
    rig = Rig(monkeypatch, tmp_path, tls_authority)
    yield rig
    rig.close()


# ------------------------------------------------------------ arrangements

def taostats_replies(*replies):
    return lambda rig: rig.taostats.reply(*replies)


def taostats_base(make_base):
    def arrange(rig):
        rig.monkeypatch.setenv("TAOSTATS_API_BASE", make_base(rig))
    return arrange


def unknown_ca(rig):
    server = rig.server(tls=True)
    server.reply(body=listing_body(LISTED))
    rig.monkeypatch.setenv("TAOSTATS_API_BASE", server.url)
    rig.tls_port = server.port


def telegram_replies(*replies):
    def arrange(rig):
        rig.listing()
        rig.telegram.answer(*replies)
    return arrange


def telegram_unreachable(rig):
    rig.listing()
    rig.telegram_port = refused_port()
    rig.monkeypatch.setenv("TELEGRAM_API_BASE", f"http://127.0.0.1:{rig.telegram_port}")


def huge_body():
    return (b"x" * MIB for _ in range(200))


def trickle():
    body = listing_body(LISTED).encode()
    step = len(body) // 8 + 1
    return [body[i:i + step] for i in range(0, len(body), step)]


ECHOING_PAGE = ("<html><body><h1>502 Bad Gateway</h1><p>upstream refused Authorization: "
                + KEY + "</p></body></html>")
PATH_PAGE = f"<html><body>Cannot POST /bot{TOKEN}/sendMessage</body></html>"
NGINX_502 = ("<html>\r\n<head><title>502 Bad Gateway</title></head>\r\n<body>\r\n"
             "<center><h1>502 Bad Gateway</h1></center>\r\n</body>\r\n</html>\r\n")
CHALLENGE = ("<!DOCTYPE html><html lang=\"en-US\"><head><title>Just a moment...</title>"
             + "<script>" + "c" * 800 + "</script></head></html>")


def fetch_failed(response):
    return '[burn] fetch failed: {"error": "no_subnet_rows", "response": %s}\n' % response


@dataclasses.dataclass
class Fault:
    id: str
    arrange: object
    outcome: object
    state: str  # "kept" or "rewritten"
    telegram_requests: int = 0
    pauses: tuple = ()  # throttling pauses of the pass
    bounded_memory: bool = False


FAULTS = [
    Fault("refused-connection",
          taostats_base(lambda rig: f"http://127.0.0.1:{refused_port()}"),
          Raised(ConnectionError, "Failed to connect to 127.0.0.1 port {any} after {ms} ms: "
                                  "Couldn't connect to server"), "kept"),
    Fault("cut-off-mid-body",
          taostats_replies(Reply(body=listing_body(LISTED), hang_up_after=100)),
          Raised(ConnectionError, "transfer closed with {any} bytes remaining to read "
                                  "(127.0.0.1 port {taostats})"), "kept"),
    Fault("reset-mid-body",
          taostats_replies(Reply(body=listing_body(LISTED), hang_up_after=100, reset=True)),
          Raised(ConnectionError, "Recv failure: Connection reset by peer "
                                  "(127.0.0.1 port {taostats})"), "kept"),
    Fault("slow-steady-trickle",
          taostats_replies(Reply(chunks=trickle(), chunk_pause=0.2)),
          Logged(0, "[burn] alert sent (1 subnet(s))\n"), "rewritten", telegram_requests=1),
    Fault("tls-unknown-ca", unknown_ca,
          Raised(ConnectionError, "SSL certificate problem: unable to get local issuer "
                                  "certificate (127.0.0.1 port {tls})"), "kept"),
    Fault("name-does-not-resolve", taostats_base(lambda rig: "https://taostats.invalid"),
          Raised(ConnectionError, "Could not resolve host: taostats.invalid"), "kept"),
    Fault("429-storm", taostats_replies(*[throttled() for _ in range(6)]),
          Logged(1, fetch_failed('{"status_code": 429, "message": "Too Many Requests", '
                                 '"http_status": 429}')),
          "kept", pauses=(2.0, 3.6, 6.48, 11.664, 20.9952)),
    Fault("5xx-html-page", taostats_replies(Reply(status=502, body=NGINX_502)),
          Logged(1, fetch_failed('{"status_code": 502, "message": %s, "http_status": 502}'
                                 % json.dumps(NGINX_502))), "kept"),
    Fault("5xx-page-echoing-the-key", taostats_replies(Reply(status=502, body=ECHOING_PAGE)),
          Logged(1, fetch_failed('{"status_code": 502, "message": %s, "http_status": 502}'
                                 % json.dumps(ECHOING_PAGE.replace(KEY, "...")))), "kept"),
    Fault("200-with-html", taostats_replies(Reply(body=CHALLENGE)),
          Logged(1, fetch_failed('{"parse_error": "Expecting value: line 1 column 1 (char 0)", '
                                 '"raw": %s}' % json.dumps(CHALLENGE[:500]))), "kept"),
    Fault("invalid-utf8", taostats_replies(Reply(body=b'{"data": [{"name": "\xc3("}]}')),
          Raised(UnicodeDecodeError, "'utf-8' codec can't decode byte 0xc3 in position 20: "
                                     "invalid continuation byte"), "kept"),
    Fault("nested-100000-deep", taostats_replies(Reply(body='{"data": ' + "[" * 100_000)),
          Raised(RecursionError, "maximum recursion depth exceeded while decoding a JSON array"),
          "kept"),
    Fault("200-mb-chunked-body", taostats_replies(Reply(chunks=huge_body())),
          Raised(ConnectionError, "response body from 127.0.0.1 port {taostats} exceeds 64 MiB"),
          "kept", bounded_memory=True),
    Fault("json-array-not-object", taostats_replies(Reply(body="[1, 2, 3]")),
          Raised(TypeError, "Expected dict, got list"), "kept"),
    Fault("error-status-with-json-text", taostats_replies(Reply(status=503, body='"busy"')),
          Raised(TypeError, "Expected dict, got str"), "kept"),
    Fault("telegram-429", telegram_replies(TOO_MANY_REQUESTS),
          Logged(1, "[burn] telegram failed: Too Many Requests: retry after 34\n"), "rewritten",
          telegram_requests=1),
    Fault("telegram-403", telegram_replies(BLOCKED),
          Logged(1, "[burn] telegram failed: Forbidden: bot was blocked by the user\n"),
          "rewritten", telegram_requests=1),
    Fault("telegram-400", telegram_replies(CHAT_NOT_FOUND),
          Logged(1, "[burn] telegram failed: Bad Request: chat not found\n"), "rewritten",
          telegram_requests=1),
    Fault("telegram-page-echoing-the-path",
          telegram_replies(TelegramReply(404, PATH_PAGE.encode())),
          Logged(1, "[burn] telegram failed: " + PATH_PAGE.replace(TOKEN, "...") + "\n"),
          "rewritten", telegram_requests=1),
    Fault("telegram-unreachable", telegram_unreachable,
          Logged(1, "[burn] telegram failed: Failed to connect to 127.0.0.1 port {telegram} "
                    "after {ms} ms: Couldn't connect to server\n"), "rewritten"),
]


def expected_text(fault, rig, prefix=""):
    outcome = fault.outcome
    text = outcome.line if isinstance(outcome, Logged) else prefix + outcome.message + "\n"
    return re.compile(matcher(text, rig).pattern.replace(re.escape("{any}"), r"\d+"), re.DOTALL)


def run_pass(rig):
    return kilnguard.run_kilnguard_once(state_path=rig.state_path, threshold=0.01,
                                        burn_token=TOKEN, burn_chat_id=CHAT)


class RssWatch:
    """Samples the resident set while a pass runs; `growth` is the peak over
    the start, in bytes."""

    def __init__(self):
        self._stop = threading.Event()
        self.start = self.peak = self._rss()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    @staticmethod
    def _rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize()

    def _sample(self):
        while not self._stop.wait(0.005):
            self.peak = max(self.peak, self._rss())

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    @property
    def growth(self):
        return self.peak - self.start


def assert_no_secret(*texts):
    for text in texts:
        assert KEY not in text and TOKEN not in text, text


def check_state(rig, fault, rates):
    if fault.state == "kept":
        with open(rig.state_path, "rb") as f:
            assert f.read() == rig.stored_bytes
    else:
        document = rig.stored()
        assert document["owner_burn_rate"] == {str(k): v for k, v in rates.items()}
        assert document["updated_at_utc"] != OLD_STAMP


@pytest.mark.parametrize("fault", FAULTS, ids=[f.id for f in FAULTS])
def test_one_pass(rig, fault, sleeps, capsys):
    fault.arrange(rig)
    raised = None
    with RssWatch() as rss:
        if isinstance(fault.outcome, Raised):
            with pytest.raises(fault.outcome.error) as failure:
                run_pass(rig)
            raised = failure.value
        else:
            assert run_pass(rig) == fault.outcome.result
    err = capsys.readouterr().err
    if raised is not None:
        assert err == ""
        assert expected_text(fault, rig).fullmatch(str(raised) + "\n"), str(raised)
        assert_no_secret(str(raised), repr(raised))
    else:
        assert expected_text(fault, rig).fullmatch(err), err
    assert_no_secret(err, repr(rig.results))
    check_state(rig, fault, LISTED)
    assert len(rig.telegram.requests) == fault.telegram_requests
    assert sleeps.pauses == pytest.approx(list(fault.pauses))
    if fault.bounded_memory and not SANITIZED:
        # The body is refused at 64 MiB; the 200 MB it would have been never
        # reach memory.
        assert rss.growth < 140 * MIB, rss.growth


@pytest.mark.parametrize("fault", FAULTS, ids=[f.id for f in FAULTS])
def test_the_poll_loop_goes_on(rig, fault, sleeps, capsys, monkeypatch):
    """The fault hits the first pass; the second pass meets healthy services
    and the same rates, so it writes nothing; then the pause file stops the
    loop."""
    pause_file = rig.tmp_path / "pause"
    fault.arrange(rig)
    real_pass = kilnguard.run_kilnguard_once
    passes = []

    def pass_with_healing(**arguments):
        passes.append(arguments)
        if len(passes) == 2:
            rig.heal()
            rig.listing(after)
        return real_pass(**arguments)

    # After the fault the healthy listing repeats what the state holds then.
    after = STORED if fault.state == "kept" else LISTED
    monkeypatch.setattr(kilnguard, "run_kilnguard_once", pass_with_healing)
    steps = []

    def on_sleep(n):
        if sleeps.pauses[-1] == 1.0:
            steps.append(n)
            if len(steps) == 121:  # into the wait after the second pass
                pause_file.write_text("")

    sleeps.on_sleep = on_sleep
    kilnguard.run_burn_poll_loop(state_path=rig.state_path, threshold=0.01, interval_minutes=1,
                                 burn_token=TOKEN, burn_chat_id=CHAT, pause_path=str(pause_file))
    err = capsys.readouterr().err
    lines = err.splitlines(keepends=True)
    assert len(passes) == 2
    assert lines[-1] == "[burn] monitoring paused\n"
    assert expected_text(fault, rig, prefix="[burn] error: ").fullmatch("".join(lines[:-1])), err
    assert_no_secret(err, repr(rig.results))
    document = rig.stored()
    assert document["owner_burn_rate"] == {str(k): v for k, v in after.items()}
    assert document["updated_at_utc"] != OLD_STAMP  # the second pass saved
    assert [p for p in sleeps.pauses if p != 1.0] == pytest.approx(list(fault.pauses))


# ------------------------------------------------------------- idle time-out

class PerThread:
    """Stands in for sys.stderr and time.sleep while several passes and
    loops run at once: writes are kept per thread, and each loop thread
    gets its pause file created in the wait after its second pass."""

    def __init__(self):
        self.writes = {}
        self.pause_files = {}
        self._steps = {}
        self._lock = threading.Lock()

    def write(self, text):
        with self._lock:
            self.writes.setdefault(threading.current_thread().name, []).append(text)
        return len(text)

    def flush(self):
        pass

    def sleep(self, seconds):
        name = threading.current_thread().name
        if seconds == 1.0:
            with self._lock:
                self._steps[name] = self._steps.get(name, 0) + 1
                if self._steps[name] == 121:
                    self.pause_files[name].write_text("")

    def text(self, name):
        return "".join(self.writes.get(name, []))


@pytest.mark.slow
def test_stalled_services_end_in_the_idle_time_out(rig, monkeypatch, tmp_path):
    """A service that sends its headers and then nothing: Taostats gives up
    after 60 seconds without data (the pass raises TimeoutError), Telegram
    after 30 (a failed delivery). Passes and loops run side by side, so the
    whole table takes one time-out."""
    streams = PerThread()
    monkeypatch.setattr(sys, "stderr", streams)
    monkeypatch.setattr(time, "sleep", streams.sleep)
    silent_telegram = rig.server()
    silent_telegram.reply(*[Reply(delay=120) for _ in range(2)])
    monkeypatch.setenv("TELEGRAM_API_BASE", silent_telegram.url)
    taostats_stall = Reply(body=listing_body(LISTED), hang_up_after=0, stall=120)
    rig.taostats.reply(taostats_stall, taostats_stall)

    timeout_60 = f"no data from 127.0.0.1 port {rig.taostats.port} for 60 seconds"
    timeout_30 = f"no data from 127.0.0.1 port {silent_telegram.port} for 30 seconds"
    cases = {
        # name: (stored rates, loop?, expected standard error, expected error)
        "taostats-pass": (LISTED, False, "", timeout_60),
        "taostats-loop": (LISTED, True, f"[burn] error: {timeout_60}\n[burn] monitoring paused\n",
                          None),
        "telegram-pass": (STORED, False, f"[burn] telegram failed: {timeout_30}\n", None),
        "telegram-loop": (STORED, True,
                          f"[burn] telegram failed: {timeout_30}\n[burn] monitoring paused\n",
                          None),
    }
    outcomes = {}

    def run(name, state_path, loop):
        try:
            if loop:
                kilnguard.run_burn_poll_loop(
                    state_path=state_path, threshold=0.01, interval_minutes=1, burn_token=TOKEN,
                    burn_chat_id=CHAT, pause_path=str(streams.pause_files[name]))
            else:
                outcomes[name] = kilnguard.run_kilnguard_once(
                    state_path=state_path, threshold=0.01, burn_token=TOKEN, burn_chat_id=CHAT)
        except Exception as error:  # noqa: BLE001 - reported below
            outcomes[name] = error

    threads = {}
    for name, (stored, loop, _, _) in cases.items():
        state_path = str(tmp_path / f"{name}.json")
        kilnguard.save_burn_state(state_path, {str(k): v for k, v in stored.items()}, OLD_STAMP)
        streams.pause_files[name] = tmp_path / f"{name}.pause"
        threads[name] = threading.Thread(target=run, args=(name, state_path, loop), name=name)
    # The two stalling listings go to the Taostats cases; the Telegram cases
    # and every later pass get a healthy one.
    threads["taostats-pass"].start()
    threads["taostats-loop"].start()
    wait_until(lambda: len(rig.taostats.requests) == 2)
    rig.taostats.reply(*[Reply(body=listing_body(LISTED)) for _ in range(4)])
    threads["telegram-pass"].start()
    threads["telegram-loop"].start()
    for thread in threads.values():
        thread.join(timeout=300)
        assert not thread.is_alive(), thread.name

    for name, (_, loop, err, error) in cases.items():
        assert streams.text(name) == err, name
        assert_no_secret(streams.text(name), repr(outcomes.get(name)))
        if error is not None:
            assert isinstance(outcomes[name], TimeoutError) and str(outcomes[name]) == error
        elif not loop:
            assert outcomes[name] == 1
        with open(tmp_path / f"{name}.json", encoding="utf-8") as f:
            document = json.load(f)
        # Only the timed-out listing leaves the old file; every other pass saved.
        assert (document["updated_at_utc"] == OLD_STAMP) == (name == "taostats-pass"), name
    assert_no_secret(repr(rig.results))
