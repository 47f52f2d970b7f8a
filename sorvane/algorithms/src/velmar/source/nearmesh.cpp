// nearmesh: the neighbour graph of the graph method.
//
// mutual_knn: k nearest neighbours by k-d tree, kept where the relation is mutual.

#include "graph_container/graph_wrapper.hpp"
#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;
using sorvane::graph::Graph;
using sorvane::graph::GraphStorage;

constexpr const char* kModulePath = "sorvane.algorithms.src.velmar.binaries.nearmesh";

PyTypeObject* graph_type = nullptr;

// A new GraphWrapper of this module: GraphWrapper(count, dtype, max_size, lookup_opt).
Ref new_graph(long long count, int dtype, int max_size, bool lookup = false) {
    Ref args = check(Py_BuildValue("(LiiO)", count, dtype, max_size, lookup ? Py_True : Py_False));
    return check(PyObject_Call(reinterpret_cast<PyObject*>(graph_type), args.get(), nullptr));
}

// `value` unpacked into exactly two items, as `a, b = value` does.
std::pair<Ref, Ref> unpack_pair(PyObject* value) {
    Ref items = check(PySequence_Fast(value, "cannot unpack non-iterable object"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    if (size > 2) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    if (size < 2) {
        raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", size, size == 1 ? "" : "s");
    }
    return {Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), 0)), Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), 1))};
}

// array[:, 1:]
Ref drop_first_column(PyObject* array) {
    Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
    Ref one = py_int(1);
    Ref from_one = check(PySlice_New(one.get(), nullptr, nullptr));
    Ref key = check(PyTuple_Pack(2, all.get(), from_one.get()));
    return check(PyObject_GetItem(array, key.get()));
}

// ---- mutual_knn -------------------------------------------------------------------------------------

constexpr Signature<3> mutual_knn_sig{"mutual_knn", {"X", "k", "p"}, 2};

// For every sample i and neighbour j of i (row i of `knn`, nearest first), appends j to list i when
// i occurs in row j. `knn` holds each sample's k + 1 nearest indices; column 0 is dropped.
void fill_mutual_graph(const ArrayView<const std::int64_t, 2>& knn, const ArrayView<const float, 2>& distances,
                       GraphStorage& connections, GraphStorage& weights) {
    const Py_ssize_t n = knn.shape(0);
    const Py_ssize_t k = distances.shape(1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 0; j < k; ++j) {
            std::int64_t neighbor = knn(i, j + 1);
            if (neighbor < 0 || neighbor >= n) {
                raise_format(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %zd",
                             static_cast<long long>(neighbor), n);
            }
            for (Py_ssize_t m = 1; m <= k; ++m) {
                if (knn(neighbor, m) == i) {
                    sorvane::graph::append_int(connections, i, neighbor);
                    sorvane::graph::append_float(weights, i, distances(i, j));
                }
            }
        }
    }
}

Ref mutual_knn(const Args<3>& a) {
    ArrayView<double, 2> X(a[0], "DTYPE_t", Layout::CContiguous);
    int k = to_int(a[1]);
    if (a.given(2)) to_int(a[2]);  // accepted for compatibility; the search is always Euclidean
    const Py_ssize_t n = X.shape(0);
    if (n > std::numeric_limits<int>::max()) raise(PyExc_OverflowError, "value too large to convert to int");

    Ref tree = call(module_global("KDTree").get(), {a[0]});
    Ref query = get_attr(tree.get(), "query");
    Ref result = call_kw(query.get(), {a[0]}, {{"k", py_int(static_cast<long long>(k) + 1).get()},
                                               {"workers", py_int(-1).get()}});
    auto [distances_full, indices_full] = unpack_pair(result.get());
    ArrayView<const double, 2> distance_view(distances_full.get(), "DTYPE_t", Layout::Strided);
    ArrayView<const std::int64_t, 2> knn(indices_full.get(), "ITYPE_t", Layout::Strided);

    Ref float32 = get_attr(module_global("np").get(), "float32");
    Ref sliced_distances = drop_first_column(distances_full.get());
    static PyObject* astype = PyUnicode_InternFromString("astype");
    Ref knn_weights_sparse = call_method(sliced_distances.get(), astype, {float32.get()});
    Ref knn_connections_sparse = drop_first_column(indices_full.get());

    Ref mutual_connections = new_graph(n, 0, k);
    Ref mutual_weights = new_graph(n, 1, k);
    if (n > 0 && k > 0) {
        ArrayView<const float, 2> weights_view(knn_weights_sparse.get(), "DTYPE32_t", Layout::CContiguous);
        if (knn.shape(0) != n || knn.shape(1) != k + 1 || weights_view.shape(0) != n || weights_view.shape(1) != k) {
            raise(PyExc_ValueError, "the tree query returned arrays of an unexpected shape");
        }
        fill_mutual_graph(knn, weights_view, *Graph(mutual_connections.get()).storage(),
                          *Graph(mutual_weights.get()).storage());
    }
    return check(PyTuple_Pack(4, mutual_connections.get(), mutual_weights.get(), knn_connections_sparse.get(),
                              knn_weights_sparse.get()));
}

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
    function<mutual_knn_sig, mutual_knn>(
        "mutual_knn(X, k, p=2)\n--\n\n"
        "Mutual k-nearest-neighbour graph of the rows of X (C-contiguous float64).\n\n"
        "Returns (mutual_connections, mutual_weights, knn_connections_sparse, knn_weights_sparse):\n"
        "a GraphWrapper pair (int64 neighbours, float32 distances) holding j in list i exactly when\n"
        "each of i and j is among the k nearest neighbours of the other, and the plain neighbour\n"
        "indices (n x k view) and float32 distances (n x k), the sample itself removed. The search is\n"
        "Euclidean; p is accepted and has no effect."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"distance", "scipy.spatial", "distance"},
    {"np", "numpy", nullptr},
    {"KDTree", "scipy.spatial", "KDTree"},
    {"np", "numpy", nullptr},
    {"time", "time", nullptr},
};

void add_types(PyObject* module) {
    graph_type = sorvane::graph::add_graph_wrapper_type(module, kModulePath, sorvane::graph::Removal::Without);
}

const ModuleDefinition definition{
    "nearmesh",
    "Neighbour graph of the graph method: mutual kNN graph, informative edges, distance file.",
    imports,
    functions,
    add_types,
};

}  // namespace

SORVANE_MODULE(nearmesh, definition)
