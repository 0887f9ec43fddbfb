"""The Taostats client as a host uses it: settings from the environment, the
query and URL rules, the four result shapes, throttling retries and the
subnet listing, against the loopback fake of the service."""

import json

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kilnguard
from fake_taostats import Reply, subnet_listing, throttled

DEFAULT_AGENT = ("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                 "Chrome/131.0.0.0 Safari/537.36")
LISTING = "/api/subnet/latest/v1"

# ----------------------------------------------------------------- settings


@pytest.mark.parametrize("value, base", [
    (None, "https://api.taostats.io"),
    ("http://127.0.0.1:8080///", "http://127.0.0.1:8080"),
    ("https://example.test/api/", "https://example.test/api"),
    ("https://example.test", "https://example.test"),
    ("", ""),
    ("///", ""),
    (" http://h/ ", " http://h/ "),
], ids=["absent", "many-slashes", "one-slash", "unchanged", "empty-is-set", "only-slashes",
        "spaces-kept"])
def test_api_base(monkeypatch, value, base):
    if value is not None:
        monkeypatch.setenv("TAOSTATS_API_BASE", value)
    assert kilnguard.api_base() == base


@pytest.mark.parametrize("value, key", [
    (None, None), ("", None), (" \t\n ", None), ("abc", "abc"),
    ("  abc \n", "abc"), ("\u3000k e y\u2003", "k e y"),
], ids=["absent", "empty", "white-space", "plain", "trimmed", "unicode-space"])
def test_taostats_auth(monkeypatch, value, key):
    if value is not None:
        monkeypatch.setenv("TAOSTATS_API_KEY", value)
    assert kilnguard.taostats_auth() == key


def test_settings_are_read_afresh_at_every_call(monkeypatch):
    assert kilnguard.taostats_auth() is None
    monkeypatch.setenv("TAOSTATS_API_KEY", "first")
    monkeypatch.setenv("TAOSTATS_API_BASE", "http://one/")
    assert (kilnguard.taostats_auth(), kilnguard.api_base()) == ("first", "http://one")
    monkeypatch.setenv("TAOSTATS_API_KEY", "second")
    monkeypatch.setenv("TAOSTATS_USER_AGENT", "agent/2")
    assert kilnguard.taostats_auth() == "second"
    assert kilnguard.request_headers("k")["User-Agent"] == "agent/2"


@pytest.mark.parametrize("agent, expected", [
    (None, DEFAULT_AGENT), ("", ""), ("  my agent  ", "  my agent  "),
], ids=["default", "empty-is-set", "not-trimmed"])
def test_request_headers(monkeypatch, agent, expected):
    if agent is not None:
        monkeypatch.setenv("TAOSTATS_USER_AGENT", agent)
    assert list(kilnguard.request_headers("the-key").items()) == [
        ("Authorization", "the-key"),
        ("User-Agent", expected),
        ("Accept", "application/json, text/plain, */*"),
        ("Accept-Language", "en-US,en;q=0.9"),
    ]


def test_trimmed_key_is_what_the_request_carries(monkeypatch, fake_taostats):
    monkeypatch.setenv("TAOSTATS_API_KEY", "  secret-key\n")
    fake_taostats.reply(body="{}")
    assert kilnguard.http_get_json("/x", {}, kilnguard.taostats_auth()) == {}
    assert fake_taostats.requests[0].header("Authorization") == "secret-key"


@pytest.mark.parametrize("agent, auth", [("", "k"), (" ", "k"), ("\t", "k"), ("a", " "),
                                         (" \t ", "\t")], ids=repr)
def test_blank_header_values_are_sent(monkeypatch, fake_taostats, agent, auth):
    # White space around a field value is not part of it, so a server reads
    # a blank value as empty; the header itself must be there.
    monkeypatch.setenv("TAOSTATS_USER_AGENT", agent)
    fake_taostats.reply(body="{}")
    kilnguard.http_get_json("/x", {}, auth)
    sent = fake_taostats.requests[0]
    for name, value in kilnguard.request_headers(auth).items():
        assert sent.header(name) == value.strip(" \t"), name


@pytest.mark.parametrize("setting, named", [
    ("TAOSTATS_API_BASE", "api_base() (TAOSTATS_API_BASE)"),
    ("TAOSTATS_USER_AGENT", "request_headers() value of 'User-Agent' (TAOSTATS_USER_AGENT)"),
    ("TAOSTATS_API_KEY", "request_headers() value of 'Authorization' (TAOSTATS_API_KEY)"),
])
def test_settings_that_are_not_utf8_are_named(monkeypatch, fake_taostats, setting, named):
    # A byte that is not UTF-8 reaches Python as a surrogate escape.
    value = {"TAOSTATS_API_BASE": fake_taostats.url + "/\udcff",
             "TAOSTATS_USER_AGENT": "agent\udcff",
             "TAOSTATS_API_KEY": "sk-\udcff-0123456789abcdef"}[setting]
    monkeypatch.setenv(setting, value)
    with pytest.raises(ValueError) as raised:
        kilnguard.http_get_json("/x", {}, kilnguard.taostats_auth() or "k")
    assert str(raised.value) == (f"{named} cannot be encoded as UTF-8 "
                                 f"(U+DCFF at position {value.index(chr(0xDCFF))})")
    assert fake_taostats.requests == []


# ------------------------------------------------------------ query and URL


@pytest.mark.parametrize("params, target", [
    ({}, "/p"),
    ({"a": None, "b": ""}, "/p"),
    ({"limit": 1024, "order": "netuid_asc"}, "/p?limit=1024&order=netuid_asc"),
    ({"z": "1", "a": "2", "m": "3"}, "/p?z=1&a=2&m=3"),
    ({"zero": 0, "gone": None, "neg": -7}, "/p?zero=0&neg=-7"),
    ({"big": 10**30}, "/p?big=1000000000000000000000000000000"),
    ({"q": "a&b=c?d/e"}, "/p?q=a&b=c?d/e"),
    ({"a&b": "%20"}, "/p?a&b=%20"),
], ids=["empty", "all-dropped", "listing", "insertion-order", "zero-kept", "big-integer",
        "verbatim", "no-escaping"])
def test_query_string_rules(fake_taostats, params, target):
    fake_taostats.reply(body="{}")
    kilnguard.http_get_json("/p", params, "k")
    assert fake_taostats.requests[0].target == target


def test_url_joins_base_path_and_query(monkeypatch, fake_taostats):
    monkeypatch.setenv("TAOSTATS_API_BASE", fake_taostats.url + "/prefix///")
    fake_taostats.reply(body="{}")
    kilnguard.http_get_json("/api/x", {"n": 1}, "k")
    recorded = fake_taostats.requests[0]
    assert (recorded.method, recorded.target, recorded.body) == ("GET", "/prefix/api/x?n=1", b"")


def test_operations_it_uses_are_looked_up_at_each_call(monkeypatch, fake_taostats):
    monkeypatch.setattr(kilnguard, "api_base", lambda: fake_taostats.url + "/other")
    monkeypatch.setattr(kilnguard, "request_headers", lambda auth: {"X-Key": auth[::-1]})
    fake_taostats.reply(body="{}")
    kilnguard.http_get_json("/p", {}, "abc")
    recorded = fake_taostats.requests[0]
    assert recorded.target == "/other/p"
    assert recorded.header("X-Key") == "cba" and recorded.header("Authorization") is None


@pytest.mark.parametrize("base", ["", "/", "127.0.0.1:80", "ftp://127.0.0.1"],
                         ids=["empty", "slash", "no-scheme", "ftp"])
def test_unusable_base_fails_before_any_request(monkeypatch, base):
    monkeypatch.setenv("TAOSTATS_API_BASE", base)
    with pytest.raises(ValueError):
        kilnguard.http_get_json("/api/x", {}, "k")


# ----------------------------------------------------------- result shapes

HTML = "<!DOCTYPE html><html>" + "<p>challenge</p>" * 60 + "</html>"


@pytest.mark.parametrize("reply, expected", [
    (Reply(body='{"b": 1, "a": [2, {"y": null, "x": 1.5}], "b": 3}'),
     {"b": 3, "a": [2, {"y": None, "x": 1.5}]}),
    (Reply(status=201, body='{"ok": true}'), {"ok": True}),
    (Reply(body=" null "), None),
    (Reply(body=""), {"parse_error": "Expecting value: line 1 column 1 (char 0)", "raw": ""}),
    (Reply(body=HTML), {"parse_error": "Expecting value: line 1 column 1 (char 0)",
                        "raw": HTML[:500]}),
    (Reply(body='{"a": 1}\n{"b": 2}'),
     {"parse_error": "Extra data: line 2 column 1 (char 9)", "raw": '{"a": 1}\n{"b": 2}'}),
    (Reply(body="é" * 300 + "\n" + "ü" * 300),
     {"parse_error": "Expecting value: line 1 column 1 (char 0)", "raw": "é" * 300 + "\n" + "ü" * 199}),
    (Reply(status=429, body="Too many requests, slow down"),
     {"status_code": 429, "message": "Too many requests, slow down", "http_status": 429}),
    (Reply(status=404), {"status_code": 404, "message": "Not Found", "http_status": 404}),
    (Reply(status=403, reason="Forbidden By CDN", body=HTML),
     {"status_code": 403, "message": HTML, "http_status": 403}),
    (Reply(status=500, body='{"message": "boom", "http_status": 1, "z": 0}'),
     {"message": "boom", "http_status": 500, "z": 0}),
    (Reply(status=401, body='{"detail": "bad key"}'), {"detail": "bad key", "http_status": 401}),
    (Reply(status=502, body="[1, 2"),
     {"status_code": 502, "message": "[1, 2", "http_status": 502}),
], ids=["object", "201", "null", "empty", "html-cut", "extra-data", "cut-in-characters",
        "429-text", "404-reason", "403-html-not-cut", "500-object-in-place", "401-object-added",
        "502-broken-json"])
def test_result_shapes(fake_taostats, reply, expected):
    fake_taostats.reply(reply)
    result = kilnguard.http_get_json("/x", {}, "k")
    assert result == expected
    if isinstance(expected, dict):
        assert list(result) == list(expected)


MIB = 1 << 20
ERROR_KEY = "taostats-error-body-key"


def kept_error_body(body):
    """An error body past 1 MiB as the error object keeps it: the whole body
    scrubbed, cut to its whole characters within 1 MiB, with the note."""
    clean = kilnguard._scrub_secrets(body, [ERROR_KEY])
    start = clean.encode()[:MIB].decode(errors="ignore")
    more = len(clean) - len(start)
    return start + (f"\u2026 ({more} more characters)" if more else "")


# Real error answers are a few hundred bytes; past 1 MiB only the start is
# kept, and a JSON document that large is read as text.
@pytest.mark.parametrize("body", [
    "x" * MIB,
    "x" * (MIB + 1),
    "a" + "\u00e9" * (MIB // 2),
    "\U0001f600" + "a" * MIB,
    '{"message": "' + "x" * MIB + '"}',
    "x" * (MIB - 5) + ERROR_KEY + "y" * 10,
    "x" * (MIB - 5) + ERROR_KEY.replace("-", "%2D") + "y" * 10,
    ("<p>" + ERROR_KEY + "</p>") * 50_000,
], ids=["whole-at-1-mib", "one-character-over", "character-across-the-cut", "emoji-then-text",
        "json-read-as-text", "key-across-the-cut", "percent-encoded-key-across-the-cut",
        "key-across-every-piece"])
def test_a_long_error_body_keeps_its_start(fake_taostats, body):
    fake_taostats.reply(Reply(status=500, body=body))
    result = kilnguard.http_get_json("/x", {}, ERROR_KEY)
    assert list(result) == ["status_code", "message", "http_status"]
    assert result["status_code"] == result["http_status"] == 500
    expected = body if len(body.encode()) <= MIB else kept_error_body(body)
    assert result["message"] == expected
    assert "taost" not in result["message"]


@pytest.mark.parametrize("reply, message", [
    (Reply(body="[]"), "Expected dict, got list"),
    (Reply(body='"text"'), "Expected dict, got str"),
    (Reply(body="1.5"), "Expected dict, got float"),
    (Reply(body="-Infinity"), "Expected dict, got float"),
    (Reply(body="true"), "Expected dict, got bool"),
    (Reply(status=503, body="[1]"), "Expected dict, got list"),
    (Reply(status=500, body="null"), "Expected dict, got NoneType"),
    (Reply(status=400, body="17"), "Expected dict, got int"),
], ids=["list", "str", "float", "infinity", "bool", "503-list", "500-null", "400-int"])
def test_json_that_is_not_an_object_escapes(fake_taostats, reply, message):
    fake_taostats.reply(reply)
    with pytest.raises(TypeError) as failure:
        kilnguard.http_get_json("/x", {}, "k")
    assert str(failure.value) == message


@pytest.mark.parametrize("status, body", [
    (200, b'{"a": "\xff"}'), (200, b"\xc3"), (500, b"oops \xed\xa0\x80"), (429, b"\x80"),
], ids=["200-bad-byte", "200-truncated", "500-surrogate", "429-bad-byte"])
def test_bodies_must_be_strict_utf8(fake_taostats, status, body):
    fake_taostats.reply(status=status, body=body)
    with pytest.raises(UnicodeDecodeError):
        kilnguard.http_get_json("/x", {}, "k")


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(),
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.text(max_size=6), children, max_size=4),
    max_leaves=12)
FAST = settings(max_examples=40, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture])


@FAST
@given(document=st.dictionaries(st.text(max_size=8), json_values, max_size=6),
       ascii_only=st.booleans(), indent=st.sampled_from([None, 1]))
def test_documents_decode_as_json_loads_decodes_them(fake_taostats, document, ascii_only, indent):
    text = json.dumps(document, ensure_ascii=ascii_only, indent=indent)
    fake_taostats.reply(body=text)
    result = kilnguard.http_get_json("/x", {}, "k")
    assert result == json.loads(text)
    assert json.dumps(result) == json.dumps(json.loads(text))  # same key order at every level


@FAST
@given(text=st.text(alphabet='{}[]":,. \n\t0123456789-+eEaflnrstu\\éNIy', max_size=40))
def test_syntax_errors_read_as_json_decode_error(fake_taostats, text):
    try:
        expected = json.loads(text)
    except json.JSONDecodeError as error:
        expected = {"parse_error": str(error), "raw": text[:500]}
    except RecursionError:
        return
    if expected is not None and not isinstance(expected, dict):
        return  # the not-an-object rule, tested above
    fake_taostats.reply(body=text)
    assert kilnguard.http_get_json("/x", {}, "k") == expected


# ------------------------------------------------------------- throttling

PAUSES_10 = [2.0, 3.6, 6.48, 11.664, 20.9952, 37.79136, 68.024448, 120.0, 120.0]


def grown_pauses(count):
    pauses, pause = [], 2.0
    for _ in range(count):
        pauses.append(pause)
        pause = min(pause * 1.8, 120.0)
    return pauses


@pytest.mark.parametrize("payload, throttled_", [
    ({"status_code": 429}, True),
    ({"status_code": 429.0}, True),
    ({"status_code": "429"}, False),
    ({"status_code": True, "message": "fine"}, False),
    ({"status_code": None}, False),
    ({"http_status": 429, "message": "Too Many Requests"}, False),
    ({"message": "API Rate Limited, retry later"}, True),
    ({"message": "rate limited"}, False),
    ({"message": "RateLimited"}, False),
    ({"message": {"detail": ["Rate Limited"]}}, True),
    ({"message": 429}, False),
    ({"status_code": 200, "message": "Rate Limited"}, True),
    ({}, False),
], ids=lambda v: repr(v) if isinstance(v, dict) else None)
def test_is_rate_limited(payload, throttled_):
    assert kilnguard.is_rate_limited(payload) is throttled_


def test_is_rate_limited_refuses_none():
    with pytest.raises(TypeError, match=r"is_rate_limited\(\) argument 'payload' must be dict, not None"):
        kilnguard.is_rate_limited(None)


@pytest.mark.parametrize("attempts, kwargs", [
    (6, {}), (10, {"max_retries": 10}), (1, {"max_retries": 1}), (2, {"max_retries": 2.9}),
], ids=["default-6", "10-reaches-cap", "1-no-pause", "real-cut"])
def test_throttled_answers_are_retried_with_growing_pauses(fake_taostats, sleeps, attempts, kwargs):
    fake_taostats.reply(*[throttled(n) for n in range(1, attempts + 1)])
    result = kilnguard.with_retries("/x", {"a": 1}, "k", **kwargs)
    assert result == {"status_code": 429, "message": f"throttled {attempts}", "http_status": 429}
    assert len(fake_taostats.requests) == attempts
    assert sleeps.pauses == grown_pauses(attempts - 1)
    assert sleeps.pauses == pytest.approx(PAUSES_10[:attempts - 1], rel=1e-12)
    assert {r.target for r in fake_taostats.requests} == {"/x?a=1"}


@pytest.mark.parametrize("final", [
    Reply(body='{"data": []}'),
    Reply(status=401, body="Unauthorized"),
    Reply(status=200, body="<html>"),
], ids=["success", "other-http-error", "parse-error"])
def test_anything_but_throttling_ends_the_loop(fake_taostats, sleeps, final):
    fake_taostats.reply(throttled(), final)
    result = kilnguard.with_retries("/x", {}, "k")
    assert "status_code" not in result or result["status_code"] != 429
    assert len(fake_taostats.requests) == 2 and sleeps.pauses == [2.0]


def test_throttle_text_in_a_success_is_retried(fake_taostats, sleeps):
    fake_taostats.reply(Reply(body='{"message": "Rate Limited"}'), Reply(body='{"ok": 1}'))
    assert kilnguard.with_retries("/x", {}, "k") == {"ok": 1}
    assert sleeps.pauses == [2.0]


def test_connection_failure_on_third_attempt_escapes(fake_taostats, sleeps):
    fake_taostats.reply(throttled(), throttled(), Reply(drop=True))
    with pytest.raises(ConnectionError):
        kilnguard.with_retries("/x", {}, "k")
    assert len(fake_taostats.requests) == 3 and sleeps.pauses == [2.0, 3.6]


def test_null_answer_escapes_after_one_request(fake_taostats, sleeps):
    fake_taostats.reply(body="null")
    with pytest.raises(TypeError, match="is_rate_limited"):
        kilnguard.with_retries("/x", {}, "k")
    assert len(fake_taostats.requests) == 1 and sleeps.pauses == []


@pytest.mark.parametrize("call, error, message", [
    (lambda: kilnguard.with_retries("/x", {}, "k", max_retries=0), ValueError,
     "with_retries() argument 'max_retries' must be at least 1, not 0"),
    (lambda: kilnguard.with_retries("/x", {}, "k", max_retries=-3.7), ValueError,
     "with_retries() argument 'max_retries' must be at least 1, not -3"),
    (lambda: kilnguard.with_retries("/x", {}, "k", max_retries=0.9), ValueError,
     "with_retries() argument 'max_retries' must be at least 1, not 0"),
    (lambda: kilnguard.with_retries("/x", {}, "k", max_retries="3"), TypeError,
     "with_retries() argument 'max_retries' must be a number, not str"),
    (lambda: kilnguard.with_retries("/x", {}, "k", 3), TypeError, None),
    (lambda: kilnguard.with_retries("/x", None, "k"), TypeError,
     "with_retries() argument 'params' must be dict, not None"),
], ids=["zero", "negative-real", "real-below-one", "text", "positional", "params-none"])
def test_with_retries_checks_its_arguments_before_any_request(fake_taostats, sleeps, call,
                                                              error, message):
    with pytest.raises(error) as failure:
        call()
    if message:
        assert str(failure.value) == message
    assert fake_taostats.requests == [] and sleeps.pauses == []


def test_with_retries_uses_the_current_bindings(monkeypatch, sleeps):
    answers = iter([{"m": 1}, {"m": 2}, {"m": 3}])
    calls = []

    def fake_get(path, params, auth):
        calls.append((path, params, auth))
        return next(answers)

    monkeypatch.setattr(kilnguard, "http_get_json", fake_get)
    monkeypatch.setattr(kilnguard, "is_rate_limited", lambda payload: payload["m"] < 3)
    params = {"q": 1}
    assert kilnguard.with_retries("/p", params, "k") == {"m": 3}
    assert calls == [("/p", params, "k")] * 3 and calls[0][1] is params
    assert sleeps.pauses == [2.0, 3.6]


# ---------------------------------------------------------------- listing


def test_listing_returns_the_rows_of_one_request(fake_taostats, sleeps):
    listing = subnet_listing(129)
    fake_taostats.reply(body=json.dumps(listing))
    rows = kilnguard.fetch_all_subnets_latest("api-key")
    assert rows == listing["data"]
    assert [row["netuid"] for row in rows] == list(range(129))
    recorded = fake_taostats.requests
    assert [(r.path, r.query) for r in recorded] == [(LISTING, "limit=1024&order=netuid_asc")]
    assert recorded[0].header("Authorization") == "api-key" and sleeps.pauses == []


def test_a_full_page_is_all_there_is(fake_taostats):
    listing = subnet_listing(1024)
    listing["pagination"].update(total_items=1100, total_pages=2, next_page=2)
    fake_taostats.reply(body=json.dumps(listing))
    assert len(kilnguard.fetch_all_subnets_latest("k")) == 1024
    assert len(fake_taostats.requests) == 1


@pytest.mark.parametrize("body", [
    '{"pagination": {}, "data": []}', '{"pagination": {}}', '{"data": null}', '{"data": {}}',
    '{"data": ""}', '{"data": 0}', '{"data": false}',
], ids=["empty-list", "absent", "null", "empty-object", "empty-text", "zero", "false"])
def test_no_rows_gives_the_listing_error(fake_taostats, body):
    fake_taostats.reply(body=body)
    result = kilnguard.fetch_all_subnets_latest("k")
    assert result == {"error": "no_subnet_rows", "response": json.loads(body)}
    assert list(result) == ["error", "response"]


@pytest.mark.parametrize("reply, response", [
    (Reply(status=401, body=""), {"status_code": 401, "message": "Unauthorized", "http_status": 401}),
    (Reply(status=200, body="<html>"),
     {"parse_error": "Expecting value: line 1 column 1 (char 0)", "raw": "<html>"}),
    (Reply(status=500, body='{"data": []}'), {"data": [], "http_status": 500}),
], ids=["401", "not-json", "error-object"])
def test_error_answers_end_up_under_response(fake_taostats, reply, response):
    fake_taostats.reply(reply)
    assert kilnguard.fetch_all_subnets_latest("k") == {"error": "no_subnet_rows",
                                                       "response": response}


def test_rows_under_an_error_status_are_still_rows(fake_taostats):
    fake_taostats.reply(status=500, body='{"data": [{"netuid": 3}]}')
    assert kilnguard.fetch_all_subnets_latest("k") == [{"netuid": 3}]


def test_six_throttled_answers_give_the_listing_error(fake_taostats, sleeps):
    fake_taostats.reply(*[throttled(n) for n in range(1, 7)])
    result = kilnguard.fetch_all_subnets_latest("k")
    assert result == {"error": "no_subnet_rows", "response": {
        "status_code": 429, "message": "throttled 6", "http_status": 429}}
    assert len(sleeps.pauses) == 5


def test_listing_hands_back_data_unchecked_and_uncopied(monkeypatch):
    seen = []
    odd = {"pagination": {}, "data": {"not": "a list"}}
    rows = [{"netuid": 2}, {"netuid": 1}]

    def fake_retries(path, params, auth, **kwargs):
        seen.append((path, list(params.items()), auth, kwargs))
        return odd if len(seen) == 1 else {"data": rows}

    monkeypatch.setattr(kilnguard, "with_retries", fake_retries)
    assert kilnguard.fetch_all_subnets_latest("k") is odd["data"]
    assert kilnguard.fetch_all_subnets_latest("k") is rows
    assert seen[0] == (LISTING, [("limit", 1024), ("order", "netuid_asc")], "k", {})


@pytest.mark.parametrize("call, message", [
    (lambda: kilnguard.fetch_all_subnets_latest(None),
     "fetch_all_subnets_latest() argument 'auth' must be str, not None"),
    (lambda: kilnguard.http_get_json("/x", [], "k"),
     "http_get_json() argument 'params' must be dict, not list"),
    (lambda: kilnguard.http_get_json(b"/x", {}, "k"),
     "http_get_json() argument 'path' must be str, not bytes"),
    (lambda: kilnguard.request_headers(1), "request_headers() argument 'auth' must be str, not int"),
], ids=["listing-auth", "params", "path", "headers-auth"])
def test_wrong_kinds_fail_before_any_request(fake_taostats, call, message):
    with pytest.raises(TypeError) as failure:
        call()
    assert str(failure.value) == message and fake_taostats.requests == []
