// The HTTP client on libcurl. Every request gets its own easy handle, so no
// state (cookies, connections, error text) survives from one request to the
// next, and no handle is ever shared between threads.
#include "common/http.hpp"

#include "common/py.hpp"
#include "common/scrub.hpp"

#include <curl/curl.h>
#include <nanobind/nanobind.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

namespace kilnguard::http {

namespace {

namespace nb = nanobind;
using Clock = std::chrono::steady_clock;

// Bodies beyond this are refused while they arrive: the whole body is held in
// memory, and nothing this module talks to sends anything near it.
constexpr std::size_t body_limit = std::size_t{64} << 20;
constexpr long redirect_limit = 10;
// Listing bodies are megabytes: a larger receive buffer takes them in fewer
// reads and callbacks (about a tenth off the transfer of a 2.5 MB listing).
constexpr long receive_buffer_bytes = 512 * 1024;
// How often the transfer looks for a pending Ctrl-C. Taking the GIL on every
// progress call would slow big bodies down for nothing.
constexpr auto signal_check_interval = std::chrono::milliseconds(100);

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;
using Url = std::unique_ptr<CURLU, UrlDeleter>;

// ------------------------------------------------------------ checking

// Where the request goes, for error texts: host and port only, because the
// path and the query may carry a secret (a bot token, an API key).
struct Target {
    std::string host;
    std::string port;
};

std::string url_part(CURLU* url, CURLUPart part, unsigned flags) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, flags) != CURLUE_OK || !value) return "";
    std::string result(value);
    curl_free(value);
    return result;
}

// libcurl would silently percent-encode non-ASCII bytes and cuts the text at a
// NUL; a space or a control character fails only at perform time with an empty
// error text. Refusing all of them here gives one clear error before any
// connection is made.
Target check_url(const std::string& url) {
    for (std::size_t i = 0; i < url.size(); ++i) {
        const auto byte = static_cast<unsigned char>(url[i]);
        if (byte < 0x21 || byte > 0x7e)
            py::raise(PyExc_ValueError,
                      "request URL holds a byte outside printable ASCII (0x%02x at offset %zu)",
                      static_cast<unsigned>(byte), i);
    }
    Url parsed{curl_url()};
    if (!parsed) throw std::bad_alloc();
    if (CURLUcode code = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0);
        code != CURLUE_OK)
        py::raise(PyExc_ValueError, "request URL is not an absolute http or https URL (%s)",
                  curl_url_strerror(code));
    const std::string scheme = url_part(parsed.get(), CURLUPART_SCHEME, 0);
    if (scheme != "http" && scheme != "https")
        py::raise(PyExc_ValueError, "request URL scheme must be http or https, not '%s'",
                  scheme.c_str());
    return {url_part(parsed.get(), CURLUPART_HOST, 0),
            url_part(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT)};
}

// A line break in a header would start a header (or a request) of the
// caller's choosing; libcurl sends it verbatim. The value is never quoted in
// the error: it may be the API key.
void check_header(const std::string& name, const std::string& value) {
    if (name.empty()) py::raise(PyExc_ValueError, "request header name is empty");
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x21 || byte > 0x7e || byte == ':')
            py::raise(PyExc_ValueError,
                      "request header name holds a character that cannot be sent "
                      "(0x%02x at offset %zu)",
                      static_cast<unsigned>(byte), i);
    }
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\r' || c == '\n' || c == '\0')
            py::raise(PyExc_ValueError,
                      "request header '%s' holds CR, LF or NUL in its value (0x%02x at offset %zu)",
                      name.c_str(), static_cast<unsigned>(c), i);
    }
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
    return true;
}

HeaderList header_list(const Request& request) {
    curl_slist* list = nullptr;
    auto append = [&list](const std::string& line) {
        curl_slist* longer = curl_slist_append(list, line.c_str());
        if (!longer) {
            curl_slist_free_all(list);
            throw std::bad_alloc();
        }
        list = longer;
    };
    bool has_accept = false, has_content_type = false;
    for (const auto& [name, value] : request.headers) {
        has_accept = has_accept || same_name(name, "Accept");
        has_content_type = has_content_type || same_name(name, "Content-Type");
        // "Name:" with nothing but white space after it would remove the
        // header; "Name;" is libcurl's way of sending it with an empty value.
        // That is what a value of only white space is on the wire anyway:
        // the white space around a field value is not part of it.
        const bool blank = value.find_first_not_of(" \t") == std::string::npos;
        append(blank ? name + ";" : name + ": " + value);
    }
    // The request carries the caller's headers and nothing libcurl would add
    // of its own accord (its "Accept: */*", a form Content-Type, and
    // "Expect: 100-continue" on big bodies, which costs a round trip or a
    // one-second stall).
    if (!has_accept) append("Accept:");
    if (!has_content_type) append("Content-Type:");
    append("Expect:");
    return HeaderList{list};
}

// ------------------------------------------------------------ transfer

struct Transfer {
    explicit Transfer(long timeout) : timeout_seconds(timeout) {}
    long timeout_seconds;
    CURL* handle = nullptr;
    std::string body;
    std::string reason;
    // The status of the response whose headers arrived last, whether they
    // are complete (its body is being read) and whether it is a redirect
    // that libcurl follows (its body is not the final reply's).
    long status = 0;
    bool headers_complete = false;
    bool redirect = false;
    bool body_too_large = false;
    bool idle_timed_out = false;
    bool interrupted = false;
    curl_off_t seen_down = 0, seen_up = 0;
    Clock::time_point last_activity = Clock::now();
    Clock::time_point last_signal_check = Clock::now();
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (bytes > body_limit - transfer->body.size()) {
        transfer->body_too_large = true;
        return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    try {
        // A declared length (curl has refused one over the limit already)
        // sizes the body at once: a listing is megabytes, and growing it by
        // doubling would copy it over and over.
        if (transfer->body.empty()) {
            curl_off_t declared = -1;
            curl_easy_getinfo(transfer->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared);
            if (declared > 0) transfer->body.reserve(static_cast<std::size_t>(declared));
        }
        transfer->body.append(data, bytes);
    } catch (...) {
        return 0;
    }
    return bytes;
}

// Sees every header line of every response of the transfer: redirect hops,
// "100 Continue" and proxy replies included. The last status line wins.
std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) noexcept {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    transfer->last_activity = Clock::now();
    std::string_view line(data, bytes);
    if (line == "\r\n" || line == "\n") {
        transfer->headers_complete = true;
        return bytes;
    }
    if (transfer->status >= 300 && transfer->status <= 399 && line.size() > 9 &&
        same_name(line.substr(0, 9), "location:"))
        transfer->redirect = true;
    if (line.starts_with("HTTP/")) {
        transfer->headers_complete = false;
        transfer->redirect = false;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        // "HTTP/1.1 404 Not Found": the reason is what follows the code, and
        // may be missing altogether ("HTTP/1.1 200").
        std::size_t code_start = line.find(' ');
        std::size_t reason_start =
            code_start == line.npos ? line.npos : line.find(' ', code_start + 1);
        transfer->status = 0;
        if (code_start != line.npos) {
            const std::string_view code = line.substr(code_start + 1, 3);
            std::from_chars(code.data(), code.data() + code.size(), transfer->status);
        }
        try {
            transfer->reason.assign(reason_start == line.npos ? std::string_view()
                                                              : line.substr(reason_start + 1));
        } catch (...) {
            return 0;
        }
    }
    return bytes;
}

// Runs at least once a second while the transfer waits, so it serves both as
// the idle timer and as the place where Ctrl-C is noticed.
int on_progress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) noexcept {
    auto* transfer = static_cast<Transfer*>(user);
    const Clock::time_point now = Clock::now();
    if (dlnow != transfer->seen_down || ulnow != transfer->seen_up) {
        transfer->seen_down = dlnow;
        transfer->seen_up = ulnow;
        transfer->last_activity = now;
    }
    if (now - transfer->last_signal_check >= signal_check_interval) {
        transfer->last_signal_check = now;
        nb::gil_scoped_acquire gil;
        // The handler's exception (KeyboardInterrupt) stays pending on this
        // thread and is raised once perform returns.
        if (PyErr_CheckSignals() != 0) {
            transfer->interrupted = true;
            return 1;
        }
    }
    if (now - transfer->last_activity >= std::chrono::seconds(transfer->timeout_seconds)) {
        transfer->idle_timed_out = true;
        return 1;
    }
    return 0;
}

// Like Python's TLS: a CA file or folder named in the environment replaces the
// trust store built into the library (which libcurl itself never looks past).
// An empty value counts as unset.
void set_trust_store(CURL* handle) {
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file)
        curl_easy_setopt(handle, CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir && *dir)
        curl_easy_setopt(handle, CURLOPT_CAPATH, dir);
}

// The error text may carry no secret. libcurl's own texts name host and port
// only, but a path or a header value that turns up anyway is blotted out.
std::string scrubbed(std::string text, const Request& request) {
    scrub::Secrets secrets;
    secrets.add(request.url);
    if (std::size_t scheme_end = request.url.find("://"); scheme_end != std::string::npos)
        if (std::size_t path = request.url.find('/', scheme_end + 3); path != std::string::npos)
            secrets.add(std::string_view(request.url).substr(path));
    for (const auto& header : request.headers) secrets.add(header.second);
    return secrets.text(std::move(text));
}

void set_failure(CURLcode code, const char* error_buffer, const Transfer& transfer,
                 const Target& target, const Request& request) {
    if (transfer.body_too_large || code == CURLE_FILESIZE_EXCEEDED) {
        PyErr_Format(PyExc_ConnectionError, "response body from %s port %s exceeds 64 MiB",
                     target.host.c_str(), target.port.c_str());
        return;
    }
    if (transfer.idle_timed_out) {
        PyErr_Format(PyExc_TimeoutError, "no data from %s port %s for %ld seconds",
                     target.host.c_str(), target.port.c_str(), transfer.timeout_seconds);
        return;
    }
    std::string detail = *error_buffer ? error_buffer : curl_easy_strerror(code);
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) detail.pop_back();
    detail = scrubbed(std::move(detail), request);
    if (detail.find(target.host) == std::string::npos)
        detail += " (" + target.host + " port " + target.port + ")";
    PyErr_SetString(code == CURLE_OPERATION_TIMEDOUT ? PyExc_TimeoutError : PyExc_ConnectionError,
                    detail.c_str());
}

[[noreturn]] void raise_failure(CURLcode code, const char* error_buffer, const Transfer& transfer,
                                const Target& target, const Request& request) {
    if (transfer.interrupted) throw nb::python_error();
    set_failure(code, error_buffer, transfer, target, request);
    // Interim (1xx) and successful replies are not error replies; a redirect
    // libcurl follows is not the final reply.
    if (transfer.headers_complete && !transfer.redirect && transfer.status > 299)
        throw ErrorBodyCutShort();
    throw nb::python_error();
}

}  // namespace

namespace {
// libcurl's global set-up (TLS library included) takes about a millisecond,
// a tenth of the whole import, so it waits for the first request instead of
// running at load time. A failure is reported and tried again next time.
// There is deliberately no matching cleanup at unload.
void initialise_curl() {
    static std::once_flag done;
    std::call_once(done, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            py::raise(PyExc_RuntimeError, "libcurl failed to initialise");
    });
}
}  // namespace

nb::str Response::reason_text() const {
    return py::steal_or_throw<nb::str>(
        PyUnicode_DecodeLatin1(reason.data(), static_cast<Py_ssize_t>(reason.size()), nullptr));
}

Response perform(const Request& request) {
    initialise_curl();
    const Target target = check_url(request.url);
    for (const auto& [name, value] : request.headers) check_header(name, value);

    HeaderList headers = header_list(request);
    Transfer transfer{request.timeout_seconds};
    char error_buffer[CURL_ERROR_SIZE] = {};
    // Declared last so that it goes first: nothing it points at is freed
    // while the handle still exists.
    Easy easy{curl_easy_init()};
    if (!easy) throw std::bad_alloc();
    CURL* handle = easy.get();
    transfer.handle = handle;

    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    // Sent as written: no "/../" folding, since the URL is ours to build.
    curl_easy_setopt(handle, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    // The reason phrase is part of what callers report, and HTTP/2 has none.
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // Signals belong to the host; the progress callback handles Ctrl-C.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_buffer);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, redirect_limit);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, request.timeout_seconds);
    // A declared Content-Length over the limit is refused before the body is
    // read; chunked bodies are stopped by the write callback.
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(body_limit));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receive_buffer_bytes);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    set_trust_store(handle);
    if (request.method == Request::Method::post) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        // A 301/302/303 answer turns the POST into a GET without the body, as
        // browsers do; only 307 and 308, which demand the same method, repeat
        // the POST.
        curl_easy_setopt(handle, CURLOPT_POSTREDIR, 0L);
    }

    CURLcode code;
    {
        nb::gil_scoped_release released;
        code = curl_easy_perform(handle);
    }
    if (code != CURLE_OK) raise_failure(code, error_buffer, transfer, target, request);
    // A signal that arrived after the last progress call still counts.
    if (PyErr_CheckSignals() != 0) throw nb::python_error();

    Response response;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    response.reason = std::move(transfer.reason);
    response.body = std::move(transfer.body);
    return response;
}

}  // namespace kilnguard::http
