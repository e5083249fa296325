// The plain-loop scanners, compiled in a translation unit of their own.
#pragma once

#include <cstddef>
#include <string_view>

namespace carrack::testing::scalar_scan {

#define CARRACK_SCALAR_SCANNERS(Unit)                                                 \
    size_t find_quote_or_backslash(const Unit* in, size_t pos, size_t end);           \
    size_t find_quote_or_backslash_short(const Unit* in, size_t pos, size_t end);     \
    size_t find_string_stop(const Unit* in, size_t pos, size_t end);                  \
    size_t skip_digits(const Unit* in, size_t pos, size_t end);                       \
    size_t skip_whitespace(const Unit* in, size_t pos, size_t end, bool short_runs);

CARRACK_SCALAR_SCANNERS(char)
CARRACK_SCALAR_SCANNERS(unsigned char)
CARRACK_SCALAR_SCANNERS(char16_t)
CARRACK_SCALAR_SCANNERS(char32_t)

#undef CARRACK_SCALAR_SCANNERS

}  // namespace carrack::testing::scalar_scan
