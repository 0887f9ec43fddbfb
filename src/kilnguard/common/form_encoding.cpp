#include "common/form_encoding.hpp"

namespace kilnguard::form {

namespace {

bool unreserved(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '_' || byte == '.' || byte == '-' ||
           byte == '~';
}

void append_encoded(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (unreserved(byte)) {
            out += c;
        } else if (byte == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
}

}  // namespace

std::string encode(const std::vector<Field>& fields) {
    std::string out;
    for (const auto& [name, value] : fields) {
        if (!out.empty()) out += '&';
        append_encoded(out, name);
        out += '=';
        append_encoded(out, value);
    }
    return out;
}

}  // namespace kilnguard::form
