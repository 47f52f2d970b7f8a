// quorim_core: semi-supervised DBSCAN seeded by the labeled samples.
//
// quorim_main: every labeled sample grows a cluster carrying its own label (sparse seeds first,
// then dense ones), clusters never absorb a sample of another label, and the dense regions no
// labeled cluster reaches become clusters -2, -3, ...

#include "module_frame/frame.hpp"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace {

using namespace sorvane::frame;

// ---- algorithm --------------------------------------------------------------------------------------

// `Neighbourhoods` gives, for sample i, `size(i)` (the number of samples within eps, i included)
// and `for_each(i, visit)`, calling visit(index) for every neighbour in stored order.
template <typename Neighbourhoods>
class DensityClustering {
public:
    DensityClustering(std::span<const int> labels, std::span<int> cluster_labels, int min_samples,
                      Neighbourhoods& neighbourhoods)
        : labels_(labels),
          cluster_labels_(cluster_labels),
          min_samples_(min_samples),
          neighbourhoods_(neighbourhoods),
          visited_(cluster_labels.size(), 0),
          queue_(cluster_labels.size() + 1) {}

    void run() {
        const std::size_t n = cluster_labels_.size();
        // Labeled sparse seeds go first, so that a sparse class is not swallowed by a dense one.
        for (std::size_t i = 0; i < n; ++i) {
            if (!visited_[i] && labels_[i] >= 0 && !is_dense(i)) expand_cluster(i, labels_[i]);
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (!visited_[i] && labels_[i] >= 0 && is_dense(i)) expand_cluster(i, labels_[i]);
        }
        int cluster_id = -2;
        for (std::size_t i = 0; i < n; ++i) {
            if (!visited_[i] && is_dense(i)) {
                expand_cluster(i, cluster_id);
                --cluster_id;
            }
        }
    }

private:
    bool is_dense(std::size_t i) { return static_cast<long long>(neighbourhoods_.size(i)) >= min_samples_; }

    // Breadth-first growth from `point_idx`. A sample is marked when it is queued, so it is queued
    // at most once and the queue never holds more than n entries.
    void expand_cluster(std::size_t point_idx, int cluster_id) {
        if (visited_[point_idx]) return;
        const std::size_t n = cluster_labels_.size();
        std::size_t queue_start = 0;
        std::size_t queue_end = 1;
        queue_[0] = point_idx;
        while (queue_start < queue_end) {
            const std::size_t c = queue_[queue_start];
            visited_[c] = 1;
            cluster_labels_[c] = cluster_id;
            // Labeled samples always spread their cluster, however sparse their neighbourhood.
            if (labels_[c] >= 0 || is_dense(c)) {
                neighbourhoods_.for_each(c, [&](long long idx) {
                    if (idx < 0 || static_cast<unsigned long long>(idx) >= n) {
                        throw std::out_of_range("Out of bounds on buffer access (axis 0)");
                    }
                    const auto j = static_cast<std::size_t>(idx);
                    // A sample of another class is left free for its own label.
                    if (!visited_[j] && (labels_[j] == -1 || labels_[j] == cluster_id)) {
                        visited_[j] = 1;
                        queue_[queue_end++] = j;
                    }
                });
            }
            ++queue_start;
        }
    }

    std::span<const int> labels_;
    std::span<int> cluster_labels_;
    int min_samples_;
    Neighbourhoods& neighbourhoods_;
    std::vector<std::uint8_t> visited_;
    std::vector<std::size_t> queue_;
};

// ---- neighbourhoods as returned by the tree queries -------------------------------------------------

// One index object of a neighbourhood; values that do not fit become -1, which is out of bounds.
long long index_value(PyObject* item) {
    int overflow = 0;
    long long value = 0;
    if (PyLong_CheckExact(item)) {
        value = PyLong_AsLongLongAndOverflow(item, &overflow);
    } else {
        Ref number = check(PyNumber_Index(item));
        value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    }
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    return overflow != 0 ? -1 : value;
}

// The per-sample neighbourhoods: a list of lists of ints (KD-tree) or a sequence of integer arrays
// (ball tree). Arrays are read as typed memory, lists of ints without calling into Python.
class ProximityLists {
    static constexpr Py_ssize_t kPrefetchAhead = 8;

public:
    ProximityLists(PyObject* result, Py_ssize_t n_samples) : n_samples_(n_samples) {
        if (n_samples == 0) return;
        if (result == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
        if (!PySequence_Check(result)) {
            raise_format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(result)->tp_name);
        }
        outer_ = check(PySequence_Fast(result, "neighbourhoods are not a sequence"));
    }

    Py_ssize_t size(std::size_t i) const {
        PyObject* hood = item(i);
        if (PyList_CheckExact(hood)) return PyList_GET_SIZE(hood);
        if (PyTuple_CheckExact(hood)) return PyTuple_GET_SIZE(hood);
        if (hood == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
        Ref held = Ref::borrow(hood);
        return check_size(PyObject_Size(held.get()));
    }

    template <typename Visit>
    void for_each(std::size_t i, Visit&& visit) const {
        Ref hood = Ref::borrow(item(i));
        PyObject* obj = hood.get();
        if (PyArray_Check(obj)) {
            auto* array = reinterpret_cast<PyArrayObject*>(obj);
            if (PyArray_NDIM(array) == 1 && PyArray_ISNOTSWAPPED(array) && PyArray_ISALIGNED(array)) {
                const int type = PyArray_TYPE(array);
                if (type == NPY_INT64 || type == NPY_LONGLONG) {
                    return visit_array<std::int64_t>(array, visit);
                }
                if (type == NPY_INT32) return visit_array<std::int32_t>(array, visit);
            }
        }
        if (obj == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
        Ref items = PyList_CheckExact(obj) || PyTuple_CheckExact(obj)
                        ? hood
                        : check(PySequence_Fast(obj, "a neighbourhood is not a sequence"));
        // Gather the indices first, then visit them: the loads of the int objects are independent
        // and overlap, instead of each waiting behind the visit's unpredictable branches.
        gather(items.get());
        for (long long idx : scratch_) visit(idx);
    }

private:
    // Bounds are checked on every access: a foreign __len__ or __index__ may shrink the list.
    PyObject* item(std::size_t i) const {
        const auto index = static_cast<Py_ssize_t>(i);
        if (index >= PySequence_Fast_GET_SIZE(outer_.get())) raise(PyExc_IndexError, "list index out of range");
        return PySequence_Fast_GET_ITEM(outer_.get(), index);
    }

    // The indices of a list or tuple into `scratch_`, stopping after the first that is out of
    // range so that errors surface in element order. The size is read on every step: converting
    // a foreign index object may run Python code.
    void gather(PyObject* items) const {
        scratch_.clear();
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(items); ++j) {
            if (j + kPrefetchAhead < PySequence_Fast_GET_SIZE(items)) {
                __builtin_prefetch(PySequence_Fast_GET_ITEM(items, j + kPrefetchAhead));
            }
            PyObject* element = PySequence_Fast_GET_ITEM(items, j);
            long long idx = 0;
            if (PyLong_CheckExact(element) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(element))) {
                idx = static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(element)));
            } else {
                Ref held = Ref::borrow(element);
                idx = index_value(held.get());
            }
            scratch_.push_back(idx);
            if (idx < 0 || idx >= n_samples_) return;
        }
    }

    static Py_ssize_t check_size(Py_ssize_t size) {
        if (size < 0) throw PythonError{};
        return size;
    }

    template <typename T, typename Visit>
    static void visit_array(PyArrayObject* array, Visit& visit) {
        const char* data = static_cast<const char*>(PyArray_DATA(array));
        const npy_intp count = PyArray_DIM(array, 0);
        const npy_intp stride = PyArray_STRIDE(array, 0);
        for (npy_intp j = 0; j < count; ++j) {
            visit(static_cast<long long>(*reinterpret_cast<const T*>(data + j * stride)));
        }
    }

    Ref outer_;
    long long n_samples_ = 0;
    mutable std::vector<long long> scratch_;
};

// ---- quorim_main ------------------------------------------------------------------------------------

constexpr Signature<6> quorim_main_sig{"quorim_main", {"data", "eps", "min_samples", "labels", "metric", "p"}, 6};

bool is_minkowski(PyObject* metric) {
    return metric != Py_None && PyUnicode_EqualToUTF8(metric, "minkowski") == 1;
}

// The neighbourhoods of all samples, computed in one bulk query before any expansion.
Ref query_neighbourhoods(PyObject* data, double eps, PyObject* metric, int p) {
    Ref radius = py_float(eps);
    if (is_minkowski(metric) && p == 2) {
        Ref tree = call(module_global("KDTree").get(), {data});
        return call_kw(get_attr(tree.get(), "query_ball_tree").get(), {tree.get()}, {{"r", radius.get()}});
    }
    Ref tree = is_minkowski(metric)
                   ? call_kw(module_global("BallTree").get(), {data}, {{"metric", metric}, {"p", py_int(p).get()}})
                   : call_kw(module_global("BallTree").get(), {data}, {{"metric", metric}});
    return call_kw(get_attr(tree.get(), "query_radius").get(), {data}, {{"r", radius.get()}});
}

Ref quorim_main(const Args<6>& a) {
    ArrayView<double, 2> data(a[0], "DTYPE_t", Layout::CContiguous);
    const double eps = to_double(a[1]);
    const int min_samples = to_int(a[2]);
    ArrayView<int, 1> labels(a[3], "int", Layout::CContiguous);
    check_arg_type(a[4], &PyUnicode_Type, "metric", true);
    const int p = to_int(a[5]);

    const Py_ssize_t n_samples = data.shape(0);
    // Shorter labels would be read past their end by the passes.
    if (labels.shape(0) < n_samples) raise(PyExc_IndexError, "Out of bounds on buffer access (axis 0)");

    Ref np = module_global("np");
    Ref cluster_labels = call_kw(get_attr(np.get(), "full").get(), {py_int(n_samples).get(), py_int(-1).get()},
                                 {{"dtype", get_attr(np.get(), "int32").get()}});
    ArrayView<int, 1> cluster_view(cluster_labels.get(), "int", Layout::CContiguous);

    Ref data_array = call(get_attr(np.get(), "asarray").get(), {a[0]});
    Ref result = query_neighbourhoods(data_array.get(), eps, a[4], p);
    ProximityLists neighbourhoods(result.get(), n_samples);

    const auto n = static_cast<std::size_t>(n_samples);
    DensityClustering clustering(std::span<const int>(labels.data(), n), std::span<int>(cluster_view.data(), n),
                                 min_samples, neighbourhoods);
    clustering.run();
    return cluster_labels;
}

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
    function<quorim_main_sig, quorim_main>(
        "quorim_main(data, eps, min_samples, labels, metric, p)\n--\n\n"
        "Semi-supervised DBSCAN of the rows of data (C-contiguous float64).\n\n"
        "labels (int32) holds a class (0 or more) or -1 per sample. Every labeled sample seeds a\n"
        "cluster of its own label, sparse seeds before dense ones, lower index first; a cluster\n"
        "never takes a sample of another label. Dense regions no class reaches become clusters\n"
        "-2, -3, ... in order of their first sample; what no cluster reaches stays -1.\n"
        "Neighbourhoods (distance at most eps) come from a k-d tree for metric 'minkowski' with\n"
        "p 2, otherwise from a ball tree (p is passed for 'minkowski' only).\n"
        "Returns the new int32 array of cluster labels."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"np", "numpy", nullptr},
    {"KDTree", "scipy.spatial", "KDTree"},
    {"BallTree", "sklearn.neighbors", "BallTree"},
};

const ModuleDefinition definition{
    "quorim_core",
    "Semi-supervised DBSCAN seeded by the labeled samples.",
    imports,
    functions,
    nullptr,
};

}  // namespace

SORVANE_MODULE(quorim_core, definition)
