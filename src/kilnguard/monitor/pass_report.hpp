// The report a host's _burn_pass_report receives after every watch pass and
// every start-up snapshot, and the record a pass keeps of itself to make it.
// While the module's own no-op is bound, no report is built and nothing is
// called; the record is a handful of references the pass holds anyway.
#pragma once

#include <nanobind/nanobind.h>

#include "common/py.hpp"
#include "common/scrub.hpp"
#include "taostats/tally.hpp"

#include <array>
#include <chrono>
#include <optional>
#include <utility>

namespace kilnguard::monitor {

namespace nb = nanobind;

// What one pass came to, handed to the host once, read-only.
struct PassReport {
    nb::str kind;                       // "pass" or "snapshot"
    nb::object result;                  // 0, 1, or the exception the pass raised
    nb::object failure = nb::none();    // None, or what ended the pass early
    nb::object updated_at = nb::none(); // the time stamp text, once taken
    nb::object subnets = nb::none();    // entries of the rate map, once built
    nb::tuple changes;                  // (netuid, old, new) as diff_burns gave them
    nb::object rates = nb::none();      // read-only view of the saved rate map
    nb::object pagination = nb::none(); // the listing page's pagination member
    long long attempts = 0;
    long long throttled = 0;
    nb::object http_status = nb::none();
    nb::str error;                      // what the pass logged after its prefix
    double duration = 0;

    nb::str repr() const;
    // The Python objects it holds, for the cycle collector; and their release.
    std::array<nb::handle, 10> members() const {
        return {kind, result, failure, updated_at, subnets, changes, rates, pagination,
                http_status, error};
    }
    void clear();
};

// The module's own _burn_pass_report and _burn_check_listing: they do nothing.
void burn_pass_report(nb::handle report);
nb::object burn_check_listing(nb::handle rows, nb::handle pagination, nb::handle stored);

class PassRecord {
public:
    PassRecord(const char* kind, const nb::str& token);
    PassRecord(const PassRecord&) = delete;
    PassRecord& operator=(const PassRecord&) = delete;

    // The secrets of this pass's texts: the bot token, and the Taostats key
    // once the pass has one.
    const scrub::Secrets& secrets() const { return secrets_; }
    void key_found(nb::handle auth);

    void stamped(const nb::str& updated_at) { updated_at_ = updated_at; }
    void rates_built(const nb::dict& rates) { rates_ = rates; }
    void changes_listed(const nb::object& changes) { changes_ = changes; }
    // The pass stopped early with result 1; `logged` is its line's text
    // after the prefix, already scrubbed and made one line (single_line), as
    // the report gives it.
    void failed(const char* failure, const nb::str& logged);
    void fetch_failed(const nb::object& error_object, const nb::str& logged);

    // The pagination member of the listing page this pass read, or None.
    nb::object pagination() { return tally_.page_pagination(); }

    // Hands the report of a pass that returned to the bound hook.
    void returned(const nb::int_& result);
    // The same for a pass that raised `error`, which then goes on unchanged.
    void raised(nb::python_error& error);

private:
    // Calls the bound hook with the report `make` builds, unless the bound
    // hook is the module's own: then nothing is built.
    template <typename Make>
    void report(Make&& make);
    void log_hook_failure(const nb::python_error& failure) const;
    nb::object build(nb::handle result, nb::handle failure, const nb::str& error);

    const char* kind_;
    nb::str token_;
    scrub::Secrets secrets_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    taostats::FetchTally tally_;
    taostats::TallyScope counting_{&tally_};
    const char* failure_ = nullptr;
    nb::object logged_;
    nb::object http_status_ = nb::none();
    nb::object updated_at_ = nb::none();
    std::optional<nb::dict> rates_;
    nb::object changes_;
};

// Runs `body(record)` as a pass of `kind` and reports its outcome, whatever
// it is, before handing it on: the result, or the very exception it raised.
template <typename Body>
nb::int_ reported(const char* kind, const nb::str& token, Body&& body) {
    PassRecord record(kind, token);
    nb::int_ result;
    try {
        result = std::forward<Body>(body)(record);
    } catch (nb::python_error& error) {
        record.raised(error);
        throw;
    } catch (...) {
        // Made the Python error the binding layer would make of it, so the
        // report holds the exception the caller then sees.
        try {
            py::raise_as_python();
        } catch (nb::python_error& error) {
            record.raised(error);
            throw;
        }
    }
    record.returned(result);
    return result;
}

}  // namespace kilnguard::monitor
