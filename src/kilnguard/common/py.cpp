#include "common/py.hpp"

#include "common/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <limits>
#include <vector>

namespace kilnguard::py {

void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

// ---------------------------------------------------------- the module

namespace {
// A strong reference held for the life of the process: the module outlives
// every call into it, and releasing it at interpreter shutdown gains nothing.
PyObject* the_module = nullptr;
}  // namespace

void set_module(nb::handle module) {
    Py_XDECREF(the_module);
    the_module = module.inc_ref().ptr();
}

nb::object module_attr(const char* name) {
    PyObject* value = PyObject_GetAttrString(the_module, name);
    if (!value) throw nb::python_error();
    return nb::steal(value);
}

// ---------------------------------------------------- argument checks

namespace {
const char* kind_name(nb::handle value) {
    return value.is_none() ? "None" : Py_TYPE(value.ptr())->tp_name;
}

bool has_number_protocol(PyObject* value) {
    const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    return number && (number->nb_float || number->nb_index);
}

long long clamp_to_long_long(double value) {
    // 2^63 is exactly representable; everything at or beyond it clamps.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit) return std::numeric_limits<long long>::max();
    if (value < -limit) return std::numeric_limits<long long>::min();
    return static_cast<long long>(value);
}
}  // namespace

void ArgCheck::mismatch(const char* param, const char* expected, nb::handle value) const {
    raise(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", operation_, param,
          expected, kind_name(value));
}

nb::str ArgCheck::text(const char* param, nb::handle value) const {
    if (!PyUnicode_Check(value.ptr())) mismatch(param, "str", value);
    return nb::borrow<nb::str>(value);
}

nb::dict ArgCheck::dict(const char* param, nb::handle value) const {
    if (!PyDict_Check(value.ptr())) mismatch(param, "dict", value);
    return nb::borrow<nb::dict>(value);
}

nb::list ArgCheck::list(const char* param, nb::handle value) const {
    if (!PyList_Check(value.ptr())) mismatch(param, "list", value);
    return nb::borrow<nb::list>(value);
}

bool ArgCheck::flag(const char* param, nb::handle value) const {
    if (!PyBool_Check(value.ptr())) mismatch(param, "bool", value);
    return value.ptr() == Py_True;
}

double ArgCheck::real(const char* param, nb::handle value) const {
    PyObject* v = value.ptr();
    if (PyFloat_Check(v)) return PyFloat_AS_DOUBLE(v);
    if (!PyLong_Check(v) && !has_number_protocol(v)) mismatch(param, "a real number", value);
    // Integers (bool included) and other numbers convert as float() would;
    // an int too large for a double raises OverflowError.
    double result = PyFloat_AsDouble(v);
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

long long ArgCheck::integer(const char* param, nb::handle value) const {
    PyObject* v = value.ptr();
    if (PyLong_Check(v)) {
        int overflow = 0;
        long long result = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow > 0) return std::numeric_limits<long long>::max();
        if (overflow < 0) return std::numeric_limits<long long>::min();
        if (result == -1 && PyErr_Occurred()) throw nb::python_error();
        return result;
    }
    if (!PyFloat_Check(v) && !has_number_protocol(v)) mismatch(param, "a number", value);
    if (!PyFloat_Check(v) && Py_TYPE(v)->tp_as_number->nb_index) {
        nb::object index = nb::steal(PyNumber_Index(v));
        if (!index.is_valid()) throw nb::python_error();
        return integer(param, index);
    }
    double real = PyFloat_AsDouble(v);
    if (real == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (std::isnan(real))
        raise(PyExc_ValueError, "%s() argument '%s' cannot be NaN", operation_, param);
    if (std::isinf(real))
        raise(PyExc_OverflowError, "%s() argument '%s' cannot be infinite", operation_, param);
    return clamp_to_long_long(std::trunc(real));
}

// ------------------------------------------------------------- values

nb::handle member(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return value;
}

bool truth(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

nb::str text_form(nb::handle value) {
    PyObject* v = value.ptr();
    if (PyUnicode_Check(v)) return nb::borrow<nb::str>(value);
    if (PyBool_Check(v)) return nb::str(v == Py_True ? "True" : "False");
    if (PyLong_Check(v)) {
        std::string digits = decimal_text(value);
        return nb::str(digits.data(), digits.size());
    }
    if (PyFloat_Check(v)) {
        std::string text = numbers::shortest_text(PyFloat_AS_DOUBLE(v));
        return nb::str(text.data(), text.size());
    }
    if (value.is_none()) return nb::str("None");
    PyObject* text = PyObject_Str(v);
    if (!text) throw nb::python_error();
    return nb::steal<nb::str>(text);
}

namespace {
// Converts the hexadecimal digits of a big integer to decimal with limbs of
// 10^9, least significant first. Quadratic, like every base conversion
// CPython itself offers, but free of its 4300-digit limit.
std::string hex_to_decimal(std::string_view hex) {
    constexpr std::uint64_t limb_base = 1'000'000'000;
    std::vector<std::uint64_t> limbs{0};
    std::size_t i = 0;
    while (i < hex.size()) {
        // Feed up to seven hex digits (28 bits) at a time: limb * 2^28 + carry
        // stays well inside 64 bits.
        std::size_t take = std::min<std::size_t>(7, hex.size() - i);
        std::uint64_t chunk = 0;
        for (std::size_t k = 0; k < take; ++k) {
            char c = hex[i + k];
            unsigned digit = c <= '9' ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
            chunk = chunk * 16 + digit;
        }
        i += take;
        std::uint64_t carry = chunk;
        const std::uint64_t scale = std::uint64_t{1} << (4 * take);
        for (auto& limb : limbs) {
            std::uint64_t wide = limb * scale + carry;
            limb = wide % limb_base;
            carry = wide / limb_base;
        }
        while (carry) {
            limbs.push_back(carry % limb_base);
            carry /= limb_base;
        }
    }
    std::string out = std::to_string(limbs.back());
    char buffer[16];
    for (auto it = limbs.rbegin() + 1; it != limbs.rend(); ++it) {
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, *it);
        out.append(9 - std::size_t(end - buffer), '0');
        out.append(buffer, end);
    }
    return out;
}
}  // namespace

std::string decimal_text(nb::handle integer) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (!overflow) {
        if (small == -1 && PyErr_Occurred()) throw nb::python_error();
        char buffer[24];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, small);
        return std::string(buffer, end);
    }
    // Powers of two are the one base CPython converts without a digit limit.
    nb::object hex = nb::steal(PyNumber_ToBase(integer.ptr(), 16));
    if (!hex.is_valid()) throw nb::python_error();
    std::string_view text = utf8(hex);
    bool negative = text.front() == '-';
    text.remove_prefix(negative ? 3 : 2);  // "-0x" or "0x"
    std::string digits = hex_to_decimal(text);
    return negative ? "-" + digits : digits;
}

numbers::Integer integer_value(nb::handle value) {
    PyObject* v = value.ptr();
    if (PyLong_Check(v)) {
        std::string digits = decimal_text(value);
        return *numbers::read_integer(digits);
    }
    if (PyFloat_Check(v)) {
        const double real = PyFloat_AS_DOUBLE(v);
        if (std::isnan(real)) raise(PyExc_ValueError, "cannot convert float NaN to integer");
        if (std::isinf(real)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
        return numbers::truncated(real);
    }
    if (PyUnicode_Check(v)) {
        std::string scratch;
        std::optional<std::string_view> core = ascii_core(value, scratch);
        std::optional<numbers::Integer> integer = core ? numbers::read_integer(*core) : std::nullopt;
        if (!integer) raise(PyExc_ValueError, "invalid literal for int() with base 10: %R", v);
        return *integer;
    }
    raise(PyExc_TypeError, "int() argument must be a string or a real number, not '%s'",
          Py_TYPE(v)->tp_name);
}

std::optional<std::string_view> ascii_core(nb::handle text, std::string& scratch) {
    PyObject* s = text.ptr();
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(s);
    while (begin < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, begin))) ++begin;
    while (end > begin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    const auto length = static_cast<std::size_t>(end - begin);
    if (PyUnicode_IS_ASCII(s))
        return std::string_view(static_cast<const char*>(data) + begin, length);
    scratch.clear();
    scratch.reserve(length);
    for (Py_ssize_t i = begin; i < end; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch >= 0x80) return std::nullopt;
        scratch.push_back(static_cast<char>(ch));
    }
    return std::string_view(scratch);
}

std::string_view utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string_view(data, static_cast<std::size_t>(size));
}

nb::str str_from_utf8(std::string_view bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                          nullptr);
    if (!text) throw nb::python_error();
    return nb::steal<nb::str>(text);
}

// ------------------------------------------------------ host facilities

void host_sleep(double seconds) {
    nb::module_ time = nb::module_::import_("time");
    time.attr("sleep")(seconds);
}

void host_log(nb::handle line) {
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (!stream || stream == Py_None) raise(PyExc_RuntimeError, "lost sys.stderr");
    nb::handle(stream).attr("write")(line);
}

void host_log(std::string_view utf8_line) { host_log(str_from_utf8(utf8_line)); }

}  // namespace kilnguard::py
