// The long-running entry point: wait an interval, run a pass, and again,
// until the pause file appears. An ordinary error of a pass is logged and the
// loop goes on; an interrupt or exit request from the host ends it.
#include "monitor/operations.hpp"
#include "monitor/pass_steps.hpp"

#include "common/env.hpp"
#include "common/py.hpp"
#include "names.hpp"

namespace kilnguard::monitor {

namespace {
// The wait between passes: at least one minute; not-a-number gives a minute.
double interval_seconds(double interval_minutes) {
    return interval_minutes > 1 ? interval_minutes * 60 : 60.0;
}

bool waited_whole_interval(const nb::float_& interval, const nb::str& pause_path) {
    return py::truth(py::call_late_bound(names::sleep_until_interval, interval, pause_path));
}

// What an error of a pass may quote: the key as the environment holds it
// now (trimmed, as a pass would use it) and the bot token.
scrub::Secrets loop_secrets(const nb::str& burn_token) {
    nb::object key = nb::none();
    if (std::optional<nb::str> configured = env::text("TAOSTATS_API_KEY"))
        key = py::steal_or_throw(PyObject_CallMethod(configured->ptr(), "strip", nullptr));
    return pass_secrets(key, burn_token);
}
}  // namespace

void run_burn_poll_loop(nb::handle state_path_arg, nb::handle threshold_arg,
                        nb::handle interval_minutes_arg, nb::handle burn_token_arg,
                        nb::handle burn_chat_id_arg, nb::handle pause_path_arg) {
    using namespace nb::literals;
    const py::ArgCheck check{names::run_burn_poll_loop};
    nb::str state_path = check.text("state_path", state_path_arg);
    nb::float_ threshold(check.real("threshold", threshold_arg));
    const double minutes = check.real("interval_minutes", interval_minutes_arg);
    nb::str burn_token = check.text("burn_token", burn_token_arg);
    nb::str burn_chat_id = check.text("burn_chat_id", burn_chat_id_arg);
    nb::str pause_path = check.text("pause_path", pause_path_arg);
    nb::float_ interval(interval_seconds(minutes));

    // Wait a whole interval, then pass, and again; a pause seen while waiting
    // or just before a pass ends the loop.
    while (waited_whole_interval(interval, pause_path) &&
           !py::truth(py::call_late_bound(names::burn_is_paused, pause_path))) {
        try {
            py::call_late_bound(names::run_kilnguard_once, "state_path"_a = state_path,
                                "threshold"_a = threshold, "burn_token"_a = burn_token,
                                "burn_chat_id"_a = burn_chat_id);
        } catch (nb::python_error& failure) {
            // Ctrl-C, SystemExit and the like are not ordinary errors of a pass.
            if (!failure.matches(PyExc_Exception)) throw;
            log_with_text("[burn] error: ", failure.value(), loop_secrets(burn_token));
        }
    }
    py::host_log("[burn] monitoring paused\n");
}

}  // namespace kilnguard::monitor
