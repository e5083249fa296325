// What the engine throws, and the limits behind it.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace carrack {

// The one rejection: bytes are left over after the value.
inline constexpr char rejection_message[] = "Given prefix is not from a valid JSON string!";

// Thrown for that rejection. It is a std::runtime_error, as callers expect;
// its own type lets a caller tell it from other failures.
class text_rejected : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The deepest nesting of arrays and objects that the walker completes.
inline constexpr size_t max_nesting_depth = 1'000'000;

// Thrown when a prefix nests deeper than the engine can serve. It derives from
// std::runtime_error so that callers catching rejections still catch it.
class nesting_too_deep : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace carrack
