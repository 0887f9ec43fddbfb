// One authenticated GET against the Taostats API, answered with the decoded
// object or with an error object that describes an HTTP error status or a
// body that is not JSON. Transport failures escape as errors.
#include "taostats/operations.hpp"

#include "common/http.hpp"
#include "common/json_read.hpp"
#include "common/py.hpp"
#include "common/scrub.hpp"
#include "common/utf8.hpp"
#include "names.hpp"
#include "taostats/steps.hpp"

#include <string>

namespace kilnguard::taostats {

namespace {

constexpr long request_timeout_seconds = 60;
// A body that is not JSON is handed back in part only: enough to see what
// the server sent (an HTML challenge page, say), not a whole document.
constexpr Py_ssize_t raw_excerpt_length = 500;
// Real error answers are a few hundred bytes. One past this is kept in part
// only, and not decoded even when it is JSON: whole, a 64 MiB error page
// would be a str of up to 256 MiB (four bytes a character once one is
// beyond Latin-1) in the error object, and every pass that logs it would
// pay for that again.
constexpr std::size_t longest_error_body = std::size_t{1} << 20;

// The UTF-8 of a text headed for the wire. A text that UTF-8 cannot carry (a
// lone surrogate, as an environment value that is not UTF-8 gives) is refused
// with `what` named, never quoted: it may be the key.
std::string_view wire_bytes(nb::handle text, const char* what) {
    std::string where;
    std::optional<std::string_view> bytes = utf8::encode(text, where);
    if (!bytes)
        py::raise(PyExc_ValueError, "%s cannot be encoded as UTF-8 (%s)", what, where.c_str());
    return *bytes;
}

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
        query += wire_bytes(py::text_form(key), "http_get_json() argument 'params'");
        query += '=';
        query += wire_bytes(py::text_form(value), "http_get_json() argument 'params'");
    }
    return query;
}

// What another operation (maybe one a host bound in its place) gave back
// must be text to go on the wire; `what` names it, and the setting it comes
// from, should it not encode.
std::string_view text_result(const char* operation, nb::handle value, const char* what) {
    if (!PyUnicode_Check(value.ptr()))
        py::raise(PyExc_TypeError, "%s() must return str, not %s", operation,
                  Py_TYPE(value.ptr())->tp_name);
    return wire_bytes(value, what);
}

// Where the value of a request header comes from, for error texts.
std::string header_origin(std::string_view name) {
    std::string origin = std::string("request_headers() value of '") + std::string(name) + "'";
    if (name == "Authorization") origin += " (TAOSTATS_API_KEY)";
    if (name == "User-Agent") origin += " (TAOSTATS_USER_AGENT)";
    return origin;
}

std::vector<std::pair<std::string, std::string>> header_pairs(nb::handle headers) {
    const char* operation = names::request_headers.name;
    if (!PyDict_Check(headers.ptr()))
        py::raise(PyExc_TypeError, "%s() must return dict, not %s", operation,
                  Py_TYPE(headers.ptr())->tp_name);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (auto [name, value] : nb::borrow<nb::dict>(headers)) {
        std::string header(text_result(operation, name, "request_headers() header name"));
        std::string origin = header_origin(header);
        pairs.emplace_back(std::move(header), text_result(operation, value, origin.c_str()));
    }
    return pairs;
}

// The message Python's own JSON callers give for a document of the wrong
// kind, with the kind named as type(x).__name__ names it.
[[noreturn]] void raise_not_object(nb::handle value) {
    nb::object name = py::steal_or_throw(PyType_GetName(Py_TYPE(value.ptr())));
    py::raise(PyExc_TypeError, "Expected %s, got %.200U", "dict", name.ptr());
}

// The scrubbed text the excerpt of an undecodable body is cut from. A long
// body is not made into one str and scrubbed in copies (up to four bytes a
// character each, for a 64 MiB body): the scrubbed form of a prefix agrees
// with the whole body's in all but its last secrets.reach() bytes, so a
// prefix that leaves room for the excerpt's characters (at most four bytes
// each) gives the same excerpt.
nb::str excerpt_source(const std::string& body, const scrub::Secrets& secrets) {
    const std::size_t wanted = secrets.reach() + 4 * static_cast<std::size_t>(raw_excerpt_length);
    for (std::size_t prefix = 64 * 1024; prefix < body.size(); prefix *= 4) {
        std::size_t cut = prefix;
        while (cut > 0 && (static_cast<unsigned char>(body[cut]) & 0xC0) == 0x80) --cut;
        const std::string clean = secrets.text(body.substr(0, cut));
        if (clean.size() >= wanted)
            return py::steal_or_throw<nb::str>(PyUnicode_DecodeUTF8(
                clean.data(), static_cast<Py_ssize_t>(clean.size()), "surrogatepass"));
    }
    return secrets.text(py::str_from_utf8(body));
}

nb::object success_payload(const std::string& body, const scrub::Secrets& secrets) {
    try {
        nb::object value = json::read(body);
        if (value.is_none() || PyDict_Check(value.ptr())) return value;
        raise_not_object(value);
    } catch (const json::SyntaxError& error) {
        // Scrubbed before the cut, so the cut cannot leave part of the key.
        nb::str text = excerpt_source(body, secrets);
        nb::dict payload;
        payload["parse_error"] = nb::str(error.what());
        payload["raw"] = py::steal_or_throw(PyUnicode_Substring(text.ptr(), 0, raw_excerpt_length));
        return payload;
    }
}

// The message of an error answer too long to keep: its first whole
// characters within longest_error_body bytes, scrubbed before the cut (so no
// part of a secret is left at the end), then "… (N more characters)" with N
// counted on the whole body scrubbed, as a long log line is cut. The body is
// scrubbed in pieces and never becomes one str.
nb::str error_body_start(const std::string& body, const scrub::Secrets& secrets) {
    scrub::Stream clean(secrets, longest_error_body);
    constexpr std::size_t piece = 64 * 1024;
    for (std::size_t at = 0; at < body.size(); at += piece)
        clean.write(std::string_view(body).substr(at, piece));
    clean.finish();
    std::string message = clean.kept();
    if (const std::size_t more = clean.characters() - clean.kept_characters(); more > 0)
        message += "\u2026 (" + std::to_string(more) + " more characters)";
    return py::steal_or_throw<nb::str>(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass"));
}

// An error page may echo the request's headers, the key among them: the
// object handed back holds no text that shows it.
nb::dict error_payload(const http::Response& response, const scrub::Secrets& secrets) {
    nb::int_ status(response.status);
    nb::object decoded;
    auto as_text = [&] {
        nb::dict payload;
        payload["status_code"] = status;
        if (response.body.size() > longest_error_body)
            payload["message"] = error_body_start(response.body, secrets);
        else
            payload["message"] = secrets.text(response.body.empty()
                                                  ? response.reason_text()
                                                  : py::str_from_utf8(response.body));
        return payload;
    };
    if (response.body.size() > longest_error_body) {
        decoded = as_text();
    } else {
        try {
            decoded = secrets.json_value(json::read(response.body));
        } catch (const json::SyntaxError&) {
            decoded = as_text();
        }
    }
    if (!PyDict_Check(decoded.ptr())) raise_not_object(decoded);
    // An existing http_status keeps its place and takes the real status.
    nb::dict payload = nb::borrow<nb::dict>(decoded);
    payload["http_status"] = status;
    return payload;
}

}  // namespace

http::Request get_request(const nb::str& path, const nb::dict& params, const nb::str& auth) {
    http::Request request;
    request.method = http::Request::Method::get;
    request.url = text_result(names::api_base.name, py::call_late_bound(names::api_base),
                              "api_base() (TAOSTATS_API_BASE)");
    request.url += wire_bytes(path, "http_get_json() argument 'path'");
    if (std::string query = query_string(params); !query.empty()) {
        request.url += '?';
        request.url += query;
    }
    request.headers = header_pairs(py::call_late_bound(names::request_headers, auth));
    request.timeout_seconds = request_timeout_seconds;
    return request;
}

nb::object payload_of(const http::Response& response, const nb::str& auth) {
    // Both kinds of body must be strict UTF-8; a bad byte is an error, never
    // a replacement character.
    utf8::require(response.body);
    scrub::Secrets secrets;
    secrets.add(auth);
    if (response.succeeded()) return success_payload(response.body, secrets);
    return error_payload(response, secrets);
}

nb::object http_get_json(nb::handle path_arg, nb::handle params_arg, nb::handle auth_arg) {
    const py::ArgCheck check{names::http_get_json};
    nb::str path = check.text("path", path_arg);
    nb::dict params = check.dict("params", params_arg);
    nb::str auth = check.text("auth", auth_arg);
    return payload_of(http::perform(get_request(path, params, auth)), auth);
}

}  // namespace kilnguard::taostats
