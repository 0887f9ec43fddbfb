// A listing answer is megabytes of records with about 77 fields each, of
// which a pass reads two. Building all of them as Python objects (and freeing
// them again) was most of a pass; the scan validates the whole answer as the
// reader would and builds only what is read.
#include "taostats/fast_listing.hpp"

#include "common/http.hpp"
#include "common/json_read.hpp"
#include "common/json_scan.hpp"
#include "common/py.hpp"
#include "names.hpp"
#include "taostats/steps.hpp"

namespace kilnguard::taostats {

namespace {

// The operations a listing fetch goes through; each must be the module's own
// at the moment of the fetch for the scan to stand in for them.
constexpr py::LateBound fetch_operations[] = {
    names::fetch_all_subnets_latest, names::with_retries, names::http_get_json,
    names::api_base, names::request_headers, names::is_rate_limited,
};

bool fetch_is_own() {
    for (const py::LateBound& name : fetch_operations)
        if (!py::is_own(name)) return false;
    return true;
}

enum Field : std::size_t { netuid_field, incentive_burn_field };

// The small rows, or nothing when the answer is anything but a plain
// listing: a non-empty array of objects whose two fields are absent or
// scalars.
std::optional<nb::list> small_rows(const std::string& body) {
    static const py::Key netuid{"netuid"};
    static const py::Key incentive_burn{"incentive_burn"};
    // Besides the rows, is_rate_limited reads status_code and message: an
    // answer that has either takes the general path, whatever they hold.
    std::optional<json::RecordScan> scan = json::scan_records(
        body, {"status_code", "message"}, "data", {"netuid", "incentive_burn"});
    if (!scan) return std::nullopt;
    for (const json::Span& member : scan->members)
        if (member.kind != json::Span::Kind::absent) return std::nullopt;
    if (scan->records.kind != json::Span::Kind::array || scan->record_kinds.empty())
        return std::nullopt;
    const std::size_t count = scan->record_kinds.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (scan->record_kinds[i] != json::Span::Kind::object) return std::nullopt;
        for (std::size_t f = 0; f < scan->field_count; ++f) {
            const json::Span::Kind kind = scan->field(i, f).kind;
            if (kind == json::Span::Kind::array || kind == json::Span::Kind::object)
                return std::nullopt;
        }
    }
    nb::list rows = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!rows.is_valid()) throw nb::python_error();
    for (std::size_t i = 0; i < count; ++i) {
        nb::dict row;
        const json::Span& id = scan->field(i, netuid_field);
        if (id.kind != json::Span::Kind::absent) row[netuid] = json::read_scalar(id);
        const json::Span& burn = scan->field(i, incentive_burn_field);
        if (burn.kind != json::Span::Kind::absent) row[incentive_burn] = json::read_scalar(burn);
        PyList_SET_ITEM(rows.ptr(), static_cast<Py_ssize_t>(i), row.release().ptr());
    }
    return rows;
}

}  // namespace

nb::object Listing::full_rows() const {
    if (!body) return result;
    if (!read_in_full) read_in_full = listing_from(json::read(*body));
    return *read_in_full;
}

Listing fetch_listing(nb::handle auth) {
    if (!PyUnicode_Check(auth.ptr()) || !fetch_is_own())
        return {py::call_late_bound(names::fetch_all_subnets_latest, auth), std::nullopt, std::nullopt};

    const nb::str path = listing_path();
    const nb::dict params = listing_params();
    const nb::str key = nb::borrow<nb::str>(auth);
    http::Response response = http::perform(get_request(path, params, key));
    // The scan also checks the UTF-8 that http_get_json checks first; a body
    // that fails it goes the general way, which raises what it raises.
    if (response.succeeded()) {
        if (std::optional<nb::list> rows = small_rows(response.body))
            return {std::move(*rows), std::move(response.body), std::nullopt};
    }
    // The general path, from where the first attempt of with_retries stands.
    nb::object payload =
        retried(payload_of(response, key), path, params, key, listing_attempts);
    return {listing_from(payload), std::nullopt, std::nullopt};
}

}  // namespace kilnguard::taostats
