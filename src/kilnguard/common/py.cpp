#include "common/py.hpp"

#include "common/numbers.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
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
// Strong references held for the life of the process: the module outlives
// every call into it, and releasing them at interpreter shutdown gains
// nothing. (nanobind keeps the module's own state slot for itself.)
PyObject* the_module = nullptr;
std::vector<PyObject*> interned_names;
}  // namespace

void set_module(nb::handle module, std::span<const LateBound> names) {
    std::vector<PyObject*> interned;
    for (const LateBound& name : names) {
        PyObject* text = PyUnicode_InternFromString(name.name);
        if (!text) {
            for (PyObject* made : interned) Py_DECREF(made);
            throw nb::python_error();
        }
        interned.push_back(text);
    }
    for (PyObject* old : interned_names) Py_DECREF(old);
    interned_names = std::move(interned);
    Py_XDECREF(the_module);
    the_module = module.inc_ref().ptr();
}

namespace {
// The functions the module bound at load, by slot (nullptr for a name that
// holds no operation). Kept for the life of the process, like the module.
std::vector<PyObject*> own_operations;
}  // namespace

void remember_own_operations(std::span<const LateBound> names) {
    std::vector<PyObject*> own(names.size(), nullptr);
    for (const LateBound& name : names) {
        PyObject* value = PyObject_GetAttr(the_module, interned_names[name.slot]);
        if (!value) throw nb::python_error();
        if (PyCallable_Check(value))
            own[name.slot] = value;
        else
            Py_DECREF(value);
    }
    for (PyObject* old : own_operations) Py_XDECREF(old);
    own_operations = std::move(own);
}

bool is_own(const LateBound& name, nb::handle found) {
    return name.slot < own_operations.size() && own_operations[name.slot] &&
           found.ptr() == own_operations[name.slot];
}

nb::object module_attr(const LateBound& name) {
    return steal_or_throw(PyObject_GetAttr(the_module, interned_names[name.slot]));
}

void raise_as_python() {
    // nanobind's own translation of the standard exceptions.
    try {
        throw;
    } catch (const std::bad_alloc& error) {
        PyErr_SetString(PyExc_MemoryError, error.what());
    } catch (const std::domain_error& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::invalid_argument& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::length_error& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::out_of_range& error) {
        PyErr_SetString(PyExc_IndexError, error.what());
    } catch (const std::range_error& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::overflow_error& error) {
        PyErr_SetString(PyExc_OverflowError, error.what());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError,
                        "nanobind::detail::nb_func_error_except(): exception "
                        "could not be translated!");
    }
    throw nb::python_error();
}

// ---------------------------------------------------- argument checks

const char* type_name_or_none(nb::handle value) {
    return value.is_none() ? "None" : Py_TYPE(value.ptr())->tp_name;
}

namespace {

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
          expected, type_name_or_none(value));
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
        nb::object index = steal_or_throw(PyNumber_Index(v));
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

std::optional<nb::object> member(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value) {
        if (PyErr_Occurred()) throw nb::python_error();
        return std::nullopt;
    }
    return nb::borrow(value);
}

bool truth(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

namespace {

// The text form of a dict, list or tuple, as Python prints it but with
// integers at any size (int.__repr__ refuses more than 4300 digits). Parts
// are gathered in a list and joined once.
class ContainerText {
public:
    nb::str take(nb::handle container) {
        write_container(container);
        return steal_or_throw<nb::str>(PyUnicode_Join(nb::str("").ptr(), parts_.ptr()));
    }

private:
    void add(const char* text) { parts_.append(nb::str(text)); }

    // A value inside a container: texts quoted, everything else by its repr.
    void element(nb::handle value) {
        PyObject* v = value.ptr();
        if (PyBool_Check(v) || v == Py_None) {
            add(v == Py_True ? "True" : v == Py_False ? "False" : "None");
        } else if (PyLong_CheckExact(v) || PyFloat_CheckExact(v)) {
            parts_.append(text_form(value));
        } else if (PyDict_CheckExact(v) || PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
            write_container(value);
        } else {
            parts_.append(steal_or_throw(PyObject_Repr(v)));
        }
    }

    void write_container(nb::handle container) {
        PyObject* c = container.ptr();
        const bool is_dict = PyDict_CheckExact(c), is_list = PyList_CheckExact(c);
        const char* open = is_dict ? "{" : is_list ? "[" : "(";
        const char* close = is_dict ? "}" : is_list ? "]" : ")";
        // A container that holds itself prints as Python prints it.
        const int seen = Py_ReprEnter(c);
        if (seen < 0) throw nb::python_error();
        if (seen > 0) {
            add(open);
            add("...");
            add(close);
            return;
        }
        struct Leave {
            PyObject* c;
            ~Leave() { Py_ReprLeave(c); }
        } leave{c};
        if (Py_EnterRecursiveCall(" while getting the text form of an object"))
            throw nb::python_error();
        struct Recursion {
            ~Recursion() { Py_LeaveRecursiveCall(); }
        } recursion;

        // A snapshot: a repr run on the way is host code and may change
        // the container.
        nb::object items = steal_or_throw(is_dict ? PyDict_Items(c) : PySequence_List(c));
        add(open);
        const Py_ssize_t count = PyList_GET_SIZE(items.ptr());
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i > 0) add(", ");
            PyObject* item = PyList_GET_ITEM(items.ptr(), i);
            if (is_dict) {
                element(PyTuple_GET_ITEM(item, 0));
                add(": ");
                element(PyTuple_GET_ITEM(item, 1));
            } else {
                element(item);
            }
        }
        if (!is_dict && !is_list && count == 1) add(",");
        add(close);
    }

    nb::list parts_;
};

}  // namespace

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
    if (PyDict_CheckExact(v) || PyList_CheckExact(v) || PyTuple_CheckExact(v))
        return ContainerText().take(value);
    return steal_or_throw<nb::str>(PyObject_Str(v));
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
    nb::object hex = steal_or_throw(PyNumber_ToBase(integer.ptr(), 16));
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
    return steal_or_throw<nb::str>(
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
}

// ------------------------------------------------------ host facilities

void host_sleep(double seconds) {
    nb::module_ time = nb::module_::import_("time");
    time.attr("sleep")(seconds);
}

namespace {

// Whether `c` occurs in the first `end` characters of `text` (all of them by
// default).
bool holds(PyObject* text, Py_UCS4 c, Py_ssize_t end = PY_SSIZE_T_MAX) {
    end = std::min(end, PyUnicode_GET_LENGTH(text));
    const Py_ssize_t at = PyUnicode_FindChar(text, c, 0, end, 1);
    if (at == -2) throw nb::python_error();
    return at >= 0;
}

nb::str replaced(nb::handle text, const char* from, const char* to) {
    return steal_or_throw<nb::str>(
        PyUnicode_Replace(text.ptr(), nb::str(from).ptr(), nb::str(to).ptr(), -1));
}

// One physical line, whatever the text held: a line break inside it (an
// error page, say) would start an unlabelled line, or one that forges a
// label, and a huge page would fill the journal at every pass.
nb::str one_physical_line(nb::handle line) {
    PyObject* text = line.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const bool ends_line = length > 0 && PyUnicode_READ_CHAR(text, length - 1) == '\n';
    nb::str body = single_line(
        steal_or_throw<nb::str>(PyUnicode_Substring(text, 0, length - ends_line)));
    return ends_line ? steal_or_throw<nb::str>(PyUnicode_Concat(body.ptr(), nb::str("\n").ptr()))
                     : body;
}

}  // namespace

nb::str single_line(nb::handle text) {
    nb::str body = nb::borrow<nb::str>(text);
    if (holds(body.ptr(), '\r')) body = replaced(body, "\r", "\\r");
    if (holds(body.ptr(), '\n')) body = replaced(body, "\n", "\\n");
    const Py_ssize_t length = PyUnicode_GET_LENGTH(body.ptr());
    constexpr auto longest = static_cast<Py_ssize_t>(longest_log_line);
    if (length > longest) {
        nb::str kept = steal_or_throw<nb::str>(PyUnicode_Substring(body.ptr(), 0, longest));
        const nb::str ellipsis("\u2026");
        body = steal_or_throw<nb::str>(PyUnicode_FromFormat(
            "%U%U (%zd more characters)", kept.ptr(), ellipsis.ptr(), length - longest));
    }
    return body;
}

nb::str single_line(std::string_view start, std::size_t characters) {
    if (characters <= longest_log_line) return str_from_utf8(start);
    // The byte after the first 8000 characters.
    std::size_t end = 0;
    for (std::size_t seen = 0; end < start.size(); ++end) {
        if ((static_cast<unsigned char>(start[end]) & 0xC0) == 0x80) continue;
        if (seen++ == longest_log_line) break;
    }
    std::string line(start.substr(0, end));
    line += "\u2026 (" + std::to_string(characters - longest_log_line) + " more characters)";
    return str_from_utf8(line);
}

void host_write(nb::handle line) {
    PyObject* stream = PySys_GetObject("stderr");  // borrowed
    if (!stream || stream == Py_None) raise(PyExc_RuntimeError, "lost sys.stderr");
    nb::handle(stream).attr("write")(line);
}

void host_log(nb::handle line) {
    nb::str text = nb::borrow<nb::str>(line);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(line.ptr());
    // Short, single-line texts (nearly all of them) are written as they are.
    const bool inner_break = holds(line.ptr(), '\r') || holds(line.ptr(), '\n', length - 1);
    if (inner_break || length > static_cast<Py_ssize_t>(longest_log_line) + 1)
        text = one_physical_line(line);
    host_write(text);
}

void host_log(std::string_view utf8_line) { host_log(str_from_utf8(utf8_line)); }

}  // namespace kilnguard::py
