// Geocoder.reverse, registered in the Geocoder's method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarnwik::py {

extern const char kReverseDoc[];

// METH_FASTCALL | METH_KEYWORDS.
PyObject* geocoder_reverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnwik::py
