"""The startup snapshot: a new baseline and the full table of rates."""

import json
import os

import pytest

import kilnguard
from monitor_host import MonitorHost, rows

REAL_DELIVERY = kilnguard.send_burn_telegram_messages


@pytest.fixture
def host(monkeypatch, capsys):
    return MonitorHost(monkeypatch, capsys)


def snapshot(state_path, token="t", chat="c"):
    return kilnguard.run_burn_startup_snapshot(state_path=state_path, burn_token=token,
                                               burn_chat_id=chat)


def stored(state_path):
    with open(state_path, encoding="utf-8") as f:
        return json.load(f)


def test_snapshot_stores_the_baseline_and_sends_every_row(host, state_path):
    host.listings = [[{"netuid": 12, "incentive_burn": "1"}, {"incentive_burn": "0.5"},
                      {"netuid": 3, "incentive_burn": "0.18"}]]
    assert snapshot(state_path) == 0
    document = stored(state_path)
    assert document["owner_burn_rate"] == {"12": "1", "3": "0.18"}
    [(text, token, chat)] = host.sent
    assert text == (f"Subnet owner burn rates (startup)\n{document['updated_at_utc']} UTC\n"
                    "3 subnets\n\nSNNone: 0.5000\nSN3: 0.1800\nSN12: 1.0000")
    assert host.lines == ["[burn] startup snapshot sent (3 subnets)\n"]


def test_changed_rates_are_not_compared_and_later_passes_use_the_new_baseline(host, state_path):
    host.listings = [rows({1: "0", 2: "0"})]
    kilnguard.run_kilnguard_once(state_path=state_path, threshold=0.01, burn_token="t",
                                 burn_chat_id="c")
    host.listings = [rows({1: "1", 2: "0.5"})]
    assert snapshot(state_path) == 0
    assert [t for t, _, _ in host.sent] and "→" not in host.sent[0][0]
    assert stored(state_path)["owner_burn_rate"] == {"1": "1", "2": "0.5"}
    host.sent.clear()
    assert kilnguard.run_kilnguard_once(state_path=state_path, threshold=0.01, burn_token="t",
                                        burn_chat_id="c") == 0
    assert host.sent == []


def test_undeliverable_snapshot_still_sets_the_baseline(host, state_path, monkeypatch):
    monkeypatch.setattr(kilnguard, "send_burn_telegram_messages", REAL_DELIVERY)
    host.listings = [rows({4: "0.25"})]
    assert snapshot(state_path, token="") == 1
    assert host.lines == ["[burn] startup telegram failed: burn telegram not configured\n"]
    assert stored(state_path)["owner_burn_rate"] == {"4": "0.25"}


def test_no_key_or_a_failed_listing_leaves_the_state_alone(host, state_path, monkeypatch):
    host.listings = [{"error": "no_subnet_rows", "response": {"data": []}}]
    assert snapshot(state_path) == 1
    assert host.lines == ['[burn] startup fetch failed: {"error": "no_subnet_rows", '
                          '"response": {"data": []}}\n']
    monkeypatch.delenv("TAOSTATS_API_KEY")
    assert snapshot(state_path) == 1
    assert host.lines[-1] == "[burn] taostats API not available (must be bundled in package defaults)\n"
    assert not os.path.exists(state_path) and len(host.fetches) == 1


def test_a_listing_that_is_not_rows_raises(host, state_path):
    host.listings = [{"data": [1]}]
    with pytest.raises(TypeError):
        snapshot(state_path)
    assert not os.path.exists(state_path)
