// The `Geocoder` class: one opened address sheet and an optional POI sheet.
//
// Instances are immutable after construction, so the query methods may run
// on several Python threads at once and hand the sheets to worker threads
// with the interpreter lock released; the shared_ptrs keep the sheets alive
// for as long as any call still uses them, even if the object goes away.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "index/index.hpp"

namespace tarnwik::py {

struct GeocoderObject {
    PyObject_HEAD
    std::shared_ptr<const Index> address;
    std::shared_ptr<const Index> poi;  // null: no POI layer
};

// The class object; ready once the module has run its exec step.
PyTypeObject* geocoder_type();

// `self` of a Geocoder method.
inline const GeocoderObject& as_geocoder(PyObject* self) {
    return *reinterpret_cast<const GeocoderObject*>(self);
}

// Whether a POI sheet may serve next to an address sheet: nothing when the
// pair is accepted, otherwise the refusal text. Writes the one-line warning
// to standard error when either sheet does not say its country.
std::optional<std::string> check_pair(const Index& address, const Index& poi);

}  // namespace tarnwik::py
