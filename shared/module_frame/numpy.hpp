// NumPy C API for one module. Every module is a single translation unit, so the API table
// that `import_numpy_api` fills is that module's own.
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>
