#include "common/utf8.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kilnguard::utf8 {

namespace {

// Length of the well-formed UTF-8 sequence at `p` (Unicode's table of
// well-formed byte sequences), or 0 when it is not one.
std::size_t sequence_length(const unsigned char* p, const unsigned char* end) {
    const unsigned char lead = p[0];
    const auto left = static_cast<std::size_t>(end - p);
    auto in = [](unsigned char c, unsigned char low, unsigned char high) {
        return c >= low && c <= high;
    };
    if (lead >= 0xC2 && lead <= 0xDF) return left >= 2 && in(p[1], 0x80, 0xBF) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        // E0 excludes overlong forms, ED the surrogates.
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        return left >= 3 && in(p[1], low, high) && in(p[2], 0x80, 0xBF) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        // F0 excludes overlong forms, F4 everything beyond U+10FFFF.
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        return left >= 4 && in(p[1], low, high) && in(p[2], 0x80, 0xBF) &&
                       in(p[3], 0x80, 0xBF)
                   ? 4
                   : 0;
    }
    return 0;
}

}  // namespace

bool valid(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    while (p < end) {
        // Eight ASCII bytes at a time: the common case for JSON.
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const std::size_t length = sequence_length(p, end);
        if (length == 0) return false;
        p += length;
    }
    return true;
}

void require(std::string_view bytes) {
    if (valid(bytes)) return;
    // Let Python's own codec describe the fault, so the error is exactly the
    // UnicodeDecodeError a host would meet decoding the same bytes.
    PyObject* text =
        PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (!text) throw nb::python_error();
    Py_DECREF(text);
}

std::optional<std::string_view> encode(nb::handle text, std::string& problem) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
        return std::string_view(data, static_cast<std::size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text.ptr()); i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            char where[64];
            std::snprintf(where, sizeof where, "U+%04X at position %zd",
                          static_cast<unsigned>(c), i);
            problem = where;
            break;
        }
    }
    return std::nullopt;
}

}  // namespace kilnguard::utf8
