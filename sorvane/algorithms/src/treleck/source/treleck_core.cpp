// treleck_core: tree-cut clustering: labeled paths, label subgraph, cuts and labelling.

#include "graph_container/graph_wrapper.hpp"
#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;

constexpr const char* kModulePath = "sorvane.algorithms.src.treleck.binaries.treleck_core";

PyTypeObject* graph_type = nullptr;

void add_types(PyObject* module) {
    graph_type = sorvane::graph::add_graph_wrapper_type(module, kModulePath, sorvane::graph::Removal::With);
}

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
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
    "treleck_core",
    "Tree-cut clustering: labeled paths, label subgraph, cuts and labelling.",
    imports,
    functions,
    add_types,
};

}  // namespace

SORVANE_MODULE(treleck_core, definition)
