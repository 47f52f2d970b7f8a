// quorim_core: semi-supervised DBSCAN seeded by the labeled samples.

#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
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
