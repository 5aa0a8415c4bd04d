#include "py/binder.hpp"

#include <string_view>

namespace tarnwik::py {

namespace {

// Python object that is released when it leaves scope.
struct Owned {
    PyObject* p;
    explicit Owned(PyObject* o) : p(o) {}
    ~Owned() { Py_XDECREF(p); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    explicit operator bool() const { return p != nullptr; }
};

size_t required_count(const Signature& sig) {
    size_t n = 0;
    for (const Param& p : sig.params) n += p.required ? 1 : 0;
    return n;
}

void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    const size_t required = required_count(sig);
    const size_t total = sig.params.size();
    if (required == total) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     sig.function, total, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given",
                     sig.function, required, total, given, verb);
    }
}

bool take_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> slots) {
    if (static_cast<size_t>(nargs) > sig.params.size()) {
        too_many_positional(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    return true;
}

bool take_keyword(const Signature& sig, PyObject* key, PyObject* value,
                  std::span<PyObject*> slots) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    for (size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) != 0) continue;
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         sig.function, sig.params[i].name);
            return false;
        }
        slots[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.function,
                 key);
    return false;
}

bool check_missing(const Signature& sig, std::span<PyObject*> slots) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < sig.params.size(); ++i) {
        if (sig.params[i].required && !slots[i]) missing.push_back(sig.params[i].name);
    }
    if (missing.empty()) return true;

    std::string msg = sig.function;
    msg += " missing " + std::to_string(missing.size()) + " required positional ";
    msg += missing.size() == 1 ? "argument: " : "arguments: ";
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i != 0) {
            if (missing.size() > 2) msg += ',';
            msg += i + 1 == missing.size() ? " and " : " ";
        }
        msg += '\'';
        msg += missing[i];
        msg += '\'';
    }
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

void clear_slots(std::span<PyObject*> slots) {
    for (PyObject*& s : slots) s = nullptr;
}

void attach_note(PyObject* exc, const char* param) {
    if (!exc) return;
    Owned note(PyUnicode_FromFormat("while processing '%s'", param));
    Owned done(note ? PyObject_CallMethod(exc, "add_note", "O", note.p) : nullptr);
    // A note that cannot be attached must not replace the caller's error.
    if (!done) PyErr_Clear();
}

}  // namespace

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    clear_slots(slots);
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > 0 && !take_positional(sig, PySequence_Fast_ITEMS(args), nargs, slots)) {
        return false;
    }
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!take_keyword(sig, key, value, slots)) return false;
        }
    }
    return check_missing(sig, slots);
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> slots) {
    clear_slots(slots);
    if (!take_positional(sig, args, nargs, slots)) return false;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!take_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
                return false;
            }
        }
    }
    return check_missing(sig, slots);
}

void note_argument(const char* param) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    attach_note(exc, param);
    PyErr_SetRaisedException(exc);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    attach_note(value, param);
    PyErr_Restore(type, value, tb);
#endif
}

void wrong_type(PyObject* value, const char* expected, const char* param) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        Owned name(PyType_GetName(Py_TYPE(value)));
        if (!name) {
            note_argument(param);
            return;
        }
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.p,
                     expected);
    }
    note_argument(param);
}

std::optional<std::string> path_arg(PyObject* value, const char* param) {
    Owned fs(PyOS_FSPath(value));  // str or bytes; TypeError for anything else
    if (!fs) {
        note_argument(param);
        return std::nullopt;
    }
    Owned encoded(PyUnicode_Check(fs.p) ? PyUnicode_EncodeFSDefault(fs.p) : Py_NewRef(fs.p));
    char* data = nullptr;
    Py_ssize_t size = 0;
    // Passing the size lets embedded NUL bytes through.
    if (!encoded || PyBytes_AsStringAndSize(encoded.p, &data, &size) < 0) {
        note_argument(param);
        return std::nullopt;
    }
    return std::string(data, static_cast<size_t>(size));
}

std::optional<std::string> str_arg(PyObject* value, const char* param) {
    if (!PyUnicode_Check(value)) {
        wrong_type(value, "str", param);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);  // fails on lone surrogates
    if (!data) {
        note_argument(param);
        return std::nullopt;
    }
    return std::string(data, static_cast<size_t>(size));
}

std::optional<uint64_t> u64_arg(PyObject* value, const char* param) {
    Owned index(PyNumber_Index(value));
    if (!index) {
        note_argument(param);
        return std::nullopt;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.p);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        note_argument(param);
        return std::nullopt;
    }
    return static_cast<uint64_t>(v);
}

std::optional<double> f64_arg(PyObject* value, const char* param) {
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) {
        note_argument(param);
        return std::nullopt;
    }
    return v;
}

std::optional<std::vector<std::string>> str_seq_arg(PyObject* value, const char* param) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "a single 'str' is not accepted where a sequence of 'str' is expected");
        note_argument(param);
        return std::nullopt;
    }
    if (!PySequence_Check(value)) {
        wrong_type(value, "Sequence", param);
        return std::nullopt;
    }
    Owned fast(PySequence_Fast(value, "expected a sequence"));
    if (!fast) {
        note_argument(param);
        return std::nullopt;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.p);
    PyObject** items = PySequence_Fast_ITEMS(fast.p);
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(n));
    // Nothing below runs Python code, so the items cannot change under us.
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto s = str_arg(items[i], param);
        if (!s) return std::nullopt;
        out.push_back(std::move(*s));
    }
    return out;
}

}  // namespace tarnwik::py
