// The resumable walk. Every case below mirrors nodes of json_parser's grammar;
// the tests and fuzzers hold it byte-identical to walking those nodes.
#include "carrack/walker.hpp"

#include <algorithm>
#include <string>

#include "carrack/scan.hpp"

namespace carrack {

namespace {

constexpr std::string_view words[] = {"null", "true", "false"};

[[noreturn]] void raise(Walker::Failure failure) {
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
        if (pos_ < end_ && in_[pos_] <= ' ' && scan::is_whitespace(in_[pos_])) {
            pos_ = scan::skip_whitespace(in_, pos_ + 1, end_);
        }
    }
    void digits() {
        if (more() && scan::is_digit(peek())) pos_ = scan::skip_digits(in_, pos_ + 1, end_);
    }
    // Opening one more array or object. The stack is on the heap, so the limit
    // only bounds memory; it does not depend on the calling thread's stack.
    void open(char closer) {
        if (w_.open_.size() >= max_nesting_depth) w_.fail(Walker::Failure::too_deep);
        w_.open_.push_back(closer);
    }
    // Where a value begins at a byte at hand: the choice among the seven
    // alternatives, the first ("null") taking any byte that starts none.
    Walker::Point begin_value() {
        using P = Walker::Point;
        switch (peek()) {
            case '"':
                step();
                w_.in_key_ = false;
                return P::string;
            case '-':
                step();
                return P::number_sign;
            case '0':
                step();
                return P::number_zero;
            case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
                step();
                return P::number_integer;
            case '{':
                step();
                open('}');
                return P::object_first;
            case '[':
                step();
                open(']');
                return P::array_first;
            case 't':
                return begin_literal(Walker::Literal::true_);
            case 'f':
                return begin_literal(Walker::Literal::false_);
            default:
                return begin_literal(Walker::Literal::null);
        }
    }
    Walker::Point begin_literal(Walker::Literal word) {
        w_.literal_ = word;
        w_.letters_seen_ = 0;
        return Walker::Point::literal;
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
    P point = w_.point_;
    // Each case consumes what it can; when the piece runs out it stores the
    // point and returns, and the next piece resumes there.
    for (;;) {
        switch (point) {
            case P::value:
                whitespace();
                if (!more()) goto suspend;
                point = begin_value();
                break;

            case P::array_first:
                whitespace();
                if (!more()) goto suspend;
                if (starts_value(peek())) {
                    point = begin_value();
                } else {  // the closer takes the byte unexamined
                    advance();
                    w_.open_.pop_back();
                    point = P::after_value;
                }
                break;

            case P::object_first:
                whitespace();
                if (!more()) goto suspend;
                if (at('"')) {
                    step();
                    w_.in_key_ = true;
                    point = P::string;
                } else {
                    advance();
                    w_.open_.pop_back();
                    point = P::after_value;
                }
                break;

            case P::key_start:  // the key's opening quote takes any byte
                whitespace();
                if (!more()) goto suspend;
                advance();
                w_.in_key_ = true;
                point = P::string;
                break;

            case P::string:
                tail_ = 0;  // the rest of a character are ordinary string bytes
                pos_ = scan::find_quote_or_backslash(in_, pos_, end_);
                if (pos_ == end_) goto suspend;
                step();
                if (in_[pos_ - 1] == '"') {
                    point = w_.in_key_ ? P::after_key : P::after_value;
                } else {
                    point = P::escape;
                }
                break;

            case P::escape:  // an escape letter takes any byte but "u"
                if (!more()) goto suspend;
                if (at('u')) {
                    step();
                    w_.hex_due_ = 4;
                    point = P::unicode;
                } else {
                    advance();
                    point = P::string;
                }
                break;

            case P::unicode:  // each hex digit takes any byte
                for (; w_.hex_due_ != 0; --w_.hex_due_) {
                    if (!more()) goto suspend;
                    advance();
                }
                point = P::string;
                break;

            case P::literal: {
                const auto length = static_cast<unsigned>(words[static_cast<int>(w_.literal_)].size());
                if constexpr (utf8) {
                    const size_t present = std::min<size_t>(length - w_.letters_seen_, end_ - pos_);
                    pos_ += present;
                    w_.letters_seen_ = static_cast<std::uint8_t>(w_.letters_seen_ + present);
                } else {
                    for (; w_.letters_seen_ < length && more(); ++w_.letters_seen_) advance();
                }
                if (w_.letters_seen_ < length) goto suspend;
                point = P::after_value;
                break;
            }

            case P::number_sign:  // the integer part: "0" takes any byte but 1-9
                if (!more()) goto suspend;
                if (const char c = peek(); c >= '1' && c <= '9') {
                    step();
                    point = P::number_integer;
                } else {
                    advance();
                    point = P::number_zero;
                }
                break;

            case P::number_integer:
                digits();
                if (!more()) goto suspend;
                [[fallthrough]];
            case P::number_zero:
                if (!more()) {
                    point = P::number_zero;
                    goto suspend;
                }
                if (at('.')) {
                    step();
                    point = P::number_point;
                } else if (at('e') || at('E')) {
                    step();
                    point = P::number_exponent;
                } else {
                    point = P::after_value;
                }
                break;

            case P::number_point:  // the fraction's first digit takes any byte
                if (!more()) goto suspend;
                advance();
                point = P::number_fraction;
                break;

            case P::number_fraction:
                digits();
                if (!more()) goto suspend;
                if (at('e') || at('E')) {
                    step();
                    point = P::number_exponent;
                } else {
                    point = P::after_value;
                }
                break;

            case P::number_exponent:
                if (!more()) goto suspend;
                if (at('+') || at('-')) {
                    step();
                    point = P::number_exp_sign;
                } else {
                    advance();
                    point = P::number_exp_digits;
                }
                break;

            case P::number_exp_sign:
                if (!more()) goto suspend;
                advance();
                point = P::number_exp_digits;
                break;

            case P::number_exp_digits:
                digits();
                if (!more()) goto suspend;
                point = P::after_value;
                break;

            case P::after_key:  // the ":" takes any byte
                whitespace();
                if (!more()) goto suspend;
                advance();
                point = P::value;
                break;

            case P::after_value:
                whitespace();
                if (!more()) goto suspend;
                if (w_.open_.empty()) {
                    w_.point_ = point;
                    w_.fail(Walker::Failure::rejected);
                }
                if (at(',')) {
                    step();
                    point = w_.open_.back() == '}' ? P::key_start : P::value;
                } else {  // the closer takes the byte unexamined
                    advance();
                    w_.open_.pop_back();
                }
                break;
        }
    }
suspend:
    w_.point_ = point;
}

void Walker::fail(Failure failure) {
    failure_ = failure;
    raise(failure);
}

void Walker::check() const {
    if (failure_ != Failure::none) raise(failure_);
}

namespace {

template <typename Unit>
void feed(Walker& walker, const Unit* in, size_t size) {
    walker.check();
    Run<Unit>(walker, in, size).walk();
}

}  // namespace

void Walker::feed_utf8(std::string_view bytes) { feed(*this, bytes.data(), bytes.size()); }
void Walker::feed_latin1(std::span<const unsigned char> units) { feed(*this, units.data(), units.size()); }
void Walker::feed_ucs2(std::u16string_view units) { feed(*this, units.data(), units.size()); }
void Walker::feed_ucs4(std::u32string_view units) { feed(*this, units.data(), units.size()); }

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
