// Python glue shared by every operation: argument checks, the late-bound call
// of one operation by another, the host's sleep and standard error, and the
// system's rules for the truth and the text form of a value.
#pragma once

#include <nanobind/nanobind.h>

#include "common/numbers.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kilnguard::py {

namespace nb = nanobind;

// ---------------------------------------------------------------- errors

// Sets a Python error with a printf-style message (PyErr_Format codes, so
// %U, %S and %R take Python objects) and unwinds to the binding layer.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// ---------------------------------------------------------- the module

void set_module(nb::handle module);

// Calls the operation that is bound to `name` on the module right now. Every
// operation that uses another goes through here, so a host that rebinds
// kilnguard.<name> changes what the next call uses; nothing else keeps a
// reference to an operation.
nb::object module_attr(const char* name);
template <typename... Args>
nb::object call_late_bound(const char* name, Args&&... args) {
    return module_attr(name)(std::forward<Args>(args)...);
}

// ---------------------------------------------------- argument checks

// Checks the arguments of one operation on entry. Failures read like
// CPython's own: "format_owner_burn() argument 'value' must be str, not None".
class ArgCheck {
public:
    explicit ArgCheck(const char* operation) : operation_(operation) {}

    // Exactly a str (None is refused).
    nb::str text(const char* param, nb::handle value) const;
    // Exactly a JSON-object mapping: a dict.
    nb::dict dict(const char* param, nb::handle value) const;
    // Exactly a list.
    nb::list list(const char* param, nb::handle value) const;
    // Exactly True or False: a switch given as "false" or 0 is a mistake to
    // report, not a value to test for truth.
    bool flag(const char* param, nb::handle value) const;
    // Any real number; an integer is taken as the equal real.
    double real(const char* param, nb::handle value) const;
    // Any number; a real is cut toward zero. Integers beyond the range of
    // long long are clamped to it (no count or length gets anywhere near).
    long long integer(const char* param, nb::handle value) const;

private:
    [[noreturn]] void mismatch(const char* param, const char* expected,
                               nb::handle value) const;
    const char* operation_;
};

// ------------------------------------------------------------- values

// An interned member name, made once and kept for the life of the process.
class Key {
public:
    explicit Key(const char* name) : name_(PyUnicode_InternFromString(name)) {}
    PyObject* ptr() const { return name_; }
    operator nb::handle() const { return name_; }

private:
    PyObject* name_;
};

// The member `key` of a dict, or an invalid handle when it is absent.
// Borrowed: hold it in an nb::object before running any Python code.
nb::handle member(nb::handle dict, nb::handle key);

// Truth of a value: None, False, zero, empty texts and containers are false.
bool truth(nb::handle value);

// Text form of a value: a str unchanged, an integer in decimal digits at any
// size, a real in its shortest round-trip text, True/False/None by name,
// containers as Python prints them, an error as its message.
nb::str text_form(nb::handle value);

// The whole number a value stands for, read as int() reads it: an int (bool
// included) as itself, a real cut toward zero, a text as a base-10 integer
// with white space around it, a sign and single underscores. Anything else
// raises TypeError, ValueError or OverflowError in int()'s own words.
numbers::Integer integer_value(nb::handle value);

// Decimal digits of a Python int of any size (CPython's own str() refuses
// integers beyond 4300 digits).
std::string decimal_text(nb::handle integer);

// The text between leading and trailing white space (as str.isspace counts
// it), when that is pure ASCII; otherwise nothing. Number readers only accept
// ASCII, so this is the one place that deals with the rest of Unicode. The
// view points into `text` or, for wide strings, into `scratch`.
std::optional<std::string_view> ascii_core(nb::handle text, std::string& scratch);

// UTF-8 of a str; a str holding a lone surrogate raises UnicodeEncodeError.
std::string_view utf8(nb::handle text);

// A new str from UTF-8 bytes that are known to be valid.
nb::str str_from_utf8(std::string_view bytes);

// ------------------------------------------------------ host facilities

// Sleeps through the host's time.sleep, looked up at each call, so Ctrl-C
// interrupts the sleep and tests can record the pauses.
void host_sleep(double seconds);

// Writes one whole line to the host's sys.stderr with a single write() and
// no flush.
void host_log(nb::handle line);
void host_log(std::string_view utf8_line);

}  // namespace kilnguard::py
