// The decoder walks UTF-8 bytes and builds Python objects as it goes. Every
// structural character of JSON is ASCII, so a byte offset always falls on the
// start of a character; offsets are converted to characters only when an
// error is reported. The order of checks mirrors CPython's own scanner
// (Modules/_json.c), because the position of each error is part of what users
// and tests compare with json.loads.
#include "common/json_read.hpp"

#include "common/json_grammar.hpp"
#include "common/numbers.hpp"
#include "common/py.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace kilnguard::json {

namespace {

using grammar::is_digit;
using grammar::is_space;
using grammar::max_depth;


bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ------------------------------------------------- eight bytes at a time
// Listing bodies are megabytes of short strings, so the scan for the end of a
// string and the key hash work on 64-bit words rather than single bytes.

static_assert(std::endian::native == std::endian::little,
              "the word scans take the first byte of a word as its lowest");

constexpr std::uint64_t every_byte(unsigned char byte) { return 0x0101010101010101ULL * byte; }
constexpr std::uint64_t high_bits = every_byte(0x80);

std::uint64_t load_word(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The high bit of every byte of `word` that is below `limit` (at most 0x80),
// exact up to and including the lowest such byte; bytes above it may be
// flagged falsely, which only the lowest one matters for.
constexpr std::uint64_t bytes_below(std::uint64_t word, unsigned char limit) {
    return (word - every_byte(limit)) & ~word & high_bits;
}

// The bytes that end the plain run of a string: '"', '\\' and control
// characters.
constexpr std::uint64_t string_stops(std::uint64_t word) {
    return bytes_below(word ^ every_byte('"'), 1) | bytes_below(word ^ every_byte('\\'), 1) |
           bytes_below(word, 0x20);
}

// A new str of pure ASCII bytes: no decoding needed, just a copy.
nb::object ascii_str(std::string_view bytes) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
    if (!text) throw nb::python_error();
    std::memcpy(PyUnicode_1BYTE_DATA(text), bytes.data(), bytes.size());
    return nb::steal(text);
}

// Object keys repeat across the records of a listing ("netuid", "name", ...),
// so short ASCII keys are kept in a table and shared instead of being built
// (and hashed, at the first dict insertion) again for every record. Each key
// may sit in either slot of a pair, so two keys that hash alike do not evict
// each other over and over; a third takes the second slot. The table lives
// for the process and is only touched with the GIL held.
class KeyCache {
public:
    static constexpr std::size_t max_length = 24;

    // A shared key, or a new one (then `built` is set).
    nb::object get(std::string_view bytes, bool& built) {
        const std::size_t first = slot_of(bytes);
        for (std::size_t slot : {first, first ^ 1})
            if (holds(slots_[slot], bytes)) return nb::borrow(slots_[slot]);
        built = true;
        nb::object key = ascii_str(bytes);
        PyObject*& slot = slots_[first] ? slots_[first ^ 1] : slots_[first];
        Py_XSETREF(slot, Py_NewRef(key.ptr()));
        return key;
    }

private:
    static constexpr int slot_bits = 12;

    static bool holds(PyObject* key, std::string_view bytes) {
        return key && static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) == bytes.size() &&
               std::memcmp(PyUnicode_1BYTE_DATA(key), bytes.data(), bytes.size()) == 0;
    }

    // The length and the first and last eight bytes tell the keys of a
    // listing apart well enough; a collision only costs a new str.
    static std::size_t slot_of(std::string_view bytes) {
        std::uint64_t head = 0, tail = 0;
        if (bytes.size() >= 8) {
            head = load_word(bytes.data());
            tail = load_word(bytes.data() + bytes.size() - 8);
        } else {
            std::memcpy(&head, bytes.data(), bytes.size());
        }
        const std::uint64_t mixed =
            ((head * 0x9E3779B97F4A7C15ULL) ^ tail ^ bytes.size()) * 0xC2B2AE3D27D4EB4FULL;
        return static_cast<std::size_t>(mixed >> (64 - slot_bits));
    }

    std::array<PyObject*, std::size_t{1} << slot_bits> slots_{};
};

KeyCache key_cache;

// What building each kind of value costs against the document's budget, in
// bytes as CPython 3.11 lays objects out on a 64-bit machine (pymalloc's
// 16-byte size classes): the object itself, and for a member or an element
// its slot in the container (a dict entry with its share of the index and of
// the table's spare third; a list pointer with the list's eighth to spare).
// An estimate that is close for the shapes that cost the most per byte of
// text, which is all a budget needs.
namespace cost {
constexpr std::size_t list = 64;
constexpr std::size_t element = 9;
constexpr std::size_t dict = 64;
constexpr std::size_t member = 48;
constexpr std::size_t real = 32;
constexpr std::size_t integer = 32;       // up to 60 bits; -5..256 are shared and free
constexpr std::size_t wide_integer = 48;  // 61 to 64 bits
constexpr std::size_t str = 56;           // the header of a str beyond ASCII, and its NUL
constexpr std::size_t ascii_str = 48;
// A str of `length` characters of `kind` bytes each.
constexpr std::size_t text(std::size_t length, std::size_t kind) { return str + length * kind; }
// An int of that many decimal digits: 30 bits, stored in 4 bytes, hold a
// little over 9 digits.
constexpr std::size_t big_integer(std::size_t digits) { return wide_integer + digits / 2; }
}  // namespace cost

class Reader {
public:
    explicit Reader(std::string_view text)
        : begin_(text.data()), end_(text.data() + text.size()) {}

    nb::object document() {
        if (end_ - begin_ >= 3 && std::memcmp(begin_, "\xEF\xBB\xBF", 3) == 0)
            fail("Unexpected UTF-8 BOM (decode using utf-8-sig)", begin_);
        const char* p = skip_space(begin_);
        nb::object result = value(p);
        p = skip_space(p);
        if (p != end_) fail("Extra data", p);
        return result;
    }

private:
    const char* skip_space(const char* p) const { return grammar::skip_space(p, end_); }

    bool starts_with(const char* p, std::string_view word) const {
        return grammar::starts_with(p, end_, word);
    }

    // Reads one value at `p` and moves `p` past it.
    nb::object value(const char*& p) {
        if (p == end_) fail("Expecting value", p);
        switch (*p) {
            case '"': return string(p, false);
            case '{': return object(p);
            case '[': return array(p);
            case 'n': if (starts_with(p, "null")) return literal(p, 4, Py_None); break;
            case 't': if (starts_with(p, "true")) return literal(p, 4, Py_True); break;
            case 'f': if (starts_with(p, "false")) return literal(p, 5, Py_False); break;
            case 'N':
                if (starts_with(p, "NaN"))
                    return real_constant(p, 3, std::numeric_limits<double>::quiet_NaN());
                break;
            case 'I':
                if (starts_with(p, "Infinity"))
                    return real_constant(p, 8, std::numeric_limits<double>::infinity());
                break;
            case '-':
                if (starts_with(p, "-Infinity"))
                    return real_constant(p, 9, -std::numeric_limits<double>::infinity());
                break;
            default: break;
        }
        return number(p);
    }

    nb::object literal(const char*& p, std::size_t length, PyObject* constant) {
        p += length;
        return nb::borrow(constant);
    }

    nb::object real_constant(const char*& p, std::size_t length, double constant) {
        charge(cost::real);
        p += length;
        return py::steal_or_throw(PyFloat_FromDouble(constant));
    }

    void enter(const char* what) {
        if (++depth_ > max_depth)
            py::raise(PyExc_RecursionError,
                      "maximum recursion depth exceeded while decoding a JSON %s", what);
    }

    // Objects at one depth tend to have the same members (every record of a
    // listing has the same ~77), so each new dict is sized for as many
    // members as the last object at its depth had, instead of growing
    // through four resizes. A wrong guess costs a resize or a little room.
    static constexpr int sized_depths = 8;
    static constexpr Py_ssize_t largest_guess = 4096;

    nb::object object(const char*& p) {
        enter("object");
        Py_ssize_t& guess = depth_ < sized_depths ? member_counts_[depth_] : unguessed_;
        // A presized dict holds its table whether or not it is filled.
        const Py_ssize_t presized = guess;
        charge(cost::dict + cost::member * static_cast<std::size_t>(presized));
        nb::object result =
            py::steal_or_throw(guess > 0 ? _PyDict_NewPresized(guess) : PyDict_New());
        Py_ssize_t members = 0;
        p = skip_space(p + 1);
        if (p == end_ || *p != '}') {
            while (true) {
                if (++members > presized) charge(cost::member);
                if (p == end_ || *p != '"')
                    fail("Expecting property name enclosed in double quotes", p);
                nb::object key = string(p, true);
                p = skip_space(p);
                if (p == end_ || *p != ':') fail("Expecting ':' delimiter", p);
                p = skip_space(p + 1);
                nb::object member = value(p);
                // A repeated name keeps its first place and takes the new value.
                if (PyDict_SetItem(result.ptr(), key.ptr(), member.ptr()) < 0)
                    throw nb::python_error();
                p = skip_space(p);
                if (p != end_ && *p == '}') break;
                if (p == end_ || *p != ',') fail("Expecting ',' delimiter", p);
                p = skip_space(p + 1);
            }
        }
        if (depth_ < sized_depths) guess = std::min(members, largest_guess);
        ++p;
        --depth_;
        return result;
    }

    nb::object array(const char*& p) {
        enter("array");
        charge(cost::list);
        nb::object result = py::steal_or_throw(PyList_New(0));
        p = skip_space(p + 1);
        if (p == end_ || *p != ']') {
            while (true) {
                charge(cost::element);
                nb::object element = value(p);
                if (PyList_Append(result.ptr(), element.ptr()) < 0) throw nb::python_error();
                p = skip_space(p);
                if (p != end_ && *p == ']') break;
                if (p == end_ || *p != ',') fail("Expecting ',' delimiter", p);
                p = skip_space(p + 1);
            }
        }
        ++p;
        --depth_;
        return result;
    }

    // ------------------------------------------------------------ texts

    nb::object string(const char*& p, bool is_key) {
        const char* const opening = p;
        const char* q = p + 1;
        std::uint64_t seen = 0;  // OR of all bytes: tells pure ASCII apart
        while (end_ - q >= 8) {
            const std::uint64_t word = load_word(q);
            if (const std::uint64_t stops = string_stops(word)) {
                const int plain = std::countr_zero(stops) / 8;
                seen |= word & ((std::uint64_t{1} << (8 * plain)) - 1);
                q += plain;
                break;
            }
            seen |= word;
            q += 8;
        }
        while (q < end_) {
            const char c = *q;
            if (c == '"') {
                std::string_view bytes(p + 1, static_cast<std::size_t>(q - p - 1));
                p = q + 1;
                const bool ascii = (seen & high_bits) == 0;
                if (is_key && ascii && bytes.size() <= KeyCache::max_length) {
                    bool built = false;
                    nb::object key = key_cache.get(bytes, built);
                    if (built) charge(cost::ascii_str + bytes.size());
                    return key;
                }
                if (ascii) {
                    charge(cost::ascii_str + bytes.size());
                    return ascii_str(bytes);
                }
                return wide_str(bytes);
            }
            if (c == '\\') break;
            if (static_cast<unsigned char>(c) < 0x20) fail("Invalid control character at", q);
            seen |= static_cast<unsigned char>(c);
            ++q;
        }
        if (q == end_) fail("Unterminated string starting at", opening);
        return escaped_string(p, q);
    }

    // A str from UTF-8 beyond ASCII: each byte may become up to four bytes
    // of str, which must fit in what is left before it is built.
    nb::object wide_str(std::string_view bytes) {
        if (built_ + cost::text(bytes.size(), 4) > object_budget) refuse();
        nb::object text = py::str_from_utf8(bytes);
        charge(cost::text(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr())),
                          static_cast<std::size_t>(PyUnicode_KIND(text.ptr()))));
        return text;
    }

    // The slow path, from the first backslash on: characters are collected
    // as code points so that a lone surrogate from \uD800 survives.
    nb::object escaped_string(const char*& p, const char* q) {
        const char* const opening = p;
        scratch_.clear();
        Py_UCS4 widest = 0;
        append_utf8(p + 1, q, widest);
        while (true) {
            // Here *q is a backslash.
            if (q + 1 == end_) fail("Unterminated string starting at", opening);
            const char kind = q[1];
            if (kind == 'u') {
                if (end_ - q <= 6) fail("Invalid \\uXXXX escape", q + 1);
                Py_UCS4 unit = hex4(q + 2, q + 1);
                q += 6;
                // A high surrogate joins the low one of a directly following
                // \u escape; otherwise each is kept on its own. CPython only
                // looks for the pair when a character follows it.
                if (unit >= 0xD800 && unit <= 0xDBFF && end_ - q > 6 && q[0] == '\\' &&
                    q[1] == 'u') {
                    Py_UCS4 low = hex4(q + 2, q + 1);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                        q += 6;
                    }
                }
                reserve_scratch(1);
                scratch_.push_back(unit);
                widest = std::max(widest, unit);
            } else {
                Py_UCS4 c = 0;
                switch (kind) {
                    case '"': c = '"'; break;
                    case '\\': c = '\\'; break;
                    case '/': c = '/'; break;
                    case 'b': c = '\b'; break;
                    case 'f': c = '\f'; break;
                    case 'n': c = '\n'; break;
                    case 'r': c = '\r'; break;
                    case 't': c = '\t'; break;
                    default: fail("Invalid \\escape", q);
                }
                reserve_scratch(1);
                scratch_.push_back(c);
                q += 2;
            }
            const char* chunk = q;
            while (q < end_ && *q != '"' && *q != '\\') {
                if (static_cast<unsigned char>(*q) < 0x20) fail("Invalid control character at", q);
                ++q;
            }
            if (q == end_) fail("Unterminated string starting at", opening);
            append_utf8(chunk, q, widest);
            if (*q == '"') break;
        }
        p = q + 1;
        charge(cost::text(scratch_.size(), widest < 0x100 ? 1 : widest < 0x10000 ? 2 : 4));
        return py::steal_or_throw(PyUnicode_FromKindAndData(
            PyUnicode_4BYTE_KIND, scratch_.data(), static_cast<Py_ssize_t>(scratch_.size())));
    }

    Py_UCS4 hex4(const char* digits, const char* escape_letter) {
        Py_UCS4 unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_value(digits[i]);
            if (digit < 0) fail("Invalid \\uXXXX escape", escape_letter);
            unit = (unit << 4) | static_cast<Py_UCS4>(digit);
        }
        return unit;
    }

    // Decodes UTF-8 that is known to be valid (a chunk never ends inside a
    // character, because no byte of a multi-byte character is '"' or '\');
    // the clamp only keeps broken input from reading past the chunk.
    void append_utf8(const char* from, const char* to, Py_UCS4& widest) {
        reserve_scratch(static_cast<std::size_t>(to - from));
        while (from < to) {
            const auto lead = static_cast<unsigned char>(*from);
            int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
            if (to - from <= extra) extra = static_cast<int>(to - from) - 1;
            Py_UCS4 code = extra == 0 ? lead : lead & (0x3F >> extra);
            for (int i = 1; i <= extra; ++i)
                code = (code << 6) | (static_cast<unsigned char>(from[i]) & 0x3F);
            scratch_.push_back(code);
            widest = std::max(widest, code);
            from += extra + 1;
        }
    }

    // ---------------------------------------------------------- numbers

    nb::object number(const char*& p) {
        const char* const start = p;
        const char* q = p;
        const bool negative = *q == '-';
        if (negative) ++q;
        if (q == end_) fail("Expecting value", start);
        const char* const digits = q;
        if (*q >= '1' && *q <= '9') {
            ++q;
            while (q < end_ && is_digit(*q)) ++q;
        } else if (*q == '0') {
            ++q;
        } else {
            fail("Expecting value", start);
        }
        const char* const digits_end = q;
        bool is_real = false;
        if (end_ - q > 1 && *q == '.' && is_digit(q[1])) {
            is_real = true;
            q += 2;
            while (q < end_ && is_digit(*q)) ++q;
        }
        if (q < end_ && (*q == 'e' || *q == 'E')) {
            // An exponent without digits is not part of the number: "1e" is
            // the integer 1 followed by extra data.
            const char* e = q + 1;
            if (e < end_ && (*e == '+' || *e == '-')) ++e;
            const char* exponent_digits = e;
            while (e < end_ && is_digit(*e)) ++e;
            if (e > exponent_digits) {
                is_real = true;
                q = e;
            }
        }
        p = q;
        if (is_real) {
            charge(cost::real);
            return real(std::string_view(start, static_cast<std::size_t>(q - start)));
        }
        return integer(std::string_view(digits, static_cast<std::size_t>(digits_end - digits)),
                       negative);
    }

    static nb::object real(std::string_view text) {
        double value = 0.0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc::result_out_of_range) {
            // Beyond the range of a double: infinity or zero with its sign,
            // as float() gives for 1e400 and 1e-400.
            value = *numbers::read_real(text);
        }
        return py::steal_or_throw(PyFloat_FromDouble(value));
    }

    static std::uint64_t small_value(std::string_view digits) {
        std::uint64_t value = 0;
        for (char c : digits) value = value * 10 + static_cast<std::uint64_t>(c - '0');
        return value;
    }

    nb::object integer(std::string_view digits, bool negative) {
        if (digits.size() <= 18) {
            const auto value = static_cast<long long>(small_value(digits));
            // CPython shares the ints from -5 to 256.
            if (value > (negative ? 5 : 256)) charge(cost::integer);
            return py::steal_or_throw(PyLong_FromLongLong(negative ? -value : value));
        }
        charge(digits.size() <= 19 ? cost::wide_integer : cost::big_integer(digits.size()));
        nb::object magnitude =
            digits.size() <= 19
                ? py::steal_or_throw(PyLong_FromUnsignedLongLong(small_value(digits)))
                : big_integer(digits);
        return negative ? py::steal_or_throw(PyNumber_Negative(magnitude.ptr())) : magnitude;
    }

    // Long digit strings are split in two, the halves built recursively and
    // joined as high * 10^k + low. With CPython's Karatsuba multiplication
    // this is subquadratic, and it has no digit limit (int() in 3.11 refuses
    // more than 4300 digits).
    static constexpr std::size_t chunk_digits = 18;

    nb::object big_integer(std::string_view digits) {
        if (digits.size() <= chunk_digits)
            return py::steal_or_throw(PyLong_FromUnsignedLongLong(small_value(digits)));
        std::size_t level = 0;
        while ((chunk_digits << (level + 1)) < digits.size()) ++level;
        const std::size_t low_size = chunk_digits << level;
        nb::object high = big_integer(digits.substr(0, digits.size() - low_size));
        nb::object low = big_integer(digits.substr(digits.size() - low_size));
        nb::object scaled =
            py::steal_or_throw(PyNumber_Multiply(high.ptr(), power_of_ten(level).ptr()));
        return py::steal_or_throw(PyNumber_Add(scaled.ptr(), low.ptr()));
    }

    // 10^(18 * 2^level), each power the square of the one before.
    const nb::object& power_of_ten(std::size_t level) {
        if (powers_.empty())
            powers_.push_back(
                py::steal_or_throw(PyLong_FromUnsignedLongLong(1'000'000'000'000'000'000ULL)));
        while (powers_.size() <= level) {
            PyObject* last = powers_.back().ptr();
            powers_.push_back(py::steal_or_throw(PyNumber_Multiply(last, last)));
        }
        return powers_[level];
    }

    // ----------------------------------------------------------- errors

    // Reports the position as json.JSONDecodeError does: line and column
    // from 1, character offset from 0, only "\n" ending a line.
    [[noreturn]] void fail(const char* message, const char* at) const {
        long long chars = 0, line = 1, last_newline = -1;
        for (const char* c = begin_; c < at; ++c) {
            if (is_continuation(*c)) continue;
            if (*c == '\n') {
                ++line;
                last_newline = chars;
            }
            ++chars;
        }
        std::string text = message;
        text += ": line " + std::to_string(line) + " column " +
                std::to_string(chars - last_newline) + " (char " + std::to_string(chars) + ")";
        throw SyntaxError(text);
    }

    // ----------------------------------------------------------- budget

    // Counts `bytes` more against the document's budget; past it, the
    // document is refused before it builds much more (nothing built so far
    // survives the refusal).
    void charge(std::size_t bytes) {
        built_ += bytes;
        if (built_ > object_budget) [[unlikely]] refuse();
    }

    [[noreturn]] static void refuse() {
        throw TooLarge("JSON document too large to decode: its values would take more than " +
                       std::to_string(object_budget >> 20) + " MiB as Python objects");
    }

    // Makes room in scratch_ for `more` code points. Its capacity counts
    // against the budget for as long as the document is read (it is kept
    // for the next escaped string), and is checked before it is allocated.
    void reserve_scratch(std::size_t more) {
        const std::size_t needed = scratch_.size() + more;
        if (needed <= scratch_.capacity()) return;
        const std::size_t capacity = std::max(needed, 2 * scratch_.capacity());
        charge((capacity - scratch_.capacity()) * sizeof(Py_UCS4));
        scratch_.reserve(capacity);
    }

    const char* const begin_;
    const char* const end_;
    int depth_ = 0;
    std::size_t built_ = 0;  // bytes of objects built so far, as cost:: counts them
    std::array<Py_ssize_t, sized_depths> member_counts_{};
    Py_ssize_t unguessed_ = 0;
    std::vector<Py_UCS4> scratch_;
    std::vector<nb::object> powers_;
};

}  // namespace

nb::object read(std::string_view utf8_text) { return Reader(utf8_text).document(); }

}  // namespace kilnguard::json
