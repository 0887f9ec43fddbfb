// The three Taostats settings, read from the environment at every call. A
// variable set to the empty text is set: only an absent one takes the default.
#include "taostats/operations.hpp"

#include "common/env.hpp"
#include "common/py.hpp"
#include "names.hpp"

namespace kilnguard::taostats {

namespace {
constexpr const char* default_base = "https://api.taostats.io";
// The service's CDN treats unknown clients with suspicion; a browser's
// signature gets the plain JSON answer.
constexpr const char* default_user_agent =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/131.0.0.0 Safari/537.36";
}  // namespace

nb::str api_base() {
    return env::base_url("TAOSTATS_API_BASE", default_base);
}

nb::object taostats_auth() {
    std::optional<nb::str> key = env::text("TAOSTATS_API_KEY");
    if (!key) return nb::none();
    // str.strip(): white space as Python counts it, line breaks included.
    nb::str result = py::steal_or_throw<nb::str>(PyObject_CallMethod(key->ptr(), "strip", nullptr));
    if (PyUnicode_GET_LENGTH(result.ptr()) == 0) return nb::none();
    return result;
}

nb::dict request_headers(nb::handle auth_arg) {
    nb::str auth = py::ArgCheck{names::request_headers}.text("auth", auth_arg);
    std::optional<nb::str> agent = env::text("TAOSTATS_USER_AGENT");
    nb::dict headers;
    // The bare key: the service takes no scheme word such as "Bearer".
    headers["Authorization"] = auth;
    headers["User-Agent"] = agent ? *agent : nb::str(default_user_agent);
    headers["Accept"] = "application/json, text/plain, */*";
    headers["Accept-Language"] = "en-US,en;q=0.9";
    return headers;
}

}  // namespace kilnguard::taostats
