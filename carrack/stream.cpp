// carrack._stream: carrack.Stream, which completes a text fed in chunks at the
// cost of each chunk. It keeps the text and the engine's resumable Walker; a
// chunk is walked once, when it is fed, and never again. Its values, once
// asked for, come from a reader of the same chunks (carrack/values.hpp).
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "carrack/python_support.hpp"
#include "carrack/text_buffer.hpp"
#include "carrack/values.hpp"

namespace {

using carrack::python::Ref;
using carrack::python::TextBuffer;
using carrack::values::Values;

// ---------------------------------------------------------------------------
// The Stream type
// ---------------------------------------------------------------------------

struct State {
    carrack::Walker walker;
    TextBuffer text;
    // Built from the first call that asks for values on, so a caller that only
    // completes pays nothing for them. They are only ever a reading of the
    // text: when building them fails, they are dropped and read again later.
    std::unique_ptr<Values> values;
    std::unique_ptr<Values> dropped;  // released once the call is over
    bool closed = false;
    bool busy = false;  // a call is under way
};

struct Stream {
    PyObject_HEAD
    State state;
};

State& state_of(PyObject* self) { return reinterpret_cast<Stream*>(self)->state; }

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Stream() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        new (&state_of(self)) State();
    } catch (...) {
        // tp_alloc zeroed the object, and the constructor leaves nothing behind when it throws
        Py_TYPE(self)->tp_free(self);
        carrack::python::raise_caught_exception();
        return nullptr;
    }
    return self;
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    state_of(self).~State();
    type->tp_free(self);
    Py_DECREF(type);
}

// Callers can put the stream inside values it shares with them, so the
// collector must see what it holds.
int stream_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const State& state = state_of(self);
    for (const auto* values : {state.values.get(), state.dropped.get()}) {
        if (values == nullptr) continue;
        if (int status = values->traverse(visit, arg)) return status;
    }
    return 0;
}

// Values are a reading of the text, so dropping them loses nothing.
int stream_clear(PyObject* self) {
    State& state = state_of(self);
    std::unique_ptr<Values> values = std::move(state.values);
    std::unique_ptr<Values> dropped = std::move(state.dropped);
    return 0;
}

// ---------------------------------------------------------------------------
// One call at a time
// ---------------------------------------------------------------------------

// Releases what a call let go of, keeping the call's exception, if any: the
// finalizers this may run can use the stream again.
void release(std::vector<Ref>& garbage, std::unique_ptr<Values>& dropped) {
    if (garbage.empty() && !dropped) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    garbage.clear();
    dropped.reset();
    PyErr_Restore(type, value, traceback);
}

// Runs body(state) as the one call under way on the stream. Free-threaded
// builds serialise calls with the object's critical section. A call that
// arrives while another is under way (from a finalizer, an __eq__ or a gc
// callback run by that call, or from another thread while such code let go of
// the lock) is refused. Text that is not JSON is reported once the call is
// over, since building json.JSONDecodeError runs Python code.
template <typename Body>
PyObject* run(PyObject* self, Body body) {
    PyObject* result = nullptr;
    std::vector<Ref> garbage;
    std::unique_ptr<Values> dropped;
    std::optional<carrack::values::decode_error> decode_error;
    Ref doc;
    Py_BEGIN_CRITICAL_SECTION(self);
    State& state = state_of(self);
    if (state.busy) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Stream is in use: a call on it is under way (re-entered from code it ran, "
                        "such as a finalizer or an __eq__, or from another thread)");
    } else {
        state.busy = true;
        try {
            result = body(state);
        } catch (const carrack::values::decode_error& error) {
            decode_error = error;
            doc = Ref(state.text.to_str({}));
        } catch (const carrack::python::python_error&) {
        } catch (...) {
            carrack::python::raise_caught_exception();
        }
        if (state.values) garbage = state.values->take_garbage();
        dropped = std::move(state.dropped);
        state.busy = false;
    }
    Py_END_CRITICAL_SECTION();
    if (decode_error && doc) carrack::values::raise_decode_error(*decode_error, doc.get());
    release(garbage, dropped);
    return result;
}

// The values, read from the text kept so far when first asked for. Throws;
// values that fail part way are dropped, and the stream is as it was.
Values& values_of(State& state) {
    if (state.values) return *state.values;
    auto values = std::make_unique<Values>();
    try {
        switch (state.text.kind()) {
            case PyUnicode_1BYTE_KIND:
                values->feed(static_cast<const Py_UCS1*>(state.text.data()), static_cast<size_t>(state.text.length()));
                break;
            case PyUnicode_2BYTE_KIND:
                values->feed(static_cast<const Py_UCS2*>(state.text.data()), static_cast<size_t>(state.text.length()));
                break;
            default:
                values->feed(static_cast<const Py_UCS4*>(state.text.data()), static_cast<size_t>(state.text.length()));
                break;
        }
    } catch (...) {
        state.dropped = std::move(values);
        throw;
    }
    state.values = std::move(values);
    return *state.values;
}

void feed_values(Values& values, PyObject* chunk) {
    const auto size = static_cast<size_t>(PyUnicode_GET_LENGTH(chunk));
    const void* data = PyUnicode_DATA(chunk);
    switch (PyUnicode_KIND(chunk)) {
        case PyUnicode_1BYTE_KIND:
            values.feed(static_cast<const Py_UCS1*>(data), size);
            break;
        case PyUnicode_2BYTE_KIND:
            values.feed(static_cast<const Py_UCS2*>(data), size);
            break;
        default:
            values.feed(static_cast<const Py_UCS4*>(data), size);
            break;
    }
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
    return run(self, [chunk](State& state) -> PyObject* {
        if (state.closed) {
            PyErr_SetString(PyExc_ValueError, "feed() after close()");
            return nullptr;
        }
        state.walker.check();
        // Everything that can fail without ending the stream comes first, so
        // that such a failure leaves the stream as it was.
        if (carrack::python::holds_surrogate(chunk)) return carrack::python::raise_encode_error(chunk);
        state.text.reserve_for(chunk);
        if (state.values) {
            try {
                feed_values(*state.values, chunk);
            } catch (...) {
                state.dropped = std::move(state.values);
                throw;
            }
        }
        // A chunk that leaves bytes over is kept in the text: the text is then
        // what carrack() rejects, and the stream raises from now on.
        try {
            carrack::python::feed_str(state.walker, chunk);
        } catch (...) {
            state.text.append(chunk);
            throw;
        }
        state.text.append(chunk);
        Py_RETURN_NONE;
    });
}

PyObject* stream_completion(PyObject* self, PyObject*) {
    return run(self, [](State& state) { return state.text.to_str(state.walker.suffix()); });
}

PyObject* stream_get_text(PyObject* self, void*) {
    return run(self, [](State& state) { return state.text.to_str({}); });
}

PyObject* stream_get_suffix(PyObject* self, void*) {
    return run(self, [](State& state) {
        const std::string suffix = state.walker.suffix();
        return PyUnicode_FromStringAndSize(suffix.data(), static_cast<Py_ssize_t>(suffix.size()));
    });
}

PyObject* stream_repr(PyObject* self) {
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    const State& state = state_of(self);
    if (state.busy) {
        result = PyUnicode_FromString("<carrack.Stream: in use>");
    } else {
        result = PyUnicode_FromFormat("<carrack.Stream: %zd characters, %zu open>", state.text.length(),
                                      state.walker.depth());
    }
    Py_END_CRITICAL_SECTION();
    return result;
}

// ---------------------------------------------------------------------------
// Values: value(), path, done, close()
// ---------------------------------------------------------------------------

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
    return run(self, [policy](State& state) { return values_of(state).value(policy, state.walker); });
}

PyObject* stream_close(PyObject* self, PyObject*) {
    return run(self, [](State& state) {
        Values& values = values_of(state);
        state.closed = true;
        // The answer is json.loads(text), which the completer's refusal does
        // not change; a walk that nested too deep or ran out of memory stands.
        if (state.walker.failure() != carrack::Walker::Failure::rejected) state.walker.check();
        return values.close();
    });
}

PyObject* stream_get_path(PyObject* self, void*) {
    return run(self, [](State& state) {
        Values& values = values_of(state);
        state.walker.check();
        return values.path();
    });
}

PyObject* stream_get_done(PyObject* self, void*) {
    return run(self, [](State& state) {
        Values& values = values_of(state);
        state.walker.check();
        return PyBool_FromLong(values.done());
    });
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
     "The lists and dicts still open in a result belong to the caller: changing\n"
     "them changes nothing the stream returns later. Closed values are shared\n"
     "between results; copy them (copy.deepcopy) before changing them.\n\n"
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
    "to its length squared. Calls on a stream run one at a time; one made while\n"
    "another is under way (from code that call runs) raises RuntimeError.\n\n"
    ">>> stream = Stream()\n"
    ">>> stream.feed('{\"a\": [1, tr')\n"
    ">>> stream.suffix\n"
    "'ue]}'\n"
    ">>> stream.completion()\n"
    "'{\"a\": [1, true]}'";

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
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
