// The decoded characters of a string being read, in the narrowest storage that
// holds them, so that a str is made from them by one copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>

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

}  // namespace carrack::values
