// The kilnguard extension module: the constant and the operation table.
//
// Loading the module binds names and nothing else: no file is read, no
// connection is opened and no environment variable is looked at until an
// operation is called.
#include "bindings.hpp"
#include "common/py.hpp"

#include <curl/curl.h>

NB_MODULE(kilnguard, m) {
    m.doc() = "Watches the owner burn rate of every Bittensor subnet and "
              "reports changes to a Telegram chat.";
    kilnguard::py::set_module(m);

    // curl_global_init is thread-safe on the libcurl we build against and
    // opens nothing; calling it here keeps every later request from racing
    // to do it. There is deliberately no matching cleanup at unload.
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        throw nanobind::import_error("kilnguard: libcurl failed to initialise");

    m.attr("OWNER_BURN_DECIMALS") = 4;

    // The operations, in the order of the module's interface.
    kilnguard::bind_taostats(m);
    kilnguard::bind_burn(m);
    kilnguard::bind_telegram(m);
    kilnguard::bind_monitor(m);
}
