// Module definition with two-phase initialisation, the module-level names bound at import, and
// the glue that turns a C++ function body into a Python callable.
//
// Every module is one shared library built from one translation unit, so the state below exists
// once per module and per process.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "errors.hpp"
#include "numpy.hpp"
#include "ref.hpp"

namespace sorvane::frame {

// One module-level name bound at import: `from <module> import <attribute> as <name>`, or
// `import <module> as <name>` when `attribute` is null.
struct ModuleImport {
    const char* name;
    const char* module;
    const char* attribute;
};

struct ModuleDefinition {
    const char* name;  // short name, e.g. "nearmesh"
    const char* doc;
    std::span<const ModuleImport> imports;
    PyMethodDef* functions;                     // null-terminated table
    void (*add_types)(PyObject* module) = nullptr;  // creates and binds the module's types; throws
};

namespace detail {

struct ModuleState {
    const ModuleDefinition* definition = nullptr;
    PyObject* module = nullptr;  // the module object; kept for the life of the process
    std::int64_t interpreter_id = -1;
};

inline ModuleState& state() {
    static ModuleState instance;
    return instance;
}

inline void copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                                bool allow_none) {
    Ref value = check(PyObject_GetAttrString(spec, from));
    if (allow_none || value.get() != Py_None) check_status(PyDict_SetItemString(module_dict, to, value.get()));
}

inline PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    ModuleState& st = state();
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (st.interpreter_id == -1) {
        st.interpreter_id = id;
    } else if (st.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (st.module != nullptr) return Py_NewRef(st.module);
    return guarded([&] {
        Ref name = check(PyObject_GetAttrString(spec, "name"));
        Ref module = check(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, dict, "loader", "__loader__", true);
        copy_spec_attribute(spec, dict, "origin", "__file__", true);
        copy_spec_attribute(spec, dict, "parent", "__package__", true);
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false);
        return module;
    });
}

inline void import_numpy_api() {
    if (_import_array() < 0) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, cause);
        PyException_SetContext(error, Py_XNewRef(cause));
        PyErr_SetRaisedException(error);
        throw PythonError{};
    }
}

inline void bind_imports(PyObject* module, std::span<const ModuleImport> imports) {
    for (const ModuleImport& entry : imports) {
        Ref imported = check(PyImport_ImportModule(entry.module));
        Ref value = entry.attribute != nullptr ? check(PyObject_GetAttrString(imported.get(), entry.attribute))
                                               : std::move(imported);
        check_status(PyModule_AddObjectRef(module, entry.name, value.get()));
    }
}

inline int exec(PyObject* module) noexcept {
    ModuleState& st = state();
    if (st.module != nullptr) {
        if (st.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     st.definition->name);
        return -1;
    }
    try {
        int major = static_cast<int>((Py_Version >> 24) & 0xFF);
        int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
        if (major != 3 || minor != 13) {
            check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                          "module '%s' is built for Python 3.13 but runs on Python %d.%d",
                                          st.definition->name, major, minor));
        }
        import_numpy_api();
        bind_imports(module, st.definition->imports);
        if (st.definition->add_types != nullptr) st.definition->add_types(module);
        if (st.definition->functions != nullptr) check_status(PyModule_AddFunctions(module, st.definition->functions));
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
    st.module = Py_NewRef(module);
    return 0;
}

inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {0, nullptr},
};

inline PyObject* init_module(const ModuleDefinition& definition) {
    static PyModuleDef def = {PyModuleDef_HEAD_INIT, definition.name, definition.doc, 0, nullptr,
                              module_slots, nullptr, nullptr, nullptr};
    state().definition = &definition;
    return PyModuleDef_Init(&def);
}

}  // namespace detail

// The calling module object (valid once the module is imported).
inline PyObject* this_module() { return detail::state().module; }

// A module-level name, looked up at call time as Python code would (module dict, then builtins).
inline Ref module_global(const char* name) {
    Ref key = check(PyUnicode_InternFromString(name));
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(this_module()), key.get());
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.get());
    if (value == nullptr) {
        if (!PyErr_Occurred()) raise_format(PyExc_NameError, "name '%s' is not defined", name);
        throw PythonError{};
    }
    return Ref::borrow(value);
}

inline Ref intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

inline Ref get_attr(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

// callable(*args)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    std::vector<PyObject*> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(nullptr);
    argv.insert(argv.end(), args.begin(), args.end());
    return check(PyObject_Vectorcall(callable, argv.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*args, **kwargs), keyword order as given.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
                   std::initializer_list<std::pair<const char*, PyObject*>> kwargs) {
    std::vector<PyObject*> argv(args.begin(), args.end());
    Ref kwnames = check(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t i = 0;
    for (const auto& [key, value] : kwargs) {
        PyTuple_SET_ITEM(kwnames.get(), i++, intern(key).release());
        argv.push_back(value);
    }
    return check(PyObject_Vectorcall(callable, argv.data(), args.size(), kwnames.get()));
}

// obj.<name>(*args), with `name` an interned string (see `intern`).
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    std::vector<PyObject*> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(obj);
    argv.insert(argv.end(), args.begin(), args.end());
    return check(PyObject_VectorcallMethod(name, argv.data(), argv.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Entry points: a body taking the bound arguments (and `self` for methods) and returning a Ref.
template <auto& Sig, auto Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return Body(Args(Sig, args, nargs, kwnames)); });
}

template <auto& Sig, auto Body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return Body(self, Args(Sig, args, nargs, kwnames)); });
}

// A module-level function: `doc` starts with the text signature, e.g. "f(x, k=2)\n--\n\n...".
template <auto& Sig, auto Body>
PyMethodDef function(const char* doc) {
    return {Sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function_entry<Sig, Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

template <auto& Sig, auto Body>
PyMethodDef method(const char* doc) {
    return {Sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method_entry<Sig, Body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace sorvane::frame

// Defines the module's PyInit function; `name` is the module's short name.
#define SORVANE_MODULE(name, definition)                                              \
    PyMODINIT_FUNC PyInit_##name(void) { return ::sorvane::frame::detail::init_module(definition); }
