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
#include "taostats/tally.hpp"

namespace kilnguard::taostats {

namespace {

// The operations the general path looks up before its request goes out, in
// the order it looks them up: each must be the module's own, at that moment,
// for the fused read to stand in for them. api_base and request_headers are
// called by the request's own construction, as http_get_json calls them, and
// is_rate_limited is looked up only once the answer is in, where with_retries
// looks it up: a name deleted or rebound while the request runs is met at the
// same moment on both paths.
constexpr py::LateBound operations_before_request[] = {
    names::fetch_all_subnets_latest, names::with_retries, names::http_get_json,
};

bool request_is_own() {
    for (const py::LateBound& name : operations_before_request)
        if (!py::is_own(name)) return false;
    return true;
}

enum Field : std::size_t { netuid_field, incentive_burn_field };
enum Member : std::size_t { status_code_member, message_member, pagination_member };

// The small rows, or nothing when the answer is anything but a plain
// listing: a non-empty array of objects whose two fields are absent or
// scalars.
struct SmallRows {
    nb::list rows;
    std::optional<std::string_view> pagination;  // the member's JSON text, when present
};

std::optional<SmallRows> small_rows(const std::string& body) {
    static const py::Key netuid{"netuid"};
    static const py::Key incentive_burn{"incentive_burn"};
    // Besides the rows, is_rate_limited reads status_code and message: an
    // answer that has either takes the general path, whatever they hold.
    // The page's pagination member is only located here; a report decodes
    // it if it is ever asked for.
    std::optional<json::RecordScan> scan = json::scan_records(
        body, {"status_code", "message", "pagination"}, "data", {"netuid", "incentive_burn"});
    if (!scan) return std::nullopt;
    if (scan->members[status_code_member].kind != json::Span::Kind::absent ||
        scan->members[message_member].kind != json::Span::Kind::absent)
        return std::nullopt;
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
    const json::Span& pagination = scan->members[pagination_member];
    if (pagination.kind == json::Span::Kind::absent)
        return SmallRows{std::move(rows), std::nullopt};
    return SmallRows{std::move(rows), pagination.text};
}

}  // namespace

nb::object Listing::full_rows() const {
    if (!body) return result;
    if (!read_in_full) read_in_full = listing_from(json::read(*body));
    return *read_in_full;
}

Listing fetch_listing(nb::handle auth) {
    if (!PyUnicode_Check(auth.ptr()) || !request_is_own())
        return {py::call_late_bound(names::fetch_all_subnets_latest, auth), std::nullopt, std::nullopt};

    const nb::str path = listing_path();
    const nb::str key = nb::borrow<nb::str>(auth);
    const nb::dict params = listing_params();
    http::Request request = get_request(path, params, key);
    count_request();
    http::Response response = http::perform(request);
    // The scan also checks the UTF-8 that http_get_json checks first; a body
    // that fails it goes the general way, which raises what it raises. A
    // plain listing is never throttled, so with_retries would hand it on
    // after one look by is_rate_limited: looked up now, as it would be then.
    if (response.succeeded()) {
        if (std::optional<SmallRows> scanned = small_rows(response.body);
            scanned && py::is_own(names::is_rate_limited)) {
            note_scanned_page(scanned->pagination);
            return {std::move(scanned->rows), std::move(response.body), std::nullopt};
        }
    }
    // The general path, from where the first attempt of with_retries stands.
    nb::object payload =
        retried(payload_of(response, key), path, params, key, listing_attempts);
    nb::object listing = listing_from(payload);
    note_page(payload);
    return {std::move(listing), std::nullopt, std::nullopt};
}

}  // namespace kilnguard::taostats
