// The resumable walk. Every case below mirrors nodes of json_parser's grammar;
// the tests and fuzzers hold it byte-identical to walking those nodes.
#include "carrack/engine/walker.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "carrack/engine/scan.hpp"

namespace carrack {

namespace {

constexpr std::string_view words[] = {"null", "true", "false"};

[[noreturn]] void raise(Walker::Failure failure) {
    if (failure == Walker::Failure::out_of_memory) throw std::bad_alloc();
    if (failure == Walker::Failure::too_deep) {
        throw nesting_too_deep("JSON nesting is too deep: more than " + std::to_string(max_nesting_depth) +
                               " levels of arrays and objects");
    }
    throw text_rejected(rejection_message);
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

// A piece of text and the position in it. The piece is a sequence of bytes;
// for code points, tail counts the bytes of the character before pos that are
// still to be read. Every character is passed whole within its piece, so tail
// is zero again whenever the piece runs out. The walk keeps its cursor in a
// local, so that the position lives in a register rather than in memory that
// every byte stored elsewhere might alias.
template <typename Unit>
struct Cursor {
    static constexpr bool utf8 = scan::is_utf8<Unit>;

    const Unit* const in;
    const size_t end;
    size_t pos = 0;
    unsigned tail = 0;
    bool short_runs = true;
    bool short_keys = true;

    bool more() const {
        if constexpr (utf8) return pos < end;
        else return tail != 0 || pos < end;
    }
    // The byte at the position, when more(); any byte from 0x80 reads as 0x80.
    char peek() const {
        if constexpr (utf8) {
            return in[pos];
        } else {
            if (tail != 0 || in[pos] >= 0x80) return '\x80';
            return static_cast<char>(in[pos]);
        }
    }
    // Passes over a byte just seen to be ASCII.
    void step() { ++pos; }
    // Passes over any byte.
    void advance() {
        if constexpr (utf8) {
            ++pos;
        } else if (tail != 0) {
            --tail;
        } else {
            tail = scan::utf8_length(in[pos++]) - 1;
        }
    }
    // The common cases, no whitespace or a single byte of it, stay inline. A
    // pending byte of a character is never whitespace or a digit.
    void whitespace() {
        if constexpr (!utf8) {
            if (tail != 0) return;
        }
        if (pos < end && scan::is_whitespace(in[pos])) {
            ++pos;
            if (pos < end && scan::is_whitespace(in[pos])) {
                // Runs of indentation are alike within a document: a loop whose
                // exit the processor predicts wins on short ones, a vector
                // compare on long ones. The last run decides.
                const size_t start = pos;
                pos = scan::skip_whitespace(in, pos + 1, end, short_runs);
                short_runs = pos - start < 8;
            }
        }
    }
    void digits() {
        if (more() && scan::is_digit(peek())) pos = scan::skip_digits(in, pos + 1, end);
    }
};

// "e" or "E", given a byte at hand.
inline bool exponent_mark(char c) { return (c | 0x20) == 'e'; }

// Walks one piece from the state where the last piece left it.
template <typename Unit>
class Run {
public:
    Run(Walker& w, const Unit* in, size_t size) : w_(w), in_(in), end_(size) {}

    void walk();

private:
    static constexpr bool utf8 = scan::is_utf8<Unit>;

    // Opening one more array or object. The stack is on the heap, so the limit
    // only bounds memory; it does not depend on the calling thread's stack.
    void open(char closer) {
        if (w_.open_.size() >= max_nesting_depth) w_.fail(Walker::Failure::too_deep);
        w_.open_.push_back(closer);
    }
    // Closes the innermost array or object; returns the closer of the one
    // around it, or 0 at the root.
    char close() {
        w_.open_.pop_back();
        return w_.open_.empty() ? 0 : w_.open_.back();
    }

    Walker& w_;
    const Unit* const in_;
    const size_t end_;
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
    Cursor<Unit> c{in_, end_};
    char top = w_.open_.empty() ? 0 : w_.open_.back();  // the innermost closer, 0 at the root

#define CARRACK_SUSPEND_UNLESS_MORE(at_point) \
    if (!c.more()) {                          \
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
    c.whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::value);
begin_value:
    switch (c.peek()) {
        case '"':
            c.step();
            in_key = false;
            goto string;
        case '-':
            c.step();
            goto number_sign;
        case '0':
            c.step();
            goto number_zero;
        case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
            c.step();
            goto number_integer;
        case '{':
            c.step();
            open('}');
            top = '}';
            goto object_first;
        case '[':
            c.step();
            open(']');
            top = ']';
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
    c.whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::array_first);
    if (starts_value(c.peek())) goto begin_value;
    c.advance();
    top = close();
    goto after_value;

object_first:  // a key, or the closer taking any other byte
    c.whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::object_first);
    if (c.peek() == '"') {
        c.step();
        in_key = true;
        goto string;
    }
    c.advance();
    top = close();
    goto after_value;

key_start:  // the key's opening quote takes any byte
    c.whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::key_start);
    c.advance();
    in_key = true;
    goto string;

string:
    if constexpr (!utf8) c.tail = 0;  // the rest of a character are ordinary string bytes
    // Keys come from a schema, repeating: where they are short the processor
    // learns where each ends, and a loop beats a vector compare. Other strings
    // go sixteen units at a time.
    if (in_key && c.short_keys) {
        const size_t start = c.pos;
        c.pos = scan::find_quote_or_backslash_short(c.in, c.pos, c.end);
        c.short_keys = c.pos - start < 8;
    } else {
        const size_t start = c.pos;
        c.pos = scan::find_quote_or_backslash(c.in, c.pos, c.end);
        if (in_key) c.short_keys = c.pos - start < 8;
    }
    if (c.pos == c.end) {
        point = P::string;
        goto suspend;
    }
    c.step();
    if (c.in[c.pos - 1] == '\\') goto escape;
    if (in_key) goto after_key;
    goto after_value;

escape:  // an escape letter takes any byte but "u"
    CARRACK_SUSPEND_UNLESS_MORE(P::escape);
    if (c.peek() != 'u') {
        c.advance();
        goto string;
    }
    c.step();
    hex_due = 4;
unicode:  // each hex digit takes any byte
    for (; hex_due != 0; --hex_due) {
        CARRACK_SUSPEND_UNLESS_MORE(P::unicode);
        c.advance();
    }
    goto string;

literal: {
    const auto length = static_cast<unsigned>(words[static_cast<int>(word)].size());
    if constexpr (utf8) {
        const size_t present = std::min<size_t>(length - letters_seen, c.end - c.pos);
        c.pos += present;
        letters_seen += static_cast<unsigned>(present);
    } else {
        for (; letters_seen < length && c.more(); ++letters_seen) c.advance();
    }
    if (letters_seen < length) {
        point = P::literal;
        goto suspend;
    }
    goto after_value;
}

number_sign:  // the integer part: "0" takes any byte but 1-9
    CARRACK_SUSPEND_UNLESS_MORE(P::number_sign);
    if (const char digit = c.peek(); digit >= '1' && digit <= '9') {
        c.step();
        goto number_integer;
    }
    c.advance();
    goto number_zero;

number_integer:
    c.digits();
    CARRACK_SUSPEND_UNLESS_MORE(P::number_integer);
    goto integer_done;
number_zero:
    CARRACK_SUSPEND_UNLESS_MORE(P::number_zero);
integer_done:
    if (c.peek() == '.') {
        c.step();
        goto number_point;
    }
    if (exponent_mark(c.peek())) {
        c.step();
        goto number_exponent;
    }
    goto after_value;

number_point:  // the fraction's first digit takes any byte
    CARRACK_SUSPEND_UNLESS_MORE(P::number_point);
    c.advance();
number_fraction:
    c.digits();
    CARRACK_SUSPEND_UNLESS_MORE(P::number_fraction);
    if (exponent_mark(c.peek())) {
        c.step();
        goto number_exponent;
    }
    goto after_value;

number_exponent:
    CARRACK_SUSPEND_UNLESS_MORE(P::number_exponent);
    if (c.peek() == '+' || c.peek() == '-') {
        c.step();
        goto number_exp_sign;
    }
    c.advance();
    goto number_exp_digits;

number_exp_sign:  // the exponent's first digit takes any byte
    CARRACK_SUSPEND_UNLESS_MORE(P::number_exp_sign);
    c.advance();
number_exp_digits:
    c.digits();
    CARRACK_SUSPEND_UNLESS_MORE(P::number_exp_digits);
    goto after_value;

after_key:  // the ":" takes any byte
    c.whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::after_key);
    c.advance();
    goto value;

after_value:  // "," or the closer, which takes any other byte; at the root, nothing more
    if (top == 0) goto root_end;
    c.whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::after_value);
    if (c.peek() == ',') {
        c.step();
        if (top == '}') goto key_start;
        goto value;
    }
    c.advance();
    top = close();
    goto after_value;

root_end:  // the root value has ended: a walk that stops there takes nothing after it
    if (w_.stop_at_end_) {
        w_.ended_ = true;
        w_.ended_at_ = c.pos;
        point = P::after_value;
        goto suspend;
    }
    c.whitespace();
    CARRACK_SUSPEND_UNLESS_MORE(P::after_value);
    if (w_.multiple_) goto begin_value;
    w_.point_ = P::after_value;
    w_.fail(Walker::Failure::rejected);

#undef CARRACK_SUSPEND_UNLESS_MORE

suspend:
    w_.point_ = point;
    w_.in_key_ = in_key;
    w_.hex_due_ = static_cast<std::uint8_t>(hex_due);
    w_.letters_seen_ = static_cast<std::uint8_t>(letters_seen);
    w_.literal_ = word;
}

bool Walker::end_before_non_ascii() {
    if (!stop_at_end_ || ended_ || failure_ != Failure::none || !open_.empty()) return false;
    switch (point_) {
        case Point::number_integer:
        case Point::number_zero:
        case Point::number_fraction:
        case Point::number_exp_digits:
            point_ = Point::after_value;
            ended_ = true;
            ended_at_ = 0;
            return true;
        default:
            return false;
    }
}

void Walker::fail(Failure failure) {
    failure_ = failure;
    raise(failure);
}

void Walker::check() const {
    if (failure_ != Failure::none) raise(failure_);
}

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
            if (!multiple_ || !open_.empty()) out += "null";  // a sequence may hold no value
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
