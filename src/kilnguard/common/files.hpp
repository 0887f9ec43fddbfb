// Files as the module uses them: a path encoded as open() encodes it, a
// regular file read whole, and a file replaced atomically. Everything but
// `encode_path` runs with the GIL released and reports failures as values.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>

namespace kilnguard::files {

namespace nb = nanobind;

// The path's bytes as the file system takes them (the file-system encoding
// with surrogateescape, as open() encodes a str). A path that cannot be
// encoded raises UnicodeEncodeError and one holding NUL raises ValueError, as
// open() does.
std::string encode_path(nb::handle path);

// Whether `path` names a regular file, symbolic links followed.
bool is_regular_file(const std::string& path);

// The whole content of the file at `path`, or nothing when it is not a
// regular file (links followed) or cannot be read.
std::optional<std::string> read_regular_file(const std::string& path);

// Why a replacement failed: an errno value, or `refused` naming what sits at
// the path when that is not a regular file (nothing is written then).
struct Failure {
    int error = 0;
    const char* refused = nullptr;  // "a character device", "a FIFO", ...
    explicit operator bool() const { return error != 0 || refused != nullptr; }
};

// Replaces the regular file at `path` (or the final target of the symbolic
// links it names) with `content`: the old document or the new one is there at
// every instant, and on failure the old one is left untouched. An existing
// file keeps its permission bits (and its owner, where that may be given).
// Temporary files of this naming pattern left beside it by saves that were
// killed are removed once they are a minute old.
Failure replace_file(std::string path, std::string_view content);

}  // namespace kilnguard::files
