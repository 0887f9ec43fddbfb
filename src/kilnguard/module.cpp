// The kilnguard extension module: the constant and the operation table.
//
// Loading the module binds names and nothing else: no file is read, no
// connection is opened and no environment variable is looked at until an
// operation is called.
#include "bindings.hpp"
#include "common/py.hpp"
#include "names.hpp"

NB_MODULE(kilnguard, m) {
    m.doc() = "Watches the owner burn rate of every Bittensor subnet and "
              "reports changes to a Telegram chat.";
    kilnguard::py::set_module(m, kilnguard::names::all);

    m.attr(kilnguard::names::owner_burn_decimals.name) = 4;

    // The operations, in the order of the module's interface.
    kilnguard::bind_taostats(m);
    kilnguard::bind_burn(m);
    kilnguard::bind_telegram(m);
    kilnguard::bind_monitor(m);
}
