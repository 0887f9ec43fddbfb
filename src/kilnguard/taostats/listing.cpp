// The latest record of every subnet, in one request: the service answers up
// to 1024 rows a page, far more than there are subnets, so no paging is done.
#include "taostats/operations.hpp"

#include "common/json_read.hpp"
#include "common/py.hpp"
#include "names.hpp"
#include "taostats/steps.hpp"
#include "taostats/tally.hpp"

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
    nb::object payload =
        py::call_late_bound(names::with_retries, listing_path(), listing_params(), auth);
    nb::object listing = listing_from(payload);
    note_page(payload);
    return listing;
}

void note_page(const nb::object& payload) {
    static const py::Key pagination{"pagination"};
    FetchTally* tally = detail::current_tally;
    if (!tally || !PyDict_Check(payload.ptr())) return;
    std::optional<nb::object> found = py::member(payload, pagination);
    tally->pagination = found ? *found : nb::none();
    tally->pagination_json.reset();
}

void note_scanned_page(std::optional<std::string_view> pagination_json) {
    FetchTally* tally = detail::current_tally;
    if (!tally) return;
    tally->pagination = nb::none();
    if (pagination_json)
        tally->pagination_json.emplace(*pagination_json);
    else
        tally->pagination_json.reset();
}

nb::object FetchTally::page_pagination() {
    // Decoded once, when a report or a listing check first asks for it: a
    // pass that nobody watches never pays for it.
    if (pagination_json) {
        pagination = json::read(*pagination_json);
        pagination_json.reset();
    }
    return pagination;
}

}  // namespace kilnguard::taostats
