"""The fused listing read against the general path. A watch pass and the
startup snapshot read the listing with a scan that builds only what they use
while every operation a fetch goes through is the module's own; rebinding any
of them (here to a wrapper that calls the original) takes the general path.
Both must give the same results, state files, log lines, messages, requests
and errors on every body: generated listings with odd rows and every JSON
edge the reader knows, their byte-level mutations, and malformed documents.

KILNGUARD_FUZZ_INPUTS scales the number of bodies (a twentieth of it, at most
500, so the sanitizer run stays short); KILNGUARD_FUZZ_SEED repeats a run."""

import json
import os
import random
import re
import tracemalloc

import pytest

import kilnguard
from fake_taostats import FakeServer, Reply, subnet_listing, subnet_record
from json_cases import MALFORMED
from monitor_host import RecordingStream
from test_json_fuzz import WHITE, mutate, text, unlimited_integers, value  # noqa: F401

BODIES = min(500, int(os.environ.get("KILNGUARD_FUZZ_INPUTS", "4000")) // 20)
SEED = int(os.environ.get("KILNGUARD_FUZZ_SEED", random.SystemRandom().randrange(1 << 32)))
KEY = "taostats-fuzz-key"

# The operations a fetch goes through, and those the snapshot reads rows with.
FETCH = ["fetch_all_subnets_latest", "with_retries", "http_get_json", "api_base",
         "request_headers", "is_rate_limited"]
ROWS = ["owner_burn_from_row", "format_burn_snapshot", "format_owner_burn"]

NETUIDS = ["0", "7", '"7"', '"07"', '" 7 "', '"+7"', "null", "7.0", "-0.0", '"SN8"', "true",
           '"1_0"', "-3", '"\\u0037"', '"\u0667"', "9223372036854775807", "9223372036854775808",
           "-9223372036854775809", "123456789012345678901234567890", "1e400", "NaN", "[7]",
           '{"a": 1}', '""']
BURNS = ['"0.18"', '"0"', "0", "0.0", "-0.0", "1", "1.0", "true", "false", "null", '""', "[]",
         "{}", "NaN", "Infinity", "-Infinity", "1e400", '"n/a"', '" 0.5 "', "0.1", "1E2",
         '"1_000.25"', "123456789012345678901234567890", '"\\ud800"', '"\u00e9"', '"0.25"',
         "[0.5]", '{"x": "0.5"}',
         # Lone surrogates written raw: bytes that are not UTF-8 inside a string.
         '"\ud800"', '"0.5\udcff"']
NETUID_KEYS = ['"netuid"', '"net\\u0075id"']
BURN_KEYS = ['"incentive_burn"', '"incentive\\u005fburn"']


# ------------------------------------------------------------ generation

def pick(rng, common, rare):
    return rng.choice(common) if rng.random() < 0.9 else rare(rng)


def ws(rng):
    return rng.choice(WHITE)


def nested(depth):
    # Within a row's field: the top object, data and the row add three levels.
    return "[" * depth + "1" + "]" * depth


def row(rng):
    if rng.random() < 0.1:
        record = subnet_record(rng.randrange(1024), random.Random(rng.random()))
        return json.dumps(record)
    members = []
    for _ in range(rng.choice([0, 1, 2, 2, 3])):
        roll = rng.random()
        if roll < 0.4:
            members.append((rng.choice(NETUID_KEYS), pick(rng, NETUIDS, lambda r: value(r, 2))))
        elif roll < 0.8:
            members.append((rng.choice(BURN_KEYS), pick(rng, BURNS, lambda r: value(r, 2))))
        elif roll < 0.97:
            members.append((text(rng), value(rng, 2)))
        else:
            members.append((text(rng), nested(rng.choice([996, 997, 998]))))
    return "{" + ",".join(ws(rng) + k + ws(rng) + ":" + ws(rng) + v + ws(rng)
                          for k, v in members) + "}"


def listing(rng):
    rows = [row(rng) if rng.random() < 0.95 else value(rng, 3)
            for _ in range(rng.choice([0, 1, 2, 3, 5, 8]))]
    data = "[" + ws(rng) + ("," + ws(rng)).join(rows) + ws(rng) + "]"
    if rng.random() < 0.1:
        data = rng.choice(["null", "{}", '"rows"', "0", "[]", "true", '{"a": [1]}'])
    members = [('"pagination"', value(rng, 3)), ('"data"', data)]
    roll = rng.random()
    if roll < 0.05:
        members.append(('"data"', rng.choice(["[]", data, "[{}]"])))  # the last one counts
    elif roll < 0.1:
        members.append(('"status_code"', rng.choice(["429", "429.0", '"429"', "200"])))
    elif roll < 0.15:
        members.append(('"message"', rng.choice(['"Rate Limited"', '"ok"', "[1]"])))
    elif roll < 0.18:
        members.append(('"d\\u0061ta"', "[]"))
    rng.shuffle(members)
    return ws(rng) + "{" + ", ".join(f"{k}: {v}" for k, v in members) + "}" + ws(rng)


def body(rng):
    roll = rng.random()
    if roll < 0.05:
        return rng.choice(MALFORMED)[1].encode("utf-8")
    if roll < 0.07:
        return json.dumps(subnet_listing(rng.choice([1, 3]))).encode()
    data = listing(rng).encode("utf-8", "surrogatepass")
    return mutate(rng, data) if rng.random() < 0.3 else data


def status(rng):
    return 200 if rng.random() < 0.85 else rng.choice([429, 500, 404])


def stored_state(rng):
    """A state file from an earlier pass, or none."""
    if rng.random() < 0.2:
        return None
    netuids = ["0", "7", "07", "-3", "10", "123456789012345678901234567890", "None"]
    rates = ["0.18", "0", "1", "0.5", "n/a", "0.0", "True", "nan", "inf"]
    burns = {n: rng.choice(rates) for n in rng.sample(netuids, rng.randint(0, 5))}
    return json.dumps({"owner_burn_rate": burns, "updated_at_utc": "2026-01-01T00:00:00Z"})


# --------------------------------------------------------------- running

STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


def outcome_of(call):
    try:
        return ("returned", call())
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return ("raised", type(error), str(error))


def report_of(reports):
    """The one report a run gave, in a form two runs can be compared by."""
    [report] = reports
    result = report.result
    if isinstance(result, BaseException):
        result = (type(result), str(result))
    return {"result": result, "failure": report.failure, "subnets": report.subnets,
            "updated_at": report.updated_at and STAMP.sub("T", report.updated_at),
            "changes": report.changes, "rates": repr(report.rates), "error": report.error,
            "pagination": repr(report.pagination), "attempts": report.attempts,
            "throttled": report.throttled, "http_status": report.http_status}


class Run:
    """One operation against a scripted answer, with everything it touched."""

    def __init__(self, monkeypatch, sleeps, folder, delivery):
        self.monkeypatch, self.sleeps, self.folder = monkeypatch, sleeps, folder
        self.delivery = delivery

    def __call__(self, operation, answer, state, rebound=None, during_request=None):
        path = os.path.join(self.folder, "state.json")
        if os.path.exists(path):
            os.unlink(path)
        if state is not None:
            with open(path, "w") as f:
                f.write(state)
        sent, stream, reports = [], RecordingStream(), []
        self.sleeps.pauses.clear()
        server = FakeServer()
        if during_request:
            # Runs in the server's thread while the client waits for the answer.
            choose = server.choose_reply
            server.choose_reply = lambda recorded: during_request() or choose(recorded)
        with self.monkeypatch.context() as patch:
            patch.setenv("TAOSTATS_API_BASE", server.url)
            patch.setattr("sys.stderr", stream)
            patch.setattr(kilnguard, "_burn_pass_report", reports.append)
            patch.setattr(kilnguard, "send_burn_telegram_messages",
                          lambda text, token, chat: sent.append(text) or self.delivery)
            if rebound:
                original = getattr(kilnguard, rebound)
                patch.setattr(kilnguard, rebound, lambda *a, **k: original(*a, **k))
            server.reply(*[answer] * 6)
            try:
                if operation == "pass":
                    result = outcome_of(lambda: kilnguard.run_kilnguard_once(
                        state_path=path, threshold=0.01, burn_token="t", burn_chat_id="c"))
                else:
                    result = outcome_of(lambda: kilnguard.run_burn_startup_snapshot(
                        state_path=path, burn_token="t", burn_chat_id="c"))
            finally:
                server.close()
        saved = None
        if os.path.exists(path):
            with open(path, encoding="utf-8", errors="surrogateescape") as f:
                saved = STAMP.sub("T", f.read())
        return {"result": result, "report": report_of(reports), "stderr": stream.writes,
                "state": saved,
                "sent": [STAMP.sub("T", t) for t in sent], "sleeps": list(self.sleeps.pauses),
                "requests": [(r.target, [h for h in r.headers if h[0] != "Host"])
                             for r in server.requests]}


@pytest.fixture
def run(monkeypatch, sleeps, tmp_path):
    monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
    return Run(monkeypatch, sleeps, str(tmp_path), (True, ""))


def test_fused_and_general_paths_agree(run, unlimited_integers):
    rng = random.Random(SEED)
    where = f"(KILNGUARD_FUZZ_SEED={SEED})"
    kinds = {"returned": 0, "raised": 0}
    for _ in range(BODIES):
        answer = Reply(status=status(rng), body=body(rng))
        operation = rng.choice(["pass", "snapshot"])
        state = stored_state(rng)
        rebound = rng.choice(FETCH + (ROWS if operation == "snapshot" else ROWS[:1]))
        run.delivery = rng.choice([(True, ""), (False, "nope")])
        fused = run(operation, answer, state)
        general = run(operation, answer, state, rebound)
        assert fused == general, (operation, rebound, answer.status, answer.body, where)
        kinds[fused["result"][0]] += 1
    # The bodies reach both outcomes in earnest.
    assert min(kinds.values()) > BODIES // 20, kinds


@pytest.mark.parametrize("operation", ["pass", "snapshot"])
def test_a_realistic_listing_agrees_and_builds_only_what_is_read(run, operation):
    listing = subnet_listing(1024)
    answer = Reply(body=json.dumps(listing).encode())
    state = json.dumps({"owner_burn_rate": {str(n): "0.5" for n in range(0, 1024, 3)},
                        "updated_at_utc": "2026-01-01T00:00:00Z"})
    peaks = {}
    results = {}
    for rebound in (None, "http_get_json"):
        tracemalloc.start()
        try:
            results[rebound] = run(operation, answer, state, rebound)
            peaks[rebound] = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    assert results[None] == results["http_get_json"]
    assert results[None]["result"] == ("returned", 0)
    # The general path holds every decoded record at once; the scan builds
    # two values a row.
    assert peaks[None] * 3 < peaks["http_get_json"], peaks


@pytest.mark.parametrize("name", FETCH + ROWS)
def test_a_rebound_operation_sees_what_the_general_path_gives_it(run, name):
    listing = subnet_listing(4)
    seen = []
    original = getattr(kilnguard, name)

    def spy(*args, **kwargs):
        seen.append(args)
        return original(*args, **kwargs)

    with run.monkeypatch.context() as patch:
        patch.setattr(kilnguard, name, spy)
        result = run("snapshot", Reply(body=json.dumps(listing)), None)
    assert result["result"] == ("returned", 0)
    assert seen, f"{name} was not called"
    if name == "owner_burn_from_row":
        # Once for the rate map and once for the text, each time a whole row.
        assert [args[0] for args in seen] == listing["data"] * 2
    if name == "format_burn_snapshot":
        assert seen[0][0] == listing["data"]


def test_a_binding_rebound_during_the_pass_is_honoured(run):
    # A host's save_burn_state runs between the listing and the snapshot text:
    # what it binds then is what the snapshot uses, with the full rows.
    listing = subnet_listing(3)
    rows_seen = []
    real_save = kilnguard.save_burn_state

    def save(path, burns, stamp):
        real_save(path, burns, stamp)
        kilnguard.format_burn_snapshot = lambda rows, stamp: rows_seen.append(rows) or "text"

    with run.monkeypatch.context() as patch:
        patch.setattr(kilnguard, "save_burn_state", save)
        patch.setattr(kilnguard, "format_burn_snapshot", kilnguard.format_burn_snapshot)
        result = run("snapshot", Reply(body=json.dumps(listing)), None)
    assert result["result"] == ("returned", 0) and result["sent"] == ["text"]
    assert rows_seen == [listing["data"]]


def delete_is_rate_limited():
    del kilnguard.is_rate_limited


def throttle_everything():
    kilnguard.is_rate_limited = lambda payload: True


@pytest.mark.parametrize("change", [delete_is_rate_limited, throttle_everything],
                         ids=["deleted", "rebound"])
@pytest.mark.parametrize("moment", ["before", "during"])
@pytest.mark.parametrize("operation", ["pass", "snapshot"])
def test_a_name_is_looked_up_when_the_general_path_looks_it_up(run, operation, moment, change):
    # is_rate_limited is first needed once the answer is in: deleted or
    # rebound before the request or while it runs, both paths meet the change
    # after one request (and the rebound one then throttles every answer).
    answer = Reply(body=json.dumps(subnet_listing(3)))
    original = kilnguard.is_rate_limited
    namespace = dict(vars(kilnguard))
    results = {}
    try:
        for rebound in (None, "http_get_json"):
            kilnguard.is_rate_limited = original
            if moment == "before":
                change()
            results[rebound] = run(operation, answer, None, rebound,
                                   during_request=change if moment == "during" else None)
    finally:
        # The module as it was, its names in their order.
        vars(kilnguard).clear()
        vars(kilnguard).update(namespace)
    assert results[None] == results["http_get_json"]
    assert len(results[None]["requests"]) == (1 if change is delete_is_rate_limited else 6)


@pytest.mark.parametrize("operation", ["pass", "snapshot"])
def test_a_row_a_host_edited_is_read_as_edited(run, operation):
    # A one-shot owner_burn_from_row edits the first row it is handed and puts
    # the module's own back: the snapshot must show the edited row, as the
    # general path does, not the row as scanned.
    answer = Reply(body=json.dumps(subnet_listing(3, {0: "0.5"})))
    original = kilnguard.owner_burn_from_row

    def once(row):
        kilnguard.owner_burn_from_row = original
        row["incentive_burn"] = "0.9"
        return original(row)

    results = {}
    for rebound in (None, "http_get_json"):
        run.monkeypatch.setattr(kilnguard, "owner_burn_from_row", once)
        results[rebound] = run(operation, answer, None, rebound)
    assert results[None] == results["http_get_json"]
    assert '"0": "0.9"' in results[None]["state"]
    if operation == "snapshot":
        assert "SN0: 0.9000" in results[None]["sent"][0]


@pytest.mark.parametrize(("rows", "scanned"), [(1 << 16, True), ((1 << 16) + 1, False)],
                         ids=["at-the-scan-limit", "past-it"])
def test_a_listing_too_long_for_the_scan_is_read_the_general_way(run, rows, scanned):
    # The scan notes a few dozen bytes for each record; an answer of millions
    # of records would make that gigabytes, so past 65536 it gives up.
    # Rows long in text that a pass does not read: the general way builds it.
    about = "x" * 200
    records = ",".join(f'{{"netuid":{n % 100},"incentive_burn":"0.5","about":"{about}{n}"}}'
                       for n in range(rows))
    answer = Reply(body=f'{{"pagination":{{}},"data":[{records}]}}'.encode())
    peaks, results = {}, {}
    for rebound in (None, "http_get_json"):
        tracemalloc.start()
        try:
            results[rebound] = run("pass", answer, None, rebound)
            peaks[rebound] = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    assert results[None] == results["http_get_json"]
    assert results[None]["result"] == ("returned", 0)
    assert (peaks[None] * 1.5 < peaks["http_get_json"]) == scanned, peaks


def test_a_listing_past_the_readers_budget_is_refused_as_the_general_way_refuses_it(run):
    # Plain rows the scan could take, each carrying a thousand empty arrays:
    # read whole, the answer is past the reader's budget. The scan must not
    # accept what http_get_json refuses.
    empties = ",".join(["[]"] * 1000)
    records = ",".join(f'{{"netuid":{n},"incentive_burn":"0.5","x":[{empties}]}}'
                       for n in range(1000))
    answer = Reply(body=f'{{"data":[{records}]}}'.encode())
    fused = run("pass", answer, None)
    assert fused == run("pass", answer, None, "http_get_json")
    assert fused["result"] == ("returned", 1)
    assert "JSON document too large to decode" in "".join(fused["stderr"])
