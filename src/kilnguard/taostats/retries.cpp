// Throttled answers are repeated after a growing pause, a bounded number of
// times; every other answer, and every error, ends the loop at once.
#include "taostats/operations.hpp"

#include "common/py.hpp"
#include "names.hpp"
#include "taostats/steps.hpp"
#include "taostats/tally.hpp"

#include <algorithm>

namespace kilnguard::taostats {

namespace {
constexpr double first_pause_seconds = 2.0;
constexpr double pause_growth = 1.8;
constexpr double longest_pause_seconds = 120.0;
}  // namespace

bool is_rate_limited(nb::handle payload_arg) {
    static const py::Key status_code{"status_code"};
    static const py::Key message{"message"};
    // Kept for the life of the process: a static nb::object would be
    // released after the interpreter has gone.
    static PyObject* const too_many_requests = PyLong_FromLong(429);
    nb::dict payload = py::ArgCheck{names::is_rate_limited}.dict("payload", payload_arg);

    // Python's equality: 429 and 429.0 match, "429", True and None do not.
    if (std::optional<nb::object> status = py::member(payload, status_code)) {
        int equal = PyObject_RichCompareBool(status->ptr(), too_many_requests, Py_EQ);
        if (equal < 0) throw nb::python_error();
        if (equal) return true;
    }
    // The service says so in words on some answers, whatever their status.
    std::optional<nb::object> found = py::member(payload, message);
    if (!found) return false;
    nb::str text = py::text_form(*found);
    int contains = PyUnicode_Contains(text.ptr(), nb::str("Rate Limited").ptr());
    if (contains < 0) throw nb::python_error();
    return contains != 0;
}

nb::object with_retries(nb::handle path, nb::handle params, nb::handle auth,
                        nb::handle max_retries_arg) {
    const py::ArgCheck check{names::with_retries};
    check.text("path", path);
    check.dict("params", params);
    check.text("auth", auth);
    const long long max_retries = check.integer("max_retries", max_retries_arg);
    // Without a single attempt there would be no payload to hand back.
    if (max_retries <= 0)
        py::raise(PyExc_ValueError,
                  "with_retries() argument 'max_retries' must be at least 1, not %lld",
                  max_retries);

    nb::str path_text = nb::borrow<nb::str>(path);
    nb::dict params_dict = nb::borrow<nb::dict>(params);
    nb::str auth_text = nb::borrow<nb::str>(auth);
    nb::object http_get_json = py::module_attr(names::http_get_json);
    count_request();
    return retried(http_get_json(path, params, auth), path_text, params_dict, auth_text,
                   max_retries);
}

nb::object retried(nb::object payload, const nb::str& path, const nb::dict& params,
                   const nb::str& auth, long long max_retries) {
    double pause = first_pause_seconds;
    for (long long attempt = 0;; ++attempt) {
        if (attempt > 0) {
            nb::object http_get_json = py::module_attr(names::http_get_json);
            count_request();
            payload = http_get_json(path, params, auth);
        }
        if (!py::truth(py::call_late_bound(names::is_rate_limited, payload))) return payload;
        count_throttled();
        if (attempt == max_retries - 1) return payload;
        py::host_sleep(pause);
        pause = std::min(pause * pause_growth, longest_pause_seconds);
    }
}

}  // namespace kilnguard::taostats
