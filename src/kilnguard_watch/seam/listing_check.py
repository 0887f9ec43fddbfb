"""Signs that a listing is visibly wrong. Such a listing is not used: the
pass would store it as the baseline and then miss, or invent, changes.

The module asks before it saves anything (its `_burn_check_listing` hook),
with one (subnet key, incentive_burn) pair per row; the key is None for a
row that names no subnet, by the module's own rule."""


def listing_problem(rows, pagination, stored_subnets):
    """Why the listing cannot be trusted, in one line, or None. `rows` as
    the module gives them, `pagination` the page's pagination object (or
    None), `stored_subnets` the number of subnets stored before the pass
    (0 when unknown)."""
    if isinstance(pagination, dict):
        total = pagination.get("total_items")
        if isinstance(total, int) and not isinstance(total, bool) and total > len(rows):
            return f"the listing is cut short: {len(rows)} rows of {total} (pagination.total_items)"
        if pagination.get("next_page") is not None:
            return (f"the listing is cut short: {len(rows)} rows and a next page "
                    f"({pagination.get('next_page')})")
    named = [(key, burn) for key, burn in rows if key is not None]
    if rows and not named:
        return f"{len(rows)} rows, but none names a subnet (no usable netuid)"
    if named and all(burn is None for _, burn in named):
        return f"{len(named)} subnets, but no row has a burn rate (incentive_burn)"
    subnets = len({key for key, _ in named})
    if stored_subnets and subnets * 2 < stored_subnets:
        return f"{subnets} subnets listed, fewer than half of the {stored_subnets} stored"
    return None
