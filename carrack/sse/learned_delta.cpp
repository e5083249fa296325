// The learned delta's reader: see learned_delta.hpp. Two passes over the
// literal, one to check it and size its characters, one to write them, so that
// nothing is allocated here; the caller makes the string in between.
#include "carrack/sse/learned_delta.hpp"

#include <cstring>

namespace carrack::sse {
namespace {

bool starts_with(std::string_view text, std::size_t at, std::string_view start) {
    return at <= text.size() && text.size() - at >= start.size() &&
           (start.empty() || std::memcmp(text.data() + at, start.data(), start.size()) == 0);
}

int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits of a \u escape whose digits start at `at`, or -1.
long hex4(std::string_view text, std::size_t at) {
    if (text.size() - at < 4) return -1;
    long value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        int digit = hex_digit(static_cast<unsigned char>(text[at + i]));
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

// One well-formed UTF-8 character at `at` (no overlong forms, no encoded
// surrogates, nothing past U+10FFFF): its code point and length, or length 0.
std::size_t utf8(std::string_view text, std::size_t at, std::uint32_t& code) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length;
    std::uint32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// Walks the literal's characters from `at` to its closing quote, giving each
// to put; false for anything json's strict scanner refuses, or bytes that are
// not UTF-8 (which the general path replaces).
template <typename Put>
bool walk(std::string_view text, std::size_t at, std::size_t& end, Put put) {
    const std::size_t size = text.size();
    while (at < size) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        std::uint32_t code;
        if (c == '"') {
            end = at;
            return true;
        }
        if (c < 0x20) return false;  // a raw control character
        if (c < 0x80 && c != '\\') {
            put(c);
            ++at;
            continue;
        }
        if (c >= 0x80) {
            std::size_t length = utf8(text, at, code);
            if (length == 0) return false;
            put(code);
            at += length;
            continue;
        }
        if (size - at < 2) return false;
        switch (text[at + 1]) {
            case '"': code = '"'; break;
            case '\\': code = '\\'; break;
            case '/': code = '/'; break;
            case 'b': code = '\b'; break;
            case 'f': code = '\f'; break;
            case 'n': code = '\n'; break;
            case 'r': code = '\r'; break;
            case 't': code = '\t'; break;
            case 'u': {
                long unit = hex4(text, at + 2);
                if (unit < 0) return false;
                code = static_cast<std::uint32_t>(unit);
                at += 6;
                // A high surrogate joins a low one escaped right after it; any
                // other escape after it is read on its own, and the surrogate
                // stays alone, as json reads it.
                if (code >= 0xD800 && code <= 0xDBFF && starts_with(text, at, "\\u")) {
                    long low = hex4(text, at + 2);
                    if (low < 0) return false;
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
                        at += 6;
                    }
                }
                put(code);
                continue;
            }
            default: return false;
        }
        put(code);
        at += 2;
    }
    return false;  // no closing quote
}

bool is_space(char c) { return c == ' ' || c == '\t'; }

// The most digits of an int that json.loads reads whatever the interpreter's
// int digit limit (which may be set no lower); a longer one may be refused.
constexpr std::size_t max_digits = 640;

// Padding members after the fixed data: one or more `,"sequence_number": N`
// or `,"obfuscation": "..."`, then `}`, with spaces or tabs between. Only plain
// ASCII is taken; anything else goes to the general path.
bool padding(std::string_view text) {
    std::size_t at = 0;
    const std::size_t size = text.size();
    auto spaces = [&] {
        while (at < size && is_space(text[at])) ++at;
    };
    int members = 0;
    while (at < size && text[at] == ',') {
        ++at;
        spaces();
        if (starts_with(text, at, "\"sequence_number\"")) {
            at += sizeof("\"sequence_number\"") - 1;
        } else if (starts_with(text, at, "\"obfuscation\"")) {
            at += sizeof("\"obfuscation\"") - 1;
        } else {
            return false;
        }
        spaces();
        if (at == size || text[at] != ':') return false;
        ++at;
        spaces();
        if (at < size && text[at] == '"') {
            ++at;
            while (at < size && text[at] != '"') {
                const unsigned char c = static_cast<unsigned char>(text[at]);
                if (c < 0x20 || c >= 0x80 || c == '\\') return false;
                ++at;
            }
            if (at == size) return false;
            ++at;
        } else {
            if (at < size && text[at] == '-') ++at;
            const std::size_t digits = at;
            while (at < size && text[at] >= '0' && text[at] <= '9') ++at;
            if (at == digits || at - digits > max_digits) return false;
            if (text[digits] == '0' && at - digits > 1) return false;  // json.loads refuses a leading zero
        }
        ++members;
    }
    if (members == 0) return false;
    spaces();
    if (at == size || text[at] != '}') return false;
    ++at;
    spaces();
    return at == size;
}

}  // namespace

std::optional<Fragment> match(std::string_view chunk, const Shape& shape) {
    const std::size_t size = chunk.size();
    if (size < 2 || chunk[size - 1] != '\n' || chunk[size - 2] != '\n') return std::nullopt;
    if (std::memchr(chunk.data(), '\r', size) != nullptr) return std::nullopt;
    std::size_t at = 0;
    if (starts_with(chunk, 0, "event:")) at = chunk.find('\n') + 1;  // the event's name changes nothing
    if (!starts_with(chunk, at, "data:") || chunk.find('\n', at) != size - 2) return std::nullopt;
    at += 5;
    if (chunk[at] == ' ') ++at;
    if (!starts_with(chunk, at, shape.before)) return std::nullopt;
    Fragment fragment;
    fragment.begin = at + shape.before.size();
    bool ok = walk(chunk, fragment.begin, fragment.end, [&](std::uint32_t code) {
        ++fragment.length;
        if (code > fragment.max_char) fragment.max_char = code;
    });
    if (!ok) return std::nullopt;
    fragment.escaped = fragment.length != fragment.end - fragment.begin || fragment.max_char >= 0x80;
    const std::string_view rest = chunk.substr(fragment.end + 1, size - 2 - (fragment.end + 1));
    if (rest == shape.after) return fragment;
    if (shape.fixed && rest.starts_with(*shape.fixed) && padding(rest.substr(shape.fixed->size()))) return fragment;
    return std::nullopt;
}

void decode(std::string_view chunk, const Fragment& fragment, void* out, int width) {
    if (fragment.length == 0) return;
    if (!fragment.escaped) {
        std::memcpy(out, chunk.data() + fragment.begin, fragment.length);
        return;
    }
    std::size_t end = 0;
    std::size_t i = 0;
    if (width == 1) {
        auto* units = static_cast<std::uint8_t*>(out);
        walk(chunk, fragment.begin, end, [&](std::uint32_t code) { units[i++] = static_cast<std::uint8_t>(code); });
    } else if (width == 2) {
        auto* units = static_cast<std::uint16_t*>(out);
        walk(chunk, fragment.begin, end, [&](std::uint32_t code) { units[i++] = static_cast<std::uint16_t>(code); });
    } else {
        auto* units = static_cast<std::uint32_t*>(out);
        walk(chunk, fragment.begin, end, [&](std::uint32_t code) { units[i++] = code; });
    }
}

}  // namespace carrack::sse
