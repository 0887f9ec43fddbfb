// The one policy for keeping secrets (the Taostats key, the bot token) out of
// every text the module hands back or logs. Servers and proxies echo request
// paths and headers in their error pages, plainly, JSON-escaped or
// percent-encoded, so each secret is looked for in all of those forms (and
// in any mixture of them, character by character).
// Scrubbing comes before any excerpt is cut, so a cut can never leave part of
// a secret behind. A secret shorter than `shortest_secret` characters is left
// alone: it cannot be told from ordinary words ("Failed to connect" would
// lose its every "o" to a one-letter token).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kilnguard::scrub {

namespace nb = nanobind;

inline constexpr std::size_t shortest_secret = 8;
// What stands in for a secret.
inline constexpr std::string_view blot = "...";

class Secrets {
public:
    // Adds a secret given as UTF-8 bytes, or as a str (anything else, and a
    // str that is not UTF-8, adds nothing: it cannot be on the wire).
    void add(std::string_view secret);
    void add(nb::handle secret);

    // A UTF-8 text with every form of every secret blotted out.
    std::string text(std::string text) const;
    // A str with every form of every secret blotted out.
    nb::str text(nb::handle str) const;
    // A value about to be handed back or logged: its text form, scrubbed,
    // when that holds a secret; otherwise the value itself, unchanged.
    nb::object value(nb::handle value) const;
    // A decoded JSON value with every text in it (member names included)
    // scrubbed, in containers copied for the purpose.
    nb::object json_value(nb::handle value) const;

    // How far past a point of a text scrubbing may look to decide what that
    // point becomes: the longest span that each secret, written in its
    // widest form (\u00XX for every byte), can cover, summed over secrets.
    // So the scrubbed form of a text's first N bytes agrees with that of the
    // whole text in all but its last reach() bytes, since scrubbing only
    // ever shortens a text.
    std::size_t reach() const;

private:
    friend class Stream;
    bool found_in(nb::handle str) const;
    std::vector<std::string> secrets_;  // UTF-8, longest first, each once
};

// Scrubs a UTF-8 text that arrives in pieces, exactly as Secrets::text
// scrubs the whole of it, and keeps only the start of the result: its first
// whole characters within `keep_bytes` bytes, and how many characters the
// whole result has. Memory stays at a piece and a few times the secrets'
// length whatever the length of the text, so a text too long to be held
// (the escaped form of a 64 MiB answer, say) can still be cut with an exact
// note of what was left out, and a secret across the cut is blotted out
// before it. The Secrets it is made from must outlive it.
class Stream {
public:
    Stream(const Secrets& secrets, std::size_t keep_bytes);
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void write(std::string_view piece);
    // Marks the end of the text: what was held back for a match still
    // undecided goes through.
    void finish();

    const std::string& kept() const { return kept_; }
    std::size_t kept_characters() const { return kept_characters_; }
    std::size_t characters() const { return characters_; }

private:
    // One secret's pass over the output of the pass before it, as
    // Secrets::text makes them one after another.
    struct Pass {
        const std::string* secret;
        std::string pending;  // not yet decided: a match may start in it
    };
    void push(std::size_t pass, std::string_view piece, bool last);
    void deliver(std::string_view piece);

    std::vector<Pass> passes_;
    std::size_t keep_bytes_;
    std::string kept_;
    bool keeping_ = true;
    std::size_t kept_characters_ = 0;
    std::size_t characters_ = 0;
};

}  // namespace kilnguard::scrub
