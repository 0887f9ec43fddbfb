"""Owner burn rates: taking them from a listing row, displaying them, and
deciding whether two of them differ. CPython's float(), format() and repr()
are the oracles for the number rules."""

import math
import sys

import pytest
from hypothesis import given, strategies as st

import kilnguard


@pytest.mark.parametrize(
    "value, shown",
    [
        ("0.18", "0.1800"),
        ("0", "0.0000"),
        ("1", "1.0000"),
        ("0.12345", "0.1235"),
        ("0.123456789", "0.1235"),
        ("0.00015", "0.0001"),  # the double lies just below the tie
        ("0.00025", "0.0003"),  # the double lies just above the tie
        ("0.03125", "0.0312"),  # exact tie: to even
        ("0.09375", "0.0938"),
        ("0.99995", "1.0000"),
        ("1e-5", "0.0000"),
        ("-0.00001", "-0.0000"),
        ("-0", "-0.0000"),
        (" 0.5 ", "0.5000"),
        ("1_000.25", "1000.2500"),
        ("1E2", "100.0000"),
        ("1e16", "10000000000000000.0000"),
        ("1e400", "inf"),
        ("-1e400", "-inf"),
        ("1e-400", "0.0000"),
        ("Infinity", "inf"),
        ("-iNF", "-inf"),
        ("nan", "nan"),
        ("-nan", "nan"),
        (".5", "0.5000"),
        ("5.", "5.0000"),
        ("\u00a00.5\u2003", "0.5000"),  # Unicode white space counts as white space
    ],
)
def test_format_owner_burn_displays_four_decimals(value, shown):
    assert kilnguard.format_owner_burn(value) == shown


@pytest.mark.parametrize(
    "value",
    ["n/a", "12%", "", " ", ".", "0x10", "1,5", "1 0", "None", "True", "1__0", "_1", "1_",
     "1_.5", "1._5", "1e", "1e+", "e5", "+-1", "inf inity", "\u0661\u0662", "0.5\ud800"],
)
def test_format_owner_burn_leaves_other_text_unchanged(value):
    assert kilnguard.format_owner_burn(value) == value


# Texts built from the characters of numbers, so most of them are close calls.
number_like = st.text(alphabet="0123456789_.eE+- infatyINFATY\t", max_size=14)
decimal_numbers = st.builds(
    lambda sign, whole, frac, exp: f"{sign}{whole}.{frac}{exp}",
    st.sampled_from(["", "-", "+"]),
    st.integers(0, 10**20).map(str),
    st.integers(0, 10**20).map(str),
    st.sampled_from(["", "e5", "E-7", "e+300", "e-320", "e400"]),
)


def display_oracle(text):
    try:
        real = float(text)
    except ValueError:
        return text
    return "nan" if math.isnan(real) else format(real, ".4f")


@given(st.one_of(number_like, decimal_numbers, st.floats().map(repr)))
def test_format_owner_burn_agrees_with_cpython(text):
    assert kilnguard.format_owner_burn(text) == display_oracle(text)


def test_display_decimals_follow_the_module_constant(monkeypatch):
    assert kilnguard.OWNER_BURN_DECIMALS == 4
    monkeypatch.setattr(kilnguard, "OWNER_BURN_DECIMALS", 2)
    assert kilnguard.format_owner_burn("0.125") == "0.12"
    monkeypatch.setattr(kilnguard, "OWNER_BURN_DECIMALS", 0)
    assert kilnguard.format_owner_burn("2.5") == "2"


@pytest.mark.parametrize("decimals", [-1, "4", 2.5, None, True], ids=repr)
def test_unusable_decimals_leave_rates_unformatted(monkeypatch, decimals):
    monkeypatch.setattr(kilnguard, "OWNER_BURN_DECIMALS", decimals)
    assert kilnguard.format_owner_burn("0.18") == "0.18"


@pytest.mark.parametrize(
    "old, new, threshold, changed",
    [
        ("0.18", "0.1800", 0, False),
        ("0.18", "0.19", 0.01, True),
        ("0.5", "0.6", 0.1, False),
        ("0.1", "0.3", 0.2, False),
        ("0", "1", 1, False),
        ("0", "1", 0.999, True),
        ("0", " 0 ", 0, False),
        ("nan", "0.5", 0, False),
        ("inf", "1", 0, True),
        ("inf", "inf", 0, False),
        ("n/a", "0", 0.5, True),
        ("n/a", "n/a", 0.5, False),
        ("", "0", 0, True),
        ("None", "0.18", 0.5, True),
        ("0.18", "0.18", -1, True),
        ("0", "1", math.nan, False),
        ("N/A", "n/a", 0, True),  # compared as texts, letter case counts
        (" x", "x", 0, True),  # and without trimming
    ],
)
def test_owner_burn_changed(old, new, threshold, changed):
    assert kilnguard.owner_burn_changed(old, new, threshold) is changed


def changed_oracle(old, new, threshold):
    try:
        a, b = float(old), float(new)
    except ValueError:
        return old != new
    return abs(a - b) > threshold


@given(st.one_of(number_like, decimal_numbers), st.one_of(number_like, decimal_numbers),
       st.floats(allow_nan=True) | st.integers(-5, 5))
def test_owner_burn_changed_agrees_with_cpython(old, new, threshold):
    assert kilnguard.owner_burn_changed(old, new, threshold) is changed_oracle(old, new, threshold)


@pytest.mark.parametrize(
    "row, rate",
    [
        ({}, "0"),
        ({"incentive_burn": None}, "0"),
        ({"incentive_burn": False}, "0"),
        ({"incentive_burn": 0}, "0"),
        ({"incentive_burn": 0.0}, "0"),
        ({"incentive_burn": -0.0}, "0"),
        ({"incentive_burn": ""}, "0"),
        ({"incentive_burn": []}, "0"),
        ({"incentive_burn": {}}, "0"),
        ({"incentive_burn": "0.0"}, "0.0"),
        ({"incentive_burn": " "}, " "),
        ({"incentive_burn": "abc"}, "abc"),
        ({"incentive_burn": 1}, "1"),
        ({"incentive_burn": 1.0}, "1.0"),
        ({"incentive_burn": 0.18}, "0.18"),
        ({"incentive_burn": 1e16}, "1e+16"),
        ({"incentive_burn": 1e-5}, "1e-05"),
        ({"incentive_burn": math.nan}, "nan"),
        ({"incentive_burn": True}, "True"),
        ({"incentive_burn": 10**5000}, "1" + "0" * 5000),  # beyond CPython's str() limit
        ({"incentive_burn": -(10**30) - 7}, "-1000000000000000000000000000007"),
        ({"incentive_burn": {"ok": False}}, "{'ok': False}"),
        ({"incentive_burn": [1, "a"]}, "[1, 'a']"),
    ],
)
def test_owner_burn_from_row(row, rate):
    assert kilnguard.owner_burn_from_row(row) == rate


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=6,
)


@given(json_values)
def test_owner_burn_from_row_gives_the_text_form(value):
    expected = (value if isinstance(value, str) else str(value)) if value else "0"
    assert kilnguard.owner_burn_from_row({"netuid": 1, "incentive_burn": value}) == expected


# Integers beyond CPython's 4300-digit str() limit, inside containers: the
# text form prints them wherever it is used.
BIG = 10**4300 + 7


def big_digits(value=BIG):
    with_limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        return str(value)
    finally:
        sys.set_int_max_str_digits(with_limit)


def rate_from_row(tmp_path, monkeypatch, capsys):
    return kilnguard.owner_burn_from_row({"incentive_burn": [BIG]}), f"[{big_digits()}]"


def stored_rate(tmp_path, monkeypatch, capsys):
    path = tmp_path / "state.json"
    path.write_text('{"owner_burn_rate": {"1": {"n": %s}}}' % big_digits())
    return kilnguard.load_burn_state(str(path)), {"1": "{'n': %s}" % big_digits()}


def throttle_message(tmp_path, monkeypatch, capsys):
    return kilnguard.is_rate_limited({"message": [BIG, "Rate Limited"]}), True


def snapshot_line(tmp_path, monkeypatch, capsys):
    text = kilnguard.format_burn_snapshot([{"netuid": 1, "incentive_burn": (BIG,)}], "T")
    return text.splitlines()[-1], f"SN1: ({big_digits()},)"


def failure_line(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("TAOSTATS_API_KEY", "k")
    monkeypatch.setattr(kilnguard, "fetch_all_subnets_latest",
                        lambda auth: [{"netuid": 1, "incentive_burn": "0.5"}])
    monkeypatch.setattr(kilnguard, "load_burn_state", lambda path: {"1": "0.1"})
    monkeypatch.setattr(kilnguard, "save_burn_state", lambda *args: None)
    monkeypatch.setattr(kilnguard, "send_burn_telegram_messages", lambda *args: (False, [BIG]))
    kilnguard.run_kilnguard_once(state_path="s", threshold=0.01, burn_token="t", burn_chat_id="c")
    return capsys.readouterr().err, f"[burn] telegram failed: [{big_digits()}]\n"


@pytest.mark.parametrize("case", [rate_from_row, stored_rate, throttle_message, snapshot_line,
                                  failure_line], ids=lambda case: case.__name__)
def test_integers_of_any_size_inside_containers(case, tmp_path, monkeypatch, capsys):
    got, expected = case(tmp_path, monkeypatch, capsys)
    assert got == expected


def test_reply_with_a_huge_integer(telegram):
    from fake_telegram import Reply

    telegram.answer(Reply(200, b'{"ok": false, "n": %s}' % big_digits().encode()))
    assert kilnguard.send_burn_telegram("hi", "123:token-0123456789", "1") == (
        False, "{'ok': False, 'n': %s}" % big_digits())
