#include "py/geocoder.hpp"

#include <cstdio>
#include <new>
#include <string_view>

#include "py/binder.hpp"
#include "py/geocode.hpp"
#include "py/reverse.hpp"
#include "util/text.hpp"

namespace tarnwik::py {

namespace {

constexpr char kWarningNoCountry[] =
    "warning: sheet without country identity (pre-v6 or no --meta) — pair not verified\n";

constexpr Param kNewParams[] = {{"index_path"}, {"poi", false}};
constexpr Signature kNew{"Geocoder.__new__()", kNewParams};

PyObject* raise(PyObject* type, std::string_view message) {
    // Engine messages are UTF-8; a stray byte must not turn into a different
    // exception than the one the caller expects.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace");
    if (text) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    return nullptr;
}

PyObject* geocoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* slots[2];
    if (!bind(kNew, args, kwargs, slots)) return nullptr;

    // Both paths are converted before anything is opened, so a bad `poi`
    // is reported as such even when `index_path` does not exist.
    auto index_path = path_arg(slots[0], "index_path");
    if (!index_path) return nullptr;
    std::optional<std::string> poi_path;
    if (slots[1] && slots[1] != Py_None) {
        poi_path = path_arg(slots[1], "poi");
        if (!poi_path) return nullptr;
    }

    // The sheets are released by their shared_ptrs on every early return.
    auto address = Index::open_address(*index_path);
    if (!address) return raise(PyExc_OSError, address.error().message);
    std::shared_ptr<const Index> poi;
    if (poi_path) {
        auto opened = Index::open(*poi_path);
        if (!opened) return raise(PyExc_OSError, opened.error().message);
        if (auto refusal = check_pair(**address, **opened)) return raise(PyExc_ValueError, *refusal);
        poi = std::move(*opened);
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<GeocoderObject*>(self);
    new (&obj->address) std::shared_ptr<const Index>(std::move(*address));
    new (&obj->poi) std::shared_ptr<const Index>(std::move(poi));
    return self;
}

void geocoder_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<GeocoderObject*>(self);
    obj->address.~shared_ptr();
    obj->poi.~shared_ptr();
    Py_TYPE(self)->tp_free(self);
}

// Query methods register here; their bodies live in their own files.
PyMethodDef geocoder_methods[] = {
    {"reverse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(geocoder_reverse)),
     METH_FASTCALL | METH_KEYWORDS, kReverseDoc},
    {"geocode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(geocoder_geocode)),
     METH_FASTCALL | METH_KEYWORDS, kGeocodeDoc},
    {"geocode_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(geocoder_geocode_many)),
     METH_FASTCALL | METH_KEYWORDS, kGeocodeManyDoc},
    {nullptr, nullptr, 0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: a subclass could add state that the query methods
// know nothing about, and nothing needs one. The slots left out are meant to
// be zero, which is what the C API documents for a static type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject geocoder_type_object = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarnwik.Geocoder",
    .tp_basicsize = sizeof(GeocoderObject),
    .tp_itemsize = 0,
    .tp_dealloc = geocoder_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_doc = "Geocoder(index_path, poi=None)\n--\n\n"
              "Single-country geocoder: opens an index file (mmap, effectively instant).",
    .tp_methods = geocoder_methods,
    .tp_new = geocoder_new,
};
#pragma GCC diagnostic pop

}  // namespace

PyTypeObject* geocoder_type() { return &geocoder_type_object; }

std::optional<std::string> check_pair(const Index& address, const Index& poi) {
    const auto a = address.country();
    const auto p = poi.country();
    if (a && p && *a != *p) {
        return "POI layer is for country " + text::debug_quote(*p) +
               " but the address sheet is for " + text::debug_quote(*a) + " — wrong file pair";
    }
    if (!a || !p) {
        std::fputs(kWarningNoCountry, stderr);
        std::fflush(stderr);
    }
    if (auto layer = address.meta_value("layer"); layer && *layer != "addresses") {
        return "expected an address sheet, got layer " + text::debug_quote(*layer);
    }
    if (auto layer = poi.meta_value("layer"); layer && *layer != "poi") {
        return "expected a POI layer as --poi, got layer " + text::debug_quote(*layer);
    }
    return std::nullopt;
}

}  // namespace tarnwik::py
