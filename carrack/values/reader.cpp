#include "carrack/values/reader.hpp"

#include <string_view>
#include <system_error>

#include "fast_float/fast_float.h"

#include "carrack/engine/scan.hpp"

namespace carrack::values {

using python::check;
using python::python_error;
using python::take_exception;
using scan::is_digit;
using scan::is_whitespace;

namespace {

int hex_value(Py_UCS4 c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// The words json.loads knows; NaN and Infinity are its own, not JSON's.
enum Word : std::uint8_t { null, true_, false_, nan, infinity };
constexpr std::string_view words[] = {"null", "true", "false", "NaN", "Infinity"};

// The message of the exception pending, which is then cleared.
Ref take_message() {
    Ref exception = take_exception();
    if (!exception) return Ref(check(PyUnicode_FromString("")));
    return Ref(check(PyObject_Str(exception.get())));
}

}  // namespace

Reader Reader::fork(Sink* sink, Ref closed_string, bool tail_only) const {
    Reader copy(sink);
    copy.own_keys_.reset();
    copy.levels_ = levels_;
    copy.at_ = at_;
    copy.num_ = num_;
    copy.in_key_ = in_key_;
    copy.negative_ = negative_;
    copy.ended_ = ended_;
    copy.word_ = word_;
    copy.seen_ = seen_;
    copy.hex_seen_ = hex_seen_;
    copy.hex_ = hex_;
    copy.high_ = high_;
    copy.string_at_ = string_at_;
    if (closed_string) {
        copy.closed_string_ = std::move(closed_string);
    } else if (tail_only) {
        copy.tail_only_ = true;
    } else {
        copy.chars_ = chars_;
    }
    copy.keys_ = keys_;
    copy.number_ = number_;
    copy.root_ = root_;
    copy.pos_ = pos_;
    copy.nonstandard_ = nonstandard_;
    copy.error_ = error_;
    copy.error_pos_ = error_pos_;
    copy.value_error_ = value_error_;
    copy.multiple_ = multiple_;
    return copy;
}

void Reader::set_multiple() {
    sink_->open(false);
    levels_.push_back(Level{false, Ref(), 0, 0});
    multiple_ = true;
    bottom_ = 1;
}

void Reader::open(bool object) {
    if (hooks_ != nullptr) hooks_->begin(*this, object ? ReaderHooks::Kind::object : ReaderHooks::Kind::array);
    sink_->open(object);
    levels_.push_back(Level{object, Ref(), 0, pos_});
    at_ = object ? At::object_first : At::array_first;
}

void Reader::close_container() {
    Ref container = sink_->close();
    levels_.pop_back();
    insert(std::move(container), true);
}

void Reader::insert(Ref value, bool container) {
    at_ = At::after_value;
    if (recycler_ != nullptr) value = recycler_->reuse(*this, std::move(value));
    if (hooks_ != nullptr) hooks_->end(*this, value.get(), container);
    if (levels_.empty()) {
        root_ = std::move(value);
        ended_ = true;
        return;
    }
    Level& level = levels_.back();
    sink_->add(level.object ? level.key.get() : nullptr, std::move(value));
    if (!level.object) ++level.count;
}

void Reader::begin_word(std::uint8_t word) {
    begin_scalar(ReaderHooks::Kind::word);
    word_ = word;
    seen_ = 1;
    negative_ = false;
    at_ = At::word;
}

void Reader::begin_value(Py_UCS4 c) {
    switch (c) {
        case '"':
            in_key_ = false;
            chars_.clear();
            string_at_ = pos_;
            at_ = At::string;
            if (hooks_ != nullptr) hooks_->begin(*this, ReaderHooks::Kind::string);
            return;
        case '{':
            open(true);
            return;
        case '[':
            open(false);
            return;
        case '-':
            begin_scalar(ReaderHooks::Kind::number);
            number_.assign(1, '-');
            num_ = Num::sign;
            at_ = At::number;
            return;
        case '0':
            begin_scalar(ReaderHooks::Kind::number);
            number_.assign(1, '0');
            num_ = Num::zero;
            at_ = At::number;
            return;
        case 'n':
            begin_word(null);
            return;
        case 't':
            begin_word(true_);
            return;
        case 'f':
            begin_word(false_);
            return;
        case 'N':
            mark_nonstandard();
            begin_word(nan);
            return;
        case 'I':
            mark_nonstandard();
            begin_word(infinity);
            return;
        default:
            if (c >= '1' && c <= '9') {
                begin_scalar(ReaderHooks::Kind::number);
                number_.assign(1, static_cast<char>(c));
                num_ = Num::integer;
                at_ = At::number;
                return;
            }
            fail("Expecting value");
    }
}

void Reader::escape(Py_UCS4 c) {
    Py_UCS4 decoded = 0;
    switch (c) {
        case '"': case '\\': case '/': decoded = c; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u':
            hex_ = 0;
            hex_seen_ = 0;
            at_ = At::unicode;
            return;
        default:
            fail("Invalid \\escape");
            return;
    }
    flush_high();
    chars_.push(decoded);
    at_ = At::string;
}

// As json does: a high surrogate joins the low one escaped right after it;
// any other surrogate stays alone.
void Reader::unicode(Py_UCS4 c) {
    const int digit = hex_value(c);
    if (digit < 0) {
        fail("Invalid \\uXXXX escape");
        return;
    }
    hex_ = hex_ * 16 + static_cast<Py_UCS4>(digit);
    if (++hex_seen_ < 4) return;
    at_ = At::string;
    if (high_ != 0 && hex_ >= 0xDC00 && hex_ <= 0xDFFF) {
        chars_.push(0x10000 + ((high_ - 0xD800) << 10) + (hex_ - 0xDC00));
        high_ = 0;
        return;
    }
    flush_high();
    if (hex_ >= 0xD800 && hex_ <= 0xDBFF) {
        high_ = hex_;
    } else {
        chars_.push(hex_);
    }
}

void Reader::end_string() {
    if (in_key_) {
        levels_.back().key = closed_string_ ? std::move(closed_string_) : Ref(keys_->str(chars_));
        at_ = At::after_key;
        return;
    }
    if (tail_only_) {
        insert(Ref::borrow(Py_None));
        return;
    }
    insert(closed_string_ ? std::move(closed_string_) : Ref(chars_.str()));
}

void Reader::end_word() {
    switch (word_) {
        case null: insert(Ref::borrow(Py_None)); break;
        case true_: insert(Ref::borrow(Py_True)); break;
        case false_: insert(Ref::borrow(Py_False)); break;
        case nan: insert(Ref(check(PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN())))); break;
        default: {
            const double inf = std::numeric_limits<double>::infinity();
            insert(Ref(check(PyFloat_FromDouble(negative_ ? -inf : inf))));
            break;
        }
    }
}

bool Reader::number_can_end() const {
    return at_ == At::number &&
           (num_ == Num::zero || num_ == Num::integer || num_ == Num::fraction || num_ == Num::exp_digits);
}

// int() and float() of the exact text, as json converts it: integers beyond
// the interpreter's digit limit raise its ValueError.
Ref Reader::number_value() const {
    if (number_.find_first_of(".eE") != std::string::npos) {
        // Correctly rounded, as float() is: the same double for every text.
        double d = 0;
        const char* end = number_.data() + number_.size();
        const auto parsed = fast_float::from_chars(number_.data(), end, d);
        if (parsed.ec != std::errc() || parsed.ptr != end) {
            d = PyOS_string_to_double(number_.c_str(), nullptr, nullptr);
            if (d == -1.0 && PyErr_Occurred()) throw python_error{};
        }
        return Ref(check(PyFloat_FromDouble(d)));
    }
    if (number_.size() <= 18) {
        long long n = 0;
        for (char c : number_) {
            if (c != '-') n = n * 10 + (c - '0');
        }
        return Ref(check(PyLong_FromLongLong(number_[0] == '-' ? -n : n)));
    }
    return Ref(check(PyLong_FromString(number_.c_str(), nullptr, 10)));
}

void Reader::end_number() {
    Ref value;
    try {
        value = number_value();
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        value_error_ = take_message();
        fail("Exceeds the limit for integer string conversion");
        return;
    }
    insert(std::move(value));
}

bool Reader::number(Py_UCS4 c) {
    switch (num_) {
        case Num::sign:
            if (c == '0') {
                num_ = Num::zero;
            } else if (c >= '1' && c <= '9') {
                num_ = Num::integer;
            } else if (c == 'I') {
                mark_nonstandard();
                begin_word(infinity);
                negative_ = true;
                return true;
            } else {
                fail("Expecting value");
                return true;
            }
            break;
        case Num::zero:
        case Num::integer:
        case Num::fraction:
            if (is_digit(c) && num_ != Num::zero) break;
            if (c == '.' && num_ != Num::fraction) {
                num_ = Num::point;
            } else if (c == 'e' || c == 'E') {
                num_ = Num::exponent;
            } else {
                end_number();
                return false;
            }
            break;
        case Num::point:
            if (!is_digit(c)) {
                fail("Expecting digits after the decimal point");
                return true;
            }
            num_ = Num::fraction;
            break;
        case Num::exponent:
            if (c == '+' || c == '-') {
                num_ = Num::exp_sign;
                break;
            }
            [[fallthrough]];
        case Num::exp_sign:
            if (!is_digit(c)) {
                fail("Expecting digits in the exponent");
                return true;
            }
            num_ = Num::exp_digits;
            break;
        case Num::exp_digits:
            if (!is_digit(c)) {
                end_number();
                return false;
            }
            break;
    }
    number_.push_back(static_cast<char>(c));
    return true;
}

// A number that lies whole in this piece, followed by a character that ends
// it, is read in one go and converted from the piece itself; anything else
// (a number cut by the piece's end, or not JSON) is left to number(), which
// reads it a character at a time. i moves past the number when it is read.
template <typename Unit>
bool Reader::whole_number(const Unit* in, size_t& i, size_t size) {
    size_t j = i + (in[i] == '-' ? 1 : 0);
    if (j >= size) return false;
    if (in[j] == '0') {
        ++j;
    } else if (in[j] >= '1' && in[j] <= '9') {
        j = scan::skip_digits(in, j + 1, size);
    } else {
        return false;
    }
    bool fraction = false;
    if (j < size && in[j] == '.') {
        const size_t digits = scan::skip_digits(in, j + 1, size);
        if (digits == j + 1) return false;
        j = digits;
        fraction = true;
    }
    if (j < size && (in[j] == 'e' || in[j] == 'E')) {
        size_t at = j + 1;
        if (at < size && (in[at] == '+' || in[at] == '-')) ++at;
        const size_t digits = scan::skip_digits(in, at, size);
        if (digits == at) return false;
        j = digits;
        fraction = true;
    }
    if (j >= size) return false;
    const size_t length = j - i;
    begin_scalar(ReaderHooks::Kind::number);
    Ref value;
    // Digits are ASCII at every width: wide text is narrowed into a buffer.
    const char* text = nullptr;
    char narrowed[96];
    if constexpr (sizeof(Unit) == 1) {
        text = reinterpret_cast<const char*>(in + i);
    } else if (length <= sizeof narrowed) {
        for (size_t k = 0; k < length; ++k) narrowed[k] = static_cast<char>(in[i + k]);
        text = narrowed;
    }
    if (text != nullptr) {
        if (fraction) {
            double d = 0;
            const auto parsed = fast_float::from_chars(text, text + length, d);
            if (parsed.ec == std::errc() && parsed.ptr == text + length) value = Ref(check(PyFloat_FromDouble(d)));
        } else if (length <= 18) {
            long long n = 0;
            for (size_t k = (text[0] == '-' ? 1 : 0); k < length; ++k) n = n * 10 + (text[k] - '0');
            value = Ref(check(PyLong_FromLongLong(text[0] == '-' ? -n : n)));
        }
    }
    if (!value) {
        // Wide text, long integers, and what fast_float leaves: as number() would.
        number_.clear();
        for (size_t k = i; k < j; ++k) number_.push_back(static_cast<char>(in[k]));
        num_ = fraction ? Num::fraction : Num::integer;
        at_ = At::number;
        pos_ += length;
        i = j;
        end_number();
        return true;
    }
    pos_ += length;
    i = j;
    insert(std::move(value));
    return true;
}

template <typename Unit>
void Reader::feed(const Unit* in, size_t size) {
    if (scalar_begins_) {  // raw text is wanted
        piece_ = in;
        piece_kind_ = static_cast<int>(sizeof(Unit));
        piece_start_ = pos_;
    }
    read(in, size);
    if (multiple_ && size > 0) last_unit_ = in[size - 1];
    if (hooks_ != nullptr) hooks_->flush(*this);
}

template <typename Unit>
void Reader::skip_whitespace(const Unit* in, size_t& i, size_t size) {
    const size_t end = scan::skip_whitespace(in, i + 1, size, true);
    pos_ += end - i;
    i = end;
}

template <typename Unit>
void Reader::read(const Unit* in, size_t size) {
    size_t i = 0;
    while (i < size) {
        const Py_UCS4 c = in[i];
        switch (at_) {
            case At::failed:
                return;
            case At::value:
                if (is_whitespace(c)) {
                    skip_whitespace(in, i, size);
                    continue;
                }
                if ((c == '-' || is_digit(c)) && whole_number(in, i, size)) continue;
                begin_value(c);
                break;
            case At::array_first:
                if (is_whitespace(c)) {
                    skip_whitespace(in, i, size);
                    continue;
                }
                if (c == ']') {
                    close_container();
                } else if ((c == '-' || is_digit(c)) && whole_number(in, i, size)) {
                    continue;
                } else {
                    begin_value(c);
                }
                break;
            case At::object_first:
                if (c == '}') {
                    close_container();
                    break;
                }
                [[fallthrough]];
            case At::key:
                if (is_whitespace(c)) {
                    skip_whitespace(in, i, size);
                    continue;
                }
                if (c == '"') {
                    in_key_ = true;
                    chars_.clear();
                    string_at_ = pos_;
                    at_ = At::string;
                } else {
                    fail("Expecting property name enclosed in double quotes");
                }
                break;
            case At::string: {
                const size_t end = scan::find_quote_or_backslash(in, i, size);
                if (end < size && in[end] == '"' && chars_.size() == 0 && high_ == 0 && !in_key_ && !closed_string_ && !tail_only_ &&
                    hooks_ == nullptr) {
                    // A value string whole in this piece, with no escape: its
                    // str is made from the piece, with no copy kept here.
                    Ref value(check(PyUnicode_FromKindAndData(static_cast<int>(sizeof(Unit)), in + i,
                                                              static_cast<Py_ssize_t>(end - i))));
                    pos_ += end - i + 1;
                    i = end + 1;
                    insert(std::move(value));
                    continue;
                }
                if (end > i) {
                    flush_high();
                    chars_.append(in + i, end - i);
                    pos_ += end - i;
                    i = end;
                    continue;
                }
                if (c == '"') {
                    flush_high();
                    end_string();
                } else {
                    at_ = At::escape;
                }
                break;
            }
            case At::escape:
                escape(c);
                break;
            case At::unicode:
                unicode(c);
                break;
            case At::word:
                if (c != static_cast<Py_UCS4>(words[word_][seen_])) {
                    fail("Expecting value");
                } else if (++seen_ == words[word_].size()) {
                    end_word();
                }
                break;
            case At::number:
                if (num_ == Num::integer || num_ == Num::fraction || num_ == Num::exp_digits) {
                    const size_t end = scan::skip_digits(in, i, size);
                    if (end > i) {
                        for (size_t k = i; k < end; ++k) number_.push_back(static_cast<char>(in[k]));
                        pos_ += end - i;
                        i = end;
                        continue;
                    }
                }
                if (!number(c)) continue;  // the character after the number is read afresh
                break;
            case At::after_key:
                if (is_whitespace(c)) {
                    skip_whitespace(in, i, size);
                    continue;
                }
                if (c == ':') {
                    at_ = At::value;
                } else {
                    fail("Expecting ':' delimiter");
                }
                break;
            case At::after_value:
                if (is_whitespace(c)) {
                    skip_whitespace(in, i, size);
                    continue;
                }
                if (levels_.size() <= bottom_) {
                    // The next value of the sequence. One after a number or a
                    // word, which end in a letter or a digit, needs whitespace
                    // between them, as it would to be told apart from them.
                    const Py_UCS4 before = i > 0 ? static_cast<Py_UCS4>(in[i - 1]) : last_unit_;
                    if (!multiple_ || !(is_whitespace(before) || before == '"' || before == '}' || before == ']')) {
                        fail("Extra data");
                        break;
                    }
                    at_ = At::value;
                    continue;
                }
                if (c == ',') {
                    at_ = levels_.back().object ? At::key : At::value;
                } else if (c == (levels_.back().object ? '}' : ']')) {
                    close_container();
                } else {
                    fail(levels_.back().object ? "Expecting ',' delimiter or '}'" : "Expecting ',' delimiter or ']'");
                }
                break;
        }
        if (at_ == At::failed) return;
        ++i;
        ++pos_;
    }
}

void Reader::finish() {
    if (number_can_end()) end_number();
}

template void Reader::feed(const Py_UCS1*, size_t);
template void Reader::feed(const Py_UCS2*, size_t);
template void Reader::feed(const Py_UCS4*, size_t);

}  // namespace carrack::values
