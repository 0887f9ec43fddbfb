"""The seam a host observes the monitor through: the report handed to
_burn_pass_report after every pass and snapshot, the listing check a host may
bind as _burn_check_listing, and the private operations that let the host
follow the module's own rules (secrets, log lines, message pieces, file
replacement, the Bot API base) instead of keeping copies of them."""

import json
import os
import stat
import traceback
import types

import pytest

import kilnguard
from fake_taostats import Reply, refused_port, subnet_listing, throttled
from fake_telegram import BLOCKED
from monitor_host import RecordingStream

KEY = "taostats-report-key"
TOKEN = "123456:report-bot-token"
OLD = json.dumps({"owner_burn_rate": {"0": "0.1", "1": "0.2"},
                  "updated_at_utc": "2026-01-01T00:00:00Z"})


class Host:
    """A pass or snapshot against the loopback fakes, with the reports, the
    checks and the standard error it produced."""

    def __init__(self, monkeypatch, fake_taostats, telegram, state_path):
        self.patch, self.taostats, self.telegram = monkeypatch, fake_taostats, telegram
        self.state = state_path
        self.reports, self.checks = [], []
        self.stderr = RecordingStream()
        monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
        monkeypatch.setattr(kilnguard, "_burn_pass_report", self.reports.append)

    def listing(self, document):
        self.taostats.reply(Reply(body=json.dumps(document)))

    def check(self, verdict):
        def check(rows, pagination, stored):
            self.checks.append((rows, pagination, stored))
            return verdict(rows) if callable(verdict) else verdict
        self.patch.setattr(kilnguard, "_burn_check_listing", check)

    def run(self, kind):
        with self.patch.context() as patch:
            patch.setattr("sys.stderr", self.stderr)
            if kind == "pass":
                return kilnguard.run_kilnguard_once(state_path=self.state, threshold=0.01,
                                                    burn_token=TOKEN, burn_chat_id="12345")
            return kilnguard.run_burn_startup_snapshot(state_path=self.state, burn_token=TOKEN,
                                                       burn_chat_id="12345")

    def saved(self):
        if not os.path.exists(self.state):
            return None
        with open(self.state) as f:
            return f.read()


@pytest.fixture
def host(monkeypatch, fake_taostats, telegram, state_path, sleeps):
    return Host(monkeypatch, fake_taostats, telegram, state_path)


def fields(report):
    return {name: getattr(report, name) for name in (
        "kind", "result", "failure", "updated_at", "subnets", "changes", "rates", "pagination",
        "attempts", "throttled", "http_status", "error")}


# ----------------------------------------------------------- the report

def changed(host):
    with open(host.state, "w") as f:
        f.write(OLD)
    host.listing(subnet_listing(3, {0: "0.5", 1: "0.2", 2: "1"}))


def first(host):
    host.listing(subnet_listing(2, {0: "0.5", 1: "0.2"}))


def no_key(host):
    host.patch.delenv("TAOSTATS_API_KEY")


def unauthorized(host):
    host.taostats.reply(Reply(status=401, body=json.dumps({"message": "Unauthorized " + KEY})))


def throttled_once(host):
    host.taostats.reply(throttled(), Reply(body=json.dumps(subnet_listing(2))))


def blocked(host):
    changed(host)
    host.telegram.answer(BLOCKED)


PAGE = subnet_listing(3)["pagination"]
ERROR_401 = ('{"error": "no_subnet_rows", "response": {"message": "Unauthorized ...", '
             '"http_status": 401}}')
NO_KEY = "taostats API not available (must be bundled in package defaults)"

OUTCOMES = [
    ("pass", changed, dict(result=0, failure=None, subnets=3, changes=(("0", "0.1", "0.5"),),
                           pagination=PAGE, attempts=1, throttled=0, http_status=None, error="")),
    ("pass", first, dict(result=0, failure=None, subnets=2, changes=(), attempts=1, error="")),
    ("pass", no_key, dict(result=1, failure="taostats_key", updated_at=None, subnets=None,
                          rates=None, pagination=None, attempts=0, error=NO_KEY)),
    ("pass", unauthorized, dict(result=1, failure="fetch", subnets=None, rates=None,
                                pagination=None, attempts=1, throttled=0, http_status=401,
                                error=ERROR_401)),
    ("pass", throttled_once, dict(result=0, attempts=2, throttled=1, subnets=2)),
    ("pass", blocked, dict(result=1, failure="delivery", subnets=3,
                           error="Forbidden: bot was blocked by the user")),
    ("snapshot", changed, dict(result=0, failure=None, subnets=3, changes=(), pagination=PAGE,
                               attempts=1, error="")),
    ("snapshot", unauthorized, dict(result=1, failure="fetch", http_status=401, error=ERROR_401)),
    ("snapshot", blocked, dict(result=1, failure="delivery",
                               error="Forbidden: bot was blocked by the user")),
]


@pytest.mark.parametrize("kind, setup, expected", OUTCOMES,
                         ids=[f"{k}-{s.__name__}" for k, s, _ in OUTCOMES])
def test_every_outcome_is_reported_once(host, kind, setup, expected):
    setup(host)
    result = host.run(kind)
    [report] = host.reports
    assert isinstance(report, kilnguard.PassReport)
    assert report.kind == kind and report.result == result
    assert {k: v for k, v in fields(report).items() if k in expected} == expected
    assert (report.updated_at is None) == (setup is no_key)
    if report.subnets is not None:
        assert isinstance(report.rates, types.MappingProxyType)
        assert len(report.rates) == report.subnets
        assert dict(report.rates) == json.loads(host.saved())["owner_burn_rate"]
    assert isinstance(report.duration, float) and report.duration >= 0


def test_a_pass_run_inside_another_counts_only_its_own_requests(host, sleeps):
    # The snapshot runs in the pause between the outer pass's two attempts.
    listing = Reply(body=json.dumps(subnet_listing(2)))
    host.taostats.reply(throttled(), listing, listing)
    sleeps.on_sleep = lambda count: count == 1 and host.run("snapshot")
    assert host.run("pass") == 0
    assert [(r.kind, r.attempts, r.throttled) for r in host.reports] == [
        ("snapshot", 1, 0), ("pass", 2, 1)]


def test_the_report_is_read_only(host):
    first(host)
    host.run("pass")
    [report] = host.reports
    with pytest.raises(AttributeError):
        report.result = 1
    with pytest.raises(TypeError):
        report.rates["0"] = "1"
    with pytest.raises(TypeError):
        kilnguard.PassReport()
    assert repr(report).startswith("PassReport(kind='pass', result=0, failure=None, updated_at='")


def raise_it(report):
    # A hook that raises the pass's exception itself, as a careless host might.
    try:
        raise report.result
    except ConnectionError:
        pass


def test_a_raised_pass_is_reported_and_its_exception_goes_on_unchanged(host, monkeypatch):
    monkeypatch.setenv("TAOSTATS_API_BASE", f"http://127.0.0.1:{refused_port()}")
    monkeypatch.setattr(kilnguard, "_burn_pass_report", kilnguard._burn_pass_report)
    with pytest.raises(ConnectionError) as plain:
        host.run("pass")
    seen = []
    monkeypatch.setattr(kilnguard, "_burn_pass_report", lambda r: seen.append(r) or raise_it(r))
    with pytest.raises(ConnectionError) as hooked:
        host.run("pass")
    [report] = seen
    assert report.result is hooked.value
    assert (report.failure, report.attempts, report.subnets) == ("error", 1, None)
    assert report.error == str(hooked.value) and "\n" not in report.error
    assert str(hooked.value) == str(plain.value)
    # Not one frame of the hook in what the caller sees: below this test's
    # own frame (two calls, two lines), the very same frames.
    frames = [[(f.filename, f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)]
              for e in (hooked.value, plain.value)]
    assert frames[0][1:] == frames[1][1:] and len(frames[0]) == len(frames[1]) > 1
    assert hooked.value.__context__ is None
    assert host.stderr.writes == []


@pytest.mark.parametrize("kind", ["pass", "snapshot"])
def test_a_failing_hook_is_one_scrubbed_line_and_changes_nothing(host, kind):
    def hook(report):
        raise ValueError(f"hook broke\nwith {TOKEN} and {KEY}")
    host.patch.setattr(kilnguard, "_burn_pass_report", hook)
    first(host)
    assert host.run(kind) == 0
    assert host.stderr.writes[-1] == "[burn] pass report failed: hook broke\\nwith ... and ...\n"
    assert len([w for w in host.stderr.writes if "pass report" in w]) == 1


@pytest.mark.parametrize("pass_raises, hook_raises, escapes", [
    (False, KeyboardInterrupt, KeyboardInterrupt),
    (False, SystemExit, SystemExit),
    (True, KeyboardInterrupt, KeyboardInterrupt),
    (True, SystemExit, ConnectionError),
    (True, RuntimeError, ConnectionError),
], ids=["ok-interrupt", "ok-exit", "raised-interrupt", "raised-exit", "raised-error"])
def test_what_escapes_when_the_hook_raises(host, monkeypatch, pass_raises, hook_raises, escapes):
    def hook(report):
        raise hook_raises()
    monkeypatch.setattr(kilnguard, "_burn_pass_report", hook)
    if pass_raises:
        monkeypatch.setenv("TAOSTATS_API_BASE", f"http://127.0.0.1:{refused_port()}")
    else:
        first(host)
    with pytest.raises(escapes):
        host.run("pass")


@pytest.mark.parametrize("answers", [
    [Reply(body=json.dumps(subnet_listing(3)))],
    [throttled(), Reply(body=json.dumps(subnet_listing(3)))],
    [Reply(status=401, body='{"message": "no"}')],
], ids=["listing", "throttled", "401"])
def test_fused_and_general_reads_give_the_same_report(host, monkeypatch, answers):
    reports = []
    for rebound in (None, "http_get_json"):
        with monkeypatch.context() as patch:
            if rebound:
                original = getattr(kilnguard, rebound)
                patch.setattr(kilnguard, rebound, lambda *a: original(*a))
            host.taostats.reply(*answers)
            host.run("pass")
        reports.append({**fields(host.reports.pop()), "rates": None, "updated_at": None})
    assert reports[0] == reports[1]


# ------------------------------------------------------ the listing check

ODD_ROWS = [{"netuid": "1_0", "incentive_burn": "0.5"}, {"netuid": 7, "incentive_burn": 0.25},
            {"netuid": "7", "incentive_burn": None}, {"netuid": None, "incentive_burn": "1"},
            {"incentive_burn": "0.3"}, {"netuid": "SN8"}, {"netuid": 9}]
ODD_KEYS = [("1_0", "0.5"), ("7", 0.25), ("7", None), (None, "1"), (None, "0.3"), (None, None),
            ("9", None)]


@pytest.mark.parametrize("rebound", [None, "http_get_json"], ids=["fused", "general"])
@pytest.mark.parametrize("kind", ["pass", "snapshot"])
def test_the_check_sees_each_row_as_the_rate_map_keys_it(host, kind, rebound):
    with open(host.state, "w") as f:
        f.write(OLD)
    if rebound:
        original = getattr(kilnguard, rebound)
        host.patch.setattr(kilnguard, rebound, lambda *a: original(*a))
    host.listing({"pagination": {"page": 1}, "data": ODD_ROWS})
    host.check("stop here")
    assert host.run(kind) == 1
    [(rows, pagination, stored)] = host.checks
    assert rows == ODD_KEYS and pagination == {"page": 1}
    assert stored == (json.loads(OLD)["owner_burn_rate"] if kind == "pass" else None)


@pytest.mark.parametrize("reason, text", [
    ("too few subnets", "too few subnets"), (["gap", 3], "['gap', 3]"), (0, "0"),
    (f"key {KEY} seen", "key ... seen"),
], ids=["text", "list", "zero", "secret"])
@pytest.mark.parametrize("kind", ["pass", "snapshot"])
def test_a_refused_listing_leaves_no_trace(host, kind, reason, text):
    with open(host.state, "w") as f:
        f.write(OLD)
    host.listing(subnet_listing(3, {0: "0.9"}))
    host.check(reason)
    assert host.run(kind) == 1
    logged = json.dumps({"error": "listing_looks_wrong", "reason": text})
    prefix = "[burn] fetch failed: " if kind == "pass" else "[burn] startup fetch failed: "
    assert host.stderr.writes == [prefix + logged + "\n"]
    assert host.saved() == OLD and host.telegram.delivered() == []
    [report] = host.reports
    assert (report.failure, report.error, report.subnets) == ("listing", logged, 3)


@pytest.mark.parametrize("verdict", [None, "", [], {}], ids=repr)
def test_an_empty_verdict_accepts(host, verdict):
    first(host)
    host.check(verdict)
    assert host.run("pass") == 0 and json.loads(host.saved())["owner_burn_rate"] == {
        "0": "0.5", "1": "0.2"}


def test_an_error_of_the_check_escapes_the_pass(host):
    with open(host.state, "w") as f:
        f.write(OLD)
    first(host)
    host.check(lambda rows: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        host.run("pass")
    assert host.saved() == OLD
    assert host.reports[0].failure == "error"


@pytest.mark.parametrize("call, message", [
    (lambda: kilnguard._burn_check_listing((), None, None),
     "_burn_check_listing() argument 'rows' must be list, not tuple"),
    (lambda: kilnguard._burn_check_listing([], None, []),
     "_burn_check_listing() argument 'stored' must be dict or None, not list"),
    (lambda: kilnguard._burn_pass_report(0),
     "_burn_pass_report() argument 'report' must be kilnguard.PassReport, not int"),
], ids=["rows", "stored", "report"])
def test_the_default_hooks_check_their_arguments(call, message):
    with pytest.raises(TypeError) as failure:
        call()
    assert str(failure.value) == message
    assert kilnguard._burn_check_listing([], {"a": 1}, {}) is None


# ------------------------------------------------- the host's helpers

@pytest.mark.parametrize("text, secrets, expected", [
    (f"key={KEY}!", [KEY], "key=...!"),
    ('{"auth": "taostats\\u002dreport-key"}', [KEY], '{"auth": "..."}'),
    ("url /bot123456%3Areport-bot-token/x", [TOKEN], "url /bot.../x"),
    ("short abc stays", ["abc"], "short abc stays"),
    (f"{KEY} {TOKEN}", [KEY, TOKEN, ""], "... ..."),
], ids=["plain", "json-escaped", "percent-encoded", "short", "both"])
def test_scrub_secrets_is_the_module_rule(text, secrets, expected):
    assert kilnguard._scrub_secrets(text, secrets) == expected


@pytest.mark.parametrize("args, message", [
    (("x", ("secret-secret",)), "_scrub_secrets() argument 'secrets' must be list, not tuple"),
    (("x", [b"secret-secret"]),
     "_scrub_secrets() argument 'secrets' must be a list of str, not one holding bytes"),
    ((None, []), "_scrub_secrets() argument 'text' must be str, not None"),
], ids=["tuple", "bytes", "text"])
def test_scrub_secrets_checks_its_arguments(args, message):
    with pytest.raises(TypeError) as failure:
        kilnguard._scrub_secrets(*args)
    assert str(failure.value) == message


@pytest.mark.parametrize("text, written", [
    ("kilnguard-watch: ok", "kilnguard-watch: ok\n"),
    ("a\nb\rc", "a\\nb\\rc\n"),
    ("ends\n", "ends\\n\n"),
    ("x" * 8001, "x" * 8000 + "\u2026 (1 more characters)\n"),
], ids=["plain", "breaks", "trailing", "long"])
def test_log_line_writes_one_physical_line(monkeypatch, text, written):
    stream = RecordingStream()
    monkeypatch.setattr("sys.stderr", stream)
    assert kilnguard._log_line(text) is None
    assert stream.writes == [written] and stream.flushes == 0


def test_message_pieces_are_what_delivery_sends(monkeypatch, sleeps):
    text = "Owner burn rate changed\nT UTC\n\n" + "\n".join(f"SN{n}: 0.1 → 0.2" for n in range(600))
    sent = []
    monkeypatch.setattr(kilnguard, "send_burn_telegram", lambda t, *_: sent.append(t) or (True, ""))
    assert kilnguard.send_burn_telegram_messages(text, "t", "c") == (True, "")
    pieces = kilnguard._message_pieces(text)
    assert pieces == sent and len(pieces) > 2 and pieces[1].startswith(f"(2/{len(pieces)})\n")
    assert kilnguard._message_pieces("short") == ["short"]
    monkeypatch.setattr(kilnguard, "_chunk_text", lambda t: ("a", "b"))
    assert kilnguard._message_pieces("anything") == ["(1/2)\na", "(2/2)\nb"]


def test_replace_file_writes_utf8_and_keeps_the_mode(tmp_path):
    path = tmp_path / "outbox.json"
    path.write_text("old")
    path.chmod(0o640)
    assert kilnguard._replace_file(str(path), "caf\u00e9 \u2192\n") is None
    assert path.read_bytes() == "caf\u00e9 \u2192\n".encode()
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert os.listdir(tmp_path) == ["outbox.json"]


@pytest.mark.parametrize("make, error", [
    (lambda p: os.mkfifo(p), OSError),
    (lambda p: os.rmdir(os.path.dirname(p)), FileNotFoundError),
], ids=["fifo", "missing-folder"])
def test_replace_file_refuses_and_leaves_nothing_behind(tmp_path, make, error):
    folder = tmp_path / "f"
    folder.mkdir()
    path = str(folder / "target")
    make(path)
    with pytest.raises(error) as failure:
        kilnguard._replace_file(path, "text")
    assert failure.value.filename == path
    if folder.exists():
        assert os.listdir(folder) == ["target"]


def test_replace_file_refuses_text_utf8_cannot_carry(tmp_path):
    path = tmp_path / "kept"
    path.write_text("old")
    with pytest.raises(UnicodeEncodeError):
        kilnguard._replace_file(str(path), "\ud800")
    assert path.read_text() == "old" and os.listdir(tmp_path) == ["kept"]


@pytest.mark.parametrize("value, base", [
    (None, "https://api.telegram.org"), ("http://127.0.0.1:8081/", "http://127.0.0.1:8081"),
    ("http://bot.local///", "http://bot.local"), ("", ""),
], ids=["absent", "slash", "slashes", "empty"])
def test_telegram_api_base_is_the_rule_sends_use(monkeypatch, value, base):
    if value is not None:
        monkeypatch.setenv("TELEGRAM_API_BASE", value)
    assert kilnguard._telegram_api_base() == base


def test_sends_go_to_the_base_the_host_is_told(telegram):
    assert kilnguard._telegram_api_base() == telegram.base_url.rstrip("/")
    assert kilnguard.send_burn_telegram("hi", TOKEN, "1") == (True, "")
    assert telegram.delivered() == ["hi"]
