// The resumable walk of the JSON grammar. It reads text in pieces of any size
// and can say at any moment what the grammar's walk would append if the text
// ended there. Its whole state is data, so nothing lives on the call stack
// between pieces and nesting costs heap, not stack.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "carrack/engine/errors.hpp"

namespace carrack {

// Walks json_parser's grammar exactly as its nodes would: one byte of
// look-ahead at the grammar's choices, leaves taking their bytes unexamined.
// Text is UTF-8; the wide entry points take it as code points (Latin-1, UCS-2
// without surrogate pairs, UCS-4), each standing for its UTF-8 bytes, so a
// caller holding code points never encodes them. Pieces of one text may come
// through different entry points, split between any two code points (and, for
// UTF-8, between any two bytes).
class Walker {
public:
    // Where the walk stands: what the grammar expects next.
    enum class Point : std::uint8_t {
        value,            // whitespace, then a value (the root, after ":" and after "," in an array)
        array_first,      // after "[": whitespace, then a value or the array's closer
        object_first,     // after "{": whitespace, then a key or the object's closer
        key_start,        // after "," in an object: whitespace, then the key's opening quote
        string,           // in a string's body (a key's when in_key)
        escape,           // after a backslash in a string
        unicode,          // after "\u", with hex_due hex digits still due
        literal,          // in null, true or false, with letters_seen of them passed
        number_sign,      // after a leading "-": the integer part is due
        number_integer,   // after a nonzero digit and any digits
        number_zero,      // after an integer part that takes no more digits
        number_point,     // after ".": a digit is due
        number_fraction,  // after the fraction's first digit and any digits
        number_exponent,  // after "e" or "E": a sign or a digit is due
        number_exp_sign,  // after the exponent's sign: a digit is due
        number_exp_digits,  // after the exponent's first digit and any digits
        after_key,        // after a key's closing quote: whitespace, then ":"
        after_value,      // after a value: whitespace, then "," or a closer (nothing at the root)
    };
    enum class Literal : std::uint8_t { null, true_, false_ };
    // A walk that ran out of memory cannot go on either: its state is lost.
    enum class Failure : std::uint8_t { none, rejected, too_deep, out_of_memory };

    // Consume more text. They never append; a failure (bytes left over after
    // the value, or nesting beyond max_nesting_depth) throws, and from then on
    // every call throws the same again.
    void feed_utf8(std::string_view bytes);
    void feed_latin1(std::span<const unsigned char> units);
    void feed_ucs2(std::u16string_view units);  // surrogates count as the 3 bytes they would take
    void feed_ucs4(std::u32string_view units);

    // What the walk appends to the text fed so far: a function of the state
    // alone, in time proportional to the nesting depth. Throws on failure.
    std::string suffix() const;
    void append_suffix(std::string& out) const;

    // Makes room for levels more open arrays and objects, so that a piece of
    // that many code points cannot run out of memory while it is walked. A
    // caller that must not fail part way reserves first.
    void reserve(size_t levels) {
        if (levels > open_.spare()) open_.reserve(std::min(open_.size() + levels, max_nesting_depth));
    }

    // A walk that stops at the end of the root value instead of refusing what
    // follows it: the walk then takes nothing more, not even whitespace.
    void set_stop_at_end(bool stop) { stop_at_end_ = stop; }
    bool stop_at_end() const { return stop_at_end_; }
    // A walk of a sequence of values, separated by whitespace where the
    // grammar needs it: a value may follow the root value's end.
    void set_multiple(bool multiple) { multiple_ = multiple; }
    // Whether such a walk has reached the root value's end.
    bool ended() const { return ended_; }
    // Where in the last piece the walk reached the root value's end, in units
    // of the piece; meaningful only in the piece that set ended().
    size_t ended_at() const { return ended_at_; }
    // Ends a number at the root where the next character, not yet fed, is not
    // ASCII and so cannot continue it; true when the walk then ended.
    bool end_before_non_ascii();

    Failure failure() const { return failure_; }
    // Throws the stored failure, if any.
    void check() const;

    Point point() const { return point_; }
    bool in_key() const { return in_key_; }
    Literal literal() const { return literal_; }
    unsigned letters_seen() const { return letters_seen_; }
    unsigned hex_due() const { return hex_due_; }
    // Open arrays and objects, outermost first, as their closing brackets.
    size_t depth() const { return open_.size(); }
    char closer(size_t level) const { return open_[level]; }

private:
    template <typename Unit>
    friend class Run;

    template <typename Unit>
    void feed(const Unit* in, size_t size);
    [[noreturn]] void fail(Failure failure);

    // Closing brackets of the open arrays and objects. The first 64 levels
    // are inline, so that nearly every one-shot walk allocates nothing.
    class Stack {
    public:
        Stack() = default;
        // data_ may point into the object itself, so copies and moves aim it
        // anew. A copy holds the open levels only, not the room reserved.
        Stack(const Stack& other) : size_(other.size_) {
            if (size_ <= local_.size()) {
                std::copy(other.data_, other.data_ + size_, local_.begin());
            } else {
                heap_.assign(other.data_, other.data_ + size_);
                data_ = heap_.data();
                capacity_ = heap_.size();
            }
        }
        Stack& operator=(Stack&& other) noexcept {
            local_ = other.local_;
            heap_ = std::move(other.heap_);
            size_ = other.size_;
            aim(other);
            return *this;
        }
        Stack& operator=(const Stack&) = delete;

        bool empty() const { return size_ == 0; }
        size_t size() const { return size_; }
        size_t spare() const { return capacity_ - size_; }
        char back() const { return data_[size_ - 1]; }
        char operator[](size_t i) const { return data_[i]; }
        void push_back(char closer) {
            if (size_ == capacity_) grow();
            data_[size_++] = closer;
        }
        void pop_back() { --size_; }
        void reserve(size_t capacity) {
            if (capacity > capacity_) grow(capacity);
        }

    private:
        void aim(const Stack& other) {
            const bool local = other.data_ == other.local_.data();
            data_ = local ? local_.data() : heap_.data();
            capacity_ = local ? local_.size() : heap_.size();
        }
        void grow(size_t at_least = 0) {
            heap_.resize(std::max(capacity_ * 2, at_least));
            if (data_ == local_.data()) std::copy(local_.begin(), local_.end(), heap_.begin());
            data_ = heap_.data();
            capacity_ = heap_.size();
        }
        std::array<char, 64> local_{};
        std::vector<char> heap_;
        char* data_ = local_.data();
        size_t size_ = 0;
        size_t capacity_ = local_.size();
    };

    Stack open_;
    Point point_ = Point::value;
    Failure failure_ = Failure::none;
    bool in_key_ = false;
    Literal literal_ = Literal::null;
    std::uint8_t letters_seen_ = 0;
    std::uint8_t hex_due_ = 0;
    bool stop_at_end_ = false;
    bool multiple_ = false;
    bool ended_ = false;
    size_t ended_at_ = 0;
};

}  // namespace carrack
