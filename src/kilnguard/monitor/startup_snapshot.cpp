// The startup snapshot: the listing becomes the new baseline without any
// comparison, and the full table of rates goes to the chat.
#include "monitor/operations.hpp"
#include "monitor/pass_steps.hpp"

#include "common/py.hpp"
#include "names.hpp"

namespace kilnguard::monitor {

nb::int_ run_burn_startup_snapshot(nb::handle state_path_arg, nb::handle burn_token_arg,
                                   nb::handle burn_chat_id_arg) {
    const py::ArgCheck check{names::run_burn_startup_snapshot};
    nb::str state_path = check.text("state_path", state_path_arg);
    nb::str burn_token = check.text("burn_token", burn_token_arg);
    nb::str burn_chat_id = check.text("burn_chat_id", burn_chat_id_arg);

    return reported("snapshot", burn_token, [&](PassRecord& record) -> nb::int_ {
        std::optional<nb::object> auth = taostats_key(record);
        if (!auth) return nb::int_(1);
        nb::str updated_at = pass_timestamp();
        record.stamped(updated_at);
        std::optional<taostats::Listing> listing =
            fetch_rows(*auth, "[burn] startup fetch failed: ", record);
        if (!listing) return nb::int_(1);

        nb::dict current = rate_map(*listing);
        record.rates_built(current);
        // The snapshot never reads the stored rates; a host's check gets
        // None for them.
        if (listing_refused(*listing, nb::none(), "[burn] startup fetch failed: ", record))
            return nb::int_(1);
        // The baseline is replaced before sending, so it holds even when the
        // snapshot cannot be delivered.
        py::call_late_bound(names::save_burn_state, state_path, current, updated_at);
        // The snapshot shows the whole listing, rows without a netuid included.
        nb::object snapshot = snapshot_text(*listing, updated_at);
        return send_and_log(snapshot, burn_token, burn_chat_id,
                            "[burn] startup snapshot sent (" +
                                std::to_string(nb::len(listing->result)) + " subnets)\n",
                            "[burn] startup telegram failed: ", record);
    });
}

}  // namespace kilnguard::monitor
