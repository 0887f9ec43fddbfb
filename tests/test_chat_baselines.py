"""Each chat alerted against the rates it was last told, in process against
the loopback fakes: slow drift reported once it is past the threshold, each
chat's subnets, threshold and level rules, a chat added later starting
quietly, the start-up snapshot per chat, and a baseline that moves only with
the alert queued for it."""

import json
import sqlite3
import time

import pytest

import kilnguard
from fake_taostats import Reply, subnet_listing
from kilnguard_watch import seam
from kilnguard_watch.config import ChatConfig
from kilnguard_watch.delivery.chats import Chat
from kilnguard_watch.store import mutes

TOKEN = "123456:telegram-bot-token"


def chat(chat_id, threshold=0.01, subnets=None, above=None, below=None):
    return ChatConfig(Chat(chat_id), threshold, subnets=None if subnets is None else frozenset(subnets),
                      above=above, below=below)


@pytest.fixture
def monitor(tmp_path, fake_taostats, telegram, sleeps, monkeypatch):
    """install(subscriptions) -> a host; run(rates, ...) -> one pass per
    listing of {netuid: rate}."""
    monkeypatch.setenv("TAOSTATS_API_KEY", "taostats-api-key-123")
    state = str(tmp_path / "burn_state.json")
    hosts = []

    class Monitor:
        def install(self, *subscriptions):
            if hosts:
                hosts[-1].uninstall()
                hosts[-1].database.close()
            hosts.append(seam.install(kilnguard, seam.Settings(
                state, TOKEN, subscriptions=list(subscriptions)), log=lambda line: None))
            return hosts[-1]

        def run(self, *listings, snapshot=False):
            for rates in listings:
                fake_taostats.reply(Reply(body=json.dumps(subnet_listing(len(rates), rates))))
                common = dict(state_path=state, burn_token=TOKEN, burn_chat_id="")
                if snapshot:
                    kilnguard.run_burn_startup_snapshot(**common)
                else:
                    kilnguard.run_kilnguard_once(threshold=0.01, **common)

    yield Monitor()
    if hosts:
        hosts[-1].uninstall()


def change_lines(telegram, chat_id):
    return [line for text in telegram.delivered(chat_id) for line in text.splitlines()
            if line.startswith("SN")]


def test_slow_drift_is_reported_once_it_is_past_the_threshold(monitor, telegram):
    monitor.install(chat("1"))
    monitor.run(*[{0: "0", 1: f"{0.5 + 0.004 * p:.3f}"} for p in range(11)])
    assert change_lines(telegram, "1") == ["SN1: 0.5000 → 0.5120", "SN1: 0.5120 → 0.5240",
                                           "SN1: 0.5240 → 0.5360"]


FIRST = {0: "0", 1: "0.5", 2: "0.5", 3: "0.98", 4: "0.2"}
SECOND = {0: "0", 1: "0.6", 2: "0.52", 3: "0.995", 4: "0.05"}


@pytest.mark.parametrize("subscription, lines", [
    (chat("1"), ["SN1: 0.5000 → 0.6000", "SN2: 0.5000 → 0.5200", "SN3: 0.9800 → 0.9950",
                 "SN4: 0.2000 → 0.0500"]),
    (chat("1", subnets=[1]), ["SN1: 0.5000 → 0.6000"]),
    (chat("1", threshold=0.05), ["SN1: 0.5000 → 0.6000", "SN4: 0.2000 → 0.0500"]),
    (chat("1", threshold=0.5, above=0.99), ["SN3: 0.9800 → 0.9950"]),
    (chat("1", threshold=0.5, below=0.1), ["SN4: 0.2000 → 0.0500"]),
    (chat("1", threshold=0.5, subnets=[2, 3], below=0.1), []),
], ids=["everything", "one-subnet", "own-threshold", "rises-above", "falls-below",
        "level-outside-its-subnets"])
def test_each_chat_hears_its_own_subnets_threshold_and_levels(monitor, telegram, subscription,
                                                              lines):
    monitor.install(subscription)
    monitor.run(FIRST, SECOND)
    assert change_lines(telegram, "1") == lines


def test_a_chat_watching_everything_gets_the_modules_own_alert(monitor, telegram, tmp_path,
                                                               fake_taostats, monkeypatch):
    # The module alone, with its own delivery, then the host, on the same
    # passes; only the time line differs.
    for rates in (FIRST, SECOND):
        fake_taostats.reply(Reply(body=json.dumps(subnet_listing(len(rates), rates))))
        kilnguard.run_kilnguard_once(state_path=str(tmp_path / "alone.json"), threshold=0.01,
                                     burn_token=TOKEN, burn_chat_id="1")
    [alone] = telegram.delivered("1")
    telegram.requests.clear()
    monitor.install(chat("1"))
    monitor.run(FIRST, SECOND)
    [hosted] = telegram.delivered("1")
    without_time = [lines[:1] + lines[2:] for lines in (hosted.split("\n"), alone.split("\n"))]
    assert without_time[0] == without_time[1] and len(without_time[0]) == 6


def test_a_level_is_told_once_per_crossing_and_again_when_crossed_back(monitor, telegram):
    monitor.install(chat("1", threshold=0.5, above=0.99))
    monitor.run(*[{0: "0", 1: rate} for rate in ("0.98", "0.995", "0.996", "0.999", "0.985", "0.98")])
    # Measured from the rate last told, not the peak it never heard of.
    assert change_lines(telegram, "1") == ["SN1: 0.9800 → 0.9950", "SN1: 0.9950 → 0.9850"]


def test_a_chat_added_later_starts_from_the_pass_that_added_it(monitor, telegram):
    monitor.install(chat("1"))
    monitor.run(FIRST)
    monitor.install(chat("1"), chat("2"))
    monitor.run(SECOND)  # chat 2 starts here: no flood of what it never saw
    monitor.run({**SECOND, 1: "0.9"})
    assert change_lines(telegram, "1")[-1] == change_lines(telegram, "2")[-1] == \
        "SN1: 0.6000 → 0.9000"
    assert len(change_lines(telegram, "1")) == 5 and len(change_lines(telegram, "2")) == 1


def test_the_snapshot_tells_each_chat_its_subnets_and_sets_its_baseline(monitor, telegram):
    monitor.install(chat("1"), chat("2", subnets=[1, 2]))
    monitor.run(FIRST, snapshot=True)
    [everything], [some] = telegram.delivered("1"), telegram.delivered("2")
    assert everything.splitlines()[2:] == ["5 subnets", "", "SN0: 0.0000", "SN1: 0.5000",
                                           "SN2: 0.5000", "SN3: 0.9800", "SN4: 0.2000"]
    assert some.splitlines()[2:] == ["2 subnets", "", "SN1: 0.5000", "SN2: 0.5000"]
    monitor.run(SECOND)
    assert change_lines(telegram, "2") == ["SN1: 0.5000", "SN2: 0.5000", "SN1: 0.5000 → 0.6000",
                                           "SN2: 0.5000 → 0.5200"]


def test_a_baseline_moves_only_with_the_alert_queued_for_it(monitor, telegram, monkeypatch):
    host = monitor.install(chat("1"))
    outcomes = []
    host.observers.subscribe(outcomes.append)
    monitor.run(FIRST)
    add = host.outbox.add

    def disk_full(connection, messages):
        add(connection, messages)
        raise sqlite3.OperationalError("database or disk is full")

    monkeypatch.setattr(host.outbox, "add", disk_full)
    monitor.run(SECOND)
    assert telegram.delivered("1") == [] and outcomes[-1].result == "failed"
    assert outcomes[-1].error.startswith("cannot write the database")
    monkeypatch.setattr(host.outbox, "add", add)
    monitor.run(SECOND)  # the module saw it last pass; the chat had not been told
    assert change_lines(telegram, "1") == ["SN1: 0.5000 → 0.6000", "SN2: 0.5000 → 0.5200",
                                           "SN3: 0.9800 → 0.9950", "SN4: 0.2000 → 0.0500"]


@pytest.mark.parametrize("muted, during, after", [
    (1, ["SN2: 0.5000 → 0.5200"], ["SN1: 0.5000 → 0.7000"]),
    (mutes.EVERY_SUBNET, [], ["SN1: 0.5000 → 0.7000", "SN2: 0.5000 → 0.5200"]),
], ids=["one-subnet", "every-subnet"])
def test_a_muted_subnet_is_told_once_against_the_baseline_when_the_mute_ends(
        monitor, telegram, muted, during, after):
    host = monitor.install(chat("1"), chat("2"))
    monitor.run({0: "0", 1: "0.5", 2: "0.5"})
    with host.database.transaction() as connection:
        mutes.mute(connection, ["1"], muted, time.time() + 3600)
    monitor.run({0: "0", 1: "0.6", 2: "0.52"}, {0: "0", 1: "0.7", 2: "0.52"})
    assert change_lines(telegram, "1") == during
    assert change_lines(telegram, "2") == ["SN1: 0.5000 → 0.6000", "SN2: 0.5000 → 0.5200",
                                           "SN1: 0.6000 → 0.7000"]
    with host.database.transaction() as connection:
        mutes.unmute(connection, ["1"], muted)
    monitor.run({0: "0", 1: "0.7", 2: "0.52"})
    assert change_lines(telegram, "1") == during + after


def test_a_subnet_watched_again_is_compared_from_its_rate_then(monitor, telegram):
    host = monitor.install(chat("1"))
    store = host.subscriptions

    def change(made):
        with host.database.transaction() as connection:
            made(connection)

    monitor.run({0: "0", 1: "0"})
    change(store.unwatch("1", [1]))
    monitor.run({0: "0", 1: "0.5"})  # not watched: not told
    change(store.watch("1", [1], None, [0, 1]))
    monitor.run({0: "0", 1: "0.5"})  # watched again: 0.5 is where it starts
    monitor.run({0: "0", 1: "0.6"})
    assert change_lines(telegram, "1") == ["SN1: 0.5000 → 0.6000"]
    assert store.current().fresh == {}


def test_a_chat_that_subscribed_itself_is_alerted_until_it_blocks_the_bot(monitor, telegram):
    from fake_telegram import api_error

    lines = []
    host = monitor.install(chat("1"))
    host.uninstall()
    host.database.close()
    host = seam.install(kilnguard, seam.Settings(host.settings.state_path, TOKEN,
                                                 subscriptions=[chat("1")], public=True),
                        log=lines.append)
    with host.database.transaction() as connection:
        host.subscriptions.watch("555", [1], None, [])(connection)
    monitor.run({0: "0", 1: "0"})  # the new chat starts here, quietly
    monitor.run({0: "0", 1: "0.5"})
    assert change_lines(telegram, "555") == ["SN1: 0.0000 → 0.5000"]
    telegram.answer_chat("555", api_error(403, "Forbidden: bot was blocked by the user"))
    monitor.run({0: "0", 1: "0.9"}, {0: "0", 1: "0.1"})
    assert host.subscriptions.public_chats() == set()
    assert "chat 555 cannot be reached (Forbidden: bot was blocked by the user): dropped its " \
           "subscription and 1 waiting message(s)" in lines
    assert len(host.outbox) == 0
    # The configured chat heard everything, and no failure was charged to it.
    assert change_lines(telegram, "1")[-2:] == ["SN1: 0.5000 → 0.9000", "SN1: 0.9000 → 0.1000"]
    assert host.refused is None
    host.uninstall()
