"""Signs that a listing is visibly wrong. Such a listing is not used: the
pass would store it as the baseline and then miss, or invent, changes.

The module asks before it saves anything (its `_burn_check_listing` hook),
with one (subnet key, incentive_burn) pair per row; the key is None for a
row that names no subnet, by the module's own rule."""

import re

# The module's JSON reader refuses a document that is not an object with
# Python's own words, which do not say where the document came from.
_NOT_AN_OBJECT = re.compile(r"Expected dict, got (\w+)")
_JSON_KINDS = {"list": "list", "str": "string", "int": "number", "float": "number",
               "bool": "true or false", "NoneType": "null"}


def pass_error_text(error):
    """A pass's error as the operator should read it: the Taostats answer
    that is JSON but not an object is named as such; anything else as it is."""
    text = str(error)
    found = _NOT_AN_OBJECT.fullmatch(text.strip())
    if found is None:
        return text
    kind = _JSON_KINDS.get(found.group(1), found.group(1))
    return f"the Taostats listing answer is a JSON {kind}, not an object"


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
