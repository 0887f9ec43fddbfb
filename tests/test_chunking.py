"""Splitting long texts into message pieces: the worked examples to the
character, the edge cases of the header and separator, and properties over
random snapshot- and alert-shaped texts."""

import pytest
from hypothesis import given, strategies as st

import kilnguard

SNAPSHOT_HEADER = ["Subnet owner burn rates (startup)", "2026-12-06T18:09:53Z UTC", "5 subnets"]
SUBNETS = ["SN0: 0.0000", "SN1: 0.1800", "SN2: 1.0000", "SN3: 0.2500", "SN4: 0.5000"]
ALERT_HEADER = ["Owner burn rate changed", "2026-12-06T18:09:53Z UTC"]


def test_snapshot_worked_example():
    text = "\n".join(SNAPSHOT_HEADER + [""] + SUBNETS)
    assert len(text) == 129
    opening = "\n".join(SNAPSHOT_HEADER + [""])
    pieces = kilnguard._chunk_text(text, 100)
    assert pieces == [opening + "\nSN0: 0.0000\nSN1: 0.1800",
                      opening + "\nSN2: 1.0000\nSN3: 0.2500",
                      opening + "\nSN4: 0.5000"]
    assert [len(piece) for piece in pieces] == [93, 93, 81]


def test_alert_keeps_every_change_line():
    changes = [f"SN{n}: 0.0000 \u2192 1.0000" for n in range(6)]
    text = "\n".join(ALERT_HEADER + [""] + changes)
    opening = "\n".join(ALERT_HEADER + [""])
    assert kilnguard._chunk_text(text, 100) == [
        opening + "\n" + "\n".join(changes[0:2]),
        opening + "\n" + "\n".join(changes[2:4]),
        opening + "\n" + "\n".join(changes[4:6]),
    ]


@pytest.mark.parametrize("text, max_len, pieces", [
    pytest.param("", 0, [""], id="empty"),
    pytest.param("a" * 10, 10, ["a" * 10], id="exactly-max-len"),
    pytest.param("a\nb\nc\nd\ne", 9, ["a\nb\nc\nd\ne"], id="exactly-max-len-lines"),
    pytest.param("a\nb\nc\nd\ne\n", 9, ["a\nb\nc\n\ne\n"], id="trailing-line-feed"),
    pytest.param("a" * 11, 10, ["a" * 11], id="one-long-line"),
    pytest.param("aaaa\nbbbb\ncccc", 10, ["aaaa\nbbbb\ncccc"], id="three-lines"),
    pytest.param("aaaa\nbbbb\ncccc\ndddd", 10, ["aaaa\nbbbb\ncccc"], id="four-lines-drop-the-fourth"),
    pytest.param("aa\n\n", 3, ["aa\n\n"], id="alert-header-only"),
    pytest.param("h1\nh2\nh3\nsep\nx\n" + "L" * 20 + "\ny", 12,
                 ["h1\nh2\nh3\n\nx", "h1\nh2\nh3\n\n" + "L" * 20, "h1\nh2\nh3\n\ny"],
                 id="long-line-stands-alone"),
    pytest.param("h\r\nt\r\nc\r\n\r\nx\r\ny\r", 14, ["h\r\nt\r\nc\r\n\nx\r", "h\r\nt\r\nc\r\n\ny\r"],
                 id="carriage-returns-are-ordinary"),
    pytest.param("t\nw\n\n\U0001F600\U0001F600\n\U0001F600", 9,
                 ["t\nw\n\n\U0001F600\U0001F600\n\U0001F600"], id="astral-count-once"),
    pytest.param("t\nw\n\n\U0001F600\U0001F600\n\U0001F600\n", 9,
                 ["t\nw\n\n\U0001F600\U0001F600\n\U0001F600", "t\nw\n\n"], id="astral-split"),
    pytest.param("t\nw\n\nx\ud800\ny", 5, ["t\nw\n\nx\ud800", "t\nw\n\ny"], id="lone-surrogate"),
    pytest.param("h1\nh2\nh3\n\nx\ny", -1, ["h1\nh2\nh3\n\nx", "h1\nh2\nh3\n\ny"], id="negative-max"),
])
def test_edge_cases(text, max_len, pieces):
    assert kilnguard._chunk_text(text, max_len) == pieces


@pytest.mark.parametrize("max_len", [10.9, True], ids=repr)
def test_max_len_is_any_number(max_len):
    text = "h1\nh2\nh3\n\nx\ny"
    assert kilnguard._chunk_text(text, max_len) == kilnguard._chunk_text(text, int(max_len))


def test_default_max_len_is_3900():
    line = "SN1: 0.5000"
    text = "\n".join(SNAPSHOT_HEADER + ["", "x" * (3900 - 70)])
    assert len(text) == 3900 and kilnguard._chunk_text(text) == [text]
    long_text = "\n".join(SNAPSHOT_HEADER + [""] + [line] * 400)
    assert [len(piece) for piece in kilnguard._chunk_text(long_text)] == [3897, 1041]


@pytest.mark.parametrize("call, message", [
    pytest.param(lambda: kilnguard._chunk_text(None), "_chunk_text() argument 'text' must be str, not None",
                 id="text-none"),
    pytest.param(lambda: kilnguard._chunk_text("x", "9"),
                 "_chunk_text() argument 'max_len' must be a number, not str", id="max-len-text"),
])
def test_wrong_kinds(call, message):
    with pytest.raises(TypeError) as failure:
        call()
    assert str(failure.value) == message


# ---------------------------------------------------------------- properties

body_lines = st.lists(st.text(st.characters(blacklist_characters="\n"), max_size=40), min_size=1,
                      max_size=40)
header_line = st.text(st.characters(blacklist_characters="\n"), min_size=1, max_size=30)


@st.composite
def shaped_texts(draw):
    """A snapshot-shaped (three header lines, a separator) or alert-shaped
    (two header lines, an empty third) text, with its header and body."""
    if draw(st.booleans()):
        header = [draw(header_line) for _ in range(3)]
        separator = draw(st.text(st.characters(blacklist_characters="\n"), max_size=5))
    else:
        header, separator = [draw(header_line) for _ in range(2)], ""
    body = draw(body_lines)
    return "\n".join(header + [separator] + body), header, body


@given(shaped_texts(), st.integers(0, 300))
def test_pieces_keep_every_body_line_once_in_order(shaped, max_len):
    text, header, body = shaped
    pieces = kilnguard._chunk_text(text, max_len)
    if len(text) <= max_len:
        assert pieces == [text]
        return
    opening = header + [""]
    seen = []
    for piece in pieces:
        lines = piece.split("\n")
        assert lines[:len(opening)] == opening
        taken = lines[len(opening):]
        assert taken, "a piece always takes a body line"
        if len(piece) > max_len:
            assert len(taken) == 1, "only a single line may force a piece past max_len"
        seen += taken
    assert seen == body
    # A piece closes only when the next line would not fit.
    for piece, following in zip(pieces, pieces[1:]):
        next_line = following.split("\n")[len(opening)]
        assert len(piece) + 1 + len(next_line) > max_len
