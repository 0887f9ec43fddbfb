// Netuids are small numbers, so nearly every ordering fits in 64 bits and
// needs neither the decimal text of each value nor a comparison of digit
// strings. A value beyond that range, or one that is not a whole number at
// all, sends the whole ordering through integer_value as before.
#include "common/integer_order.hpp"

#include "common/numbers.hpp"
#include "common/py.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>

namespace kilnguard::py {

namespace {

// Text read as numbers::read_integer reads it (a sign, then digits with
// single underscores between them), when the value fits in 64 bits.
std::optional<long long> small_integer(std::string_view text) {
    std::size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
    std::uint64_t magnitude = 0;
    std::size_t digits = 0;
    constexpr std::uint64_t limit = std::uint64_t{1} << 63;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c >= '0' && c <= '9') {
            if (magnitude > (limit - static_cast<unsigned>(c - '0')) / 10) return std::nullopt;
            magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
            ++digits;
        } else if (c == '_' && digits > 0 && pos + 1 < text.size() && text[pos + 1] >= '0' &&
                   text[pos + 1] <= '9') {
            continue;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || (!negative && magnitude == limit)) return std::nullopt;
    return negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
}

// The whole number of `value` when it fits in 64 bits and reading it cannot
// fail; nothing otherwise (integer_value then decides).
std::optional<long long> small_integer_value(nb::handle value) {
    PyObject* v = value.ptr();
    if (!v) return 0;
    if (PyLong_Check(v)) {
        int overflow = 0;
        const long long result = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow || (result == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return std::nullopt;
        }
        return result;
    }
    if (PyFloat_Check(v)) {
        const double whole = std::trunc(PyFloat_AS_DOUBLE(v));
        // Both bounds are exact doubles; NaN fails both comparisons.
        if (whole >= -9223372036854775808.0 && whole < 9223372036854775808.0)
            return static_cast<long long>(whole);
        return std::nullopt;
    }
    if (PyUnicode_Check(v)) {
        std::string scratch;
        std::optional<std::string_view> core = ascii_core(value, scratch);
        return core ? small_integer(*core) : std::nullopt;
    }
    return std::nullopt;
}

template <typename Key>
std::vector<std::size_t> stable_order(const std::vector<Key>& keys) {
    std::vector<std::size_t> order(keys.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&keys](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    return order;
}

}  // namespace

std::vector<std::size_t> integer_order(const std::vector<nb::handle>& values) {
    std::vector<long long> small;
    small.reserve(values.size());
    for (nb::handle value : values) {
        std::optional<long long> key = small_integer_value(value);
        if (!key) {
            // Raises for a value that is no whole number; a big one needs
            // the general ordering for all.
            std::vector<numbers::Integer> keys;
            keys.reserve(values.size());
            for (nb::handle each : values)
                keys.push_back(each.is_valid() ? integer_value(each) : numbers::Integer{});
            return stable_order(keys);
        }
        small.push_back(*key);
    }
    return stable_order(small);
}

}  // namespace kilnguard::py
