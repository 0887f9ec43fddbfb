#include "monitor/pass_steps.hpp"

#include "common/json_write.hpp"
#include "common/numbers.hpp"
#include "common/py.hpp"
#include "common/send_result.hpp"
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

scrub::Secrets pass_secrets(nb::handle auth, nb::handle token) {
    scrub::Secrets secrets;
    secrets.add(auth);
    secrets.add(token);
    return secrets;
}

std::optional<nb::list> fetch_rows(nb::handle auth, const char* failure_prefix,
                                   const scrub::Secrets& secrets) {
    static const py::Key error{"error"};
    nb::object result = py::call_late_bound(names::fetch_all_subnets_latest, auth);
    if (PyDict_Check(result.ptr())) {
        std::optional<nb::object> failure = py::member(result, error);
        if (failure && py::truth(*failure)) {
            // The error object holds what the server sent, and a server or
            // proxy may echo the request's Authorization header.
            py::host_log(secrets.text(failure_prefix + json::write_compact(result) + "\n"));
            return std::nullopt;
        }
    }
    if (!PyList_Check(result.ptr()))
        py::raise(PyExc_TypeError, "the subnet listing must be a list of rows, not %s",
                  py::type_name_or_none(result));
    return nb::borrow<nb::list>(result);
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
    nb::list listing = py::steal_or_throw<nb::list>(PySequence_List(rows.ptr()));
    nb::dict current;
    for (nb::handle row : listing) {
        if (!PyDict_Check(row.ptr()))
            py::raise(PyExc_TypeError, "a subnet row must be a dict, not %s",
                      py::type_name_or_none(row));
        std::optional<nb::object> id = py::member(row, netuid);
        if (!id || id->is_none()) continue;
        nb::str key = py::text_form(*id);
        if (!names_a_subnet(key)) continue;
        current[key] = py::call_late_bound(names::owner_burn_from_row, row);
    }
    return current;
}

nb::int_ send_and_log(nb::handle text, nb::handle token, nb::handle chat_id,
                      const std::string& sent_line, const char* failure_prefix,
                      const scrub::Secrets& secrets) {
    send_result::Outcome sent = send_result::read(
        py::call_late_bound(names::send_burn_telegram_messages, text, token, chat_id));
    if (sent.ok) {
        py::host_log(sent_line);
        return nb::int_(0);
    }
    log_with_text(failure_prefix, sent.error, secrets);
    return nb::int_(1);
}

void log_with_text(const char* prefix, nb::handle value, const scrub::Secrets& secrets) {
    nb::str text = secrets.text(py::text_form(value));
    py::host_log(py::steal_or_throw(PyUnicode_FromFormat("%s%U\n", prefix, text.ptr())));
}

}  // namespace kilnguard::monitor
