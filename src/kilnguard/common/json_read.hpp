// The JSON decoder: strict RFC 8259 plus NaN, Infinity and -Infinity, building
// Python objects directly. Keys keep text order; a repeated key keeps its first
// place and takes its last value; integers keep full size; lone \u surrogates
// are kept. A syntax error is described exactly as CPython's json module
// describes the same document, with character (not byte) offsets.
#pragma once

#include <nanobind/nanobind.h>

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

// Decodes one whole document from UTF-8 text that is already known to be
// valid UTF-8. Throws SyntaxError for a document that is not JSON (the empty
// text and a leading byte-order mark included); nesting deeper than 1000
// levels raises RecursionError instead of exhausting the stack.
nb::object read(std::string_view utf8_text);

}  // namespace kilnguard::json
