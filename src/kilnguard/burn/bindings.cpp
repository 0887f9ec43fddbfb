// The burn model's operations, in interface order.
#include "bindings.hpp"
#include "burn/operations.hpp"
#include "names.hpp"

namespace kilnguard {

namespace nb = nanobind;

void bind_burn(nb::module_& m) {
    m.def(names::owner_burn_from_row.name, &burn::owner_burn_from_row, param("row"),
          nb::sig("def owner_burn_from_row(row: dict[str, object]) -> str"),
          R"(The subnet's owner burn rate from its listing row, as text.

The member "incentive_burn" in its text form: a text unchanged, a real in its
shortest round-trip form, an integer in decimal. An absent, null, false, zero
or empty value gives "0".)");

    m.def(names::format_owner_burn.name, &burn::format_owner_burn, param("value"),
          nb::sig("def format_owner_burn(value: str) -> str"),
          R"(A rate for display: OWNER_BURN_DECIMALS digits after the point.

The text is read as a real (white space around it, a sign, single underscores
between digits, inf and nan allowed) and rounded exactly, half to even, from
its double value: "0.18" gives "0.1800", "-0" gives "-0.0000". A text that
does not read as a real comes back unchanged.)");

    m.def(names::owner_burn_changed.name, &burn::owner_burn_changed, param("old"), param("new"),
          param("threshold"),
          nb::sig("def owner_burn_changed(old: str, new: str, threshold: float) -> bool"),
          R"(Whether a rate moved by more than the threshold.

When both texts read as reals, true exactly when their absolute difference is
strictly greater than threshold (a difference that is not a number is no
change); otherwise true when the texts differ.)");

    m.def(names::load_burn_state.name, &burn::load_burn_state, param("path"),
          nb::sig("def load_burn_state(path: str) -> dict[str, str]"),
          R"(The rates stored by the last save, by netuid text, in the file's order.

Each stored value comes back in its text form. A path that names no regular
file, a file that cannot be read or is not JSON, and a file without an
"owner_burn_rate" object all give an empty map; bytes that are not UTF-8 raise
UnicodeDecodeError and a document that is not a JSON object raises TypeError.)");

    m.def(names::save_burn_state.name, &burn::save_burn_state, param("path"), param("burns"),
          param("updated_at"),
          nb::sig("def save_burn_state(path: str, burns: dict[str, str], updated_at: str) -> None"),
          R"(Stores the rates and the time of the pass, replacing the file atomically.

The document holds "owner_burn_rate" and "updated_at_utc", names sorted, two
spaces of indentation, pure ASCII, one final line feed. A symbolic link keeps
pointing at the new file and an existing file keeps its permission bits; on
failure the old file is left as it was and the OSError is raised.)");

    m.def(names::replace_file.name, &burn::replace_file, param("path"), param("text"),
          nb::sig("def _replace_file(path: str, text: str) -> None"),
          R"(Replaces the file at path with text (UTF-8) as the state file is replaced.

A temporary file in the same folder is written, synced and renamed over the
path, then the folder is synced: a crash leaves the old document or the new
one. A symbolic link keeps pointing at the new file and an existing file keeps
its permission bits. A path naming a device, a FIFO or a socket is refused
with OSError; on any failure the temporary file is removed, the old file is
left as it was and the OSError names the path.)");

    m.def(names::diff_burns.name, &burn::diff_burns, param("prev"), param("current"),
          param("threshold"),
          nb::sig("def diff_burns(prev: dict[str, str], current: dict[str, str], "
                  "threshold: float) -> list[tuple[str, str, str]]"),
          R"(The subnets whose rate changed, as (netuid, old, new), by ascending netuid.

Only subnets present in both maps can be reported; owner_burn_changed, as the
module binds it at the time of the call, decides each one. A key of current
that is not a base-10 integer text raises ValueError.)");
}

}  // namespace kilnguard
