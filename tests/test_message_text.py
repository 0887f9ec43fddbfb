"""The alert and snapshot texts: both layouts to the character, the snapshot's
integer ordering (CPython's int() and sorted() are the oracles), and the
errors that end a rendering."""

import math

import pytest
from hypothesis import given, strategies as st

import kilnguard

WHEN = "2026-12-06T18:09:53Z"


def test_alert_worked_example():
    text = kilnguard.format_burn_alert([("3", "0.18", "0.25"), ("12", "0", "1")], WHEN)
    assert text == ("Owner burn rate changed\n2026-12-06T18:09:53Z UTC\n\n"
                    "SN3: 0.1800 \u2192 0.2500\nSN12: 0.0000 \u2192 1.0000")


def test_snapshot_worked_example():
    rows = [{"netuid": 12, "incentive_burn": "1"}, {"netuid": 0},
            {"netuid": 3, "incentive_burn": "0.18"}]
    before = [dict(row) for row in rows]
    text = kilnguard.format_burn_snapshot(rows, WHEN)
    assert text == ("Subnet owner burn rates (startup)\n2026-12-06T18:09:53Z UTC\n3 subnets\n\n"
                    "SN0: 0.0000\nSN3: 0.1800\nSN12: 1.0000")
    assert rows == before  # the caller's list is not reordered


@pytest.mark.parametrize("changes, lines", [
    pytest.param([], [], id="no-changes"),
    pytest.param([["5", "n/a", "0.1"]], ["SN5: n/a \u2192 0.1000"], id="list-entry-and-odd-rate"),
    pytest.param([("2", "1", "0"), ("1", "0", "1")],
                 ["SN2: 1.0000 \u2192 0.0000", "SN1: 0.0000 \u2192 1.0000"], id="order-kept"),
    pytest.param([("07", " 0.5 ", "-0")], ["SN07: 0.5000 \u2192 -0.0000"], id="netuid-unchanged"),
])
def test_alert_lines(changes, lines):
    text = kilnguard.format_burn_alert(changes, WHEN)
    assert text.split("\n") == ["Owner burn rate changed", WHEN + " UTC", ""] + lines


@pytest.mark.parametrize("rows, count, lines", [
    pytest.param([], "0 subnets", [], id="no-rows"),
    pytest.param([{"netuid": 4, "incentive_burn": 0.5}], "1 subnets", ["SN4: 0.5000"], id="one"),
    pytest.param([{"netuid": "10"}, {"netuid": "9"}, {"netuid": " 2 "}], "3 subnets",
                 ["SN 2 : 0.0000", "SN9: 0.0000", "SN10: 0.0000"], id="texts-sort-numerically"),
    pytest.param([{"incentive_burn": "n/a"}, {"netuid": 0, "incentive_burn": "1"},
                  {"netuid": -1}, {"netuid": False, "incentive_burn": "0.5"}], "4 subnets",
                 ["SN-1: 0.0000", "SNNone: n/a", "SN0: 1.0000", "SNFalse: 0.5000"],
                 id="missing-netuid-sorts-as-zero"),
    pytest.param([{"netuid": 2.9}, {"netuid": -2.9}, {"netuid": 12.0}, {"netuid": True}], "4 subnets",
                 ["SN-2.9: 0.0000", "SNTrue: 0.0000", "SN2.9: 0.0000", "SN12.0: 0.0000"],
                 id="reals-truncate"),
    pytest.param([{"netuid": 3, "incentive_burn": "a"}, {"netuid": "3", "incentive_burn": "b"}],
                 "2 subnets", ["SN3: a", "SN3: b"], id="equal-keys-keep-order"),
    pytest.param([{"netuid": 10**30}, {"netuid": "1_000"}], "2 subnets",
                 ["SN1_000: 0.0000", "SN" + "1" + "0" * 30 + ": 0.0000"], id="big-and-underscored"),
])
def test_snapshot_lines(rows, count, lines):
    text = kilnguard.format_burn_snapshot(rows, WHEN)
    assert text.split("\n") == ["Subnet owner burn rates (startup)", WHEN + " UTC", count, ""] + lines


@pytest.mark.parametrize("netuid, error", [
    (None, TypeError), ([1], TypeError), ({}, TypeError), ("7.0", ValueError), ("abc", ValueError),
    ("", ValueError), ("1__0", ValueError), (math.inf, OverflowError), (math.nan, ValueError),
], ids=repr)
def test_snapshot_refuses_keys_that_int_refuses(netuid, error):
    with pytest.raises(error):
        int(netuid)
    with pytest.raises(error):
        kilnguard.format_burn_snapshot([{"netuid": 1}, {"netuid": netuid}], WHEN)


netuids = st.one_of(
    st.integers(-10**20, 10**20), st.booleans(),
    st.floats(-1e6, 1e6, allow_nan=False),
    st.integers(-999, 999).map(lambda n: f" {n} "),
    st.integers(0, 999).map(lambda n: f"+{n}"),
)


@given(st.lists(st.one_of(netuids.map(lambda n: {"netuid": n}), st.just({})), max_size=12))
def test_snapshot_order_agrees_with_a_stable_sort_on_int(rows):
    tagged = [dict(row, incentive_burn=str(i)) for i, row in enumerate(rows)]
    expected = sorted(tagged, key=lambda row: int(row.get("netuid", 0)))
    body = kilnguard.format_burn_snapshot(tagged, WHEN).split("\n")[4:]
    assert [line.rsplit(": ", 1)[1] for line in body] == [
        kilnguard.format_owner_burn(row["incentive_burn"]) for row in expected]


@pytest.mark.parametrize("call, error, message", [
    pytest.param(lambda: kilnguard.format_burn_alert([("1", "2")], WHEN), ValueError,
                 "format_burn_alert() changes[0]: not enough values to unpack (expected 3, got 2)",
                 id="two-values"),
    pytest.param(lambda: kilnguard.format_burn_alert([("1", "0", "1"), ("1", "2", "3", "4")], WHEN),
                 ValueError, "format_burn_alert() changes[1]: too many values to unpack (expected 3)",
                 id="four-values"),
    pytest.param(lambda: kilnguard.format_burn_alert([7], WHEN), TypeError,
                 "format_burn_alert() changes[0]: cannot unpack non-iterable int object",
                 id="not-iterable"),
    pytest.param(lambda: kilnguard.format_burn_alert([("1", None, "0")], WHEN), TypeError,
                 "format_owner_burn() argument 'value' must be str, not None", id="rate-not-text"),
    pytest.param(lambda: kilnguard.format_burn_alert((), WHEN), TypeError,
                 "format_burn_alert() argument 'changes' must be list, not tuple", id="changes-tuple"),
    pytest.param(lambda: kilnguard.format_burn_alert([], None), TypeError,
                 "format_burn_alert() argument 'updated_at' must be str, not None", id="when-none"),
    pytest.param(lambda: kilnguard.format_burn_snapshot(None, WHEN), TypeError,
                 "format_burn_snapshot() argument 'rows' must be list, not None", id="rows-none"),
    pytest.param(lambda: kilnguard.format_burn_snapshot([{"netuid": 1}, [1]], WHEN), TypeError,
                 "format_burn_snapshot() rows[1] must be dict, not list", id="row-not-dict"),
])
def test_rendering_errors(call, error, message):
    with pytest.raises(error) as failure:
        call()
    assert str(failure.value) == message


def test_rates_are_displayed_through_the_module_binding(monkeypatch):
    monkeypatch.setattr(kilnguard, "format_owner_burn", lambda value: f"<{value}>")
    monkeypatch.setattr(kilnguard, "owner_burn_from_row", lambda row: row["rate"])
    assert kilnguard.format_burn_alert([("1", "a", "b")], WHEN).endswith("SN1: <a> \u2192 <b>")
    assert kilnguard.format_burn_snapshot([{"netuid": 1, "rate": "r"}], WHEN).endswith("SN1: <r>")


def test_texts_that_are_not_utf8_encodable_pass_through():
    text = kilnguard.format_burn_alert([("\ud800", "x\udfff", "1")], "t\udc80")
    assert text == "Owner burn rate changed\nt\udc80 UTC\n\nSN\ud800: x\udfff \u2192 1.0000"
