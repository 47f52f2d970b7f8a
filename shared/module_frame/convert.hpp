// Conversions of Python arguments to C++ values, with the messages callers see.
#pragma once

#include <Python.h>

#include <cstdint>
#include <limits>

#include "errors.hpp"
#include "ref.hpp"

namespace sorvane::frame {

// An exact Python int, or the result of the object's __int__ (a float is truncated toward zero).
inline Ref as_python_int(PyObject* obj) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) raise(PyExc_TypeError, "an integer is required");
    Ref result = check(number->nb_int(obj));
    if (!PyLong_Check(result.get())) {
        raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
    }
    return result;
}

// Signed integer of type T; `type_name` names T in the overflow message.
template <typename T>
T to_signed(PyObject* obj, const char* type_name) {
    Ref number = as_python_int(obj);
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0 || value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
        raise_format(PyExc_OverflowError, "value too large to convert to %s", type_name);
    }
    return static_cast<T>(value);
}

// Unsigned integer of type T: negative values and values above T's range raise OverflowError.
template <typename T>
T to_unsigned(PyObject* obj, const char* type_name) {
    Ref number = as_python_int(obj);
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        raise_format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
    }
    unsigned long long wide = 0;
    if (overflow == 0) {
        wide = static_cast<unsigned long long>(value);
    } else {
        wide = PyLong_AsUnsignedLongLong(number.get());
        if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            raise_format(PyExc_OverflowError, "value too large to convert to %s", type_name);
        }
    }
    if (wide > std::numeric_limits<T>::max()) {
        raise_format(PyExc_OverflowError, "value too large to convert to %s", type_name);
    }
    return static_cast<T>(wide);
}

inline int to_int(PyObject* obj) { return to_signed<int>(obj, "int"); }
inline std::int64_t to_int64(PyObject* obj) { return to_signed<std::int64_t>(obj, "int64_t"); }
inline std::size_t to_size_t(PyObject* obj) { return to_unsigned<std::size_t>(obj, "size_t"); }

// A float, int, or object with __float__ or __index__; the interpreter's own TypeError otherwise.
inline double to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return value;
}

inline bool to_bool(PyObject* obj) { return check_status(PyObject_IsTrue(obj)) != 0; }

// len(obj)
inline Py_ssize_t length(PyObject* obj) {
    Py_ssize_t size = PyObject_Length(obj);
    if (size < 0) throw PythonError{};
    return size;
}

// Type check of a declared parameter type; None always passes (callers decide about None).
// `exact` rejects subclasses (declared `str`, `list`, `set`).
inline void check_arg_type(PyObject* obj, PyTypeObject* type, const char* param, bool exact) {
    if (obj == Py_None) return;
    bool ok = exact ? Py_IS_TYPE(obj, type) : PyObject_TypeCheck(obj, type);
    if (!ok) {
        raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                     type->tp_name, Py_TYPE(obj)->tp_name);
    }
}

// Same message for a None that a kernel cannot work with.
inline void check_not_none(PyObject* obj, PyTypeObject* type, const char* param) {
    if (obj == Py_None) {
        raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                     type->tp_name, Py_TYPE(obj)->tp_name);
    }
}

inline Ref py_int(long long value) { return check(PyLong_FromLongLong(value)); }
inline Ref py_float(double value) { return check(PyFloat_FromDouble(value)); }
inline Ref py_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
inline Ref py_none() { return Ref::borrow(Py_None); }

}  // namespace sorvane::frame
