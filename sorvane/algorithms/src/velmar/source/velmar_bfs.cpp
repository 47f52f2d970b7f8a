// velmar_bfs: connected components of the neighbour graph.

#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
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
