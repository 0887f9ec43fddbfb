// The two JSON encodings of the system. Both escape every character outside
// printable ASCII as \u with lowercase hex (surrogate pairs above U+FFFF),
// write reals in their shortest round-trip text and non-finite reals as NaN,
// Infinity and -Infinity, and raise TypeError for a value with no JSON form.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string>
#include <string_view>

namespace kilnguard::json {

namespace nb = nanobind;

// One line, members in stored order, ", " and ": " as separators.
std::string write_compact(nb::handle value);

// The same text handed to `sink` in pieces of about 64 KiB as it is
// written, so a value whose text would be huge (a long text beyond ASCII
// takes six bytes a character) is never held whole. On an error the sink
// may have had part of the text.
void write_compact(nb::handle value, const std::function<void(std::string_view)>& sink);

// The state-file layout: two-space indentation, one member per line, names
// sorted by code point at every level, empty containers as {} and [].
// No final line feed.
std::string write_indented_sorted(nb::handle value);

}  // namespace kilnguard::json
