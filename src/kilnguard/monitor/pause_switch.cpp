// The pause switch: an operator stops monitoring by creating a file. Its
// content is never read; only its presence, tested afresh each time, counts.
#include "monitor/operations.hpp"

#include "common/files.hpp"
#include "common/py.hpp"
#include "names.hpp"

#include <algorithm>
#include <string>

namespace kilnguard::monitor {

bool burn_is_paused(nb::handle pause_path_arg) {
    nb::str pause_path = py::ArgCheck{names::burn_is_paused}.text("pause_path", pause_path_arg);
    // The empty path means there is no pause file: the file system is not
    // touched at all.
    if (nb::len(pause_path) == 0) return false;
    std::string path;
    try {
        path = files::encode_path(pause_path);
    } catch (nb::python_error& error) {
        // A path the file system cannot even be given names no file.
        if (!error.matches(PyExc_ValueError)) throw;
        return false;
    }
    nb::gil_scoped_release unlocked;  // stat() can block on a slow file system
    return files::is_regular_file(path);
}

bool sleep_until_interval(nb::handle interval_arg, nb::handle pause_path_arg) {
    const py::ArgCheck check{names::sleep_until_interval};
    double remaining = check.real("interval_seconds", interval_arg);
    nb::str pause_path = check.text("pause_path", pause_path_arg);
    // Steps of at most a second bound how late a pause is noticed.
    while (remaining > 0) {
        if (py::truth(py::call_late_bound(names::burn_is_paused, pause_path))) return false;
        const double step = std::min(1.0, remaining);
        py::host_sleep(step);
        remaining -= step;
    }
    return !py::truth(py::call_late_bound(names::burn_is_paused, pause_path));
}

}  // namespace kilnguard::monitor
