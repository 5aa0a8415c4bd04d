// Geocoder.geocode_many(queries, k=1): many queries on the process's worker
// pool, a chunk at a time.
#include <algorithm>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "py/binder.hpp"
#include "py/geocode.hpp"
#include "py/geocoder.hpp"
#include "py/pool.hpp"
#include "query/cascade.hpp"

namespace tarnwik::py {

namespace {

constexpr Param kParams[] = {{"queries"}, {"k", false}};
constexpr Signature kSignature{"Geocoder.geocode_many()", kParams};
constexpr uint64_t kDefaultK = 1;
// Ctrl-C is noticed between chunks, and at most one chunk's results wait
// for conversion at a time.
constexpr size_t kChunk = 1024;

}  // namespace

const char kGeocodeManyDoc[] =
    "geocode_many($self, queries, k=1)\n--\n\n"
    "Batch of queries (thread pool; defaults to cores minus two to keep the machine\n"
    "responsive; override with the TARNWIK_THREADS env var — it is read when the\n"
    "pool for the current process is first built, so set it before the first call).\n"
    "Returns one list of up to `k` hits per query — the same shape as `geocode`,\n"
    "so `k` is honoured (an empty list means no match). Interruptible: Ctrl-C is\n"
    "checked between chunks and raises KeyboardInterrupt.";

PyObject* geocoder_geocode_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2];
    if (!bind(kSignature, args, nargs, kwnames, slots)) return nullptr;
    auto queries = str_seq_arg(slots[0], "queries");
    if (!queries) return nullptr;
    uint64_t k = kDefaultK;
    if (slots[1]) {
        auto given = u64_arg(slots[1], "k");
        if (!given) return nullptr;
        k = *given;
    }

    const GeocoderObject& g = as_geocoder(self);
    const Index& address = *g.address;
    const Index* poi = g.poi.get();

    const std::shared_ptr<WorkerPool> pool = acquire_pool();
    if (!pool) {
        PyErr_SetString(PyExc_RuntimeError, "cannot start a worker thread for the batch");
        return nullptr;
    }

    PyObject* results = PyList_New(0);
    if (!results) return nullptr;
    const std::span<const std::string> all(*queries);
    for (size_t start = 0; start < all.size(); start += kChunk) {
        if (PyErr_CheckSignals() < 0) {
            Py_DECREF(results);
            return nullptr;
        }
        const std::span<const std::string> chunk = all.subspan(start, std::min(kChunk, all.size() - start));
        std::vector<std::vector<Hit>> answers;
        std::exception_ptr error;
        PyThreadState* released = PyEval_SaveThread();
        try {
            answers = pool->map(chunk, [&](const std::string& q) {
                return query::query_cascade(address, poi, q, static_cast<size_t>(k));
            });
        } catch (...) {
            error = std::current_exception();
        }
        PyEval_RestoreThread(released);
        if (error) {
            raise_engine_exception(error);
            Py_DECREF(results);
            return nullptr;
        }
        for (const std::vector<Hit>& hits : answers) {
            PyObject* list = hits_to_list(hits);
            if (!list || PyList_Append(results, list) < 0) {
                Py_XDECREF(list);
                Py_DECREF(results);
                return nullptr;
            }
            Py_DECREF(list);
        }
    }
    return results;
}

}  // namespace tarnwik::py
