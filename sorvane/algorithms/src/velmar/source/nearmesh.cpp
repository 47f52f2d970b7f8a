// nearmesh: the neighbour graph of the graph method.
//
// mutual_knn: k nearest neighbours by k-d tree, kept where the relation is mutual.
// informative_edges: the edges that lie on a shortest two-step route from a vertex to a labeled sample.
// create_pairwise_distance_matrix: sample-to-labeled-sample distances written to a float32 file.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "graph_container/graph_wrapper.hpp"
#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;
using sorvane::graph::DataType;
using sorvane::graph::Graph;
using sorvane::graph::GraphStorage;

constexpr const char* kModulePath = "sorvane.algorithms.src.velmar.binaries.nearmesh";

PyTypeObject* graph_type = nullptr;

// `value` unpacked into exactly two items, as `a, b = value` does.
std::pair<Ref, Ref> unpack_pair(PyObject* value) {
    Ref items = check(PySequence_Fast(value, "cannot unpack non-iterable object"));
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    if (size > 2) raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    if (size < 2) {
        raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", size, size == 1 ? "" : "s");
    }
    return {Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), 0)), Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), 1))};
}

// array[:, 1:]
Ref drop_first_column(PyObject* array) {
    Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
    Ref one = py_int(1);
    Ref from_one = check(PySlice_New(one.get(), nullptr, nullptr));
    Ref key = check(PyTuple_Pack(2, all.get(), from_one.get()));
    return check(PyObject_GetItem(array, key.get()));
}

// ---- mutual_knn -------------------------------------------------------------------------------------

constexpr Signature<3> mutual_knn_sig{"mutual_knn", {"X", "k", "p"}, 2};

// For every sample i and neighbour j of i (row i of `knn`, nearest first), appends j to list i once
// for every time i occurs in row j. `knn` holds each sample's k + 1 nearest indices; column 0 is dropped.
//
// Rows are not looked up one by one (each lookup would be a cache miss somewhere in the array):
// one pass collects, for every vertex, the rows it occurs in, and list i is then built from row i
// and that short collection alone.
void fill_mutual_graph(const ArrayView<const std::int64_t, 2>& knn, const ArrayView<const float, 2>& distances,
                       GraphStorage& connections, GraphStorage& weights) {
    const Py_ssize_t n = knn.shape(0);
    const Py_ssize_t k = distances.shape(1);
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t j = 1; j <= k; ++j) {
            std::int64_t neighbor = knn(i, j);
            if (neighbor < 0 || neighbor >= n) {
                raise_format(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %zd",
                             static_cast<long long>(neighbor), n);
            }
        }
    }
    // occurs_in[first[v] .. first[v + 1]) = the rows that hold v, ascending.
    std::vector<std::int64_t> first(static_cast<std::size_t>(n) + 1, 0);
    for (Py_ssize_t r = 0; r < n; ++r) {
        for (Py_ssize_t m = 1; m <= k; ++m) ++first[static_cast<std::size_t>(knn(r, m)) + 1];
    }
    for (std::size_t v = 0; v < static_cast<std::size_t>(n); ++v) first[v + 1] += first[v];
    std::vector<std::int32_t> occurs_in(static_cast<std::size_t>(first.back()));
    std::vector<std::int64_t> next(first.begin(), first.end() - 1);
    for (Py_ssize_t r = 0; r < n; ++r) {
        for (Py_ssize_t m = 1; m <= k; ++m) {
            occurs_in[static_cast<std::size_t>(next[static_cast<std::size_t>(knn(r, m))]++)] = static_cast<std::int32_t>(r);
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const auto rows = std::span(occurs_in).subspan(static_cast<std::size_t>(first[static_cast<std::size_t>(i)]),
                                                       static_cast<std::size_t>(first[static_cast<std::size_t>(i) + 1] -
                                                                                first[static_cast<std::size_t>(i)]));
        for (Py_ssize_t j = 0; j < k; ++j) {
            const std::int64_t neighbor = knn(i, j + 1);
            for (std::int32_t row : rows) {
                if (row == neighbor) {
                    sorvane::graph::append_int(connections, i, neighbor);
                    sorvane::graph::append_float(weights, i, distances(i, j));
                }
            }
        }
    }
}

Ref mutual_knn(const Args<3>& a) {
    ArrayView<double, 2> X(a[0], "DTYPE_t", Layout::CContiguous);
    int k = to_int(a[1]);
    if (a.given(2)) to_int(a[2]);  // accepted for compatibility; the search is always Euclidean
    const Py_ssize_t n = X.shape(0);
    if (n > std::numeric_limits<int>::max()) raise(PyExc_OverflowError, "value too large to convert to int");

    Ref tree = call(module_global("KDTree").get(), {a[0]});
    Ref query = get_attr(tree.get(), "query");
    Ref result = call_kw(query.get(), {a[0]}, {{"k", py_int(static_cast<long long>(k) + 1).get()},
                                               {"workers", py_int(-1).get()}});
    auto [distances_full, indices_full] = unpack_pair(result.get());
    ArrayView<const double, 2> distance_view(distances_full.get(), "DTYPE_t", Layout::Strided);
    ArrayView<const std::int64_t, 2> knn(indices_full.get(), "ITYPE_t", Layout::Strided);

    Ref float32 = get_attr(module_global("np").get(), "float32");
    Ref sliced_distances = drop_first_column(distances_full.get());
    static PyObject* astype = PyUnicode_InternFromString("astype");
    Ref knn_weights_sparse = call_method(sliced_distances.get(), astype, {float32.get()});
    Ref knn_connections_sparse = drop_first_column(indices_full.get());

    Ref mutual_connections = sorvane::graph::new_graph(graph_type, n, 0, k);
    Ref mutual_weights = sorvane::graph::new_graph(graph_type, n, 1, k);
    if (n > 0 && k > 0) {
        ArrayView<const float, 2> weights_view(knn_weights_sparse.get(), "DTYPE32_t", Layout::CContiguous);
        if (knn.shape(0) != n || knn.shape(1) != k + 1 || weights_view.shape(0) != n || weights_view.shape(1) != k) {
            raise(PyExc_ValueError, "the tree query returned arrays of an unexpected shape");
        }
        fill_mutual_graph(knn, weights_view, *Graph(mutual_connections.get()).storage(),
                          *Graph(mutual_weights.get()).storage());
    }
    return check(PyTuple_Pack(4, mutual_connections.get(), mutual_weights.get(), knn_connections_sparse.get(),
                              knn_weights_sparse.get()));
}

// ---- distance matrices ------------------------------------------------------------------------------
//
// Distances from every sample to every labeled sample, as float32: computed by `distance.cdist` (in
// double) one block of rows at a time and stored into a preallocated float32 matrix or a file map, so
// that a single float64 block is all that exists besides the result.

// About this many float64 elements per in-memory block (8 MiB).
constexpr long long kBlockElements = 1LL << 20;

// Whether `obj` exports a buffer of native doubles.
bool exports_doubles(PyObject* obj) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();  // the typed check that follows reports it
        return false;
    }
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    bool doubles = format[0] == 'd' && format[1] == 0;
    PyBuffer_Release(&view);
    return doubles;
}

// A sample matrix must be a two-dimensional float32 or float64 array; float32 is the reported name.
// Returns its (rows, columns).
std::pair<Py_ssize_t, Py_ssize_t> check_sample_matrix(PyObject* obj) {
    if (exports_doubles(obj)) {
        ArrayView<double, 2> view(obj, "DTYPE_t", Layout::Strided);
        return {view.shape(0), view.shape(1)};
    }
    ArrayView<float, 2> view(obj, "DTYPE32_t", Layout::Strided);
    return {view.shape(0), view.shape(1)};
}

// What the distance file is made from, read from the input-data object and checked before any file exists.
struct DistanceInputs {
    int n = 0;
    int n_labeled = 0;
    Ref data;
    Ref labeled;
};

DistanceInputs read_distance_inputs(PyObject* X) {
    DistanceInputs inputs;
    inputs.n = input_data::n(X);
    inputs.n_labeled = input_data::labeled_count(X);
    inputs.data = input_data::data(X);
    auto [data_rows, data_columns] = check_sample_matrix(inputs.data.get());
    inputs.labeled = input_data::get_labeled(X);
    auto [labeled_rows, labeled_columns] = check_sample_matrix(inputs.labeled.get());
    // Blocks that do not fit would be broadcast over the file's rows or columns by the store.
    if (data_rows < inputs.n) {
        raise_format(PyExc_ValueError, "X.data has %zd rows, fewer than X.n (%d)", data_rows, inputs.n);
    }
    if (labeled_rows != inputs.n_labeled) {
        raise_format(PyExc_ValueError, "X.get_labeled() returned %zd rows, but X.labeled_count is %d", labeled_rows,
                     inputs.n_labeled);
    }
    if (data_columns != labeled_columns) {
        raise(PyExc_ValueError, "XA and XB must have the same number of columns (i.e. feature dimension.)");
    }
    return inputs;
}

// The rows per block for `chunk_size`, with the errors of `range(0, n, chunk_size)`; 0 writes no block.
long long block_step(PyObject* chunk_size, int n) {
    call(reinterpret_cast<PyObject*>(&PyRange_Type), {py_int(0).get(), py_int(n).get(), chunk_size});
    Ref step = check(PyNumber_Index(chunk_size));
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(step.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0) return overflow > 0 ? std::numeric_limits<long long>::max() : 0;
    return std::max(value, 0LL);
}

// target[i:end, :] = distance.cdist(data[i:end], labeled, metric="euclidean") for i = 0, step, 2 * step, ...
// while i < rows. NumPy's assignment rounds each float64 block to the target's float32.
void fill_distance_blocks(PyObject* target, PyObject* data, PyObject* labeled, long long rows, long long step) {
    if (step <= 0) return;
    step = std::min(step, std::max(rows, 1LL));  // keeps i + step in range
    Ref cdist = get_attr(module_global("distance").get(), "cdist");
    Ref metric = intern("euclidean");
    Ref all_columns = check(PySlice_New(nullptr, nullptr, nullptr));
    for (long long i = 0; i < rows; i += step) {
        long long end = std::min(i + step, rows);
        Ref begin_index = py_int(i);
        Ref end_index = py_int(end);
        Ref block_rows = check(PySlice_New(begin_index.get(), end_index.get(), nullptr));
        Ref chunk = check(PyObject_GetItem(data, block_rows.get()));
        Ref block = call_kw(cdist.get(), {chunk.get(), labeled}, {{"metric", metric.get()}});
        Ref key = check(PyTuple_Pack(2, block_rows.get(), all_columns.get()));
        check_status(PyObject_SetItem(target, key.get(), block.get()));
    }
}

// np.memmap(file, dtype="float32", mode=mode, shape=(rows, columns))
Ref map_distance_file(PyObject* file, const char* mode, PyObject* rows, PyObject* columns) {
    Ref memmap = get_attr(module_global("np").get(), "memmap");
    Ref shape = check(PyTuple_Pack(2, rows, columns));
    Ref dtype = intern("float32");
    Ref mode_text = intern(mode);
    return call_kw(memmap.get(), {file}, {{"dtype", dtype.get()}, {"mode", mode_text.get()}, {"shape", shape.get()}});
}

// Creates (or overwrites) `file` as the n x n_labeled float32 matrix, filled `step` rows at a time.
void write_distance_file(const DistanceInputs& inputs, PyObject* file, long long step) {
    Ref rows = py_int(inputs.n);
    Ref columns = py_int(inputs.n_labeled);
    Ref distance_matrix = map_distance_file(file, "w+", rows.get(), columns.get());
    fill_distance_blocks(distance_matrix.get(), inputs.data.get(), inputs.labeled.get(), inputs.n, step);
    static PyObject* flush = PyUnicode_InternFromString("flush");
    call_method(distance_matrix.get(), flush, {});
}

constexpr Signature<3> create_pairwise_distance_matrix_sig{"create_pairwise_distance_matrix",
                                                           {"X", "filename", "chunk_size"}, 2};

Ref create_pairwise_distance_matrix(const Args<3>& a) {
    DistanceInputs inputs = read_distance_inputs(a[0]);
    Ref default_chunk_size = py_int(5000);
    long long step = block_step(a.given(2) ? a[2] : default_chunk_size.get(), inputs.n);
    write_distance_file(inputs, a[1], step);
    return py_none();
}

// The rows of an in-memory distance matrix: row r holds sample order[r], and sample v is in row
// rank[v]. Both empty: the natural order.
struct RowOrder {
    std::vector<std::int32_t> order;
    std::vector<std::int32_t> rank;
};

// Prefetch hint for data read soon; no effect on results.
inline void prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// The vertices [0, limit) breadth first from each unvisited vertex in turn, entering only neighbours
// in [0, limit): vertices visited one after another share most of the neighbours they read.
std::vector<std::int32_t> breadth_first_order(const GraphStorage& connections, std::size_t limit) {
    std::vector<std::int32_t> order;
    order.reserve(limit);
    std::vector<char> seen(limit, 0);
    for (std::size_t root = 0; root < limit; ++root) {
        if (seen[root]) continue;
        seen[root] = 1;
        order.push_back(static_cast<std::int32_t>(root));
        for (std::size_t head = order.size() - 1; head < order.size(); ++head) {
            // The lists a few places ahead are known already: fetch them while this one is read.
            if (head + 8 < order.size()) {
                prefetch(connections.ints(static_cast<std::size_t>(order[head + 8])).data());
            }
            for (std::int64_t next : connections.ints(static_cast<std::size_t>(order[head]))) {
                if (next < 0 || static_cast<std::uint64_t>(next) >= limit || seen[static_cast<std::size_t>(next)]) {
                    continue;
                }
                seen[static_cast<std::size_t>(next)] = 1;
                order.push_back(static_cast<std::int32_t>(next));
            }
        }
    }
    return order;
}

// Row order of the matrix for `rows` samples: the graph's breadth-first order (so that the rows one
// vertex reads lie close together and close to those of the vertices visited just before), then the
// samples without a list.
RowOrder visiting_row_order(const GraphStorage& connections, std::size_t rows) {
    RowOrder result;
    result.order = breadth_first_order(connections, std::min(rows, connections.count()));
    for (std::size_t v = result.order.size(); v < rows; ++v) result.order.push_back(static_cast<std::int32_t>(v));
    result.rank.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        result.rank[static_cast<std::size_t>(result.order[r])] = static_cast<std::int32_t>(r);
    }
    return result;
}

// cdist(X.data, X.get_labeled()) as a float32 matrix. With `graph` (and plain numeric samples), the
// rows are laid out in the graph's visiting order, described in `row_order`; otherwise in natural order.
Ref pairwise_in_memory(PyObject* X, const GraphStorage* graph, RowOrder& row_order) {
    Ref data = input_data::data(X);
    Ref labeled = input_data::get_labeled(X);
    Ref np = module_global("np");
    Ref asarray = get_attr(np.get(), "asarray");
    Ref samples = call(asarray.get(), {data.get()});
    Ref labeled_samples = call(asarray.get(), {labeled.get()});
    auto* a = reinterpret_cast<PyArrayObject*>(samples.get());
    auto* b = reinterpret_cast<PyArrayObject*>(labeled_samples.get());
    if (!PyArray_Check(samples.get()) || !PyArray_Check(labeled_samples.get()) || PyArray_NDIM(a) != 2 ||
        PyArray_NDIM(b) != 2 || PyArray_DIM(a, 1) != PyArray_DIM(b, 1)) {
        // Not a pair of matching matrices: the single call raises cdist's own error.
        Ref cdist = get_attr(module_global("distance").get(), "cdist");
        Ref whole = call(cdist.get(), {samples.get(), labeled_samples.get()});
        static PyObject* astype = PyUnicode_InternFromString("astype");
        return call_method(whole.get(), astype, {get_attr(np.get(), "float32").get()});
    }
    npy_intp dims[2] = {PyArray_DIM(a, 0), PyArray_DIM(b, 0)};
    Ref matrix = check(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
    // A block's rows as float64: the distances, and the samples as cdist converts them.
    const long long block_row = std::max<long long>(dims[1] + PyArray_DIM(a, 1), 1);
    long long step = std::max(1LL, kBlockElements / block_row);
    // Numbers only: a conversion error would name the first bad value, and that must not depend on the order.
    const bool numeric = PyArray_ISINTEGER(a) || PyArray_ISFLOAT(a) || PyArray_ISBOOL(a);
    if (graph != nullptr && numeric && dims[0] > 0 && dims[1] > 0 &&
        dims[0] <= std::numeric_limits<std::int32_t>::max()) {
        row_order = visiting_row_order(*graph, static_cast<std::size_t>(dims[0]));
        npy_intp length = dims[0];
        Ref index = check(PyArray_SimpleNew(1, &length, NPY_INT32));
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(index.get())), row_order.order.data(),
                    row_order.order.size() * sizeof(std::int32_t));
        samples = check(PyObject_GetItem(samples.get(), index.get()));
    }
    fill_distance_blocks(matrix.get(), samples.get(), labeled_samples.get(), dims[0], step);
    return matrix;
}

// A new, uniquely named file in the current directory, created exclusively and held open; closed and
// removed when the object goes, whether the call succeeds or fails.
class TemporaryFile {
public:
    TemporaryFile() {
        Ref tempfile = check(PyImport_ImportModule("tempfile"));
        Ref os = check(PyImport_ImportModule("os"));
        Ref directory = call(get_attr(os.get(), "getcwd").get(), {});
        Ref prefix = intern("tmp");
        Ref suffix = intern(".dat");
        Ref made = call_kw(get_attr(tempfile.get(), "mkstemp").get(), {},
                           {{"suffix", suffix.get()}, {"prefix", prefix.get()}, {"dir", directory.get()}});
        fd_ = check(PySequence_GetItem(made.get(), 0));
        path_ = check(PySequence_GetItem(made.get(), 1));
        int fd = to_int(fd_.get());
        file_ = Ref::steal(PyFile_FromFd(fd, nullptr, "w+b", -1, nullptr, nullptr, nullptr, 1));
        if (!file_) {
            remove();
            throw PythonError{};
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { remove(); }

    // The open file object (np.memmap maps it directly, so the name is never opened again).
    PyObject* file() const { return file_.get(); }

private:
    // Best effort: an error here never replaces the one in flight.
    void remove() noexcept {
        PyObject* in_flight = PyErr_GetRaisedException();
        static PyObject* close = PyUnicode_InternFromString("close");
        try {
            Ref os = check(PyImport_ImportModule("os"));
            if (file_) {
                call_method(file_.get(), close, {});
            } else if (fd_) {
                call(get_attr(os.get(), "close").get(), {fd_.get()});
            }
        } catch (...) {
            PyErr_Clear();
        }
        try {
            Ref os = check(PyImport_ImportModule("os"));
            if (path_) call(get_attr(os.get(), "unlink").get(), {path_.get()});
        } catch (...) {
            PyErr_Clear();
        }
        file_ = Ref();
        fd_ = Ref();
        path_ = Ref();
        PyErr_SetRaisedException(in_flight);
    }

    Ref fd_;
    Ref path_;
    Ref file_;
};

// ---- informative edges ------------------------------------------------------------------------------

// The hot loop also gets an AVX2 version, picked at load time where the processor has it.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define NEARMESH_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define NEARMESH_VECTOR_CLONES
#endif

// Running minimum: best[c] = min(best[c], row[c] + weight), remembering the position of the first minimum.
// The strict comparison keeps the earliest position on ties and never takes a NaN or +inf sum.
NEARMESH_VECTOR_CLONES void fold_contiguous(const float* __restrict row, std::size_t width, float weight,
                                            int position, float* __restrict best, int* __restrict best_position) {
    for (std::size_t c = 0; c < width; ++c) {
        const float sum = row[c] + weight;
        const float current = best[c];
        // Branch-free (a mask, not a conditional store), so that the loop vectorises.
        const std::int32_t better = -static_cast<std::int32_t>(sum < current);
        best[c] = sum < current ? sum : current;
        best_position[c] = (position & better) | (best_position[c] & ~better);
    }
}

// At most this many rows per vertex fit the bit set of `pick_rows`.
constexpr std::size_t kMaskRows = 32;

#if defined(__GNUC__) || defined(__clang__)
using Floats8 = float __attribute__((vector_size(32)));
using Ints8 = std::int32_t __attribute__((vector_size(32)));

// The columns [c0, c0 + 8 * V) of `pick_rows`, the minima held in registers over all rows.
// Always inlined, so that each processor-specific version of the caller gets its own copy.
template <int V>
__attribute__((always_inline)) inline std::uint32_t pick_block(const float* const* rows, const float* weights,
                                                               std::size_t count, std::size_t c0) {
    Floats8 best[V];
    Ints8 picked[V];
    for (int v = 0; v < V; ++v) {
        best[v] = Floats8{} + std::numeric_limits<float>::infinity();
        picked[v] = Ints8{};
    }
    for (std::size_t i = 0; i < count; ++i) {
        const float* row = rows[i] + c0;
        const float weight = weights[i];
        const Ints8 bit = Ints8{} + static_cast<std::int32_t>(1u << i);
        for (int v = 0; v < V; ++v) {
            Floats8 values;
            std::memcpy(&values, row + 8 * v, sizeof values);
            const Floats8 sum = values + weight;
            const Ints8 better = sum < best[v];
            best[v] = better ? sum : best[v];
            picked[v] = better ? bit : picked[v];
        }
    }
    Ints8 all = picked[0];
    for (int v = 1; v < V; ++v) all |= picked[v];
    std::uint32_t result = 0;
    for (int lane = 0; lane < 8; ++lane) result |= static_cast<std::uint32_t>(all[lane]);
    return result;
}
#endif

// The running minimum of `fold_contiguous` over rows[0 .. count) (count <= kMaskRows), all rows at once
// and a block of columns at a time, so that the minima stay in registers: returns the set of rows (bit
// i = row i) that are the first minimum of some column.
NEARMESH_VECTOR_CLONES std::uint32_t pick_rows(const float* const* rows, const float* weights, std::size_t count,
                                               std::size_t width) {
    std::uint32_t picked_rows = 0;
    std::size_t c0 = 0;
#if defined(__GNUC__) || defined(__clang__)
    for (; c0 + 32 <= width; c0 += 32) picked_rows |= pick_block<4>(rows, weights, count, c0);
    for (; c0 + 8 <= width; c0 += 8) picked_rows |= pick_block<1>(rows, weights, count, c0);
#endif
    for (std::size_t c = c0; c < width; ++c) {
        float best = std::numeric_limits<float>::infinity();
        std::uint32_t picked = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const float sum = rows[i][c] + weights[i];
            if (sum < best) {
                best = sum;
                picked = 1u << i;
            }
        }
        picked_rows |= picked;
    }
    return picked_rows;
}

// The same over the columns `labels` of a row with any column stride (in bytes).
void fold_gathered(const char* row, Py_ssize_t column_stride, std::span<const std::int64_t> labels, float weight,
                   int position, float* __restrict best, int* __restrict best_position) {
    for (std::size_t j = 0; j < labels.size(); ++j) {
        float value;
        std::memcpy(&value, row + labels[j] * column_stride, sizeof value);
        const float sum = value + weight;
        if (sum < best[j]) {
            best[j] = sum;
            best_position[j] = position;
        }
    }
}

// For one vertex: every labeled column picks the neighbour position with the smallest
// distances[neighbour, column] + weight (float32); the vertex keeps the union of the picks. A column
// without a finite pick adds nothing, so neither the order nor repeats of the columns matter.
class NeighbourSelection {
public:
    // `distances` and `labels` (the columns) stay fixed over the calls of `select`. With `rank`, the
    // distances of sample v are in row rank[v].
    NeighbourSelection(const ArrayView<const float, 2>& distances, std::span<const std::int64_t> labels,
                       std::span<const std::int32_t> rank = {})
        : distances_(distances), labels_(labels), rank_(rank.empty() ? nullptr : rank.data()) {
        if (labels.empty()) return;
        const auto [low, high] = std::minmax_element(labels.begin(), labels.end());
        low_ = *low;
        high_ = *high;
        // Columns side by side in memory are scanned as one run, which vectorises; a sparse choice of
        // columns or a strided matrix is gathered column by column.
        const std::uint64_t span = static_cast<std::uint64_t>(high_) - static_cast<std::uint64_t>(low_) + 1;
        // Only columns inside the matrix: others are refused by `select`, column by column.
        contiguous_ = low_ >= 0 && high_ < distances.shape(1) &&
                      distances.stride(1) == static_cast<Py_ssize_t>(sizeof(float)) &&
                      distances.stride(0) % static_cast<Py_ssize_t>(alignof(float)) == 0 &&
                      reinterpret_cast<std::uintptr_t>(distances.data()) % alignof(float) == 0 &&
                      span <= 2 * static_cast<std::uint64_t>(labels.size()) + 64;
        if (contiguous_) {
            width_ = static_cast<std::size_t>(span);
            used_.assign(width_, 0);
            for (std::int64_t column : labels) used_[static_cast<std::size_t>(column - low_)] = 1;
            for (std::size_t c = 0; c < width_; ++c) {
                if (used_[c]) columns_.push_back(c);
            }
            // Every column of the run is a labeled one: the picks of the whole run are the answer.
            dense_ = columns_.size() == width_;
        } else {
            width_ = labels.size();
            for (std::size_t j = 0; j < width_; ++j) columns_.push_back(j);
        }
    }

    // The picked positions into `neighbours`, ascending; valid until the next call. Only the entries
    // read are checked, as bounds-checked indexing would.
    const std::vector<int>& select(std::span<const std::int64_t> neighbours, std::span<const float> weights) {
        positions_.clear();
        const std::size_t rows = neighbours.size();
        if (rows == 0 || labels_.empty()) return positions_;
        if (rows > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            raise(PyExc_ValueError, "too many neighbours for one vertex");
        }
        if (weights.size() < rows) raise(PyExc_IndexError, "Out of bounds on buffer access (axis 0)");
        for (std::int64_t neighbour : neighbours) distances_.check_index(neighbour, 0);
        distances_.check_index(low_, 1);
        distances_.check_index(high_, 1);

        if (dense_ && rows <= kMaskRows) {
            for (std::uint32_t mask = pick_mask(neighbours, weights); mask != 0; mask &= mask - 1) {
                positions_.push_back(std::countr_zero(mask));
            }
            return positions_;
        }

        best_.assign(width_, std::numeric_limits<float>::infinity());
        best_position_.assign(width_, -1);
        for (std::size_t i = 0; i < rows; ++i) {
            const char* row = row_of(neighbours[i]);
            if (contiguous_) {
                fold_contiguous(reinterpret_cast<const float*>(row) + low_, width_, weights[i], static_cast<int>(i),
                                best_.data(), best_position_.data());
            } else {
                fold_gathered(row, distances_.stride(1), labels_, weights[i], static_cast<int>(i), best_.data(),
                              best_position_.data());
            }
        }

        chosen_.assign(rows, 0);
        for (std::size_t c : columns_) {
            int position = best_position_[c];
            if (position >= 0) chosen_[static_cast<std::size_t>(position)] = 1;
        }
        for (std::size_t i = 0; i < rows; ++i) {
            if (chosen_[i]) positions_.push_back(static_cast<int>(i));
        }
        return positions_;
    }

    // Picks of every vertex in [0, limit) of our own containers, whose lists the caller has checked
    // (see `checked_prefix`), into `chosen` (indexed from `offsets` by list position). The vertices are
    // visited in the order of the matrix rows when it has one, breadth first otherwise: neighbouring
    // vertices share most of the matrix rows they read, which then are still in the cache.
    void select_all(const GraphStorage& connections, const GraphStorage& weights, int limit,
                    std::span<const std::int32_t> row_order, std::vector<std::int64_t>& offsets,
                    std::vector<char>& chosen) {
        const auto count = static_cast<std::size_t>(limit);
        offsets.assign(count + 1, 0);
        for (std::size_t i = 0; i < count; ++i) offsets[i + 1] = offsets[i] + connections.size(i);
        chosen.assign(static_cast<std::size_t>(offsets.back()), 0);

        std::vector<std::int32_t> sequence;
        if (row_order.empty()) {
            sequence = breadth_first_order(connections, count);
        } else {
            sequence.reserve(count);
            for (std::int32_t v : row_order) {
                if (static_cast<std::size_t>(v) < count) sequence.push_back(v);
            }
            for (std::size_t v = row_order.size(); v < count; ++v) sequence.push_back(static_cast<std::int32_t>(v));
        }

        // Where each vertex's lists and picks are, gathered in visiting order first: independent loads,
        // which overlap, instead of a cache miss at every vertex of the selection loop.
        struct Vertex {
            const std::int64_t* neighbours;
            const float* weights;
            char* picked;
            std::size_t size;
        };
        std::vector<Vertex> visits(sequence.size());
        for (std::size_t at = 0; at < sequence.size(); ++at) {
            const auto vertex = static_cast<std::size_t>(sequence[at]);
            std::span<const std::int64_t> neighbours = connections.ints(vertex);
            visits[at] = Vertex{neighbours.data(), weights.floats(vertex).data(), chosen.data() + offsets[vertex],
                                neighbours.size()};
        }

        // Lists are fetched this many vertices ahead (the matrix rows follow the visiting order already).
        constexpr std::size_t kListsAhead = 16;
        for (std::size_t at = 0; at < visits.size(); ++at) {
            if (at + kListsAhead < visits.size()) {
                prefetch(visits[at + kListsAhead].neighbours);
                prefetch(visits[at + kListsAhead].weights);
            }
            const Vertex& visit = visits[at];
            if (visit.size == 0) continue;
            std::span<const std::int64_t> neighbours(visit.neighbours, visit.size);
            std::span<const float> list_weights(visit.weights, visit.size);
            if (dense_ && visit.size <= kMaskRows) {
                for (std::uint32_t mask = pick_mask(neighbours, list_weights); mask != 0; mask &= mask - 1) {
                    visit.picked[std::countr_zero(mask)] = 1;
                }
            } else {
                for (int position : select(neighbours, list_weights)) {
                    visit.picked[static_cast<std::size_t>(position)] = 1;
                }
            }
        }
    }

    // The first vertex of [0, n) whose lists `select` would refuse (or that has no lists), else n.
    int checked_prefix(const GraphStorage& connections, const GraphStorage& weights, int n) const {
        const bool check_columns = !labels_.empty();
        const bool columns_fit = low_ >= 0 && high_ < distances_.shape(1);
        for (int i = 0; i < n; ++i) {
            const auto list = static_cast<std::size_t>(i);
            if (list >= connections.count()) return i;
            std::span<const std::int64_t> neighbours = connections.ints(list);
            if (neighbours.empty()) continue;
            if (list >= weights.count() || weights.floats(list).size() != neighbours.size()) return i;
            if (check_columns && !columns_fit) return i;
            for (std::int64_t neighbour : neighbours) {
                if (neighbour < 0 || neighbour >= distances_.shape(0)) return i;
            }
        }
        return n;
    }

    bool contiguous() const { return contiguous_; }

private:
    // The matrix row of sample `neighbour` (in range).
    const char* row_of(std::int64_t neighbour) const {
        const std::int64_t row = rank_ != nullptr ? rank_[neighbour] : neighbour;
        return reinterpret_cast<const char*>(distances_.data()) + row * distances_.stride(0);
    }

    // `select` for a dense run and at most kMaskRows checked neighbours: bit i = position i is picked.
    std::uint32_t pick_mask(std::span<const std::int64_t> neighbours, std::span<const float> weights) const {
        const float* rows[kMaskRows];
        for (std::size_t i = 0; i < neighbours.size(); ++i) {
            rows[i] = reinterpret_cast<const float*>(row_of(neighbours[i])) + low_;
        }
        return pick_rows(rows, weights.data(), neighbours.size(), width_);
    }

    const ArrayView<const float, 2>& distances_;
    std::span<const std::int64_t> labels_;
    const std::int32_t* rank_ = nullptr;
    std::int64_t low_ = 0;
    std::int64_t high_ = -1;
    bool contiguous_ = false;
    bool dense_ = false;
    std::size_t width_ = 0;
    std::vector<char> used_;            // contiguous: whether a column of the run is a labeled one
    std::vector<std::size_t> columns_;  // the entries of best_position_ that belong to a labeled column
    std::vector<float> best_;
    std::vector<int> best_position_;
    std::vector<char> chosen_;
    std::vector<int> positions_;
};

// A vertex's neighbour indices given as a NumPy array: checked as int64, one-dimensional, any strides.
class NeighbourArray {
public:
    explicit NeighbourArray(PyObject* obj) {
        check_arg_type(obj, &PyArray_Type, "connections", false);
        check_not_none(obj, &PyArray_Type, "connections");
        view_ = ArrayView<const std::int64_t, 1>(obj, "ITYPE_t", Layout::Strided);
        if (!view_.is_c_contiguous()) {
            copy_.resize(static_cast<std::size_t>(view_.shape(0)));
            for (Py_ssize_t i = 0; i < view_.shape(0); ++i) copy_[static_cast<std::size_t>(i)] = view_(i);
        }
    }
    std::span<const std::int64_t> span() const { return view_.is_c_contiguous() ? view_.span() : std::span(copy_); }

private:
    ArrayView<const std::int64_t, 1> view_;
    std::vector<std::int64_t> copy_;
};

constexpr Signature<4> find_idx_set_sig{"_find_idx_set", {"distances", "labels", "connections", "weights"}};

Ref find_idx_set(const Args<4>& a) {
    ArrayView<const float, 2> distances(a[0], "DTYPE32_t", Layout::Strided);
    ArrayView<std::int64_t, 1> labels(a[1], "ITYPE_t", Layout::CContiguous);
    NeighbourArray connections(a[2]);
    ArrayView<float, 1> weights(a[3], "float32_t", Layout::CContiguous);
    NeighbourSelection selection(distances, labels.span());
    Ref result = check(PySet_New(nullptr));
    for (int position : selection.select(connections.span(), weights.span())) {
        check_status(PySet_Add(result.get(), py_int(position).get()));
    }
    return result;
}

// List i of a connections and a weights container: read in place from our own exact containers, through
// `to_numpy` otherwise (so that overrides are honoured), and checked as `_find_idx_set` checks them.
class VertexLists {
public:
    VertexLists(const Graph& connections, const Graph& weights, int i) {
        GraphStorage* own_connections = connections.storage();
        GraphStorage* own_weights = weights.storage();
        bool direct_connections = own_connections != nullptr && own_connections->dtype() == DataType::INT64;
        bool direct_weights = own_weights != nullptr && own_weights->dtype() == DataType::FLOAT32;
        if (direct_connections) {
            sorvane::graph::check_list_index(*own_connections, i);
            neighbours_ = own_connections->ints(static_cast<std::size_t>(i));
        } else {
            connection_array_ = connections.to_numpy(i);
        }
        if (direct_weights) {
            sorvane::graph::check_list_index(*own_weights, i);
            weights_ = own_weights->floats(static_cast<std::size_t>(i));
        } else {
            weight_array_ = weights.to_numpy(i);
        }
        if (!direct_connections) {
            connection_view_.emplace(connection_array_.get());
            neighbours_ = connection_view_->span();
        }
        if (!direct_weights) {
            weight_view_ = ArrayView<float, 1>(weight_array_.get(), "float32_t", Layout::CContiguous);
            weights_ = weight_view_.span();
        }
        // Weights are read at the positions of the neighbours: fewer of them is an index out of range.
        if (weights_.size() < neighbours_.size()) raise(PyExc_IndexError, "Out of bounds on buffer access (axis 0)");
    }

    std::span<const std::int64_t> neighbours() const { return neighbours_; }
    std::span<const float> weights() const { return weights_; }

private:
    Ref connection_array_;
    Ref weight_array_;
    std::optional<NeighbourArray> connection_view_;
    ArrayView<float, 1> weight_view_;
    std::span<const std::int64_t> neighbours_;
    std::span<const float> weights_;
};

constexpr Signature<4> informative_edges_sig{"informative_edges", {"X", "k", "connections", "weights"}};

// A graph argument: an instance of this module's GraphWrapper (subclasses too), never None.
void check_graph_argument(PyObject* obj, const char* param) {
    check_arg_type(obj, graph_type, param, false);
    check_not_none(obj, graph_type, param);
}

// Number of entries in list i, read from the container itself (also for a subclass).
int list_size(PyObject* graph, int i) {
    GraphStorage* storage = reinterpret_cast<sorvane::graph::GraphObject*>(graph)->storage;
    if (storage == nullptr) raise(PyExc_ValueError, "the container was not constructed");
    sorvane::graph::check_list_index(*storage, i);
    return storage->size(static_cast<std::size_t>(i));
}

// contains(index, value) on the kept edges, answered from the list itself: nothing is ever removed
// from it during the call, so the list holds exactly what its lookup set holds, and a short scan of
// it is cheaper than a hash lookup.
bool holds(const GraphStorage& kept, std::int64_t index, std::int64_t value) {
    sorvane::graph::check_list_index(kept, index);
    for (std::int64_t element : kept.ints(static_cast<std::size_t>(index))) {
        if (element == value) return true;
    }
    return false;
}

// The edges picked by the vertices [0, limit) (`chosen`, indexed from `offsets` by list position), added
// exactly as the vertex-by-vertex loop adds them: the same lists in the same order, and on failure the
// error of the first addition that fails. The additions are grouped by target list and made list after
// list, so that each list and its lookup set are built in one go instead of being revisited in random
// order, one cache miss after another.
void keep_picked_edges(GraphStorage& kept, GraphStorage& kept_weights, const GraphStorage& connections,
                       const GraphStorage& weights, int limit, const std::vector<std::int64_t>& offsets,
                       const std::vector<char>& chosen) {
    struct Addition {
        std::int64_t value;
        float weight;
    };
    const std::size_t lists = kept.count();
    // Visits the additions in sequence order: i gets v, then v gets i, for every pick (i, v). Stops
    // before the first addition to a list that does not exist and returns whether there is one.
    auto for_each_addition = [&](auto&& add) -> bool {
        for (std::size_t i = 0; i < static_cast<std::size_t>(limit); ++i) {
            std::span<const std::int64_t> neighbours = connections.ints(i);
            std::span<const float> list_weights = weights.floats(i);
            const char* picked = chosen.data() + offsets[i];
            for (std::size_t p = 0; p < neighbours.size(); ++p) {
                if (!picked[p]) continue;
                const std::int64_t v = neighbours[p];
                add(i, Addition{v, list_weights[p]});
                if (v < 0 || static_cast<std::uint64_t>(v) >= lists) return true;
                add(static_cast<std::size_t>(v), Addition{static_cast<std::int64_t>(i), list_weights[p]});
            }
        }
        return false;
    };

    std::vector<std::int64_t> begin(lists + 1, 0);
    const bool missing_list =
        for_each_addition([&](std::size_t list, const Addition&) { ++begin[list + 1]; });
    for (std::size_t list = 0; list < lists; ++list) begin[list + 1] += begin[list];
    std::vector<Addition> additions(static_cast<std::size_t>(begin[lists]));
    std::vector<std::int64_t> fill(begin.begin(), begin.end() - 1);
    for_each_addition([&](std::size_t list, const Addition& addition) {
        additions[static_cast<std::size_t>(fill[list]++)] = addition;
    });

    bool full_list = false;
    for (std::size_t list = 0; list < lists; ++list) {
        for (std::int64_t a = begin[list]; a < begin[list + 1]; ++a) {
            const Addition& addition = additions[static_cast<std::size_t>(a)];
            if (holds(kept, static_cast<std::int64_t>(list), addition.value)) continue;
            if (kept.full(list)) {
                full_list = true;
                break;  // nothing after it happens in this list
            }
            kept.push_int(list, addition.value);
            kept_weights.push_float(list, addition.weight);
        }
    }
    // Only additions before a missing list were made, so a full list, if any, came first.
    if (full_list) raise(PyExc_OverflowError, "Array has reached its maximum size");
    if (missing_list) raise(PyExc_IndexError, "Invalid array index");
}

// Above this many samples the distances go through a temporary file; read at call time.
long long file_path_threshold() { return to_int64(module_global("_FILE_PATH_THRESHOLD").get()); }

Ref informative_edges(const Args<4>& a) {
    PyObject* X = a[0];
    int k = to_int(a[1]);
    check_graph_argument(a[2], "connections");
    check_graph_argument(a[3], "weights");
    Graph connections(a[2]);
    Graph weights(a[3]);

    const int n = input_data::n(X);
    Ref np = module_global("np");
    Ref labeled_arange = call_kw(get_attr(np.get(), "arange").get(), {input_data::labeled_count_object(X).get()},
                                 {{"dtype", get_attr(np.get(), "int64").get()}});

    // Declared before the map, so that the map is released before the file is removed.
    std::optional<TemporaryFile> file;
    Ref distance_matrix;
    RowOrder row_order;
    // Our own containers are read in place; the matrix rows then follow their visiting order.
    GraphStorage* own_connections = connections.storage();
    GraphStorage* own_weights = weights.storage();
    const bool own_lists = own_connections != nullptr && own_connections->dtype() == DataType::INT64 &&
                           own_weights != nullptr && own_weights->dtype() == DataType::FLOAT32;
    // Without labeled samples there is nothing to store (and an empty file cannot be mapped).
    if (n > file_path_threshold() && length(labeled_arange.get()) != 0) {
        DistanceInputs inputs = read_distance_inputs(X);
        file.emplace();
        write_distance_file(inputs, file->file(), 5000);
        Ref rows = py_int(n);
        distance_matrix = map_distance_file(file->file(), "r", rows.get(), input_data::labeled_count_object(X).get());
    } else {
        distance_matrix = pairwise_in_memory(X, own_lists ? own_connections : nullptr, row_order);
    }

    call(get_attr(get_attr(np.get(), "random").get(), "shuffle").get(), {labeled_arange.get()});
    ArrayView<const float, 2> distances(distance_matrix.get(), "DTYPE32_t", Layout::Strided);
    ArrayView<const std::int64_t, 1> labels(labeled_arange.get(), "ITYPE_t", Layout::CContiguous);

    Ref weights_after = sorvane::graph::new_graph(graph_type, n, 1, k);
    Ref connections_after = sorvane::graph::new_graph(graph_type, n, 0, k, true);
    GraphStorage& kept_weights = *Graph(weights_after.get()).storage();
    GraphStorage& kept = *Graph(connections_after.get()).storage();

    // Adds the edges of vertex i to the picked positions, each direction once.
    auto keep = [&](int i, std::span<const std::int64_t> neighbours, std::span<const float> list_weights,
                    int position) {
        const std::int64_t vertex = neighbours[static_cast<std::size_t>(position)];
        const float weight = list_weights[static_cast<std::size_t>(position)];
        if (!holds(kept, i, vertex)) {
            sorvane::graph::append_int(kept, i, vertex);
            sorvane::graph::append_float(kept_weights, i, weight);
        }
        if (!holds(kept, vertex, i)) {
            sorvane::graph::append_int(kept, vertex, i);
            sorvane::graph::append_float(kept_weights, vertex, weight);
        }
    };

    NeighbourSelection selection(distances, labels.span(), row_order.rank);
    int start = 0;
    // Our own containers: the picks of the vertices up to the first one that would fail are computed
    // ahead, in an order that reuses cached matrix rows, and their edges added list by list, with the
    // same result as the vertex-by-vertex loop that handles the rest (and any subclass).
    if (own_lists && selection.contiguous()) {
        start = selection.checked_prefix(*own_connections, *own_weights, n);
        std::vector<std::int64_t> offsets;
        std::vector<char> chosen;
        selection.select_all(*own_connections, *own_weights, start, row_order.order, offsets, chosen);
        keep_picked_edges(kept, kept_weights, *own_connections, *own_weights, start, offsets, chosen);
    }
    for (int i = start; i < n; ++i) {
        if (list_size(a[2], i) == 0) continue;
        VertexLists lists(connections, weights, i);
        for (int position : selection.select(lists.neighbours(), lists.weights())) {
            keep(i, lists.neighbours(), lists.weights(), position);
        }
    }
    return check(PyTuple_Pack(2, connections_after.get(), weights_after.get()));
}

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
    function<mutual_knn_sig, mutual_knn>(
        "mutual_knn(X, k, p=2)\n--\n\n"
        "Mutual k-nearest-neighbour graph of the rows of X (C-contiguous float64).\n\n"
        "Returns (mutual_connections, mutual_weights, knn_connections_sparse, knn_weights_sparse):\n"
        "a GraphWrapper pair (int64 neighbours, float32 distances) holding j in list i exactly when\n"
        "each of i and j is among the k nearest neighbours of the other, and the plain neighbour\n"
        "indices (n x k view) and float32 distances (n x k), the sample itself removed. The search is\n"
        "Euclidean; p is accepted and has no effect."),
    function<find_idx_set_sig, find_idx_set>(
        "_find_idx_set(distances, labels, connections, weights)\n--\n\n"
        "Positions into connections picked for one vertex: for every column c in labels, the first\n"
        "position i with the smallest distances[connections[i], c] + weights[i] (float32 sums; NaN and\n"
        "+inf never picked). distances: 2-D float32 (any strides, may be read-only); labels: 1-D\n"
        "C-contiguous int64; connections: 1-D int64 ndarray; weights: 1-D C-contiguous float32, at least\n"
        "as long as connections. Returns a set of ints."),
    function<create_pairwise_distance_matrix_sig, create_pairwise_distance_matrix>(
        "create_pairwise_distance_matrix(X, filename, chunk_size=5000)\n--\n\n"
        "Write the Euclidean distances from every sample (row of X.data) to every labeled sample (row of\n"
        "X.get_labeled()) to filename as a raw row-major float32 matrix of X.n x X.labeled_count, no\n"
        "header, computing chunk_size rows at a time in double. X.data and X.get_labeled() are 2-D float32\n"
        "or float64 arrays. Returns None."),
    function<informative_edges_sig, informative_edges>(
        "informative_edges(X, k, connections, weights)\n--\n\n"
        "Keep, for every vertex i and labeled sample c, the edge i-v of the neighbour v that minimises\n"
        "weight(i, v) + distance(v, c); return the kept edges as a new symmetric pair\n"
        "(connections_after, weights_after), the connections with lookup sets, max_size k. Each edge keeps\n"
        "the weight of the vertex that picked it first.\n\n"
        "Annotations: connections: GraphWrapper, weights: GraphWrapper (this module's type; subclasses\n"
        "accepted, None refused).\n\n"
        "The distances to the labeled samples are computed in memory, or, above _FILE_PATH_THRESHOLD\n"
        "samples, in a uniquely named temporary file in the current directory that is removed before the\n"
        "call returns or fails. Advances NumPy's global random generator by one shuffle."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"distance", "scipy.spatial", "distance"},
    {"np", "numpy", nullptr},
    {"KDTree", "scipy.spatial", "KDTree"},
    {"np", "numpy", nullptr},
    {"time", "time", nullptr},
};

void add_types(PyObject* module) {
    graph_type = sorvane::graph::add_graph_wrapper_type(module, kModulePath, sorvane::graph::Removal::Without);
    // Sample count above which informative_edges goes through a file; tests lower it.
    check_status(PyModule_AddIntConstant(module, "_FILE_PATH_THRESHOLD", 500000));
}

const ModuleDefinition definition{
    "nearmesh",
    "Neighbour graph of the graph method: mutual kNN graph, informative edges, distance file.",
    imports,
    functions,
    add_types,
};

}  // namespace

SORVANE_MODULE(nearmesh, definition)
