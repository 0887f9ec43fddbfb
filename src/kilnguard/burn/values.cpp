// A subnet's owner burn rate travels as text: taken from the listing, kept
// unchanged in every map and in the state file, compared as a number when both
// sides read as numbers, and rounded only for display.
#include "burn/operations.hpp"

#include "common/numbers.hpp"
#include "common/py.hpp"
#include "names.hpp"

#include <climits>
#include <cmath>
#include <optional>
#include <string>

namespace kilnguard::burn {

namespace {

std::optional<double> read_rate(nb::handle text) {
    std::string scratch;
    std::optional<std::string_view> core = py::ascii_core(text, scratch);
    return core ? numbers::read_real(*core) : std::nullopt;
}

// OWNER_BURN_DECIMALS as the module holds it at this moment; a host may
// assign it. A value that is not a usable digit count leaves rates unformatted.
std::optional<int> display_decimals() {
    nb::object decimals = py::module_attr(names::owner_burn_decimals);
    if (!PyLong_Check(decimals.ptr()) || PyBool_Check(decimals.ptr())) return std::nullopt;
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(decimals.ptr(), &overflow);
    if (overflow || count < 0 || count > INT_MAX) return std::nullopt;
    return static_cast<int>(count);
}

}  // namespace

nb::str owner_burn_from_row(nb::handle row_arg) {
    static const py::Key incentive_burn{"incentive_burn"};
    nb::dict row = py::ArgCheck{names::owner_burn_from_row}.dict("row", row_arg);
    std::optional<nb::object> value = py::member(row, incentive_burn);
    // Absent, null, false, zero and empty values all mean no burn.
    if (!value || !py::truth(*value)) return nb::str("0");
    return py::text_form(*value);
}

nb::str format_owner_burn(nb::handle value_arg) {
    nb::str value = py::ArgCheck{names::format_owner_burn}.text("value", value_arg);
    std::optional<double> rate = read_rate(value);
    if (!rate) return value;
    std::optional<int> decimals = display_decimals();
    if (!decimals) return value;
    std::string text = numbers::fixed_decimals(*rate, *decimals);
    return nb::str(text.data(), text.size());
}

bool owner_burn_changed(nb::handle old_arg, nb::handle new_arg, nb::handle threshold_arg) {
    const py::ArgCheck check{names::owner_burn_changed};
    nb::str old_rate = check.text("old", old_arg);
    nb::str new_rate = check.text("new", new_arg);
    const double threshold = check.real("threshold", threshold_arg);
    std::optional<double> old_value = read_rate(old_rate);
    std::optional<double> new_value = read_rate(new_rate);
    // A difference that is not a number (nan, or the same infinity on both
    // sides) compares false: never a change.
    if (old_value && new_value) return std::fabs(*old_value - *new_value) > threshold;
    return !old_rate.equal(new_rate);
}

}  // namespace kilnguard::burn
