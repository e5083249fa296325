// A resumable reader of the language json.loads reads (JSON, raw control
// characters in strings, NaN and the two infinities). It converts each scalar
// as CPython's json does, once, when it closes, and reports containers opening,
// members closing and containers closing to a Sink, which decides what to keep.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "carrack/values/chars.hpp"
#include "carrack/python/pyref.hpp"

namespace carrack::values {

using python::Ref;

constexpr size_t nowhere = std::numeric_limits<size_t>::max();

// The text is not JSON: no continuation makes it one, or the completion
// json.loads would read is not.
struct decode_error {
    std::string message;
    size_t pos;
    // The error is json.loads(text)'s, which then says it in its own words.
    bool of_whole_text = false;
};

// Where the values read go.
class Sink {
public:
    // An array or object opens inside the innermost open one, or as the root.
    virtual void open(bool object) = 0;
    // A value closed in the innermost open container: the next element of an
    // array, or an object's member under key.
    virtual void add(PyObject* key, Ref value) = 0;
    // The innermost open container closes; its value goes to its parent.
    virtual Ref close() = 0;

protected:
    ~Sink() = default;
};

class Reader;

// Gives, for a value just closed, the object an earlier reading of the same
// text made for it, when the caller may already hold that one; so reading the
// text again keeps the values shared with the caller the same objects.
class Recycler {
public:
    // value has just closed where reader is.
    virtual Ref reuse(const Reader& reader, Ref value) = 0;

protected:
    ~Recycler() = default;
};

// Told of values starting and ending where the reader is, for events. Nothing
// here may change the reader.
class ReaderHooks {
public:
    enum class Kind : std::uint8_t { object, array, string, number, word };
    // A string value begins, or an array or object (before its level opens);
    // a number or a word (null, true, false) only for hooks that ask for them.
    virtual void begin(const Reader& reader, Kind kind) = 0;
    // A value ends in its container; an array's or object's own level has closed.
    virtual void end(const Reader& reader, PyObject* value, bool container) = 0;
    // A piece of text has been read.
    virtual void flush(const Reader& reader) = 0;

protected:
    ~ReaderHooks() = default;
};

class Reader {
public:
    enum class At : std::uint8_t {
        value,         // a value is due: at the root, after ":", after "," in an array
        array_first,   // after "[": a value or "]"
        object_first,  // after "{": a key or "}"
        key,           // after "," in an object: a key
        string,        // in a string's body (a key's when in_key)
        escape,        // after a backslash
        unicode,       // in \uXXXX, hex_seen digits read
        word,          // in null, true, false, NaN or Infinity, seen letters read
        number,        // in a number, at num
        after_key,     // ":" is due
        after_value,   // "," or a closer is due, or nothing more at the root
        failed,
    };
    enum class Num : std::uint8_t { sign, zero, integer, point, fraction, exponent, exp_sign, exp_digits };

    // An open array or object as the grammar needs it: the sink keeps its members.
    struct Level {
        bool object;
        Ref key;               // an object's key of the member being written
        Py_ssize_t count = 0;  // an array's elements closed so far
        size_t opened_at = 0;  // where it begins: the same container in any reading of the text
    };

    explicit Reader(Sink* sink) : sink_(sink) {}

    // Reads a sequence of values, as the elements of an array that is open
    // from the start and has no brackets: paths then begin with the value's
    // ordinal. Called before anything is read.
    void set_multiple();
    bool multiple() const { return multiple_; }
    // The bottom level is that array, and no value of the sequence is open.
    bool between_values() const {
        return multiple_ && levels_.size() == 1 && (at_ == At::value || at_ == At::after_value);
    }

    // The next piece of text, as code points. Throws python_error when the
    // interpreter fails (memory); malformed text only moves to At::failed.
    template <typename Unit>
    void feed(const Unit* in, size_t size);
    // The end of the text: a number that can end there ends.
    void finish();

    // Hooks are told of values from here on, until the text turns out not to
    // be JSON (NaN and Infinity included).
    void set_hooks(ReaderHooks* hooks, bool scalars = false) {
        hooks_ = hooks;
        scalar_begins_ = hooks != nullptr && scalars;
    }
    void set_recycler(Recycler* recycler) { recycler_ = recycler; }

    // A copy to read a completion with, reporting to sink and to no hooks. When closed_string
    // is given, it is the open string as its closing quote will make it, and
    // the characters read so far are not copied.
    Reader fork(Sink* sink, Ref closed_string) const;

    At at() const { return at_; }
    bool in_key() const { return in_key_; }
    bool in_string() const { return at_ == At::string || at_ == At::escape || at_ == At::unicode; }
    // In a string whose characters so far are exactly its value once closed.
    bool in_plain_string() const { return at_ == At::string && high_ == 0; }
    const Chars& chars() const { return chars_; }
    // Whether the number being read could end here.
    bool number_can_end() const;
    // The value of the number read so far; throws python_error (ValueError
    // beyond the digit limit).
    Ref number_value() const;

    const std::vector<Level>& levels() const { return levels_; }
    size_t depth() const { return levels_.size(); }
    bool ended() const { return ended_; }
    const Ref& root() const { return root_; }
    size_t pos() const { return pos_; }
    // The piece being read, for hooks that want its source text: its units
    // (of width piece_kind()) and where it begins in the text.
    const void* piece() const { return piece_; }
    int piece_kind() const { return piece_kind_; }
    size_t piece_start() const { return piece_start_; }
    size_t nonstandard() const { return nonstandard_; }
    const std::string& error() const { return error_; }
    size_t error_pos() const { return error_pos_; }
    // json.loads raises ValueError with this message where the reader failed.
    const Ref& value_error() const { return value_error_; }

private:
    void fail(const char* message) {
        error_ = message;
        error_pos_ = pos_;
        at_ = At::failed;
    }
    void mark_nonstandard() {
        if (nonstandard_ == nowhere) nonstandard_ = pos_;
        hooks_ = nullptr;
        scalar_begins_ = false;
    }
    void begin_scalar(ReaderHooks::Kind kind) {
        if (scalar_begins_) hooks_->begin(*this, kind);
    }
    void begin_value(Py_UCS4 c);
    void begin_word(std::uint8_t word);
    void open(bool object);
    void close_container();
    void insert(Ref value, bool container = false);
    template <typename Unit>
    void read(const Unit* in, size_t size);
    template <typename Unit>
    bool whole_number(const Unit* in, size_t& i, size_t size);
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

    Sink* sink_;
    ReaderHooks* hooks_ = nullptr;
    Recycler* recycler_ = nullptr;
    bool scalar_begins_ = false;  // hooks are told of numbers and words beginning
    bool multiple_ = false;
    const void* piece_ = nullptr;
    int piece_kind_ = 1;
    size_t piece_start_ = 0;
    std::vector<Level> levels_;
    At at_ = At::value;
    Num num_ = Num::sign;
    bool in_key_ = false;
    bool negative_ = false;  // of -Infinity
    bool ended_ = false;     // the root value has ended
    std::uint8_t word_ = 0;
    std::uint8_t seen_ = 0;
    std::uint8_t hex_seen_ = 0;
    Py_UCS4 hex_ = 0;
    Py_UCS4 high_ = 0;  // a high surrogate escape waiting for its low half
    Chars chars_;
    std::unique_ptr<KeyMemo> own_keys_ = std::make_unique<KeyMemo>();
    KeyMemo* keys_ = own_keys_.get();  // a fork, which lives shorter, uses the original's
    std::string number_;
    Ref root_;
    size_t pos_ = 0;                // code points read
    size_t nonstandard_ = nowhere;  // where the first NaN or Infinity begins
    std::string error_;
    size_t error_pos_ = nowhere;
    Ref value_error_;
    Ref closed_string_;
};

}  // namespace carrack::values
