// carrack._batch: one-shot values, many texts at once, and Arrow columns. The
// functions of each part, put together into one module by batch_module.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace carrack::batch {

struct ModuleState {
    PyTypeObject* strings;  // the completed Arrow strings type
    // Stream's exceptions for text it rejects or that nests too deep, which
    // loads raises too: carrack._stream's own classes.
    PyObject* rejected;
    PyObject* too_deep;
};

ModuleState& module_state(PyObject* module);

// Adds a note naming the row to the exception being raised. Returns nullptr.
PyObject* note_row(Py_ssize_t row);

// batch.cpp
PyObject* loads(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* loads_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* complete_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// arrow.cpp
extern PyType_Spec strings_spec;
PyObject* arrow_complete_array(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* arrow_complete_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace carrack::batch
