"""How command arguments are read (subnet numbers and ranges, thresholds)
and how values are written in answers (moments, spans of subnets, sizes).
Each reader raises BadArgument with the reason to quote back; nothing here
knows which command asked."""

import re
import time

from kilnguard_watch.commands.incoming import LONGEST_TEXT
from kilnguard_watch.store import mutes

MOST_SUBNETS = 50  # per /burn and per /top
LARGEST_NETUID = 65535
SHOWN_VALUE = 20  # characters of a bad argument quoted back


def utc(seconds):
    """A moment for a chat line: "2026-12-08 14:05 UTC"."""
    try:
        return time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(seconds))
    except (OverflowError, ValueError, OSError, TypeError):
        return f"an unreadable time ({seconds!r})"


def quoted(value):
    """A bad argument as quoted back: short, so the answer stays short."""
    if len(value) > SHOWN_VALUE:
        value = value[:SHOWN_VALUE - 1] + "…"
    # Lone surrogates cannot be stored or sent as UTF-8, and direction marks
    # would turn the answer around: what does not print is shown as U+FFFD.
    value = "".join(c if c.isprintable() else "\ufffd" for c in value)
    return f'"{value}"'


def fit(text):
    """Telegram refuses a longer text; the answers are built short, and
    this keeps odd monitor texts from making one undeliverable."""
    return text if len(text) < LONGEST_TEXT else text[:LONGEST_TEXT - 2] + "…"


# A netuid as typed: "7", "SN7", "sn7". ASCII digits only: int() would
# also take other scripts' digits, which nobody means as a subnet number.
_NETUID = re.compile(r"(?:[Ss][Nn])?([0-9]{1,6})")


class BadArgument(ValueError):
    """An argument the command cannot use, with the reason to quote."""


def netuid_of(word):
    """The subnet number a word names, or None."""
    found = _NETUID.fullmatch(word)
    if found is None or int(found.group(1)) > LARGEST_NETUID:
        return None
    return int(found.group(1))


def netuids(args, most=MOST_SUBNETS):
    """The subnets /burn asks for, in the order asked, each once. Ranges
    ("20-30") count each subnet toward the limit; the check comes before a
    range is spread out, so "/burn 0-65535" costs nothing."""
    chosen = {}
    for arg in args:
        for word in arg.split(","):  # "/burn 1,2" as well as "/burn 1 2"
            if not word:
                continue
            low, dash, high = word.partition("-")
            if dash:
                first, last = netuid_of(low), netuid_of(high)
                if first is None or last is None or first > last:
                    raise BadArgument(f"{quoted(word)} is not a range of subnet numbers")
            else:
                first = last = netuid_of(word)
                if first is None:
                    raise BadArgument(f"{quoted(word)} is not a subnet number")
            if last - first + 1 > most:
                raise BadArgument(f"at most {most} subnets at a time")
            for netuid in range(first, last + 1):
                chosen[netuid] = None
            if len(chosen) > most:
                raise BadArgument(f"at most {most} subnets at a time")
    return list(chosen)


def threshold_of(word):
    """A threshold as typed: "0.05", ".05" or "5%"; None when the word is
    not meant as one (no point and no percent sign)."""
    found = re.fullmatch(r"([0-9]{0,3}(?:\.[0-9]{1,6})?)(%?)", word)
    if "." not in word and not word.endswith("%"):
        return None
    if found is None or found.group(1) in ("", "."):
        raise BadArgument(f"{quoted(word)} is not a threshold like 0.05 or 5%")
    value = float(found.group(1)) / (100 if found.group(2) else 1)
    if not 0 <= value <= 1:
        raise BadArgument(f"{quoted(word)} is not a threshold from 0 to 1 (0% to 100%)")
    return value


def watched_text(sub):
    """What a subscription watches, in words."""
    if sub is None or (sub.subnets is not None and not sub.subnets):
        return "nothing"
    if sub.subnets is None:
        return "every subnet" + (f" but {spans(sub.ignored)}" if sub.ignored else "")
    return spans(sub.subnets)


def size_text(count):
    """Bytes as a person reads them: 812 KB, 12 MB, 1.2 GB (powers of 1000)."""
    for unit, scale in (("GB", 10**9), ("MB", 10**6), ("KB", 10**3)):
        if count >= scale:
            value = count / scale
            return f"{value:.1f} {unit}" if value < 9.95 else f"{value:.0f} {unit}"
    return f"{count} bytes"


def subnet_or_all(word):
    if word.lower() == "all":
        return mutes.EVERY_SUBNET
    netuid = netuid_of(word)
    if netuid is None:
        raise BadArgument(f"{quoted(word)} is neither a subnet number nor all")
    return netuid


def spans(netuids):
    """SN1, SN12, SN20-30: a set of netuids as ranges."""
    spans, ordered = [], sorted(netuids)
    for netuid in ordered:
        if spans and spans[-1][1] == netuid - 1:
            spans[-1][1] = netuid
        else:
            spans.append([netuid, netuid])
    return ", ".join(f"SN{a}" if a == b else f"SN{a}-{b}" for a, b in spans)


def netuid_order(netuid):
    try:
        return int(netuid)
    except (TypeError, ValueError):
        return LARGEST_NETUID + 1
