"""Host objects inside the rows, maps and lists the operations take. Asking
one of them for its truth, text, equality or hash runs host code, and that
code may empty the very container the object sits in: the operation must go
on with the values it already holds (or raise an ordinary error), never read
a value that has just been freed."""

import pytest

import kilnguard

HOOKS = ["__bool__", "__str__", "__eq__", "__hash__"]


def meddler(hook):
    """A value that empties `home` (the container it was put in) when Python
    calls `hook` on it; otherwise an ordinary truthy value with the text
    0.5, equal only to itself."""

    class Meddler:
        home = None

        def meddle(self):
            if self.home is not None:
                self.home.clear()

        def __bool__(self):
            if hook == "__bool__":
                self.meddle()
            return True

        def __str__(self):
            if hook == "__str__":
                self.meddle()
            return "0.5"

        def __eq__(self, other):
            if hook == "__eq__":
                self.meddle()
            return self is other

        def __hash__(self):
            if hook == "__hash__":
                self.meddle()
            return hash("1")  # collides with the netuid "1", so __eq__ runs too

    return Meddler()


def placed(hook, make_home):
    """The container `make_home(value)` builds around a meddler. The test
    keeps no reference of its own to the meddler: emptying its home frees it."""
    value = meddler(hook)
    home = make_home(value)
    value.home = home
    return home


def row_rate(hook, monkeypatch):
    row = placed(hook, lambda v: {"incentive_burn": v})
    return kilnguard.owner_burn_from_row(row), "0.5"


def listing_rows(hook, monkeypatch):
    payload = placed(hook, lambda v: {"data": v})
    monkeypatch.setattr(kilnguard, "with_retries", lambda *args: payload)
    return type(kilnguard.fetch_all_subnets_latest("k")).__name__, "Meddler"


def throttle_check(hook, monkeypatch):
    payload = placed(hook, lambda v: {"status_code": v, "message": v})
    return kilnguard.is_rate_limited(payload), False


def snapshot_rows(hook, monkeypatch):
    row = placed(hook, lambda v: {"netuid": 1, "incentive_burn": v})
    rows = [row]
    text = kilnguard.format_burn_snapshot(rows, "T")
    return text.splitlines()[-1], "SN1: 0.5000"


def alert_changes(hook, monkeypatch):
    changes = placed(hook, lambda v: [(v, "0.1", "0.2")])
    return kilnguard.format_burn_alert(changes, "T").splitlines()[-1], "SN0.5: 0.1000 → 0.2000"


def previous_map(hook, monkeypatch):
    prev = placed(hook, lambda v: {v: "0.1", "1": "0.1"})
    # Emptied during the lookup of "1", the map may no longer hold it.
    changes = kilnguard.diff_burns(prev, {"1": "0.9"}, 0.01)
    return changes in ([], [("1", "0.1", "0.9")]), True


def pass_rows(hook, monkeypatch):
    row = placed(hook, lambda v: {"netuid": 1, "incentive_burn": v})
    monkeypatch.setenv("TAOSTATS_API_KEY", "k")
    monkeypatch.setattr(kilnguard, "fetch_all_subnets_latest", lambda auth: [row])
    saved = []
    monkeypatch.setattr(kilnguard, "save_burn_state", lambda *args: saved.append(args[1]))
    monkeypatch.setattr(kilnguard, "load_burn_state", lambda path: {})
    kilnguard.run_kilnguard_once(state_path="s", threshold=0.01, burn_token="", burn_chat_id="")
    return saved, [{"1": "0.5"}]


def delivery_result(hook, monkeypatch):
    result = placed(hook, lambda v: [v, "failed"])
    monkeypatch.setattr(kilnguard, "send_burn_telegram", lambda *args: result)
    return kilnguard.send_burn_telegram_messages("hi", "t", "c"), (True, "")


def query_params(hook, monkeypatch):
    from fake_taostats import refused_port

    params = placed(hook, lambda v: {"limit": v, "order": "netuid_asc"})
    monkeypatch.setenv("TAOSTATS_API_BASE", f"http://127.0.0.1:{refused_port()}")
    try:
        kilnguard.http_get_json("/x", params, "k")
    except ConnectionError:
        return "request made", "request made"


def saved_map(hook, monkeypatch):
    burns = placed(hook, lambda v: {"1": v, "2": "0.5"})
    try:
        kilnguard.save_burn_state("/nonexistent-folder/state.json", burns, "T")
    except (TypeError, OSError) as error:
        return type(error).__name__, "TypeError"  # a Meddler has no JSON form


CASES = [row_rate, listing_rows, throttle_check, snapshot_rows, alert_changes, previous_map,
         pass_rows, delivery_result, query_params, saved_map]


@pytest.mark.parametrize("hook", HOOKS)
@pytest.mark.parametrize("case", CASES, ids=[c.__name__ for c in CASES])
def test_host_code_that_empties_the_container(case, hook, monkeypatch, capsys):
    try:
        got, expected = case(hook, monkeypatch)
    except (TypeError, ValueError) as error:
        # Refusing a value whose hash or equality misbehaves is fine; the
        # process surviving is the point.
        assert hook in ("__eq__", "__hash__"), error
        return
    assert got == expected
