"""One monitoring pass, with the listing and the delivery scripted."""

import json
import os
import re
import sys

import pytest

import kilnguard
from monitor_host import MonitorHost, RecordingStream, rows

REAL_DELIVERY = kilnguard.send_burn_telegram_messages
STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ"


@pytest.fixture
def host(monkeypatch, capsys):
    return MonitorHost(monkeypatch, capsys)


def run_pass(state_path, threshold=0.01, token="bot-token", chat="42"):
    return kilnguard.run_kilnguard_once(state_path=state_path, threshold=threshold,
                                        burn_token=token, burn_chat_id=chat)


def stored(state_path):
    with open(state_path, encoding="utf-8") as f:
        return json.load(f)


def test_first_pass_seeds_the_state_silently(host, state_path):
    host.listings = [rows({0: "0", 1: "0.18", 12: "1"})]
    assert run_pass(state_path) == 0
    assert host.lines == [] and host.sent == []
    document = stored(state_path)
    assert document["owner_burn_rate"] == {"0": "0", "1": "0.18", "12": "1"}
    assert re.fullmatch(STAMP, document["updated_at_utc"])
    assert host.fetches == ["taostats-secret-key"]


def test_changes_above_the_threshold_send_one_alert(host, state_path):
    host.listings = [rows({3: "0.18", 12: "0", 5: "0.5"})]
    run_pass(state_path)
    host.listings = [rows({3: "0.25", 12: "1", 5: "0.505"})]
    assert run_pass(state_path) == 0
    [(text, token, chat)] = host.sent
    stamp = stored(state_path)["updated_at_utc"]
    assert text == (f"Owner burn rate changed\n{stamp} UTC\n\n"
                    "SN3: 0.1800 → 0.2500\nSN12: 0.0000 → 1.0000")
    assert (token, chat) == ("bot-token", "42")
    assert host.lines == ["[burn] alert sent (2 subnet(s))\n"]
    assert stored(state_path)["owner_burn_rate"] == {"12": "1", "3": "0.25", "5": "0.505"}


def test_unchanged_rates_rewrite_the_state_and_say_nothing(host, state_path):
    host.listings = [rows({1: "0.5"})]
    run_pass(state_path)
    with open(state_path, "w") as f:
        f.write('{"owner_burn_rate": {"1": "0.5"}, "updated_at_utc": "old"}\n')
    assert run_pass(state_path) == 0
    assert host.lines == [] and host.sent == []
    assert stored(state_path)["updated_at_utc"] != "old"


def test_a_failed_delivery_is_logged_and_not_repeated(host, state_path, monkeypatch):
    host.listings = [rows({1: "0"})]
    run_pass(state_path)
    host.listings = [rows({1: "1"})]
    # The module's own delivery with an empty token fails without any network access.
    monkeypatch.setattr(kilnguard, "send_burn_telegram_messages", REAL_DELIVERY)
    assert run_pass(state_path, token="") == 1
    assert host.lines == ["[burn] telegram failed: burn telegram not configured\n"]
    assert stored(state_path)["owner_burn_rate"] == {"1": "1"}
    assert run_pass(state_path, token="") == 0  # already saved: no second alert


def test_delivery_error_text_is_logged_in_its_text_form(host, state_path):
    host.listings = [rows({1: "0"})]
    run_pass(state_path)
    host.listings = [rows({1: "1"})]
    host.delivery = [0, {"ok": False}]
    assert run_pass(state_path) == 1
    assert host.lines == ["[burn] telegram failed: {'ok': False}\n"]


PREFIX = "[burn] telegram failed: "
PAGE = "x" * 2_000_000


@pytest.mark.parametrize("error, line", [
    ("short", PREFIX + "short\n"),
    ("<html>\r\n502\r\n</html>\n[burn] alert sent (1 subnet(s))",
     PREFIX + "<html>\\r\\n502\\r\\n</html>\\n[burn] alert sent (1 subnet(s))\n"),
    ("x" * (8000 - len(PREFIX)), PREFIX + "x" * (8000 - len(PREFIX)) + "\n"),
    (PAGE, PREFIX + PAGE[:8000 - len(PREFIX)]
     + f"\u2026 ({len(PREFIX) + len(PAGE) - 8000} more characters)\n"),
], ids=["short", "line-breaks", "longest-whole", "two-megabytes"])
def test_a_log_line_is_one_physical_line(host, state_path, error, line):
    host.listings = [rows({1: "0"})]
    run_pass(state_path)
    host.listings = [rows({1: "1"})]
    host.delivery = (False, error)
    assert run_pass(state_path) == 1
    assert host.lines == [line]


def test_no_key_means_no_request_and_no_state(host, state_path, monkeypatch):
    monkeypatch.setenv("TAOSTATS_API_KEY", "  ")
    with open(state_path, "w") as f:
        f.write("previous")
    assert run_pass(state_path) == 1
    assert host.lines == ["[burn] taostats API not available (must be bundled in package defaults)\n"]
    assert host.fetches == []
    with open(state_path) as f:
        assert f.read() == "previous"


def test_a_failed_listing_is_logged_as_compact_json(host, state_path):
    failure = {"error": "no_subnet_rows",
               "response": {"message": "Zugriff verweigert – é\u007f", "status_code": 403,
                            "ratio": float("nan"), "items": [1.5, None, True]}}
    host.listings = [failure]
    assert run_pass(state_path) == 1
    assert host.lines == [
        '[burn] fetch failed: {"error": "no_subnet_rows", "response": {"message": '
        '"Zugriff verweigert \\u2013 \\u00e9\\u007f", "status_code": 403, "ratio": NaN, '
        '"items": [1.5, null, true]}}\n']
    assert json.loads(host.lines[0][len("[burn] fetch failed: "):]) is not None
    assert not os.path.exists(state_path)


FAILED = "[burn] fetch failed: "
HOST_KEY = "taostats-secret-key"


def cut_whole(text):
    """A text as single_line cuts it when it is built whole first."""
    if len(text) <= 8000:
        return text
    return text[:8000] + f"\u2026 ({len(text) - 8000} more characters)"


def failure_with(message):
    return {"error": "no_subnet_rows", "response": {"status_code": 500, "message": message}}


# Where the message starts in the line and in the report's text.
AT = len(FAILED) + len(json.dumps(failure_with("")).split('""')[0]) + 1


def at_the_cut(text, tail="z" * 100):
    """A message that puts `text` across the line's 8000th character."""
    return "m" * (8000 - AT - 3) + text + tail


# The line and the report's text are cut as they are written; they must read
# exactly as if each had been built whole, scrubbed, then cut.
@pytest.mark.parametrize("message", [
    "short",
    "m" * (8000 - AT - 3),
    "m" * (8000 - AT - 2),
    at_the_cut(HOST_KEY),
    at_the_cut(HOST_KEY.replace("-", "%2d")),
    at_the_cut("bot-token"),
    at_the_cut("\u00e9"),
    at_the_cut("\U0001f600"),
    at_the_cut("\\u0000"),
    ("x" + HOST_KEY) * 10_000,
    "\u00e9" * 100_000,
], ids=["short", "longest-whole", "one-over", "key-across-the-cut",
        "percent-encoded-key-across-the-cut", "token-across-the-cut", "escape-across-the-cut",
        "surrogate-pair-across-the-cut", "escaped-backslash-across-the-cut",
        "keys-across-every-piece", "long-text-beyond-ascii"])
def test_a_failure_line_reads_as_if_built_whole(host, state_path, monkeypatch, message):
    reports = []
    monkeypatch.setattr(kilnguard, "_burn_pass_report", reports.append)
    host.listings = [failure_with(message)]
    assert run_pass(state_path) == 1
    compact = kilnguard._scrub_secrets(json.dumps(failure_with(message)), [HOST_KEY, "bot-token"])
    assert host.lines == [cut_whole(FAILED + compact) + "\n"]
    [report] = reports
    assert report.error == cut_whole(compact)
    for text in (host.lines[0], report.error):
        assert "taost" not in text and "bot-tok" not in text


@pytest.mark.parametrize("listing", [None, {"error": ""}, {"data": []}, "rows", 5],
                         ids=["none", "empty-error", "object-without-error", "text", "number"])
def test_a_listing_that_is_not_rows_raises(host, state_path, listing):
    host.listings = [listing]
    with pytest.raises(TypeError, match="subnet listing must be a list"):
        run_pass(state_path)
    assert not os.path.exists(state_path)


@pytest.mark.parametrize("row", [5, None, True, "netuid"], ids=repr)
def test_a_row_that_is_not_an_object_raises(host, state_path, row):
    host.listings = [[{"netuid": 1, "incentive_burn": "0"}, row]]
    with pytest.raises(TypeError, match="subnet row must be a dict"):
        run_pass(state_path)


def test_rows_that_cannot_name_a_subnet_are_skipped(host, state_path):
    host.listings = [[
        {"netuid": 7, "incentive_burn": "0.1"},
        {"incentive_burn": "0.9"},  # no netuid
        {"netuid": None, "incentive_burn": "0.9"},
        {"netuid": "SN8", "incentive_burn": "0.9"},
        {"netuid": 8.0, "incentive_burn": "0.9"},
        {"netuid": "7", "incentive_burn": "0.2"},  # the same subnet as 7: the last row wins
        {"netuid": 2, "incentive_burn": None},
    ]]
    assert run_pass(state_path) == 0
    assert stored(state_path)["owner_burn_rate"] == {"2": "0", "7": "0.2"}
    # The odd rows never reach the stored map, so later passes keep working.
    assert run_pass(state_path) == 0


def test_subnets_that_leave_or_join_are_not_reported(host, state_path):
    host.listings = [rows({1: "0", 2: "0"})]
    run_pass(state_path)
    host.listings = [rows({2: "0", 3: "1"})]
    assert run_pass(state_path) == 0 and host.sent == []
    assert stored(state_path)["owner_burn_rate"] == {"2": "0", "3": "1"}


def test_a_state_file_that_cannot_be_written_stops_the_pass_before_sending(host, tmp_path):
    state_path = str(tmp_path / "missing" / "state.json")
    host.listings = [rows({1: "0"})]
    with pytest.raises(OSError):
        run_pass(state_path)
    assert host.sent == []


def test_every_operation_is_looked_up_at_the_time_of_the_pass(host, state_path, monkeypatch):
    host.listings = [rows({1: "0", 2: "0"})]
    run_pass(state_path)
    seen = {}
    real_diff = kilnguard.diff_burns

    def diff(prev, current, threshold):
        seen["threshold"] = threshold
        return real_diff(prev, current, threshold)

    monkeypatch.setattr(kilnguard, "diff_burns", diff)
    monkeypatch.setattr(kilnguard, "owner_burn_from_row", lambda row: "9")
    monkeypatch.setattr(kilnguard, "format_burn_alert", lambda changes, stamp: f"{len(changes)} moved")
    assert run_pass(state_path, threshold=0) == 0
    assert type(seen["threshold"]) is float and seen["threshold"] == 0.0
    assert [text for text, _, _ in host.sent] == ["2 moved"]


def test_a_delivery_result_that_is_not_a_pair_raises(host, state_path):
    host.listings = [rows({1: "0"})]
    run_pass(state_path)
    host.listings = [rows({1: "1"})]
    host.delivery = (True, "", "extra")
    with pytest.raises(ValueError, match=r"\(ok, error\)"):
        run_pass(state_path)


def test_each_line_is_one_write_and_never_flushed(host, state_path, monkeypatch):
    stream = RecordingStream()
    monkeypatch.setattr(sys, "stderr", stream)
    host.listings = [{"error": "no_subnet_rows", "response": {}}]
    run_pass(state_path)
    assert stream.writes == ['[burn] fetch failed: {"error": "no_subnet_rows", "response": {}}\n']
    assert stream.flushes == 0


@pytest.mark.parametrize("arguments, message", [
    (dict(threshold="0.1"), "argument 'threshold' must be a real number, not str"),
    (dict(burn_token=None), "argument 'burn_token' must be str, not None"),
    (dict(state_path=b"x"), "argument 'state_path' must be str, not bytes"),
])
def test_wrong_arguments_are_refused_before_anything_runs(host, state_path, arguments, message):
    given = dict(state_path=state_path, threshold=0.01, burn_token="t", burn_chat_id="c")
    given.update(arguments)
    with pytest.raises(TypeError, match=re.escape(message)):
        kilnguard.run_kilnguard_once(**given)
    assert host.fetches == []
    with pytest.raises(TypeError):
        kilnguard.run_kilnguard_once(state_path, 0.01, "t", "c")  # keyword-only


def test_a_damaged_state_file_costs_one_pass_without_alerts(host, state_path):
    with open(state_path, "w") as f:
        f.write('{"owner_burn_rate": {"1": "0"')  # cut off mid-document
    host.listings = [rows({1: "1"})]
    assert run_pass(state_path) == 0 and host.sent == []
    assert stored(state_path)["owner_burn_rate"] == {"1": "1"}
    host.listings = [rows({1: "0"})]
    assert run_pass(state_path) == 0 and len(host.sent) == 1
