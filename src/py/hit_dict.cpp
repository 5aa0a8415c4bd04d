#include "py/hit_dict.hpp"

#include <string_view>

namespace tarnwik::py {

namespace {

// Sheet texts are validated UTF-8 at open time; "replace" only guards
// against a text that slipped through, so one bad byte cannot fail a query.
PyObject* text(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// Takes ownership of `value`; false with the error pending when `value` is
// null or the insertion fails.
bool put(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* flag_list(const std::vector<FixedText>& flags) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(flags.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < flags.size(); ++i) {
        PyObject* item = text(flags[i]);
        if (!item) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

bool fill(PyObject* d, const Hit& hit) {
    // score and confidence are widened as they are: a stored 0.95f reads back
    // as 0.949999988079071, not as a re-rounded 0.95.
    return put(d, "lat", PyFloat_FromDouble(hit.lat)) &&
           put(d, "lon", PyFloat_FromDouble(hit.lon)) &&
           put(d, "precision", text(hit.precision)) &&
           put(d, "score", PyFloat_FromDouble(static_cast<double>(hit.score))) &&
           put(d, "street", text(hit.street)) &&
           (!hit.housenumber || put(d, "housenumber", text(*hit.housenumber))) &&
           put(d, "commune", text(hit.commune)) &&
           put(d, "postcode", text(hit.postcode)) &&
           put(d, "confidence", PyFloat_FromDouble(static_cast<double>(hit.confidence))) &&
           (hit.flags.empty() || put(d, "flags", flag_list(hit.flags))) &&
           (!hit.region || put(d, "region", text(*hit.region)));
}

}  // namespace

PyObject* hit_to_dict(const Hit& hit) {
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    if (!fill(d, hit)) {
        Py_DECREF(d);
        return nullptr;
    }
    return d;
}

}  // namespace tarnwik::py
