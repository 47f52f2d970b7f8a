// One vertex's list of any graph object, read as typed memory.
//
// For our own exact GraphWrapper types of the matching element type the list is read straight
// from the storage; anything else goes through `to_numpy(index)`, whose result must pass the
// typed-array check of a one-dimensional array (any strides, read-only allowed). Both ways give
// the same elements and raise the same errors ("Invalid array index" for a missing list).
#pragma once

#include <Python.h>

#include <cstdint>
#include <type_traits>

#include "../module_frame/frame.hpp"
#include "graph_wrapper.hpp"

namespace sorvane::graph {

template <typename T>
class ListView {
    static_assert(std::is_same_v<T, std::int64_t> || std::is_same_v<T, float>);

public:
    // `type_name` names the element type in the dtype error ('ITYPE_t', 'DTYPE32_t', ...).
    ListView(const Graph& graph, std::int64_t index, const char* type_name) {
        constexpr DataType wanted = std::is_same_v<T, std::int64_t> ? DataType::INT64 : DataType::FLOAT32;
        GraphStorage* storage = graph.storage();
        if (storage != nullptr && storage->dtype() == wanted) {
            check_list_index(*storage, index);
            std::span<const T> list;
            if constexpr (wanted == DataType::INT64) {
                list = storage->ints(static_cast<std::size_t>(index));
            } else {
                list = storage->floats(static_cast<std::size_t>(index));
            }
            base_ = reinterpret_cast<const char*>(list.data());
            stride_ = static_cast<Py_ssize_t>(sizeof(T));
            size_ = static_cast<Py_ssize_t>(list.size());
            return;
        }
        array_ = graph.to_numpy(index);
        view_ = frame::ArrayView<const T, 1>(array_.get(), type_name, frame::Layout::Strided);
        base_ = reinterpret_cast<const char*>(view_.data());
        stride_ = view_.stride(0);
        size_ = view_.shape(0);
    }

    Py_ssize_t size() const { return size_; }
    // Unchecked: 0 <= j < size().
    T operator[](Py_ssize_t j) const { return *reinterpret_cast<const T*>(base_ + j * stride_); }

private:
    frame::Ref array_;
    frame::ArrayView<const T, 1> view_;
    const char* base_ = nullptr;
    Py_ssize_t stride_ = 0;
    Py_ssize_t size_ = 0;
};

}  // namespace sorvane::graph
