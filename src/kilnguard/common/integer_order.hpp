// Stable ordering of values by the whole number each stands for, as
// py::integer_value reads it (netuids: 7, "07", "+7" and 7.0 are all 7).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

namespace kilnguard::py {

namespace nb = nanobind;

// The positions of `values` in ascending order of their whole numbers; equal
// numbers keep their order. An invalid handle counts as 0. The values are
// read in order, so the first one that is no whole number raises what
// integer_value raises for it.
std::vector<std::size_t> integer_order(const std::vector<nb::handle>& values);

}  // namespace kilnguard::py
