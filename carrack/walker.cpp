// The resumable walk. Every case below mirrors nodes of json_parser's grammar;
// the tests and fuzzers hold it byte-identical to walking those nodes.
#include "carrack/walker.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "carrack/scan.hpp"

namespace carrack {

namespace {

constexpr std::string_view words[] = {"null", "true", "false"};

[[noreturn]] void raise(Walker::Failure failure) {
    if (failure == Walker::Failure::out_of_memory) throw std::bad_alloc();
    if (failure == Walker::Failure::too_deep) {
        throw nesting_too_deep("JSON nesting is too deep: more than " + std::to_string(max_nesting_depth) +
                               " levels of arrays and objects");
    }
    throw std::runtime_error(rejection_message);
}

bool starts_value(char c) {
    switch (c) {
        case 'n': case '"': case '-': case '{': case '[': case 't': case 'f':
            return true;
        default:
            return scan::is_digit(c);
    }
}

}  // namespace

// One piece of text walked from the state where the last piece left it. The
// piece is a sequence of bytes; for code points, tail counts the bytes of the
// character before pos that are still to be read. Every character is passed
// whole within its piece, so tail is zero again whenever the piece runs out.
template <typename Unit>
class Run {
public:
    Run(Walker& w, const Unit* in, size_t size) : w_(w), in_(in), end_(size) {}

    void walk();

private:
    static constexpr bool utf8 = scan::is_utf8<Unit>;

    bool more() const {
        if constexpr (utf8) return pos_ < end_;
        else return tail_ != 0 || pos_ < end_;
    }
    // The byte at the position, when more(); any byte from 0x80 reads as 0x80.
    char peek() const {
        if constexpr (utf8) {
            return in_[pos_];
        } else {
            if (tail_ != 0 || in_[pos_] >= 0x80) return '\x80';
            return static_cast<char>(in_[pos_]);
        }
    }
    // Whether the next byte is the ASCII byte c.
    bool at(char c) const {
        if constexpr (utf8) return pos_ < end_ && in_[pos_] == c;
        else return tail_ == 0 && pos_ < end_ && in_[pos_] == static_cast<Unit>(c);
    }
    // Passes over a byte just seen to be ASCII.
    void step() { ++pos_; }
    // Passes over any byte.
    void advance() {
        if constexpr (utf8) {
            ++pos_;
        } else if (tail_ != 0) {
            --tail_;
        } else {
            tail_ = scan::utf8_length(in_[pos_++]) - 1;
        }
    }
    // The common cases, no whitespace or a single byte of it, stay inline. A
    // pending byte of a character is never whitespace or a digit.
    void whitespace() {
        if constexpr (!utf8) {
            if (tail_ != 0) return;
        }
        if (pos_ < end_ && scan::is_whitespace(in_[pos_])) {
            ++pos_;
            if (pos_ < end_ && scan::is_whitespace(in_[pos_])) pos_ = scan::skip_whitespace(in_, pos_ + 1, end_);
        }
    }
    void digits() {
        if (more() && scan::is_digit(peek())) pos_ = scan::skip_digits(in_, pos_ + 1, end_);
    }
    // "e" or "E", given a byte at hand.
    static bool exponent_mark(char c) { return (c | 0x20) == 'e'; }
    // Opening one more array or object. The stack is on the heap, so the limit
    // only bounds memory; it does not depend on the calling thread's stack.
    void open(char closer) {
        if (w_.open_.size() >= max_nesting_depth) w_.fail(Walker::Failure::too_deep);
        w_.open_.push_back(closer);
    }
    Walker& w_;
    const Unit* const in_;
    const size_t end_;
    size_t pos_ = 0;
    unsigned tail_ = 0;
};

template <typename Unit>
void Run<Unit>::walk() {
    using P = Walker::Point;
    // The state lives in locals while the piece is walked and goes back into
    // the walker when it runs out. Each label is one point of the walk; the
    // common transitions jump straight from one to the next.
    P point = w_.point_;
    bool in_key = w_.in_key_;
    unsigned hex_due = w_.hex_due_;
    unsigned letters_seen = w_.letters_seen_;
    Walker::Literal word = w_.literal_;

#define CARRACK_SUSPEND_UNLESS_MORE(at_point) \
    if (!more()) {                            \
        point = at_point;                     \
        goto suspend;                         \
    }

    switch (point) {
        case P::value: goto value;
        case P::array_first: goto array_first;
        case P::object_first: goto object_first;
        case P::key_start: goto key_start;
        case P::string: goto string;
        case P::escape: goto escape;
        case P::unicode: goto unicode;
        case P::literal: goto literal;
        case P::number_sign: goto number_sign;
        case P::number_integer: goto number_integer;
        case P::number_zero: goto number_zero;
        case P::number_point: goto number_point;
        case P::number_fraction: goto number_fraction;
        case P::number_exponent: goto number_exponent;
        case P::number_exp_sign: goto number_exp_sign;
        case P::number_exp_digits: goto number_exp_digits;
        case P::after_key: goto after_key;
        case P::after_value: goto after_value;
    }

value:  // whitespace, then one of seven alternatives; "null" takes any byte that starts none
    whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::value);
begin_value:
    switch (peek()) {
        case '"':
            step();
            in_key = false;
            goto string;
        case '-':
            step();
            goto number_sign;
        case '0':
            step();
            goto number_zero;
        case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
            step();
            goto number_integer;
        case '{':
            step();
            open('}');
            goto object_first;
        case '[':
            step();
            open(']');
            goto array_first;
        case 't':
            word = Walker::Literal::true_;
            break;
        case 'f':
            word = Walker::Literal::false_;
            break;
        default:
            word = Walker::Literal::null;
            break;
    }
    letters_seen = 0;
    goto literal;

array_first:  // a value, or the closer taking any byte that starts none
    whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::array_first);
    if (starts_value(peek())) goto begin_value;
    advance();
    w_.open_.pop_back();
    goto after_value;

object_first:  // a key, or the closer taking any other byte
    whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::object_first);
    if (peek() == '"') {
        step();
        in_key = true;
        goto string;
    }
    advance();
    w_.open_.pop_back();
    goto after_value;

key_start:  // the key's opening quote takes any byte
    whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::key_start);
    advance();
    in_key = true;
    goto string;

string:
    if constexpr (!utf8) tail_ = 0;  // the rest of a character are ordinary string bytes
    pos_ = scan::find_quote_or_backslash(in_, pos_, end_);
    if (pos_ == end_) {
        point = P::string;
        goto suspend;
    }
    step();
    if (in_[pos_ - 1] == '\\') goto escape;
    if (in_key) goto after_key;
    goto after_value;

escape:  // an escape letter takes any byte but "u"
    CARRACK_SUSPEND_UNLESS_MORE(P::escape);
    if (peek() != 'u') {
        advance();
        goto string;
    }
    step();
    hex_due = 4;
unicode:  // each hex digit takes any byte
    for (; hex_due != 0; --hex_due) {
        CARRACK_SUSPEND_UNLESS_MORE(P::unicode);
        advance();
    }
    goto string;

literal: {
    const auto length = static_cast<unsigned>(words[static_cast<int>(word)].size());
    if constexpr (utf8) {
        const size_t present = std::min<size_t>(length - letters_seen, end_ - pos_);
        pos_ += present;
        letters_seen += static_cast<unsigned>(present);
    } else {
        for (; letters_seen < length && more(); ++letters_seen) advance();
    }
    if (letters_seen < length) {
        point = P::literal;
        goto suspend;
    }
    goto after_value;
}

number_sign:  // the integer part: "0" takes any byte but 1-9
    CARRACK_SUSPEND_UNLESS_MORE(P::number_sign);
    if (const char c = peek(); c >= '1' && c <= '9') {
        step();
        goto number_integer;
    }
    advance();
    goto number_zero;

number_integer:
    digits();
    CARRACK_SUSPEND_UNLESS_MORE(P::number_integer);
    goto integer_done;
number_zero:
    CARRACK_SUSPEND_UNLESS_MORE(P::number_zero);
integer_done:
    if (peek() == '.') {
        step();
        goto number_point;
    }
    if (exponent_mark(peek())) {
        step();
        goto number_exponent;
    }
    goto after_value;

number_point:  // the fraction's first digit takes any byte
    CARRACK_SUSPEND_UNLESS_MORE(P::number_point);
    advance();
number_fraction:
    digits();
    CARRACK_SUSPEND_UNLESS_MORE(P::number_fraction);
    if (exponent_mark(peek())) {
        step();
        goto number_exponent;
    }
    goto after_value;

number_exponent:
    CARRACK_SUSPEND_UNLESS_MORE(P::number_exponent);
    if (peek() == '+' || peek() == '-') {
        step();
        goto number_exp_sign;
    }
    advance();
    goto number_exp_digits;

number_exp_sign:  // the exponent's first digit takes any byte
    CARRACK_SUSPEND_UNLESS_MORE(P::number_exp_sign);
    advance();
number_exp_digits:
    digits();
    CARRACK_SUSPEND_UNLESS_MORE(P::number_exp_digits);
    goto after_value;

after_key:  // the ":" takes any byte
    whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::after_key);
    advance();
    goto value;

after_value:  // "," or the closer, which takes any other byte; at the root, nothing more
    whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::after_value);
    if (w_.open_.empty()) {
        w_.point_ = P::after_value;
        w_.fail(Walker::Failure::rejected);
    }
    if (peek() == ',') {
        step();
        if (w_.open_.back() == '}') goto key_start;
        goto value;
    }
    advance();
    w_.open_.pop_back();
    goto after_value;

#undef CARRACK_SUSPEND_UNLESS_MORE

suspend:
    w_.point_ = point;
    w_.in_key_ = in_key;
    w_.hex_due_ = static_cast<std::uint8_t>(hex_due);
    w_.letters_seen_ = static_cast<std::uint8_t>(letters_seen);
    w_.literal_ = word;
}

void Walker::fail(Failure failure) {
    failure_ = failure;
    raise(failure);
}

void Walker::check() const {
    if (failure_ != Failure::none) raise(failure_);
}

namespace {

}  // namespace

template <typename Unit>
void Walker::feed(const Unit* in, size_t size) {
    check();
    try {
        Run<Unit>(*this, in, size).walk();
    } catch (const std::bad_alloc&) {  // from the stack, part way through the piece
        failure_ = Failure::out_of_memory;
        throw;
    }
}

void Walker::feed_utf8(std::string_view bytes) { feed(bytes.data(), bytes.size()); }
void Walker::feed_latin1(std::span<const unsigned char> units) { feed(units.data(), units.size()); }
void Walker::feed_ucs2(std::u16string_view units) { feed(units.data(), units.size()); }
void Walker::feed_ucs4(std::u32string_view units) { feed(units.data(), units.size()); }

void Walker::append_suffix(std::string& out) const {
    check();
    const char* const close_string = in_key_ ? "\":null" : "\"";
    switch (point_) {
        case Point::value:
            out += "null";
            break;
        case Point::key_start:
            out += "\"\":null";
            break;
        case Point::string:
            out += close_string;
            break;
        case Point::escape:  // the escape letter's default is a double quote
            out += '"';
            out += close_string;
            break;
        case Point::unicode:
            out.append(hex_due_, '0');
            out += close_string;
            break;
        case Point::literal:
            out += words[static_cast<int>(literal_)].substr(letters_seen_);
            break;
        case Point::number_sign:
        case Point::number_point:
        case Point::number_exponent:
        case Point::number_exp_sign:
            out += '0';
            break;
        case Point::after_key:
            out += ":null";
            break;
        case Point::array_first:
        case Point::object_first:
        case Point::number_integer:
        case Point::number_zero:
        case Point::number_fraction:
        case Point::number_exp_digits:
        case Point::after_value:
            break;
    }
    for (size_t level = open_.size(); level-- > 0;) out += open_[level];
}

std::string Walker::suffix() const {
    std::string out;
    append_suffix(out);
    return out;
}

}  // namespace carrack
