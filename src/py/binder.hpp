// Argument binding for the module's callables.
//
// Every constructor and method binds its arguments the same way, with the
// same TypeError wording, so the binding lives here once: a callable declares
// its parameters in a `Signature`, `bind` matches positional and keyword
// arguments to them, and the `*_arg` converters turn one bound value into a
// C++ value. A converter that fails leaves the host's own exception pending,
// unchanged except for the note "while processing '<parameter>'".
//
// All functions here must be called with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwik::py {

struct Param {
    const char* name;
    bool required = true;  // false: the callable supplies a default when omitted
};

// One callable's parameters, all positional-or-keyword, self left out.
// Required parameters come first.
struct Signature {
    const char* function;  // as named in messages: "Geocoder.geocode()"
    std::span<const Param> params;
};

// Binds the call's arguments to `sig`: on success `slots[i]` holds a borrowed
// reference to the value of parameter i, or nullptr when an optional
// parameter was omitted. On failure a TypeError is pending and the result is
// false. `slots` must have one entry per parameter.
//
// The tuple/dict form serves tp_new and METH_VARARGS | METH_KEYWORDS; the
// vector form serves METH_FASTCALL | METH_KEYWORDS (`kwnames` may be null).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> slots);

// Converters. Each returns nothing with an exception pending on failure.

// str, bytes or os.PathLike, as the file system sees it (str is encoded with
// the file-system encoding). Embedded NUL bytes are kept: the opener refuses
// such a path with its own message.
std::optional<std::string> path_arg(PyObject* value, const char* param);
// A str (or subclass) as UTF-8.
std::optional<std::string> str_arg(PyObject* value, const char* param);
// Anything usable as an integer index that fits 64 unsigned bits.
std::optional<uint64_t> u64_arg(PyObject* value, const char* param);
// Anything the host float conversion accepts.
std::optional<double> f64_arg(PyObject* value, const char* param);
// A sequence whose every element is a str; a single str is refused rather
// than read as a sequence of characters. All elements are converted before
// this returns.
std::optional<std::vector<std::string>> str_seq_arg(PyObject* value, const char* param);

// Attaches "while processing '<param>'" to the pending exception. For
// converters written outside this file.
void note_argument(const char* param);

// Sets TypeError "'<type>' object is not an instance of '<expected>'" (or
// "'None' is not an instance of '<expected>'") and attaches the note.
void wrong_type(PyObject* value, const char* expected, const char* param);

}  // namespace tarnwik::py
