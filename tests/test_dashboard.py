"""The shipped Grafana dashboard (contrib/grafana-dashboard.json): every
query follows the instance picked at the top, every panel has one unit, and
the time since the last good pass is empty before there was one, not
"57 years" (checked with Debian's promtool evaluating the panel's query)."""

import json
import pathlib
import re
import shutil
import subprocess

import pytest

DASHBOARD = pathlib.Path(__file__).resolve().parent.parent / "contrib" / "grafana-dashboard.json"
INSTANCE = 'instance=~"$instance"'


@pytest.fixture(scope="module")
def dashboard():
    return json.loads(DASHBOARD.read_text())


def panels_and_targets(dashboard):
    return [(panel, target) for panel in dashboard["panels"] for target in panel["targets"]]


def test_every_query_follows_the_instance_variable(dashboard):
    variables = {v["name"]: v for v in dashboard["templating"]["list"]}
    assert variables["instance"]["definition"] == 'label_values(up{job="kilnguard"}, instance)'
    assert INSTANCE in variables["netuid"]["definition"]
    for panel, target in panels_and_targets(dashboard):
        # Each metric selector, not just one of them: a second one without
        # the filter would mix in every other instance.
        selectors = re.findall(r"\b(?:kilnguard_\w+|up)(\{[^}]*\})?", target["expr"])
        assert selectors and all(INSTANCE in selector for selector in selectors), \
            (panel["title"], target["expr"])


def test_every_panel_has_one_unit(dashboard):
    # A panel that mixes seconds and counts draws one of them on the other's
    # axis; each panel states the unit of everything in it.
    for panel in dashboard["panels"]:
        assert panel["fieldConfig"]["defaults"].get("unit"), panel["title"]
        for override in panel["fieldConfig"]["overrides"]:
            assert all(p["id"] != "unit" for p in override["properties"]), panel["title"]


@pytest.mark.integration
@pytest.mark.skipif(shutil.which("promtool") is None,
                    reason="Debian's prometheus (promtool) is not installed (make test installs it)")
@pytest.mark.parametrize("last_success, shown", [
    ("_ _ _ _ _", []),
    ("_ _ 120 180 180", [{"labels": "{instance=\"127.0.0.1:9817\", job=\"kilnguard\"}", "value": 60}]),
], ids=["before-the-first-success", "after-it"])
def test_time_since_the_last_success_is_empty_before_the_first(dashboard, tmp_path, last_success, shown):
    [expr] = [t["expr"] for _, t in panels_and_targets(dashboard) if "last_successful_pass" in t["expr"]]
    unit_test = {
        "rule_files": [],
        "evaluation_interval": "1m",
        "tests": [{
            "interval": "1m",
            "input_series": [
                {"series": 'up{job="kilnguard", instance="127.0.0.1:9817"}', "values": "1 1 1 1 1"},
                {"series": 'kilnguard_last_successful_pass_timestamp_seconds'
                           '{job="kilnguard", instance="127.0.0.1:9817"}', "values": last_success},
            ],
            "promql_expr_test": [{"expr": expr.replace("$instance", ".*"), "eval_time": "4m",
                                  "exp_samples": shown}],
        }],
    }
    path = tmp_path / "dashboard-test.yml"
    path.write_text(json.dumps(unit_test))  # JSON is YAML
    run = subprocess.run(["promtool", "test", "rules", str(path)], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
