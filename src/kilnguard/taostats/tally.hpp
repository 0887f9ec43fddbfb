// What the listing requests of one pass came to, for the pass's report: how
// many went out, how many answers were throttled, and the pagination member
// of the last listing page read. A pass points the tally of this thread at
// its own record for as long as it runs; requests made outside any pass
// (a host calling with_retries itself) are counted nowhere.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace kilnguard::taostats {

namespace nb = nanobind;

struct FetchTally {
    long long attempts = 0;
    long long throttled = 0;
    // The page's pagination member: decoded (None when the page had none),
    // or, from the scanned answer, its JSON text, decoded only when asked for.
    nb::object pagination = nb::none();
    std::optional<std::string> pagination_json;

    nb::object page_pagination();
};

namespace detail {
// Per thread: a pass on another thread runs while this one waits on the
// network with the GIL released.
inline thread_local FetchTally* current_tally = nullptr;
}  // namespace detail

// Points this thread's tally at `tally` until the end of the scope, then
// back at whatever it was: a pass run by a hook of another pass counts its
// own requests, and the outer pass goes on counting after it.
class TallyScope {
public:
    explicit TallyScope(FetchTally* tally) : previous_(detail::current_tally) {
        detail::current_tally = tally;
    }
    ~TallyScope() { detail::current_tally = previous_; }
    TallyScope(const TallyScope&) = delete;
    TallyScope& operator=(const TallyScope&) = delete;

private:
    FetchTally* previous_;
};

inline void count_request() {
    if (FetchTally* tally = detail::current_tally) ++tally->attempts;
}

inline void count_throttled() {
    if (FetchTally* tally = detail::current_tally) ++tally->throttled;
}

// Notes the pagination member of a listing page that was read in full.
void note_page(const nb::object& payload);
// Notes the JSON text of the pagination member of a scanned page, or its
// absence.
void note_scanned_page(std::optional<std::string_view> pagination_json);

}  // namespace kilnguard::taostats
