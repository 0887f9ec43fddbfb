// Delivery through the Bot API's sendMessage. Every outcome of the outside
// world comes back as a SendResult (ok, error); only replies that break the
// API's own format, and interrupts, raise.
//
// The bot token is part of the URL path, so it is kept out of every text
// handed back, whatever produced that text.
#include "telegram/operations.hpp"

#include "common/env.hpp"
#include "common/form_encoding.hpp"
#include "common/http.hpp"
#include "common/json_read.hpp"
#include "common/py.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kilnguard::telegram {

namespace {

constexpr long request_timeout_seconds = 30;
// An error reply without a usable description is shown in part: enough to
// tell what came back without pasting a whole document into a log line.
constexpr Py_ssize_t reply_excerpt_length = 300;
// Pieces of one text follow each other closely, but not back to back: the
// Bot API throttles bursts to one chat.
constexpr double pause_between_pieces = 0.4;

nb::tuple succeeded() { return nb::make_tuple(true, nb::str("")); }
nb::tuple failed(nb::handle error) { return nb::make_tuple(false, error); }

// Every occurrence of the token in a text blotted out. Servers and proxies
// do echo request paths in their error pages.
nb::object without_token(nb::handle text, const nb::str& token) {
    if (!PyUnicode_Check(text.ptr())) return nb::borrow(text);
    PyObject* clean = PyUnicode_Replace(text.ptr(), token.ptr(), nb::str("...").ptr(), -1);
    if (!clean) throw nb::python_error();
    return nb::steal(clean);
}

// The bytes of a str headed for the URL. A lone surrogate cannot be text on
// the wire; passing it as its raw bytes lets http::perform refuse the URL
// like any other character outside printable ASCII, without an encoding
// error that would quote part of the token.
std::string url_bytes(const nb::str& text) {
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!bytes.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

// A self-hosted Bot API server (or a test) may stand in for the public one.
std::string api_base() {
    std::optional<nb::str> configured = env::text("TELEGRAM_API_BASE");
    std::string base = configured ? url_bytes(*configured) : "https://api.telegram.org";
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

bool transport_failure(const nb::python_error& error) {
    return error.matches(PyExc_ValueError) || error.matches(PyExc_TimeoutError) ||
           error.matches(PyExc_ConnectionError);
}

nb::object json_object(const std::string& body, const char* what) {
    nb::object value = json::read(body);
    if (!PyDict_Check(value.ptr()))
        py::raise(PyExc_TypeError, "sendMessage %s must be a JSON object, not %s", what,
                  value.is_none() ? "null" : Py_TYPE(value.ptr())->tp_name);
    return value;
}

nb::tuple reply_result(const http::Response& response, const nb::str& token) {
    static const py::Key ok_key{"ok"};
    nb::object reply;
    try {
        reply = json_object(response.body, "reply");
    } catch (const json::SyntaxError& error) {
        py::raise(PyExc_ValueError, "sendMessage reply (HTTP %ld) is not JSON: %s",
                  response.status, error.what());
    }
    nb::handle ok = py::member(reply, ok_key);
    if (ok.is_valid() && py::truth(ok)) return succeeded();
    return failed(without_token(py::text_form(reply), token));
}

nb::tuple error_reply_result(const http::Response& response, const nb::str& token) {
    static const py::Key description_key{"description"};
    nb::str body = py::str_from_utf8(response.body);
    nb::object reply;
    try {
        reply = json_object(response.body, "error reply");
    } catch (const json::SyntaxError&) {
        if (!response.body.empty()) return failed(without_token(body, token));
        // Nothing to quote but the status line, worded as urllib words it.
        nb::object reason = nb::steal(PyUnicode_DecodeLatin1(
            response.reason.data(), static_cast<Py_ssize_t>(response.reason.size()), nullptr));
        if (!reason.is_valid()) throw nb::python_error();
        nb::object text =
            nb::steal(PyUnicode_FromFormat("HTTP Error %ld: %U", response.status, reason.ptr()));
        if (!text.is_valid()) throw nb::python_error();
        return failed(without_token(text, token));
    }
    nb::handle description = py::member(reply, description_key);
    if (description.is_valid() && py::truth(description))
        return failed(without_token(nb::borrow(description), token));
    nb::object excerpt = nb::steal(PyUnicode_Substring(body.ptr(), 0, reply_excerpt_length));
    if (!excerpt.is_valid()) throw nb::python_error();
    return failed(without_token(excerpt, token));
}

}  // namespace

namespace {

// What send_telegram_message adds to the three fields every message carries.
struct Options {
    std::optional<std::string> message_thread_id;  // decimal digits
    bool disable_notification = false;
};

// A forum topic's id: a whole number above zero, written in decimal. Anything
// else is refused before a request is made, so a typo in a topic never posts
// into the group's general thread instead.
std::optional<std::string> thread_id(const char* operation, nb::handle value) {
    if (value.is_none()) return std::nullopt;
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
        int sign = PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_GT);
        if (sign < 0) throw nb::python_error();
        if (sign) return py::decimal_text(value);
    }
    py::raise(PyExc_ValueError,
              "%s() argument 'message_thread_id' must be a whole number above zero, not %R",
              operation, value.ptr());
}

nb::tuple deliver(const py::ArgCheck& check, nb::handle text_arg, nb::handle token_arg,
                  nb::handle chat_id_arg, const Options& options) {
    nb::str text = check.text("text", text_arg);
    nb::str token = check.text("token", token_arg);
    nb::str chat_id = check.text("chat_id", chat_id_arg);
    if (PyUnicode_GET_LENGTH(token.ptr()) == 0 || PyUnicode_GET_LENGTH(chat_id.ptr()) == 0)
        return failed(nb::str("burn telegram not configured"));

    http::Request request;
    request.method = http::Request::Method::post;
    // The token goes in as it is: the Bot API takes it in the path unescaped.
    request.url = api_base() + "/bot" + url_bytes(token) + "/sendMessage";
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    std::vector<form::Field> fields{{"chat_id", py::utf8(chat_id)},
                                    {"text", py::utf8(text)},
                                    {"disable_web_page_preview", "true"}};
    if (options.message_thread_id) fields.emplace_back("message_thread_id", *options.message_thread_id);
    if (options.disable_notification) fields.emplace_back("disable_notification", "true");
    request.body = form::encode(fields);
    request.timeout_seconds = request_timeout_seconds;

    http::Response response;
    try {
        response = http::perform(request);
    } catch (nb::python_error& error) {
        // A URL that cannot be used, a time-out or any other transport
        // failure is an outcome to report; an interrupt is not.
        if (!transport_failure(error)) throw;
        return failed(without_token(py::text_form(error.value()), token));
    }
    // Both kinds of reply must be strict UTF-8: a bad byte is an error, never
    // a replacement character.
    json::require_utf8(response.body);
    if (response.status >= 200 && response.status <= 299) return reply_result(response, token);
    return error_reply_result(response, token);
}

}  // namespace

nb::tuple send_burn_telegram(nb::handle text, nb::handle token, nb::handle chat_id) {
    return deliver(py::ArgCheck{"send_burn_telegram"}, text, token, chat_id, Options{});
}

nb::tuple send_telegram_message(nb::handle text, nb::handle token, nb::handle chat_id,
                                nb::handle message_thread_id, nb::handle disable_notification) {
    const char* operation = "send_telegram_message";
    const py::ArgCheck check{operation};
    // Every argument is checked before anything is sent, the options included.
    check.text("text", text);
    check.text("token", token);
    check.text("chat_id", chat_id);
    Options options;
    options.message_thread_id = thread_id(operation, message_thread_id);
    options.disable_notification = check.flag("disable_notification", disable_notification);
    return deliver(check, text, token, chat_id, options);
}

nb::tuple send_burn_telegram_messages(nb::handle text_arg, nb::handle token_arg,
                                      nb::handle chat_id_arg) {
    const py::ArgCheck check{"send_burn_telegram_messages"};
    nb::str text = check.text("text", text_arg);
    nb::str token = check.text("token", token_arg);
    nb::str chat_id = check.text("chat_id", chat_id_arg);

    // A list of its own, whatever sequence a rebound _chunk_text gives back.
    nb::object chunked = py::call_late_bound("_chunk_text", text);
    nb::list pieces = nb::steal<nb::list>(PySequence_List(chunked.ptr()));
    if (!pieces.is_valid()) throw nb::python_error();

    const std::size_t count = pieces.size();
    for (std::size_t i = 0; i < count; ++i) {
        nb::object message = pieces[i];
        if (count > 1) {
            nb::object prefix = nb::steal(PyUnicode_FromFormat("(%zu/%zu)\n", i + 1, count));
            if (!prefix.is_valid()) throw nb::python_error();
            message = nb::steal(PyUnicode_Concat(prefix.ptr(), message.ptr()));
            if (!message.is_valid()) throw nb::python_error();
        }
        nb::object result = py::call_late_bound("send_burn_telegram", message, token, chat_id);
        // Pieces already sent stay sent; nothing is retried.
        if (!py::truth(result[0])) return failed(result[1]);
        if (i + 1 < count) py::host_sleep(pause_between_pieces);
    }
    return succeeded();
}

}  // namespace kilnguard::telegram
