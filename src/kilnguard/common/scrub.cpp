#include "common/scrub.hpp"

#include "common/py.hpp"
#include "common/utf8.hpp"

#include <algorithm>
#include <utility>

namespace kilnguard::scrub {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
}

// The value of `count` hex digits at `at`, or -1.
long hex_number(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return -1;
    long value = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const int digit = hex_value(text[at + k]);
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

// The code point of the UTF-8 sequence at `at` in `secret` and its length.
std::pair<long, std::size_t> code_point(std::string_view secret, std::size_t at) {
    const auto lead = static_cast<unsigned char>(secret[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (at + length > secret.size()) return {-1, 1};
    long value = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k)
        value = (value << 6) | (static_cast<unsigned char>(secret[at + k]) & 0x3F);
    return {value, length};
}

// How much of `text` from `at` on spells `secret`, each of its characters
// written plainly, percent-encoded (either case of hex, "+" for a space) or
// escaped as JSON and Python write texts (\" \\ \/ \' \n \uXXXX \xXX, surrogate
// pairs included), in any mixture; 0 when it does not.
std::size_t match_length(std::string_view text, std::size_t at, std::string_view secret) {
    std::size_t i = at, j = 0;
    while (j < secret.size()) {
        if (i >= text.size()) return 0;
        const char c = secret[j];
        if (text[i] == c) {
            ++i, ++j;
        } else if (text[i] == '+' && c == ' ') {
            ++i, ++j;
        } else if (text[i] == '%' && hex_number(text, i + 1, 2) == static_cast<unsigned char>(c)) {
            i += 3, ++j;
        } else if (text[i] == '\\' && i + 1 < text.size()) {
            const char kind = text[i + 1];
            static constexpr std::string_view simple = "\"\\/'";
            static constexpr std::string_view named = "nrtbf", meant = "\n\r\t\b\f";
            if (simple.find(kind) != simple.npos && kind == c) {
                i += 2, ++j;
            } else if (std::size_t n = named.find(kind); n != named.npos && meant[n] == c) {
                i += 2, ++j;
            } else if (kind == 'u' || kind == 'x') {
                auto [wanted, length] = code_point(secret, j);
                long got = hex_number(text, i + 2, kind == 'u' ? 4 : 2);
                std::size_t used = kind == 'u' ? 6 : 4;
                const bool high = kind == 'u' && got >= 0xD800 && got <= 0xDBFF;
                if (high && text.substr(i + 6, 2) == "\\u") {
                    const long low = hex_number(text, i + 8, 4);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        got = 0x10000 + ((got - 0xD800) << 10) + (low - 0xDC00);
                        used = 12;
                    }
                }
                if (got < 0 || got != wanted) return 0;
                i += used, j += length;
            } else {
                return 0;
            }
        } else {
            return 0;
        }
    }
    return i - at;
}

// The UTF-8 of a str, lone surrogates passed through as their bytes, so any
// str can be scrubbed and rebuilt.
std::string str_bytes(nb::handle str) {
    nb::object bytes =
        py::steal_or_throw(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

}  // namespace

void Secrets::add(std::string_view secret) {
    // Characters, not bytes, are what a reader would count.
    std::size_t characters = 0;
    for (char c : secret) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (characters < shortest_secret) return;
    if (std::find(secrets_.begin(), secrets_.end(), secret) != secrets_.end()) return;
    secrets_.emplace_back(secret);
    // Longest first: one secret may hold another.
    std::stable_sort(secrets_.begin(), secrets_.end(), [](const std::string& a, const std::string& b) {
        return a.size() > b.size();
    });
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
    for (const std::string& secret : secrets_) {
        std::string out;
        std::size_t copied = 0;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t length = match_length(text, at, secret);
            if (length == 0) {
                ++at;
                continue;
            }
            out.append(text, copied, at - copied);
            out += blot;
            at += length;
            copied = at;
        }
        if (copied == 0) continue;
        out.append(text, copied, std::string::npos);
        text = std::move(out);
    }
    return text;
}

std::size_t Secrets::reach() const {
    std::size_t bytes = 0;
    for (const std::string& secret : secrets_) bytes += 6 * secret.size();
    return bytes;
}

Stream::Stream(const Secrets& secrets, std::size_t keep_bytes) : keep_bytes_(keep_bytes) {
    for (const std::string& secret : secrets.secrets_) passes_.push_back({&secret, {}});
}

void Stream::write(std::string_view piece) { push(0, piece, false); }

void Stream::finish() { push(0, {}, true); }

void Stream::push(std::size_t pass, std::string_view piece, bool last) {
    if (pass == passes_.size()) return deliver(piece);
    Pass& p = passes_[pass];
    p.pending.append(piece);
    const std::string& secret = *p.secret;
    // Whether a match starts at a point depends on the bytes from there up
    // to the widest form of the secret and on nothing else; a point closer
    // than that to the end of what has come waits for more, unless no more
    // comes.
    const std::size_t window = 6 * secret.size();
    std::string out;
    std::size_t at = 0, copied = 0;
    while (at < p.pending.size()) {
        if (!last && p.pending.size() - at < window) break;
        const std::size_t length = match_length(p.pending, at, secret);
        if (length == 0) {
            ++at;
            continue;
        }
        out.append(p.pending, copied, at - copied);
        out += blot;
        at += length;
        copied = at;
    }
    out.append(p.pending, copied, at - copied);
    p.pending.erase(0, at);
    push(pass + 1, out, last);
}

void Stream::deliver(std::string_view piece) {
    for (const char c : piece) {
        const auto byte = static_cast<unsigned char>(c);
        const bool starts_character = (byte & 0xC0) != 0x80;
        characters_ += starts_character;
        if (!keeping_) continue;
        if (starts_character) {
            const std::size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
            if (kept_.size() + length > keep_bytes_) {
                keeping_ = false;
                continue;
            }
            ++kept_characters_;
        }
        kept_.push_back(c);
    }
}

bool Secrets::found_in(nb::handle str) const {
    const std::string bytes = str_bytes(str);
    for (const std::string& secret : secrets_)
        for (std::size_t at = 0; at < bytes.size(); ++at)
            if (match_length(bytes, at, secret)) return true;
    return false;
}

nb::str Secrets::text(nb::handle str) const {
    if (secrets_.empty()) return nb::borrow<nb::str>(str);
    const std::string bytes = str_bytes(str);
    std::string clean = text(bytes);
    if (clean == bytes) return nb::borrow<nb::str>(str);
    return py::steal_or_throw<nb::str>(PyUnicode_DecodeUTF8(
        clean.data(), static_cast<Py_ssize_t>(clean.size()), "surrogatepass"));
}

nb::object Secrets::value(nb::handle value) const {
    if (secrets_.empty()) return nb::borrow(value);
    if (PyUnicode_Check(value.ptr())) return text(value);
    nb::str form = py::text_form(value);
    if (!found_in(form)) return nb::borrow(value);
    return text(form);
}

nb::object Secrets::json_value(nb::handle value) const {
    PyObject* v = value.ptr();
    if (secrets_.empty()) return nb::borrow(value);
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
