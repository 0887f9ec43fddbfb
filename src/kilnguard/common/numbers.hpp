// Reading and writing numbers as text, without the C locale and without
// CPython's float()/int()/repr(), so every rule is ours and exact.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

namespace kilnguard::numbers {

// Reads ASCII text (white space already removed) as a double: an optional
// sign, then a decimal number or one of inf, infinity, nan in any letter case.
// A decimal number has digits with at most one point and at least one digit,
// an optional exponent, and single underscores between digits. The value is
// the nearest double; overflow gives infinity, underflow zero.
std::optional<double> read_real(std::string_view text);

// `value` with exactly `decimals` digits after the point, rounded exactly
// (half to even) from the double itself; nan, inf and -inf by name, and a
// negative value that rounds to zero keeps its sign.
std::string fixed_decimals(double value, int decimals);

// The shortest text that reads back as the same double, laid out as Python's
// repr() does: positional for decimal exponents -4 to 15 (a whole number ends
// in ".0"), exponent form otherwise (1e-05, 1e+16); nan, inf, -inf.
std::string shortest_text(double value);

// A whole number of any size, for ordering: sign and magnitude digits without
// leading zeros (zero is never negative).
struct Integer {
    bool negative = false;
    std::string digits = "0";

    std::strong_ordering operator<=>(const Integer& other) const;
    bool operator==(const Integer& other) const = default;
};

// Reads ASCII text (white space already removed) as a base-10 integer: an
// optional sign, then digits with single underscores between them.
std::optional<Integer> read_integer(std::string_view text);

// The integer part of a finite double, cut toward zero.
Integer truncated(double value);

}  // namespace kilnguard::numbers
