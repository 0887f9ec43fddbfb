#include "common/numbers.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace kilnguard::numbers {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    return std::equal(text.begin(), text.end(), lower_word.begin(), lower_word.end(),
                      [](char a, char b) { return (a | 0x20) == b; });
}

// Walks a text left to right, collecting digit runs in which a single
// underscore may stand between two digits.
struct Cursor {
    std::string_view text;
    std::size_t pos = 0;

    bool at_end() const { return pos == text.size(); }
    bool take(char c) {
        if (at_end() || text[pos] != c) return false;
        ++pos;
        return true;
    }
    bool take_either(char a, char b) { return take(a) || take(b); }
    // Consumes an optional sign; true when it was a minus.
    bool take_sign() {
        if (take('-')) return true;
        take('+');
        return false;
    }

    // Appends the digits of the run to `out`; returns how many there were.
    std::size_t digit_run(std::string& out) {
        std::size_t count = 0;
        while (!at_end()) {
            char c = text[pos];
            if (is_digit(c)) {
                out.push_back(c);
                ++count;
                ++pos;
            } else if (c == '_' && count > 0 && pos + 1 < text.size() && is_digit(text[pos + 1])) {
                ++pos;
            } else {
                break;
            }
        }
        return count;
    }
};

// Rough decimal exponent of a number that from_chars found out of range:
// positive means it overflowed, negative that it underflowed.
long long rough_exponent(std::string_view int_digits, std::string_view frac_digits,
                         std::string_view exponent, bool exponent_negative) {
    long long exp = 0;
    for (char c : exponent) {
        exp = std::min<long long>(exp * 10 + (c - '0'), 1'000'000'000'000LL);
    }
    if (exponent_negative) exp = -exp;
    auto first = int_digits.find_first_not_of('0');
    if (first != std::string_view::npos)
        return exp + static_cast<long long>(int_digits.size() - first);
    auto lead = frac_digits.find_first_not_of('0');
    return exp - static_cast<long long>(lead == std::string_view::npos ? 0 : lead);
}

}  // namespace

namespace {
// The common case, a plain decimal such as 0.18 or -1e-05 (no "+" in front,
// no underscore, no word): from_chars reads exactly these texts as the rule
// below does, without building a normalised copy first.
std::optional<double> read_plain_real(std::string_view text) {
    if (text.empty() || text.front() == '+') return std::nullopt;
    for (char c : text)
        if (!is_digit(c) && c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-')
            return std::nullopt;
    double value = 0.0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}
}  // namespace

std::optional<double> read_real(std::string_view text) {
    if (std::optional<double> plain = read_plain_real(text)) return plain;
    Cursor in{text};
    const bool negative = in.take_sign();
    const std::string_view rest = text.substr(in.pos);
    const double sign = negative ? -1.0 : 1.0;
    if (equals_ignoring_case(rest, "inf") || equals_ignoring_case(rest, "infinity"))
        return sign * std::numeric_limits<double>::infinity();
    if (equals_ignoring_case(rest, "nan"))
        return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);

    // Normalised form for from_chars: [-]int.frac e[-]exp, underscores gone.
    std::string int_digits, frac_digits, exp_digits;
    std::size_t digits = in.digit_run(int_digits);
    if (in.take('.')) digits += in.digit_run(frac_digits);
    if (digits == 0) return std::nullopt;
    bool exp_negative = false;
    if (in.take_either('e', 'E')) {
        exp_negative = in.take_sign();
        if (in.digit_run(exp_digits) == 0) return std::nullopt;
    }
    if (!in.at_end()) return std::nullopt;

    std::string normal;
    normal.reserve(int_digits.size() + frac_digits.size() + exp_digits.size() + 6);
    if (negative) normal.push_back('-');
    normal += int_digits.empty() ? "0" : int_digits;
    normal.push_back('.');
    normal += frac_digits.empty() ? "0" : frac_digits;
    if (!exp_digits.empty()) {
        normal.push_back('e');
        if (exp_negative) normal.push_back('-');
        normal += exp_digits;
    }
    double value = 0.0;
    auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
    if (ec == std::errc::result_out_of_range) {
        const bool overflow = rough_exponent(int_digits, frac_digits, exp_digits, exp_negative) > 0;
        return sign * (overflow ? std::numeric_limits<double>::infinity() : 0.0);
    }
    if (ec != std::errc() || end != normal.data() + normal.size()) return std::nullopt;
    return value;
}

std::string fixed_decimals(double value, int decimals) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // A double has at most 1074 significant fraction digits; beyond that every
    // digit is zero, so the rest is padding.
    constexpr int exact_limit = 1100;
    const int precision = std::clamp(decimals, 0, exact_limit);
    // Up to 309 integer digits, the point and the sign: a stack buffer for
    // the usual few decimals, the heap beyond.
    constexpr int on_stack = 64;
    char buffer[on_stack + 330];
    std::string heap;
    char* first = buffer;
    std::size_t room = sizeof buffer;
    if (precision > on_stack) {
        heap.resize(static_cast<std::size_t>(precision) + 330);
        first = heap.data();
        room = heap.size();
    }
    auto [end, ec] = std::to_chars(first, first + room, value, std::chars_format::fixed, precision);
    std::string out(first, end);
    if (decimals > exact_limit) out.append(static_cast<std::size_t>(decimals - exact_limit), '0');
    return out;
}

std::string shortest_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[40];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                   std::chars_format::scientific);
    std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));  // [-]d[.ddd]e±XX

    std::string out;
    if (sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.') digits.push_back(c);
    int exponent = 0;
    std::string_view exp_text = sci.substr(e + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    const auto n = static_cast<int>(digits.size());
    if (exponent >= -4 && exponent < 16) {
        const int point = exponent + 1;  // digits before the decimal point
        if (point <= 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-point), '0');
            out += digits;
        } else if (point >= n) {
            out += digits;
            out.append(static_cast<std::size_t>(point - n), '0');
            out += ".0";
        } else {
            out.append(digits, 0, static_cast<std::size_t>(point));
            out.push_back('.');
            out.append(digits, static_cast<std::size_t>(point));
        }
        return out;
    }
    out.push_back(digits.front());
    if (n > 1) {
        out.push_back('.');
        out.append(digits, 1);
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out.push_back('0');
    out += std::to_string(magnitude);
    return out;
}

std::strong_ordering Integer::operator<=>(const Integer& other) const {
    if (negative != other.negative)
        return negative ? std::strong_ordering::less : std::strong_ordering::greater;
    std::strong_ordering magnitude =
        digits.size() != other.digits.size() ? digits.size() <=> other.digits.size()
                                             : digits.compare(other.digits) <=> 0;
    return negative ? 0 <=> magnitude : magnitude;
}

namespace {
Integer make_integer(bool negative, std::string digits) {
    auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return Integer{};
    digits.erase(0, first);
    return Integer{negative, std::move(digits)};
}
}  // namespace

std::optional<Integer> read_integer(std::string_view text) {
    Cursor in{text};
    const bool negative = in.take_sign();
    std::string digits;
    if (in.digit_run(digits) == 0 || !in.at_end()) return std::nullopt;
    return make_integer(negative, std::move(digits));
}

Integer truncated(double value) {
    const double whole = std::trunc(value);
    char buffer[400];  // DBL_MAX has 309 digits
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(whole),
                                   std::chars_format::fixed, 0);
    return make_integer(std::signbit(whole), std::string(buffer, end));
}

}  // namespace kilnguard::numbers
