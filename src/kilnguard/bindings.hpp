// Each subsystem registers its operations on the module, in interface order.
#pragma once

#include <nanobind/nanobind.h>

namespace kilnguard {

// Every operation checks its own arguments on entry, so the binding lets any
// value through (None included) and the check can say what was wrong.
inline auto param(const char* name) { return nanobind::arg(name).none(); }

void bind_taostats(nanobind::module_& m);
void bind_burn(nanobind::module_& m);
void bind_telegram(nanobind::module_& m);
void bind_monitor(nanobind::module_& m);

}  // namespace kilnguard
