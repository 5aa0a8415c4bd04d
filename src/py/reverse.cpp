// Geocoder.reverse(lat, lon, k=3): the houses nearest to a point.
#include "py/reverse.hpp"

#include "py/binder.hpp"
#include "py/geocoder.hpp"
#include "py/hit_dict.hpp"
#include "query/reverse.hpp"

namespace tarnwik::py {

namespace {

constexpr Param kParams[] = {{"lat"}, {"lon"}, {"k", false}};
constexpr Signature kSignature{"Geocoder.reverse()", kParams};
constexpr uint64_t kDefaultK = 3;

}  // namespace

const char kReverseDoc[] = "reverse($self, lat, lon, k=3)\n--\n\nReverse geocoding: nearest houses to a point.";

PyObject* geocoder_reverse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[3];
    if (!bind(kSignature, args, nargs, kwnames, slots)) return nullptr;
    auto lat = f64_arg(slots[0], "lat");
    if (!lat) return nullptr;
    auto lon = f64_arg(slots[1], "lon");
    if (!lon) return nullptr;
    uint64_t k = kDefaultK;
    if (slots[2]) {
        auto given = u64_arg(slots[2], "k");
        if (!given) return nullptr;
        k = *given;
    }

    // The caller's reference keeps `self`, and with it the sheet, alive for
    // the whole call.
    const Index& address = *as_geocoder(self).address;
    PyThreadState* released = PyEval_SaveThread();
    auto hits = query::try_reverse(address, *lat, *lon, k);
    PyEval_RestoreThread(released);

    if (!hits) {
        const std::string& m = hits.error().message;
        PyObject* text = PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace");
        if (text) {
            PyErr_SetObject(PyExc_ValueError, text);
            Py_DECREF(text);
        }
        return nullptr;
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(hits->size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < hits->size(); ++i) {
        const Hit& h = (*hits)[i];
        PyObject* d = hit_to_dict(h);
        if (d && h.distance_m) {
            PyObject* dist = PyFloat_FromDouble(*h.distance_m);
            if (!dist || PyDict_SetItemString(d, "distance_m", dist) < 0) Py_CLEAR(d);
            Py_XDECREF(dist);
        }
        if (!d) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), d);
    }
    return list;
}

}  // namespace tarnwik::py
