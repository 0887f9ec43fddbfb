// The lexical pieces of JSON that the reader and the listing scan share, so
// that the scan accepts exactly what the reader accepts: the same white
// space, the same literal words, the same nesting limit.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace kilnguard::json::grammar {

// Deeper nesting is refused instead of exhausting the stack.
inline constexpr int max_depth = 1000;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The first position at or after `p` that is not white space.
inline const char* skip_space(const char* p, const char* end) {
    while (p < end && is_space(*p)) ++p;
    return p;
}

inline bool starts_with(const char* p, const char* end, std::string_view word) {
    return static_cast<std::size_t>(end - p) >= word.size() &&
           std::memcmp(p, word.data(), word.size()) == 0;
}

}  // namespace kilnguard::json::grammar
