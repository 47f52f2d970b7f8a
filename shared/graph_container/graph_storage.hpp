// Storage of a GraphWrapper: a fixed number of typed lists of bounded length, one per vertex,
// reserved once at construction, with optional per-list lookup sets for int64 lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <unordered_set>

namespace sorvane::graph {

enum class DataType : std::uint32_t { INT64 = 0, FLOAT32 = 1 };

// Vertex indices are their own hash.
struct IdentityHash {
    std::size_t operator()(std::int64_t value) const noexcept { return static_cast<std::size_t>(value); }
};
using LookupSet = std::unordered_set<std::int64_t, IdentityHash>;

namespace detail {

struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};
template <typename T>
using Block = std::unique_ptr<T[], FreeDeleter>;

// `count` elements of a trivial type from malloc (zeroed by calloc when asked), so that room that is
// reserved but never written costs address space only. Never null, even for no elements (the lists
// are copied out with memcpy). A failed allocation throws std::bad_alloc (MemoryError) whatever the
// allocator's own policy on failure is.
template <typename T>
Block<T> allocate(std::size_t count, bool zeroed) {
    if (count == 0) count = 1;
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* block = zeroed ? std::calloc(count, sizeof(T)) : std::malloc(count * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return Block<T>(static_cast<T*>(block));
}

}  // namespace detail

class GraphStorage {
public:
    // `capacity` is the per-list element limit; lists of a non-positive capacity stay empty.
    GraphStorage(std::size_t count, DataType dtype, int capacity, bool lookup)
        : count_(count), dtype_(dtype), capacity_(capacity), per_list_(capacity > 0 ? static_cast<std::size_t>(capacity) : 0) {
        sizes_ = detail::allocate<int>(count, true);
        std::size_t element_size = dtype == DataType::INT64 ? sizeof(std::int64_t) : sizeof(float);
        if (per_list_ != 0 && count > std::numeric_limits<std::size_t>::max() / per_list_ / element_size) {
            throw std::bad_alloc();
        }
        // Untouched until written, so the reserved room costs address space, not memory.
        if (dtype == DataType::INT64) {
            ints_ = detail::allocate<std::int64_t>(count * per_list_, false);
            if (lookup) {
                sets_.reset(new (std::nothrow) LookupSet[count]);
                if (sets_ == nullptr && count != 0) throw std::bad_alloc();
            }
        } else {
            floats_ = detail::allocate<float>(count * per_list_, false);
        }
    }

    std::size_t count() const { return count_; }
    DataType dtype() const { return dtype_; }
    int capacity() const { return capacity_; }
    bool has_lookup_sets() const { return sets_ != nullptr; }

    int size(std::size_t list) const { return sizes_[list]; }
    bool full(std::size_t list) const { return sizes_[list] >= capacity_; }

    std::span<const std::int64_t> ints(std::size_t list) const {
        return {ints_.get() + offset(list), static_cast<std::size_t>(sizes_[list])};
    }
    std::span<const float> floats(std::size_t list) const {
        return {floats_.get() + offset(list), static_cast<std::size_t>(sizes_[list])};
    }

    // Preconditions: the list exists, is not full, and holds elements of the pushed type.
    // The lookup set is updated first, so a failed insertion leaves the list unchanged.
    void push_int(std::size_t list, std::int64_t value) {
        if (sets_ != nullptr) sets_[list].insert(value);
        ints_[offset(list) + static_cast<std::size_t>(sizes_[list])] = value;
        ++sizes_[list];
    }
    void push_float(std::size_t list, float value) {
        floats_[offset(list) + static_cast<std::size_t>(sizes_[list])] = value;
        ++sizes_[list];
    }

    // Membership from the lookup set when there is one (it keeps values that were removed since),
    // by a scan of the list otherwise.
    bool contains(std::size_t list, std::int64_t value) const {
        if (sets_ != nullptr) return sets_[list].contains(value);
        for (std::int64_t element : ints(list)) {
            if (element == value) return true;
        }
        return false;
    }

    // Removes the element at `position` (in range), closing the gap; lookup sets are kept.
    void erase(std::size_t list, int position) {
        std::size_t element_size = dtype_ == DataType::INT64 ? sizeof(std::int64_t) : sizeof(float);
        char* base = dtype_ == DataType::INT64 ? reinterpret_cast<char*>(ints_.get() + offset(list))
                                               : reinterpret_cast<char*>(floats_.get() + offset(list));
        std::size_t tail = static_cast<std::size_t>(sizes_[list] - position - 1);
        std::memmove(base + position * element_size, base + (position + 1) * element_size, tail * element_size);
        --sizes_[list];
    }

private:
    std::size_t offset(std::size_t list) const { return list * per_list_; }

    std::size_t count_;
    DataType dtype_;
    int capacity_;
    std::size_t per_list_;
    detail::Block<int> sizes_;
    detail::Block<std::int64_t> ints_;
    detail::Block<float> floats_;
    std::unique_ptr<LookupSet[]> sets_;
};

}  // namespace sorvane::graph
