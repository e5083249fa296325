// The grammar nodes, the JSON grammar and the completion entry point.
#include "carrack/json.hpp"

#include <pthread.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

namespace carrack {

// ---------------------------------------------------------------------------
// Stack guard for the recursive walk
// ---------------------------------------------------------------------------

namespace {

// Room kept free below the deepest checked frame: what the walk needs between
// two checks plus what a growing string's allocator needs, with sanitizers on.
constexpr std::uintptr_t stack_reserve = 64 * 1024;

// Lowest frame address the walk may reach on this thread. The thread's stack
// bounds are read once per thread; a fixed depth limit would still overflow a
// small stack, and the walk's frames differ in size between builds.
std::uintptr_t stack_floor() {
    thread_local std::uintptr_t floor = [] {
        pthread_attr_t attr;
        void* low = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &low, &size);
            pthread_attr_destroy(&attr);
        }
        // Unknown bounds: assume only the reserve below the current frame.
        const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        if (low == nullptr || size <= stack_reserve) return here > stack_reserve ? here - stack_reserve : 0;
        return reinterpret_cast<std::uintptr_t>(low) + stack_reserve;
    }();
    return floor;
}

void check_stack() {
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor()) {
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
    if (start > end) throw std::invalid_argument("Range start must not exceed end");
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

// ---------------------------------------------------------------------------
// The JSON grammar (RFC 8259, with raw control bytes allowed in strings)
// ---------------------------------------------------------------------------

Parser* create_json_parser() {
    auto* SingleDigit = new Range('0', '9');
    auto* OptionalDigits = new Rep(SingleDigit);
    auto* Quote = new Lit("\"");
    auto* WS = new Rep(new Any(" \n\r\t"));
    auto* Digits = new Seq({SingleDigit, OptionalDigits});

    auto* Number = new Seq({
        new Opt(new Lit("-")),
        new Or({new Lit("0"), new Seq({new Range('1', '9'), OptionalDigits})}),
        new Opt(new Seq({new Lit("."), Digits})),
        new Opt(new Seq({
            new Or({new Lit("e"), new Lit("E")}),
            new Opt(new Or({new Lit("+"), new Lit("-")})),
            Digits,
        })),
    });

    auto* HexDigit = new Or({SingleDigit, new Range('a', 'f'), new Range('A', 'F')});
    auto* Unicode = new Seq({new Lit("u"), HexDigit, HexDigit, HexDigit, HexDigit});
    auto* String = new Seq({
        Quote,
        new Rep(new Or({
            new Except("\"\\"),
            new Seq({new Lit("\\"), new Or({new Any("\"\\/bfnrt"), Unicode})}),
        })),
        Quote,
    });

    // Forward references close the grammar's cycles.
    auto* Value = new Reference(nullptr, true);
    auto* Object = new Reference(nullptr, true);
    auto* Array = new Reference(nullptr, true);
    Value->child = new Seq({
        new Or({new Lit("null"), String, Number, Object, Array, new Lit("true"), new Lit("false")}),
        WS,
    });

    auto* KeyValue = new Seq({String, WS, new Lit(":"), WS, Value});
    auto* MemberList = new Seq({KeyValue, new Rep(new Seq({new Lit(","), WS, KeyValue}))});
    Object->child = new Seq({new Lit("{"), WS, new Opt(MemberList), new Lit("}")});

    auto* ValueList = new Seq({Value, new Rep(new Seq({new Lit(","), WS, Value}))});
    Array->child = new Seq({new Lit("["), WS, new Opt(ValueList), new Lit("]")});

    auto* WSValue = new Seq({WS, Value});
    return WSValue;
}

// ---------------------------------------------------------------------------
// Entry point
// ---------------------------------------------------------------------------

Parser* const json_parser = create_json_parser();

namespace {

constexpr char rejection[] = "Given prefix is not from a valid JSON string!";

// The fast walk reads its input as UTF-8 bytes, held either as those bytes
// (char) or as code points, one per unit: Latin-1 (unsigned char), UCS-2
// (char16_t) or UCS-4 (char32_t), each standing for the 1 to 4 bytes that
// encode it. Every decision in the grammar is on an ASCII byte and every byte
// of a non-ASCII character is at least 0x80, so such a character needs no
// encoding: its bytes all read as "other", and only their count matters, where
// a leaf takes bytes unexamined.
template <typename Unit>
constexpr bool is_utf8 = std::is_same_v<Unit, char>;

template <typename Unit>
bool is_whitespace(Unit c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}
template <typename Unit>
bool is_digit(Unit c) {
    return c >= '0' && c <= '9';  // a signed char from 0x80 is negative: never a digit
}

// UTF-8 length of a code point; surrogates count 3, as they would be written.
unsigned utf8_length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Runs that need no decision are skipped 16 units at a time where SSE2 is
// there (every x86-64). Each scanner returns the first index at or after pos,
// below end, whose unit ends the run, or end. Whitespace and digit runs are
// scanned wide for single-byte units only: in wider text they are short.
#if defined(__SSE2__)
template <typename Stops>
size_t scan16(const char* in, size_t pos, size_t end, Stops stops) {
    while (pos + 16 <= end) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + pos));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops(chunk)));
        if (mask != 0) return pos + static_cast<size_t>(__builtin_ctz(mask));
        pos += 16;
    }
    return pos;
}
#endif

#if defined(__SSE2__)
// Sixteen units narrowed to sixteen bytes with saturation: a unit keeps its
// value if it is below 0x100 and becomes 0x00 or 0xFF otherwise, so an ASCII
// byte in the result stands for exactly that ASCII unit.
template <typename Unit>
__m128i narrow16(const Unit* in) {
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

// A string body ends at a double quote or a backslash.
template <typename Unit>
size_t find_quote_or_backslash(const Unit* in, size_t pos, size_t end) {
#if defined(__SSE2__)
    // Strings are where long runs are, so every unit size goes sixteen at a time.
    while (pos + 16 <= end) {
        const __m128i c = narrow16(in + pos);
        const __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('"')), _mm_cmpeq_epi8(c, _mm_set1_epi8('\\')));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops));
        if (mask != 0) return pos + static_cast<size_t>(__builtin_ctz(mask));
        pos += 16;
    }
#endif
    while (pos < end && in[pos] != '"' && in[pos] != '\\') ++pos;
    return pos;
}

template <typename Unit>
size_t skip_digits(const Unit* in, size_t pos, size_t end) {
#if defined(__SSE2__)
    if constexpr (sizeof(Unit) == 1) {
        if (pos + 1 < end && is_digit(in[pos]) && is_digit(in[pos + 1])) {
            // Signed comparison: bytes from 0x80 are negative, so never digits.
            pos = scan16(reinterpret_cast<const char*>(in), pos, end, [](__m128i c) {
                const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)),
                                                    _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
                return _mm_xor_si128(digit, _mm_set1_epi8(-1));
            });
        }
    }
#endif
    while (pos < end && is_digit(in[pos])) ++pos;
    return pos;
}

template <typename Unit>
size_t skip_whitespace(const Unit* in, size_t pos, size_t end) {
#if defined(__SSE2__)
    // Most runs are empty or one byte: only longer ones (indentation) go wide.
    if constexpr (sizeof(Unit) == 1) {
        if (pos + 1 < end && is_whitespace(in[pos]) && is_whitespace(in[pos + 1])) {
            pos = scan16(reinterpret_cast<const char*>(in), pos, end, [](__m128i c) {
                const auto is = [c](char w) { return _mm_cmpeq_epi8(c, _mm_set1_epi8(w)); };
                const __m128i ws = _mm_or_si128(_mm_or_si128(is(' '), is('\n')), _mm_or_si128(is('\r'), is('\t')));
                return _mm_xor_si128(ws, _mm_set1_epi8(-1));
            });
        }
    }
#endif
    while (pos < end && is_whitespace(in[pos])) ++pos;
    return pos;
}

// Completes JSON by the same rules as walking json_parser, without recursion:
// the open arrays and objects are an explicit stack, and runs of bytes that
// need no decision (string bodies, whitespace, digits) are tight loops. Every
// path mirrors one node of the grammar; the tests hold it byte-identical to
// the node walk. Once the input is used up, every pending node appends its
// default.
template <typename Unit>
class Completion {
public:
    // Reads input; appends the completion to out, which may be the string that
    // holds input: input is never read once anything has been appended.
    Completion(const Unit* input, size_t size, std::string& out) : out_(out), in_(input), end_(size) {}

    // Returns whether every byte of the input was consumed.
    bool run() {
        whitespace();
        for (;;) {
            if (value_opens_container()) continue;
            // The value is complete; climb out of the containers it closes.
            for (;;) {
                whitespace();
                if (open_.empty()) return !more();
                if (at(',')) {
                    step();
                    whitespace();
                    if (open_.back() == '}') member_key();
                    break;
                }
                one(open_.back());
                open_.pop_back();
            }
        }
    }

private:
    static bool starts_value(char c) {
        switch (c) {
            case 'n': case '"': case '-': case '{': case '[': case 't': case 'f':
                return true;
            default:
                return is_digit(c);
        }
    }

    // The input is a sequence of bytes; for code points, tail_ counts the bytes
    // of the character before pos_ that are still to be read.
    bool more() const {
        if constexpr (is_utf8<Unit>) return pos_ < end_;
        else return tail_ != 0 || pos_ < end_;
    }
    // The byte at the position, when more(); any byte from 0x80 reads as 0x80.
    char peek() const {
        if constexpr (is_utf8<Unit>) {
            return in_[pos_];
        } else {
            if (tail_ != 0 || in_[pos_] >= 0x80) return '\x80';
            return static_cast<char>(in_[pos_]);
        }
    }
    // Whether the next byte is the ASCII byte c.
    bool at(char c) const {
        if constexpr (is_utf8<Unit>) return pos_ < end_ && in_[pos_] == c;
        else return tail_ == 0 && pos_ < end_ && in_[pos_] == static_cast<Unit>(c);
    }
    // Passes over a byte just seen to be ASCII.
    void step() { ++pos_; }
    // Passes over any byte.
    void advance() {
        if constexpr (is_utf8<Unit>) {
            ++pos_;
        } else if (tail_ != 0) {
            --tail_;
        } else {
            tail_ = utf8_length(in_[pos_++]) - 1;
        }
    }

    // A one-byte leaf (Range, Any, one-byte Lit): passes over the byte unexamined,
    // or appends its default at the end.
    void one(char fallback) {
        if (more()) advance();
        else out_.push_back(fallback);
    }

    // A Lit: passes over the bytes present, appends the rest.
    void literal(std::string_view word) {
        size_t present = 0;
        if constexpr (is_utf8<Unit>) {
            present = std::min(word.size(), end_ - pos_);
            pos_ += present;
        } else {
            for (; present < word.size() && more(); ++present) advance();
        }
        if (present < word.size()) out_.append(word.substr(present));
    }

    // The common cases, no whitespace or a single digit, stay inline. A pending
    // byte of a character is never whitespace or a digit.
    void whitespace() {
        if constexpr (!is_utf8<Unit>) {
            if (tail_ != 0) return;
        }
        if (pos_ < end_ && in_[pos_] <= ' ' && is_whitespace(in_[pos_])) pos_ = skip_whitespace(in_, pos_ + 1, end_);
    }
    void digits() {
        if (more() && is_digit(peek())) pos_ = skip_digits(in_, pos_ + 1, end_);
    }

    // Reads one value. When it opens an array or object whose first element or
    // member follows, pushes it and returns true: the caller reads that value.
    bool value_opens_container() {
        if (!more()) {
            out_.append("null");
            return false;
        }
        switch (peek()) {
            case '"':
                string();
                return false;
            case '-': case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                number();
                return false;
            case '{':
                enter();
                step();
                whitespace();
                if (at('"')) {
                    open_.push_back('}');
                    member_key();
                    return true;
                }
                one('}');
                return false;
            case '[':
                enter();
                step();
                whitespace();
                if (more() && starts_value(peek())) {
                    open_.push_back(']');
                    return true;
                }
                one(']');
                return false;
            case 't':
                literal("true");
                return false;
            case 'f':
                literal("false");
                return false;
            default:  // "null" is the first alternative: it takes any other byte
                literal("null");
                return false;
        }
    }

    // Opening one more array or object. The stack is on the heap, so the limit
    // only bounds memory; it does not depend on the calling thread's stack.
    void enter() const {
        if (open_.size() >= max_nesting_depth) {
            throw nesting_too_deep("JSON nesting is too deep: more than " + std::to_string(max_nesting_depth) +
                                   " levels of arrays and objects");
        }
    }

    // A member up to its value: key, whitespace, colon, whitespace.
    void member_key() {
        string();
        whitespace();
        one(':');
        whitespace();
    }

    void number() {
        if (at('-')) step();
        if (!more()) {
            out_.push_back('0');
            return;
        }
        // "0", or a nonzero digit and its run; "0" takes any other byte
        const char first = peek();
        advance();
        if (first != '0' && is_digit(first)) digits();
        if (at('.')) {
            step();
            one('0');
            digits();
        }
        if (at('e') || at('E')) {
            step();
            if (at('+') || at('-')) step();
            one('0');
            digits();
        }
    }

    void string() {
        one('"');
        for (;;) {
            tail_ = 0;  // the rest of a character are ordinary string bytes
            pos_ = find_quote_or_backslash(in_, pos_, end_);
            if (pos_ == end_ || in_[pos_] == '"') break;
            step();
            escape();
        }
        one('"');
    }

    // After a backslash: an escape letter (taking any byte but "u"), or "u"
    // and four hex digits, each taking any byte.
    void escape() {
        if (!more()) {
            out_.push_back('"');
            return;
        }
        const char letter = peek();
        advance();
        if (letter == 'u') {
            for (int i = 0; i < 4; ++i) one('0');
        }
    }

    std::string& out_;
    const Unit* const in_;
    const size_t end_;
    size_t pos_ = 0;
    unsigned tail_ = 0;
    // Closing bracket of every open array and object, innermost last.
    class Stack {
    public:
        bool empty() const { return top_ == 0; }
        size_t size() const { return top_; }
        char back() const { return data_[top_ - 1]; }
        void pop_back() { --top_; }
        void push_back(char closer) {
            if (top_ == capacity_) grow();
            data_[top_++] = closer;
        }

    private:
        void grow() {
            heap_.resize(capacity_ * 2);
            if (data_ == local_) std::copy(local_, local_ + top_, heap_.begin());
            data_ = heap_.data();
            capacity_ = heap_.size();
        }
        char local_[64];  // enough for nearly every document, without allocating
        char* data_ = local_;
        size_t top_ = 0;
        size_t capacity_ = sizeof local_;
        std::vector<char> heap_;
    };
    Stack open_;
};

template <typename Unit>
std::string suffix_of(const Unit* input, size_t size) {
    std::string suffix;
    if (!Completion<Unit>(input, size, suffix).run()) throw std::runtime_error(rejection);
    return suffix;
}

}  // namespace

std::string carrack_cpp(std::string prefix) {
    if (!Completion<char>(prefix.data(), prefix.size(), prefix).run()) throw std::runtime_error(rejection);
    return prefix;
}

std::string carrack_suffix(std::string_view prefix) { return suffix_of(prefix.data(), prefix.size()); }
std::string carrack_suffix(std::span<const unsigned char> latin1) { return suffix_of(latin1.data(), latin1.size()); }
std::string carrack_suffix(std::u16string_view ucs2) { return suffix_of(ucs2.data(), ucs2.size()); }
std::string carrack_suffix(std::u32string_view ucs4) { return suffix_of(ucs4.data(), ucs4.size()); }

}  // namespace carrack
