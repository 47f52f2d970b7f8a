// One vertex's list of any graph object, read as typed memory.
//
// For our own exact GraphWrapper types of the matching element type the list is read straight
// from the storage; anything else goes through `to_numpy(index)`, whose result must pass the
// typed-array check of a one-dimensional array (any strides, read-only allowed). Both ways give
// the same elements and raise the same errors ("Invalid array index" for a missing list).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include "../module_frame/frame.hpp"
#include "graph_wrapper.hpp"

namespace sorvane::graph {

template <typename T>
class ListView {
    static_assert(std::is_same_v<T, std::int64_t> || std::is_same_v<T, float>);

public:
    ListView() = default;

    // `type_name` names the element type in the dtype error ('ITYPE_t', 'DTYPE32_t', ...).
    ListView(const Graph& graph, std::int64_t index, const char* type_name) {
        constexpr DataType wanted = std::is_same_v<T, std::int64_t> ? DataType::INT64 : DataType::FLOAT32;
        GraphStorage* storage = graph.storage();
        if (storage != nullptr && storage->dtype() == wanted) {
            check_list_index(*storage, index);
            if constexpr (wanted == DataType::INT64) {
                point_at(storage->ints(static_cast<std::size_t>(index)));
            } else {
                point_at(storage->floats(static_cast<std::size_t>(index)));
            }
            return;
        }
        *this = ListView(graph.to_numpy(index), type_name);
    }

    // What a `to_numpy` returned, checked as a one-dimensional array and kept alive here.
    ListView(frame::Ref array, const char* type_name) : array_(std::move(array)) {
        view_ = std::make_unique<frame::ArrayView<const T, 1>>(array_.get(), type_name, frame::Layout::Strided);
        const auto& view = *view_;
        base_ = reinterpret_cast<const char*>(view.data());
        stride_ = view.stride(0);
        size_ = view.shape(0);
    }

    // A list the caller keeps alive for as long as the view is used.
    explicit ListView(std::span<const T> list) { point_at(list); }

    Py_ssize_t size() const { return size_; }
    // Unchecked: 0 <= j < size().
    T operator[](Py_ssize_t j) const { return *reinterpret_cast<const T*>(base_ + j * stride_); }

private:
    void point_at(std::span<const T> list) {
        base_ = reinterpret_cast<const char*>(list.data());
        stride_ = static_cast<Py_ssize_t>(sizeof(T));
        size_ = static_cast<Py_ssize_t>(list.size());
    }

    frame::Ref array_;
    // Only for a fetched array (which costs an allocation anyway): lists in storage stay light to move.
    std::unique_ptr<frame::ArrayView<const T, 1>> view_;
    const char* base_ = nullptr;
    Py_ssize_t stride_ = 0;
    Py_ssize_t size_ = 0;
};

}  // namespace sorvane::graph
