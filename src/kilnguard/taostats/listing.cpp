// The latest record of every subnet, in one request: the service answers up
// to 1024 rows a page, far more than there are subnets, so no paging is done.
#include "taostats/operations.hpp"

#include "common/py.hpp"
#include "names.hpp"
#include "taostats/steps.hpp"

namespace kilnguard::taostats {

nb::str listing_path() { return nb::str("/api/subnet/latest/v1"); }

nb::dict listing_params() {
    nb::dict params;
    params["limit"] = 1024;
    params["order"] = "netuid_asc";
    return params;
}

nb::object listing_from(const nb::object& payload) {
    static const py::Key data{"data"};
    if (!PyDict_Check(payload.ptr()))
        py::raise(PyExc_TypeError, "%s() must return dict, not %s", names::with_retries.name,
                  Py_TYPE(payload.ptr())->tp_name);

    // Absent, null, false, zero and empty all mean the answer had no rows.
    std::optional<nb::object> rows = py::member(payload, data);
    if (rows && py::truth(*rows)) return *rows;
    nb::dict listing_error;
    listing_error["error"] = "no_subnet_rows";
    listing_error["response"] = payload;
    return listing_error;
}

nb::object fetch_all_subnets_latest(nb::handle auth) {
    py::ArgCheck{names::fetch_all_subnets_latest}.text("auth", auth);
    return listing_from(
        py::call_late_bound(names::with_retries, listing_path(), listing_params(), auth));
}

}  // namespace kilnguard::taostats
