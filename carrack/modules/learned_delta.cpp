// carrack._stream._LearnedDelta: ToolCalls.feed_sse for the commonest chunk,
// one whole event that is the learned delta around another fragment. The
// collector's SSE reader teaches it the shape; a chunk of that shape is read
// (carrack/sse/), its fragment fed to the part's stream and [part] returned in
// this one call; any other chunk, or a part no longer plainly streaming, goes
// to the fallback, the general path, unchanged.
#include <cstddef>
#include <optional>
#include <string_view>

#include "carrack/modules/stream_module.hpp"
#include "carrack/python/pyref.hpp"
#include "carrack/python/python_support.hpp"
#include "carrack/sse/learned_delta.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif

namespace {

using carrack::python::Ref;
using carrack::python::take_exception;

// The attribute names the guards read, and the part's refusal handler.
enum Name { ended, opened, rest, feed_name, refused, name_count };
constexpr const char* name_texts[name_count] = {"_ended", "_opened", "_rest", "_feed", "_refused"};
constexpr int guarded = 4;  // the part's attributes that the guards read: names[0, 4)

// Where the part's type keeps the slots the guards read, found when the shape
// is learned: reading them there costs a load, where getattr costs a look-up
// in the type. Good while the part's type is that type, unchanged since (its
// version tag moves whenever the class is modified); otherwise getattr.
struct Slots {
    PyTypeObject* type = nullptr;  // borrowed: the learned part keeps it alive
    unsigned int version = 0;
    Py_ssize_t offsets[guarded] = {};  // of _ended, _opened, _rest, _feed
};

struct LearnedDelta {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* fallback;  // the general path, called with the chunk
    // (before: bytes, after: bytes, fixed: bytes | None, part, feed, owner), or
    // nullptr while there is no shape or the decoder holds bytes. Replaced whole,
    // never changed: a call holds its own reference.
    PyObject* learned;
    Slots slots;  // of the learned part
    PyObject* names[name_count];
    bool busy;  // a call is past its checks: one that re-enters takes the general path
};

LearnedDelta* cast(PyObject* self) { return reinterpret_cast<LearnedDelta*>(self); }

std::string_view view(PyObject* bytes) {
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// Whether object.name is `expected`; false also when reading it raised (the
// general path then reads it again, and raises what it raises).
bool attribute_is(PyObject* object, PyObject* name, PyObject* expected) {
    PyObject* value = PyObject_GetAttr(object, name);
    if (value == nullptr) {
        PyErr_Clear();
        return false;
    }
    bool same = value == expected;
    Py_DECREF(value);
    return same;
}

// The slots of the part's type that hold the guards' attributes, when each is
// a plain object slot (__slots__); else a Slots with no type.
Slots find_slots(PyObject* part, PyObject* const* names) {
    Slots slots;
    PyTypeObject* type = Py_TYPE(part);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Type_AssignVersionTag(type)) return slots;
#endif
    for (int i = 0; i < guarded; ++i) {
        PyObject* descriptor = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), names[i]);
        if (descriptor == nullptr) {
            PyErr_Clear();
            return {};
        }
        bool plain = Py_IS_TYPE(descriptor, &PyMemberDescr_Type) &&
                     reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member->type == Py_T_OBJECT_EX &&
                     PyObject_TypeCheck(part, reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_common.d_type);
        if (plain) slots.offsets[i] = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member->offset;
        Py_DECREF(descriptor);
        if (!plain) return {};
    }
    slots.version = type->tp_version_tag;
    if (slots.version != 0) slots.type = type;
    return slots;
}

// Whether the part is plainly streaming: not ended, opened, nothing refused,
// and still fed by the feed learned with it (the general path reads _feed anew).
bool plainly_streaming(PyObject* part, PyObject* feed, const Slots& slots, PyObject* const* names) {
    if (Py_TYPE(part) == slots.type && slots.type->tp_version_tag == slots.version) {
        auto slot = [&](int i) { return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(part) + slots.offsets[i]); };
        return slot(ended) == Py_False && slot(opened) == Py_True && slot(rest) == Py_None && slot(feed_name) == feed;
    }
    return attribute_is(part, names[ended], Py_False) && attribute_is(part, names[opened], Py_True) &&
           attribute_is(part, names[rest], Py_None) && attribute_is(part, names[feed_name], feed);
}

// Feeds the fragment as the part's _add would: a refusal goes to
// part._refused(fragment, error), run as inside an except block, so that what
// it raises has the refusal as its context.
bool feed(PyObject* self, PyObject* part, PyObject* feed, PyObject* fragment) {
    PyObject* args[2] = {nullptr, fragment};
    PyObject* result = PyObject_Vectorcall(feed, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result != nullptr) {
        Py_DECREF(result);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    Ref error = take_exception();
    PyObject* handled = PyErr_GetHandledException();
    PyErr_SetHandledException(error.get());
    PyObject* call[3] = {part, fragment, error.get()};
    result = PyObject_VectorcallMethod(cast(self)->names[refused], call, 3, nullptr);
    PyErr_SetHandledException(handled);
    Py_XDECREF(handled);
    Py_XDECREF(result);
    return result != nullptr;
}

// The chunk read here, or nullopt for the general path (no exception set),
// or an empty Ref with an exception set.
std::optional<Ref> read(PyObject* self, PyObject* learned, const Slots& slots, PyObject* chunk) {
    PyObject* after = PyTuple_GET_ITEM(learned, 1);
    PyObject* fixed = PyTuple_GET_ITEM(learned, 2);
    PyObject* part = PyTuple_GET_ITEM(learned, 3);
    PyObject* owner = PyTuple_GET_ITEM(learned, 5);
    const carrack::sse::Shape shape{view(PyTuple_GET_ITEM(learned, 0)), view(after),
                                    fixed == Py_None ? std::nullopt : std::optional(view(fixed))};
    const std::string_view text = view(chunk);
    const auto fragment = carrack::sse::match(text, shape);
    if (!fragment) return std::nullopt;
    // The part must be plainly streaming, as the general path's fast feed requires.
    PyObject** names = cast(self)->names;
    PyObject* feed_method = PyTuple_GET_ITEM(learned, 4);
    if (!attribute_is(owner, names[ended], Py_False) || !plainly_streaming(part, feed_method, slots, names)) {
        return std::nullopt;
    }
    if (fragment->length == 0) return Ref(PyList_New(0));
    // Made before the fragment is fed, so that a failure changes nothing.
    Ref list(PyList_New(1));
    if (!list) return Ref();
    Ref text_object(PyUnicode_New(static_cast<Py_ssize_t>(fragment->length), fragment->max_char));
    if (!text_object) return Ref();
    carrack::sse::decode(text, *fragment, PyUnicode_DATA(text_object.get()),
                         static_cast<int>(PyUnicode_KIND(text_object.get())));
    if (!feed(self, part, feed_method, text_object.get())) return Ref();
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(part));
    return list;
}

PyObject* learned_delta_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Ref learned;
    Ref fallback;
    Slots slots;
    Py_BEGIN_CRITICAL_SECTION(self);
    LearnedDelta* delta = cast(self);
    fallback = Ref::borrow(delta->fallback);
    if (!delta->busy && delta->learned != nullptr) {
        learned = Ref::borrow(delta->learned);
        slots = delta->slots;
        delta->busy = true;
    }
    Py_END_CRITICAL_SECTION();
    if (!fallback) {
        PyErr_SetString(PyExc_ValueError, "the reader was cleared");
        return nullptr;
    }
    if (learned) {
        std::optional<Ref> result;
        if (PyVectorcall_NARGS(nargsf) == 1 && kwnames == nullptr && PyBytes_CheckExact(args[0])) {
            result = read(self, learned.get(), slots, args[0]);
        }
        Py_BEGIN_CRITICAL_SECTION(self);
        cast(self)->busy = false;
        Py_END_CRITICAL_SECTION();
        if (result) return result->release();
    }
    return PyObject_Vectorcall(fallback.get(), args, nargsf, kwnames);
}

PyObject* learned_delta_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* fallback = nullptr;
    if (!PyArg_ParseTuple(args, "O:_LearnedDelta", &fallback)) return nullptr;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "_LearnedDelta() takes no keyword arguments");
        return nullptr;
    }
    if (!PyCallable_Check(fallback)) {
        PyErr_SetString(PyExc_TypeError, "the fallback must be callable");
        return nullptr;
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    LearnedDelta* delta = cast(self.get());
    delta->vectorcall = learned_delta_call;
    for (int i = 0; i < name_count; ++i) {
        delta->names[i] = PyUnicode_InternFromString(name_texts[i]);
        if (delta->names[i] == nullptr) return nullptr;
    }
    delta->fallback = Py_NewRef(fallback);
    return self.release();
}

// learn(shape): the shape to read, or None to send every chunk to the fallback.
PyObject* learned_delta_learn(PyObject* self, PyObject* learned) {
    if (learned != Py_None) {
        if (!PyTuple_CheckExact(learned) || PyTuple_GET_SIZE(learned) != 6 ||
            !PyBytes_CheckExact(PyTuple_GET_ITEM(learned, 0)) || !PyBytes_CheckExact(PyTuple_GET_ITEM(learned, 1)) ||
            !(PyTuple_GET_ITEM(learned, 2) == Py_None || PyBytes_CheckExact(PyTuple_GET_ITEM(learned, 2))) ||
            !PyCallable_Check(PyTuple_GET_ITEM(learned, 4))) {
            PyErr_SetString(PyExc_TypeError,
                            "learn() takes None or (before: bytes, after: bytes, fixed: bytes | None, part, feed, owner)");
            return nullptr;
        }
    }
    const Slots slots = learned == Py_None ? Slots{} : find_slots(PyTuple_GET_ITEM(learned, 3), cast(self)->names);
    PyObject* old = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = cast(self)->learned;
    cast(self)->learned = learned == Py_None ? nullptr : Py_NewRef(learned);
    cast(self)->slots = slots;
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
    Py_RETURN_NONE;
}

int learned_delta_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(cast(self)->fallback);
    Py_VISIT(cast(self)->learned);
    return 0;
}

int learned_delta_clear(PyObject* self) {
    Py_CLEAR(cast(self)->fallback);
    Py_CLEAR(cast(self)->learned);
    return 0;
}

void learned_delta_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    learned_delta_clear(self);
    for (PyObject*& name : cast(self)->names) Py_CLEAR(name);
    type->tp_free(self);
    Py_DECREF(type);
}

// The fallback, the method the reader stands in for: inspect.signature() and
// tools that follow __wrapped__ show its signature.
PyObject* learned_delta_wrapped(PyObject* self, void*) {
    PyObject* fallback = cast(self)->fallback;
    if (fallback == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "__wrapped__");
        return nullptr;
    }
    return Py_NewRef(fallback);
}

PyGetSetDef learned_delta_getset[] = {
    {"__wrapped__", learned_delta_wrapped, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef learned_delta_methods[] = {
    {"learn", learned_delta_learn, METH_O, "learn($self, shape, /)\n--\n\nThe shape to read, or None to read none."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef learned_delta_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(LearnedDelta, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot learned_delta_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(learned_delta_new)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(learned_delta_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(learned_delta_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(learned_delta_dealloc)},
    {Py_tp_methods, learned_delta_methods},
    {Py_tp_members, learned_delta_members},
    {Py_tp_getset, learned_delta_getset},
    {Py_tp_doc, const_cast<char*>("_LearnedDelta(fallback, /)\n--\n\n"
                                  "Reads a chunk of SSE bytes that is one event of the learned shape; "
                                  "gives any other to the fallback.")},
    {0, nullptr},
};

}  // namespace

namespace carrack::stream {

PyType_Spec learned_delta_spec = {
    "carrack._stream._LearnedDelta", sizeof(LearnedDelta), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    learned_delta_slots};

}  // namespace carrack::stream
