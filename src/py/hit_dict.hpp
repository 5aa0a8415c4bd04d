// Conversion of engine hits into the dicts every query method returns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "query/hit.hpp"

namespace tarnwik::py {

// A new dict with the keys "lat", "lon", "precision", "score", "street",
// "housenumber" (only when the hit has one), "commune", "postcode",
// "confidence", "flags" (only when non-empty) and "region" (only when known),
// in that order. "distance_m" is left to the reverse method. Returns a new
// reference, or null with the host error pending. Needs the interpreter lock.
PyObject* hit_to_dict(const Hit& hit);

}  // namespace tarnwik::py
