// Monitoring control: the operations a host drives.
#pragma once

#include <nanobind/nanobind.h>

namespace kilnguard::monitor {

namespace nb = nanobind;

nb::int_ run_kilnguard_once(nb::handle state_path, nb::handle threshold, nb::handle burn_token,
                            nb::handle burn_chat_id);
nb::int_ run_burn_startup_snapshot(nb::handle state_path, nb::handle burn_token,
                                   nb::handle burn_chat_id);
bool burn_is_paused(nb::handle pause_path);
bool sleep_until_interval(nb::handle interval_seconds, nb::handle pause_path);
void run_burn_poll_loop(nb::handle state_path, nb::handle threshold, nb::handle interval_minutes,
                        nb::handle burn_token, nb::handle burn_chat_id, nb::handle pause_path);
nb::str scrub_secrets(nb::handle text, nb::handle secrets);
void log_line(nb::handle text);

}  // namespace kilnguard::monitor
