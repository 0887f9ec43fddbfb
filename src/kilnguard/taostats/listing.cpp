// The latest record of every subnet, in one request: the service answers up
// to 1024 rows a page, far more than there are subnets, so no paging is done.
#include "taostats/operations.hpp"

#include "common/py.hpp"
#include "names.hpp"

namespace kilnguard::taostats {

nb::object fetch_all_subnets_latest(nb::handle auth) {
    static const py::Key data{"data"};
    py::ArgCheck{names::fetch_all_subnets_latest}.text("auth", auth);

    nb::dict params;
    params["limit"] = 1024;
    params["order"] = "netuid_asc";
    nb::object payload =
        py::call_late_bound(names::with_retries, nb::str("/api/subnet/latest/v1"), params, auth);
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

}  // namespace kilnguard::taostats
