// Any bytes: carrack_cpp returns or throws one of its two documented
// exceptions; a result begins with the input unchanged and appends only ASCII;
// the same input gives the same answer twice. The code-point entry points give
// the same answer as the bytes when the input is UTF-8.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "carrack/engine/json.hpp"
#include "text.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fputs(what, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

// The result, or nullopt for a rejection; aborts on anything undocumented.
template <typename Call>
std::optional<std::string> outcome(Call call) {
    try {
        return call();
    } catch (const carrack::nesting_too_deep&) {
        return std::string("\x01too deep");  // cannot be a result: results keep the input
    } catch (const std::runtime_error& e) {
        if (std::strcmp(e.what(), "Given prefix is not from a valid JSON string!") != 0) fail("unexpected message");
        return std::nullopt;
    } catch (...) {
        fail("undocumented exception");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto first = outcome([&] { return carrack::carrack_cpp(input); });
    const auto second = outcome([&] { return carrack::carrack_cpp(input); });
    if (first != second) fail("two calls differ");
    const auto suffix = outcome([&] { return input + carrack::carrack_suffix_utf8(input); });
    if (suffix != first) fail("carrack_suffix_utf8 differs from carrack_cpp");
    if (first && first->rfind("\x01", 0) != 0) {
        if (first->compare(0, input.size(), input) != 0) fail("result does not begin with the input");
        for (size_t i = input.size(); i < first->size(); ++i) {
            if (static_cast<unsigned char>((*first)[i]) >= 0x80) fail("appended a non-ASCII byte");
        }
    }

    if (const auto text = carrack::testing::from_utf8(input)) {
        const auto as_bytes = outcome([&] { return carrack::carrack_suffix_utf8(input); });
        if (outcome([&] { return carrack::carrack_suffix_ucs4(std::u32string_view(*text)); }) != as_bytes) fail("UCS-4 differs");
        bool bmp = true, latin1 = true;
        for (const char32_t c : *text) {
            bmp = bmp && c <= 0xFFFF;
            latin1 = latin1 && c <= 0xFF;
        }
        if (bmp) {
            const std::u16string ucs2(text->begin(), text->end());
            if (outcome([&] { return carrack::carrack_suffix_ucs2(std::u16string_view(ucs2)); }) != as_bytes) fail("UCS-2 differs");
        }
        if (latin1) {
            const std::vector<unsigned char> narrow(text->begin(), text->end());
            if (outcome([&] { return carrack::carrack_suffix_latin1(std::span<const unsigned char>(narrow)); }) != as_bytes) {
                fail("Latin-1 differs");
            }
        }
    }
    return 0;
}
