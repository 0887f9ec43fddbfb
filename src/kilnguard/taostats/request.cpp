// One authenticated GET against the Taostats API, answered with the decoded
// object or with an error object that describes an HTTP error status or a
// body that is not JSON. Transport failures escape as errors.
#include "taostats/operations.hpp"

#include "common/http.hpp"
#include "common/json_read.hpp"
#include "common/py.hpp"
#include "common/utf8.hpp"
#include "names.hpp"

#include <string>

namespace kilnguard::taostats {

namespace {

constexpr long request_timeout_seconds = 60;
// A body that is not JSON is handed back in part only: enough to see what
// the server sent (an HTML challenge page, say), not a whole document.
constexpr Py_ssize_t raw_excerpt_length = 500;

// key=value pairs in the order given, nothing escaped: the callers pass
// plain identifiers and numbers. None and "" leave the pair out; 0 stays.
std::string query_string(nb::dict params) {
    std::string query;
    // A snapshot of the pairs: rendering an unusual value runs its __str__,
    // which must not be able to change the dict under the walk.
    for (nb::handle item : params.items()) {
        nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
        nb::handle value = PyTuple_GET_ITEM(item.ptr(), 1);
        if (value.is_none()) continue;
        if (PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) == 0) continue;
        if (!query.empty()) query += '&';
        query += py::utf8(py::text_form(key));
        query += '=';
        query += py::utf8(py::text_form(value));
    }
    return query;
}

// What another operation (maybe one a host bound in its place) gave back
// must be text to go on the wire.
std::string_view text_result(const char* operation, nb::handle value) {
    if (!PyUnicode_Check(value.ptr()))
        py::raise(PyExc_TypeError, "%s() must return str, not %s", operation,
                  Py_TYPE(value.ptr())->tp_name);
    return py::utf8(value);
}

std::vector<std::pair<std::string, std::string>> header_pairs(nb::handle headers) {
    if (!PyDict_Check(headers.ptr()))
        py::raise(PyExc_TypeError, "%s() must return dict, not %s", names::request_headers.name,
                  Py_TYPE(headers.ptr())->tp_name);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (auto [name, value] : nb::borrow<nb::dict>(headers))
        pairs.emplace_back(text_result(names::request_headers.name, name),
                           text_result(names::request_headers.name, value));
    return pairs;
}

// The message Python's own JSON callers give for a document of the wrong
// kind, with the kind named as type(x).__name__ names it.
[[noreturn]] void raise_not_object(nb::handle value) {
    nb::object name = nb::steal(PyType_GetName(Py_TYPE(value.ptr())));
    if (!name.is_valid()) throw nb::python_error();
    py::raise(PyExc_TypeError, "Expected %s, got %.200U", "dict", name.ptr());
}

nb::object success_payload(const std::string& body) {
    try {
        nb::object value = json::read(body);
        if (value.is_none() || PyDict_Check(value.ptr())) return value;
        raise_not_object(value);
    } catch (const json::SyntaxError& error) {
        nb::str text = py::str_from_utf8(body);
        PyObject* raw = PyUnicode_Substring(text.ptr(), 0, raw_excerpt_length);
        if (!raw) throw nb::python_error();
        nb::dict payload;
        payload["parse_error"] = nb::str(error.what());
        payload["raw"] = nb::steal(raw);
        return payload;
    }
}

nb::dict error_payload(const http::Response& response) {
    nb::int_ status(response.status);
    nb::object decoded;
    try {
        decoded = json::read(response.body);
    } catch (const json::SyntaxError&) {
        nb::dict payload;
        payload["status_code"] = status;
        if (!response.body.empty()) {
            payload["message"] = py::str_from_utf8(response.body);
        } else {
            // Status lines are ISO-8859-1, as Python's http.client reads them.
            PyObject* reason = PyUnicode_DecodeLatin1(
                response.reason.data(), static_cast<Py_ssize_t>(response.reason.size()), nullptr);
            if (!reason) throw nb::python_error();
            payload["message"] = nb::steal(reason);
        }
        decoded = std::move(payload);
    }
    if (!PyDict_Check(decoded.ptr())) raise_not_object(decoded);
    // An existing http_status keeps its place and takes the real status.
    nb::dict payload = nb::borrow<nb::dict>(decoded);
    payload["http_status"] = status;
    return payload;
}

}  // namespace

nb::object http_get_json(nb::handle path_arg, nb::handle params_arg, nb::handle auth_arg) {
    const py::ArgCheck check{names::http_get_json};
    nb::str path = check.text("path", path_arg);
    nb::dict params = check.dict("params", params_arg);
    nb::str auth = check.text("auth", auth_arg);

    http::Request request;
    request.method = http::Request::Method::get;
    request.url = text_result(names::api_base.name, py::call_late_bound(names::api_base));
    request.url += py::utf8(path);
    if (std::string query = query_string(params); !query.empty()) {
        request.url += '?';
        request.url += query;
    }
    request.headers = header_pairs(py::call_late_bound(names::request_headers, auth));
    request.timeout_seconds = request_timeout_seconds;

    const http::Response response = http::perform(request);
    // Both kinds of body must be strict UTF-8; a bad byte is an error, never
    // a replacement character.
    utf8::require(response.body);
    if (response.status >= 200 && response.status <= 299) return success_payload(response.body);
    return error_payload(response);
}

}  // namespace kilnguard::taostats
