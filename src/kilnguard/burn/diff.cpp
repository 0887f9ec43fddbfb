// Change detection between the rates of the previous and the current poll.
#include "burn/operations.hpp"

#include "common/numbers.hpp"
#include "common/py.hpp"
#include "names.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace kilnguard::burn {

nb::list diff_burns(nb::handle prev_arg, nb::handle current_arg, nb::handle threshold_arg) {
    const py::ArgCheck check{names::diff_burns};
    nb::dict prev = check.dict("prev", prev_arg);
    nb::dict current = check.dict("current", current_arg);
    nb::float_ threshold(check.real("threshold", threshold_arg));

    // Strong references: the comparison runs host code, which may change
    // either map under our feet.
    struct Entry {
        numbers::Integer order;
        nb::object netuid, rate;
    };
    std::vector<Entry> entries;
    entries.reserve(current.size());
    // Every key is read before anything is compared, so one bad key fails the
    // whole call rather than half of it.
    for (auto [netuid, rate] : current)
        entries.push_back({py::integer_value(netuid), nb::borrow(netuid), nb::borrow(rate)});
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.order < b.order; });

    nb::list changes;
    for (const Entry& entry : entries) {
        std::optional<nb::object> found = py::member(prev, entry.netuid);
        if (!found || found->is_none()) continue;
        nb::object old_rate = std::move(*found);
        nb::object changed =
            py::call_late_bound(names::owner_burn_changed, old_rate, entry.rate, threshold);
        if (py::truth(changed)) changes.append(nb::make_tuple(entry.netuid, old_rate, entry.rate));
    }
    return changes;
}

}  // namespace kilnguard::burn
