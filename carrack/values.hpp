// Python values of a JSON text that arrives in pieces. The text is parsed once,
// as json.loads reads it, into Python objects as its values close; a value of
// the whole text so far costs only what is still open.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace carrack {

class Walker;

namespace values {

// An owned reference; copying adds one.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref& other) : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Thrown when the interpreter has an exception pending.
struct python_error {};

// The text is not JSON: no continuation makes it one, or the completion
// json.loads would read is not.
struct decode_error {
    std::string message;
    size_t pos;
};

// The decoded characters of the string being read, in the narrowest storage
// that holds them, so that a str is made from them by one copy.
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
    PyObject* str() const;

private:
    void widen(unsigned width);

    std::string bytes_;
    size_t size_ = 0;
    Py_UCS4 max_ = 0;
    unsigned width_ = 1;
};

enum class Policy : std::uint8_t { all, strings, closed };

// What a value added to an open container last time changed there, so that it
// can be taken back: the element appended, or the member set (and the value it
// replaced, for a repeated key).
struct Tail {
    bool present = false;
    Ref key;
    Ref replaced;
};

class Parser;

// The values of one stream. Open arrays and objects are kept as the list or
// dict that holds their closed members; a result adds to each what is open
// below it and hands the containers out. Before they change again, each one
// the caller may still reach is copied (without those additions), so a result
// never changes; one the caller has dropped is taken back and reused.
class Builder {
public:
    Builder();
    ~Builder();
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    // The next piece of text, as code points.
    void feed(const Py_UCS1* units, size_t count);
    void feed(const Py_UCS2* units, size_t count);
    void feed(const Py_UCS4* units, size_t count);

    // The value of the text so far. For Policy::all it is json.loads of the
    // walker's completion; the walker must have read the same text. Throws
    // decode_error, python_error, or the walker's failure.
    PyObject* value(Policy policy, const Walker& walker);
    // Keys and indices from the root to the value being written.
    PyObject* path() const;
    // Whether the root value has ended.
    bool done() const;
    // json.loads of the text: the one complete value, or decode_error.
    PyObject* close();
    bool closed() const { return closed_; }

private:
    void detach();
    void check_text(bool rfc) const;

    std::unique_ptr<Parser> parser_;
    std::vector<Tail> tails_;
    bool exposed_ = false;
    bool closed_ = false;
};

// Raises json.JSONDecodeError for error over doc. Returns nullptr.
PyObject* raise_decode_error(const decode_error& error, PyObject* doc);

}  // namespace values
}  // namespace carrack
