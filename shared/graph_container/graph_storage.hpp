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
#include <utility>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

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

// `count` zeroed elements of a trivial type from calloc, whose pages stay untouched until written;
// never null. A failed allocation throws std::bad_alloc (MemoryError) whatever the allocator's own
// policy on failure is (under AddressSanitizer a failed operator new ends the process).
template <typename T>
Block<T> allocate_zeroed(std::size_t count) {
    void* block = std::calloc(count == 0 ? 1 : count, sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return Block<T>(static_cast<T*>(block));
}

// Room for `count` elements of a trivial type, never null. Large blocks are mapped without reserving
// swap, so that room which is never written costs address space only: a malloc of the same size
// fails as soon as it exceeds memory and swap, as the n lists of room 3n of a large tree's
// subgraph would. Huge pages are refused for them, since each list touches only its first pages.
// Smaller blocks come from malloc. Failure throws std::bad_alloc (MemoryError).
template <typename T>
class Room {
public:
    static constexpr std::size_t kMapThreshold = std::size_t{64} << 20;

    Room() = default;
    explicit Room(std::size_t count) {
        if (count == 0) count = 1;
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        bytes_ = count * sizeof(T);
#if defined(MAP_NORESERVE) && defined(MAP_ANONYMOUS)
        if (bytes_ >= kMapThreshold) {
            void* block =
                mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (block == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_NOHUGEPAGE
            madvise(block, bytes_, MADV_NOHUGEPAGE);
#endif
            data_ = static_cast<T*>(block);
            mapped_ = true;
            return;
        }
#endif
        data_ = static_cast<T*>(std::malloc(bytes_));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;
    Room(Room&& other) noexcept { *this = std::move(other); }
    Room& operator=(Room&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
            mapped_ = std::exchange(other.mapped_, false);
        }
        return *this;
    }
    ~Room() { release(); }

    T* get() const { return data_; }
    T& operator[](std::size_t i) const { return data_[i]; }

private:
    void release() noexcept {
        if (data_ == nullptr) return;
#if defined(MAP_NORESERVE) && defined(MAP_ANONYMOUS)
        if (mapped_) {
            munmap(data_, bytes_);
            data_ = nullptr;
            return;
        }
#endif
        std::free(data_);
        data_ = nullptr;
    }

    T* data_ = nullptr;
    std::size_t bytes_ = 0;
    bool mapped_ = false;
};

}  // namespace detail

class GraphStorage {
public:
    // `capacity` is the per-list element limit; lists of a non-positive capacity stay empty.
    GraphStorage(std::size_t count, DataType dtype, int capacity, bool lookup)
        : count_(count), dtype_(dtype), capacity_(capacity), per_list_(capacity > 0 ? static_cast<std::size_t>(capacity) : 0) {
        sizes_ = detail::allocate_zeroed<int>(count);
        std::size_t element_size = dtype == DataType::INT64 ? sizeof(std::int64_t) : sizeof(float);
        if (per_list_ != 0 && count > std::numeric_limits<std::size_t>::max() / per_list_ / element_size) {
            throw std::bad_alloc();
        }
        // Untouched until written, so the reserved room costs address space, not memory.
        if (dtype == DataType::INT64) {
            ints_ = detail::Room<std::int64_t>(count * per_list_);
            if (lookup) {
                sets_.reset(new (std::nothrow) std::unique_ptr<LookupSet>[count == 0 ? 1 : count]);
                if (sets_ == nullptr) throw std::bad_alloc();
                lookup_ = true;
            }
        } else {
            floats_ = detail::Room<float>(count * per_list_);
        }
    }

    std::size_t count() const { return count_; }
    DataType dtype() const { return dtype_; }
    int capacity() const { return capacity_; }
    bool has_lookup_sets() const { return lookup_; }

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
        if (lookup_) {
            if (sets_[list] == nullptr && sizes_[list] >= kScanLimit) build_set(list);
            if (sets_[list] != nullptr) sets_[list]->insert(value);
        }
        ints_[offset(list) + static_cast<std::size_t>(sizes_[list])] = value;
        ++sizes_[list];
    }
    void push_float(std::size_t list, float value) {
        floats_[offset(list) + static_cast<std::size_t>(sizes_[list])] = value;
        ++sizes_[list];
    }

    // Membership from the lookup set once it is built (it keeps values that were removed since),
    // by a scan of the list otherwise.
    bool contains(std::size_t list, std::int64_t value) const {
        if (lookup_ && sets_[list] != nullptr) return sets_[list]->contains(value);
        for (std::int64_t element : ints(list)) {
            if (element == value) return true;
        }
        return false;
    }

    // Removes the element at `position` (in range), closing the gap; lookup sets are kept.
    void erase(std::size_t list, int position) {
        if (lookup_ && sets_[list] == nullptr) build_set(list);  // the set must keep the removed value
        std::size_t element_size = dtype_ == DataType::INT64 ? sizeof(std::int64_t) : sizeof(float);
        char* base = dtype_ == DataType::INT64 ? reinterpret_cast<char*>(ints_.get() + offset(list))
                                               : reinterpret_cast<char*>(floats_.get() + offset(list));
        std::size_t tail = static_cast<std::size_t>(sizes_[list] - position - 1);
        std::memmove(base + position * element_size, base + (position + 1) * element_size, tail * element_size);
        --sizes_[list];
    }

private:
    // A short list that never lost an element is its own lookup set: scanning at most
    // kScanLimit values is cheaper than hashing, and most lists stay that short. The hash set
    // is built when the list outgrows that or first loses an element.
    static constexpr int kScanLimit = 32;

    void build_set(std::size_t list) {
        auto set = std::make_unique<LookupSet>();
        for (std::int64_t element : ints(list)) set->insert(element);
        sets_[list] = std::move(set);
    }

    std::size_t offset(std::size_t list) const { return list * per_list_; }

    std::size_t count_;
    DataType dtype_;
    int capacity_;
    std::size_t per_list_;
    detail::Block<int> sizes_;
    detail::Room<std::int64_t> ints_;
    detail::Room<float> floats_;
    bool lookup_ = false;
    std::unique_ptr<std::unique_ptr<LookupSet>[]> sets_;  // per list, null until built
};

}  // namespace sorvane::graph
