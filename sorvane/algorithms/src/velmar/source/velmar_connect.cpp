// velmar_connect: linking of components without a labeled sample to labeled ones.
//
// connect_unlabeled: stage 1 links every unlabeled component, through the first vertex that has a
// nearest neighbour in a labeled component, with one edge; stage 2 then links the vertices still
// unreached one at a time, pass by pass, to vertices reached so far.

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "graph_container/graph_wrapper.hpp"
#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;
using sorvane::graph::Graph;

// ---- typed access to the arguments ------------------------------------------------------------------

// One row of a neighbour array: strided typed memory, kept alive by the row object or its array.
template <typename T>
class Row {
public:
    Row(const char* base, Py_ssize_t stride, Py_ssize_t size) : base_(base), stride_(stride), size_(size) {}
    Row(Ref object, ArrayView<const T, 1> view)
        : object_(std::move(object)), view_(std::move(view)),
          base_(reinterpret_cast<const char*>(view_.data())), stride_(view_.stride(0)), size_(view_.shape(0)) {}

    Py_ssize_t size() const { return size_; }
    // Unchecked: 0 <= j < size().
    T operator[](Py_ssize_t j) const { return *reinterpret_cast<const T*>(base_ + j * stride_); }

private:
    Ref object_;
    ArrayView<const T, 1> view_;
    const char* base_;
    Py_ssize_t stride_;
    Py_ssize_t size_;
};

// The rows array[v] of a two-dimensional neighbour array. An exact ndarray of the element type is
// read in place; anything else (a subclass, another dtype) is indexed through Python and the row
// checked as a one-dimensional array, as is an index the ndarray does not have (NumPy's error).
template <typename T>
class RowSource {
public:
    RowSource(PyObject* array, char kind, const char* type_name) : array_(array), type_name_(type_name) {
        if (!PyArray_CheckExact(array)) return;
        auto* nd = reinterpret_cast<PyArrayObject*>(array);
        if (PyArray_NDIM(nd) == 2 && PyArray_DESCR(nd)->kind == kind && PyArray_ITEMSIZE(nd) == sizeof(T) &&
            PyArray_ISNOTSWAPPED(nd)) {
            whole_ = ArrayView<const T, 2>(array, type_name, Layout::Strided);
            direct_ = true;
        }
    }

    Row<T> row(int v) const {
        if (direct_ && v < whole_.shape(0)) {
            const char* base = reinterpret_cast<const char*>(whole_.data()) + v * whole_.stride(0);
            return Row<T>(base, whole_.stride(1), whole_.shape(1));
        }
        Ref object = check(PyObject_GetItem(array_, py_int(v).get()));
        ArrayView<const T, 1> view(object.get(), type_name_, Layout::Strided);
        return Row<T>(std::move(object), std::move(view));
    }

private:
    PyObject* array_;
    const char* type_name_;
    ArrayView<const T, 2> whole_;
    bool direct_ = false;
};

// The reached flags: a copy of the caller's flags made by its `copy()`. Marks are stored as
// `copy[v] = True` would; directly when the copy is an exact ndarray.
class Reached {
public:
    explicit Reached(PyObject* vertix_component_label) {
        static PyObject* copy_name = PyUnicode_InternFromString("copy");
        copy_ = call_method(vertix_component_label, copy_name, {});
        flags_ = ArrayView<std::uint8_t, 1>(copy_.get(), "uint8_t", Layout::Strided);
        direct_ = PyArray_CheckExact(copy_.get());
    }

    bool direct() const { return direct_; }
    bool operator[](int v) const { return flags_.at(v) != 0; }

    void mark(int v) {
        if (direct_) {
            flags_.at(v) = 1;
        } else {
            check_status(PyObject_SetItem(copy_.get(), py_int(v).get(), Py_True));
        }
    }

    // Every flag set; stops at the first zero.
    bool all() const {
        for (Py_ssize_t v = 0; v < flags_.shape(0); ++v) {
            if (flags_(v) == 0) return false;
        }
        return true;
    }

private:
    Ref copy_;
    ArrayView<std::uint8_t, 1> flags_;
    bool direct_ = false;
};

// The entries of `components`: (nodes, is_labeled) pairs, nodes a list of vertex indices.
class ComponentList {
public:
    ComponentList(PyObject* components, Py_ssize_t num_vertices)
        : components_(components), num_vertices_(num_vertices), zero_(py_int(0)), one_(py_int(1)) {}

    bool is_labeled(Py_ssize_t c) const {
        Ref flag = check(PyObject_GetItem(entry(c).get(), one_.get()));
        return to_bool(flag.get());
    }

    Ref nodes(Py_ssize_t c) const {
        Ref nodes = check(PyObject_GetItem(entry(c).get(), zero_.get()));
        if (nodes.get() != Py_None && !PyList_CheckExact(nodes.get())) {
            raise_format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(nodes.get())->tp_name);
        }
        return nodes;
    }

    // Entry i of a nodes list, a vertex index.
    int vertex(PyObject* nodes, Py_ssize_t i) const {
        Ref item = Ref::borrow(PyList_GetItem(nodes, i));
        if (!item) throw PythonError{};
        const int v = to_int(item.get());
        if (v < 0 || v >= num_vertices_) {
            raise_format(PyExc_IndexError, "component vertex %d is outside the %zd vertices", v, num_vertices_);
        }
        return v;
    }

private:
    Ref entry(Py_ssize_t c) const {
        Ref item = Ref::borrow(PyList_GetItem(components_, c));
        if (!item) throw PythonError{};
        return item;
    }

    PyObject* components_;
    Py_ssize_t num_vertices_;
    Ref zero_;
    Ref one_;
};

// ---- the linking ------------------------------------------------------------------------------------

struct Linker {
    RowSource<std::int64_t> knn_connections;
    RowSource<float> knn_weights;
    Graph connections;
    Graph weights;
    Py_ssize_t num_vertices;

    // The first neighbour of v, in row order, that `qualifies`: its index goes to `neighbor`, the
    // weight of the edge to `edge_weight`. False when there is none.
    template <typename Qualifies>
    bool first_neighbor(int v, Qualifies&& qualifies, int& neighbor, float& edge_weight) const {
        Row<std::int64_t> row = knn_connections.row(v);
        Row<float> row_weights = knn_weights.row(v);
        if (row_weights.size() < row.size()) {
            raise_format(PyExc_IndexError, "vertex %d has %zd nearest neighbours but only %zd weights", v, row.size(),
                         row_weights.size());
        }
        for (Py_ssize_t j = 0; j < row.size(); ++j) {
            const std::int64_t u = row[j];
            if (u < 0 || u >= num_vertices) {
                raise_format(PyExc_IndexError, "nearest neighbour %lld of vertex %d is outside the %zd vertices",
                             static_cast<long long>(u), v, num_vertices);
            }
            if (qualifies(static_cast<int>(u))) {
                neighbor = static_cast<int>(u);
                edge_weight = row_weights[j];
                return true;
            }
        }
        return false;
    }

    // Adds the edge a-b with weight w in each direction that `connections` does not hold yet.
    void link(int a, int b, float w) const {
        if (!connections.contains(a, b)) {
            connections.append_int(a, b);
            weights.append_float(a, w);
        }
        if (!connections.contains(b, a)) {
            connections.append_int(b, a);
            weights.append_float(b, w);
        }
    }
};

// Stage 1: only the caller's flags count, so a component linked here is no target for later ones.
void link_directly(const Linker& linker, const ComponentList& components, Py_ssize_t components_length,
                   const ArrayView<const std::uint8_t, 1>& vertix_component_label, Reached& reached) {
    auto labeled = [&](int u) { return vertix_component_label(u) != 0; };
    for (Py_ssize_t c = 0; c < components_length; ++c) {
        if (components.is_labeled(c)) continue;
        Ref nodes = components.nodes(c);
        const Py_ssize_t size = length(nodes.get());
        for (Py_ssize_t i = 0; i < size; ++i) {
            const int v = components.vertex(nodes.get(), i);
            int u = 0;
            float edge_weight = 0.0f;
            if (!linker.first_neighbor(v, labeled, u, edge_weight)) continue;
            linker.link(v, u, edge_weight);
            for (Py_ssize_t m = 0; m < size; ++m) reached.mark(components.vertex(nodes.get(), m));
            break;
        }
    }
}

// Stage 2: one vertex per link, each pass linking to anything reached so far. Once a pass has
// linked a vertex, each later component of that pass has only its first unreached vertex tried.
void link_chained(const Linker& linker, const ComponentList& components, Py_ssize_t components_length,
                  Reached& reached) {
    auto is_reached = [&](int u) { return reached[u]; };
    while (!reached.all()) {
        std::vector<int> found_way_nodes;  // in the order found; marked after each component
        std::unordered_set<int> found;
        std::size_t marked = 0;
        bool progress = false;
        for (Py_ssize_t c = 0; c < components_length; ++c) {
            if (components.is_labeled(c)) continue;
            Ref nodes = components.nodes(c);
            const Py_ssize_t size = length(nodes.get());
            for (Py_ssize_t i = 0; i < size; ++i) {
                const int v = components.vertex(nodes.get(), i);
                if (reached[v]) continue;
                int u = 0;
                float edge_weight = 0.0f;
                if (linker.first_neighbor(v, is_reached, u, edge_weight)) {
                    linker.link(v, u, edge_weight);
                    if (found.insert(v).second) found_way_nodes.push_back(v);
                    progress = true;
                }
                if (progress) break;
            }
            // Marking twice changes nothing in memory; a copy that is not an exact ndarray gets
            // every assignment.
            for (std::size_t f = reached.direct() ? marked : 0; f < found_way_nodes.size(); ++f) {
                reached.mark(found_way_nodes[f]);
            }
            marked = found_way_nodes.size();
        }
        if (!progress) raise(PyExc_SystemError, "NO PROGRESS :)");
    }
}

// ---- connect_unlabeled ------------------------------------------------------------------------------

constexpr Signature<6> connect_unlabeled_sig{
    "connect_unlabeled",
    {"knn_connections", "knn_weights", "components", "vertix_component_label", "connections", "weights"}};

Ref connect_unlabeled(const Args<6>& a) {
    check_arg_type(a[0], &PyArray_Type, "knn_connections", false);
    check_arg_type(a[1], &PyArray_Type, "knn_weights", false);
    check_arg_type(a[2], &PyList_Type, "components", true);
    check_arg_type(a[3], &PyArray_Type, "vertix_component_label", false);
    ArrayView<const std::uint8_t, 1> vertix_component_label(a[3], "uint8_t", Layout::Strided);
    const Linker linker{RowSource<std::int64_t>(a[0], 'i', "ITYPE_t"), RowSource<float>(a[1], 'f', "DTYPE32_t"),
                        Graph(a[4]), Graph(a[5]), vertix_component_label.shape(0)};

    Reached reached(a[3]);
    const Py_ssize_t components_length = length(a[2]);
    const ComponentList components(a[2], vertix_component_label.shape(0));

    link_directly(linker, components, components_length, vertix_component_label, reached);
    link_chained(linker, components, components_length, reached);
    return check(PyTuple_Pack(2, a[4], a[5]));
}

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
    function<connect_unlabeled_sig, connect_unlabeled>(
        "connect_unlabeled(knn_connections, knn_weights, components, vertix_component_label, "
        "connections, weights)\n--\n\n"
        "Links every component without a labeled vertex to a labeled one through nearest-neighbour\n"
        "edges: knn_connections[v] (int64) lists the neighbours of v in the order they are tried,\n"
        "knn_weights[v] (float32) their distances; components and vertix_component_label are the\n"
        "results of find_connected_components. Edges are added in both directions, each direction\n"
        "only if connections.contains() says it is missing, with connections.append() and\n"
        "weights.append().\n\n"
        "Returns (connections, weights), the objects passed in. Raises SystemError when a pass\n"
        "links nothing while unreached vertices remain; the links made so far stay."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"np", "numpy", nullptr},
};

const ModuleDefinition definition{
    "velmar_connect",
    "Linking of components without a labeled sample to labeled ones.",
    imports,
    functions,
    nullptr,
};

}  // namespace

SORVANE_MODULE(velmar_connect, definition)
