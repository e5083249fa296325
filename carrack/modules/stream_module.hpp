// What the carrack._stream module shares with the Stream type: the objects
// events are made of, kept in the module's state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "carrack/values/events.hpp"

namespace carrack::stream {

// The exceptions a stream raises of its own, each a subclass of the built-in
// one callers caught before they existed.
struct Errors {
    PyObject* rejected;  // RejectedTextError(RuntimeError): the text is not JSON
    PyObject* too_deep;  // NestingTooDeepError(RecursionError)
    PyObject* in_use;    // StreamInUseError(RuntimeError): a call re-entered
    PyObject* closed;    // StreamClosedError(ValueError): fed after close()
};

struct ModuleState {
    PyObject* any;  // carrack.ANY: any key or index in a path
    values::EventNames names;
    Errors errors;
};

inline ModuleState& module_state(PyTypeObject* type) {
    return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

// The Stream type's spec, defined with the type.
extern PyType_Spec stream_spec;

// The SSE reader's learned-delta fast path (modules/learned_delta.cpp).
extern PyType_Spec learned_delta_spec;

}  // namespace carrack::stream
