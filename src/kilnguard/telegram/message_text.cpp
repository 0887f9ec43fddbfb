// The two texts the system sends: the change alert and the start-up snapshot.
// Both are a few header lines, an empty line and one line per subnet, joined
// by single line feeds; the chunking rules rely on that layout.
#include "telegram/operations.hpp"

#include "common/numbers.hpp"
#include "common/py.hpp"
#include "names.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <vector>

namespace kilnguard::telegram {

namespace {

// The parts concatenated into one str. Working on str objects (not UTF-8)
// keeps any text the caller gives, lone surrogates included.
nb::str concat(std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle part : parts) items.append(part);
    return py::steal_or_throw<nb::str>(PyUnicode_Join(nb::str("").ptr(), items.ptr()));
}

nb::str join_lines(const nb::list& lines) {
    return py::steal_or_throw<nb::str>(PyUnicode_Join(nb::str("\n").ptr(), lines.ptr()));
}

nb::str time_line(const nb::str& updated_at) { return concat({updated_at, nb::str(" UTC")}); }

// Unpacks one change as `netuid, old, new = entry` would, naming the entry in
// the error so a caller can find the bad one in a long list.
std::array<nb::object, 3> unpack_change(nb::handle entry, std::size_t index) {
    PyObject* iterator = PyObject_GetIter(entry.ptr());
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        py::raise(PyExc_TypeError,
                  "format_burn_alert() changes[%zu]: cannot unpack non-iterable %s object",
                  index, Py_TYPE(entry.ptr())->tp_name);
    }
    nb::object values_left = nb::steal(iterator);
    std::array<nb::object, 3> values;
    std::size_t count = 0;
    for (;;) {
        nb::object item = nb::steal(PyIter_Next(iterator));
        if (!item.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        if (count == values.size())
            py::raise(PyExc_ValueError,
                      "format_burn_alert() changes[%zu]: too many values to unpack (expected 3)",
                      index);
        values[count++] = std::move(item);
    }
    if (count < values.size())
        py::raise(PyExc_ValueError,
                  "format_burn_alert() changes[%zu]: not enough values to unpack "
                  "(expected 3, got %zu)",
                  index, count);
    return values;
}

nb::object display_rate(nb::handle rate) {
    return py::call_late_bound(names::format_owner_burn, rate);
}

}  // namespace

nb::str format_burn_alert(nb::handle changes_arg, nb::handle updated_at_arg) {
    const py::ArgCheck check{names::format_burn_alert};
    nb::list changes = check.list("changes", changes_arg);
    nb::str updated_at = check.text("updated_at", updated_at_arg);

    // A copy of the entries, so host code run while rendering (the rate
    // display is late-bound) cannot change the list under the loop.
    nb::list entries =
        py::steal_or_throw<nb::list>(PyList_GetSlice(changes.ptr(), 0, PY_SSIZE_T_MAX));

    nb::list lines;
    lines.append(nb::str("Owner burn rate changed"));
    lines.append(time_line(updated_at));
    lines.append(nb::str(""));
    const nb::str arrow(" \u2192 ");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto [netuid, old_rate, new_rate] = unpack_change(entries[i], i);
        nb::object old_display = display_rate(old_rate);
        nb::object new_display = display_rate(new_rate);
        lines.append(concat({nb::str("SN"), py::text_form(netuid), nb::str(": "), old_display,
                             arrow, new_display}));
    }
    return join_lines(lines);
}

nb::str format_burn_snapshot(nb::handle rows_arg, nb::handle updated_at_arg) {
    static const py::Key netuid_key{"netuid"};
    const py::ArgCheck check{names::format_burn_snapshot};
    nb::list rows = check.list("rows", rows_arg);
    nb::str updated_at = check.text("updated_at", updated_at_arg);

    // The caller's list is never reordered: the rows are sorted as a copy
    // that also keeps every row alive while host code runs.
    struct Row {
        numbers::Integer order;
        nb::object row;
    };
    std::vector<Row> sorted;
    sorted.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        nb::object row = rows[i];
        if (!PyDict_Check(row.ptr()))
            py::raise(PyExc_TypeError, "format_burn_snapshot() rows[%zu] must be dict, not %s",
                      i, py::type_name_or_none(row));
        // A row without a netuid sorts as subnet 0.
        std::optional<nb::object> netuid = py::member(row, netuid_key);
        numbers::Integer order = netuid ? py::integer_value(*netuid) : numbers::Integer{};
        sorted.push_back({std::move(order), std::move(row)});
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Row& a, const Row& b) { return a.order < b.order; });

    nb::list lines;
    lines.append(nb::str("Subnet owner burn rates (startup)"));
    lines.append(time_line(updated_at));
    lines.append(concat({nb::str(std::to_string(sorted.size()).c_str()), nb::str(" subnets")}));
    lines.append(nb::str(""));
    for (const Row& entry : sorted) {
        // Looked up again without a default: a row without one prints SNNone.
        nb::object netuid = py::member(entry.row, netuid_key).value_or(nb::none());
        nb::object rate = py::call_late_bound(names::owner_burn_from_row, entry.row);
        nb::object display = display_rate(rate);
        lines.append(concat({nb::str("SN"), py::text_form(netuid), nb::str(": "), display}));
    }
    return join_lines(lines);
}

}  // namespace kilnguard::telegram
