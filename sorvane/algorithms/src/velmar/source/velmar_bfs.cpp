// velmar_bfs: connected components of the neighbour graph.
//
// find_connected_components: a breadth-first search from every vertex not reached yet, in index
// order; a component is flagged when it holds a labeled vertex.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "graph_container/list_view.hpp"
#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;
using sorvane::graph::Graph;
using sorvane::graph::ListView;

// ---- the traversal ----------------------------------------------------------------------------------

struct Component {
    Ref nodes;                              // list of ints, in discovery order
    std::span<const std::int64_t> members;  // the same vertices, in the traversal's queue
    bool is_labeled;
};

// The component of `start_node`: a first-in first-out traversal over `queue` (room for every
// vertex). Vertices are marked visited, and their label taken into account, when discovered, so
// each enters the queue once; edges are followed in the direction they are stored.
Component bfs(const Graph& connections, std::span<const std::uint8_t> is_labeled, int start_node,
              std::span<std::uint8_t> visited, std::span<std::int64_t> queue) {
    const auto num_nodes = static_cast<std::int64_t>(visited.size());
    queue[0] = start_node;
    visited[static_cast<std::size_t>(start_node)] = 1;
    std::size_t front = 0;
    std::size_t back = 1;
    bool is_labeled_component = is_labeled[static_cast<std::size_t>(start_node)] != 0;
    while (front < back) {
        const int node = static_cast<int>(queue[front]);
        ListView<std::int64_t> neighbors(connections, node, "ITYPE_t");
        for (Py_ssize_t i = 0; i < neighbors.size(); ++i) {
            const std::int64_t neighbor = neighbors[i];
            if (neighbor < 0 || neighbor >= num_nodes) {
                raise_format(PyExc_IndexError, "neighbour %lld of vertex %d is outside the %lld vertices",
                             static_cast<long long>(neighbor), node, static_cast<long long>(num_nodes));
            }
            const auto v = static_cast<std::size_t>(neighbor);
            if (visited[v] == 0) {
                visited[v] = 1;
                if (!is_labeled_component && is_labeled[v] != 0) is_labeled_component = true;
                queue[back++] = neighbor;
            }
        }
        ++front;
    }
    // The queue holds the component in the order its vertices were dequeued.
    Ref nodes = check(PyList_New(static_cast<Py_ssize_t>(back)));
    for (std::size_t i = 0; i < back; ++i) {
        PyList_SET_ITEM(nodes.get(), static_cast<Py_ssize_t>(i), py_int(queue[i]).release());
    }
    return {std::move(nodes), queue.first(back), is_labeled_component};
}

// ---- find_connected_components ----------------------------------------------------------------------

constexpr Signature<2> find_connected_components_sig{"find_connected_components", {"X", "connections"}};

Ref find_connected_components(const Args<2>& a) {
    PyObject* X = a[0];
    const Graph connections(a[1]);

    const int num_nodes = input_data::n(X);
    if (num_nodes < 0) raise(PyExc_ValueError, "negative dimensions are not allowed");
    const auto n = static_cast<std::size_t>(num_nodes);
    std::vector<std::uint8_t> visited(n);
    std::vector<std::uint8_t> is_labeled(n);
    Ref labeled_indices_object = input_data::labeled_indices(X);
    ArrayView<const std::int64_t, 1> labeled_indices(labeled_indices_object.get(), "ITYPE_t", Layout::CContiguous);
    const int labeled_count = input_data::labeled_count(X);

    for (int i = 0; i < labeled_count; ++i) {
        const std::int64_t index = labeled_indices.at(i);
        if (index < 0 || index >= num_nodes) {
            raise_format(PyExc_IndexError, "labeled index %lld is outside the %d samples", static_cast<long long>(index),
                         num_nodes);
        }
        is_labeled[static_cast<std::size_t>(index)] = 1;
    }

    Ref components = check(PyList_New(0));
    npy_intp length = num_nodes;
    Ref label_array = check(PyArray_ZEROS(1, &length, NPY_UINT8, 0));
    auto* vertix_component_label = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(label_array.get())));

    // One queue serves every traversal: each starts empty and a vertex enters only one of them.
    std::vector<std::int64_t> queue(n);
    for (int start_node = 0; start_node < num_nodes; ++start_node) {
        if (visited[static_cast<std::size_t>(start_node)] != 0) continue;
        Component component = bfs(connections, is_labeled, start_node, visited, queue);
        for (std::int64_t idx : component.members) {
            vertix_component_label[static_cast<std::size_t>(idx)] = component.is_labeled ? 1 : 0;
        }
        Ref flag = py_int(component.is_labeled ? 1 : 0);
        Ref entry = check(PyTuple_Pack(2, component.nodes.get(), flag.get()));
        check_status(PyList_Append(components.get(), entry.get()));
    }
    return check(PyTuple_Pack(2, components.get(), label_array.get()));
}

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
    function<find_connected_components_sig, find_connected_components>(
        "find_connected_components(X, connections)\n--\n\n"
        "Connected components of the graph whose neighbour lists connections.to_numpy(i) gives, for\n"
        "the X.n vertices; X.labeled_indices[:X.labeled_count] are the labeled vertices.\n\n"
        "Returns (components, vertix_component_label): a list of (nodes, is_labeled) per component,\n"
        "ordered by smallest vertex, nodes in breadth-first order from that vertex and is_labeled 1\n"
        "when the component holds a labeled vertex, else 0; and a uint8 array that is 1 exactly at\n"
        "the vertices of flagged components."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"np", "numpy", nullptr},
};

const ModuleDefinition definition{
    "velmar_bfs",
    "Connected components of the neighbour graph.",
    imports,
    functions,
    nullptr,
};

}  // namespace

SORVANE_MODULE(velmar_bfs, definition)
