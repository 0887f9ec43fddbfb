// The listing as a watch pass or the startup snapshot needs it. When every
// operation a listing fetch goes through is the module's own, the answer is
// read with a validating scan that builds only each row's netuid and
// incentive_burn; anything unusual goes the general way, on the same answer.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace kilnguard::taostats {

namespace nb = nanobind;

struct Listing {
    // What fetch_all_subnets_latest(auth) gives: the rows, or an error object
    // (or anything a host's binding returned). After a scan, the rows are
    // small dicts that hold only the two fields a pass reads.
    nb::object result;
    // The answer the small rows were scanned from; empty for any other result.
    std::optional<std::string> body;

    bool scanned() const { return body.has_value(); }
    // The rows as fetch_all_subnets_latest would have given them: the
    // scanned answer read in full, or `result` itself.
    nb::object full_rows() const;
    // The scanned answer once read in full, so every later use gets the same list.
    mutable std::optional<nb::object> read_in_full;
};

// Fetches the listing as fetch_all_subnets_latest(auth), looked up on the
// module at this call, would; the same requests, results and errors.
Listing fetch_listing(nb::handle auth);

}  // namespace kilnguard::taostats
