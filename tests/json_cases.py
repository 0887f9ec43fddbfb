"""Malformed JSON documents, for every test that checks how the module
describes a syntax error. The expected text is whatever CPython's json.loads
says about the same document, computed when the test runs."""

import json

import pytest

MALFORMED = [
    ("empty", ""),
    ("only-white-space", " \n\t "),
    ("byte-order-mark", "\ufeff{}"),
    ("array-trailing-comma", "[1,]"),
    ("array-leading-comma", "[,1]"),
    ("array-double-comma", "[1,,2]"),
    ("array-unclosed", "[1,2"),
    ("array-missing-comma", "[1 2]"),
    ("bare-open-bracket", "["),
    ("object-trailing-comma", '{"a":1,}'),
    ("object-missing-colon", '{"a" 1}'),
    ("object-missing-value", '{"a": }'),
    ("object-unclosed", '{"a":1'),
    ("object-missing-comma", '{"a":1 "b":2}'),
    ("object-number-key", "{1:2}"),
    ("object-single-quotes", "{'a': 1}"),
    ("bare-open-brace", "{"),
    ("string-unterminated", '"abc'),
    ("string-lone-backslash", '"\\'),
    ("string-control-character", '"a\nb"'),
    ("string-tab", '"a\tb"'),
    ("string-bad-escape", '"\\x"'),
    ("unicode-escape-short", '"\\u12"'),
    ("unicode-escape-bad-digit", '"\\u12x4"'),
    ("unicode-escape-at-end", '"\\u1234'),
    ("surrogate-pair-bad-second", '"\\ud800\\u12x4"'),
    ("surrogate-pair-at-end", '"\\ud800\\udc00'),
    ("nul", "nul"),
    ("tru", "tru"),
    ("python-true", "True"),
    ("python-none", "None"),
    ("lowercase-nan", "nan"),
    ("mixed-case-nan", "Nan"),
    ("inf", "inf"),
    ("short-minus-infinity", "-Inf"),
    ("lone-minus", "-"),
    ("plus-sign", "+1"),
    ("leading-point", ".5"),
    ("trailing-point", "1."),
    ("empty-exponent", "1e"),
    ("exponent-sign-only", "1.5e+"),
    ("leading-zero", "01"),
    ("negative-leading-zero", "-01"),
    ("hex-number", "0x10"),
    ("underscore-number", "1_000"),
    ("extra-word", '{"a":1}x'),
    ("two-values", "true false"),
    ("two-arrays", "[] []"),
    ("extra-after-nan", "NaNx"),
    ("later-line", "\n\n  [1,\n x]"),
    ("later-line-object", '{\n  "a": 1,\n  "b" 2\n}'),
    ("characters-not-bytes", '["é😀", x]'),
    ("characters-not-bytes-key", '{"é":1 "x"}'),
    ("form-feed-is-not-space", " \x0c1"),
    ("no-break-space-is-not-space", "\u00a01"),
    ("vertical-tab-after-value", "1 \x0b"),
    ("unbalanced", "[[[[[]]]]"),
]


def expected_message(document):
    """The message of the JSONDecodeError json.loads raises for `document`."""
    try:
        json.loads(document)
    except json.JSONDecodeError as error:
        return str(error)
    raise AssertionError(f"{document!r} is valid JSON")


def malformed_params():
    """(document, expected message) parameters with readable ids."""
    return [pytest.param(doc, expected_message(doc), id=name) for name, doc in MALFORMED]
