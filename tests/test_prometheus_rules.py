"""The shipped alert rules, checked by Debian's promtool as an operator
would check them, and run against recorded series: quiet through a slow
start and a stopped monitor's own series, firing when passes stop
succeeding, when the monitor is down or missing (tests/prometheus-rules-test.yml)."""

import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
RULES = ROOT / "contrib" / "prometheus-rules.yml"
RULE_TESTS = ROOT / "tests" / "prometheus-rules-test.yml"

pytestmark = [
    pytest.mark.integration,
    pytest.mark.skipif(shutil.which("promtool") is None,
                       reason="Debian's prometheus (promtool) is not installed (make test installs it)"),
]


def promtool(*args):
    return subprocess.run(["promtool", *args], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("args", [
    ("check", "rules", str(RULES)),
    ("test", "rules", str(RULE_TESTS)),
], ids=["check", "unit-tests"])
def test_promtool_accepts_the_rules(args):
    run = promtool(*args)
    assert run.returncode == 0, run.stdout + run.stderr


def test_every_rule_says_how_bad_and_what_happened():
    # Alertmanager routes on severity and the chat shows summary and
    # description; a rule without them pages someone with a bare name, and
    # one without `for:` pages at the first odd sample. (No YAML reader in
    # the test extras: promtool above vouches for the structure, each rule
    # is its own `- alert:` block.)
    blocks = RULES.read_text().split("- alert: ")[1:]
    names = {block.split()[0] for block in blocks}
    assert names == {"KilnguardNoSuccessfulPass", "KilnguardNeverSucceeded", "KilnguardDown",
                     "KilnguardMissing", "KilnguardOutboxBacklog", "KilnguardPassesFailing",
                     "KilnguardTaostatsThrottled"}
    for block in blocks:
        fields = re.findall(r"^[ ]+(\w+):[ ]*(.*)$", block, re.MULTILINE)
        keys = {key for key, _ in fields}
        assert {"expr", "for", "severity", "summary", "description"} <= keys, block.split()[0]
        assert dict(fields)["severity"] in ("critical", "warning"), block.split()[0]
