// The process environment, read afresh at every use: settings may change
// between two calls, and the change takes effect at the next one.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

namespace kilnguard::env {

namespace nb = nanobind;

// The variable's value decoded as os.environ decodes it (the file-system
// encoding, undecodable bytes kept as surrogate escapes); nothing when the
// variable is absent. An empty value is a value. Call with the GIL held.
std::optional<nb::str> text(const char* name);

// A service's base URL: the variable's value, or `fallback` when it is
// absent, with every trailing "/" removed so paths can be appended.
nb::str base_url(const char* name, const char* fallback);

}  // namespace kilnguard::env
