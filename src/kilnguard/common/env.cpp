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

}  // namespace kilnguard::env
