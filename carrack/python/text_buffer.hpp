// The text of a stream, kept as CPython would store it as one str.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace carrack::python {

// The text in the code-unit width of the widest chunk (1, 2 or 4 bytes), so
// that a str is made of it with one copy, as CPython would store it.
class TextBuffer {
public:
    Py_ssize_t length() const { return length_; }
    int kind() const { return kind_; }
    const void* data() const { return units_.data(); }

    // Makes what appending chunk needs: room, and, for a chunk wider than the
    // text, the text rewritten in the wider kind, into scratch. The text is
    // unchanged, so a failure here loses nothing.
    void prepare(PyObject* chunk) {
        prepared_kind_ = kind_;
        const auto kind = static_cast<int>(PyUnicode_KIND(chunk));
        if (kind <= kind_) {  // the common case: room at most
            const size_t needed = static_cast<size_t>(length_ + PyUnicode_GET_LENGTH(chunk)) * kind_;
            if (needed > units_.capacity()) units_.reserve(std::max(needed, 2 * units_.capacity()));
            return;
        }
        const size_t needed = static_cast<size_t>(length_ + PyUnicode_GET_LENGTH(chunk)) * kind;
        std::vector<char> wider;
        wider.reserve(std::max(needed, 2 * units_.capacity()));
        wider.resize(static_cast<size_t>(length_) * kind);
        for (Py_ssize_t i = 0; i < length_; ++i) {
            PyUnicode_WRITE(kind, wider.data(), i, PyUnicode_READ(kind_, units_.data(), i));
        }
        wider_.swap(wider);
        prepared_kind_ = kind;
    }

    // Appends the chunk prepare() was last called for; cannot fail.
    void append(PyObject* chunk) noexcept {
        append_units(chunk, PyUnicode_GET_LENGTH(chunk), PyUnicode_MAX_CHAR_VALUE(chunk));
    }

    // Appends the first count characters of that chunk. The text keeps the
    // width prepared for the whole chunk, which may be wider than its
    // characters need; to_str() makes the str CPython would.
    void append(PyObject* chunk, Py_ssize_t count) noexcept {
        append_units(chunk, count,
                     count == PyUnicode_GET_LENGTH(chunk) ? PyUnicode_MAX_CHAR_VALUE(chunk)
                                                          : max_char(PyUnicode_KIND(chunk), PyUnicode_DATA(chunk), count));
    }

    // A new str: the text followed by an ASCII suffix.
    PyObject* to_str(std::string_view suffix) const {
        const auto extra = static_cast<Py_ssize_t>(suffix.size());
        PyObject* result = PyUnicode_New(length_ + extra, max_char_);
        if (result == nullptr) return nullptr;
        void* data = PyUnicode_DATA(result);
        const int kind = PyUnicode_KIND(result);
        if (kind == kind_) {
            if (!units_.empty()) std::memcpy(data, units_.data(), units_.size());
        } else {  // text kept wider than its characters
            for (Py_ssize_t i = 0; i < length_; ++i) PyUnicode_WRITE(kind, data, i, PyUnicode_READ(kind_, units_.data(), i));
        }
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyUnicode_WRITE(kind, data, length_ + i, static_cast<Py_UCS4>(suffix[static_cast<size_t>(i)]));
        }
        return result;
    }

private:
    // largest: the maximum PyUnicode_New wants for the characters appended.
    void append_units(PyObject* chunk, Py_ssize_t count, Py_UCS4 largest) noexcept {
        if (prepared_kind_ != kind_) {
            units_.swap(wider_);
            kind_ = prepared_kind_;
            std::vector<char>().swap(wider_);
        }
        const int from = PyUnicode_KIND(chunk);
        const void* data = PyUnicode_DATA(chunk);
        const size_t at = units_.size();
        units_.resize(at + static_cast<size_t>(count) * kind_);  // within the capacity reserved
        if (count == 0) return;  // an empty vector may hold no storage to copy into
        char* out = units_.data() + at;
        if (from == kind_) {
            std::memcpy(out, data, static_cast<size_t>(count) * kind_);
        } else if (kind_ == PyUnicode_2BYTE_KIND) {
            widen_into<Py_UCS1, Py_UCS2>(data, count, out);
        } else if (from == PyUnicode_1BYTE_KIND) {
            widen_into<Py_UCS1, Py_UCS4>(data, count, out);
        } else {
            widen_into<Py_UCS2, Py_UCS4>(data, count, out);
        }
        length_ += count;
        max_char_ = std::max(max_char_, largest);
    }

    // The maximum PyUnicode_New wants for count units of kind.
    static Py_UCS4 max_char(int kind, const void* data, Py_ssize_t count) noexcept {
        Py_UCS4 largest = 0;
        for (Py_ssize_t i = 0; i < count; ++i) largest = std::max(largest, PyUnicode_READ(kind, data, i));
        return largest < 0x80 ? 0x7F : largest < 0x100 ? 0xFF : largest < 0x10000 ? 0xFFFF : 0x10FFFF;
    }

    // Plain loops the compiler vectorises: a chunk narrower than the text is
    // the common case once one wide character has arrived.
    template <typename From, typename To>
    static void widen_into(const void* data, Py_ssize_t count, char* out) {
        const auto* in = static_cast<const From*>(data);
        for (Py_ssize_t i = 0; i < count; ++i) {
            const To unit = in[i];
            std::memcpy(out + i * static_cast<Py_ssize_t>(sizeof(To)), &unit, sizeof(To));
        }
    }

    std::vector<char> units_;
    std::vector<char> wider_;  // scratch: the text in prepared_kind_, when wider
    int kind_ = PyUnicode_1BYTE_KIND;
    int prepared_kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 max_char_ = 0;  // the largest kind-and-ASCII maximum of any chunk, as PyUnicode_New wants it
    Py_ssize_t length_ = 0;
};

}  // namespace carrack::python
