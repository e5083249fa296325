// The resumable walk fed in pieces against the one-shot walk and the node walk:
// the same suffix or the same rejection wherever the text is split, and, for
// UTF-8 text, whatever encoding each piece of code points comes in.
//
// Input: one byte giving the number of cuts (mod 8), that many bytes giving
// piece sizes (used in turn), then the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "text.hpp"
#include "walk.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fputs(what, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

// The suffix, nullopt for a rejection, "\x01" for nesting too deep.
template <typename Feed>
std::optional<std::string> outcome(Feed feed) {
    carrack::Walker walker;
    try {
        feed(walker);
        return walker.suffix();
    } catch (const carrack::nesting_too_deep&) {
        return std::string("\x01");
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

// Splits [0, size) into pieces whose sizes come from sizes in turn.
std::vector<std::pair<size_t, size_t>> pieces(size_t size, const std::vector<size_t>& sizes) {
    std::vector<std::pair<size_t, size_t>> out;
    for (size_t at = 0, i = 0; at < size; ++i) {
        const size_t n = sizes.empty() ? size : std::min(sizes[i % sizes.size()], size - at);
        out.emplace_back(at, n);
        at += n;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t cuts = std::min<size_t>(data[0] % 8, size - 1);
    std::vector<size_t> sizes;
    for (size_t i = 1; i <= cuts; ++i) sizes.push_back(static_cast<size_t>(data[i]) + 1);
    const std::string text(reinterpret_cast<const char*>(data) + 1 + cuts, size - 1 - cuts);

    const auto split = outcome([&](carrack::Walker& w) {
        for (const auto& [at, n] : pieces(text.size(), sizes)) w.feed_utf8(std::string_view(text).substr(at, n));
    });
    const auto whole = outcome([&](carrack::Walker& w) { w.feed_utf8(text); });
    if (split != whole) fail("pieces differ from the whole text");

    std::optional<std::string> one_shot;
    try {
        one_shot = carrack::testing::fast_complete(text);
    } catch (const carrack::nesting_too_deep&) {
        one_shot = "\x01";
    }
    if (one_shot != (whole && *whole != "\x01" ? std::optional(text + *whole) : whole)) fail("carrack_cpp differs");
    try {
        if (carrack::testing::literal_complete(text) != one_shot) fail("the node walk differs");
    } catch (const carrack::nesting_too_deep&) {
        // deeper than the recursive walk's stack: nothing to compare with
    }

    // Code points in pieces, each piece in the narrowest encoding that holds it.
    if (const auto points = carrack::testing::from_utf8(text)) {
        const auto wide = outcome([&](carrack::Walker& w) {
            for (const auto& [at, n] : pieces(points->size(), sizes)) {
                const std::u32string piece = points->substr(at, n);
                char32_t widest = 0;
                for (const char32_t c : piece) widest = std::max(widest, c);
                if (widest <= 0xFF) {
                    const std::vector<unsigned char> latin1(piece.begin(), piece.end());
                    w.feed_latin1(latin1);
                } else if (widest <= 0xFFFF) {
                    w.feed_ucs2(std::u16string(piece.begin(), piece.end()));
                } else {
                    w.feed_ucs4(piece);
                }
            }
        });
        if (wide != whole) fail("code points in pieces differ from UTF-8");
    }
    return 0;
}
