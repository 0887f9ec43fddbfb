"""Each chat is alerted against its baseline, the rate last reported to it,
not against the previous pass: a rate that creeps 0.005 a pass is reported
once it has moved past the chat's threshold, and then the baseline moves to
it. Level rules (`above`, `below`) are crossings of the baseline too, so a
rate that stays on one side is reported once, and again when it crosses back.

Chats that share a baseline and the same rules get the same alert, so the
work of a pass grows with the number of different subscriptions, not with
the number of chats. The comparison and the text are the module's own
(diff_burns, format_burn_alert, format_burn_snapshot, _message_pieces), so a
chat that watches everything at the module's threshold is told exactly what
the module would have sent."""

import dataclasses

from kilnguard_watch.rates import rate_value
from kilnguard_watch.store.mutes import EVERY_SUBNET


@dataclasses.dataclass
class Plan:
    """What one pass asks of the database, in one transaction: the messages
    to queue, as (chat key, text) in order, the baselines that move with
    them, as (chat keys, rates), and the fresh netuids ({chat key: set})
    whose current rates they took in."""
    messages: list
    pointing: list
    alerted: int = 0  # chats that get an alert
    took_fresh: dict = dataclasses.field(default_factory=dict)


def crossed(level, old, new, strictly_below):
    """Whether a move from `old` to `new` crosses `level` (rate texts); a
    rate that is not a number crosses nothing."""
    old, new = rate_value(old), rate_value(new)
    if old is None or new is None:
        return False
    if strictly_below:
        return (old < level) != (new < level)
    return (old > level) != (new > level)


class Router:
    """`baselines`: the database's Baselines. `start_rates`: the module's stored rates when the monitor
    started, which chats with no baseline start from when the database knew
    no chat yet (a first start, or the first with this database: the first
    pass then reports what changed while the monitor was stopped, as the
    module does). Otherwise a chat with no baseline starts quietly from the
    rates of the pass that added it."""

    def __init__(self, module, baselines, start_rates=None, splitters=None):
        self.module = module
        self.baselines = baselines
        # {key: text -> pieces} for the destinations whose service takes
        # other lengths than a Telegram message; the rest get the module's.
        self.splitters = dict(splitters or {})
        self.start_rates = dict(start_rates) if start_rates and not baselines.known else None

    def plan(self, report, current, module_text=None, muted=None):
        """`current`: the subscriptions now (store.subscriptions.Current);
        `muted`: {chat key: netuids muted now (EVERY_SUBNET for all)}; a
        muted subnet is left out of the chat's alerts, so its baseline waits
        for the mute to end."""
        rates = dict(report.rates)
        if report.kind == "snapshot":
            plan = self._snapshot(current.chats, rates, report.updated_at, module_text)
            plan.took_fresh = dict(current.fresh)
        else:
            plan = self._pass(current, rates, report.updated_at, muted or {})
        self.start_rates = None
        return plan

    def _snapshot(self, subscriptions, rates, updated_at, module_text):
        """Every chat gets the rates it watches, and they become its baseline."""
        messages = []
        for sub in subscriptions:
            if sub.subnets is None and not sub.ignored and module_text is not None:
                text = module_text
            elif sub.subnets is not None and not sub.subnets:
                continue  # a chat that watches nothing is told nothing
            else:
                rows = [{"netuid": int(netuid), "incentive_burn": rate}
                        for netuid, rate in rates.items() if sub.watches(int(netuid))]
                text = self.module.format_burn_snapshot(rows, updated_at)
            messages += self.messages([sub.chat.key], text)
        return Plan(messages, [([sub.chat.key for sub in subscriptions], rates)],
                    alerted=len(subscriptions))

    def _pass(self, current, rates, updated_at, muted):
        groups = {}
        newcomers = []
        took_fresh = {}
        refreshed = {}  # (baseline id, fresh netuids) -> the baseline with their rates now
        for sub in current.chats:
            key = sub.chat.key
            baseline = self.baselines.rates_of(key)
            fresh = current.fresh.get(key, frozenset())
            if fresh:
                took_fresh[key] = fresh
            if baseline is None:
                if self.start_rates is None:
                    newcomers.append(key)
                    continue
                baseline = self.start_rates
            if fresh:
                # Subnets the chat just started watching are compared from
                # their rates now, not from when it stopped watching them.
                found = refreshed.get((id(baseline), fresh))
                if found is None:
                    found = refreshed[(id(baseline), fresh)] = {
                        **baseline, **{str(n): rates[str(n)] for n in fresh if str(n) in rates}}
                baseline = found
            silenced = muted.get(key, frozenset())
            rule = (id(baseline), sub.threshold, sub.subnets, sub.ignored, sub.above, sub.below,
                    silenced)
            groups.setdefault(rule, (baseline, sub, silenced, []))[3].append(key)
        plan = Plan([], [([*newcomers], rates)] if newcomers else [], took_fresh=took_fresh)
        rebased = {id(baseline) for baseline in refreshed.values()}
        for baseline, sub, silenced, chats in groups.values():
            changes = self._changes(baseline, rates, sub, silenced)
            # Subnets that appeared join the baseline silently, as the module
            # stores them without an alert.
            appeared = {netuid: rate for netuid, rate in rates.items() if netuid not in baseline}
            if changes:
                text = self.module.format_burn_alert(changes, updated_at)
                plan.messages += self.messages(chats, text)
                plan.alerted += len(chats)
                moved = {netuid: new for netuid, _, new in changes}
                plan.pointing.append((chats, {**baseline, **appeared, **moved}))
            elif appeared or baseline is self.start_rates or id(baseline) in rebased:
                plan.pointing.append((chats, {**baseline, **appeared}))
        return plan

    def messages(self, keys, text):
        """(key, piece) for each of `keys`, the text split as its chat or
        destination takes it; each way of splitting done once."""
        split = {}
        messages = []
        for key in keys:
            splitter = self.splitters.get(key)
            if splitter not in split:
                split[splitter] = list(self.module._message_pieces(text) if splitter is None
                                       else splitter(text))
            messages += [(key, piece) for piece in split[splitter]]
        return messages

    def _changes(self, baseline, rates, sub, silenced):
        if EVERY_SUBNET in silenced:
            return []
        watched = rates if sub.subnets is None and not sub.ignored and not silenced else {
            netuid: rate for netuid, rate in rates.items()
            if sub.watches(int(netuid)) and int(netuid) not in silenced}
        changes = self.module.diff_burns(baseline, watched, sub.threshold)
        if sub.above is None and sub.below is None:
            return changes
        found = {netuid for netuid, _, _ in changes}
        for netuid, new in watched.items():
            old = baseline.get(netuid)
            if old is None or netuid in found:
                continue
            if (sub.above is not None and crossed(sub.above, old, new, False)) or \
                    (sub.below is not None and crossed(sub.below, old, new, True)):
                changes.append((netuid, old, new))
        changes.sort(key=lambda change: int(change[0]))
        return changes
