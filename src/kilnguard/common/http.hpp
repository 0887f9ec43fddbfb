// The module's one HTTP client, on libcurl: a fresh easy handle per request,
// HTTP/1.1, the GIL released during the transfer, Ctrl-C honoured within about
// a second. Redirects are followed to http and https only, at most 10 of
// them; proxies come from the environment as libcurl reads them, and a CA
// file or folder from SSL_CERT_FILE / SSL_CERT_DIR, read at each request.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <utility>
#include <vector>

namespace kilnguard::http {

struct Request {
    enum class Method { get, post };
    Method method = Method::get;
    std::string url;
    // In sending order, and the only ones sent besides Host and
    // Content-Length: libcurl adds no Accept, Content-Type or Expect of its
    // own, so a POST names its Content-Type here. An empty value is sent empty.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;           // POST only
    long timeout_seconds = 60;  // for connecting and for each wait for data
};

struct Response {
    long status = 0;
    std::string reason;  // the reason phrase of the final status line, maybe empty
    std::string body;    // the bytes exactly as received, at most 64 MiB

    bool succeeded() const { return status >= 200 && status <= 299; }
    // The reason phrase as a str: status lines are ISO-8859-1, as Python's
    // http.client reads them.
    nanobind::str reason_text() const;
};

// What perform throws, carrying its TimeoutError or ConnectionError, when the
// transfer fails while the body of a final reply with a status outside
// 200-299 is being read: a caller that reports transport failures as values
// may still have to let this one escape.
class ErrorBodyCutShort : public nanobind::python_error {};

// Performs one exchange and returns the final response, whatever its status.
// Call with the GIL held. Failures raise Python errors (and throw
// nb::python_error): ValueError for a URL or header that cannot be used
// (before any connection: a URL byte outside printable ASCII, a scheme other
// than http or https, CR, LF or NUL in a header), TimeoutError for connecting
// or waiting for data too long, ConnectionError for other transport failures
// (a body over 64 MiB included), KeyboardInterrupt (or what a signal handler
// raised) when the host is interrupted. No error text holds the URL's path or
// any header value; host and port are named.
Response perform(const Request& request);

}  // namespace kilnguard::http
