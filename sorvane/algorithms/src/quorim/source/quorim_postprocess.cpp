// quorim_postprocess: post-processing of density labels: dissolving and nearest-centroid assignment.
//
// Clusters whose identifier lies below `threshold` are dissolved into noise (-1), then every noise
// sample takes the label of the nearest centroid; centroids are computed once, before any sample
// moves, so reassigned samples do not shift them.

#include "module_frame/frame.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

namespace {

using namespace sorvane::frame;

// ---- algorithm --------------------------------------------------------------------------------------

void dissolve_below(std::span<int> labels, int threshold) {
    for (int& label : labels) {
        if (label < threshold) label = -1;
    }
}

// The distinct values of `labels`, ascending.
std::vector<int> distinct_labels(std::span<const int> labels) {
    std::vector<int> values(labels.begin(), labels.end());
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

// Sample indices grouped by label, in the order of `values`, ascending within each group.
std::vector<std::vector<npy_intp>> members_by_label(std::span<const int> labels, const std::vector<int>& values) {
    std::vector<std::vector<npy_intp>> members(values.size());
    for (std::size_t i = 0; i < labels.size(); ++i) {
        auto position = std::lower_bound(values.begin(), values.end(), labels[i]) - values.begin();
        members[static_cast<std::size_t>(position)].push_back(static_cast<npy_intp>(i));
    }
    return members;
}

// distances(c, j) is the distance from centroid c (ascending label order) to the j-th pending
// sample. Strict comparison: the smallest label wins a tie and a NaN distance never wins.
int nearest_label(const ArrayView<const double, 2>& distances, Py_ssize_t j, std::span<const int> centroid_labels) {
    double min_dist = std::numeric_limits<double>::infinity();
    int closest_label = -1;
    for (std::size_t c = 0; c < centroid_labels.size(); ++c) {
        const double dist = distances(static_cast<Py_ssize_t>(c), j);
        if (dist < min_dist) {
            min_dist = dist;
            closest_label = centroid_labels[c];
        }
    }
    return closest_label;
}

// ---- binding helpers --------------------------------------------------------------------------------

// A new C-contiguous float64 array of `rows` x `cols`.
Ref new_matrix(npy_intp rows, npy_intp cols) {
    npy_intp dims[2] = {rows, cols};
    return check(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
}

Ref index_array(const std::vector<npy_intp>& indices) {
    npy_intp count = static_cast<npy_intp>(indices.size());
    Ref array = check(PyArray_SimpleNew(1, &count, NPY_INTP));
    if (count > 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), indices.data(),
                    indices.size() * sizeof(npy_intp));
    }
    return array;
}

double* matrix_row(PyObject* matrix, npy_intp row) {
    auto* array = reinterpret_cast<PyArrayObject*>(matrix);
    return static_cast<double*>(PyArray_GETPTR2(array, row, 0));
}

// Upper bound on the entries of one distance block, to keep memory flat for many classes.
constexpr npy_intp kBlockEntries = npy_intp{1} << 20;

// ---- quorim_postprocess -----------------------------------------------------------------------------

constexpr Signature<5> postprocess_sig{"quorim_postprocess", {"points", "labels_in", "metric", "p", "threshold"}, 2};

// pairwise(centroids, samples) for one block of pending samples. A failing call (the metric's
// input checks describe the arrays they are given) is replayed one pair at a time, in the order
// of the per-sample search, so that the error raised is that of the first failing pair.
Ref pairwise_block(PyObject* pairwise, PyObject* centroids, PyObject* points, std::span<const npy_intp> rows,
                   PyObject* samples) {
    PyObject* block = PyObject_CallFunctionObjArgs(pairwise, centroids, samples, nullptr);
    if (block != nullptr) return Ref::steal(block);
    Ref block_error = Ref::steal(PyErr_GetRaisedException());
    const Py_ssize_t n_centroids = length(centroids);
    for (npy_intp row : rows) {
        Ref sample = check(PySequence_GetItem(points, row));
        Ref sample_list = check(PyList_New(1));
        PyList_SET_ITEM(sample_list.get(), 0, sample.release());
        for (Py_ssize_t c = 0; c < n_centroids; ++c) {
            Ref centroid_list = check(PyList_New(1));
            PyList_SET_ITEM(centroid_list.get(), 0, check(PySequence_GetItem(centroids, c)).release());
            call(pairwise, {centroid_list.get(), sample_list.get()});
        }
    }
    PyErr_SetRaisedException(block_error.release());
    throw PythonError{};
}

Ref quorim_postprocess(const Args<5>& a) {
    ArrayView<double, 2> points(a[0], "DTYPE_t", Layout::CContiguous);
    check_arg_type(a[1], &PyArray_Type, "labels_in", false);
    check_not_none(a[1], &PyArray_Type, "labels_in");
    ArrayView<const int, 1> labels_in(a[1], "int", Layout::Strided);
    if (a.given(2)) check_arg_type(a[2], &PyUnicode_Type, "metric", true);
    const int p = a.given(3) ? to_int(a[3]) : 2;
    const int threshold = a.given(4) ? to_int(a[4]) : -1;

    const Py_ssize_t n_points = points.shape(0);
    const Py_ssize_t n_dims = points.shape(1);

    Ref np = module_global("np");
    Ref labels = call_method(a[1], intern("copy").get(), {});
    ArrayView<int, 1> labels_view(labels.get(), "int", Layout::Strided);

    Ref metric = a.given(2) ? Ref::borrow(a[2]) : intern("minkowski");
    Ref get_metric = get_attr(module_global("DistanceMetric").get(), "get_metric");
    const bool minkowski = metric.get() != Py_None && PyUnicode_EqualToUTF8(metric.get(), "minkowski") == 1;
    Ref dist_metric = minkowski ? call_kw(get_metric.get(), {metric.get()}, {{"p", py_int(p).get()}})
                                : call(get_metric.get(), {metric.get()});

    // Labels of another length fail where the centroid step would index the rows with them.
    if (labels_view.shape(0) != n_points) {
        raise_format(PyExc_IndexError,
                     "boolean index did not match indexed array along axis 0; size of axis is %zd but size of "
                     "corresponding boolean axis is %zd",
                     n_points, labels_view.shape(0));
    }

    // The working labels as a contiguous copy: the caller's copy may be strided.
    std::vector<int> work(static_cast<std::size_t>(n_points));
    for (Py_ssize_t i = 0; i < n_points; ++i) work[static_cast<std::size_t>(i)] = labels_view(i);
    dissolve_below(work, threshold);
    for (Py_ssize_t i = 0; i < n_points; ++i) labels_view(i) = work[static_cast<std::size_t>(i)];

    // Centroids: numpy's mean of each label's rows, in ascending label order, -1 included. The
    // rows are picked by index in ascending order, exactly the rows a boolean mask selects.
    const std::vector<int> values = distinct_labels(work);
    const auto members = members_by_label(work, values);
    Ref points_array = call(get_attr(np.get(), "asarray").get(), {a[0]});
    Ref mean = get_attr(np.get(), "mean");
    Ref axis = py_int(0);
    std::vector<int> centroid_labels;
    std::vector<double> centroid_values;
    for (std::size_t v = 0; v < values.size(); ++v) {
        Ref rows = check(PyObject_GetItem(points_array.get(), index_array(members[v]).get()));
        Ref centroid = call_kw(mean.get(), {rows.get()}, {{"axis", axis.get()}});
        if (values[v] == -1) continue;  // computed like the others, never a target
        ArrayView<const double, 1> centroid_view(centroid.get(), "DTYPE_t", Layout::Strided);
        if (centroid_view.shape(0) != n_dims) raise(PyExc_ValueError, "centroid of unexpected length");
        centroid_labels.push_back(values[v]);
        for (Py_ssize_t d = 0; d < n_dims; ++d) centroid_values.push_back(centroid_view(d));
    }

    // Reassign the noise samples. One pairwise call per block of samples gives the same values as
    // one call per sample and centroid: the metric computes each pair on its own.
    std::vector<npy_intp> pending;
    for (Py_ssize_t i = 0; i < n_points; ++i) {
        if (work[static_cast<std::size_t>(i)] == -1) pending.push_back(i);
    }
    const auto n_centroids = static_cast<npy_intp>(centroid_labels.size());
    if (pending.empty() || n_centroids == 0) return labels;
    Ref centroids = new_matrix(n_centroids, n_dims);
    std::copy(centroid_values.begin(), centroid_values.end(), matrix_row(centroids.get(), 0));

    Ref pairwise = get_attr(dist_metric.get(), "pairwise");
    const npy_intp block = std::max<npy_intp>(1, kBlockEntries / n_centroids);
    const auto n_pending = static_cast<npy_intp>(pending.size());
    for (npy_intp start = 0; start < n_pending; start += block) {
        const npy_intp count = std::min(block, n_pending - start);
        Ref samples = new_matrix(count, n_dims);
        for (npy_intp j = 0; j < count; ++j) {
            auto source = points.row(pending[static_cast<std::size_t>(start + j)]);
            std::copy(source.begin(), source.end(), matrix_row(samples.get(), j));
        }
        Ref distances = pairwise_block(pairwise.get(), centroids.get(), points_array.get(),
                                       std::span(pending).subspan(static_cast<std::size_t>(start),
                                                                  static_cast<std::size_t>(count)),
                                       samples.get());
        ArrayView<const double, 2> distance_view(distances.get(), "DTYPE_t", Layout::Strided);
        if (distance_view.shape(0) != n_centroids || distance_view.shape(1) != count) {
            raise(PyExc_ValueError, "pairwise returned a matrix of an unexpected shape");
        }
        for (npy_intp j = 0; j < count; ++j) {
            const npy_intp i = pending[static_cast<std::size_t>(start + j)];
            labels_view(i) = nearest_label(distance_view, j, centroid_labels);
        }
    }
    return labels;
}

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
    function<postprocess_sig, quorim_postprocess>(
        "quorim_postprocess(points, labels_in, metric='minkowski', p=2, threshold=-1)\n--\n\n"
        "Completes a density labelling of the rows of points (C-contiguous float64).\n\n"
        "Labels below threshold are dissolved into -1 (by default the clusters -2, -3, ...), then\n"
        "every -1 sample takes the label of the nearest centroid (mean of a label's rows),\n"
        "measured with DistanceMetric.get_metric(metric[, p]); p is passed for 'minkowski' only.\n"
        "Ties go to the smaller label; a sample with no finite distance stays -1.\n"
        "labels_in (int32) is not modified; returns the new int32 array."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"np", "numpy", nullptr},
    {"DistanceMetric", "sklearn.metrics", "DistanceMetric"},
};

const ModuleDefinition definition{
    "quorim_postprocess",
    "Post-processing of density labels: dissolving and nearest-centroid assignment.",
    imports,
    functions,
    nullptr,
};

}  // namespace

SORVANE_MODULE(quorim_postprocess, definition)
