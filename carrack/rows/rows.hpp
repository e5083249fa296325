// One row of a batch completed without the interpreter: what became of it and
// what its completion appends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "carrack/engine/walker.hpp"

namespace carrack::batch {

enum class Outcome : std::uint8_t {
    completed,
    null,           // no text: a null or None row, kept as it is
    rejected,       // bytes are left over after the value
    too_deep,       // nesting beyond max_nesting_depth
    out_of_memory,  // the walk or its suffix ran out of memory
    surrogate,      // a str holding a lone surrogate, which UTF-8 cannot hold
    wrong_type,     // a row that is not text
};

inline bool failed(Outcome outcome) { return outcome != Outcome::completed && outcome != Outcome::null; }

// What a walk that threw failed of.
inline Outcome outcome_of(const Walker& walker) {
    switch (walker.failure()) {
        case Walker::Failure::rejected:
            return Outcome::rejected;
        case Walker::Failure::too_deep:
            return Outcome::too_deep;
        default:
            return Outcome::out_of_memory;
    }
}

// Walks text with feed(walker) and appends its suffix to suffix; never throws.
template <typename Feed>
Outcome complete_row(Feed feed, std::string& suffix) noexcept {
    Walker walker;
    try {
        feed(walker);
        walker.append_suffix(suffix);
        return Outcome::completed;
    } catch (...) {
        suffix.clear();
        return walker.failure() == Walker::Failure::none ? Outcome::out_of_memory : outcome_of(walker);
    }
}

inline Outcome complete_utf8(std::string_view text, std::string& suffix) noexcept {
    return complete_row([text](Walker& walker) { walker.feed_utf8(text); }, suffix);
}

}  // namespace carrack::batch
