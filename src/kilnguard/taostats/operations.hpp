// The Taostats client: settings, the authenticated GET, throttling retries
// and the subnet listing.
#pragma once

#include <nanobind/nanobind.h>

namespace kilnguard::taostats {

namespace nb = nanobind;

nb::str api_base();
nb::dict request_headers(nb::handle auth);
nb::object taostats_auth();
nb::object http_get_json(nb::handle path, nb::handle params, nb::handle auth);
bool is_rate_limited(nb::handle payload);
nb::object with_retries(nb::handle path, nb::handle params, nb::handle auth,
                        nb::handle max_retries);
nb::object fetch_all_subnets_latest(nb::handle auth);

}  // namespace kilnguard::taostats
