#include "monitor/pass_steps.hpp"

#include "common/json_write.hpp"
#include "common/numbers.hpp"
#include "common/py.hpp"
#include "burn/operations.hpp"
#include "telegram/operations.hpp"
#include "names.hpp"

#include <ctime>
#include <string>

namespace kilnguard::monitor {

std::optional<nb::object> taostats_key() {
    nb::object auth = py::call_late_bound(names::taostats_auth);
    if (py::truth(auth)) return auth;
    py::host_log("[burn] taostats API not available (must be bundled in package defaults)\n");
    return std::nullopt;
}

nb::str pass_timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return nb::str(text, length);
}

namespace {
// The error object holds what the server sent, and a server or proxy may echo
// the request's Authorization header in its error page: the key is blotted
// out of the line, in the escaped form the line would show it in. Keys too
// short to be real ones are left alone, as the HTTP client does.
void blot_key(std::string& line, nb::handle auth) {
    if (!PyUnicode_Check(auth.ptr())) return;
    std::string key = json::write_compact(auth);
    key = key.substr(1, key.size() - 2);  // without the quotation marks
    if (key.size() < 8) return;
    for (std::size_t at = line.find(key); at != line.npos; at = line.find(key, at))
        line.replace(at, key.size(), "...");
}
}  // namespace

std::optional<taostats::Listing> fetch_rows(nb::handle auth, const char* failure_prefix) {
    static const py::Key error{"error"};
    taostats::Listing listing = taostats::fetch_listing(auth);
    const nb::object& result = listing.result;
    if (PyDict_Check(result.ptr())) {
        std::optional<nb::object> failure = py::member(result, error);
        if (failure && py::truth(*failure)) {
            std::string line = failure_prefix + json::write_compact(result) + "\n";
            blot_key(line, auth);
            py::host_log(line);
            return std::nullopt;
        }
    }
    if (!PyList_Check(result.ptr()))
        py::raise(PyExc_TypeError, "the subnet listing must be a list of rows, not %s",
                  result.is_none() ? "None" : Py_TYPE(result.ptr())->tp_name);
    return listing;
}

namespace {
bool names_a_subnet(nb::handle key) {
    std::string scratch;
    std::optional<std::string_view> core = py::ascii_core(key, scratch);
    return core && numbers::read_integer(*core);
}
}  // namespace

nb::dict rate_map(nb::handle rows) {
    static const py::Key netuid{"netuid"};
    // Walk a copy: owner_burn_from_row is host code and may touch the list.
    nb::list listing = nb::steal<nb::list>(PySequence_List(rows.ptr()));
    if (!listing.is_valid()) throw nb::python_error();
    nb::dict current;
    for (nb::handle row : listing) {
        if (!PyDict_Check(row.ptr()))
            py::raise(PyExc_TypeError, "a subnet row must be a dict, not %s",
                      row.is_none() ? "None" : Py_TYPE(row.ptr())->tp_name);
        std::optional<nb::object> id = py::member(row, netuid);
        if (!id || id->is_none()) continue;
        nb::str key = py::text_form(*id);
        if (!names_a_subnet(key)) continue;
        current[key] =
            py::call_late_bound<&burn::owner_burn_from_row>(names::owner_burn_from_row, row);
    }
    return current;
}

nb::dict rate_map(const taostats::Listing& listing) {
    if (listing.scanned() && py::is_own(names::owner_burn_from_row)) return rate_map(listing.result);
    return rate_map(listing.full_rows());
}

nb::object snapshot_text(const taostats::Listing& listing, const nb::str& updated_at) {
    const bool scanned_rows_do = listing.scanned() && py::is_own(names::format_burn_snapshot) &&
                                 py::is_own(names::owner_burn_from_row) &&
                                 py::is_own(names::format_owner_burn);
    return py::call_late_bound<&telegram::format_burn_snapshot>(
        names::format_burn_snapshot, scanned_rows_do ? listing.result : listing.full_rows(),
        updated_at);
}

std::pair<bool, nb::object> unpack_send_result(nb::handle result) {
    nb::object members = nb::steal(PySequence_Tuple(result.ptr()));
    if (!members.is_valid()) throw nb::python_error();
    const Py_ssize_t count = PyTuple_GET_SIZE(members.ptr());
    if (count != 2)
        py::raise(PyExc_ValueError, "a delivery result must be (ok, error), got %zd values", count);
    nb::object ok = nb::borrow(PyTuple_GET_ITEM(members.ptr(), 0));
    return {py::truth(ok), nb::borrow(PyTuple_GET_ITEM(members.ptr(), 1))};
}

void log_with_text(const char* prefix, nb::handle value) {
    nb::str text = py::text_form(value);
    nb::object line = nb::steal(PyUnicode_FromFormat("%s%U\n", prefix, text.ptr()));
    if (!line.is_valid()) throw nb::python_error();
    py::host_log(line);
}

}  // namespace kilnguard::monitor
