// velmar_lp: weighted label propagation over the neighbour graph.

#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"np", "numpy", nullptr},
    {"perf_counter", "time", "perf_counter"},
};

const ModuleDefinition definition{
    "velmar_lp",
    "Weighted label propagation over the neighbour graph.",
    imports,
    functions,
    nullptr,
};

}  // namespace

SORVANE_MODULE(velmar_lp, definition)
