"""Where kilnguard-watch meets the module: it replaces only the policies it
owns and learns the rest from the module's pass report, so the module's own
listing fetch (and its fast path) stays in place; what it makes of the
report (health, the first answer's verdict on the key, the listing check);
and the database it writes only when there is something to keep."""

import json
import sys

import pytest

import kilnguard
from fake_taostats import Reply, subnet_listing
from kilnguard_watch import seam
from kilnguard_watch.delivery.chats import Chat
from kilnguard_watch.reporting import health
from kilnguard_watch.seam.listing_check import listing_problem

KEY = "taostats-api-key-123"
TOKEN = "123456:telegram-bot-token"


@pytest.fixture
def installed(tmp_path, fake_taostats, telegram, sleeps, monkeypatch):
    monkeypatch.setenv("TAOSTATS_API_KEY", KEY)
    state = str(tmp_path / "burn_state.json")
    lines, outcomes = [], []
    host = seam.install(kilnguard, seam.Settings(state, TOKEN, [Chat("7")]), log=lines.append)
    host.lines, host.outcomes = lines, outcomes
    host.observers.subscribe(outcomes.append)
    yield host
    host.uninstall()


def one_pass(host):
    return kilnguard.run_kilnguard_once(state_path=host.settings.state_path, threshold=0.01,
                                        burn_token=TOKEN, burn_chat_id="")


def listing(rates, count=5):
    return Reply(body=json.dumps(subnet_listing(count, rates)))


def test_the_host_replaces_only_the_policies_it_owns(tmp_path, monkeypatch):
    own = {name: getattr(kilnguard, name) for name in dir(kilnguard) if not name.startswith("__")}
    host = seam.install(kilnguard, seam.Settings(str(tmp_path / "s.json"), TOKEN, [Chat("7")]))
    try:
        replaced = {name for name, value in own.items() if getattr(kilnguard, name) is not value}
        # A topic or --silent would replace the sender too; one plain chat does not.
        assert replaced == set(seam.REPLACED) - {"send_burn_telegram"}
    finally:
        host.uninstall()
    assert all(getattr(kilnguard, name) is value for name, value in own.items())


@pytest.mark.parametrize("answers, refused", [
    ([Reply(status=401, body='{"message": "Invalid API key"}')], True),
    ([Reply(status=403, body="<html>denied</html>")], True),
    ([listing({1: "0.5"}), Reply(status=401, body='{"message": "Invalid API key"}')], False),
    ([Reply(status=502, body="bad gateway"), Reply(status=401, body="{}")], False),
    ([Reply(status=500, body="{}")], False),
], ids=["401-first", "403-first", "401-after-a-listing", "401-after-a-502", "500-first"])
def test_a_key_is_judged_by_the_first_answer_only(installed, fake_taostats, answers, refused):
    fake_taostats.reply(*answers)
    results = [one_pass(installed) for _ in answers]
    assert results[-1] == (1 if answers[-1].status != 200 else 0)
    assert (installed.refused is not None) == refused
    # The loop ends as for the pause file once the key is refused, not before.
    assert kilnguard._burn_is_paused("") is refused
    assert installed.outcomes[-1].subnets is None and installed.outcomes[-1].result == "failed"


def test_the_outcome_carries_what_the_pass_reported(installed, fake_taostats, telegram):
    fake_taostats.reply(listing({1: "0.1", 2: "0.2"}), listing({1: "0.1", 2: "0.9"}),
                        Reply(status=502, body="bad gateway"))
    assert [one_pass(installed) for _ in range(3)] == [0, 0, 1]
    first, second, failed = installed.outcomes
    assert (first.subnets, first.changes, first.messages_sent) == (5, 0, 0)
    assert (second.changes, second.messages_sent, second.rates["2"]) == (1, 1, "0.9")
    assert dict(second.rates) == kilnguard.load_burn_state(installed.settings.state_path)
    assert (failed.result, failed.subnets, failed.rates) == ("failed", None, None)
    assert "bad gateway" in failed.error and KEY not in failed.error
    assert telegram.delivered("7")[0].startswith("Owner burn rate changed")


@pytest.mark.parametrize("rows, pagination, stored, problem", [
    ([("1", "0.5"), ("2", "0.1")], {"total_items": 2, "next_page": None}, 2, None),
    ([("1", "0.5")], {"total_items": 3}, 0, "the listing is cut short: 1 rows of 3"),
    ([("1", "0.5")], {"next_page": 2}, 0, "the listing is cut short: 1 rows and a next page (2)"),
    ([(None, "0.5"), (None, None)], None, 0, "2 rows, but none names a subnet"),
    ([("1", None), ("2", None), (None, "0.5")], None, 0, "2 subnets, but no row has a burn rate"),
    # One subnet listed four times is one subnet, and one is fewer than half of 5.
    ([("1", "0.5")] * 4 + [("2", "0.5")], None, 5, "2 subnets listed, fewer than half of the 5"),
    ([("1", "0.5"), ("2", "0.5"), ("3", "0.5")], None, 5, None),
    ([], None, 0, None),
], ids=["good", "total-items", "next-page", "no-netuid", "no-burn", "repeated-subnets",
        "three-of-five", "empty"])
def test_listing_problems(rows, pagination, stored, problem):
    found = listing_problem(rows, pagination, stored)
    assert (found is None) == (problem is None)
    assert problem is None or found.startswith(problem)


def test_a_refused_listing_keeps_the_rates_and_is_told_with_its_reason(
        installed, fake_taostats, telegram):
    fake_taostats.reply(listing({n: "0.5" for n in range(6)}, count=6), listing({1: "0.9"}, count=2))
    assert [one_pass(installed) for _ in range(2)] == [0, 1]
    assert len(kilnguard.load_burn_state(installed.settings.state_path)) == 6
    refused = installed.outcomes[-1]
    assert refused.error == "2 subnets listed, fewer than half of the 6 stored"
    [told] = telegram.delivered("7")
    assert told.startswith("kilnguard-watch: the subnet listing looks wrong")


def test_a_pass_with_nothing_to_tell_writes_nothing_but_its_history(installed, fake_taostats,
                                                                   monkeypatch):
    fake_taostats.reply(listing({1: "0.1"}), listing({1: "0.1"}), listing({1: "0.105"}))
    one_pass(installed)  # the chat's first baseline is written
    commits = []
    transaction = installed.database.transaction
    monkeypatch.setattr(installed.database, "transaction",
                        lambda durable=True: commits.append(durable) or transaction(durable))
    one_pass(installed)
    one_pass(installed)  # a move under the threshold: the baseline stays
    # The history's records do not wait for the disk; nothing else is written.
    assert commits == [False, False] and installed.baselines.rates_of("7")["1"] == "0.1"


def test_a_removed_chat_takes_its_count_of_dropped_messages_along(tmp_path):
    state = str(tmp_path / "s.json")
    host = seam.install(kilnguard, seam.Settings(state, TOKEN, [Chat("1"), Chat("2")]))
    host.uninstall()
    host.outbox.limit = 1
    host.outbox.queue(["a", "b", "c"], ["1", "2"])
    assert (host.outbox.dropped("1"), host.outbox.dropped("2")) == (2, 2)
    host.database.close()
    again = seam.install(kilnguard, seam.Settings(state, TOKEN, [Chat("2")]))
    again.uninstall()
    assert (again.outbox.dropped("1"), again.outbox.dropped("2")) == (0, 2)


@pytest.mark.parametrize("text, expected", [
    ("short\r\nerror", "short error"),
    ("x" * 400, "x" * 299 + "…"),
    (f"Unauthorized: bot{TOKEN.replace(':', '%3a')}", "Unauthorized: bot..."),
], ids=["one-line", "cut-at-300", "token-percent-encoded-lower-case"])
def test_errors_told_to_the_chat_are_one_short_line_without_secrets(text, expected):
    assert health.one_line(text, TOKEN) == expected


class Crossings:
    """Counts calls that cross between Python and the module: a Python call
    of one of the module's functions, and a Python function run from inside
    one of them."""

    def __init__(self):
        self.count = 0
        self._stack = []

    def __call__(self, frame, event, arg):
        if event == "c_call":
            own = getattr(arg, "__self__", None) is kilnguard
            self.count += own
            self._stack.append(own)
        elif event in ("c_return", "c_exception"):
            if self._stack:
                self._stack.pop()
        elif event == "call":
            self.count += bool(self._stack and self._stack[-1])
            self._stack.append(False)
        elif event == "return" and self._stack:
            self._stack.pop()


def test_one_state_read_one_write_and_few_crossings_per_alert(installed, fake_taostats, monkeypatch):
    fake_taostats.reply(listing({1: "0.1"}), listing({1: "0.9"}))
    one_pass(installed)
    calls = []
    for name in ("load_burn_state", "save_burn_state"):
        own = getattr(kilnguard, name)
        monkeypatch.setattr(kilnguard, name,
                            lambda *args, own=own, name=name: calls.append(name) or own(*args))
    report = kilnguard._burn_pass_report
    crossings = Crossings()

    def counted(*args):
        sys.setprofile(crossings)
        try:
            return report(*args)
        finally:
            sys.setprofile(None)

    # Put back by hand: the fixture's uninstall must find the host's hook.
    kilnguard._burn_pass_report = counted
    try:
        assert one_pass(installed) == 0
    finally:
        kilnguard._burn_pass_report = report
    assert calls == ["load_burn_state", "save_burn_state"]
    # The chat's comparison, the alert's text, its pieces and the send.
    assert installed.outcomes[-1].messages_sent == 1 and crossings.count <= 5
