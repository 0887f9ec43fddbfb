#include "common/env.hpp"

#include "common/py.hpp"

#include <cstdlib>

namespace kilnguard::env {

std::optional<nb::str> text(const char* name) {
    // The GIL serialises this with os.environ's own putenv calls.
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return py::steal_or_throw<nb::str>(PyUnicode_DecodeFSDefault(value));
}

nb::str base_url(const char* name, const char* fallback) {
    std::optional<nb::str> base = text(name);
    if (!base) return nb::str(fallback);
    return py::steal_or_throw<nb::str>(PyObject_CallMethod(base->ptr(), "rstrip", "s", "/"));
}

}  // namespace kilnguard::env
