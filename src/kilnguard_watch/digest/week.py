"""A week of rate changes as the digest tells it: for each subnet that
changed, its rate at the week's start and end, how many changes, and its
rate at the end of each day; and the texts that go with the picture."""

import dataclasses

from kilnguard_watch.digest.schedule import DAY, day_text
from kilnguard_watch.store import history

DAYS = 7
MOST_ROWS = 40  # subnets in a picture: those that changed most


@dataclasses.dataclass(frozen=True)
class SubnetWeek:
    """`start`: the rate at the week's start, or its first rate when the
    subnet was first seen during the week; `days`: its rate at the end of
    each day, None before it was seen."""
    netuid: int
    start: str
    end: str
    changes: int
    days: tuple


@dataclasses.dataclass(frozen=True)
class Week:
    """The week from `since` to `until` (seconds since the epoch, `until`
    excluded), and each subnet that changed in it ({netuid: SubnetWeek})."""
    since: int
    until: int
    subnets: dict

    @property
    def period(self):
        """2026-11-30 to 2026-12-06 (UTC)"""
        return f"{day_text(self.since)} to {day_text(self.until - 1)} (UTC)"

    def watched_by(self, sub):
        """The netuids of the subnets that changed which `sub` (a
        ChatConfig) watches, ascending."""
        return tuple(netuid for netuid in sorted(self.subnets) if sub.watches(netuid))


def read_week(source, since, until, netuids=None):
    """The Week of `netuids` (None: every subnet) from the history in
    `source` (a connection: read it in one transaction)."""
    found = {}  # netuid -> (its first Change, [changes], {day: its last rate that day})
    for change in history.changes(source, netuids, since, until - 1):
        first, counted, last = found.setdefault(change.netuid, (change, [], {}))
        if change.old is not None:  # a first record is no change
            counted.append(change)
        last[min((change.at - since) // DAY, DAYS - 1)] = change.new
    subnets = {}
    for netuid, (first, counted, last) in found.items():
        if not counted:
            continue
        days, rate = [], first.old
        for day in range(DAYS):
            rate = last.get(day, rate)
            days.append(rate)
        start = first.new if first.old is None else first.old
        subnets[netuid] = SubnetWeek(netuid, start, days[-1], len(counted), tuple(days))
    return Week(since, until, subnets)


def shown(week, netuids, most=MOST_ROWS):
    """The netuids a picture shows: at most `most`, those with the most
    changes (the lower netuid first at a tie), ascending."""
    ranked = sorted(netuids, key=lambda netuid: (-week.subnets[netuid].changes, netuid))
    return tuple(sorted(ranked[:most]))


def quiet_text(week):
    return (f"Weekly digest, {week.period}: no owner burn rate changed in the subnets this "
            f"chat watches.")


def caption(week, netuids):
    """The picture's caption (well under Telegram's 1024 characters)."""
    count = len(netuids)
    return (f"Weekly digest, {week.period}: {count} subnet{'' if count == 1 else 's'} "
            f"changed; the list follows.")


def text(week, netuids, in_picture, format_rate):
    """The week's changes of `netuids`, one line a subnet, under a two-line
    header (which each piece of a long text repeats); `in_picture`: how
    many of them the picture shows, None without one; `format_rate`: the
    module's format_owner_burn."""
    count = len(netuids)
    summary = f"{count} subnet{'' if count == 1 else 's'} changed"
    if in_picture is not None and in_picture < count:
        summary += (f"; the picture shows the {in_picture} that changed most, "
                    f"and {count - in_picture} more")
    lines = [f"Weekly digest: owner burn rates, {week.period}", summary, ""]
    for netuid in netuids:
        subnet = week.subnets[netuid]
        lines.append(f"SN{netuid}: {format_rate(subnet.start)} → {format_rate(subnet.end)} "
                     f"({subnet.changes} change{'' if subnet.changes == 1 else 's'})")
    return "\n".join(lines)
