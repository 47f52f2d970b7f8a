// quorim_postprocess: post-processing of density labels: dissolving and nearest-centroid assignment.

#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
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
