// Strict UTF-8, as Python's "utf-8" codec reads and writes it: no surrogates,
// no overlong forms, nothing beyond U+10FFFF.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>

namespace kilnguard::utf8 {

namespace nb = nanobind;

// Whether the bytes are well-formed UTF-8.
bool valid(std::string_view bytes);

// Raises the UnicodeDecodeError Python would raise decoding the same bytes,
// unless they are well-formed.
void require(std::string_view bytes);

// The UTF-8 of a str, or nothing when it holds a lone surrogate (which no
// UTF-8 can carry); `problem` then says which character, and where, without
// quoting the text around it (it may be a secret).
std::optional<std::string_view> encode(nb::handle text, std::string& problem);

}  // namespace kilnguard::utf8
