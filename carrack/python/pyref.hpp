// Owned references and the one way a failed C-API call leaves C++ code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace carrack::python {

// An owned reference; copying adds one. A vector of them is a plain array of
// pointers, which the value code compares against a list's items.
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

    static Ref borrow(PyObject* borrowed) { return Ref(Py_XNewRef(borrowed)); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};
static_assert(sizeof(Ref) == sizeof(PyObject*));

// Thrown when the interpreter has an exception pending.
struct python_error {};

inline PyObject* check(PyObject* result) {
    if (result == nullptr) throw python_error{};
    return result;
}

inline void check(int status) {
    if (status < 0) throw python_error{};
}

// The pending exception, normalised, with its traceback, as an owned
// reference (empty when none is pending); the error indicator is cleared.
inline Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref(value);
#endif
}

}  // namespace carrack::python
