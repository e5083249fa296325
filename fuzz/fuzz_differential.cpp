// The engine against the literal node walk: byte-identical results and
// identical rejections, for any bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "walk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::optional<std::string> literal;
    try {
        literal = carrack::testing::literal_complete(input);
    } catch (const carrack::nesting_too_deep&) {
        return 0;  // deeper than the recursive walk's stack: nothing to compare with
    }
    std::optional<std::string> fast;
    try {
        fast = carrack::testing::fast_complete(input);
    } catch (const carrack::nesting_too_deep&) {
        std::fputs("the engine refused what the node walk completed\n", stderr);
        std::abort();
    }
    if (fast != literal) {
        std::fputs("the engine and the node walk differ\n", stderr);
        std::abort();
    }
    return 0;
}
