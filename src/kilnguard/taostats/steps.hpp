// The steps of a listing fetch, each as the module's operations run it, so
// that the fused listing read (fast_listing.cpp) takes the same requests and,
// on anything unusual, goes on exactly where the general path would be.
#pragma once

#include "common/http.hpp"

#include <nanobind/nanobind.h>

namespace kilnguard::taostats {

namespace nb = nanobind;

// The GET http_get_json sends: api_base() + path + query, request_headers(auth).
http::Request get_request(const nb::str& path, const nb::dict& params, const nb::str& auth);

// What http_get_json makes of a response to a request with `auth` (UTF-8
// checked, then decoded, the key scrubbed from what an error shows).
nb::object payload_of(const http::Response& response, const nb::str& auth);

// with_retries after its first attempt gave `payload`: further attempts
// while the answer is throttled, up to `max_retries` in all.
nb::object retried(nb::object payload, const nb::str& path, const nb::dict& params,
                   const nb::str& auth, long long max_retries);

// The listing's request: its path and its query parameters.
nb::str listing_path();
nb::dict listing_params();
// The attempts a listing fetch allows a throttled answer.
constexpr long long listing_attempts = 6;

// What fetch_all_subnets_latest makes of the payload with_retries gave.
nb::object listing_from(const nb::object& payload);

}  // namespace kilnguard::taostats
