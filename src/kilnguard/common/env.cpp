#include "common/env.hpp"

#include <cstdlib>

namespace kilnguard::env {

std::optional<nb::str> text(const char* name) {
    // The GIL serialises this with os.environ's own putenv calls.
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    PyObject* decoded = PyUnicode_DecodeFSDefault(value);
    if (!decoded) throw nb::python_error();
    return nb::steal<nb::str>(decoded);
}

nb::str base_url(const char* name, const char* fallback) {
    std::optional<nb::str> base = text(name);
    if (!base) return nb::str(fallback);
    PyObject* trimmed = PyObject_CallMethod(base->ptr(), "rstrip", "s", "/");
    if (!trimmed) throw nb::python_error();
    return nb::steal<nb::str>(trimmed);
}

}  // namespace kilnguard::env
