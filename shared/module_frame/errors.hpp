// Failures inside kernels are C++ exceptions; at the Python boundary they become Python exceptions.
//
// `PythonError` means "a Python exception is already set, just unwind". Standard-library failures
// are mapped to the closest built-in exception class, keeping their own description.
#pragma once

#include <Python.h>

#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "ref.hpp"

namespace sorvane::frame {

struct PythonError {};

// Sets `type` with `message` and unwinds.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

// printf-style variant (PyUnicode_FromFormat directives).
template <typename... Args>
[[noreturn]] inline void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PythonError{};
}

// Wraps a new reference returned by the C API; a null result means an exception is set.
inline Ref check(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return Ref::steal(result);
}

// For C API calls that report failure through a -1 status.
inline int check_status(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

// Converts the exception in flight into a Python exception. Call only inside a catch block.
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        PyErr_SetString(PyExc_OSError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

// Runs `body` (returning a Ref) and turns any exception into a Python one (null result).
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace sorvane::frame
