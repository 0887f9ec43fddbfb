"""Differential fuzzing of the JSON reader against CPython's json.loads, with
generated documents and byte-level mutations of them. Valid documents go
through load_burn_state in batches (as members of one state file); every
refused document goes through it alone; a sample of all of them goes through
http_get_json, where the decoded object and the exact syntax-error text are
visible. KILNGUARD_FUZZ_INPUTS sets the number of inputs (`make sanitize`
and `make fuzz` raise it), KILNGUARD_FUZZ_SEED repeats a run.

The reader differs from json.loads only where it means to: integers of any
size (json.loads stops at 4300 digits, lifted here for the oracle) and
nesting beyond 1000 levels (kept far away here; test_json_reader pins it)."""

import json
import os
import random
import sys

import pytest

import kilnguard
from fake_taostats import Reply

INPUTS = int(os.environ.get("KILNGUARD_FUZZ_INPUTS", "4000"))
SEED = int(os.environ.get("KILNGUARD_FUZZ_SEED", random.SystemRandom().randrange(1 << 32)))
# Requests are slower than file loads by far: a few thousand are enough to
# compare the error texts.
HTTP_SAMPLE = 2000
BATCH = 400

# ------------------------------------------------------------ generation

WHITE = ["", "", "", " ", "\n", "\t", "\r\n  ", "  "]
CHARS = (list("abcxyz AZ09_-/:'") + ["é", "ß", "中", "\u2192", "😀", "\u007f", "\u00a0",
                                      "\u2028", "\ufeff"])
ESCAPES = ['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0041", "\\u00e9",
           "\\u0000", "\\u001F", "\\uD83D\\uDE00", "\\ud800", "\\udc00", "\\uDBFF\\uDFFF",
           "\\ud800\\u0041", "\\ud800\\ud800", "\\uFFFF"]
POOL = CHARS * 3 + ESCAPES  # about one escape in four


def text(rng):
    return '"' + "".join(rng.choices(POOL, k=rng.choice([0, 1, 2, 4, 8, 30]))) + '"'


def digits(rng, count):
    if count > 20:  # about `count` digits, without a draw per digit
        return str(rng.getrandbits(count * 10 // 3) | 1 << (count * 10 // 3))
    return rng.choice("123456789") + "".join(rng.choices("0123456789", k=count - 1))


def number(rng):
    sign = rng.choice(["", "", "-"])
    roll = rng.random()
    if roll < 0.05:
        return rng.choice(["NaN", "Infinity", "-Infinity"])
    if roll < 0.1:
        return sign + "0"
    size = rng.choice([1, 2, 5, 15, 18, 19, 20, 40]) if roll < 0.97 else rng.choice([300, 4400])
    whole = digits(rng, size)
    if rng.random() < 0.5:
        return sign + whole
    fraction = "." + "".join(rng.choices("0123456789", k=rng.randint(1, 20)))
    exponent = ""
    if rng.random() < 0.4:
        exponent = rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.choice([0, 5, 22, 308,
                                                                                   309, 400]))
    if not exponent or rng.random() < 0.7:
        return sign + rng.choice([whole, "0"]) + fraction + exponent
    return sign + whole + exponent


def value(rng, depth=0):
    roll = rng.random()
    if depth >= 4 or roll < 0.55:
        scalar = rng.random()
        if scalar < 0.4:
            return number(rng)
        if scalar < 0.8:
            return text(rng)
        return rng.choice(["true", "false", "null"])
    ws = lambda: rng.choice(WHITE)  # noqa: E731
    if roll < 0.7:
        items = [ws() + value(rng, depth + 1) + ws() for _ in range(rng.choice([0, 1, 2, 3, 5]))]
        return "[" + ",".join(items) + "]" if items else "[" + ws() + "]"
    keys = []
    members = []
    for _ in range(rng.choice([0, 1, 2, 3, 5])):
        # Repeated names: the first place and the last value count.
        key = rng.choice(keys) if keys and rng.random() < 0.2 else text(rng)
        keys.append(key)
        members.append(ws() + key + ws() + ":" + ws() + value(rng, depth + 1) + ws())
    return "{" + ",".join(members) + "}" if members else "{" + ws() + "}"


def state_like(rng):
    rates = ", ".join(f'{text(rng)}: {value(rng, 4)}' for _ in range(rng.randint(0, 6)))
    stored = rng.choice(["{" + rates + "}", "null", "[]", '"x"', "{}"])
    return '{"owner_burn_rate": ' + stored + ', "updated_at_utc": "2026-12-06T18:09:52Z"}'


INSERTS = [b"{", b"}", b"[", b"]", b",", b":", b'"', b"\\", b"0", b"-", b"e", b".", b" ", b"\n",
           b"n", b"t", b"N", b"I", b"\x00", b"\x1f", b"\xef\xbb\xbf", b"\xff", b"\xc3",
           b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\\u", b"\\ud83d", b"1e", b"--"]


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        where = rng.randint(0, len(data))
        roll = rng.random()
        if roll < 0.3 and data:
            del data[where:where + rng.randint(1, 3)]
        elif roll < 0.6:
            data[where:where] = rng.choice(INSERTS)
        elif roll < 0.75 and data:
            data[min(where, len(data) - 1)] = rng.randrange(256)
        elif roll < 0.85:
            del data[where:]
        elif roll < 0.9:
            data[0:0] = b"\xef\xbb\xbf"
        else:
            start = rng.randint(0, len(data))
            data[where:where] = data[start:start + rng.randint(1, 8)]
    return bytes(data)


def inputs(rng, count):
    for _ in range(count):
        document = state_like(rng) if rng.random() < 0.1 else rng.choice(WHITE) + value(rng)
        data = document.encode("utf-8", "surrogatepass")
        yield mutate(rng, data) if rng.random() < 0.5 else data


# ---------------------------------------------------------------- oracle

def oracle(data):
    """('utf8', error), ('syntax', error) or ('value', decoded) for `data`."""
    try:
        document = data.decode("utf-8")
    except UnicodeDecodeError as error:
        return "utf8", error
    try:
        return "value", json.loads(document)
    except json.JSONDecodeError as error:
        return "syntax", error


def text_form(decoded):
    return decoded if isinstance(decoded, str) else str(decoded)


def expected_load(decoded):
    if not isinstance(decoded, dict):
        return TypeError
    stored = decoded.get("owner_burn_rate")
    if not isinstance(stored, dict):
        return {}
    return {key: text_form(v) for key, v in stored.items()}


def same(a, b):
    # json.dumps tells 1 from 1.0 and True, keeps order, and writes NaN.
    return json.dumps(a) == json.dumps(b)


@pytest.fixture
def unlimited_integers():
    previous = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    yield
    sys.set_int_max_str_digits(previous)


def test_reader_agrees_with_json_loads(tmp_path, fake_taostats, unlimited_integers):
    rng = random.Random(SEED)
    where = f"(KILNGUARD_FUZZ_SEED={SEED})"
    path = str(tmp_path / "state.json")
    single = str(tmp_path / "single.json")
    counts = {"utf8": 0, "syntax": 0, "value": 0}
    batch = []

    def load(data, to=single):
        with open(to, "wb") as f:
            f.write(data)
        return kilnguard.load_burn_state(to)

    def flush():
        members = ", ".join(f'"{n}": {text}' for n, (text, _) in enumerate(batch))
        loaded = load(b'{"owner_burn_rate": {' + members.encode("utf-8", "surrogatepass") + b"}}",
                      path)
        expected = {str(n): text_form(decoded) for n, (_, decoded) in enumerate(batch)}
        if loaded != expected:
            for n, (text, _) in enumerate(batch):
                assert loaded[str(n)] == expected[str(n)], (text, where)
        batch.clear()

    sample_every = max(10, INPUTS // HTTP_SAMPLE)
    for n, data in enumerate(inputs(rng, INPUTS)):
        kind, outcome = oracle(data)
        counts[kind] += 1
        if kind == "value":
            batch.append((data.decode("utf-8"), outcome))
            if len(batch) == BATCH:
                flush()
            if rng.random() < 0.1:
                expected = expected_load(outcome)
                if expected is TypeError:
                    with pytest.raises(TypeError, match="holds a JSON"):
                        load(data)
                else:
                    assert load(data) == expected, (data, where)
        elif kind == "utf8":
            with pytest.raises(UnicodeDecodeError) as failure:
                load(data)
            assert str(failure.value) == str(outcome), (data, where)
        else:
            assert load(data) == {}, (data, where)

        if n % sample_every == 0:
            fake_taostats.reply(Reply(body=data))
            if kind == "utf8":
                with pytest.raises(UnicodeDecodeError) as failure:
                    kilnguard.http_get_json("/x", {}, "key")
                assert str(failure.value) == str(outcome), (data, where)
            elif kind == "syntax":
                document = data.decode("utf-8")
                assert kilnguard.http_get_json("/x", {}, "key") == {
                    "parse_error": str(outcome), "raw": document[:500]}, (data, where)
            elif isinstance(outcome, dict) or outcome is None:
                assert same(kilnguard.http_get_json("/x", {}, "key"), outcome), (data, where)
            else:
                with pytest.raises(TypeError, match="^Expected dict, got "
                                   + type(outcome).__name__ + "$"):
                    kilnguard.http_get_json("/x", {}, "key")
    if batch:
        flush()
    # The generator reaches all three outcomes in earnest.
    assert min(counts.values()) > INPUTS // 50, counts
