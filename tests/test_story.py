"""The whole module end to end against the loopback Taostats and Telegram
fakes: nothing of the module is replaced, only time.sleep is recorded."""

import json
import threading

import kilnguard
from fake_taostats import Reply, subnet_listing

START = {3: "0.18", 12: "0", 40: "0.5", 77: "1", 128: "0.97"}


def listing_reply(count, burns):
    return Reply(body=json.dumps(subnet_listing(count, burns)))


def test_a_day_of_monitoring(fake_taostats, telegram, sleeps, state_path, monkeypatch, capsys):
    monkeypatch.setenv("TAOSTATS_API_KEY", "story-key")
    common = dict(state_path=state_path, burn_token="123:story-token", burn_chat_id="-100777")

    fake_taostats.reply(listing_reply(129, START))
    assert kilnguard.run_burn_startup_snapshot(**common) == 0
    [snapshot] = telegram.requests
    snapshot_text = dict(snapshot.form())["text"]
    assert snapshot_text.splitlines()[2:4] == ["129 subnets", ""]
    assert "SN3: 0.1800" in snapshot_text and "SN128: 0.9700" in snapshot_text

    # A few rates move above and below the threshold, subnet 128 leaves,
    # subnet 129 joins, and the first answer is throttled.
    moved = {**START, 3: "0.25", 12: "1", 40: "0.505"}
    del moved[128]
    moved[129] = "0.3"
    listing = subnet_listing(128, moved)
    listing["data"].append(subnet_listing(130, moved)["data"][129])
    fake_taostats.reply(Reply(status=429, body="Rate Limited"), Reply(body=json.dumps(listing)))
    assert kilnguard.run_kilnguard_once(threshold=0.01, **common) == 0
    assert sleeps.pauses == [2.0]

    document = json.loads(open(state_path, encoding="utf-8").read())
    stamp = document["updated_at_utc"]
    alert = telegram.requests[1]
    assert alert.path == "/bot123:story-token/sendMessage"
    assert alert.form() == [
        ("chat_id", "-100777"),
        ("text", f"Owner burn rate changed\n{stamp} UTC\n\nSN3: 0.1800 → 0.2500\nSN12: 0.0000 → 1.0000"),
        ("disable_web_page_preview", "true")]
    assert capsys.readouterr().err == ("[burn] startup snapshot sent (129 subnets)\n"
                                       "[burn] alert sent (2 subnet(s))\n")
    expected_rates = {str(row["netuid"]): row["incentive_burn"] for row in listing["data"]}
    assert document["owner_burn_rate"] == expected_rates
    assert "128" not in document["owner_burn_rate"] and document["owner_burn_rate"]["129"] == "0.3"
    assert list(document["owner_burn_rate"]) == sorted(expected_rates)

    # The same listing again: nothing to report.
    fake_taostats.reply(Reply(body=json.dumps(listing)))
    assert kilnguard.run_kilnguard_once(threshold=0.01, **common) == 0
    assert len(telegram.requests) == 2 and capsys.readouterr().err == ""

    # Every request carried the key; no text we produced carries the token.
    assert all(r.header("Authorization") == "story-key" for r in fake_taostats.requests)


def test_other_threads_run_while_a_request_waits(fake_taostats, monkeypatch):
    monkeypatch.setenv("TAOSTATS_API_KEY", "k")
    fake_taostats.reply(Reply(body=json.dumps(subnet_listing(3)), delay=1.0))
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)
            done.wait(0.01)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        rows = kilnguard.fetch_all_subnets_latest("k")
    finally:
        done.set()
        counter.join()
    assert len(rows) == 3
    assert len(ticks) > 10  # would be about 1 if the GIL were held for the whole second
