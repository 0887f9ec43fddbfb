#include "monitor/pass_steps.hpp"

#include "burn/operations.hpp"
#include "common/json_write.hpp"
#include "common/numbers.hpp"
#include "common/py.hpp"
#include "common/send_result.hpp"
#include "names.hpp"
#include "telegram/operations.hpp"

#include <algorithm>
#include <ctime>
#include <string>

namespace kilnguard::monitor {

std::optional<nb::object> taostats_key(PassRecord& record) {
    nb::object auth = py::call_late_bound(names::taostats_auth);
    if (py::truth(auth)) {
        record.key_found(auth);
        return auth;
    }
    static const char* const unavailable =
        "taostats API not available (must be bundled in package defaults)";
    py::host_log(std::string("[burn] ") + unavailable + "\n");
    record.failed("taostats_key", nb::str(unavailable));
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

namespace {
// Logs "<prefix><error object as compact JSON>\n" and returns the text after
// the prefix as one line, both scrubbed: the error object holds what the
// server sent, and a server or proxy may echo the request's Authorization
// header. Both read as host_log and single_line would make them of the
// whole texts, but the JSON text is scrubbed as it is written and only its
// first 8000 characters are kept: escaped, a long text in the object takes
// up to six bytes a character, far more than the object itself. The prefix
// is the module's own words, never a secret, and is written as it is.
nb::str log_error_object(const char* prefix, nb::handle error_object,
                         const scrub::Secrets& secrets) {
    scrub::Stream clean(secrets, py::longest_log_line);
    json::write_compact(error_object, [&](std::string_view piece) { clean.write(piece); });
    clean.finish();
    // Compact JSON is ASCII: its characters are its bytes.
    const std::string& start = clean.kept();
    const std::string_view head(prefix);
    std::string line(head);
    line.append(start, 0, py::longest_log_line - std::min(head.size(), py::longest_log_line));
    nb::str logged = py::single_line(line, head.size() + clean.characters());
    py::host_write(py::steal_or_throw(PyUnicode_Concat(logged.ptr(), nb::str("\n").ptr())));
    return py::single_line(start, clean.characters());
}
}  // namespace

std::optional<taostats::Listing> fetch_rows(nb::handle auth, const char* failure_prefix,
                                            PassRecord& record) {
    static const py::Key error{"error"};
    taostats::Listing listing = taostats::fetch_listing(auth);
    const nb::object& result = listing.result;
    if (PyDict_Check(result.ptr())) {
        std::optional<nb::object> failure = py::member(result, error);
        if (failure && py::truth(*failure)) {
            record.fetch_failed(result, log_error_object(failure_prefix, result, record.secrets()));
            return std::nullopt;
        }
    }
    if (!PyList_Check(result.ptr()))
        py::raise(PyExc_TypeError, "the subnet listing must be a list of rows, not %s",
                  py::type_name_or_none(result));
    return listing;
}

namespace {
bool names_a_subnet(nb::handle key) {
    std::string scratch;
    std::optional<std::string_view> core = py::ascii_core(key, scratch);
    return core && numbers::read_integer(*core);
}
}  // namespace

std::optional<nb::str> subnet_key(nb::handle row) {
    static const py::Key netuid{"netuid"};
    std::optional<nb::object> id = py::member(row, netuid);
    if (!id || id->is_none()) return std::nullopt;
    nb::str key = py::text_form(*id);
    if (!names_a_subnet(key)) return std::nullopt;
    return key;
}

nb::dict rate_map(nb::handle rows) {
    // Walk a copy: owner_burn_from_row is host code and may touch the list.
    nb::list listing = py::steal_or_throw<nb::list>(PySequence_List(rows.ptr()));
    nb::dict current;
    for (nb::handle row : listing) {
        if (!PyDict_Check(row.ptr()))
            py::raise(PyExc_TypeError, "a subnet row must be a dict, not %s",
                      py::type_name_or_none(row));
        std::optional<nb::str> key = subnet_key(row);
        if (!key) continue;
        current[*key] =
            py::call_late_bound<&burn::owner_burn_from_row>(names::owner_burn_from_row, row);
    }
    return current;
}

namespace {
// The rows as the general path would hold them at this point. The scanned
// rows hold the same two fields until a host's code has been handed the full
// rows (a rebound owner_burn_from_row, say, that may have edited them): from
// then on only the full rows tell what the general path would read.
nb::object rows_as_read(const taostats::Listing& listing) {
    if (listing.scanned() && !listing.read_in_full) return listing.result;
    return listing.full_rows();
}
}  // namespace

nb::dict rate_map(const taostats::Listing& listing) {
    if (listing.scanned() && py::is_own(names::owner_burn_from_row)) return rate_map(listing.result);
    return rate_map(listing.full_rows());
}

nb::object snapshot_text(const taostats::Listing& listing, const nb::str& updated_at) {
    const bool scanned_rows_do = listing.scanned() && !listing.read_in_full &&
                                 py::is_own(names::format_burn_snapshot) &&
                                 py::is_own(names::owner_burn_from_row) &&
                                 py::is_own(names::format_owner_burn);
    return py::call_late_bound<&telegram::format_burn_snapshot>(
        names::format_burn_snapshot, scanned_rows_do ? listing.result : listing.full_rows(),
        updated_at);
}

bool listing_refused(const taostats::Listing& listing, nb::handle stored,
                     const char* failure_prefix, PassRecord& record) {
    static const py::Key incentive_burn{"incentive_burn"};
    nb::object check = py::module_attr(names::burn_check_listing);
    if (py::is_own(names::burn_check_listing, check)) return false;

    // A snapshot of what the rate map was built from: new tuples of keys and
    // values, so the check can neither change the rows nor be surprised by
    // a row that changes under it.
    nb::list rows;
    nb::list walked = py::steal_or_throw<nb::list>(PySequence_List(rows_as_read(listing).ptr()));
    for (nb::handle row : walked) {
        if (!PyDict_Check(row.ptr())) continue;
        std::optional<nb::str> key = subnet_key(row);
        std::optional<nb::object> burn = py::member(row, incentive_burn);
        rows.append(nb::make_tuple(key ? nb::object(*key) : nb::none(),
                                   burn ? *burn : nb::none()));
    }
    nb::object reason = check(rows, record.pagination(), stored);
    if (reason.is_none()) return false;
    // An empty reason ("", [], {}) is no reason.
    PyTypeObject* type = Py_TYPE(reason.ptr());
    if ((type->tp_as_sequence && type->tp_as_sequence->sq_length) ||
        (type->tp_as_mapping && type->tp_as_mapping->mp_length)) {
        const Py_ssize_t length = PyObject_Length(reason.ptr());
        if (length < 0) throw nb::python_error();
        if (length == 0) return false;
    }
    nb::dict refusal;
    refusal["error"] = "listing_looks_wrong";
    refusal["reason"] = py::text_form(reason);
    record.failed("listing", log_error_object(failure_prefix, refusal, record.secrets()));
    return true;
}

nb::int_ send_and_log(nb::handle text, nb::handle token, nb::handle chat_id,
                      const std::string& sent_line, const char* failure_prefix,
                      PassRecord& record) {
    send_result::Outcome sent = send_result::read(
        py::call_late_bound(names::send_burn_telegram_messages, text, token, chat_id));
    if (sent.ok) {
        py::host_log(sent_line);
        return nb::int_(0);
    }
    record.failed("delivery",
                  py::single_line(log_with_text(failure_prefix, sent.error, record.secrets())));
    return nb::int_(1);
}

nb::str log_with_text(const char* prefix, nb::handle value, const scrub::Secrets& secrets) {
    nb::str text = secrets.text(py::text_form(value));
    py::host_log(py::steal_or_throw(PyUnicode_FromFormat("%s%U\n", prefix, text.ptr())));
    return text;
}

}  // namespace kilnguard::monitor
