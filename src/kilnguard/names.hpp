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
inline constexpr LateBound replace_file{12, "_replace_file"};
inline constexpr LateBound diff_burns{13, "diff_burns"};
inline constexpr LateBound format_burn_alert{14, "format_burn_alert"};
inline constexpr LateBound format_burn_snapshot{15, "format_burn_snapshot"};
inline constexpr LateBound chunk_text{16, "_chunk_text"};
inline constexpr LateBound message_pieces{17, "_message_pieces"};
inline constexpr LateBound send_burn_telegram_messages{18, "send_burn_telegram_messages"};
inline constexpr LateBound send_burn_telegram{19, "send_burn_telegram"};
inline constexpr LateBound send_telegram_message{20, "send_telegram_message"};
inline constexpr LateBound telegram_api_base{21, "_telegram_api_base"};
inline constexpr LateBound run_kilnguard_once{22, "run_kilnguard_once"};
inline constexpr LateBound run_burn_startup_snapshot{23, "run_burn_startup_snapshot"};
inline constexpr LateBound burn_check_listing{24, "_burn_check_listing"};
inline constexpr LateBound burn_pass_report{25, "_burn_pass_report"};
inline constexpr LateBound burn_is_paused{26, "_burn_is_paused"};
inline constexpr LateBound sleep_until_interval{27, "_sleep_until_interval"};
inline constexpr LateBound run_burn_poll_loop{28, "run_burn_poll_loop"};
inline constexpr LateBound scrub_secrets{29, "_scrub_secrets"};
inline constexpr LateBound log_line{30, "_log_line"};
inline constexpr LateBound owner_burn_decimals{31, "OWNER_BURN_DECIMALS"};

inline constexpr LateBound all[] = {
    api_base, request_headers, taostats_auth, http_get_json, is_rate_limited, with_retries,
    fetch_all_subnets_latest, owner_burn_from_row, format_owner_burn, owner_burn_changed,
    load_burn_state, save_burn_state, replace_file, diff_burns, format_burn_alert,
    format_burn_snapshot, chunk_text, message_pieces, send_burn_telegram_messages,
    send_burn_telegram, send_telegram_message, telegram_api_base, run_kilnguard_once,
    run_burn_startup_snapshot, burn_check_listing, burn_pass_report, burn_is_paused,
    sleep_until_interval, run_burn_poll_loop, scrub_secrets, log_line, owner_burn_decimals,
};

constexpr bool slots_match_positions() {
    for (std::size_t i = 0; i < std::size(all); ++i)
        if (all[i].slot != i) return false;
    return true;
}
static_assert(slots_match_positions(), "a name's slot must be its position in `all`");

}  // namespace kilnguard::names
