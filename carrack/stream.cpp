// carrack._stream: carrack.Stream, which completes a text fed in chunks at the
// cost of each chunk. It keeps the text and the engine's resumable Walker; a
// chunk is walked once, when it is fed, and never again.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "carrack/python_support.hpp"

namespace {

// ---------------------------------------------------------------------------
// The text fed so far
// ---------------------------------------------------------------------------

// The text in the code-unit width of the widest chunk (1, 2 or 4 bytes), so
// that a str is made of it with one copy, as CPython would store it.
class TextBuffer {
public:
    Py_ssize_t length() const { return length_; }

    // Makes room for chunk, so that append(chunk) cannot fail.
    void reserve_for(PyObject* chunk) {
        const int kind = std::max(kind_, static_cast<int>(PyUnicode_KIND(chunk)));
        if (kind != kind_) widen(kind);
        const size_t needed = static_cast<size_t>(length_ + PyUnicode_GET_LENGTH(chunk)) * kind_;
        if (needed > units_.capacity()) units_.reserve(std::max(needed, 2 * units_.capacity()));
    }

    // Appends a str; reserve_for(chunk) must have been called.
    void append(PyObject* chunk) {
        const Py_ssize_t count = PyUnicode_GET_LENGTH(chunk);
        const int from = PyUnicode_KIND(chunk);
        const void* data = PyUnicode_DATA(chunk);
        const size_t at = units_.size();
        units_.resize(at + static_cast<size_t>(count) * kind_);
        if (count == 0) return;  // an empty vector may hold no storage to copy into
        if (from == kind_) {
            std::memcpy(units_.data() + at, data, static_cast<size_t>(count) * kind_);
        } else {
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyUnicode_WRITE(kind_, units_.data(), length_ + i, PyUnicode_READ(from, data, i));
            }
        }
        length_ += count;
        max_char_ = std::max(max_char_, PyUnicode_MAX_CHAR_VALUE(chunk));
    }

    // A new str: the text followed by an ASCII suffix.
    PyObject* to_str(std::string_view suffix) const {
        const auto extra = static_cast<Py_ssize_t>(suffix.size());
        PyObject* result = PyUnicode_New(length_ + extra, max_char_);
        if (result == nullptr) return nullptr;
        void* data = PyUnicode_DATA(result);
        if (!units_.empty()) std::memcpy(data, units_.data(), units_.size());
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyUnicode_WRITE(kind_, data, length_ + i, static_cast<Py_UCS4>(suffix[static_cast<size_t>(i)]));
        }
        return result;
    }

private:
    // Rewrites the units fed so far in a wider kind: at most twice per stream.
    void widen(int kind) {
        std::vector<char> wider(static_cast<size_t>(length_) * kind);
        for (Py_ssize_t i = 0; i < length_; ++i) {
            PyUnicode_WRITE(kind, wider.data(), i, PyUnicode_READ(kind_, units_.data(), i));
        }
        units_.swap(wider);
        kind_ = kind;
    }

    std::vector<char> units_;
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 max_char_ = 0;  // the largest kind-and-ASCII maximum of any chunk, as PyUnicode_New wants it
    Py_ssize_t length_ = 0;
};

// ---------------------------------------------------------------------------
// The Stream type
// ---------------------------------------------------------------------------

struct Stream {
    PyObject_HEAD
    carrack::Walker walker;
    TextBuffer text;
};

Stream* as_stream(PyObject* self) { return reinterpret_cast<Stream*>(self); }

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Stream() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        new (&as_stream(self)->walker) carrack::Walker();
        new (&as_stream(self)->text) TextBuffer();
    } catch (...) {
        // tp_alloc zeroed the object, and neither constructor leaves anything behind when it throws
        Py_TYPE(self)->tp_free(self);
        carrack::python::raise_caught_exception();
        return nullptr;
    }
    return self;
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_stream(self)->text.~TextBuffer();
    as_stream(self)->walker.~Walker();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* stream_feed(PyObject* self, PyObject* chunk) {
    if (!PyUnicode_Check(chunk)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "chunk",
                     "str", Py_TYPE(chunk)->tp_name);
        return nullptr;
    }
    Stream* stream = as_stream(self);
    try {
        stream->walker.check();
        // A chunk that strict UTF-8 refuses is refused whole: nothing changes.
        if (carrack::python::holds_surrogate(chunk)) return carrack::python::raise_encode_error(chunk);
        stream->text.reserve_for(chunk);
        // A chunk that leaves bytes over is kept in the text: the text is then
        // what carrack() rejects, and the stream raises from now on.
        struct Keep {
            Stream* stream;
            PyObject* chunk;
            ~Keep() { stream->text.append(chunk); }
        } keep{stream, chunk};
        carrack::python::feed_str(stream->walker, chunk);
    } catch (...) {
        carrack::python::raise_caught_exception();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* stream_completion(PyObject* self, PyObject*) {
    Stream* stream = as_stream(self);
    try {
        return stream->text.to_str(stream->walker.suffix());
    } catch (...) {
        carrack::python::raise_caught_exception();
        return nullptr;
    }
}

PyObject* stream_get_text(PyObject* self, void*) { return as_stream(self)->text.to_str({}); }

PyObject* stream_get_suffix(PyObject* self, void*) {
    try {
        const std::string suffix = as_stream(self)->walker.suffix();
        return PyUnicode_FromStringAndSize(suffix.data(), static_cast<Py_ssize_t>(suffix.size()));
    } catch (...) {
        carrack::python::raise_caught_exception();
        return nullptr;
    }
}

PyObject* stream_repr(PyObject* self) {
    const Stream* stream = as_stream(self);
    return PyUnicode_FromFormat("<carrack.Stream: %zd characters, %zu open>", stream->text.length(),
                                stream->walker.depth());
}

PyMethodDef stream_methods[] = {
    {"feed", stream_feed, METH_O,
     "feed(chunk, /)\n--\n\n"
     "Append chunk (a str) to the text, walking only the chunk.\n\n"
     "Raises RuntimeError when bytes are left over after the JSON value, and\n"
     "RecursionError when arrays and objects nest more than 1,000,000 levels deep;\n"
     "from then on feed, suffix and completion() raise the same again. A chunk\n"
     "holding a lone surrogate raises UnicodeEncodeError and changes nothing."},
    {"completion", stream_completion, METH_NOARGS,
     "completion()\n--\n\n"
     "The text with the suffix appended: equal to carrack(text), without walking\n"
     "the text again (the text is copied into the new str)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"text", stream_get_text, nullptr, "Everything fed so far, as one str.", nullptr},
    {"suffix", stream_get_suffix, nullptr,
     "What carrack(text) appends to the text: ASCII, computed from the walk's state\n"
     "in time proportional to the nesting depth.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char stream_doc[] =
    "Stream()\n--\n\n"
    "A JSON text completed as it grows. Feed it chunks; at any point suffix is\n"
    "what carrack(text) would append and completion() equals carrack(text). Each\n"
    "chunk is walked once, so a stream costs time proportional to its length, not\n"
    "to its length squared.\n\n"
    ">>> stream = Stream()\n"
    ">>> stream.feed('{\"a\": [1, tr')\n"
    ">>> stream.suffix\n"
    "'ue]}'\n"
    ">>> stream.completion()\n"
    "'{\"a\": [1, true]}'";

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>(stream_doc)},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "carrack.Stream",
    sizeof(Stream),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    stream_slots,
};

// ---------------------------------------------------------------------------
// The module
// ---------------------------------------------------------------------------

int module_exec(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &stream_spec, nullptr);
    if (type == nullptr) return -1;
    const int status = PyModule_AddObjectRef(module, "Stream", type);
    Py_DECREF(type);
    return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000  // the slot is new in 3.12; the module keeps no global state
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "carrack._stream",                                         // m_name
    "carrack.Stream: completing a JSON text fed in chunks.",  // m_doc
    0,                                                         // m_size
    nullptr,                                                   // m_methods
    module_slots,                                              // m_slots
    nullptr,                                                   // m_traverse
    nullptr,                                                   // m_clear
    nullptr,                                                   // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__stream() { return PyModuleDef_Init(&module_def); }
