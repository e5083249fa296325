// Scanners for the runs of text that need no decision of the grammar: string
// bodies, whitespace and digits. They look at sixteen units at a time with
// SSE2 (every x86-64) or NEON (every arm64), chosen when compiling; elsewhere,
// or with CARRACK_SCAN_SCALAR defined, a plain loop gives the same answers.
//
// Text is given as UTF-8 bytes (char) or as code points, one per unit: Latin-1
// (unsigned char), UCS-2 (char16_t) or UCS-4 (char32_t). Every decision is on
// an ASCII byte, so a non-ASCII unit only ever reads as "other". Raw control
// bytes are ordinary string content here, so a string body stops only at a
// quote or a backslash.
//
// A vector load is made only where sixteen units lie before the end; the rest
// is the plain loop. Loads are unaligned, so any position will do.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if !defined(CARRACK_SCAN_SCALAR)
// SSE2 is part of every x86-64; MSVC says so by the target, not by __SSE2__.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define CARRACK_SCAN_SSE2 1
#include <emmintrin.h>
#elif defined(__aarch64__) || defined(_M_ARM64) || (defined(__ARM_NEON) && defined(__ARM_ARCH) && __ARM_ARCH >= 8)
#define CARRACK_SCAN_NEON 1
#include <arm_neon.h>
#endif
#endif

#if defined(CARRACK_SCAN_SSE2) || defined(CARRACK_SCAN_NEON)
#define CARRACK_SCAN_VECTOR 1
#endif

namespace carrack::scan {

// Each choice of scanner gets a namespace of its own, so that a program may
// hold translation units built with different choices (the tests compare the
// plain loop with the vector one) without two meanings for one inline name.
#if defined(CARRACK_SCAN_SSE2)
inline namespace sse2 {
#elif defined(CARRACK_SCAN_NEON)
inline namespace neon {
#else
inline namespace scalar {
#endif

// The scanner this translation unit was built with, for tests and reports.
inline constexpr const char* kind =
#if defined(CARRACK_SCAN_SSE2)
    "sse2";
#elif defined(CARRACK_SCAN_NEON)
    "neon";
#else
    "scalar";
#endif

template <typename Unit>
inline constexpr bool is_utf8 = std::is_same_v<Unit, char>;

// Space, line feed, carriage return and tab: one compare and one bit test.
template <typename Unit>
inline bool is_whitespace(Unit c) {
    constexpr unsigned long long bits = (1ull << ' ') | (1ull << '\n') | (1ull << '\r') | (1ull << '\t');
    using Code = std::make_unsigned_t<Unit>;
    const auto u = static_cast<Code>(c);
    return u <= ' ' && ((bits >> u) & 1) != 0;
}

template <typename Unit>
inline bool is_digit(Unit c) {
    return c >= '0' && c <= '9';  // a signed char from 0x80 is negative: never a digit
}

template <typename Unit>
inline bool is_quote_or_backslash(Unit c) {
    return c == '"' || c == '\\';
}

// UTF-8 length of a code point; surrogates count 3, as they would be written.
inline unsigned utf8_length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

#if defined(CARRACK_SCAN_VECTOR)
namespace block {

// Sixteen units as sixteen bytes, and a set of lanes as bits. An ASCII byte in
// a block stands for exactly that ASCII unit: wider units are narrowed with
// saturation, so a unit from 0x100 becomes a byte that is no ASCII character.
#if defined(CARRACK_SCAN_SSE2)
using Bytes = __m128i;
using Lanes = __m128i;  // 0xFF in a lane that is in the set, 0x00 elsewhere

template <typename Unit>
inline Bytes load(const Unit* in) {
    const auto at = [in](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in) + i); };
    if constexpr (sizeof(Unit) == 1) {
        return at(0);
    } else if constexpr (sizeof(Unit) == 2) {
        // Signed saturation of 16 bits: from 0x8000 a unit reads as negative and becomes 0x00, never ASCII
        // but NUL, which no scanner looks for.
        return _mm_packus_epi16(at(0), at(1));
    } else {
        return _mm_packus_epi16(_mm_packs_epi32(at(0), at(1)), _mm_packs_epi32(at(2), at(3)));
    }
}
inline Lanes equal(Bytes b, char c) { return _mm_cmpeq_epi8(b, _mm_set1_epi8(c)); }
inline Lanes either(Lanes a, Lanes b) { return _mm_or_si128(a, b); }
// Signed compares: a byte from 0x80 is negative, so never within '0'..'9'.
inline Lanes digits(Bytes b) {
    return _mm_and_si128(_mm_cmpgt_epi8(b, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(b, _mm_set1_epi8('9' + 1)));
}
// One bit per lane.
inline std::uint64_t bits(Lanes l) { return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(l))); }
inline constexpr std::uint64_t all = 0xFFFF;
inline constexpr int lane_shift = 0;
#else
using Bytes = uint8x16_t;
using Lanes = uint8x16_t;

template <typename Unit>
inline Bytes load(const Unit* in) {
    if constexpr (sizeof(Unit) == 1) {
        return vld1q_u8(reinterpret_cast<const std::uint8_t*>(in));
    } else if constexpr (sizeof(Unit) == 2) {
        const auto* u = reinterpret_cast<const std::uint16_t*>(in);
        return vcombine_u8(vqmovn_u16(vld1q_u16(u)), vqmovn_u16(vld1q_u16(u + 8)));
    } else {
        const auto* u = reinterpret_cast<const std::uint32_t*>(in);
        const uint16x8_t low = vcombine_u16(vqmovn_u32(vld1q_u32(u)), vqmovn_u32(vld1q_u32(u + 4)));
        const uint16x8_t high = vcombine_u16(vqmovn_u32(vld1q_u32(u + 8)), vqmovn_u32(vld1q_u32(u + 12)));
        return vcombine_u8(vqmovn_u16(low), vqmovn_u16(high));
    }
}
inline Lanes equal(Bytes b, char c) { return vceqq_u8(b, vdupq_n_u8(static_cast<std::uint8_t>(c))); }
inline Lanes either(Lanes a, Lanes b) { return vorrq_u8(a, b); }
inline Lanes digits(Bytes b) { return vcleq_u8(vsubq_u8(b, vdupq_n_u8('0')), vdupq_n_u8(9)); }
// NEON has no byte mask move: narrowing each 16-bit pair by a shift of four
// leaves four bits per lane in 64 bits, the usual substitute.
inline std::uint64_t bits(Lanes l) {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(l), 4)), 0);
}
inline constexpr std::uint64_t all = ~std::uint64_t{0};
inline constexpr int lane_shift = 2;
#endif

inline Lanes quote_or_backslash(Bytes b) { return either(equal(b, '"'), equal(b, '\\')); }

// The lane of the lowest set bit of a nonzero bits().
inline size_t lane(std::uint64_t set) { return static_cast<size_t>(std::countr_zero(set)) >> lane_shift; }

// The set without the lanes below first (below 16).
inline std::uint64_t from_lane(std::uint64_t set, size_t first) {
    return set & (~std::uint64_t{0} << (first << lane_shift));
}

}  // namespace block
#endif

// The first index at or after pos, below end, of a double quote or a
// backslash, or end. Strings are where long runs are, so every unit size goes
// sixteen at a time.
template <typename Unit>
inline size_t find_quote_or_backslash(const Unit* in, size_t pos, size_t end) {
#if defined(CARRACK_SCAN_VECTOR)
    for (; pos + 16 <= end; pos += 16) {
        const std::uint64_t stops = block::bits(block::quote_or_backslash(block::load(in + pos)));
        if (stops != 0) return pos + block::lane(stops);
    }
#endif
    while (pos < end && !is_quote_or_backslash(in[pos])) ++pos;
    return pos;
}

// The same, for runs expected to be short: a loop for the first eight units.
template <typename Unit>
inline size_t find_quote_or_backslash_short(const Unit* in, size_t pos, size_t end) {
    const size_t stop = pos + 8 < end ? pos + 8 : end;
    for (; pos < stop; ++pos) {
        if (is_quote_or_backslash(in[pos])) return pos;
    }
    return find_quote_or_backslash(in, pos, end);
}

// Where a string body needs the grammar again: the first index at or after pos
// of a double quote, or of a backslash whose escape is "\u" or is not in the
// text yet; end if there is none. The other escapes take their next unit
// whatever it is, so they are passed over here: a vector block goes on from
// the escaped unit with the stops it has already found, rather than leaving
// the loop at every backslash of text that escapes a line break every few words.
template <typename Unit>
inline size_t find_string_stop(const Unit* in, size_t pos, size_t end) {
#if defined(CARRACK_SCAN_VECTOR)
    while (pos + 16 <= end) {
        size_t next = pos + 16;
        for (std::uint64_t set = block::bits(block::quote_or_backslash(block::load(in + pos))); set != 0;) {
            const size_t at = pos + block::lane(set);
            if (in[at] == '"' || at + 1 == end || in[at + 1] == 'u') return at;
            // the escaped unit, a quote or a backslash too, is body
            if (at + 2 >= pos + 16) {
                next = at + 2;
                break;
            }
            set = block::from_lane(set, at + 2 - pos);
        }
        pos = next;
    }
#endif
    for (;;) {
        pos = find_quote_or_backslash(in, pos, end);
        if (pos == end || in[pos] == '"' || pos + 1 == end || in[pos + 1] == 'u') return pos;
        pos += 2;
    }
}

// The first index at or after pos, below end, that is not a digit, or end.
// A single digit is the common case and stays out of the vector path.
template <typename Unit>
inline size_t skip_digits(const Unit* in, size_t pos, size_t end) {
#if defined(CARRACK_SCAN_VECTOR)
    if (pos + 1 < end && is_digit(in[pos]) && is_digit(in[pos + 1])) {
        for (; pos + 16 <= end; pos += 16) {
            const std::uint64_t others = block::bits(block::digits(block::load(in + pos))) ^ block::all;
            if (others != 0) return pos + block::lane(others);
        }
    }
#endif
    while (pos < end && is_digit(in[pos])) ++pos;
    return pos;
}

// The first index at or after pos, below end, that is not whitespace, or end.
// With short_runs, a loop takes the first eight units, for indentation that
// the processor has learnt to predict.
template <typename Unit>
inline size_t skip_whitespace(const Unit* in, size_t pos, size_t end, bool short_runs) {
    if (short_runs) {
        const size_t stop = pos + 8 < end ? pos + 8 : end;
        while (pos < stop && is_whitespace(in[pos])) ++pos;
        if (pos < stop) return pos;
    }
#if defined(CARRACK_SCAN_VECTOR)
    // Indentation is spaces: one compare per block, and a line break or tab
    // among them is passed by a look at the unit that stopped the block.
    while (pos + 16 <= end) {
        const std::uint64_t others = block::bits(block::equal(block::load(in + pos), ' ')) ^ block::all;
        if (others == 0) {
            pos += 16;
            continue;
        }
        pos += block::lane(others);
        if (!is_whitespace(in[pos])) return pos;
        ++pos;
    }
#endif
    while (pos < end && is_whitespace(in[pos])) ++pos;
    return pos;
}

}  // namespace (scanner kind)
}  // namespace carrack::scan
