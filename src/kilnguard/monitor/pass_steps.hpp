// The steps that a watch pass and the startup snapshot share: the key check,
// the time stamp, the listing, the rate map and the delivery outcome.
#pragma once

#include <nanobind/nanobind.h>

#include "common/scrub.hpp"

#include <optional>
#include <string>

namespace kilnguard::monitor {

namespace nb = nanobind;

// The Taostats key, or nothing after logging that the API cannot be used.
std::optional<nb::object> taostats_key();

// The UTC wall-clock time of a pass, as 2024-05-01T12:00:00Z.
nb::str pass_timestamp();

// The secrets a pass's log lines must not show: the Taostats key it uses
// and the bot token.
scrub::Secrets pass_secrets(nb::handle auth, nb::handle token);

// The listing rows, or nothing after logging `failure_prefix` and the error
// object as compact JSON. Anything that is neither rows nor an error object
// raises TypeError.
std::optional<nb::list> fetch_rows(nb::handle auth, const char* failure_prefix,
                                   const scrub::Secrets& secrets);

// The rate map of a listing: netuid text to owner burn rate, in listing order,
// the last row of a subnet winning. Rows that cannot name a subnet (no netuid,
// a null one, or one whose text is not a base-10 integer) are skipped, so one
// odd row never gets stored and then blocks every later comparison.
nb::dict rate_map(nb::handle rows);

// Sends `text` with send_burn_telegram_messages and logs the outcome:
// `sent_line` on success, `failure_prefix` and the error text otherwise.
// Returns the pass's result, 0 or 1.
nb::int_ send_and_log(nb::handle text, nb::handle token, nb::handle chat_id,
                      const std::string& sent_line, const char* failure_prefix,
                      const scrub::Secrets& secrets);

// Writes "<prefix><value's text form>\n" to the host's standard error, with
// every secret blotted out.
void log_with_text(const char* prefix, nb::handle value, const scrub::Secrets& secrets);

}  // namespace kilnguard::monitor
