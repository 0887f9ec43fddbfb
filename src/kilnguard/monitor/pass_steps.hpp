// The steps that a watch pass and the startup snapshot share: the key check,
// the time stamp, the listing, the rate map and the delivery outcome.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <utility>

namespace kilnguard::monitor {

namespace nb = nanobind;

// The Taostats key, or nothing after logging that the API cannot be used.
std::optional<nb::object> taostats_key();

// The UTC wall-clock time of a pass, as 2024-05-01T12:00:00Z.
nb::str pass_timestamp();

// The listing rows, or nothing after logging `failure_prefix` and the error
// object as compact JSON. Anything that is neither rows nor an error object
// raises TypeError.
std::optional<nb::list> fetch_rows(nb::handle auth, const char* failure_prefix);

// The rate map of a listing: netuid text to owner burn rate, in listing order,
// the last row of a subnet winning. Rows that cannot name a subnet (no netuid,
// a null one, or one whose text is not a base-10 integer) are skipped, so one
// odd row never gets stored and then blocks every later comparison.
nb::dict rate_map(nb::handle rows);

// The (ok, error) members of a delivery result; anything else raises.
std::pair<bool, nb::object> unpack_send_result(nb::handle result);

// Writes "<prefix><error's text form>\n" to the host's standard error.
void log_with_text(const char* prefix, nb::handle value);

}  // namespace kilnguard::monitor
