// The JSON decoder: strict RFC 8259 plus NaN, Infinity and -Infinity, building
// Python objects directly. Keys keep text order; a repeated key keeps its first
// place and takes its last value; integers keep full size; lone \u surrogates
// are kept. A syntax error is described exactly as CPython's json module
// describes the same document, with character (not byte) offsets.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kilnguard::json {

namespace nb = nanobind;

// A syntax error, with CPython's wording, for example
// "Expecting value: line 1 column 1 (char 0)".
class SyntaxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A document whose values would take more Python memory than
// `object_budget`. It is a SyntaxError too: every caller already reports a
// document it cannot decode, and this is one.
class TooLarge : public SyntaxError {
public:
    using SyntaxError::SyntaxError;
};

// What one document may build, in bytes of Python objects as CPython 3.11
// lays them out (containers with their slots, floats, integers, texts), an
// estimate kept while decoding. A 64 MiB answer of empty arrays or short
// numbers would otherwise become tens of millions of objects, gigabytes on a
// machine that has a few hundred megabytes; a real listing of 1024 records
// builds about a tenth of this.
inline constexpr std::size_t object_budget = std::size_t{64} << 20;

// Decodes one whole document from UTF-8 text that is already known to be
// valid UTF-8. Throws SyntaxError for a document that is not JSON (the empty
// text and a leading byte-order mark included) and TooLarge for one that
// would build more than object_budget; nesting deeper than 1000 levels raises
// RecursionError instead of exhausting the stack.
nb::object read(std::string_view utf8_text);

}  // namespace kilnguard::json
