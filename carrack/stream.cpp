// carrack._stream: carrack.Stream, which completes a text fed in chunks.
#include "carrack/python_support.hpp"

namespace {

PyModuleDef_Slot module_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "carrack._stream",  // m_name
    nullptr,            // m_doc
    0,                  // m_size
    nullptr,            // m_methods
    module_slots,       // m_slots
    nullptr,            // m_traverse
    nullptr,            // m_clear
    nullptr,            // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__stream() { return PyModuleDef_Init(&module_def); }
