// Geocoder.geocode and Geocoder.geocode_many, registered in the Geocoder's
// method table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <vector>

#include "query/hit.hpp"

namespace tarnwik::py {

extern const char kGeocodeDoc[];
extern const char kGeocodeManyDoc[];

// METH_FASTCALL | METH_KEYWORDS.
PyObject* geocoder_geocode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* geocoder_geocode_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A new list of hit_to_dict dicts, or null with the host error pending.
PyObject* hits_to_list(const std::vector<Hit>& hits);

// Sets the Python exception for a C++ exception caught around an engine
// call (MemoryError for an allocation failure, RuntimeError otherwise).
// Needs the interpreter lock.
void raise_engine_exception(std::exception_ptr error);

}  // namespace tarnwik::py
