// The steps that a watch pass and the startup snapshot share: the key check,
// the time stamp, the listing, the rate map and the delivery outcome.
#pragma once

#include <nanobind/nanobind.h>

#include "common/scrub.hpp"
#include "monitor/pass_report.hpp"
#include "taostats/fast_listing.hpp"

#include <optional>
#include <string>

namespace kilnguard::monitor {

namespace nb = nanobind;

// The Taostats key, or nothing after logging that the API cannot be used.
std::optional<nb::object> taostats_key(PassRecord& record);

// The UTC wall-clock time of a pass, as 2024-05-01T12:00:00Z.
nb::str pass_timestamp();

// The secrets a pass's log lines must not show: the Taostats key it uses
// and the bot token.
scrub::Secrets pass_secrets(nb::handle auth, nb::handle token);

// The listing rows, or nothing after logging `failure_prefix` and the error
// object as compact JSON. Anything that is neither rows nor an error object
// raises TypeError.
std::optional<taostats::Listing> fetch_rows(nb::handle auth, const char* failure_prefix,
                                            PassRecord& record);

// The key a row's subnet has in the rate map, or nothing when the row names
// no subnet: no netuid, a null one, or one whose text is not a base-10
// integer.
std::optional<nb::str> subnet_key(nb::handle row);

// The rate map of a listing: netuid text to owner burn rate, in listing order,
// the last row of a subnet winning. Rows that cannot name a subnet (no netuid,
// a null one, or one whose text is not a base-10 integer) are skipped, so one
// odd row never gets stored and then blocks every later comparison.
nb::dict rate_map(nb::handle rows);
// The same for a fetched listing: its scanned rows stand in for the full ones
// while owner_burn_from_row is the module's own, the only reader of a row.
nb::dict rate_map(const taostats::Listing& listing);

// format_burn_snapshot(rows, updated_at) of the listing, looked up now. The
// scanned rows stand in for the full ones while every operation that reads a
// row for the snapshot is the module's own.
nb::object snapshot_text(const taostats::Listing& listing, const nb::str& updated_at);

// Whether a host's _burn_check_listing refused the listing: then the refusal
// is logged after `failure_prefix` like a failed fetch and the pass ends
// with 1. Asked only while a host has bound a check of its own, with the
// rows' keys and rates, the page's pagination and `stored` (None when the
// caller did not read the stored rates).
bool listing_refused(const taostats::Listing& listing, nb::handle stored,
                     const char* failure_prefix, PassRecord& record);

// Sends `text` with send_burn_telegram_messages and logs the outcome:
// `sent_line` on success, `failure_prefix` and the error text otherwise.
// Returns the pass's result, 0 or 1.
nb::int_ send_and_log(nb::handle text, nb::handle token, nb::handle chat_id,
                      const std::string& sent_line, const char* failure_prefix,
                      PassRecord& record);

// Writes "<prefix><value's text form>\n" to the host's standard error, with
// every secret blotted out; returns the text after the prefix.
nb::str log_with_text(const char* prefix, nb::handle value, const scrub::Secrets& secrets);

}  // namespace kilnguard::monitor
