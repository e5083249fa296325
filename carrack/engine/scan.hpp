// Scanners for the runs of text that need no decision of the grammar: string
// bodies, whitespace and digits. Where SSE2 is there (every x86-64) they look
// at sixteen units at a time; elsewhere a plain loop gives the same answers.
//
// Text is given as UTF-8 bytes (char) or as code points, one per unit: Latin-1
// (unsigned char), UCS-2 (char16_t) or UCS-4 (char32_t). Every decision is on
// an ASCII byte, so a non-ASCII unit only ever reads as "other".
#pragma once

#include <bit>
#include <cstddef>
#include <type_traits>

// SSE2 is part of every x86-64; MSVC says so by the target, not by __SSE2__.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define CARRACK_SSE2 1
#include <emmintrin.h>
#endif

namespace carrack::scan {

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

// UTF-8 length of a code point; surrogates count 3, as they would be written.
inline unsigned utf8_length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

#if defined(CARRACK_SSE2)
// Returns the first index at or after pos, below end, of a byte whose lane in
// stops(chunk) is set, or the index where fewer than sixteen bytes remain.
template <typename Stops>
inline size_t scan16(const char* in, size_t pos, size_t end, Stops stops) {
    while (pos + 16 <= end) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops(chunk)));
        if (mask != 0) return pos + static_cast<size_t>(std::countr_zero(mask));
        pos += 16;
    }
    return pos;
}

// Sixteen units narrowed to sixteen bytes with saturation: a unit keeps its
// value if it is below 0x100 and becomes 0x00 or 0xFF otherwise, so an ASCII
// byte in the result stands for exactly that ASCII unit.
template <typename Unit>
inline __m128i narrow16(const Unit* in) {
    const auto load = [in](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in) + i); };
    if constexpr (sizeof(Unit) == 1) {
        return load(0);
    } else if constexpr (sizeof(Unit) == 2) {
        return _mm_packus_epi16(load(0), load(1));
    } else {
        return _mm_packus_epi16(_mm_packs_epi32(load(0), load(1)), _mm_packs_epi32(load(2), load(3)));
    }
}
#endif

// The first index at or after pos, below end, of a double quote or a
// backslash, or end. Strings are where long runs are, so every unit size goes
// sixteen at a time.
template <typename Unit>
inline size_t find_quote_or_backslash(const Unit* in, size_t pos, size_t end) {
#if defined(CARRACK_SSE2)
    while (pos + 16 <= end) {
        const __m128i c = narrow16(in + pos);
        const __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('"')), _mm_cmpeq_epi8(c, _mm_set1_epi8('\\')));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops));
        if (mask != 0) return pos + static_cast<size_t>(std::countr_zero(mask));
        pos += 16;
    }
#endif
    while (pos < end && in[pos] != '"' && in[pos] != '\\') ++pos;
    return pos;
}

// The same, for runs expected to be short: a loop for the first eight units.
template <typename Unit>
inline size_t find_quote_or_backslash_short(const Unit* in, size_t pos, size_t end) {
    const size_t stop = pos + 8 < end ? pos + 8 : end;
    for (; pos < stop; ++pos) {
        if (in[pos] == '"' || in[pos] == '\\') return pos;
    }
    return find_quote_or_backslash(in, pos, end);
}

// The first index at or after pos, below end, that is not a digit, or end.
// A single digit is the common case and stays out of the vector path.
template <typename Unit>
inline size_t skip_digits(const Unit* in, size_t pos, size_t end) {
#if defined(CARRACK_SSE2)
    if (pos + 1 < end && is_digit(in[pos]) && is_digit(in[pos + 1])) {
        // Signed comparison: narrowed units from 0x80 are negative, so never digits.
        while (pos + 16 <= end) {
            const __m128i c = narrow16(in + pos);
            const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)),
                                                _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(digit)) ^ 0xFFFF;
            if (mask != 0) return pos + static_cast<size_t>(std::countr_zero(mask));
            pos += 16;
        }
    }
#endif
    while (pos < end && is_digit(in[pos])) ++pos;
    return pos;
}

template <typename Unit>
inline size_t skip_whitespace(const Unit* in, size_t pos, size_t end, bool short_runs) {
    if (short_runs) {
        const size_t stop = pos + 8 < end ? pos + 8 : end;
        while (pos < stop && is_whitespace(in[pos])) ++pos;
        if (pos < stop) return pos;
    }
#if defined(CARRACK_SSE2)
    if constexpr (sizeof(Unit) == 1) {
        const __m128i space = _mm_set1_epi8(' ');
        while (pos + 16 <= end) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos));
            const unsigned spaces = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, space)));
            if (spaces == 0xFFFF) {
                pos += 16;
                continue;
            }
            pos += static_cast<size_t>(std::countr_zero(~spaces));
            if (!is_whitespace(in[pos])) return pos;
            ++pos;  // a tab or line break within the run
        }
    }
#endif
    while (pos < end && is_whitespace(in[pos])) ++pos;
    return pos;
}

}  // namespace carrack::scan
