// The GraphWrapper extension type, and `Graph`, through which module code uses any graph object.
//
// A module that defines GraphWrapper calls `add_graph_wrapper_type` from its type hook. Module code
// reaches a graph through `Graph`: our own exact types are read and written directly, anything
// else (a Python subclass, another object with the same methods) through its Python methods, so
// that overrides are honoured.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../module_frame/frame.hpp"
#include "graph_storage.hpp"

namespace sorvane::graph {

using frame::Ref;

enum class Removal { Without, With };

struct GraphObject {
    PyObject_HEAD
    std::uint64_t layout_tag;
    GraphStorage* storage;  // owned; null only while construction fails
};

inline constexpr std::uint64_t kLayoutTag = 0x736f7276616e6501;  // layout version 1
inline constexpr const char* kGraphTypeNames[] = {
    "sorvane.algorithms.src.velmar.binaries.nearmesh.GraphWrapper",
    "sorvane.algorithms.src.treleck.binaries.treleck_mst.GraphWrapper",
    "sorvane.algorithms.src.treleck.binaries.treleck_core.GraphWrapper",
};

// The storage of `obj` if it is an instance of exactly one of our GraphWrapper types (in any
// module, not a subclass), else null.
inline GraphStorage* exact_storage(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_base != &PyBaseObject_Type || type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(GraphObject))) {
        return nullptr;
    }
    bool named = false;
    for (const char* name : kGraphTypeNames) named = named || std::strcmp(type->tp_name, name) == 0;
    auto* graph = reinterpret_cast<GraphObject*>(obj);
    return named && graph->layout_tag == kLayoutTag ? graph->storage : nullptr;
}

// ---- Operations with the checks and messages of the Python methods --------------------------------

inline void check_list_index(const GraphStorage& g, std::int64_t index) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= g.count()) frame::raise(PyExc_IndexError, "Invalid array index");
}

inline void check_room(const GraphStorage& g, std::int64_t index) {
    check_list_index(g, index);
    if (g.full(static_cast<std::size_t>(index))) {
        frame::raise(PyExc_OverflowError, "Array has reached its maximum size");
    }
}

inline void append_int(GraphStorage& g, std::int64_t index, std::int64_t value) {
    check_room(g, index);
    if (g.dtype() != DataType::INT64) frame::raise(PyExc_TypeError, "an integer list is required");
    g.push_int(static_cast<std::size_t>(index), value);
}

inline void append_float(GraphStorage& g, std::int64_t index, double value) {
    check_room(g, index);
    if (g.dtype() != DataType::FLOAT32) frame::raise(PyExc_TypeError, "a float list is required");
    g.push_float(static_cast<std::size_t>(index), static_cast<float>(value));
}

// Converts `value` to the list's element type (after the index and room checks).
inline void append_object(GraphStorage& g, std::int64_t index, PyObject* value) {
    check_room(g, index);
    if (g.dtype() == DataType::FLOAT32) {
        g.push_float(static_cast<std::size_t>(index), static_cast<float>(frame::to_double(value)));
    } else {
        g.push_int(static_cast<std::size_t>(index), frame::to_int64(value));
    }
}

inline bool contains(const GraphStorage& g, std::int64_t index, std::int64_t value) {
    check_list_index(g, index);
    if (g.dtype() != DataType::INT64) frame::raise(PyExc_TypeError, "Membership check only supported for int64 arrays");
    return g.contains(static_cast<std::size_t>(index), value);
}

inline Ref to_numpy(const GraphStorage& g, std::int64_t index) {
    check_list_index(g, index);
    auto list = static_cast<std::size_t>(index);
    npy_intp length = g.size(list);
    bool ints = g.dtype() == DataType::INT64;
    Ref array = frame::check(PyArray_SimpleNew(1, &length, ints ? NPY_INT64 : NPY_FLOAT32));
    void* target = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
    if (ints) {
        std::memcpy(target, g.ints(list).data(), g.ints(list).size_bytes());
    } else {
        std::memcpy(target, g.floats(list).data(), g.floats(list).size_bytes());
    }
    return array;
}

inline Ref pop(GraphStorage& g, int list_index, int element_index) {
    if (list_index < 0 || static_cast<std::size_t>(list_index) >= g.count()) {
        frame::raise(PyExc_IndexError, "List index out of range");
    }
    auto list = static_cast<std::size_t>(list_index);
    int size = g.size(list);
    if (size == 0) frame::raise(PyExc_IndexError, "Cannot pop from an empty sublist");
    if (element_index < 0 || element_index >= size) frame::raise(PyExc_IndexError, "Element index out of range");
    Ref taken = g.dtype() == DataType::INT64 ? frame::py_int(g.ints(list)[element_index])
                                             : frame::py_float(g.floats(list)[element_index]);
    g.erase(list, element_index);
    return taken;
}

// Removes every element equal to the largest weight; returns the lists of its first two occurrences.
inline std::pair<long long, long long> pop_max(GraphStorage& g) {
    std::vector<std::pair<std::size_t, int>> max_indices;
    float current = -1.0f;
    if (g.dtype() == DataType::FLOAT32) {
        for (std::size_t i = 0; i < g.count(); ++i) {
            std::span<const float> list = g.floats(i);
            for (std::size_t j = 0; j < list.size(); ++j) {
                float v = list[j];
                if (v > current) {
                    current = v;
                    max_indices.assign(1, {i, static_cast<int>(j)});
                } else if (v == current) {
                    max_indices.emplace_back(i, static_cast<int>(j));
                }
            }
        }
    }
    if (max_indices.empty()) frame::raise(PyExc_ValueError, "All sub-arrays are empty, cannot pop max");
    for (auto it = max_indices.rbegin(); it != max_indices.rend(); ++it) g.erase(it->first, it->second);
    if (max_indices.size() < 2) {
        frame::raise(PyExc_IndexError, "pop_max removed the only element of maximal weight; there is no second vertex");
    }
    return {static_cast<long long>(max_indices[0].first), static_cast<long long>(max_indices[1].first)};
}

// ---- The Python type ----------------------------------------------------------------------------

namespace detail {

inline GraphStorage& storage_of(PyObject* self) { return *reinterpret_cast<GraphObject*>(self)->storage; }

inline constexpr frame::Signature<4> new_sig{"GraphWrapper", {"count", "dtype", "max_size", "lookup_opt"}, 3};
inline constexpr frame::Signature<2> append_sig{"append", {"index", "value"}};
inline constexpr frame::Signature<2> contains_sig{"contains", {"index", "value"}};
inline constexpr frame::Signature<1> to_numpy_sig{"to_numpy", {"index"}};
inline constexpr frame::Signature<2> pop_sig{"pop", {"list_index", "element_index"}};
inline constexpr frame::Signature<1> setstate_sig{"__setstate__", {"state"}};

inline PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return frame::guarded([&] {
        frame::Args<4> a(new_sig, args, kwargs);
        std::size_t count = frame::to_size_t(a[0]);
        auto dtype = frame::to_unsigned<std::uint32_t>(a[1], "DataType");
        int max_size = frame::to_int(a[2]);
        bool lookup = a.given(3) && frame::to_bool(a[3]);
        if (dtype != 0 && dtype != 1) frame::raise(PyExc_ValueError, "Unsupported data type");
        if (max_size > std::numeric_limits<int>::max() / 3 || max_size < std::numeric_limits<int>::min() / 3) {
            frame::raise(PyExc_OverflowError, "max_size is too large: the list limit 3 * max_size must fit an int");
        }
        Ref self = frame::check(type->tp_alloc(type, 0));
        auto* graph = reinterpret_cast<GraphObject*>(self.get());
        graph->storage = new GraphStorage(count, static_cast<DataType>(dtype), 3 * max_size, lookup);
        graph->layout_tag = kLayoutTag;
        return self;
    });
}

inline void graph_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<GraphObject*>(self)->storage;
    type->tp_free(self);
    Py_DECREF(type);
}

inline Ref append_method(PyObject* self, const frame::Args<2>& a) {
    append_object(storage_of(self), frame::to_int64(a[0]), a[1]);
    return frame::py_none();
}

inline Ref contains_method(PyObject* self, const frame::Args<2>& a) {
    std::int64_t index = frame::to_int64(a[0]);
    std::int64_t value = frame::to_int64(a[1]);
    return frame::py_bool(contains(storage_of(self), index, value));
}

inline Ref to_numpy_method(PyObject* self, const frame::Args<1>& a) {
    return to_numpy(storage_of(self), frame::to_int64(a[0]));
}

inline Ref pop_method(PyObject* self, const frame::Args<2>& a) {
    int list_index = frame::to_int(a[0]);
    int element_index = frame::to_int(a[1]);
    return pop(storage_of(self), list_index, element_index);
}

inline PyObject* pop_max_method(PyObject* self, PyObject*) noexcept {
    return frame::guarded([&] {
        auto [first, second] = pop_max(storage_of(self));
        return frame::check(Py_BuildValue("(LL)", first, second));
    });
}

// Goes through `to_numpy` so that a subclass override is honoured.
inline PyObject* to_numpy_all_method(PyObject* self, PyObject*) noexcept;

inline PyObject* reduce_method(PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

inline Ref setstate_method(PyObject*, const frame::Args<1>&) {
    frame::raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
}

inline const char graph_doc[] =
    "GraphWrapper(count, dtype, max_size, lookup_opt=False)\n--\n\n"
    "Fixed number of typed lists, one per vertex: vertex indices (dtype 0, int64) or edge weights\n"
    "(dtype 1, float32). Each list holds at most 3 * max_size elements, reserved at construction.\n"
    "With lookup_opt, int64 lists keep a hash set of every value ever appended, for contains().";

inline std::vector<PyMethodDef> method_table(Removal removal) {
    std::vector<PyMethodDef> methods;
    methods.push_back(frame::method<append_sig, append_method>(
        "append($self, index, value)\n--\n\nAppend value to list index (converted to the element type)."));
    if (removal == Removal::With) {
        methods.push_back({"pop_max", pop_max_method, METH_NOARGS,
                           "pop_max($self)\n--\n\nRemove every element equal to the largest weight; return the "
                           "list indices of its first two occurrences."});
        methods.push_back(frame::method<pop_sig, pop_method>(
            "pop($self, list_index, element_index)\n--\n\nRemove and return one element of a list."));
    }
    methods.push_back(frame::method<contains_sig, contains_method>(
        "contains($self, index, value)\n--\n\nWhether value was ever appended to int64 list index."));
    methods.push_back(frame::method<to_numpy_sig, to_numpy_method>(
        "to_numpy($self, index)\n--\n\nA new array holding a copy of list index."));
    methods.push_back({"to_numpy_all", to_numpy_all_method, METH_NOARGS,
                       "to_numpy_all($self)\n--\n\nA new list with to_numpy(i) for every list i."});
    methods.push_back({"__reduce__", reduce_method, METH_NOARGS, "Pickling is not supported."});
    methods.push_back(frame::method<setstate_sig, setstate_method>("Pickling is not supported."));
    methods.push_back({nullptr, nullptr, 0, nullptr});
    return methods;
}

}  // namespace detail

// ---- Module code's access to any graph object ----------------------------------------------------

class Graph {
public:
    explicit Graph(PyObject* obj)
        : obj_(obj),
          own_(exact_storage(obj)),
          removable_(own_ != nullptr && std::strcmp(Py_TYPE(obj)->tp_name, kGraphTypeNames[0]) != 0) {}

    PyObject* object() const { return obj_; }
    // Direct storage for our own exact types, null otherwise.
    GraphStorage* storage() const { return own_; }

    void append(std::int64_t index, PyObject* value) const {
        if (own_ != nullptr) return append_object(*own_, index, value);
        static PyObject* name = PyUnicode_InternFromString("append");
        frame::call_method(obj_, name, {frame::py_int(index).get(), value});
    }
    void append_int(std::int64_t index, std::int64_t value) const {
        if (own_ != nullptr && own_->dtype() == DataType::INT64) return graph::append_int(*own_, index, value);
        append(index, frame::py_int(value).get());
    }
    void append_float(std::int64_t index, double value) const {
        if (own_ != nullptr && own_->dtype() == DataType::FLOAT32) return graph::append_float(*own_, index, value);
        append(index, frame::py_float(value).get());
    }

    // The truth value of contains(index, value).
    bool contains(std::int64_t index, std::int64_t value) const {
        if (own_ != nullptr) return graph::contains(*own_, index, value);
        static PyObject* name = PyUnicode_InternFromString("contains");
        Ref result = frame::call_method(obj_, name, {frame::py_int(index).get(), frame::py_int(value).get()});
        return frame::to_bool(result.get());
    }

    Ref to_numpy(std::int64_t index) const {
        if (own_ != nullptr) return graph::to_numpy(*own_, index);
        static PyObject* name = PyUnicode_InternFromString("to_numpy");
        return frame::call_method(obj_, name, {frame::py_int(index).get()});
    }

    Ref to_numpy_all() const {
        static PyObject* name = PyUnicode_InternFromString("to_numpy_all");
        return frame::call_method(obj_, name, {});
    }

    // nearmesh's type has no removal methods: it goes through the (missing) Python method.
    Ref pop(int list_index, int element_index) const {
        if (removable_) return graph::pop(*own_, list_index, element_index);
        static PyObject* name = PyUnicode_InternFromString("pop");
        return frame::call_method(obj_, name, {frame::py_int(list_index).get(), frame::py_int(element_index).get()});
    }

    // The result of pop_max(): a tuple (or None, from an override).
    Ref pop_max() const {
        if (removable_) {
            auto [first, second] = graph::pop_max(*own_);
            return frame::check(Py_BuildValue("(LL)", first, second));
        }
        static PyObject* name = PyUnicode_InternFromString("pop_max");
        Ref result = frame::call_method(obj_, name, {});
        if (result.get() != Py_None && !PyTuple_CheckExact(result.get())) {
            frame::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(result.get())->tp_name);
        }
        return result;
    }

private:
    PyObject* obj_;
    GraphStorage* own_;
    bool removable_;  // own_ with pop and pop_max
};

inline PyObject* detail::to_numpy_all_method(PyObject* self, PyObject*) noexcept {
    return frame::guarded([&] {
        Graph graph(self);
        Py_ssize_t count = static_cast<Py_ssize_t>(storage_of(self).count());
        Ref result = frame::check(PyList_New(0));
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref array = graph.to_numpy(i);
            frame::check_status(PyList_Append(result.get(), array.get()));
        }
        return result;
    });
}

// A new instance of a module's GraphWrapper `type`: type(count, dtype, max_size, lookup_opt).
inline Ref new_graph(PyTypeObject* type, long long count, int dtype, long long max_size, bool lookup = false) {
    Ref args = frame::check(Py_BuildValue("(LiLO)", count, dtype, max_size, lookup ? Py_True : Py_False));
    return frame::check(PyObject_Call(reinterpret_cast<PyObject*>(type), args.get(), nullptr));
}

// Creates the module's GraphWrapper type, binds it in the module and returns it (borrowed).
// `module_path` is the module's full import path.
inline PyTypeObject* add_graph_wrapper_type(PyObject* module, const char* module_path, Removal removal) {
    static std::string qualified_name = std::string(module_path) + ".GraphWrapper";
    static std::vector<PyMethodDef> methods = detail::method_table(removal);
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&detail::graph_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&detail::graph_dealloc)},
        {Py_tp_methods, methods.data()},
        {Py_tp_doc, const_cast<char*>(detail::graph_doc)},
        {0, nullptr},
    };
    // Immutable, as the methods of a compiled type are: module code may then read our own exact
    // instances directly without missing a method replaced on the type.
    static PyType_Spec spec = {qualified_name.c_str(), static_cast<int>(sizeof(GraphObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, slots};
    Ref type = frame::check(PyType_FromModuleAndSpec(module, &spec, nullptr));
    frame::check_status(PyModule_AddObjectRef(module, "GraphWrapper", type.get()));
    return reinterpret_cast<PyTypeObject*>(type.get());  // the module holds a reference
}

}  // namespace sorvane::graph
