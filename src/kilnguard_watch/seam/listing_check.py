"""Signs that a listing is visibly wrong. Such a listing is not used: the
pass would store it as the baseline and then miss, or invent, changes."""

import re

_BASE10 = re.compile(r"[+-]?[0-9]+")


def names_subnet(netuid):
    """Whether a row's netuid can name a subnet: an integer, or a text of
    base-10 digits (the rows the pass keeps)."""
    if isinstance(netuid, bool):
        return False
    if isinstance(netuid, int):
        return True
    return isinstance(netuid, str) and _BASE10.fullmatch(netuid.strip()) is not None


def listing_problem(rows, pagination, stored_subnets):
    """Why `rows` cannot be trusted, in one line, or None. `pagination` is
    the page's pagination object (or None); `stored_subnets` the number of
    subnets in the state file."""
    if not isinstance(rows, list):
        return None  # the module itself refuses that
    records = [row for row in rows if isinstance(row, dict)]
    named = [row for row in records if names_subnet(row.get("netuid"))]
    if isinstance(pagination, dict):
        total = pagination.get("total_items")
        if isinstance(total, int) and not isinstance(total, bool) and total > len(rows):
            return f"the listing is cut short: {len(rows)} rows of {total} (pagination.total_items)"
        if pagination.get("next_page") is not None:
            return (f"the listing is cut short: {len(rows)} rows and a next page "
                    f"({pagination.get('next_page')})")
    if records and not named:
        return f"{len(records)} rows, but none names a subnet (no usable netuid)"
    if named and all(row.get("incentive_burn") is None for row in named):
        return f"{len(named)} subnets, but no row has a burn rate (incentive_burn)"
    subnets = count_subnets(named)
    if stored_subnets and subnets * 2 < stored_subnets:
        return f"{subnets} subnets listed, fewer than half of the {stored_subnets} stored"
    return None


def count_subnets(rows):
    """Distinct subnets the rows name (7 and "7" are one)."""
    return len({str(row["netuid"]).strip() for row in rows
                if isinstance(row, dict) and names_subnet(row.get("netuid"))})
