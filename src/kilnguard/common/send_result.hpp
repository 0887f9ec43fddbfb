// A delivery's outcome as operations hand it back and read it: the pair
// (ok, error), (True, "") for success.
#pragma once

#include <nanobind/nanobind.h>

namespace kilnguard::send_result {

namespace nb = nanobind;

nb::tuple succeeded();
nb::tuple failed(nb::handle error);

struct Outcome {
    bool ok;          // the truth of the first member
    nb::object error;
};

// The two members of a delivery result (any sequence of exactly two, as a
// rebound operation may give); anything else raises.
Outcome read(nb::handle result);

}  // namespace kilnguard::send_result
