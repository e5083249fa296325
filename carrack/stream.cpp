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
#include "carrack/values.hpp"

namespace {

// ---------------------------------------------------------------------------
// The text fed so far
// ---------------------------------------------------------------------------

// The text in the code-unit width of the widest chunk (1, 2 or 4 bytes), so
// that a str is made of it with one copy, as CPython would store it.
class TextBuffer {
public:
    Py_ssize_t length() const { return length_; }
    int kind() const { return kind_; }
    const void* data() const { return units_.data(); }

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
    carrack::values::Builder values;
    // The values are built from the first call that asks for them on, so a
    // caller that only completes pays nothing for them.
    bool values_active;
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
        new (&as_stream(self)->values) carrack::values::Builder();
        as_stream(self)->values_active = false;
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
    as_stream(self)->values.~Builder();
    as_stream(self)->text.~TextBuffer();
    as_stream(self)->walker.~Walker();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Values: value(), path, done, close()
// ---------------------------------------------------------------------------

// The builder reads code points of the given kind. False with an exception
// set when it fails.
bool feed_values(Stream* stream, int kind, const void* data, size_t size) {
    try {
        switch (kind) {
            case PyUnicode_1BYTE_KIND:
                stream->values.feed(static_cast<const Py_UCS1*>(data), size);
                break;
            case PyUnicode_2BYTE_KIND:
                stream->values.feed(static_cast<const Py_UCS2*>(data), size);
                break;
            default:
                stream->values.feed(static_cast<const Py_UCS4*>(data), size);
                break;
        }
    } catch (...) {
        carrack::python::raise_caught_exception();
        return false;
    }
    return true;
}

// Every chunk the text keeps, once the values are asked for.
bool feed_values(Stream* stream, PyObject* chunk) {
    if (!stream->values_active) return true;
    return feed_values(stream, PyUnicode_KIND(chunk), PyUnicode_DATA(chunk),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(chunk)));
}

// The first call for values reads the text kept so far, once.
bool activate_values(Stream* stream) {
    if (stream->values_active) return true;
    if (!feed_values(stream, stream->text.kind(), stream->text.data(), static_cast<size_t>(stream->text.length()))) {
        return false;
    }
    stream->values_active = true;
    return true;
}

// Runs a builder call, turning its errors into Python ones over the text.
template <typename Call>
PyObject* with_values(Stream* stream, Call call) {
    if (!activate_values(stream)) return nullptr;
    try {
        return call(stream->values);
    } catch (const carrack::values::decode_error& error) {
        PyObject* doc = stream->text.to_str({});
        if (doc == nullptr) return nullptr;
        carrack::values::raise_decode_error(error, doc);
        Py_DECREF(doc);
    } catch (const carrack::values::python_error&) {
    } catch (...) {
        carrack::python::raise_caught_exception();
    }
    return nullptr;
}

PyObject* stream_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const keywords[] = {"partial", nullptr};
    PyObject* partial = nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs + nkw > 1) {
        PyErr_SetString(PyExc_TypeError, "value() takes at most 1 argument");
        return nullptr;
    }
    if (nargs == 1) {
        partial = args[0];
    } else if (nkw == 1) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, 0);
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, keywords[0]) != 0) {
            PyErr_Format(PyExc_TypeError, "value() got an unexpected keyword argument '%S'", name);
            return nullptr;
        }
        partial = args[0];
    }
    carrack::values::Policy policy = carrack::values::Policy::all;
    if (partial != nullptr) {
        if (PyUnicode_Check(partial) && PyUnicode_CompareWithASCIIString(partial, "all") == 0) {
            policy = carrack::values::Policy::all;
        } else if (PyUnicode_Check(partial) && PyUnicode_CompareWithASCIIString(partial, "strings") == 0) {
            policy = carrack::values::Policy::strings;
        } else if (PyUnicode_Check(partial) && PyUnicode_CompareWithASCIIString(partial, "closed") == 0) {
            policy = carrack::values::Policy::closed;
        } else {
            PyErr_Format(PyExc_ValueError, "partial must be 'all', 'strings' or 'closed', not %R", partial);
            return nullptr;
        }
    }
    Stream* stream = as_stream(self);
    return with_values(stream, [&](carrack::values::Builder& values) { return values.value(policy, stream->walker); });
}

PyObject* stream_close(PyObject* self, PyObject*) {
    return with_values(as_stream(self), [](carrack::values::Builder& values) { return values.close(); });
}

PyObject* stream_get_path(PyObject* self, void*) {
    return with_values(as_stream(self), [](carrack::values::Builder& values) { return values.path(); });
}

PyObject* stream_get_done(PyObject* self, void*) {
    if (!activate_values(as_stream(self))) return nullptr;
    return PyBool_FromLong(as_stream(self)->values.done());
}

// ---------------------------------------------------------------------------
// Feeding and completing
// ---------------------------------------------------------------------------

PyObject* stream_feed(PyObject* self, PyObject* chunk) {
    if (!PyUnicode_Check(chunk)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "chunk",
                     "str", Py_TYPE(chunk)->tp_name);
        return nullptr;
    }
    Stream* stream = as_stream(self);
    if (stream->values.closed()) {
        PyErr_SetString(PyExc_ValueError, "feed() after close()");
        return nullptr;
    }
    bool kept = false;
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
            bool& kept;
            ~Keep() {
                stream->text.append(chunk);
                kept = true;
            }
        } keep{stream, chunk, kept};
        carrack::python::feed_str(stream->walker, chunk);
    } catch (...) {
        // The values read the kept chunk too; the walker's error is the one raised.
        if (kept && !PyErr_Occurred() && !feed_values(stream, chunk)) PyErr_Clear();
        carrack::python::raise_caught_exception();
        return nullptr;
    }
    if (!feed_values(stream, chunk)) return nullptr;
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
     "feed($self, chunk, /)\n--\n\n"
     "Append chunk (a str) to the text, walking only the chunk.\n\n"
     "Raises RuntimeError when bytes are left over after the JSON value, and\n"
     "RecursionError when arrays and objects nest more than 1,000,000 levels deep;\n"
     "from then on feed, suffix and completion() raise the same again. A chunk\n"
     "holding a lone surrogate raises UnicodeEncodeError and changes nothing."},
    {"completion", stream_completion, METH_NOARGS,
     "completion($self, /)\n--\n\n"
     "The text with the suffix appended: equal to carrack(text), without walking\n"
     "the text again (the text is copied into the new str)."},
    {"value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_value)),
     METH_FASTCALL | METH_KEYWORDS,
     "value($self, /, partial='all')\n--\n\n"
     "The Python value of the text so far, at the cost of what was fed since the\n"
     "last call plus what is still open (the widths of open arrays and objects,\n"
     "the length of an open string).\n\n"
     "partial='all' gives json.loads(completion(), strict=False). 'strings' leaves\n"
     "out open numbers and literals, object members whose key is unfinished or\n"
     "whose value is not begun or left out, and keeps an open string up to its\n"
     "last whole character; 'closed' also leaves out open strings. Open arrays\n"
     "and objects appear with the members kept; a root left out gives None.\n\n"
     "Closed values are shared between results, and each result has its own\n"
     "copies of the containers still open, so a result never changes after it is\n"
     "returned. Do not mutate the values inside a result: later results share\n"
     "them.\n\n"
     "Raises json.JSONDecodeError, with pos at the first character that no JSON\n"
     "text continues from, when the text is not JSON (ValueError for an integer\n"
     "beyond sys.get_int_max_str_digits())."},
    {"close", stream_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "End the stream: json.loads(text, strict=False). Raises json.JSONDecodeError\n"
     "unless the text is exactly one complete value. feed raises ValueError after."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"text", stream_get_text, nullptr, "Everything fed so far, as one str.", nullptr},
    {"suffix", stream_get_suffix, nullptr,
     "What carrack(text) appends to the text: ASCII, computed from the walk's state\n"
     "in time proportional to the nesting depth.",
     nullptr},
    {"path", stream_get_path, nullptr,
     "Keys and indices from the root to the value being written, as a tuple;\n"
     "everything in value() off this path is final.",
     nullptr},
    {"done", stream_get_done, nullptr,
     "Whether the root value has ended (a number at the root: once whitespace\n"
     "follows it).",
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
#ifdef Py_GIL_DISABLED
    // Each Stream guards its own state; the module has none.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
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
