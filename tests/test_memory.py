"""What one pass may cost in memory, whatever Taostats answers.

An answer is at most 64 MiB; made of tiny values (empty arrays, short
numbers, short distinct texts) it would decode into tens of millions of
Python objects, gigabytes on a machine that has a few hundred megabytes to
spare. Each hostile shape is served whole to a child process that runs one
pass; the child reports how far its resident memory rose above where it
stood just before the pass (slow: a minute or so).

The reader's budget itself, the excerpt of a long body that is not JSON, and
the listing scan's own limits are tested at a few MB, where they can be."""

import json
import os
import subprocess
import sys

import pytest

import kilnguard
from fake_taostats import FakeServer, Reply
from test_secrets import KEY as SECRET_KEY

# The 64 MiB body cap, less room for the closing brackets.
BODY = (64 << 20) - 64
PASS_BUDGET_MIB = 256
KEY = "taostats-memory-key"


def repeated(head, item, tail, separator=b","):
    """head + item, item, ... + tail, as long as it fits in BODY."""
    count = (BODY - len(head) - len(tail)) // (len(item) + len(separator))
    return head + separator.join([item] * count) + tail


def distinct_strings():
    # Short texts, none the same, so no cache can share them.
    items, size, n = [], 9 + 2, 0
    while size < BODY - 16:
        item = b'"%x"' % n
        items.append(item)
        size += len(item) + 1
        n += 1
    return b'{"data":[' + b",".join(items) + b"]}"


def distinct_rows():
    # Rows a pass would accept, each naming its own subnet: more than any
    # listing holds, so the listing scan gives them up.
    items, size, n = [], 11, 0
    while size < BODY - 16:
        item = b'{"netuid":%d,"incentive_burn":0.5}' % n
        items.append(item)
        size += len(item) + 1
        n += 1
    return b'{"data":[' + b",".join(items) + b"]}"


def deep(depth):
    return b"[" * depth + b"]" * depth


SHAPES = {
    "empty-arrays": lambda: repeated(b'{"data":[', b"[]", b"]}"),
    "empty-objects": lambda: repeated(b'{"data":[', b"{}", b"]}"),
    "top-level-array": lambda: repeated(b"[", b"[]", b"]"),
    "reals": lambda: repeated(b'{"data":[', b"0.5", b"]}"),
    "small-integers": lambda: repeated(b'{"data":[', b"7", b"]}"),
    "nulls": lambda: repeated(b'{"data":[', b"null", b"]}"),
    "distinct-strings": distinct_strings,
    "distinct-rows": distinct_rows,
    "deep-nesting-repeated": lambda: repeated(b'{"data":[', deep(990), b"]}"),
    "one-long-string-beyond-latin-1": lambda: repeated(b'{"data":["\xf0\x9f\x98\x80', b"a", b'"]}',
                                                      separator=b""),
    "one-long-escaped-string": lambda: repeated(b'{"data":["\\n', b"a", b'"]}', separator=b""),
    "extra-data-after-a-text-beyond-latin-1": lambda: repeated(b'{"data":["\xf0\x9f\x98\x80"]}', b" ",
                                                              b"x", separator=b""),
}

# What the pass logs instead of storing anything.
REFUSED = "too large to decode"
EXPECTED = {shape: REFUSED for shape in SHAPES} | {"extra-data-after-a-text-beyond-latin-1": "Extra data"}

# Error answers of the same size: the error object keeps only the start of
# such a body, and the logged line is cut as it is written, not after the
# whole of it (six bytes a character once escaped) has been built.
ERROR_SHAPES = {
    "error-empty-arrays": lambda: repeated(b'{"data":[', b"[]", b"]}"),
    "error-ascii-text": lambda: repeated(b"", b"a", b"", separator=b""),
    "error-one-emoji-then-text": lambda: repeated(b"\xf0\x9f\x98\x80", b"a", b"", separator=b""),
    "error-control-characters": lambda: repeated(b"", b"\x01", b"", separator=b""),
}
SHAPES |= ERROR_SHAPES
STATUS = {shape: 500 for shape in ERROR_SHAPES}
EXPECTED |= {shape: '"status_code": 500, "message": "' for shape in ERROR_SHAPES}

# A listing the reader accepts (just within its budget) with no rows but one
# long text beside them: logged whole it would be 48 MB of \u00e9 escapes.
SHAPES["no-rows-and-a-long-text-beyond-ascii"] = lambda: (
    b'{"data":[],"note":"' + "\u00e9".encode() * 7_900_000 + b'"}')
# DEL needs no escape in JSON but gets one when written: six bytes each.
SHAPES["no-rows-and-a-long-text-of-delete-characters"] = lambda: (
    b'{"data":[],"note":"' + b"\x7f" * 15_500_000 + b'"}')
for shape in ("no-rows-and-a-long-text-beyond-ascii", "no-rows-and-a-long-text-of-delete-characters"):
    EXPECTED[shape] = '"error": "no_subnet_rows"'

TOO_LARGE = ("JSON document too large to decode: "
             "its values would take more than 64 MiB as Python objects")


def keys(count):
    return "{" + ",".join(f'"k{n:x}":0' for n in range(count)) + "}"


# Each just past the reader's budget, at a few MB of text where it can be,
# and some just below it. An escaped text is built in a scratch buffer of
# four bytes a character first, which counts too.
@pytest.mark.parametrize(("body", "refused"), [
    ('{"data":[' + ",".join(["[]"] * 1_000_000) + "]}", True),
    ('{"data":[' + ",".join(["[]"] * 800_000) + "]}", False),
    ('{"data":[' + ",".join(["{}"] * 1_000_000) + "]}", True),
    ("[" + ",".join(["0.5"] * 1_700_000) + "]", True),
    ("[" + ",".join(["-1234567"] * 1_700_000) + "]", True),
    ('{"data":' + keys(700_000) + "}", True),
    ('{"data":' + keys(500_000) + "}", False),
    ('{"data":"\u00e9' + "€" * (6 << 20) + '"}', True),
    ('{"data":"' + "€" * (6 << 20) + '"}', True),
    ('{"data":"' + "€" * (5 << 20) + '"}', False),
    ('{"data":"\\n' + "a" * (17 << 20) + '"}', True),
    ('{"data":"\\n' + "a" * (12 << 20) + '"}', False),
], ids=["empty-arrays", "empty-arrays-below", "empty-objects", "reals", "integers",
        "distinct-names", "distinct-names-below", "long-escaped-text-beyond-ascii",
        "long-text-beyond-ascii", "long-text-beyond-ascii-below", "long-escaped-text", "long-escaped-text-below"])
def test_a_document_past_the_budget_reads_as_one_that_cannot_be_decoded(fake_taostats, body,
                                                                          refused):
    fake_taostats.reply(Reply(body=body))
    result = kilnguard.http_get_json("/x", {}, "k")
    if refused:
        assert result == {"parse_error": TOO_LARGE, "raw": body[:500]}
    else:
        assert result == json.loads(body)


def test_a_state_file_past_the_budget_reads_as_damaged(state_path):
    with open(state_path, "w") as f:
        f.write('{"owner_burn_rate": {"1": "0.5"}, "x": [' + ",".join(["[]"] * 1_000_000) + "]}")
    assert kilnguard.load_burn_state(state_path) == {}


ESCAPED_KEY = "".join(f"\\u{ord(c):04x}" for c in SECRET_KEY)


# A long body that is not JSON gives its excerpt from a prefix; it must be
# the excerpt the whole body scrubbed would give.
@pytest.mark.parametrize(("body", "raw"), [
    ("<p>challenge</p>" * 20_000, "<p>challenge</p>" * 31 + "<p>c"),
    ("\u20ac" * 40_000 + "x", "\u20ac" * 500),
    ((SECRET_KEY + " ") * 20_000, "... " * 125),
    # Escaped, each copy of the key shrinks 40-fold: the first prefixes
    # scrub to less than an excerpt.
    ((ESCAPED_KEY + " ") * 4_000, "... " * 125),
    ("x" * (65_536 - 100) + (ESCAPED_KEY + " ") * 4_000, "x" * 500),
    ((ESCAPED_KEY + " ") * 300 + "x" * 2_000, "... " * 125),
], ids=["html", "characters-across-the-first-cut", "key-repeated", "escaped-key-repeated",
        "escaped-key-across-the-first-cut", "escaped-key-then-text"])
def test_the_excerpt_of_a_long_body_is_that_of_the_whole_body_scrubbed(fake_taostats, body, raw):
    fake_taostats.reply(Reply(body=body))
    result = kilnguard.http_get_json("/x", {}, SECRET_KEY)
    assert result["raw"] == raw


# Runs in the child: one pass (or start-up snapshot, with "snapshot" after
# the state path) against TAOSTATS_API_BASE, then the rise of resident
# memory over its level just before it, in KiB, on stdout.
CHILD = r"""
import os, resource, sys
import kilnguard

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

state = sys.argv[1]
kilnguard.send_burn_telegram_messages = lambda text, token, chat: (True, "")
# The peak so far (the import) says nothing about the pass: start the count
# afresh where the kernel allows it, else keep the monotonic maximum.
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    peak = lambda: status("VmHWM")
except OSError:
    peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
before = status("VmRSS")
try:
    if sys.argv[2:] == ["snapshot"]:
        result = kilnguard.run_burn_startup_snapshot(state_path=state, burn_token="t",
                                                     burn_chat_id="c")
    else:
        result = kilnguard.run_kilnguard_once(state_path=state, threshold=0.01,
                                              burn_token="t", burn_chat_id="c")
except Exception as error:
    result = type(error).__name__
print(result, peak() - before)
"""


def pass_rise_kib(server, folder, body, status=200, kind="pass"):
    server.reply(Reply(status=status, body=body))
    env = {**os.environ, "TAOSTATS_API_BASE": server.url, "TAOSTATS_API_KEY": KEY,
           "PYTHONPATH": os.pathsep.join(sys.path), "no_proxy": "127.0.0.1"}
    child = subprocess.run([sys.executable, "-c", CHILD, str(folder / "state.json"), kind],
                           env=env, capture_output=True, text=True, timeout=600)
    assert child.returncode == 0, child.stderr
    result, rise = child.stdout.split()
    return result, int(rise), child.stderr


@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("KILNGUARD_SANITIZED")),
                    reason="resident memory under AddressSanitizer says nothing")
@pytest.mark.parametrize("shape", list(SHAPES), ids=list(SHAPES))
def test_a_hostile_answer_cannot_make_a_pass_use_more_than_256_mib(tmp_path, shape):
    body = SHAPES[shape]()
    assert len(body) <= 64 << 20
    server = FakeServer()
    try:
        result, rise, stderr = pass_rise_kib(server, tmp_path, body, STATUS.get(shape, 200))
    finally:
        server.close()
    print(f"{shape}: {rise / 1024:.0f} MiB over the start of the pass")
    assert rise <= PASS_BUDGET_MIB << 10, f"{shape}: {rise / 1024:.0f} MiB"
    # Nothing was stored from such an answer, and the pass said why.
    assert result == "1"
    assert "[burn] fetch failed" in stderr and EXPECTED[shape] in stderr
    # One line, cut with its note.
    assert len(stderr) < 8100 and stderr.count("\n") == 1


# The start-up snapshot fetches and logs a failure the same way.
@pytest.mark.slow
@pytest.mark.skipif(bool(os.environ.get("KILNGUARD_SANITIZED")),
                    reason="resident memory under AddressSanitizer says nothing")
@pytest.mark.parametrize("shape", ["error-control-characters",
                                   "no-rows-and-a-long-text-of-delete-characters"])
def test_a_hostile_answer_cannot_make_a_snapshot_use_more_than_256_mib(tmp_path, shape):
    server = FakeServer()
    try:
        result, rise, stderr = pass_rise_kib(server, tmp_path, SHAPES[shape](),
                                             STATUS.get(shape, 200), kind="snapshot")
    finally:
        server.close()
    print(f"snapshot, {shape}: {rise / 1024:.0f} MiB over the start of the snapshot")
    assert rise <= PASS_BUDGET_MIB << 10, f"{shape}: {rise / 1024:.0f} MiB"
    assert result == "1"
    assert stderr.startswith("[burn] startup fetch failed: ") and stderr.count("\n") == 1
