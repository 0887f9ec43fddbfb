"""The JSON reader, compared with CPython's json.loads.

The reader is reached through load_burn_state: a generated document sits in
the `owner_burn_rate` member of a state file, and what comes back must be the
text form of what json.loads makes of the same text, member for member and in
the same order."""

import http.server
import json
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kilnguard
from json_cases import malformed_params


@pytest.fixture(autouse=True)
def unlimited_int_text():
    # json.loads and str() refuse integers over 4300 digits by default; the
    # module does not, so the oracle must not either.
    previous = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    yield
    sys.set_int_max_str_digits(previous)


# ------------------------------------------------------------- JSON texts

WHITE = st.sampled_from(["", "", " ", "\n", "\t", "\r\n  "])

INTEGERS = st.one_of(
    st.integers(-(2**70), 2**70),
    st.integers(-(10**400), 10**400),
    st.integers(1, 9).flatmap(lambda lead: st.integers(4000, 6000).map(lambda n: str(lead) * n)),
).map(str)

REALS = st.one_of(
    st.from_regex(r"-?(0|[1-9][0-9]{0,25})(\.[0-9]{1,25})?([eE][+-]?[0-9]{1,3})?", fullmatch=True),
    st.sampled_from(["NaN", "Infinity", "-Infinity", "1e400", "-1e400", "1e-400", "-0.0",
                     "4.9e-324", "2e-324", "1.7976931348623157e308"]),
)

SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f",
                 "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def u_escape(code, upper):
    text = f"\\u{code:04x}"
    return text.upper().replace("\\U", "\\u") if upper else text


@st.composite
def json_strings(draw):
    """A JSON string literal whose characters are written raw or escaped in
    every way JSON allows, lone surrogates included."""
    parts = []
    characters = st.one_of(st.characters(), st.characters(categories=["Cs"]),
                           st.sampled_from('"\\/\b\n\x00\x1f'))
    for ch in draw(st.lists(characters, max_size=12)):
        code = ord(ch)
        styles = ["u"]
        if not (0xD800 <= code <= 0xDFFF or code < 0x20 or ch in '"\\'):
            styles.append("raw")
        if ch in SHORT_ESCAPES:
            styles.append("short")
        style = draw(st.sampled_from(styles))
        upper = draw(st.booleans())
        if style == "raw":
            parts.append(ch)
        elif style == "short":
            parts.append(SHORT_ESCAPES[ch])
        elif code > 0xFFFF:
            offset = code - 0x10000
            parts.append(u_escape(0xD800 | offset >> 10, upper)
                         + u_escape(0xDC00 | offset & 0x3FF, upper))
        else:
            parts.append(u_escape(code, upper))
    return '"' + "".join(parts) + '"'


KEYS = st.one_of(st.sampled_from(['"a"', '"b"', '"\\u0061"', '"é"']), json_strings())
SCALARS = st.one_of(INTEGERS, REALS, json_strings(), st.sampled_from(["true", "false", "null"]))


def containers(children):
    arrays = st.lists(st.tuples(WHITE, children, WHITE), max_size=4).map(
        lambda items: "[" + ",".join(a + v + b for a, v, b in items) + "]")
    objects = st.lists(st.tuples(WHITE, KEYS, WHITE, children), max_size=4).map(
        lambda members: "{" + ",".join(a + k + b + ":" + v for a, k, b, v in members) + "}")
    return arrays | objects


VALUES = st.recursive(SCALARS, containers, max_leaves=12)

# Members of `owner_burn_rate`; the few names make repeated names common.
MEMBERS = st.lists(st.tuples(KEYS, WHITE, VALUES), max_size=6).map(
    lambda members: "{" + ", ".join(k + ":" + w + v for k, w, v in members) + "}")


def state_document(members):
    return '{"updated_at_utc": "x", "owner_burn_rate": ' + members + "}"


def expected_burns(document):
    """What load_burn_state must give: the text form of every member."""
    return {name: str(value) for name, value in json.loads(document)["owner_burn_rate"].items()}


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="") as file:
        file.write(text)


def load(path):
    result = kilnguard.load_burn_state(path)
    assert type(result) is dict
    return result


RUNS = settings(max_examples=300, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


@RUNS
@given(members=MEMBERS)
def test_members_match_json_loads(state_path, members):
    document = state_document(members)
    write(state_path, document)
    result = load(state_path)
    want = expected_burns(document)
    assert result == want
    assert list(result) == list(want)


@RUNS
@given(members=MEMBERS, data=st.data())
def test_damaged_documents_are_refused_exactly_when_json_loads_refuses(state_path, members, data):
    text = list(state_document(members))
    for _ in range(data.draw(st.integers(1, 3))):
        at = data.draw(st.integers(0, len(text)))
        if data.draw(st.booleans()) and at < len(text):
            del text[at]
        else:
            text.insert(at, data.draw(st.sampled_from(list('{}[],:"\\ -.e0nNI') + ["\x01"])))
    document = "".join(text)
    write(state_path, document)
    try:
        parsed = json.loads(document)
    except json.JSONDecodeError:
        assert load(state_path) == {}
        return
    if not isinstance(parsed, dict):
        with pytest.raises(TypeError):
            load(state_path)
        return
    stored = parsed.get("owner_burn_rate")
    want = {k: str(v) for k, v in stored.items()} if isinstance(stored, dict) else {}
    assert load(state_path) == want


@pytest.mark.parametrize(("document", "message"), malformed_params())
def test_malformed_documents_load_as_empty(state_path, document, message):
    write(state_path, document)
    assert load(state_path) == {}


@pytest.mark.parametrize(
    ("member", "text"),
    [
        ("123456789012345678901234567890", "123456789012345678901234567890"),
        ("-9223372036854775809", "-9223372036854775809"),
        ("18446744073709551615", "18446744073709551615"),
        ("-0", "0"),
        ("-0.0", "-0.0"),
        ("1e400", "inf"),
        ("-1e400", "-inf"),
        ("1e-400", "0.0"),
        ('"\\ud800"', "\ud800"),
        ('"\\udc00\\ud800"', "\udc00\ud800"),
        ('"\\ud83d\\ude00"', "😀"),
        ('"\\ud83d\\u0041"', "\ud83dA"),
    ],
    ids=["beyond-u64", "below-i64", "u64-max", "negative-zero-int", "negative-zero-real",
         "overflow", "negative-overflow", "underflow", "lone-high-surrogate",
         "reversed-surrogates", "surrogate-pair", "high-surrogate-then-letter"],
)
def test_number_and_text_edges(state_path, member, text):
    write(state_path, state_document('{"v": ' + member + "}"))
    assert load(state_path) == {"v": text}


def test_integers_beyond_cpythons_digit_limit(state_path):
    digits = "9" * 50_000
    write(state_path, state_document('{"big": -' + digits + "}"))
    assert load(state_path) == {"big": "-" + digits}


def test_repeated_name_keeps_first_place_and_last_value(state_path):
    write(state_path, state_document('{"7": "a", "2": "b", "7": "c", "\\u0037": "d"}'))
    result = load(state_path)
    assert list(result.items()) == [("7", "d"), ("2", "b")]


@pytest.mark.parametrize(("depth", "fails"), [(1000, False), (1001, True)], ids=["at-limit", "beyond"])
def test_nesting_limit(state_path, depth, fails):
    # The state object itself is the first level.
    nested = "[" * (depth - 1) + "]" * (depth - 1)
    write(state_path, '{"deep": ' + nested + ', "owner_burn_rate": {"1": "x"}}')
    if fails:
        with pytest.raises(RecursionError):
            load(state_path)
    else:
        assert load(state_path) == {"1": "x"}


# ------------------------------------------- exact syntax-error messages

class _Body(http.server.BaseHTTPRequestHandler):
    body = b""

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(self.body)))
        self.end_headers()
        self.wfile.write(self.body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def body_server():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Body)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()


@pytest.mark.parametrize(("document", "message"), malformed_params())
def test_parse_error_matches_json_loads(body_server, monkeypatch, document, message):
    if not hasattr(kilnguard, "http_get_json"):
        pytest.skip("the reader's error texts are visible through http_get_json, not built yet")
    _Body.body = document.encode("utf-8")
    monkeypatch.setenv("TAOSTATS_API_BASE", "http://127.0.0.1:%d" % body_server.server_port)
    result = kilnguard.http_get_json("/api/subnet/latest/v1", {}, "key")
    assert result == {"parse_error": message, "raw": document[:500]}

