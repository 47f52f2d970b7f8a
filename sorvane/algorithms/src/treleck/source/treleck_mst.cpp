// treleck_mst: minimum spanning tree of the complete distance graph (Prim).
//
// prim_mst grows the tree from vertex 0. Among the edges from the tree to the vertices outside
// it, the next one is the smallest (weight, vertex, parent) triple, compared as Python compares
// tuples. That is the entry a binary heap of such triples with lazy deletion pops first, since
// the heap's live entries are exactly those edges; choosing it directly over the matrix costs
// O(n^2) time and O(n) memory. A NaN distance breaks that equivalence (the triples are no longer
// totally ordered and the heap's answer depends on its shape), so a matrix in which a NaN is
// read is worked through a binary heap with Python's sift rules instead.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "graph_container/graph_wrapper.hpp"
#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;
using sorvane::graph::Graph;
using sorvane::graph::GraphStorage;

constexpr const char* kModulePath = "sorvane.algorithms.src.treleck.binaries.treleck_mst";

PyTypeObject* graph_type = nullptr;

// ---- Prim's algorithm on a dense distance matrix ------------------------------------------------

// Element access to the square distance matrix, any strides.
class DistanceMatrix {
public:
    explicit DistanceMatrix(const ArrayView<const double, 2>& view)
        : base_(reinterpret_cast<const char*>(view.data())), row_stride_(view.stride(0)), col_stride_(view.stride(1)) {}

    bool rows_contiguous() const { return col_stride_ == static_cast<Py_ssize_t>(sizeof(double)); }
    const double* row(int u) const { return reinterpret_cast<const double*>(base_ + u * row_stride_); }

    double operator()(int u, int v) const {
        return *reinterpret_cast<const double*>(base_ + u * row_stride_ + v * col_stride_);
    }

private:
    const char* base_;
    Py_ssize_t row_stride_;
    Py_ssize_t col_stride_;
};

// An edge of the tree: `vertex` joined the tree through `parent`, with the distance between them.
struct TreeEdge {
    int vertex;
    int parent;
    double weight;
};

// A vertex outside the tree with its smallest (weight, parent) edge into the tree so far.
struct Outside {
    double weight;
    int vertex;
    int parent;
};

// The next vertex is the one with the smallest (weight, vertex) edge into the tree. The vertices
// outside are kept packed in ascending order, so that each step scans only them and the first
// smallest weight found belongs to the smallest vertex.
template <bool ContiguousRows>
bool prim_by_selection(const DistanceMatrix& distance, int n, std::span<std::uint8_t> visited,
                       std::vector<TreeEdge>& edges) {
    if (n == 0) return true;
    std::vector<Outside> outside;
    outside.reserve(n - 1);
    for (int v = 1; v < n; ++v) {
        outside.push_back({std::numeric_limits<double>::infinity(), v, std::numeric_limits<int>::max()});
    }
    int u = 0;
    visited[0] = 1;
    while (!outside.empty()) {
        const double* row = distance.row(u);
        auto pick = outside.begin();
        double pick_weight = std::numeric_limits<double>::infinity();
        for (auto it = outside.begin(); it != outside.end(); ++it) {
            double d = ContiguousRows ? row[it->vertex] : distance(u, it->vertex);
            if (!(d > it->weight)) {  // rarely: a lighter or equal edge, or a NaN
                if (std::isnan(d)) return false;
                if (d < it->weight || u < it->parent) *it = {d, it->vertex, u};
            }
            if (it->weight < pick_weight) {
                pick_weight = it->weight;
                pick = it;
            }
        }
        u = pick->vertex;
        visited[u] = 1;
        edges.push_back({u, pick->parent, pick->weight});
        outside.erase(pick);
    }
    return true;
}

// A heap entry (weight, vertex, parent).
struct HeapEntry {
    double weight;
    int vertex;
    int parent;
};

// Python's tuple order: the first unequal field decides; a NaN weight is unequal to everything and
// smaller than nothing.
bool tuple_less(const HeapEntry& a, const HeapEntry& b) {
    if (!(a.weight == b.weight)) return a.weight < b.weight;
    if (a.vertex != b.vertex) return a.vertex < b.vertex;
    return a.parent < b.parent;
}

// Binary min-heap with the sift rules of Python's heapq, so that even under a partial order the
// same entry comes out first.
class TupleHeap {
public:
    bool empty() const { return items_.empty(); }

    void push(const HeapEntry& item) {
        items_.push_back(item);
        sift_toward_root(0, items_.size() - 1);
    }

    HeapEntry pop() {
        HeapEntry last = items_.back();
        items_.pop_back();
        if (items_.empty()) return last;
        HeapEntry top = items_[0];
        items_[0] = last;
        sift_to_leaf(0);
        return top;
    }

private:
    void sift_toward_root(std::size_t start, std::size_t pos) {
        HeapEntry item = items_[pos];
        while (pos > start) {
            std::size_t parent = (pos - 1) >> 1;
            if (!tuple_less(item, items_[parent])) break;
            items_[pos] = items_[parent];
            pos = parent;
        }
        items_[pos] = item;
    }

    // Moves the smaller child up (the right one unless the left is strictly smaller) down to a
    // leaf, then sifts the displaced item back toward `pos`.
    void sift_to_leaf(std::size_t pos) {
        const std::size_t end = items_.size();
        const std::size_t start = pos;
        HeapEntry item = items_[pos];
        std::size_t child = 2 * pos + 1;
        while (child < end) {
            if (child + 1 < end && !tuple_less(items_[child], items_[child + 1])) ++child;
            items_[pos] = items_[child];
            pos = child;
            child = 2 * pos + 1;
        }
        items_[pos] = item;
        sift_toward_root(start, pos);
    }

    std::vector<HeapEntry> items_;
};

// Prim with a heap of (weight, vertex, parent) entries and lazy deletion of stale ones.
void prim_by_heap(const DistanceMatrix& distance, int n, std::span<std::uint8_t> visited,
                  std::vector<TreeEdge>& edges) {
    TupleHeap heap;
    if (n > 0) heap.push({0.0, 0, -1});
    while (!heap.empty()) {
        HeapEntry entry = heap.pop();
        if (visited[entry.vertex] != 0) continue;  // reached earlier by a lighter edge
        visited[entry.vertex] = 1;
        if (entry.parent != -1) edges.push_back({entry.vertex, entry.parent, entry.weight});
        for (int v = 0; v < n; ++v) {
            if (visited[v] == 0) heap.push({distance(entry.vertex, v), v, entry.vertex});
        }
    }
}

// ---- prim_mst ---------------------------------------------------------------------------------------

constexpr Signature<2> prim_mst_sig{"prim_mst", {"X", "metric"}, 1};

void check_result_array(PyObject* obj, const char* producer) {
    if (!PyArray_Check(obj)) {
        raise_format(PyExc_TypeError, "%s returned %.200s, expected numpy.ndarray", producer, Py_TYPE(obj)->tp_name);
    }
}

Ref prim_mst(const Args<2>& a) {
    PyTypeObject* ndarray = &PyArray_Type;
    check_arg_type(a[0], ndarray, "X", false);
    PyObject* metric = a.given(1) ? a[1] : nullptr;
    if (metric != nullptr) check_arg_type(metric, &PyUnicode_Type, "metric", true);
    check_not_none(a[0], ndarray, "X");
    ArrayView<const double, 2> X(a[0], "float64_t", Layout::Strided);
    if (X.shape(0) > std::numeric_limits<int>::max()) raise(PyExc_OverflowError, "value too large to convert to int");
    const int n = static_cast<int>(X.shape(0));

    Ref metric_value = metric != nullptr ? Ref::borrow(metric) : check(PyUnicode_FromString("euclidean"));
    Ref distances = call_kw(module_global("pdist").get(), {a[0]}, {{"metric", metric_value.get()}});
    check_result_array(distances.get(), "pdist");
    ArrayView<const double, 1> condensed(distances.get(), "DTYPE_t", Layout::Strided);  // only checked
    Ref distance_matrix = call(module_global("squareform").get(), {distances.get()});
    check_result_array(distance_matrix.get(), "squareform");
    ArrayView<const double, 2> square(distance_matrix.get(), "DTYPE_t", Layout::Strided);
    if (n > 1) {
        square.check_index(n - 1, 0);
        square.check_index(n - 1, 1);
    }

    Ref mst_connections = sorvane::graph::new_graph(graph_type, n, 0, n);
    Ref mst_weights = sorvane::graph::new_graph(graph_type, n, 1, n);
    Ref np = module_global("np");
    Ref zeros = get_attr(np.get(), "zeros");
    Ref bool_type = get_attr(np.get(), "bool_");
    Ref visited_array = call_kw(zeros.get(), {py_int(n).get()}, {{"dtype", bool_type.get()}});
    ArrayView<std::uint8_t, 1> visited_view(visited_array.get(), "uint8_t", Layout::CContiguous);
    if (visited_view.shape(0) < n) raise(PyExc_IndexError, "Out of bounds on buffer access (axis 0)");
    std::span<std::uint8_t> visited = visited_view.span().first(static_cast<std::size_t>(n));

    DistanceMatrix distance(square);
    std::vector<TreeEdge> edges;
    edges.reserve(n > 0 ? n - 1 : 0);
    bool done = distance.rows_contiguous() ? prim_by_selection<true>(distance, n, visited, edges)
                                           : prim_by_selection<false>(distance, n, visited, edges);
    if (!done) {
        edges.clear();
        std::fill(visited.begin(), visited.end(), std::uint8_t{0});
        prim_by_heap(distance, n, visited, edges);
    }

    GraphStorage& connections = *Graph(mst_connections.get()).storage();
    GraphStorage& weights = *Graph(mst_weights.get()).storage();
    for (const TreeEdge& e : edges) {
        sorvane::graph::append_int(connections, e.vertex, e.parent);
        sorvane::graph::append_int(connections, e.parent, e.vertex);
        sorvane::graph::append_float(weights, e.vertex, e.weight);
        sorvane::graph::append_float(weights, e.parent, e.weight);
    }
    return check(PyTuple_Pack(2, mst_connections.get(), mst_weights.get()));
}

// ---- module -----------------------------------------------------------------------------------------

void add_types(PyObject* module) {
    graph_type = sorvane::graph::add_graph_wrapper_type(module, kModulePath, sorvane::graph::Removal::With);
}

PyMethodDef functions[] = {
    function<prim_mst_sig, prim_mst>(
        "prim_mst(X, metric='euclidean')\n--\n\n"
        "Minimum spanning tree of the complete graph of the rows of X (float64, two dimensions)\n"
        "under the pdist metric `metric`, grown from vertex 0 by Prim's algorithm.\n\n"
        "Returns (mst_connections, mst_weights): GraphWrapper(n, 0, n) with the tree neighbours of\n"
        "every vertex and GraphWrapper(n, 1, n) with the float32 edge weights, position by position.\n"
        "Each edge is stored in the lists of both ends. Ties go to the edge with the smaller\n"
        "(weight, vertex, parent); a vertex's list starts with its parent, then its children in\n"
        "the order they joined."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"distance", "scipy.spatial", "distance"},
    {"np", "numpy", nullptr},
    {"pdist", "scipy.spatial.distance", "pdist"},
    {"squareform", "scipy.spatial.distance", "squareform"},
    {"heappop", "heapq", "heappop"},
    {"heappush", "heapq", "heappush"},
    {"np", "numpy", nullptr},
};

const ModuleDefinition definition{
    "treleck_mst",
    "Minimum spanning tree of the complete distance graph (Prim).",
    imports,
    functions,
    add_types,
};

}  // namespace

SORVANE_MODULE(treleck_mst, definition)
