// Accessors of the caller's input-data object. Members are read afresh on every call, in the
// order the calling kernel needs them; nothing is kept and nothing is written.
#pragma once

#include <Python.h>

#include "convert.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace sorvane::frame::input_data {

// Number of samples, as a 32-bit integer.
inline int n(PyObject* X) { return to_int(get_attr(X, "n").get()); }
// Number of labeled samples, as a 32-bit integer.
inline int labeled_count(PyObject* X) { return to_int(get_attr(X, "labeled_count").get()); }
// The raw `labeled_count` attribute (for callers that hand it on to Python).
inline Ref labeled_count_object(PyObject* X) { return get_attr(X, "labeled_count"); }
// Array whose first `labeled_count` entries are the labeled samples' row indices.
inline Ref labeled_indices(PyObject* X) { return get_attr(X, "labeled_indices"); }
// The sample matrix.
inline Ref data(PyObject* X) { return get_attr(X, "data"); }
// The labeled samples' rows, in column order of the distance matrices.
inline Ref get_labeled(PyObject* X) {
    Ref method = get_attr(X, "get_labeled");
    return call(method.get(), {});
}

}  // namespace sorvane::frame::input_data
