// The module's one HTTP client, on libcurl: a fresh easy handle per request,
// HTTP/1.1, the GIL released during the transfer, Ctrl-C honoured within about
// a second.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kilnguard::http {

struct Request {
    enum class Method { get, post };
    Method method = Method::get;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;  // in sending order
    std::string body;                                           // POST only
    long timeout_seconds = 60;  // for connecting and for each wait for data
};

struct Response {
    long status = 0;
    std::string reason;  // the reason phrase of the final status line, maybe empty
    std::string body;    // the bytes exactly as received
};

// Performs one exchange and returns the final response, whatever its status.
// Failures raise Python errors (and throw nb::python_error): ValueError for a
// URL or header that cannot be used (before any connection), TimeoutError,
// ConnectionError for other transport failures, KeyboardInterrupt (or what a
// signal handler raised) when the host is interrupted. No error text holds
// the URL's path or any header value.
Response perform(const Request& request);

}  // namespace kilnguard::http
