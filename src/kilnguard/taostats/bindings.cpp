// The Taostats client's operations, in interface order.
#include "bindings.hpp"
#include "taostats/operations.hpp"
#include "names.hpp"

namespace kilnguard {

namespace nb = nanobind;

void bind_taostats(nb::module_& m) {
    m.def(names::api_base.name, &taostats::api_base, nb::sig("def api_base() -> str"),
          R"(The Taostats API base URL, without a trailing "/".

TAOSTATS_API_BASE as the environment holds it at this call, every trailing "/"
removed; https://api.taostats.io when the variable is absent.)");

    m.def(names::request_headers.name, &taostats::request_headers, param("auth"),
          nb::sig("def request_headers(auth: str) -> dict[str, str]"),
          R"(The headers of a Taostats request, in sending order.

Authorization carries the bare key; User-Agent is TAOSTATS_USER_AGENT
unchanged (empty included) or a browser's signature; then Accept and
Accept-Language. No compressed transfer is asked for.)");

    m.def(names::taostats_auth.name, &taostats::taostats_auth,
          nb::sig("def taostats_auth() -> str | None"),
          R"(The Taostats API key from TAOSTATS_API_KEY, trimmed.

None when the variable is absent, empty or only white space: the Taostats API
cannot be used then. Read afresh at every call.)");

    m.def(names::http_get_json.name, &taostats::http_get_json, param("path"), param("params"),
          param("auth"),
          nb::sig("def http_get_json(path: str, params: dict[str, object], auth: str) "
                  "-> dict[str, object] | None"),
          R"(One authenticated GET of api_base() + path + "?" + the query.

A 2xx JSON object comes back as it is (null as None); a 2xx body that is not
JSON gives {"parse_error", "raw"}; another status gives the body's object, or
{"status_code", "message"} (of a body over 1 MiB, only its start and how
many characters were left out), with "http_status" set. Transport failures raise
TimeoutError or ConnectionError; a URL or header that cannot be sent raises
ValueError before any connection.)");

    m.def(names::is_rate_limited.name, &taostats::is_rate_limited, param("payload"),
          nb::sig("def is_rate_limited(payload: dict[str, object]) -> bool"),
          R"(Whether an answer says the client is being throttled.

True when status_code equals 429 or the text form of message contains
"Rate Limited"; http_status is not looked at.)");

    m.def(names::with_retries.name, &taostats::with_retries, param("path"), param("params"),
          param("auth"), nb::kw_only(), param("max_retries") = 6,
          nb::sig("def with_retries(path: str, params: dict[str, object], auth: str, *, "
                  "max_retries: int = 6) -> dict[str, object]"),
          R"(http_get_json, repeated while the answer is throttled.

At most max_retries requests, with pauses through time.sleep of 2.0 seconds
growing by 1.8 up to 120.0 between them; the last payload comes back even if
throttled. Any other answer returns at once; errors escape without a retry.)");

    m.def(names::fetch_all_subnets_latest.name, &taostats::fetch_all_subnets_latest, param("auth"),
          nb::sig("def fetch_all_subnets_latest(auth: str) "
                  "-> list[dict[str, object]] | dict[str, object]"),
          R"(The latest record of every subnet, by ascending netuid.

The answer's "data" rows as sent, from one request of up to 1024 rows; when
there are none, {"error": "no_subnet_rows", "response": <the answer>}.)");
}

}  // namespace kilnguard
