// The values of a streamed JSON text. The parser reads exactly the language of
// json.loads (JSON, raw control characters in strings, NaN and the two
// infinities) and converts as CPython's json does, so that a value taken here
// equals what json.loads gives for the same text.
#include "carrack/values.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "carrack/scan.hpp"
#include "carrack/walker.hpp"

namespace carrack::values {

namespace {

constexpr size_t nowhere = std::numeric_limits<size_t>::max();

PyObject* check(PyObject* result) {
    if (result == nullptr) throw python_error{};
    return result;
}

void check(int status) {
    if (status < 0) throw python_error{};
}

using scan::is_digit;
using scan::is_whitespace;

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
#if PY_VERSION_HEX >= 0x030C0000
    Ref exception(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Ref exception(value);
#endif
    if (!exception) return Ref(check(PyUnicode_FromString("")));
    return Ref(check(PyObject_Str(exception.get())));
}

}  // namespace

// ---------------------------------------------------------------------------
// Decoded characters
// ---------------------------------------------------------------------------

template <typename Unit>
void Chars::append(const Unit* units, size_t count) {
    Py_UCS4 max = 0;
    for (size_t i = 0; i < count; ++i) max = std::max<Py_UCS4>(max, units[i]);
    if (max > max_) {
        max_ = max;
        const unsigned width = max < 0x100 ? 1 : max < 0x10000 ? 2 : 4;
        if (width > width_) widen(width);
    }
    const size_t at = bytes_.size();
    bytes_.resize(at + count * width_);
    char* out = bytes_.data() + at;
    if (width_ == sizeof(Unit)) {
        std::memcpy(out, units, count * sizeof(Unit));
    } else if (width_ == 1) {
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<char>(static_cast<Py_UCS1>(units[i]));
    } else if (width_ == 2) {
        for (size_t i = 0; i < count; ++i) {
            const auto unit = static_cast<Py_UCS2>(units[i]);
            std::memcpy(out + 2 * i, &unit, 2);
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            const auto unit = static_cast<Py_UCS4>(units[i]);
            std::memcpy(out + 4 * i, &unit, 4);
        }
    }
    size_ += count;
}

void Chars::widen(unsigned width) {
    std::string wider(size_ * width, '\0');
    for (size_t i = 0; i < size_; ++i) {
        Py_UCS4 c = 0;
        if (width_ == 1) {
            c = static_cast<Py_UCS1>(bytes_[i]);
        } else {
            Py_UCS2 unit = 0;
            std::memcpy(&unit, bytes_.data() + 2 * i, 2);
            c = unit;
        }
        if (width == 2) {
            const auto unit = static_cast<Py_UCS2>(c);
            std::memcpy(wider.data() + 2 * i, &unit, 2);
        } else {
            std::memcpy(wider.data() + 4 * i, &c, 4);
        }
    }
    bytes_.swap(wider);
    width_ = width;
}

PyObject* Chars::str() const {
    // The storage width follows the largest character as PyUnicode_New's does.
    PyObject* result = check(PyUnicode_New(static_cast<Py_ssize_t>(size_), max_));
    if (!bytes_.empty()) std::memcpy(PyUnicode_DATA(result), bytes_.data(), bytes_.size());
    return result;
}

// ---------------------------------------------------------------------------
// The parser
// ---------------------------------------------------------------------------

class Parser {
public:
    enum class At : std::uint8_t {
        value,         // a value is due: at the root, after ":", after "," in an array
        array_first,   // after "[": a value or "]"
        object_first,  // after "{": a key or "}"
        key,           // after "," in an object: a key
        string,        // in a string's body (a key's when in_key_)
        escape,        // after a backslash
        unicode,       // in \uXXXX, hex_seen_ digits read
        word,          // in one of words, seen_ letters read
        number,        // in a number, at num_
        after_key,     // ":" is due
        after_value,   // "," or a closer is due, or nothing more at the root
        failed,
    };
    enum class Num : std::uint8_t { sign, zero, integer, point, fraction, exponent, exp_sign, exp_digits };

    struct Frame {
        bool object;
        Ref container;   // list or dict of the members closed so far
        Ref key;         // an object's key of the member being written
        Py_ssize_t count = 0;  // an array's elements closed so far
    };

    template <typename Unit>
    void feed(const Unit* in, size_t size);
    // The end of the text: a number that can end there ends.
    void finish();

    // The value of the open string or scalar that a policy keeps, or null.
    Ref open_scalar(Policy policy) const;

    std::vector<Frame> frames_;
    At at_ = At::value;
    Num num_ = Num::sign;
    bool in_key_ = false;
    bool negative_ = false;  // of -Infinity
    bool ended_ = false;     // the root value has ended
    Word word_ = null;
    std::uint8_t seen_ = 0;
    std::uint8_t hex_seen_ = 0;
    Py_UCS4 hex_ = 0;
    Py_UCS4 high_ = 0;  // a high surrogate escape waiting for its low half
    Chars chars_;
    std::string number_;
    Ref root_;
    size_t pos_ = 0;              // code points read
    size_t nonstandard_ = nowhere;  // where the first NaN or Infinity begins
    std::string error_;
    size_t error_pos_ = nowhere;
    Ref value_error_;  // json.loads raises ValueError here, not JSONDecodeError
    Ref closed_string_;  // the open string as its closing quote will make it, when known

    // Set while a completion is read: members added to the containers open in
    // the text go into tails_ rather than becoming part of them.
    std::vector<Tail>* tails_ = nullptr;

private:
    void fail(const char* message) {
        error_ = message;
        error_pos_ = pos_;
        at_ = At::failed;
    }
    void mark_nonstandard() {
        if (nonstandard_ == nowhere) nonstandard_ = pos_;
    }
    void begin_value(Py_UCS4 c);
    void begin_word(Word word) {
        word_ = word;
        seen_ = 1;
        negative_ = false;
        at_ = At::word;
    }
    void open(bool object);
    void close_container();
    void insert(Ref value);
    void escape(Py_UCS4 c);
    void unicode(Py_UCS4 c);
    void flush_high() {
        if (high_ != 0) {
            chars_.push(high_);
            high_ = 0;
        }
    }
    void end_string();
    void end_word();
    void end_number();
    // One character in a number; false when the number ended before it.
    bool number(Py_UCS4 c);
};

namespace {

// Adds the value of what is open below a container to it, recording in tail
// what to take back before the container changes again.
void add_open(Parser::Frame& frame, Tail& tail, PyObject* value) {
    if (frame.object) {
        PyObject* replaced = PyDict_GetItemWithError(frame.container.get(), frame.key.get());
        if (replaced == nullptr && PyErr_Occurred()) throw python_error{};
        tail.replaced = Ref(Py_XNewRef(replaced));
        tail.key = frame.key;
        check(PyDict_SetItem(frame.container.get(), frame.key.get(), value));
    } else {
        check(PyList_Append(frame.container.get(), value));
    }
    tail.present = true;
}

}  // namespace

void Parser::open(bool object) {
    frames_.push_back(Frame{object, Ref(check(object ? PyDict_New() : PyList_New(0))), Ref(), 0});
    at_ = object ? At::object_first : At::array_first;
}

void Parser::close_container() {
    Ref container = std::move(frames_.back().container);
    frames_.pop_back();
    insert(std::move(container));
}

void Parser::insert(Ref value) {
    at_ = At::after_value;
    if (frames_.empty()) {
        root_ = std::move(value);
        ended_ = true;
        return;
    }
    const size_t level = frames_.size() - 1;
    Frame& frame = frames_[level];
    if (tails_ != nullptr && level < tails_->size()) {
        // A completion adds one value to each container open in the text.
        if ((*tails_)[level].present) throw std::logic_error("a completion added twice to one container");
        add_open(frame, (*tails_)[level], value.get());
        return;
    }
    if (frame.object) {
        check(PyDict_SetItem(frame.container.get(), frame.key.get(), value.get()));
    } else {
        check(PyList_Append(frame.container.get(), value.get()));
        ++frame.count;
    }
}

void Parser::begin_value(Py_UCS4 c) {
    switch (c) {
        case '"':
            in_key_ = false;
            chars_.clear();
            at_ = At::string;
            return;
        case '{':
            open(true);
            return;
        case '[':
            open(false);
            return;
        case '-':
            number_.assign(1, '-');
            num_ = Num::sign;
            at_ = At::number;
            return;
        case '0':
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
                number_.assign(1, static_cast<char>(c));
                num_ = Num::integer;
                at_ = At::number;
                return;
            }
            fail("Expecting value");
    }
}

void Parser::escape(Py_UCS4 c) {
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
void Parser::unicode(Py_UCS4 c) {
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

void Parser::end_string() {
    Ref text = closed_string_ ? std::move(closed_string_) : Ref(chars_.str());
    if (in_key_) {
        frames_.back().key = std::move(text);
        at_ = At::after_key;
    } else {
        insert(std::move(text));
    }
}

void Parser::end_word() {
    switch (word_) {
        case null: insert(Ref(Py_NewRef(Py_None))); break;
        case true_: insert(Ref(Py_NewRef(Py_True))); break;
        case false_: insert(Ref(Py_NewRef(Py_False))); break;
        case nan: insert(Ref(check(PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN())))); break;
        case infinity: {
            const double inf = std::numeric_limits<double>::infinity();
            insert(Ref(check(PyFloat_FromDouble(negative_ ? -inf : inf))));
            break;
        }
    }
}

// int() and float() of the exact text, as json converts it: integers beyond
// the interpreter's digit limit raise its ValueError.
void Parser::end_number() {
    const bool is_float = number_.find_first_of(".eE") != std::string::npos;
    Ref value;
    if (is_float) {
        const double d = PyOS_string_to_double(number_.c_str(), nullptr, nullptr);
        if (d == -1.0 && PyErr_Occurred()) throw python_error{};
        value = Ref(check(PyFloat_FromDouble(d)));
    } else if (number_.size() <= 18) {
        long long n = 0;
        for (char c : number_) {
            if (c != '-') n = n * 10 + (c - '0');
        }
        value = Ref(check(PyLong_FromLongLong(number_[0] == '-' ? -n : n)));
    } else {
        PyObject* n = PyLong_FromString(number_.c_str(), nullptr, 10);
        if (n == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw python_error{};
            value_error_ = take_message();
            fail("Exceeds the limit for integer string conversion");
            return;
        }
        value = Ref(n);
    }
    insert(std::move(value));
}

bool Parser::number(Py_UCS4 c) {
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

template <typename Unit>
void Parser::feed(const Unit* in, size_t size) {
    size_t i = 0;
    while (i < size) {
        const Py_UCS4 c = in[i];
        switch (at_) {
            case At::failed:
                return;
            case At::value:
                if (!is_whitespace(c)) begin_value(c);
                break;
            case At::array_first:
                if (is_whitespace(c)) break;
                if (c == ']') {
                    close_container();
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
                if (is_whitespace(c)) break;
                if (c == '"') {
                    in_key_ = true;
                    chars_.clear();
                    at_ = At::string;
                } else {
                    fail("Expecting property name enclosed in double quotes");
                }
                break;
            case At::string: {
                const size_t end = scan::find_quote_or_backslash(in, i, size);
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
                if (!number(c)) continue;  // the character after the number is read afresh
                break;
            case At::after_key:
                if (is_whitespace(c)) break;
                if (c == ':') {
                    at_ = At::value;
                } else {
                    fail("Expecting ':' delimiter");
                }
                break;
            case At::after_value:
                if (is_whitespace(c)) break;
                if (frames_.empty()) {
                    fail("Extra data");
                } else if (c == ',') {
                    at_ = frames_.back().object ? At::key : At::value;
                } else if (c == (frames_.back().object ? '}' : ']')) {
                    close_container();
                } else {
                    fail(frames_.back().object ? "Expecting ',' delimiter or '}'" : "Expecting ',' delimiter or ']'");
                }
                break;
        }
        if (at_ == At::failed) return;
        ++i;
        ++pos_;
    }
}

void Parser::finish() {
    if (at_ != At::number) return;
    if (num_ == Num::zero || num_ == Num::integer || num_ == Num::fraction || num_ == Num::exp_digits) end_number();
}

Ref Parser::open_scalar(Policy policy) const {
    const bool in_string = at_ == At::string || at_ == At::escape || at_ == At::unicode;
    if (policy == Policy::strings && in_string && !in_key_) return Ref(chars_.str());
    return Ref();
}

// ---------------------------------------------------------------------------
// The builder
// ---------------------------------------------------------------------------

Builder::Builder() : parser_(std::make_unique<Parser>()) {}
Builder::~Builder() = default;

void Builder::feed(const Py_UCS1* units, size_t count) {
    detach();
    parser_->feed(units, count);
}
void Builder::feed(const Py_UCS2* units, size_t count) {
    detach();
    parser_->feed(units, count);
}
void Builder::feed(const Py_UCS4* units, size_t count) {
    detach();
    parser_->feed(units, count);
}

// Takes back what the last result added to the open containers. A container
// only this builder holds is changed in place; one a caller may reach (its
// count shows another holder once the parent no longer holds it) is replaced
// by a copy of its closed members. Parents go first, so that a container
// reachable through an earlier result is seen as shared.
void Builder::detach() {
    if (!exposed_) return;
    exposed_ = false;
    auto& frames = parser_->frames_;
    for (size_t level = 0; level < frames.size(); ++level) {
        Parser::Frame& frame = frames[level];
        Tail tail = level < tails_.size() ? std::move(tails_[level]) : Tail{};
        PyObject* container = frame.container.get();
        if (Py_REFCNT(container) != 1) {
            frame.container = Ref(check(frame.object ? PyDict_Copy(container)
                                                     : PyList_GetSlice(container, 0, frame.count)));
            if (!frame.object) continue;
            container = frame.container.get();
        }
        if (!tail.present) continue;
        if (!frame.object) {
            check(PyList_SetSlice(container, frame.count, PY_SSIZE_T_MAX, nullptr));
        } else if (tail.replaced) {
            check(PyDict_SetItem(container, tail.key.get(), tail.replaced.get()));
        } else {
            check(PyDict_DelItem(container, tail.key.get()));
        }
    }
    tails_.clear();
}

// Throws when the text is not the beginning of one that json.loads reads. A
// policy also refuses NaN and Infinity, which are not JSON.
void Builder::check_text(bool standard) const {
    const Parser& p = *parser_;
    if (p.at_ == Parser::At::failed) {
        if (standard && p.nonstandard_ < p.error_pos_) throw decode_error{"Expecting value", p.nonstandard_};
        if (p.value_error_) {
            PyErr_SetObject(PyExc_ValueError, p.value_error_.get());
            throw python_error{};
        }
        throw decode_error{p.error_, std::min(p.error_pos_, p.nonstandard_)};
    }
    if (standard && p.nonstandard_ != nowhere) throw decode_error{"Expecting value", p.nonstandard_};
}

PyObject* Builder::value(Policy policy, const Walker& walker) {
    Parser& p = *parser_;
    check_text(policy != Policy::all);
    if (policy == Policy::all && walker.failure() != Walker::Failure::none) {
        // The walker refuses only text that is not JSON.
        if (p.nonstandard_ != nowhere) throw decode_error{"Expecting value", p.nonstandard_};
        walker.check();
    }
    detach();
    tails_.assign(p.frames_.size(), Tail{});
    exposed_ = true;

    if (policy == Policy::all) {
        // The completion is read on a copy of the parser that shares its
        // containers: what it adds to them is recorded in tails_.
        const std::string suffix = walker.suffix();
        // An open string with nothing pending is closed by the suffix's quote
        // as it stands: its str is made here, and its characters not copied.
        const bool plain_string = p.at_ == Parser::At::string && p.high_ == 0;
        Chars open_string;
        if (plain_string) std::swap(open_string, p.chars_);
        struct Restore {
            Chars& from;
            Chars& to;
            bool swapped;
            ~Restore() {
                if (swapped) std::swap(from, to);
            }
        } restore{open_string, p.chars_, plain_string};
        Parser completion(p);
        if (plain_string) completion.closed_string_ = Ref(open_string.str());
        completion.tails_ = &tails_;
        completion.feed(reinterpret_cast<const Py_UCS1*>(suffix.data()), suffix.size());
        completion.finish();
        if (completion.at_ == Parser::At::failed && completion.value_error_) {
            PyErr_SetObject(PyExc_ValueError, completion.value_error_.get());
            throw python_error{};
        }
        if (completion.at_ == Parser::At::failed || !completion.ended_ || !completion.frames_.empty()) {
            // Only text that is not JSON completes to what json.loads refuses.
            if (p.nonstandard_ != nowhere) throw decode_error{"Expecting value", p.nonstandard_};
            throw decode_error{completion.error_.empty() ? "Expecting value" : completion.error_,
                               std::min(completion.error_pos_, completion.pos_)};
        }
        return completion.root_.release();
    }

    // A policy closes what is open from the inside out, leaving out what it withholds.
    if (p.frames_.empty()) {
        if (p.ended_) return Py_NewRef(p.root_.get());
        Ref scalar = p.open_scalar(policy);
        return scalar ? scalar.release() : Py_NewRef(Py_None);
    }
    Ref child = p.open_scalar(policy);
    for (size_t level = p.frames_.size(); level-- > 0;) {
        Parser::Frame& frame = p.frames_[level];
        if (child) add_open(frame, tails_[level], child.get());
        child = frame.container;
    }
    return child.release();
}

PyObject* Builder::path() const {
    const Parser& p = *parser_;
    using At = Parser::At;
    const size_t depth = p.frames_.size();
    // The innermost container's member is on the path once it is being written.
    bool innermost = false;
    if (depth > 0) {
        const bool object = p.frames_.back().object;
        switch (p.at_) {
            case At::string: case At::escape: case At::unicode:
                innermost = !p.in_key_;
                break;
            case At::value: case At::word: case At::number:
                innermost = true;
                break;
            case At::after_key:
                innermost = object;
                break;
            default:
                break;
        }
    }
    const size_t length = depth == 0 ? 0 : depth - 1 + (innermost ? 1 : 0);
    Ref path(check(PyTuple_New(static_cast<Py_ssize_t>(length))));
    for (size_t level = 0; level < length; ++level) {
        const Parser::Frame& frame = p.frames_[level];
        PyObject* step = frame.object ? Py_NewRef(frame.key.get()) : check(PyLong_FromSsize_t(frame.count));
        PyTuple_SET_ITEM(path.get(), static_cast<Py_ssize_t>(level), step);
    }
    return path.release();
}

bool Builder::done() const { return parser_->ended_; }

PyObject* Builder::close() {
    closed_ = true;
    detach();  // ending a number adds it to its container
    Parser& p = *parser_;
    if (p.at_ != Parser::At::failed) p.finish();
    if (p.at_ == Parser::At::failed) {
        if (p.value_error_) {
            PyErr_SetObject(PyExc_ValueError, p.value_error_.get());
            throw python_error{};
        }
        throw decode_error{p.error_, p.error_pos_};
    }
    if (p.ended_ && p.frames_.empty()) return Py_NewRef(p.root_.get());
    using At = Parser::At;
    const char* message = "Expecting value";
    switch (p.at_) {
        case At::object_first: case At::key: message = "Expecting property name enclosed in double quotes"; break;
        case At::string: case At::escape: case At::unicode: message = "Unterminated string"; break;
        case At::after_key: message = "Expecting ':' delimiter"; break;
        case At::after_value: message = "Expecting ',' delimiter"; break;
        default: break;
    }
    throw decode_error{message, p.pos_};
}

PyObject* raise_decode_error(const decode_error& error, PyObject* doc) {
    PyObject* json = PyImport_ImportModule("json");
    if (json == nullptr) return nullptr;
    PyObject* type = PyObject_GetAttrString(json, "JSONDecodeError");
    Py_DECREF(json);
    if (type == nullptr) return nullptr;
    PyObject* exception = PyObject_CallFunction(type, "s#On", error.message.data(),
                                                static_cast<Py_ssize_t>(error.message.size()), doc,
                                                static_cast<Py_ssize_t>(error.pos));
    if (exception != nullptr) {
        PyErr_SetObject(type, exception);
        Py_DECREF(exception);
    }
    Py_DECREF(type);
    return nullptr;
}

template void Chars::append(const Py_UCS1*, size_t);
template void Chars::append(const Py_UCS2*, size_t);
template void Chars::append(const Py_UCS4*, size_t);

}  // namespace carrack::values
