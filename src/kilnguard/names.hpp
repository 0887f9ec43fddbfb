// The name of every operation of the module, and of its one constant, written
// once. The binding, the argument check and every late-bound call take their
// name from here, so a misspelt name is a compile error instead of an
// AttributeError in the middle of a pass.
#pragma once

#include "common/py.hpp"

#include <cstddef>
#include <iterator>

namespace kilnguard::names {

using py::LateBound;

// In the order of the module's interface; `slot` is the position in `all`.
inline constexpr LateBound api_base{0, "api_base"};
inline constexpr LateBound request_headers{1, "request_headers"};
inline constexpr LateBound taostats_auth{2, "taostats_auth"};
inline constexpr LateBound http_get_json{3, "http_get_json"};
inline constexpr LateBound is_rate_limited{4, "is_rate_limited"};
inline constexpr LateBound with_retries{5, "with_retries"};
inline constexpr LateBound fetch_all_subnets_latest{6, "fetch_all_subnets_latest"};
inline constexpr LateBound owner_burn_from_row{7, "owner_burn_from_row"};
inline constexpr LateBound format_owner_burn{8, "format_owner_burn"};
inline constexpr LateBound owner_burn_changed{9, "owner_burn_changed"};
inline constexpr LateBound load_burn_state{10, "load_burn_state"};
inline constexpr LateBound save_burn_state{11, "save_burn_state"};
inline constexpr LateBound diff_burns{12, "diff_burns"};
inline constexpr LateBound format_burn_alert{13, "format_burn_alert"};
inline constexpr LateBound format_burn_snapshot{14, "format_burn_snapshot"};
inline constexpr LateBound chunk_text{15, "_chunk_text"};
inline constexpr LateBound send_burn_telegram_messages{16, "send_burn_telegram_messages"};
inline constexpr LateBound send_burn_telegram{17, "send_burn_telegram"};
inline constexpr LateBound send_telegram_message{18, "send_telegram_message"};
inline constexpr LateBound run_kilnguard_once{19, "run_kilnguard_once"};
inline constexpr LateBound run_burn_startup_snapshot{20, "run_burn_startup_snapshot"};
inline constexpr LateBound burn_is_paused{21, "_burn_is_paused"};
inline constexpr LateBound sleep_until_interval{22, "_sleep_until_interval"};
inline constexpr LateBound run_burn_poll_loop{23, "run_burn_poll_loop"};
inline constexpr LateBound owner_burn_decimals{24, "OWNER_BURN_DECIMALS"};

inline constexpr LateBound all[] = {
    api_base, request_headers, taostats_auth, http_get_json, is_rate_limited, with_retries,
    fetch_all_subnets_latest, owner_burn_from_row, format_owner_burn, owner_burn_changed,
    load_burn_state, save_burn_state, diff_burns, format_burn_alert, format_burn_snapshot,
    chunk_text, send_burn_telegram_messages, send_burn_telegram, send_telegram_message,
    run_kilnguard_once, run_burn_startup_snapshot, burn_is_paused, sleep_until_interval,
    run_burn_poll_loop, owner_burn_decimals,
};

constexpr bool slots_match_positions() {
    for (std::size_t i = 0; i < std::size(all); ++i)
        if (all[i].slot != i) return false;
    return true;
}
static_assert(slots_match_positions(), "a name's slot must be its position in `all`");

}  // namespace kilnguard::names
