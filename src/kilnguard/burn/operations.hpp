// The burn model: rate values, change detection and the state file.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace kilnguard::burn {

namespace nb = nanobind;

nb::str owner_burn_from_row(nb::handle row);
nb::str format_owner_burn(nb::handle value);
bool owner_burn_changed(nb::handle old_rate, nb::handle new_rate, nb::handle threshold);
nb::dict load_burn_state(nb::handle path);
void save_burn_state(nb::handle path, nb::handle burns, nb::handle updated_at);
void replace_file(nb::handle path, nb::handle text);
nb::list diff_burns(nb::handle prev, nb::handle current, nb::handle threshold);

// Replaces the file at `path` with `content` as the state file is replaced
// (atomically, refusing what is not a regular file); failures raise OSError
// naming the path.
void replace_or_raise(const nb::str& path, std::string_view content);

}  // namespace kilnguard::burn
