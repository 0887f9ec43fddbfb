// Monitoring control's operations, in interface order.
#include "bindings.hpp"
#include "monitor/operations.hpp"
#include "names.hpp"

namespace kilnguard {

namespace nb = nanobind;

void bind_monitor(nb::module_& m) {
    m.def(names::run_kilnguard_once.name, &monitor::run_kilnguard_once, nb::kw_only(),
          param("state_path"), param("threshold"), param("burn_token"), param("burn_chat_id"),
          nb::sig("def run_kilnguard_once(*, state_path: str, threshold: float, "
                  "burn_token: str, burn_chat_id: str) -> int"),
          R"(One monitoring pass; 0 when it completed, 1 when it failed.

Fetches the listing, builds the rate map, compares it with the state file
(unless that is empty), saves the new rates before anything is sent, and
sends one alert when a rate moved by more than threshold. Writes its outcome
as a "[burn] " line on standard error; catches no error.)");

    m.def(names::run_burn_startup_snapshot.name, &monitor::run_burn_startup_snapshot, nb::kw_only(),
          param("state_path"), param("burn_token"), param("burn_chat_id"),
          nb::sig("def run_burn_startup_snapshot(*, state_path: str, burn_token: str, "
                  "burn_chat_id: str) -> int"),
          R"(Fetch all subnets and send full burn-rate snapshot to burn Telegram.

Stores every subnet's rate as the new baseline without comparing, then sends
the table of all rates. 0 when the snapshot was delivered, 1 otherwise.)");

    m.def(names::burn_is_paused.name, &monitor::burn_is_paused, param("pause_path"),
          nb::sig("def _burn_is_paused(pause_path: str) -> bool"),
          R"(Whether the pause file is in place.

True when pause_path is not empty and names an existing regular file
(symbolic links followed). Every failure to examine the path means not paused.)");

    m.def(names::sleep_until_interval.name, &monitor::sleep_until_interval,
          param("interval_seconds"),
          param("pause_path"),
          nb::sig("def _sleep_until_interval(interval_seconds: float, pause_path: str) -> bool"),
          R"(Sleep in 1s steps. Returns False if paused before interval elapsed.

Tests the pause file before each step of at most one second and once at the
end; sleeps through the host's time.sleep.)");

    m.def(names::run_burn_poll_loop.name, &monitor::run_burn_poll_loop, nb::kw_only(),
          param("state_path"), param("threshold"), param("interval_minutes"),
          param("burn_token"), param("burn_chat_id"), param("pause_path") = "",
          nb::sig("def run_burn_poll_loop(*, state_path: str, threshold: float, "
                  "interval_minutes: float, burn_token: str, burn_chat_id: str, "
                  "pause_path: str = '') -> None"),
          R"(Monitor without end: wait an interval, run a pass, repeat.

The interval is interval_minutes * 60 seconds, at least one minute. A pass
that raises an ordinary error is logged as "[burn] error: ..." and the loop
goes on. Returns only when the pause file appears.)");
}

}  // namespace kilnguard
