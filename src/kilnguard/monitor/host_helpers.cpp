// The module's own rules for secrets and log lines, offered to the host so
// that its lines and texts follow them without a second copy in Python.
#include "monitor/operations.hpp"

#include "common/py.hpp"
#include "common/scrub.hpp"
#include "names.hpp"

namespace kilnguard::monitor {

nb::str scrub_secrets(nb::handle text_arg, nb::handle secrets_arg) {
    const py::ArgCheck check{names::scrub_secrets};
    nb::str text = check.text("text", text_arg);
    nb::list given = check.list("secrets", secrets_arg);
    scrub::Secrets secrets;
    for (nb::handle secret : given) {
        if (!PyUnicode_Check(secret.ptr()))
            py::raise(PyExc_TypeError, "%s() argument 'secrets' must be a list of str, not one "
                      "holding %s", names::scrub_secrets.name, py::type_name_or_none(secret));
    }
    for (nb::handle secret : given) secrets.add(secret);
    return secrets.text(text);
}

void log_line(nb::handle text_arg) {
    nb::str text = py::ArgCheck{names::log_line}.text("text", text_arg);
    py::host_log(py::steal_or_throw(PyUnicode_Concat(text.ptr(), nb::str("\n").ptr())));
}

}  // namespace kilnguard::monitor
