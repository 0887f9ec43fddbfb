// A validating scan of a JSON document that builds nothing: it accepts
// exactly the documents read() accepts (same grammar, NaN/Infinity, nesting
// limit) and only notes where a few chosen values sit. A caller that needs two
// fields of each record of a listing reads those values alone, and never pays
// for building and freeing every other object of the document.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <vector>

namespace kilnguard::json {

namespace nb = nanobind;

// Where one value sits in the text, and what kind of value it is.
struct Span {
    enum class Kind : unsigned char { absent, scalar, array, object };
    Kind kind = Kind::absent;
    std::string_view text;
};

// What a scan of `{..., "<records>": [{...}, ...], ...}` found. For a repeated
// name the last occurrence counts, as read() keeps the last value.
struct RecordScan {
    // The top-level members asked for, in the order of their names.
    std::vector<Span> members;
    // The records member itself; when it is an array, one kind per element
    // and, for each element that is an object, its chosen fields.
    Span records;
    std::vector<Span::Kind> record_kinds;
    std::vector<Span> fields;  // record_kinds.size() rows of field_count spans
    std::size_t field_count = 0;

    const Span& field(std::size_t record, std::size_t index) const {
        return fields[record * field_count + index];
    }
};

// The most records a scan notes. Each costs a few dozen bytes of spans, and
// an array of 20 million empty objects fits in a 64 MiB answer; a listing
// holds at most 1024 records a page.
inline constexpr std::size_t max_records = std::size_t{1} << 16;

// Scans one whole document. Nothing comes back when the bytes are not valid
// UTF-8, when read() would refuse the text (any syntax error, nesting beyond
// its limit), when its top level is not an object, or when the records array
// holds more than max_records elements (the scan stops there: the caller
// reads such a document the general way, under read()'s own budget).
std::optional<RecordScan> scan_records(std::string_view utf8_text,
                                       std::initializer_list<std::string_view> member_names,
                                       std::string_view records_name,
                                       std::initializer_list<std::string_view> field_names);

// The value of a scalar span, built exactly as read() builds it in place.
nb::object read_scalar(const Span& span);

}  // namespace kilnguard::json
