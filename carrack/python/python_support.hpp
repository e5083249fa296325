// What both extension modules need of the CPython API: C++ exceptions turned
// into Python ones, and a str's text handed to the engine in place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <ios>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>
#include <typeinfo>

#include "carrack/engine/errors.hpp"
#include "carrack/engine/walker.hpp"

// Per-object critical sections serialise calls on free-threaded builds and are
// empty blocks under the GIL; before 3.13 the GIL is all there is.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace carrack::python {

// Call inside a catch block. An exception the interpreter already has pending
// stands; otherwise the caught one is mapped by type, first match wins.
inline void raise_caught_exception() {
    if (PyErr_Occurred()) return;
    try {
        throw;
    } catch (const carrack::nesting_too_deep& e) {
        PyErr_SetString(PyExc_RecursionError, e.what());
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        PyErr_SetString(PyExc_IOError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

// True when a UCS-2 or UCS-4 text holds a surrogate, which strict UTF-8 refuses.
// Blocks of 64 without a branch inside let the compiler vectorise the test.
template <typename Unit>
bool has_surrogate(const Unit* units, Py_ssize_t length) {
    const auto surrogate = [](Unit u) { return static_cast<Unit>(u - 0xD800u) < 0x800u; };
    Py_ssize_t i = 0;
    for (; i + 64 <= length; i += 64) {
        Unit hits = 0;
        for (int k = 0; k < 64; ++k) hits |= static_cast<Unit>(surrogate(units[i + k]));
        if (hits != 0) return true;
    }
    for (; i < length; ++i) {
        if (surrogate(units[i])) return true;
    }
    return false;
}

// Only the two wide kinds can hold a surrogate.
inline bool holds_surrogate(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_2BYTE_KIND:
            return has_surrogate(static_cast<const Py_UCS2*>(PyUnicode_DATA(text)), length);
        case PyUnicode_4BYTE_KIND:
            return has_surrogate(static_cast<const Py_UCS4*>(PyUnicode_DATA(text)), length);
        default:
            return false;
    }
}

// For a text holding a surrogate: lets the interpreter's strict encoder raise
// its own UnicodeEncodeError. Returns nullptr.
inline PyObject* raise_encode_error(PyObject* text) {
    PyObject* encoded = PyUnicode_AsUTF8String(text);
    Py_XDECREF(encoded);
    if (encoded != nullptr) PyErr_SetString(PyExc_SystemError, "surrogate encoded as UTF-8");
    return nullptr;
}

// Calls feed(units, count) with code units of a str's storage kind: Py_UCS1,
// Py_UCS2 or Py_UCS4 pointers, so that one template reads every width.
template <typename Feed>
void with_units(Feed&& feed, int kind, const void* data, size_t count) {
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            feed(static_cast<const Py_UCS1*>(data), count);
            break;
        case PyUnicode_2BYTE_KIND:
            feed(static_cast<const Py_UCS2*>(data), count);
            break;
        default:
            feed(static_cast<const Py_UCS4*>(data), count);
            break;
    }
}

template <typename Feed>
void with_units(Feed&& feed, PyObject* text) {
    with_units(feed, PyUnicode_KIND(text), PyUnicode_DATA(text), static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
}

// Feeds the str's UTF-8 text to the walker, read in place in the str's own
// storage: ASCII is its own UTF-8, and wider kinds are read as code points, so
// the text is never encoded or copied. Throws as the walker does.
inline void feed_str(Walker& walker, PyObject* text) {
    const auto size = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            if (PyUnicode_IS_ASCII(text)) {
                walker.feed_utf8(std::string_view(static_cast<const char*>(data), size));
            } else {
                walker.feed_latin1(std::span(static_cast<const unsigned char*>(data), size));
            }
            break;
        case PyUnicode_2BYTE_KIND:
            walker.feed_ucs2(std::u16string_view(static_cast<const char16_t*>(data), size));
            break;
        default:
            walker.feed_ucs4(std::u32string_view(static_cast<const char32_t*>(data), size));
            break;
    }
}

}  // namespace carrack::python
