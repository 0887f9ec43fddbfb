"""The module object: what loading it binds, the order of its operations, its
type stub, and the argument checks every operation makes on entry."""

import decimal
import fractions
import pathlib
import subprocess
import sys

import pytest

import kilnguard
from child_env import sanitizer_env

ROOT = pathlib.Path(__file__).resolve().parent.parent

INTERFACE_ORDER = [
    "api_base", "request_headers", "taostats_auth", "http_get_json", "is_rate_limited",
    "with_retries", "fetch_all_subnets_latest", "owner_burn_from_row", "format_owner_burn",
    "owner_burn_changed", "load_burn_state", "save_burn_state", "_replace_file", "diff_burns",
    "format_burn_alert", "format_burn_snapshot", "_chunk_text", "_message_pieces",
    "send_burn_telegram_messages", "send_burn_telegram", "send_telegram_message",
    "_telegram_api_base", "run_kilnguard_once", "run_burn_startup_snapshot",
    "_burn_check_listing", "PassReport", "_burn_pass_report", "_burn_is_paused",
    "_sleep_until_interval", "run_burn_poll_loop", "_scrub_secrets", "_log_line",
]


def test_operations_are_registered_in_interface_order():
    defined = [name for name, value in vars(kilnguard).items() if callable(value)]
    assert defined == INTERFACE_ORDER
    assert kilnguard.OWNER_BURN_DECIMALS == 4


def test_loading_reads_and_connects_nothing(tmp_path):
    # With every setting pointing at something that would fail loudly, the
    # import still succeeds and prints nothing.
    env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": ":".join(sys.path),
           "TAOSTATS_API_BASE": "http://127.0.0.1:9", "TAOSTATS_API_KEY": "k",
           "TELEGRAM_API_BASE": "http://127.0.0.1:9", "http_proxy": "http://127.0.0.1:9",
           **sanitizer_env()}
    done = subprocess.run([sys.executable, "-c", "import kilnguard"], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout == "" and done.stderr == ""
    assert list(tmp_path.iterdir()) == []


def test_checked_in_stub_matches_the_module(tmp_path):
    pytest.importorskip("nanobind.stubgen")
    fresh = tmp_path / "kilnguard.pyi"
    subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-P", "-m", "kilnguard",
                    "-o", str(fresh)], check=True, timeout=120)
    assert fresh.read_text() == (ROOT / "kilnguard.pyi").read_text(), (
        "kilnguard.pyi is stale: run `make stub` and commit it")


def test_help_shows_the_real_signature():
    doc = kilnguard.format_owner_burn.__doc__
    assert doc.startswith("format_owner_burn(value: str) -> str\n")
    assert kilnguard.format_owner_burn.__name__ == "format_owner_burn"


# (operation, arguments, message of the TypeError)
WRONG_KINDS = [
    (kilnguard.format_owner_burn, (None,), "format_owner_burn() argument 'value' must be str, not None"),
    (kilnguard.format_owner_burn, (b"0.5",), "format_owner_burn() argument 'value' must be str, not bytes"),
    (kilnguard.owner_burn_from_row, ([],), "owner_burn_from_row() argument 'row' must be dict, not list"),
    (kilnguard.owner_burn_changed, ("1", 1, 0), "owner_burn_changed() argument 'new' must be str, not int"),
    (kilnguard.owner_burn_changed, ("1", "2", "0"),
     "owner_burn_changed() argument 'threshold' must be a real number, not str"),
    (kilnguard.owner_burn_changed, ("1", "2", None),
     "owner_burn_changed() argument 'threshold' must be a real number, not None"),
    (kilnguard.diff_burns, ({}, None, 0), "diff_burns() argument 'current' must be dict, not None"),
    (kilnguard.diff_burns, ({}, {}, 1j), "diff_burns() argument 'threshold' must be a real number, not complex"),
]


@pytest.mark.parametrize("operation, args, message", WRONG_KINDS,
                         ids=[f"{op.__name__}-{i}" for i, (op, _, _) in enumerate(WRONG_KINDS)])
def test_wrong_kinds_are_refused_with_cpython_wording(operation, args, message):
    with pytest.raises(TypeError) as failure:
        operation(*args)
    assert str(failure.value) == message


@pytest.mark.parametrize("call", [
    pytest.param(lambda: kilnguard.format_owner_burn(), id="missing"),
    pytest.param(lambda: kilnguard.format_owner_burn("1", "2"), id="surplus"),
    pytest.param(lambda: kilnguard.format_owner_burn(valu="1"), id="unknown-keyword"),
])
def test_bad_argument_lists_name_the_operation(call):
    with pytest.raises(TypeError, match=r"format_owner_burn\(\)"):
        call()


@pytest.mark.parametrize("threshold", [0, True, fractions.Fraction(1, 2), decimal.Decimal("0.5")],
                         ids=repr)
def test_any_real_number_is_a_threshold(threshold):
    assert kilnguard.owner_burn_changed("0", "0.6", threshold) is (0.6 > float(threshold))


def test_parameters_can_be_given_by_name():
    assert kilnguard.owner_burn_changed(threshold=0.5, new="1", old="0") is True


def test_every_source_is_listed_in_the_build():
    listed = (ROOT / "CMakeLists.txt").read_text()
    sources = sorted(p.relative_to(ROOT).as_posix() for p in (ROOT / "src/kilnguard").rglob("*.cpp"))
    assert [s for s in sources if f"  {s}\n" not in listed and f"  {s})" not in listed] == []
