// A chunk of an SSE body that is one whole event of a learned shape: the data
// before a JSON string literal, the literal, and the data after it, possibly
// with other padding members. Reads the literal's characters exactly as
// Python's json string scanner does (strict: no raw control characters) and
// declines anything it is not sure of, which then takes the general path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace carrack::sse {

struct Shape {
    std::string_view before;  // the data up to and with the literal's opening quote
    std::string_view after;   // the data after its closing quote
    // The data after it less its padding members, or nullopt when it had none.
    std::optional<std::string_view> fixed;
};

// Where the literal is in the chunk, and what its characters need.
struct Fragment {
    std::size_t begin = 0;       // the first byte after the opening quote
    std::size_t end = 0;         // the closing quote
    std::size_t length = 0;      // in characters (code points, lone surrogates one each)
    std::uint32_t max_char = 0;  // the largest code point
    bool escaped = false;        // whether there is a backslash escape or a non-ASCII byte
};

// The fragment of a chunk that is exactly one event ("event:" line optional,
// one "data:" line, a blank line; LF line ends only) of the shape, or nullopt.
std::optional<Fragment> match(std::string_view chunk, const Shape& shape);

// Writes the fragment's characters, one unit each of the given width (1, 2 or
// 4 bytes, at least wide enough for max_char), to out.
void decode(std::string_view chunk, const Fragment& fragment, void* out, int width);

}  // namespace carrack::sse
