// Geocoder.geocode(q, k=10): one free-text query.
#include "py/geocode.hpp"

#include <exception>
#include <new>

#include "py/binder.hpp"
#include "py/geocoder.hpp"
#include "py/hit_dict.hpp"
#include "query/cascade.hpp"

namespace tarnwik::py {

namespace {

constexpr Param kParams[] = {{"q"}, {"k", false}};
constexpr Signature kSignature{"Geocoder.geocode()", kParams};
constexpr uint64_t kDefaultK = 10;

}  // namespace

const char kGeocodeDoc[] =
    "geocode($self, q, k=10)\n--\n\n"
    "Single query: returns a list of dicts (lat, lon, precision, score, street,\n"
    "optional housenumber, commune, postcode).";

PyObject* hits_to_list(const std::vector<Hit>& hits) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(hits.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < hits.size(); ++i) {
        PyObject* d = hit_to_dict(hits[i]);
        if (!d) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), d);
    }
    return list;
}

void raise_engine_exception(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown failure in the geocoding engine");
    }
}

PyObject* geocoder_geocode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2];
    if (!bind(kSignature, args, nargs, kwnames, slots)) return nullptr;
    auto q = str_arg(slots[0], "q");
    if (!q) return nullptr;
    uint64_t k = kDefaultK;
    if (slots[1]) {
        auto given = u64_arg(slots[1], "k");
        if (!given) return nullptr;
        k = *given;
    }

    // The caller's reference keeps `self`, and with it both sheets, alive
    // for the whole call.
    const GeocoderObject& g = as_geocoder(self);
    std::vector<Hit> hits;
    std::exception_ptr error;
    PyThreadState* released = PyEval_SaveThread();
    try {
        hits = query::query_cascade(*g.address, g.poi.get(), *q, static_cast<size_t>(k));
    } catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(released);
    if (error) {
        raise_engine_exception(error);
        return nullptr;
    }
    return hits_to_list(hits);
}

}  // namespace tarnwik::py
