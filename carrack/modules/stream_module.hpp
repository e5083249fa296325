// What the carrack._stream module shares with the Stream type: the objects
// events are made of, kept in the module's state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "carrack/values/events.hpp"

namespace carrack::stream {

struct ModuleState {
    PyObject* any;  // carrack.ANY: any key or index in a path
    values::EventNames names;
};

inline ModuleState& module_state(PyTypeObject* type) {
    return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

// The Stream type's spec, defined with the type.
extern PyType_Spec stream_spec;

}  // namespace carrack::stream
