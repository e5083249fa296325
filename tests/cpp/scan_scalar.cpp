// The scanners built as the plain loop, whatever the target offers, so that
// the tests can hold the vector scanners to them in one program.
#define CARRACK_SCAN_SCALAR 1
#include "scan_scalar.hpp"

#include "carrack/engine/scan.hpp"

namespace carrack::testing::scalar_scan {

static_assert(std::string_view(scan::kind) == "scalar");

#define CARRACK_SCALAR_SCANNERS(Unit)                                                                       \
    size_t find_quote_or_backslash(const Unit* in, size_t pos, size_t end) {                                \
        return scan::find_quote_or_backslash(in, pos, end);                                                 \
    }                                                                                                       \
    size_t find_quote_or_backslash_short(const Unit* in, size_t pos, size_t end) {                          \
        return scan::find_quote_or_backslash_short(in, pos, end);                                           \
    }                                                                                                       \
    size_t find_string_stop(const Unit* in, size_t pos, size_t end) {                                       \
        return scan::find_string_stop(in, pos, end);                                                        \
    }                                                                                                       \
    size_t skip_digits(const Unit* in, size_t pos, size_t end) { return scan::skip_digits(in, pos, end); } \
    size_t skip_whitespace(const Unit* in, size_t pos, size_t end, bool short_runs) {                       \
        return scan::skip_whitespace(in, pos, end, short_runs);                                             \
    }

CARRACK_SCALAR_SCANNERS(char)
CARRACK_SCALAR_SCANNERS(unsigned char)
CARRACK_SCALAR_SCANNERS(char16_t)
CARRACK_SCALAR_SCANNERS(char32_t)

#undef CARRACK_SCALAR_SCANNERS

}  // namespace carrack::testing::scalar_scan
