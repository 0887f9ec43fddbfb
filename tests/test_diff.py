"""Change detection between two rate maps."""

import pytest
from hypothesis import given, strategies as st

import kilnguard


def test_worked_example():
    prev = {"2": "0.5", "10": "0.18", "7": "n/a", "3": "0.1"}
    current = {"10": "0.19", "2": "0.5", "7": "0", "11": "0.3"}
    prev_copy, current_copy = dict(prev), dict(current)
    assert kilnguard.diff_burns(prev, current, 0.01) == [("7", "n/a", "0"), ("10", "0.18", "0.19")]
    assert prev == prev_copy and current == current_copy


@pytest.mark.parametrize(
    "prev, current, expected",
    [
        pytest.param({}, {"1": "0.5"}, [], id="empty-prev"),
        pytest.param({"1": "0"}, {"2": "1"}, [], id="only-in-one-map"),
        pytest.param({"100": "0", "10": "0", "2": "0"}, {"100": "1", "10": "1", "2": "1"},
                     [("2", "0", "1"), ("10", "0", "1"), ("100", "0", "1")], id="numeric-order"),
        pytest.param({"7": "0"}, {"7": "1", "07": "1", "+7": "1"}, [("7", "0", "1")],
                     id="exact-key-lookup"),
        pytest.param({"07": "0", "7": "0"}, {"07": "1", "7": "1"}, [("07", "0", "1"), ("7", "0", "1")],
                     id="equal-numbers-keep-their-order"),
        pytest.param({"7": None}, {"7": "1"}, [], id="none-in-prev-skipped"),
        pytest.param({"-3": "0", "99999999999999999999999": "0", "4": "0"},
                     {"99999999999999999999999": "1", "4": "1", "-3": "1"},
                     [("-3", "0", "1"), ("4", "0", "1"), ("99999999999999999999999", "0", "1")],
                     id="sign-and-size"),
        pytest.param({" 8 ": "0", "1_0": "0"}, {"1_0": "1", " 8 ": "1"},
                     [(" 8 ", "0", "1"), ("1_0", "0", "1")], id="white-space-and-underscores"),
        pytest.param({"1": "0.5"}, {"1": "0.6"}, [], id="below-threshold"),
    ],
)
def test_diff_burns(prev, current, expected):
    assert kilnguard.diff_burns(prev, current, 0.1) == expected


@pytest.mark.parametrize("bad_key", ["7.0", "SN7", "None", "", "1__0", "0x10"])
def test_a_key_that_is_not_an_integer_fails_the_whole_call(bad_key):
    current = {"1": "1", bad_key: "1", "2": "1"}
    with pytest.raises(ValueError, match="invalid literal for int"):
        kilnguard.diff_burns({}, current, 0.0)


def test_rate_that_is_not_text_fails_when_compared():
    with pytest.raises(TypeError, match="owner_burn_changed"):
        kilnguard.diff_burns({"1": 0.5}, {"1": "0.6"}, 0.0)
    # A subnet that is never compared is never checked.
    assert kilnguard.diff_burns({"2": "0"}, {"1": 0.5}, 0.0) == []


def test_comparison_goes_through_the_module_binding(monkeypatch):
    seen = []

    def always_changed(old, new, threshold):
        seen.append((old, new, threshold))
        return 1  # any true value counts

    monkeypatch.setattr(kilnguard, "owner_burn_changed", always_changed)
    assert kilnguard.diff_burns({"1": "a", "2": "b"}, {"2": "b", "1": "a"}, 3) == [
        ("1", "a", "a"), ("2", "b", "b")]
    assert seen == [("a", "a", 3.0), ("b", "b", 3.0)]
    assert all(type(t) is float for _, _, t in seen)


rates = st.sampled_from(["0", "0.5", "0.51", "1", "n/a", "nan", "inf"])
keys = st.integers(-50, 10**20).map(str)


@given(st.dictionaries(keys, rates, max_size=8), st.dictionaries(keys, rates, max_size=8),
       st.sampled_from([0.0, 0.01, 0.5]))
def test_diff_burns_agrees_with_a_plain_model(prev, current, threshold):
    expected = [
        (k, prev[k], new)
        for k, new in sorted(current.items(), key=lambda kv: int(kv[0]))
        if prev.get(k) is not None and kilnguard.owner_burn_changed(prev[k], new, threshold)
    ]
    assert kilnguard.diff_burns(prev, current, threshold) == expected
