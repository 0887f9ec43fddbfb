// Both encodings produce what CPython's json.dumps produces with
// ensure_ascii: compact as json.dumps(value), indented as
// json.dumps(value, indent=2, sort_keys=True). Two choices of our own: integers
// of any size are written (int.__repr__ in 3.11 refuses more than 4300
// digits), and sorting compares names after their conversion to text, so a
// map that mixes str and int names still sorts instead of failing.
#include "common/json_write.hpp"

#include "common/numbers.hpp"
#include "common/py.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kilnguard::json {

namespace {

constexpr int max_depth = 1000;

// A real as JSON writes it, the non-finite ones by the names json.dumps uses.
std::string real_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    return numbers::shortest_text(value);
}

// How much text a writer with a sink gathers before handing it on.
constexpr std::size_t piece_size = 64 * 1024;

class Writer {
public:
    using Sink = std::function<void(std::string_view)>;
    explicit Writer(bool indented, const Sink* sink = nullptr) : indented_(indented), sink_(sink) {}

    std::string take(nb::handle value) {
        write(value);
        if (sink_) {
            (*sink_)(out_);
            out_.clear();
        }
        return std::move(out_);
    }

private:
    // With a sink, hands on what has gathered once it is a piece; checked
    // for every value and every character of a text, so no text grows past
    // a piece and the longest escape.
    void spill() {
        if (sink_ && out_.size() >= piece_size) [[unlikely]] {
            (*sink_)(out_);
            out_.clear();
        }
    }

    void write(nb::handle value) {
        spill();
        PyObject* v = value.ptr();
        if (v == Py_None) out_ += "null";
        else if (v == Py_True) out_ += "true";
        else if (v == Py_False) out_ += "false";
        else if (PyUnicode_Check(v)) string(v);
        else if (PyLong_Check(v)) out_ += py::decimal_text(value);
        else if (PyFloat_Check(v)) real(PyFloat_AS_DOUBLE(v));
        else if (PyList_Check(v) || PyTuple_Check(v)) array(v);
        else if (PyDict_Check(v)) object(v);
        else {
            nb::object name = py::steal_or_throw(PyType_GetName(Py_TYPE(v)));
            py::raise(PyExc_TypeError, "Object of type %U is not JSON serializable", name.ptr());
        }
    }

    void real(double value) { out_ += real_text(value); }

    void string(PyObject* text) {
        static constexpr char hex[] = "0123456789abcdef";
        auto unit = [this](Py_UCS4 u) {
            char escape[6] = {'\\', 'u', hex[(u >> 12) & 0xF], hex[(u >> 8) & 0xF],
                              hex[(u >> 4) & 0xF], hex[u & 0xF]};
            out_.append(escape, sizeof escape);
        };
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        if (!sink_) out_.reserve(out_.size() + static_cast<std::size_t>(length) + 2);
        out_.push_back('"');
        for (Py_ssize_t i = 0; i < length; ++i) {
            spill();
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            switch (c) {
                case '"': out_ += "\\\""; continue;
                case '\\': out_ += "\\\\"; continue;
                case '\n': out_ += "\\n"; continue;
                case '\r': out_ += "\\r"; continue;
                case '\t': out_ += "\\t"; continue;
                case '\b': out_ += "\\b"; continue;
                case '\f': out_ += "\\f"; continue;
                default: break;
            }
            if (c >= 0x20 && c <= 0x7E) {
                out_.push_back(static_cast<char>(c));
            } else if (c > 0xFFFF) {
                const Py_UCS4 offset = c - 0x10000;
                unit(0xD800 | (offset >> 10));
                unit(0xDC00 | (offset & 0x3FF));
            } else {
                unit(c);  // a lone surrogate included
            }
        }
        out_.push_back('"');
    }

    // Guards the container being entered against nesting beyond reason and
    // against containing itself, as json.dumps's check_circular does.
    void enter(PyObject* container) {
        if (std::find(path_.begin(), path_.end(), container) != path_.end())
            py::raise(PyExc_ValueError, "Circular reference detected");
        if (path_.size() >= max_depth)
            py::raise(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a JSON object");
        path_.push_back(container);
    }
    void leave() { path_.pop_back(); }

    void new_line() {
        out_.push_back('\n');
        out_.append(2 * path_.size(), ' ');
    }

    void array(PyObject* sequence) {
        // The sequence stays alive and unchanged: no host code runs while
        // writing, and the caller holds the value.
        nb::object items = py::steal_or_throw(PySequence_Fast(sequence, "expected a sequence"));
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.ptr());
        if (size == 0) {
            out_ += "[]";
            return;
        }
        enter(sequence);
        out_.push_back('[');
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i > 0) out_ += indented_ ? "," : ", ";
            if (indented_) new_line();
            write(PySequence_Fast_GET_ITEM(items.ptr(), i));
        }
        leave();
        if (indented_) new_line();
        out_.push_back(']');
    }

    struct Member {
        nb::object name;  // a str
        nb::object value;
    };

    // A member name as json.dumps writes it: str as itself; reals, true,
    // false, null and integers as their JSON text.
    static nb::object name_text(nb::handle key) {
        PyObject* k = key.ptr();
        if (PyUnicode_Check(k)) return nb::borrow(key);
        std::string text;
        if (PyFloat_Check(k)) {
            text = real_text(PyFloat_AS_DOUBLE(k));
        } else if (k == Py_True) {
            text = "true";
        } else if (k == Py_False) {
            text = "false";
        } else if (k == Py_None) {
            text = "null";
        } else if (PyLong_Check(k)) {
            text = py::decimal_text(key);
        } else {
            py::raise(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s",
                      Py_TYPE(k)->tp_name);
        }
        return py::str_from_utf8(text);
    }

    void object(PyObject* dict) {
        if (PyDict_GET_SIZE(dict) == 0) {
            out_ += "{}";
            return;
        }
        std::vector<Member> members;
        members.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &position, &key, &value))
            members.push_back({name_text(key), nb::borrow(value)});
        if (indented_) {
            // str comparison is by code point, lone surrogates included.
            std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
                return PyUnicode_Compare(a.name.ptr(), b.name.ptr()) < 0;
            });
        }
        enter(dict);
        out_.push_back('{');
        bool first = true;
        for (const Member& member : members) {
            if (!first) out_ += indented_ ? "," : ", ";
            first = false;
            if (indented_) new_line();
            string(member.name.ptr());
            out_ += ": ";
            write(member.value);
        }
        leave();
        if (indented_) new_line();
        out_.push_back('}');
    }

    const bool indented_;
    const Sink* sink_;
    std::string out_;
    std::vector<PyObject*> path_;  // the containers being written, outermost first
};

}  // namespace

std::string write_compact(nb::handle value) { return Writer(false).take(value); }

void write_compact(nb::handle value, const std::function<void(std::string_view)>& sink) {
    Writer(false, &sink).take(value);
}

std::string write_indented_sorted(nb::handle value) { return Writer(true).take(value); }

}  // namespace kilnguard::json
