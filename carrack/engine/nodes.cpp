// The grammar node kinds, walked by native recursion as their rules say.
#include "carrack/engine/nodes.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <intrin.h>
#include <windows.h>
#elif defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace carrack {

// ---------------------------------------------------------------------------
// Stack guard for the recursive walk
// ---------------------------------------------------------------------------

namespace {

#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__aarch64__))
// glibc 2.32 and 2.34 gave these two new default versions when they moved into
// libc. The original versions, which every glibc has, are the same functions:
// binding to them keeps the module from demanding a newer glibc for a guard
// that the module's own path never runs.
#if defined(__x86_64__)
#define CARRACK_GLIBC_BASE "GLIBC_2.2.5"
#else
#define CARRACK_GLIBC_BASE "GLIBC_2.17"
#endif
__asm__(".symver pthread_getattr_np,pthread_getattr_np@" CARRACK_GLIBC_BASE);
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@" CARRACK_GLIBC_BASE);
#undef CARRACK_GLIBC_BASE
#endif

// Room kept free below the deepest checked frame: what the walk needs between
// two checks plus what a growing string's allocator needs, with sanitizers on.
constexpr std::uintptr_t stack_reserve = 64 * 1024;

std::uintptr_t frame_address() {
#if defined(_MSC_VER) && !defined(__clang__)
    return reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress());
#else
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

// Lowest address of the calling thread's stack, or 0 where it cannot be known.
std::uintptr_t stack_low() {
#if defined(_WIN32)
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    return low;
#elif defined(__APPLE__)
    const pthread_t self = pthread_self();
    return reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self)) - pthread_get_stacksize_np(self);
#elif defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
    pthread_attr_destroy(&attr);
    return known ? reinterpret_cast<std::uintptr_t>(low) : 0;
#else
    return 0;
#endif
}

// Lowest frame address the walk may reach on this thread. The thread's stack
// bounds are read once per thread; a fixed depth limit would still overflow a
// small stack, and the walk's frames differ in size between builds.
std::uintptr_t stack_floor() {
    thread_local const std::uintptr_t floor = [] {
        const std::uintptr_t low = stack_low();
        if (low != 0) return low + stack_reserve;
        // Unknown bounds: assume only the reserve below the current frame.
        const std::uintptr_t here = frame_address();
        return here > stack_reserve ? here - stack_reserve : 0;
    }();
    return floor;
}

void check_stack() {
    if (frame_address() < stack_floor()) {
        throw nesting_too_deep("JSON nesting is too deep: the walk would exhaust the thread's stack");
    }
}

bool occurs(const std::string& bytes, char c) { return bytes.find(c) != std::string::npos; }

}  // namespace

// ---------------------------------------------------------------------------
// Node kinds
// ---------------------------------------------------------------------------

bool Parser::must_consume() const { return true; }

Reference::Reference(Parser* child, bool must_consume) : child(child), must_consume_value(must_consume) {}
bool Reference::must_consume() const { return must_consume_value; }
bool Reference::matches(char next_char) const { return child->matches(next_char); }
void Reference::autocomplete(std::string& prefix, size_t& position) const {
    check_stack();
    child->autocomplete(prefix, position);
}

Lit::Lit(std::string literal) : literal(std::move(literal)) {
    if (this->literal.empty()) throw std::invalid_argument("Literal cannot be empty");
}
bool Lit::matches(char next_char) const { return next_char == literal.front(); }
void Lit::autocomplete(std::string& prefix, size_t& position) const {
    for (const char c : literal) {
        if (position >= prefix.size()) prefix.push_back(c);
        ++position;
    }
}

Range::Range(char start, char end) : Range(start, end, start) {}
Range::Range(char start, char end, char default_char) : start(start), end(end), default_char(default_char) {
    // Signed, as matches compares: char is unsigned on some platforms (aarch64).
    if (static_cast<signed char>(start) > static_cast<signed char>(end)) {
        throw std::invalid_argument("Range start must not exceed end");
    }
}
bool Range::matches(char next_char) const {
    const auto c = static_cast<signed char>(next_char);
    return static_cast<signed char>(start) <= c && c <= static_cast<signed char>(end);
}
void Range::autocomplete(std::string& prefix, size_t& position) const {
    if (position >= prefix.size()) prefix.push_back(default_char);
    ++position;
}

Any::Any(std::string whitelist) : whitelist(std::move(whitelist)), default_char() {
    if (this->whitelist.empty()) throw std::invalid_argument("Whitelist cannot be empty");
    default_char = this->whitelist.front();
}
Any::Any(std::string whitelist, char default_char) : whitelist(std::move(whitelist)), default_char(default_char) {
    if (this->whitelist.empty()) throw std::invalid_argument("Whitelist cannot be empty");
}
bool Any::matches(char next_char) const { return occurs(whitelist, next_char); }
void Any::autocomplete(std::string& prefix, size_t& position) const {
    if (position >= prefix.size()) prefix.push_back(default_char);
    ++position;
}

Except::Except(std::string blacklist) : blacklist(std::move(blacklist)) {
    if (this->blacklist.empty()) throw std::invalid_argument("Blacklist cannot be empty");
}
bool Except::matches(char next_char) const { return !occurs(blacklist, next_char); }
void Except::autocomplete(std::string& prefix, size_t& position) const {
    if (position < prefix.size()) ++position;
}

Opt::Opt(Parser* child) : child(child) {}
bool Opt::must_consume() const { return false; }
bool Opt::matches(char next_char) const { return child->matches(next_char); }
void Opt::autocomplete(std::string& prefix, size_t& position) const {
    if (position < prefix.size() && child->matches(prefix[position])) child->autocomplete(prefix, position);
}

Rep::Rep(Parser* child) : child(child) {}
bool Rep::must_consume() const { return false; }
bool Rep::matches(char) const { return true; }
void Rep::autocomplete(std::string& prefix, size_t& position) const {
    while (position < prefix.size() && child->matches(prefix[position])) child->autocomplete(prefix, position);
}

Or::Or(std::vector<Parser*> children) : children(std::move(children)) {
    if (this->children.empty()) throw std::invalid_argument("Or must have at least one child");
}
bool Or::must_consume() const {
    return std::all_of(children.begin(), children.end(), [](const Parser* c) { return c->must_consume(); });
}
bool Or::matches(char next_char) const {
    return std::any_of(children.begin(), children.end(), [=](const Parser* c) { return c->matches(next_char); });
}
void Or::autocomplete(std::string& prefix, size_t& position) const {
    Parser* chosen = children.front();
    if (position < prefix.size()) {
        const char c = prefix[position];
        const auto it = std::find_if(children.begin(), children.end(), [=](const Parser* p) { return p->matches(c); });
        if (it != children.end()) chosen = *it;
    }
    chosen->autocomplete(prefix, position);
}

Seq::Seq(std::vector<Parser*> children) : children(std::move(children)) {
    if (this->children.empty()) throw std::invalid_argument("Seq must have at least one child");
}
bool Seq::must_consume() const {
    return std::any_of(children.begin(), children.end(), [](const Parser* c) { return c->must_consume(); });
}
bool Seq::matches(char next_char) const {
    for (const Parser* c : children) {
        if (c->matches(next_char)) return true;
        if (c->must_consume()) return false;
    }
    return false;
}
void Seq::autocomplete(std::string& prefix, size_t& position) const {
    for (const Parser* c : children) c->autocomplete(prefix, position);
}

}  // namespace carrack
