// velmar_connect: linking of components without a labeled sample to labeled ones.

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
    "velmar_connect",
    "Linking of components without a labeled sample to labeled ones.",
    imports,
    functions,
    nullptr,
};

}  // namespace

SORVANE_MODULE(velmar_connect, definition)
