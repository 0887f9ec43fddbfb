// One monitoring pass: listing, rate map, comparison with the stored rates,
// state saved, alert sent. Nothing is caught here (the pass's report sees
// what escapes and lets it go on); the poll loop logs it.
#include "monitor/operations.hpp"
#include "monitor/pass_steps.hpp"

#include "common/py.hpp"
#include "names.hpp"

namespace kilnguard::monitor {

nb::int_ run_kilnguard_once(nb::handle state_path_arg, nb::handle threshold_arg,
                            nb::handle burn_token_arg, nb::handle burn_chat_id_arg) {
    const py::ArgCheck check{names::run_kilnguard_once};
    nb::str state_path = check.text("state_path", state_path_arg);
    nb::float_ threshold(check.real("threshold", threshold_arg));
    nb::str burn_token = check.text("burn_token", burn_token_arg);
    nb::str burn_chat_id = check.text("burn_chat_id", burn_chat_id_arg);

    return reported("pass", burn_token, [&](PassRecord& record) -> nb::int_ {
        std::optional<nb::object> auth = taostats_key(record);
        if (!auth) return nb::int_(1);
        nb::str updated_at = pass_timestamp();
        record.stamped(updated_at);
        std::optional<taostats::Listing> listing =
            fetch_rows(*auth, "[burn] fetch failed: ", record);
        if (!listing) return nb::int_(1);

        nb::dict current = rate_map(*listing);
        record.rates_built(current);
        nb::object prev = py::call_late_bound(names::load_burn_state, state_path);
        // A host's check sees the rows and both maps before anything is
        // compared or saved, so a listing it refuses leaves no trace.
        if (listing_refused(*listing, prev, "[burn] fetch failed: ", record)) return nb::int_(1);
        // An empty stored map (first pass, or a damaged file) has nothing to
        // compare with: this pass only seeds the state.
        nb::object changes = nb::list();
        if (nb::len(prev) > 0)
            changes = py::call_late_bound(names::diff_burns, prev, current, threshold);
        record.changes_listed(changes);

        // Saved before anything is sent, so a change whose alert fails to go
        // out is not reported again by the next pass.
        py::call_late_bound(names::save_burn_state, state_path, current, updated_at);
        const std::size_t changed = nb::len(changes);
        if (changed == 0) return nb::int_(0);

        nb::object alert = py::call_late_bound(names::format_burn_alert, changes, updated_at);
        return send_and_log(alert, burn_token, burn_chat_id,
                            "[burn] alert sent (" + std::to_string(changed) + " subnet(s))\n",
                            "[burn] telegram failed: ", record);
    });
}

}  // namespace kilnguard::monitor
