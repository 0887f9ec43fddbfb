// Delivery through the Bot API's sendMessage. Every outcome of the outside
// world comes back as a SendResult (ok, error); only replies that break the
// API's own format, an error reply whose body cannot be read to its end, and
// interrupts raise.
//
// The bot token is part of the URL path, so it is kept out of every text
// handed back, whatever produced that text.
#include "telegram/operations.hpp"

#include "common/env.hpp"
#include "common/form_encoding.hpp"
#include "common/http.hpp"
#include "common/json_read.hpp"
#include "common/py.hpp"
#include "common/scrub.hpp"
#include "common/send_result.hpp"
#include "common/utf8.hpp"
#include "names.hpp"

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

// The bytes of a str headed for the URL. A lone surrogate cannot be text on
// the wire; passing it as its raw bytes lets http::perform refuse the URL
// like any other character outside printable ASCII, without an encoding
// error that would quote part of the token.
std::string url_bytes(const nb::str& text) {
    nb::object bytes =
        py::steal_or_throw(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

std::string api_base() { return url_bytes(telegram_api_base()); }

bool transport_failure(const nb::python_error& error) {
    return error.matches(PyExc_ValueError) || error.matches(PyExc_TimeoutError) ||
           error.matches(PyExc_ConnectionError);
}

nb::object json_object(const std::string& body, const char* what) {
    nb::object value = json::read(body);
    if (!PyDict_Check(value.ptr()))
        py::raise(PyExc_TypeError, "sendMessage %s must be a JSON object, not %s", what,
                  value.is_none() ? "null" : py::type_name_or_none(value));
    return value;
}

nb::tuple reply_result(const http::Response& response, const scrub::Secrets& secrets) {
    static const py::Key ok_key{"ok"};
    nb::object reply;
    try {
        reply = json_object(response.body, "reply");
    } catch (const json::SyntaxError& error) {
        py::raise(PyExc_ValueError, "sendMessage reply (HTTP %ld) is not JSON: %s",
                  response.status, error.what());
    }
    std::optional<nb::object> ok = py::member(reply, ok_key);
    if (ok && py::truth(*ok)) return send_result::succeeded();
    return send_result::failed(secrets.value(py::text_form(reply)));
}

nb::tuple error_reply_result(const http::Response& response, const scrub::Secrets& secrets) {
    static const py::Key description_key{"description"};
    nb::object reply;
    try {
        reply = json_object(response.body, "error reply");
    } catch (const json::SyntaxError&) {
        if (!response.body.empty())
            return send_result::failed(secrets.text(py::str_from_utf8(response.body)));
        // Nothing to quote but the status line, worded as urllib words it.
        nb::object text = py::steal_or_throw(PyUnicode_FromFormat(
            "HTTP Error %ld: %U", response.status, response.reason_text().ptr()));
        return send_result::failed(secrets.text(text));
    }
    // A description that is not a str is handed back as the reply gave it,
    // unless its text form holds the token.
    std::optional<nb::object> description = py::member(reply, description_key);
    if (description && py::truth(*description))
        return send_result::failed(secrets.value(*description));
    // Scrubbed whole before the cut, so the cut cannot leave part of a token.
    nb::str body = secrets.text(py::str_from_utf8(response.body));
    return send_result::failed(
        py::steal_or_throw(PyUnicode_Substring(body.ptr(), 0, reply_excerpt_length)));
}

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

// The UTF-8 of a field's value, or nothing after `problem` has said which
// value cannot be encoded (a lone surrogate) and where.
std::optional<std::string_view> field_bytes(const char* field, nb::handle value,
                                            std::string& problem) {
    std::string where;
    std::optional<std::string_view> bytes = utf8::encode(value, where);
    if (!bytes) problem = std::string(field) + " cannot be encoded as UTF-8 (" + where + ")";
    return bytes;
}

nb::tuple deliver(const py::ArgCheck& check, nb::handle text_arg, nb::handle token_arg,
                  nb::handle chat_id_arg, const Options& options) {
    nb::str text = check.text("text", text_arg);
    nb::str token = check.text("token", token_arg);
    nb::str chat_id = check.text("chat_id", chat_id_arg);
    if (PyUnicode_GET_LENGTH(token.ptr()) == 0 || PyUnicode_GET_LENGTH(chat_id.ptr()) == 0)
        return send_result::failed(nb::str("burn telegram not configured"));
    scrub::Secrets secrets;
    secrets.add(token);

    std::string problem;
    std::optional<std::string_view> chat_id_bytes = field_bytes("chat_id", chat_id, problem);
    std::optional<std::string_view> text_bytes =
        chat_id_bytes ? field_bytes("text", text, problem) : std::nullopt;
    if (!text_bytes) return send_result::failed(py::str_from_utf8(problem));

    http::Request request;
    request.method = http::Request::Method::post;
    // The token goes in as it is: the Bot API takes it in the path unescaped.
    request.url = api_base() + "/bot" + url_bytes(token) + "/sendMessage";
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    std::vector<form::Field> fields{{"chat_id", *chat_id_bytes},
                                    {"text", *text_bytes},
                                    {"disable_web_page_preview", "true"}};
    if (options.message_thread_id)
        fields.emplace_back("message_thread_id", *options.message_thread_id);
    if (options.disable_notification) fields.emplace_back("disable_notification", "true");
    request.body = form::encode(fields);
    request.timeout_seconds = request_timeout_seconds;

    http::Response response;
    try {
        response = http::perform(request);
    } catch (http::ErrorBodyCutShort&) {
        // A failure while reading an error reply's body is not a delivery
        // outcome but a reply that could not be read: it escapes.
        throw;
    } catch (nb::python_error& error) {
        // A URL that cannot be used, a time-out or any other transport
        // failure is an outcome to report; an interrupt is not.
        if (!transport_failure(error)) throw;
        return send_result::failed(secrets.value(py::text_form(error.value())));
    }
    // Both kinds of reply must be strict UTF-8: a bad byte is an error, never
    // a replacement character.
    utf8::require(response.body);
    if (response.succeeded()) return reply_result(response, secrets);
    return error_reply_result(response, secrets);
}

}  // namespace

nb::tuple send_burn_telegram(nb::handle text, nb::handle token, nb::handle chat_id) {
    return deliver(py::ArgCheck{names::send_burn_telegram}, text, token, chat_id, Options{});
}

nb::tuple send_telegram_message(nb::handle text, nb::handle token, nb::handle chat_id,
                                nb::handle message_thread_id, nb::handle disable_notification) {
    const char* operation = names::send_telegram_message.name;
    const py::ArgCheck check{names::send_telegram_message};
    // Every argument is checked before anything is sent, the options included.
    check.text("text", text);
    check.text("token", token);
    check.text("chat_id", chat_id);
    Options options;
    options.message_thread_id = thread_id(operation, message_thread_id);
    options.disable_notification = check.flag("disable_notification", disable_notification);
    return deliver(check, text, token, chat_id, options);
}

namespace {

// The pieces _chunk_text (as bound now) makes of `text`, in a list of their
// own whatever sequence a rebound _chunk_text gives back.
nb::list chunked(const nb::str& text) {
    nb::object pieces = py::call_late_bound(names::chunk_text, text);
    return py::steal_or_throw<nb::list>(PySequence_List(pieces.ptr()));
}

// Piece `i` of `pieces` as it is sent: numbered "(i/N)\n" in front when
// there are several. Made one at a time as each goes out, so a piece that
// cannot be numbered fails only once those before it were sent.
nb::object numbered(const nb::list& pieces, std::size_t i) {
    const std::size_t count = pieces.size();
    nb::object message = pieces[i];
    if (count == 1) return message;
    nb::object prefix = py::steal_or_throw(PyUnicode_FromFormat("(%zu/%zu)\n", i + 1, count));
    return py::steal_or_throw(PyUnicode_Concat(prefix.ptr(), message.ptr()));
}

}  // namespace

nb::str telegram_api_base() {
    // A self-hosted Bot API server (or a test) may stand in for the public one.
    return env::base_url("TELEGRAM_API_BASE", "https://api.telegram.org");
}

nb::list message_pieces(nb::handle text_arg) {
    nb::str text = py::ArgCheck{names::message_pieces}.text("text", text_arg);
    nb::list pieces = chunked(text);
    nb::list messages;
    for (std::size_t i = 0; i < pieces.size(); ++i) messages.append(numbered(pieces, i));
    return messages;
}

nb::tuple send_burn_telegram_messages(nb::handle text_arg, nb::handle token_arg,
                                      nb::handle chat_id_arg) {
    const py::ArgCheck check{names::send_burn_telegram_messages};
    nb::str text = check.text("text", text_arg);
    nb::str token = check.text("token", token_arg);
    nb::str chat_id = check.text("chat_id", chat_id_arg);

    nb::list pieces = chunked(text);
    const std::size_t count = pieces.size();
    for (std::size_t i = 0; i < count; ++i) {
        send_result::Outcome sent = send_result::read(py::call_late_bound(
            names::send_burn_telegram, numbered(pieces, i), token, chat_id));
        // Pieces already sent stay sent; nothing is retried.
        if (!sent.ok) return send_result::failed(sent.error);
        if (i + 1 < count) py::host_sleep(pause_between_pieces);
    }
    return send_result::succeeded();
}

}  // namespace kilnguard::telegram
