// The scan follows the reader (common/json_read.cpp) rule for rule: the same
// white space, the same number extent ("1." and "1e" end before the point or
// the letter), the same literals, the same escapes and the same depth limit.
// It only has to agree on whether a document is valid, never on how an error
// is described: a caller that meets a refused document reads it again with
// read(), which says what is wrong. Valid includes within read()'s budget:
// the scan adds up a bound on what read() would count (a little above it
// wherever read()'s count depends on more than the value at hand) and gives
// up on a document past the budget, which read() may then refuse.
#include "common/json_scan.hpp"

#include "common/json_grammar.hpp"
#include "common/json_read.hpp"
#include "common/utf8.hpp"

#include <bit>
#include <emmintrin.h>
#include <cstring>

namespace kilnguard::json {

namespace {

using grammar::is_digit;
using grammar::is_space;
using grammar::max_depth;


// At least what read() counts for each value (json_read.cpp, cost::).
namespace bound {
constexpr std::size_t list = 64;
constexpr std::size_t element = 9;
// read() sizes a new dict for as many members as the last one at its depth
// had and counts that room too; each dict's count serves as that guess at
// most once, so counting every member twice bounds both.
constexpr std::size_t dict = 64;
constexpr std::size_t member = 2 * 48;
constexpr std::size_t real = 32;
constexpr std::size_t integer(std::size_t digits) { return 48 + (digits > 19 ? digits / 2 : 0); }
constexpr std::size_t ascii_text(std::size_t bytes) { return 48 + bytes; }
// Up to four bytes a character, checked before the str is built.
constexpr std::size_t wide_text(std::size_t bytes) { return 56 + 4 * bytes; }
// The str, and the scratch buffer it is built in (four bytes a character,
// room for up to twice as many).
constexpr std::size_t escaped_text(std::size_t bytes) { return wide_text(bytes) + 8 * bytes; }
}  // namespace bound

bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A key of the scanned text: its bytes between the quotes, and whether an
// escape sits among them (then the bytes are not yet the key's text).
struct Key {
    std::string_view quoted;
    bool escaped = false;
};

class Scanner {
public:
    explicit Scanner(std::string_view text) : begin_(text.data()), end_(text.data() + text.size()) {}

    std::optional<RecordScan> scan(std::initializer_list<std::string_view> member_names,
                                   std::string_view records_name,
                                   std::initializer_list<std::string_view> field_names) {
        RecordScan found;
        found.members.resize(member_names.size());
        found.field_count = field_names.size();
        const char* p = skip_space(begin_);
        if (p == end_ || *p != '{') return std::nullopt;
        depth_ = 1;
        add(bound::dict);
        p = skip_space(p + 1);
        if (p != end_ && *p == '}') {
            ++p;
        } else {
            while (true) {
                Key key;
                add(bound::member);
                if (!(p = key_then_colon(p, key))) return std::nullopt;
                if (matches(key, records_name)) {
                    if (!(p = records(p, found, field_names))) return std::nullopt;
                } else {
                    Span span;
                    if (!(p = value(p, span))) return std::nullopt;
                    std::size_t index = 0;
                    for (std::string_view name : member_names) {
                        if (matches(key, name)) found.members[index] = span;
                        ++index;
                    }
                }
                p = skip_space(p);
                if (p == end_) return std::nullopt;
                if (*p == '}') {
                    ++p;
                    break;
                }
                if (*p != ',') return std::nullopt;
                p = skip_space(p + 1);
            }
        }
        if (skip_space(p) != end_ || spent_ > object_budget) return std::nullopt;
        return found;
    }

private:
    const char* skip_space(const char* p) const { return grammar::skip_space(p, end_); }

    bool starts_with(const char* p, std::string_view word) const {
        return grammar::starts_with(p, end_, word);
    }

    // A member name, white space and the colon; returns the position of the
    // member's value (white space skipped).
    const char* key_then_colon(const char* p, Key& key) {
        if (p == end_ || *p != '"') return nullptr;
        const char* opening = p;
        if (!(p = string(p, key.escaped))) return nullptr;
        key.quoted = std::string_view(opening, static_cast<std::size_t>(p - opening));
        p = skip_space(p);
        if (p == end_ || *p != ':') return nullptr;
        return skip_space(p + 1);
    }

    // Whether `key` reads as `name`. A key with an escape ("net\u0075id") is
    // decoded by the reader itself, which is rare enough not to matter.
    static bool matches(const Key& key, std::string_view name) {
        if (!key.escaped) return key.quoted.substr(1, key.quoted.size() - 2) == name;
        nb::object text = read(key.quoted);
        Py_ssize_t size = 0;
        const char* bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!bytes) {  // a lone surrogate: no name of ours
            PyErr_Clear();
            return false;
        }
        return std::string_view(bytes, static_cast<std::size_t>(size)) == name;
    }

    // The array of records at `p`, or any other value there.
    const char* records(const char* p, RecordScan& found,
                        std::initializer_list<std::string_view> field_names) {
        found.record_kinds.clear();
        found.fields.clear();
        if (p == end_ || *p != '[') return value(p, found.records);
        const char* const opening = p;
        if (++depth_ > max_depth) return nullptr;
        add(bound::list);
        p = skip_space(p + 1);
        if (p != end_ && *p == ']') {
            ++p;
        } else {
            while (true) {
                if (found.record_kinds.size() == max_records || spent_ > object_budget)
                    return nullptr;
                add(bound::element);
                const std::size_t first_field = found.fields.size();
                found.fields.resize(first_field + field_names.size());
                Span element;
                if (p != end_ && *p == '{') {
                    element.kind = Span::Kind::object;
                    add(bound::dict);
                    p = record(p, found.fields.data() + first_field, field_names);
                } else {
                    p = value(p, element);
                }
                if (!p) return nullptr;
                found.record_kinds.push_back(element.kind);
                p = skip_space(p);
                if (p == end_) return nullptr;
                if (*p == ']') {
                    ++p;
                    break;
                }
                if (*p != ',') return nullptr;
                p = skip_space(p + 1);
            }
        }
        --depth_;
        found.records = {Span::Kind::array,
                         std::string_view(opening, static_cast<std::size_t>(p - opening))};
        return p;
    }

    // One record object: the spans of its chosen fields, the last of a
    // repeated name winning.
    const char* record(const char* p, Span* fields,
                       std::initializer_list<std::string_view> field_names) {
        if (++depth_ > max_depth) return nullptr;
        p = skip_space(p + 1);
        if (p != end_ && *p == '}') {
            --depth_;
            return p + 1;
        }
        while (true) {
            Key key;
            add(bound::member);
            if (!(p = key_then_colon(p, key))) return nullptr;
            Span span;
            if (!(p = value(p, span))) return nullptr;
            std::size_t index = 0;
            for (std::string_view name : field_names) {
                if (matches(key, name)) fields[index] = span;
                ++index;
            }
            p = skip_space(p);
            if (p == end_) return nullptr;
            if (*p == '}') break;
            if (*p != ',') return nullptr;
            p = skip_space(p + 1);
        }
        --depth_;
        return p + 1;
    }

    // Any one value at `p`; notes its kind and extent in `span`.
    const char* value(const char* p, Span& span) {
        const char* const start = p;
        const char* after = nullptr;
        span.kind = Span::Kind::scalar;
        if (p == end_) return nullptr;
        switch (*p) {
            case '"': {
                bool escaped = false;
                after = string(p, escaped);
                break;
            }
            case '{':
                span.kind = Span::Kind::object;
                after = object(p);
                break;
            case '[':
                span.kind = Span::Kind::array;
                after = array(p);
                break;
            case 'n': after = starts_with(p, "null") ? p + 4 : nullptr; break;
            case 't': after = starts_with(p, "true") ? p + 4 : nullptr; break;
            case 'f': after = starts_with(p, "false") ? p + 5 : nullptr; break;
            case 'N':
                add(bound::real);
                after = starts_with(p, "NaN") ? p + 3 : nullptr;
                break;
            case 'I':
                add(bound::real);
                after = starts_with(p, "Infinity") ? p + 8 : nullptr;
                break;
            case '-':
                if (starts_with(p, "-Infinity")) {
                    add(bound::real);
                    after = p + 9;
                } else {
                    after = number(p);
                }
                break;
            default: after = number(p); break;
        }
        if (after) span.text = std::string_view(start, static_cast<std::size_t>(after - start));
        return after;
    }

    const char* object(const char* p) {
        if (++depth_ > max_depth) return nullptr;
        add(bound::dict);
        p = skip_space(p + 1);
        if (p != end_ && *p == '}') {
            --depth_;
            return p + 1;
        }
        while (true) {
            Key key;
            add(bound::member);
            if (!(p = key_then_colon(p, key))) return nullptr;
            Span ignored;
            if (!(p = value(p, ignored))) return nullptr;
            p = skip_space(p);
            if (p == end_) return nullptr;
            if (*p == '}') break;
            if (*p != ',') return nullptr;
            p = skip_space(p + 1);
        }
        --depth_;
        return p + 1;
    }

    const char* array(const char* p) {
        if (++depth_ > max_depth) return nullptr;
        add(bound::list);
        p = skip_space(p + 1);
        if (p != end_ && *p == ']') {
            --depth_;
            return p + 1;
        }
        while (true) {
            add(bound::element);
            Span ignored;
            if (!(p = value(p, ignored))) return nullptr;
            p = skip_space(p);
            if (p == end_) return nullptr;
            if (*p == ']') break;
            if (*p != ',') return nullptr;
            p = skip_space(p + 1);
        }
        --depth_;
        return p + 1;
    }

    // A string at `p` (its opening quote); returns the position after the
    // closing quote. A string with bytes beyond ASCII must hold well-formed
    // UTF-8; outside strings such bytes are syntax errors anyway, so a text
    // that scans is valid UTF-8 as a whole.
    const char* string(const char* p, bool& escaped) {
        const char* q = p + 1;
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        // Bytes below 0x20 are those whose signed value lies below 0x20 and
        // at or above zero (bytes of 0x80 and more read as negative).
        const __m128i space = _mm_set1_epi8(0x20);
        const __m128i minus_one = _mm_set1_epi8(-1);
        unsigned wide = 0;  // nonzero once a byte beyond ASCII was passed
        while (true) {
            while (end_ - q >= 16) {
                const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
                const __m128i control =
                    _mm_and_si128(_mm_cmplt_epi8(chunk, space), _mm_cmpgt_epi8(chunk, minus_one));
                const __m128i stops = _mm_or_si128(
                    _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)),
                    control);
                const auto high = static_cast<unsigned>(_mm_movemask_epi8(chunk));
                if (const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stops))) {
                    const int plain = std::countr_zero(mask);
                    wide |= high & ((1u << plain) - 1);
                    q += plain;
                    break;
                }
                wide |= high;
                q += 16;
            }
            while (q < end_ && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20)
                wide |= static_cast<unsigned char>(*q++) & 0x80u;
            if (q == end_ || static_cast<unsigned char>(*q) < 0x20) return nullptr;
            if (*q == '"') {
                const auto bytes = static_cast<std::size_t>(q - p - 1);
                if (wide && !utf8::valid(std::string_view(p + 1, bytes))) return nullptr;
                add(escaped ? bound::escaped_text(bytes)
                            : wide ? bound::wide_text(bytes) : bound::ascii_text(bytes));
                return q + 1;
            }
            // A backslash: one of the eight short escapes or \u and four hex digits.
            escaped = true;
            if (end_ - q < 2) return nullptr;
            switch (q[1]) {
                case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                    q += 2;
                    break;
                case 'u':
                    if (end_ - q < 6 || !is_hex(q[2]) || !is_hex(q[3]) || !is_hex(q[4]) ||
                        !is_hex(q[5]))
                        return nullptr;
                    q += 6;
                    break;
                default: return nullptr;
            }
        }
    }

    // A number as the reader delimits it: an integer part without leading
    // zeros, a fraction only with a digit after the point, an exponent only
    // with digits.
    const char* number(const char* p) {
        const char* q = p;
        if (*q == '-') ++q;
        if (q == end_) return nullptr;
        const char* const digits = q;
        if (*q >= '1' && *q <= '9') {
            ++q;
            while (q < end_ && is_digit(*q)) ++q;
        } else if (*q == '0') {
            ++q;
        } else {
            return nullptr;
        }
        const auto digit_count = static_cast<std::size_t>(q - digits);
        bool is_real = false;
        if (end_ - q > 1 && *q == '.' && is_digit(q[1])) {
            is_real = true;
            q += 2;
            while (q < end_ && is_digit(*q)) ++q;
        }
        if (q < end_ && (*q == 'e' || *q == 'E')) {
            const char* e = q + 1;
            if (e < end_ && (*e == '+' || *e == '-')) ++e;
            const char* exponent_digits = e;
            while (e < end_ && is_digit(*e)) ++e;
            if (e > exponent_digits) {
                is_real = true;
                q = e;
            }
        }
        add(is_real ? bound::real : bound::integer(digit_count));
        return q;
    }

    void add(std::size_t bytes) { spent_ += bytes; }

    const char* const begin_;
    const char* const end_;
    int depth_ = 0;
    std::size_t spent_ = 0;  // at least what read() would count against its budget
};

}  // namespace

std::optional<RecordScan> scan_records(std::string_view utf8_text,
                                       std::initializer_list<std::string_view> member_names,
                                       std::string_view records_name,
                                       std::initializer_list<std::string_view> field_names) {
    return Scanner(utf8_text).scan(member_names, records_name, field_names);
}

nb::object read_scalar(const Span& span) { return read(span.text); }

}  // namespace kilnguard::json
