"""Listing records shaped like the Taostats service's: about 77 fields, most
numbers as strings (some huge or negative), nullable owners, ISO time stamps,
and incentive_burn as a decimal fraction in a string. The demo serves them,
and the tests use them as fixtures."""

import random

_SS58_ALPHABET = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def _account(rng):
    return {"ss58": "5" + "".join(rng.choice(_SS58_ALPHABET) for _ in range(47)),
            "hex": "0x" + "".join(rng.choice("0123456789abcdef") for _ in range(64))}


def _iso(rng, year=2025):
    return (f"{year}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T"
            f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}Z")


def _rao(rng, high=10**15):
    return str(rng.randint(0, high))


def _signed_rao(rng):
    return str(rng.randint(-10**13, 10**13))


def _fraction(rng):
    return str(round(rng.random(), rng.randint(1, 9)))


def subnet_record(netuid, rng=None, incentive_burn=None):
    """One record of /api/subnet/latest/v1, with the service's ~77 fields:
    numbers mostly as strings (some huge or negative), nullable owners, ISO
    time stamps, and incentive_burn as a decimal fraction in a string."""
    rng = rng or random.Random(netuid)
    if incentive_burn is None:
        incentive_burn = rng.choice(["0", "0", "0", "1", "1", "1", "0.97", "0.5", "0.18", "0.999"])
    block = 5_800_000 + rng.randint(0, 9_999)
    root = netuid == 0
    return {
        "block_number": block,
        "timestamp": _iso(rng),
        "netuid": netuid,
        "owner": None if root else _account(rng),
        "owner_hotkey": None if root else rng.choice([None, _account(rng)]),
        "registration_block_number": 0 if root else rng.randint(1, block),
        "registration_timestamp": None if root else _iso(rng, rng.randint(2023, 2025)),
        "registration_cost": _rao(rng),
        "neuron_registration_cost": _rao(rng, 10**10),
        "max_neurons": 64 if root else 256,
        "neuron_registrations_this_interval": rng.randint(0, 3),
        "active_keys": rng.randint(1, 256),
        "validators": rng.randint(0, 64),
        "active_validators": rng.randint(0, 64),
        "active_miners": rng.randint(0, 192),
        "active_dual": rng.randint(0, 5),
        "emission": _rao(rng, 10**9),
        "projected_emission": _fraction(rng),
        "tempo": 360 if not root else 100,
        "difficulty": "18446744073709551615",
        "raw_difficulty": "18446744073709551615",
        "min_difficulty": "10000000",
        "max_difficulty": "18446744073709551615",
        "immunity_period": 5000,
        "max_weights_limit": 65535,
        "min_allowed_weights": rng.randint(0, 8),
        "weights_version": rng.randint(0, 3000),
        "weights_rate_limit": 100,
        "activity_cutoff": 5000,
        "max_validators": 64,
        "bonds_moving_avg": "900000",
        "adjustment_interval": 360,
        "adjustment_alpha": "17893341751498265066",
        "target_regs_per_interval": 1,
        "max_regs_per_block": 1,
        "serving_rate_limit": 50,
        "registration_allowed": rng.choice([True, False]),
        "pow_registration_allowed": False,
        "kappa": "32767",
        "rho": "10",
        "commit_reveal_weights_enabled": rng.choice([True, False]),
        "commit_reveal_period": rng.choice([None, 1, 2]),
        "liquid_alpha_enabled": rng.choice([True, False]),
        "alpha_high": "58982",
        "alpha_low": "45875",
        "min_burn": "500000",
        "max_burn": "100000000000",
        "burn": _rao(rng, 10**11),
        "recycled_lifetime": _rao(rng),
        "recycled_24_hours": _rao(rng, 10**12),
        "recycled_since_registration": _rao(rng),
        "incentive_burn": incentive_burn,
        "immune_owner_uids_limit": rng.choice([None, 1]),
        "yuma_version": rng.choice([2, 3]),
        "transfers_enabled": rng.choice([True, False]),
        "subtoken_enabled": not root,
        "user_liquidity_enabled": rng.choice([True, False]),
        "bonds_reset_enabled": False,
        "ema_tao_inflow": _signed_rao(rng),
        "net_flow_1_day": _signed_rao(rng),
        "net_flow_7_days": _signed_rao(rng),
        "net_flow_30_days": _signed_rao(rng),
        "tao_in": _rao(rng),
        "alpha_in": _rao(rng),
        "alpha_out": _rao(rng),
        "alpha_staked": _rao(rng),
        "price": _fraction(rng),
        "liquidity": _rao(rng),
        "total_tao": _rao(rng),
        "owner_alpha_emission": _rao(rng, 10**9),
        "miner_alpha_emission": _rao(rng, 10**9),
        "validator_alpha_emission": _rao(rng, 10**9),
        "hotkey_alpha_min_stake": rng.choice([None, _rao(rng, 10**9)]),
        "symbol": rng.choice(["τ", "α", "β", "γ", "δ", "ש", "ת"]),
        "name": rng.choice([None, f"subnet-{netuid}"]),
        "last_step": block - rng.randint(0, 360),
        "blocks_since_last_step": rng.randint(0, 360),
    }


def subnet_listing(count=129, incentive_burns=None):
    """The service's answer for the listing: pagination, then the records in
    ascending netuid order."""
    burns = incentive_burns or {}
    data = [subnet_record(n, incentive_burn=burns.get(n)) for n in range(count)]
    return {
        "pagination": {"current_page": 1, "per_page": 1024, "total_items": count,
                       "total_pages": 1, "next_page": None, "prev_page": None},
        "data": data,
    }
