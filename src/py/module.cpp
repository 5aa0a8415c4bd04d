// The extension module: its only attribute is the Geocoder class.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py/geocoder.hpp"

namespace {

int exec_module(PyObject* module) {
    PyTypeObject* type = tarnwik::py::geocoder_type();
    if (PyType_Ready(type) < 0) return -1;
    return PyModule_AddObjectRef(module, "Geocoder", reinterpret_cast<PyObject*>(type));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarnwik",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tarnwik() { return PyModuleDef_Init(&module_def); }
