// Splits a long message into pieces that each fit one Telegram message, at
// line boundaries, repeating the text's header at the top of every piece so
// each piece reads on its own.
//
// Lengths are code points, as Telegram counts them, and the work is done on
// the str itself: any text splits, even one that is not UTF-8 encodable.
#include "telegram/operations.hpp"

#include "common/py.hpp"
#include "names.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kilnguard::telegram {

namespace {

// One line of the text: the characters [begin, end), without its line feed.
struct Line {
    Py_ssize_t begin, end;
    Py_ssize_t length() const { return end - begin; }
};

// Only the line feed ends a line; a carriage return is an ordinary character.
std::vector<Line> lines_of(const nb::str& text) {
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr());
    std::vector<Line> lines;
    Py_ssize_t begin = 0;
    for (;;) {
        Py_ssize_t feed = PyUnicode_FindChar(text.ptr(), '\n', begin, size, 1);
        if (feed == -2) throw nb::python_error();
        if (feed == -1) {
            lines.push_back({begin, size});
            return lines;
        }
        lines.push_back({begin, feed});
        begin = feed + 1;
    }
}

// Where the header ends and the body begins; the line between them is the
// separator slot, which no piece copies (each gets one empty line instead).
struct Layout {
    std::size_t header_lines;
    std::size_t body_begin;
};

Layout layout_of(const std::vector<Line>& lines) {
    // The alert has two header lines and its third line empty; read with
    // the snapshot's three-line header it would lose its first change line.
    if (lines.size() >= 4 && lines[2].length() == 0) return {2, 3};
    return {std::min<std::size_t>(3, lines.size()), 4};
}

nb::str slice(const nb::str& text, Py_ssize_t begin, Py_ssize_t end) {
    return py::steal_or_throw<nb::str>(PyUnicode_Substring(text.ptr(), begin, end));
}

nb::str concat(const nb::str& a, const nb::str& b) {
    return py::steal_or_throw<nb::str>(PyUnicode_Concat(a.ptr(), b.ptr()));
}

}  // namespace

nb::list chunk_text(nb::handle text_arg, nb::handle max_len_arg) {
    const py::ArgCheck check{names::chunk_text};
    nb::str text = check.text("text", text_arg);
    const long long max_len = check.integer("max_len", max_len_arg);

    nb::list pieces;
    if (PyUnicode_GET_LENGTH(text.ptr()) <= max_len) {
        pieces.append(text);
        return pieces;
    }

    const std::vector<Line> lines = lines_of(text);
    const Layout layout = layout_of(lines);
    // The header lines start the text, so they are one slice of it; so are
    // the body lines of any piece, since a piece takes consecutive lines.
    const Py_ssize_t header_length = lines[layout.header_lines - 1].end;
    if (layout.body_begin >= lines.size()) {
        pieces.append(slice(text, 0, header_length));
        return pieces;
    }
    const nb::str opening = concat(slice(text, 0, header_length), nb::str("\n\n"));
    auto close = [&](std::size_t first, std::size_t last) {
        pieces.append(concat(opening, slice(text, lines[first].begin, lines[last].end)));
    };

    // Lengths as the pieces' lines joined with line feeds: the header, then
    // the empty line, then one line feed before each body line.
    const long long opening_length = header_length + 1;
    long long length = opening_length;
    std::size_t first = layout.body_begin;
    for (std::size_t i = layout.body_begin; i < lines.size(); ++i) {
        const long long candidate = length + 1 + lines[i].length();
        // A piece always takes at least one body line, however long.
        if (candidate > max_len && i > first) {
            close(first, i - 1);
            first = i;
            length = opening_length + 1 + lines[i].length();
        } else {
            length = candidate;
        }
    }
    close(first, lines.size() - 1);
    return pieces;
}

}  // namespace kilnguard::telegram
