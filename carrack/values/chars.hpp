// The decoded characters of a string being read, in the narrowest storage that
// holds them, so that a str is made from them by one copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace carrack::values {

class Chars {
public:
    template <typename Unit>
    void append(const Unit* units, size_t count);
    void push(Py_UCS4 c) { append(&c, 1); }
    void clear() {
        bytes_.clear();
        size_ = 0;
        max_ = 0;
        width_ = 1;
    }
    size_t size() const { return size_; }
    unsigned width() const { return width_; }
    Py_UCS4 max() const { return max_; }
    // The characters' storage: size() units of width() bytes.
    std::string_view units() const { return bytes_; }
    // A new str of the characters, or of those from one index to another;
    // throws python_error.
    PyObject* str() const;
    PyObject* str(size_t from, size_t to) const;

private:
    void widen(unsigned width);

    std::string bytes_;
    size_t size_ = 0;
    Py_UCS4 max_ = 0;
    unsigned width_ = 1;
};

// The str objects of keys read lately, so that a key repeated across objects
// is one object, made and hashed once, as json.loads does with its memo.
class KeyMemo {
public:
    // The str of chars: the one made before for the same characters, or a new one.
    PyObject* str(const Chars& chars);

private:
    struct Entry {
        std::string units;
        unsigned width = 0;
        PyObject* str = nullptr;  // owned
    };
    static constexpr size_t slots = 1024;
    static constexpr size_t longest = 64;  // longer keys are made afresh
    std::vector<Entry> entries_;

public:
    KeyMemo() = default;
    KeyMemo(const KeyMemo&) = delete;
    KeyMemo& operator=(const KeyMemo&) = delete;
    ~KeyMemo();
};

}  // namespace carrack::values
