#include "common/scrub.hpp"

#include "common/json_write.hpp"
#include "common/py.hpp"
#include "common/utf8.hpp"

#include <algorithm>

namespace kilnguard::scrub {

namespace {

bool unreserved(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '_' || byte == '.' || byte == '-' ||
           byte == '~';
}

// The secret as a URL or a form would carry it: every byte outside the
// unreserved set as %XX (in upper- or lower-case hex), with a space as "+" in
// forms, and with the characters a path may hold as they are.
std::vector<std::string> percent_forms(std::string_view secret) {
    static constexpr char upper[] = "0123456789ABCDEF";
    static constexpr char lower[] = "0123456789abcdef";
    constexpr std::string_view path_safe = "/:@!$&'()*+,;=";
    std::string all_upper, all_lower, form, path;
    for (char c : secret) {
        const auto byte = static_cast<unsigned char>(c);
        const std::string upper_escape{'%', upper[byte >> 4], upper[byte & 0x0F]};
        const std::string lower_escape{'%', lower[byte >> 4], lower[byte & 0x0F]};
        const bool plain = unreserved(byte);
        all_upper += plain ? std::string(1, c) : upper_escape;
        all_lower += plain ? std::string(1, c) : lower_escape;
        form += plain ? std::string(1, c) : byte == ' ' ? std::string("+") : upper_escape;
        path += plain || path_safe.find(c) != path_safe.npos ? std::string(1, c) : upper_escape;
    }
    return {all_upper, all_lower, form, path};
}

void replace_all(std::string& text, std::string_view form) {
    for (std::size_t at = text.find(form); at != text.npos; at = text.find(form, at + blot.size()))
        text.replace(at, form.size(), blot);
}

}  // namespace

void Secrets::add(std::string_view secret) {
    // Characters, not bytes, are what a reader would count.
    std::size_t characters = 0;
    for (char c : secret) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (characters < shortest_secret) return;

    std::vector<std::string> forms{std::string(secret)};
    // Bytes that are not UTF-8 cannot stand in a JSON text.
    if (utf8::valid(secret)) {
        std::string json = json::write_compact(py::str_from_utf8(secret));
        forms.push_back(json.substr(1, json.size() - 2));
        // Some encoders escape "/" as well.
        std::string slashes;
        for (char c : forms.back()) slashes += c == '/' ? std::string("\\/") : std::string(1, c);
        forms.push_back(slashes);
    }
    for (std::string& form : percent_forms(secret)) forms.push_back(std::move(form));

    for (std::string& form : forms)
        if (std::find(forms_.begin(), forms_.end(), form) == forms_.end())
            forms_.push_back(std::move(form));
    // Longest first: one form may hold another.
    std::stable_sort(forms_.begin(), forms_.end(),
                     [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

void Secrets::add(nb::handle secret) {
    if (!PyUnicode_Check(secret.ptr())) return;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(secret.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        return;
    }
    add(std::string_view(data, static_cast<std::size_t>(size)));
}

std::string Secrets::text(std::string text) const {
    for (const std::string& form : forms_) replace_all(text, form);
    return text;
}

bool Secrets::found_in(nb::handle str) const {
    for (const std::string& form : forms_) {
        nb::str needle = py::str_from_utf8(form);
        const int found = PyUnicode_Contains(str.ptr(), needle.ptr());
        if (found < 0) throw nb::python_error();
        if (found) return true;
    }
    return false;
}

nb::str Secrets::text(nb::handle str) const {
    nb::str result = nb::borrow<nb::str>(str);
    if (forms_.empty()) return result;
    // Working on the str itself keeps what UTF-8 cannot carry (a lone
    // surrogate from a JSON escape) instead of failing on it.
    const nb::str replacement = py::str_from_utf8(blot);
    for (const std::string& form : forms_) {
        nb::str needle = py::str_from_utf8(form);
        result = py::steal_or_throw<nb::str>(
            PyUnicode_Replace(result.ptr(), needle.ptr(), replacement.ptr(), -1));
    }
    return result;
}

nb::object Secrets::value(nb::handle value) const {
    if (forms_.empty()) return nb::borrow(value);
    if (PyUnicode_Check(value.ptr())) return text(value);
    nb::str form = py::text_form(value);
    if (!found_in(form)) return nb::borrow(value);
    return text(form);
}

nb::object Secrets::json_value(nb::handle value) const {
    PyObject* v = value.ptr();
    if (forms_.empty()) return nb::borrow(value);
    if (PyUnicode_Check(v)) return text(value);
    if (PyList_CheckExact(v)) {
        nb::list copy;
        for (nb::handle item : nb::borrow<nb::list>(value)) copy.append(json_value(item));
        return copy;
    }
    if (PyDict_CheckExact(v)) {
        nb::dict copy;
        for (auto [name, member] : nb::borrow<nb::dict>(value))
            copy[json_value(name)] = json_value(member);
        return copy;
    }
    return nb::borrow(value);
}

}  // namespace kilnguard::scrub
