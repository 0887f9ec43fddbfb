"""A real Prometheus scrapes kilnguard-watch, which runs against the loopback
fakes, and answers queries about it: the burn rate the fake served, and every
query of the shipped Grafana dashboard."""

import json
import pathlib
import re
import shutil
import subprocess
import sys
import urllib.error
import urllib.parse
import urllib.request

import pytest
from prometheus_client.parser import text_string_to_metric_families

from child_env import interruptible, watch_env
from fake_taostats import FakeServer, Reply, refused_port, subnet_listing, wait_until
from fake_telegram import FakeTelegram

DASHBOARD = pathlib.Path(__file__).resolve().parent.parent / "contrib" / "grafana-dashboard.json"
# What Grafana puts in for its own variables before a query reaches Prometheus.
GRAFANA_VARIABLES = {"$__rate_interval": "1m", "$__range": "1h", "$netuid": ".*", "$instance": ".*"}

pytestmark = [
    pytest.mark.integration,
    pytest.mark.skipif(shutil.which("prometheus") is None,
                       reason="Debian's prometheus is not installed (make test installs it)"),
]


def get_json(url, **query):
    try:
        with urllib.request.urlopen(f"{url}?{urllib.parse.urlencode(query)}", timeout=10) as answer:
            return json.load(answer)
    except urllib.error.HTTPError as error:
        if error.headers.get_content_type() != "application/json":
            raise
        return json.load(error)  # a query Prometheus refuses, with its reason


def prometheus_query(base, expr):
    answer = get_json(f"{base}/api/v1/query", query=expr)
    assert answer["status"] == "success", (expr, answer)
    return answer["data"]["result"]


def dashboard_queries():
    dashboard = json.loads(DASHBOARD.read_text())
    exprs = [target["expr"] for panel in dashboard["panels"] for target in panel["targets"]]
    for name, value in GRAFANA_VARIABLES.items():
        exprs = [expr.replace(name, value) for expr in exprs]
    variables = {v["name"]: v["definition"] for v in dashboard["templating"]["list"]}
    for name, value in GRAFANA_VARIABLES.items():
        variables = {key: text.replace(name, value) for key, text in variables.items()}
    return exprs, variables


@pytest.fixture(scope="module")
def scraped(tmp_path_factory):
    """kilnguard-watch with --metrics-listen against the fakes, and a
    Prometheus on loopback scraping it every second."""
    folder = tmp_path_factory.mktemp("prometheus")
    taostats, telegram = FakeServer(), FakeTelegram()
    taostats.reply(Reply(body=json.dumps(subnet_listing(8, {3: "0.18", 5: "1"}))))
    metrics_port, prometheus_port = refused_port(), refused_port()
    watch = subprocess.Popen(
        interruptible([sys.executable, "-m", "kilnguard_watch",
                       "--state", str(folder / "burn_state.json"),
                       "--metrics-listen", f"127.0.0.1:{metrics_port}"]),
        env=watch_env(TAOSTATS_API_KEY="taostats-key", TAOSTATS_API_BASE=taostats.url,
                      TELEGRAM_API_BASE=telegram.base_url, TELEGRAM_BOT_TOKEN="123456:token",
                      TELEGRAM_CHAT_ID="12345"),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    config = folder / "prometheus.yml"
    config.write_text(f"""
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: kilnguard
    static_configs:
      - targets: ["127.0.0.1:{metrics_port}"]
""")
    log = open(folder / "prometheus.log", "w")  # read it when Prometheus does not come up
    prometheus = subprocess.Popen(
        ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={folder / 'data'}",
         f"--web.listen-address=127.0.0.1:{prometheus_port}"],
        # Its own environment: none of a sanitizer run's preloads.
        env={"PATH": "/usr/bin:/bin", "HOME": str(folder)},
        stdout=subprocess.DEVNULL, stderr=log)
    urls = {"metrics": f"http://127.0.0.1:{metrics_port}",
            "prometheus": f"http://127.0.0.1:{prometheus_port}"}
    try:
        # Until the start-up snapshot is done there are no rates to show.
        wait_until(lambda: "kilnguard_owner_burn_rate{" in (answers(urls["metrics"] + "/metrics") or ""),
                   timeout=120)
        wait_until(lambda: answers(urls["prometheus"] + "/-/ready"), timeout=120)
        yield urls
    finally:
        for process in (prometheus, watch):
            process.terminate()
            process.communicate(timeout=60)
        taostats.close()
        telegram.close()
        log.close()


def answers(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.read().decode()
    except OSError:  # not listening yet, or Prometheus not ready
        return None


def exposed_names(metrics_url):
    text = answers(metrics_url + "/metrics")
    return {sample.name for family in text_string_to_metric_families(text) for sample in family.samples}


def test_prometheus_reads_the_burn_rate_the_fake_served(scraped):
    base = scraped["prometheus"]

    def rate_of_subnet_3():
        return prometheus_query(base, 'kilnguard_owner_burn_rate{netuid="3"}')

    wait_until(rate_of_subnet_3, timeout=120)  # the first scrapes
    [series] = rate_of_subnet_3()
    assert series["metric"]["job"] == "kilnguard"
    assert float(series["value"][1]) == 0.18
    [ok] = prometheus_query(base, 'kilnguard_passes_total{result="ok"}')
    assert float(ok["value"][1]) == 1  # the start-up snapshot


def test_every_dashboard_query_names_exposed_metrics_and_runs(scraped):
    names = exposed_names(scraped["metrics"]) | {"up"}  # up is Prometheus's own
    exprs, variables = dashboard_queries()
    assert len(exprs) >= 12
    for expr in exprs + list(variables.values()):
        named = set(re.findall(r"\b(kilnguard_\w+|up)\{", expr))
        assert named and named <= names, (expr, named - names)
    wait_until(lambda: prometheus_query(scraped["prometheus"], "kilnguard_subnets"), timeout=120)
    for expr in exprs:
        prometheus_query(scraped["prometheus"], expr)
    # label_values(selector, label) is Grafana's; Prometheus answers it here.
    expected = {"netuid": "3", "instance": scraped["metrics"].removeprefix("http://")}
    assert set(variables) == set(expected)
    for name, definition in variables.items():
        selector, label = re.fullmatch(r"label_values\((.+), (\w+)\)", definition).groups()
        answer = get_json(f"{scraped['prometheus']}/api/v1/label/{label}/values", **{"match[]": selector})
        assert answer["status"] == "success" and expected[name] in answer["data"], (name, answer)


def test_the_health_panels_read_up_and_the_time_since_the_first_success(scraped):
    # After the start-up snapshot: the monitor is up, and the time since its
    # last success is a few seconds or minutes, not decades.
    exprs, _ = dashboard_queries()
    [up] = [expr for expr in exprs if expr.startswith("up{")]
    [since] = [expr for expr in exprs if "last_successful_pass" in expr]
    wait_until(lambda: prometheus_query(scraped["prometheus"], since), timeout=120)
    [series] = prometheus_query(scraped["prometheus"], up)
    assert float(series["value"][1]) == 1
    [series] = prometheus_query(scraped["prometheus"], since)
    assert 0 <= float(series["value"][1]) < 3600
