// Test helpers: walking one node, and completing by the literal node walk.
#pragma once

#include <optional>
#include <string>

#include "carrack/engine/json.hpp"

namespace carrack::testing {

struct Walked {
    std::string text;
    size_t position;
};

// Runs node.autocomplete over prefix from start.
inline Walked walk(const Parser& node, std::string prefix, size_t start = 0) {
    size_t position = start;
    node.autocomplete(prefix, position);
    return {prefix, position};
}

// The unoptimised walker: json_parser's nodes asked exactly as their rules
// say, then the entry point's one validity rule. nullopt is a rejection. It is
// the reference for the engine's fast path (and the benchmarks' baseline).
inline std::optional<std::string> literal_complete(std::string prefix) {
    size_t position = 0;
    json_parser->autocomplete(prefix, position);
    if (position != prefix.size()) return std::nullopt;
    return prefix;
}

// carrack_cpp with a rejection as nullopt.
inline std::optional<std::string> fast_complete(const std::string& prefix) {
    try {
        return carrack_cpp(prefix);
    } catch (const nesting_too_deep&) {
        throw;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

}  // namespace carrack::testing
