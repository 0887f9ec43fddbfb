// The state file: the rates of the last pass, kept between runs. Loading
// forgives what a crash, a cut-off write or a stray edit can leave behind,
// since losing one comparison is better than stopping the monitor; saving
// replaces the file atomically, so there is never a half-written document to
// forgive in the first place.
#include "burn/operations.hpp"

#include "common/files.hpp"
#include "common/json_read.hpp"
#include "common/json_write.hpp"
#include "common/py.hpp"
#include "common/utf8.hpp"
#include "names.hpp"

#include <cerrno>
#include <optional>
#include <string>

namespace kilnguard::burn {

namespace {

const py::Key owner_burn_rate{"owner_burn_rate"};
const py::Key updated_at_utc{"updated_at_utc"};

const char* json_kind(nb::handle value) {
    PyObject* v = value.ptr();
    if (v == Py_None) return "null";
    if (PyBool_Check(v)) return "boolean";
    if (PyLong_Check(v) || PyFloat_Check(v)) return "number";
    if (PyUnicode_Check(v)) return "string";
    return "array";
}

}  // namespace

nb::dict load_burn_state(nb::handle path_arg) {
    nb::str path = py::ArgCheck{names::load_burn_state}.text("path", path_arg);

    std::string encoded;
    try {
        encoded = files::encode_path(path);
    } catch (nb::python_error& error) {
        // A path that cannot even be named names no regular file.
        if (!error.matches(PyExc_ValueError)) throw;
        return nb::dict();
    }
    std::optional<std::string> content;
    {
        nb::gil_scoped_release unlocked;
        content = files::read_regular_file(encoded);
    }
    if (!content) return nb::dict();

    // Bytes that are not UTF-8 are not the kind of damage our own saves can
    // leave, so they are reported rather than forgiven.
    utf8::require(*content);
    nb::object document;
    try {
        document = json::read(*content);
    } catch (const json::SyntaxError&) {
        return nb::dict();
    }
    if (!PyDict_Check(document.ptr()))
        py::raise(PyExc_TypeError, "burn state file %R holds a JSON %s, not an object", path.ptr(),
                  json_kind(document));

    std::optional<nb::object> stored = py::member(document, owner_burn_rate);
    nb::dict burns;
    if (!stored || !PyDict_Check(stored->ptr())) return burns;
    for (auto [netuid, rate] : nb::borrow<nb::dict>(*stored)) burns[netuid] = py::text_form(rate);
    return burns;
}

void save_burn_state(nb::handle path_arg, nb::handle burns_arg, nb::handle updated_at_arg) {
    const py::ArgCheck check{names::save_burn_state};
    nb::str path = check.text("path", path_arg);
    nb::dict burns = check.dict("burns", burns_arg);
    nb::str updated_at = check.text("updated_at", updated_at_arg);

    // The whole document first: a value with no JSON form fails here, before
    // the file system is touched.
    nb::dict document;
    document[owner_burn_rate] = burns;
    document[updated_at_utc] = updated_at;
    std::string content = json::write_indented_sorted(document);
    content.push_back('\n');

    replace_or_raise(path, content);
}

void replace_or_raise(const nb::str& path, std::string_view content) {
    std::string encoded = files::encode_path(path);
    files::Failure failure;
    {
        nb::gil_scoped_release unlocked;
        failure = files::replace_file(std::move(encoded), content);
    }
    if (failure.refused) {
        // Shaped like the other save errors (errno, text, path), with EINVAL
        // since no errno value says "not a regular file".
        nb::object reason = py::steal_or_throw(PyUnicode_FromFormat(
            "Refused to replace %s (not a regular file)", failure.refused));
        nb::object error = py::steal_or_throw(
            PyObject_CallFunction(PyExc_OSError, "iOO", EINVAL, reason.ptr(), path.ptr()));
        PyErr_SetObject(PyExc_OSError, error.ptr());
        throw nb::python_error();
    }
    if (failure) {
        errno = failure.error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw nb::python_error();
    }
}

void replace_file(nb::handle path_arg, nb::handle text_arg) {
    const py::ArgCheck check{names::replace_file};
    nb::str path = check.text("path", path_arg);
    nb::str text = check.text("text", text_arg);
    // A text UTF-8 cannot carry (a lone surrogate) raises UnicodeEncodeError
    // here, before the file system is touched.
    replace_or_raise(path, py::utf8(text));
}

}  // namespace kilnguard::burn
