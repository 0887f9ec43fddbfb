// Python glue shared by every operation: argument checks, the late-bound call
// of one operation by another, the host's sleep and standard error, and the
// system's rules for the truth and the text form of a value.
#pragma once

#include <nanobind/nanobind.h>

#include "common/numbers.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kilnguard::py {

namespace nb = nanobind;

// ---------------------------------------------------------------- errors

// Sets a Python error with a printf-style message (PyErr_Format codes, so
// %U, %S and %R take Python objects) and unwinds to the binding layer.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// Takes ownership of the result of a C API call that returns a new reference,
// or throws the error it set when it returned NULL.
template <typename T = nb::object>
T steal_or_throw(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal<T>(result);
}

// ---------------------------------------------------------- the module

// A name the module binds (an operation or its constant), looked up on the
// module at each use. `slot` numbers the names of one module from 0, so the
// interned form of each is made once, when the module is set up.
struct LateBound {
    std::size_t slot;
    const char* name;
};

// Records the module and interns every name it binds. Called once, at load.
void set_module(nb::handle module, std::span<const LateBound> names);

// Records the functions the module binds under `names`, once every operation
// is bound. They are kept only to be recognised, never called: an operation
// found under its name is the module's own exactly when it is one of them.
void remember_own_operations(std::span<const LateBound> names);

// The value bound to `name` on the module right now. Every operation that
// uses another goes through here, so a host that rebinds kilnguard.<name>
// changes what the next call uses; nothing else keeps a reference to an
// operation.
nb::object module_attr(const LateBound& name);

// Whether `found`, looked up under `name`, is the function the module bound
// there at load (and not something a host put in its place).
bool is_own(const LateBound& name, nb::handle found);
inline bool is_own(const LateBound& name) { return is_own(name, module_attr(name)); }

// Raises the Python error nanobind would make of the C++ exception being
// handled, as a call through the module would have raised it.
[[noreturn]] void raise_as_python();

namespace detail {
inline nb::object as_object(bool value) { return nb::bool_(value); }
inline nb::object as_object(nb::object value) { return value; }
}  // namespace detail

// Calls the operation that is bound to `name` on the module right now. With
// `Own`, the C++ function behind the module's own binding, a call that finds
// that binding in place runs it directly, without the trip through Python's
// call machinery: same arguments, same result, same errors.
template <auto Own = nullptr, typename... Args>
nb::object call_late_bound(const LateBound& name, Args&&... args) {
    nb::object found = module_attr(name);
    if constexpr (!std::is_same_v<decltype(Own), std::nullptr_t>) {
        if (is_own(name, found)) {
            try {
                return detail::as_object(Own(nb::handle(args)...));
            } catch (nb::python_error&) {
                throw;
            } catch (...) {
                raise_as_python();
            }
        }
    }
    return found(std::forward<Args>(args)...);
}

// ---------------------------------------------------- argument checks

// Checks the arguments of one operation on entry. Failures read like
// CPython's own: "format_owner_burn() argument 'value' must be str, not None".
class ArgCheck {
public:
    explicit ArgCheck(const LateBound& operation) : operation_(operation.name) {}

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

// The member `key` of a dict, or nothing when it is absent. The value is
// owned: host code run while it is examined (its __bool__, __str__, __eq__)
// may empty the dict without pulling the value from under the caller.
std::optional<nb::object> member(nb::handle dict, nb::handle key);

// The name of a value's type as error texts give it: "None" for None.
const char* type_name_or_none(nb::handle value);

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

// The longest line, in characters, that host_log writes whole.
inline constexpr std::size_t longest_log_line = 8000;

// Writes one whole line to the host's sys.stderr with a single write() and
// no flush. It stays one physical line: CR and LF inside it are written as
// the two characters \r and \n, and a line over 8000 characters keeps its
// first 8000 and ends with "… (N more characters)".
void host_log(nb::handle line);
void host_log(std::string_view utf8_line);

// A text as host_log writes it inside a line: CR and LF as \r and \n, cut
// after 8000 characters with the note of how many more there were. For a
// text handed to the host that must read exactly like the logged one.
nb::str single_line(nb::handle text);

// What single_line makes of a text when only its start is at hand: `start`
// is the UTF-8 of its first characters (at least the first 8000, or all of
// them; no CR or LF among them) and `characters` the length of the whole
// text. For a text too long to be built whole just to be cut.
nb::str single_line(std::string_view start, std::size_t characters);

// Writes `line` to the host's sys.stderr exactly as it is, with a single
// write() and no flush: for a line already made one physical line (by
// single_line) with its line feed.
void host_write(nb::handle line);

}  // namespace kilnguard::py
