// Binding of positional and keyword arguments to the named parameters of a callable.
//
// Every callable takes its parameters by position or keyword. The first `required` parameters
// must be given; the rest are optional (their defaults are the callable's business).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "errors.hpp"

namespace sorvane::frame {

template <std::size_t N>
struct Signature {
    const char* name;
    std::array<const char*, N> params;
    std::size_t required = N;
};

template <std::size_t N>
class Args {
public:
    // Vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
    Args(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : sig_(sig) {
        bind_positional(args, nargs);
        Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; i < nkw; ++i) bind_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
        check_required();
    }

    // Tuple and dict convention (tp_new, tp_init).
    Args(const Signature<N>& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
        bind_positional(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
        if (kwargs != nullptr) {
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(key, value);
        }
        check_required();
    }

    // The argument bound to parameter i (borrowed), or null when it was not given.
    PyObject* operator[](std::size_t i) const { return values_[i]; }
    bool given(std::size_t i) const { return values_[i] != nullptr; }

private:
    [[noreturn]] void raise_count(bool too_few, Py_ssize_t given) const {
        bool exact = sig_.required == N;
        Py_ssize_t expected = static_cast<Py_ssize_t>(too_few ? sig_.required : N);
        const char* more_or_less = exact ? "exactly" : (too_few ? "at least" : "at most");
        raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig_.name,
                     more_or_less, expected, expected == 1 ? "" : "s", given);
    }

    void bind_positional(PyObject* const* args, Py_ssize_t nargs) {
        if (nargs > static_cast<Py_ssize_t>(N)) raise_count(false, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = args[i];
    }

    void bind_keyword(PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", sig_.name);
        for (std::size_t i = 0; i < N; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig_.params[i]) == 0) {
                if (values_[i] != nullptr) {
                    raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig_.name,
                                 key);
                }
                values_[i] = value;
                return;
            }
        }
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig_.name, key);
    }

    // The count reported for a missing parameter is the number of parameters bound before it.
    void check_required() const {
        for (std::size_t i = 0; i < sig_.required; ++i) {
            if (values_[i] == nullptr) raise_count(true, static_cast<Py_ssize_t>(i));
        }
    }

    const Signature<N>& sig_;
    std::array<PyObject*, N> values_{};
};

}  // namespace sorvane::frame
