// treleck_core: tree-cut clustering: labeled paths, label subgraph, cuts and labelling.
//
// A spanning forest is cut, heaviest edge first, among the edges that lie on paths between
// differently labeled vertices, until no such path is left; then the vertices of each label are
// chained together and every piece is flood-filled with the label it holds.
//
// The depth-first searches run on explicit stacks (a tree can be one long chain) and visit
// vertices and neighbours in the same order as the plain recursive formulation, so results and
// the sequence of container calls are the same. Graphs are read through `Graph`: our own
// GraphWrapper types directly, any other object through its Python methods.

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "graph_container/graph_wrapper.hpp"
#include "graph_container/list_view.hpp"
#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;
using sorvane::graph::DataType;
using sorvane::graph::Graph;
using sorvane::graph::GraphStorage;
using sorvane::graph::ListView;

constexpr const char* kModulePath = "sorvane.algorithms.src.treleck.binaries.treleck_core";

PyTypeObject* graph_type = nullptr;

using LabelView = ArrayView<const std::int8_t, 1>;

// The `labels` argument: a numpy.ndarray of int8, one dimension, any strides.
template <typename T>
ArrayView<T, 1> label_argument(PyObject* obj) {
    check_arg_type(obj, &PyArray_Type, "labels", false);
    check_not_none(obj, &PyArray_Type, "labels");
    return ArrayView<T, 1>(obj, "int8_t", Layout::Strided);
}

[[noreturn]] void raise_out_of_bounds() { raise(PyExc_IndexError, "Out of bounds on buffer access (axis 0)"); }

// Vertices are 32-bit; a label array longer than that still only has 32-bit vertices.
Py_ssize_t vertex_limit(Py_ssize_t label_count) {
    return std::min<Py_ssize_t>(label_count, std::numeric_limits<int>::max());
}

// ---- Neighbour lists --------------------------------------------------------------------------------

// The neighbours of one vertex: read straight from our own int64 storage, from what the graph's
// `to_numpy` returned, or (leniently) from any sequence it returned.
class NeighborList {
public:
    // A one-dimensional int64 array is required (any strides).
    static NeighborList typed(const Graph& graph, int vertex) {
        return NeighborList(ListView<std::int64_t>(graph, vertex, "ITYPE_t"));
    }

    // A list held by the caller for as long as this one is used.
    static NeighborList of(std::span<const std::int64_t> list) { return NeighborList(ListView<std::int64_t>(list)); }

    // Any sequence whose elements convert to 32-bit integers (see `vertex`).
    static NeighborList lenient(const Graph& graph, int vertex) {
        GraphStorage* storage = graph.storage();
        if (storage != nullptr && storage->dtype() == DataType::INT64) return typed(graph, vertex);
        Ref result = graph.to_numpy(vertex);
        PyObject* obj = result.get();
        if (PyArray_Check(obj)) {
            auto* array = reinterpret_cast<PyArrayObject*>(obj);
            if (PyArray_NDIM(array) == 1 && PyArray_TYPE(array) == NPY_INT64 && PyArray_ISNOTSWAPPED(array)) {
                return NeighborList(ListView<std::int64_t>(std::move(result), "ITYPE_t"));
            }
        }
        NeighborList list;
        list.items_ = check(PySequence_Fast(obj, "to_numpy() must return a sequence"));
        list.size_ = PySequence_Fast_GET_SIZE(list.items_.get());
        return list;
    }

    Py_ssize_t size() const { return size_; }

    // Element i of an int64 list.
    std::int64_t operator[](Py_ssize_t i) const { return list_[i]; }

    // Element i converted to a 32-bit integer; OverflowError outside that range.
    int vertex(Py_ssize_t i) const {
        if (items_) return to_int(PySequence_Fast_GET_ITEM(items_.get(), i));
        std::int64_t value = (*this)[i];
        if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
            raise(PyExc_OverflowError, "value too large to convert to int");
        }
        return static_cast<int>(value);
    }

    // Position of the first occurrence of `value`, searched from the front; ValueError if absent.
    int position_of(std::int64_t value) const {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            if ((*this)[i] == value) return static_cast<int>(i);
        }
        raise_format(PyExc_ValueError, "%lld is not in list", static_cast<long long>(value));
    }

private:
    NeighborList() = default;
    explicit NeighborList(ListView<std::int64_t> list) : list_(std::move(list)), size_(list_.size()) {}

    ListView<std::int64_t> list_;
    Ref items_;  // the elements of a result that is not an int64 array
    Py_ssize_t size_ = 0;
};

// The weight at `position` of list `vertex` of a float32 weights graph.
float weight_at(const Graph& weights, int vertex, int position) {
    GraphStorage* storage = weights.storage();
    if (storage != nullptr && storage->dtype() == DataType::FLOAT32) {
        sorvane::graph::check_list_index(*storage, vertex);
        std::span<const float> list = storage->floats(static_cast<std::size_t>(vertex));
        if (static_cast<std::size_t>(position) >= list.size()) raise_out_of_bounds();
        return list[static_cast<std::size_t>(position)];
    }
    Ref array = weights.to_numpy(vertex);
    ArrayView<const float, 1> view(array.get(), "DTYPE32_t", Layout::Strided);
    return view.at(position);
}

// A compact copy of a forest held in a pair of our own containers, for the repeated searches of
// the cutting loop. The containers keep the lists 3 * max_size elements apart, so a walk over them
// touches a new page at every vertex; the copy packs the lists and is kept in step with each cut.
class CompactForest {
public:
    // The copy of an aligned pair (int64 connections, float32 weights, same list sizes), or none.
    static std::optional<CompactForest> of(const Graph& connections, const Graph& weights) {
        const GraphStorage* c = connections.storage();
        const GraphStorage* w = weights.storage();
        if (c == nullptr || w == nullptr || c->dtype() != DataType::INT64 || w->dtype() != DataType::FLOAT32 ||
            c->count() != w->count()) {
            return std::nullopt;
        }
        CompactForest forest;
        forest.offsets_.reserve(c->count());
        forest.sizes_.reserve(c->count());
        for (std::size_t v = 0; v < c->count(); ++v) {
            if (c->size(v) != w->size(v)) return std::nullopt;
            forest.offsets_.push_back(forest.neighbors_.size());
            forest.sizes_.push_back(static_cast<std::size_t>(c->size(v)));
            forest.neighbors_.insert(forest.neighbors_.end(), c->ints(v).begin(), c->ints(v).end());
            forest.weights_.insert(forest.weights_.end(), w->floats(v).begin(), w->floats(v).end());
        }
        return forest;
    }

    Py_ssize_t count() const { return static_cast<Py_ssize_t>(sizes_.size()); }

    // With the list-index check of the containers.
    std::span<const std::int64_t> neighbors(int v) const {
        if (v < 0 || v >= count()) raise(PyExc_IndexError, "Invalid array index");
        return {neighbors_.data() + offsets_[v], sizes_[v]};
    }

    float weight(int v, int position) const { return weights_[offsets_[v] + static_cast<std::size_t>(position)]; }

    // Mirrors a removal from both containers.
    void erase(int v, int position) {
        std::size_t begin = offsets_[v] + static_cast<std::size_t>(position);
        std::size_t end = offsets_[v] + sizes_[v];
        std::copy(neighbors_.begin() + begin + 1, neighbors_.begin() + end, neighbors_.begin() + begin);
        std::copy(weights_.begin() + begin + 1, weights_.begin() + end, weights_.begin() + begin);
        --sizes_[v];
    }

private:
    std::vector<std::size_t> offsets_;
    std::vector<std::size_t> sizes_;
    std::vector<std::int64_t> neighbors_;
    std::vector<float> weights_;
};

// ---- Path search ------------------------------------------------------------------------------------

// Depth-first enumeration of the paths from an origin to vertices of another label (0 or more)
// through vertices of negative label, abandoning any branch that steps onto the bomb node.
// Paths come out in the order of the recursive search: all paths through the first admissible
// neighbour before those through the second. The state is reused by the searches of one call.
class PathSearch {
public:
    // The neighbours come from `compact` when given, which then mirrors `graph`.
    PathSearch(PyObject* graph, const LabelView& labels, const CompactForest* compact = nullptr)
        : graph_(graph), compact_(compact), labels_(labels), limit_(vertex_limit(labels.shape(0))),
          on_path_(static_cast<std::size_t>(limit_), 0) {}

    NeighborList neighbors(int vertex) const {
        if (compact_ != nullptr) return NeighborList::of(compact_->neighbors(vertex));
        return NeighborList::typed(graph_, vertex);
    }

    Py_ssize_t vertex_count() const { return labels_.shape(0); }

    // The label of a vertex; IndexError outside the label array.
    std::int8_t label(std::int64_t vertex) const {
        if (vertex < 0 || vertex >= limit_) raise_out_of_bounds();
        return labels_(static_cast<Py_ssize_t>(vertex));
    }

    // Searches from `start`, the path walked so far being `prefix` (whose first element, when
    // there is one, is the origin). Calls `emit(walked)` for every path found, `walked` being the
    // part after the prefix, from `start` to the labeled end.
    template <typename Emit>
    void run(std::span<const std::int64_t> prefix, int start, int bomb, Emit&& emit) {
        const std::int64_t origin = prefix.empty() ? start : prefix.front();
        std::optional<std::int8_t> origin_label;  // read when first needed, as the walk does
        outside_prefix_.clear();
        for (std::int64_t v : prefix) mark(v, true);
        walked_.assign(1, start);
        mark(start, true);
        frames_.clear();

        // Steps onto `vertex` (already on `walked_`); false when the branch ends there.
        auto enter = [&](int vertex) {
            if (bomb != -1 && vertex == bomb) return false;
            if (label(vertex) > -1 && vertex != origin) {
                emit(std::span<const int>(walked_));
                return false;
            }
            frames_.push_back({neighbors(vertex), 0});
            return true;
        };

        if (enter(start)) {
            while (!frames_.empty()) {
                Frame& frame = frames_.back();
                if (frame.next == frame.neighbors.size()) {
                    frames_.pop_back();
                    mark(walked_.back(), false);
                    walked_.pop_back();
                    continue;
                }
                std::int64_t neighbor = frame.neighbors[frame.next++];
                if (on_path(neighbor)) continue;
                std::int8_t neighbor_label = label(neighbor);
                if (!origin_label) origin_label = label(origin);
                if (neighbor_label == *origin_label) continue;
                int vertex = static_cast<int>(neighbor);
                walked_.push_back(vertex);
                mark(vertex, true);
                if (!enter(vertex)) {
                    mark(vertex, false);
                    walked_.pop_back();
                }
            }
        }
        for (int v : walked_) mark(v, false);
        for (std::int64_t v : prefix) mark(v, false);
    }

private:
    struct Frame {
        NeighborList neighbors;
        Py_ssize_t next;
    };

    bool in_range(std::int64_t v) const { return v >= 0 && v < limit_; }

    void mark(std::int64_t v, bool on) {
        if (in_range(v)) {
            on_path_[static_cast<std::size_t>(v)] = on ? 1 : 0;
        } else if (on) {
            outside_prefix_.push_back(v);  // only a caller's prefix can hold such a value
        }
    }

    bool on_path(std::int64_t v) const {
        if (in_range(v)) return on_path_[static_cast<std::size_t>(v)] != 0;
        return std::find(outside_prefix_.begin(), outside_prefix_.end(), v) != outside_prefix_.end();
    }

    Graph graph_;
    const CompactForest* compact_;
    const LabelView& labels_;
    Py_ssize_t limit_;
    std::vector<std::uint8_t> on_path_;
    std::vector<std::int64_t> outside_prefix_;
    std::vector<int> walked_;
    std::vector<Frame> frames_;
};

// Searches from `start`, then from the far end of every path found, with the vertex before that
// end as bomb node so that the search does not walk back, each follow-up run to completion before
// the next path's: `emit(path)` sees the paths in that order. On a forest the ends along a chain
// of follow-ups are distinct vertices; a longer chain means a cycle.
template <typename Emit>
void explore(PathSearch& search, int start, Emit&& emit) {
    struct Hop {
        int end;
        int before_end;
    };
    struct Level {
        std::size_t next;
        std::size_t end;
        int bomb;
    };
    std::vector<Hop> hops;
    std::vector<Level> levels;
    auto search_from = [&](int from, int bomb) {
        std::size_t first = hops.size();
        search.run({}, from, bomb, [&](std::span<const int> path) {
            emit(path);
            hops.push_back({path.back(), path[path.size() - 2]});
        });
        levels.push_back({first, hops.size(), bomb});
    };
    search_from(start, -1);
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.end) {
            levels.pop_back();
            continue;
        }
        Hop hop = hops[level.next++];
        if (hop.end == level.bomb) continue;
        if (static_cast<Py_ssize_t>(levels.size()) >= search.vertex_count()) {
            raise_format(PyExc_ValueError,
                         "explore_graph_recursive: the chain of follow-up searches from vertex %d grew longer than "
                         "the number of vertices (%zd); the graph has a cycle, but a forest is required",
                         start, search.vertex_count());
        }
        search_from(hop.end, hop.before_end);
    }
}

// A path as a new Python list: the caller's prefix objects, then the walked vertices.
Ref path_list(std::span<PyObject* const> prefix, std::span<const int> walked) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(prefix.size() + walked.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : prefix) PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
    for (int v : walked) PyList_SET_ITEM(list.get(), i++, py_int(v).release());
    return list;
}

// ---- Label subgraph ---------------------------------------------------------------------------------

// One entry of the label subgraph: `to` in the list of `from`, with the weight of that edge.
struct SubgraphEntry {
    int from;
    int to;
    float weight;
};

// Number of lists of a graph: what `to_numpy_all` returns holds one array per list.
Py_ssize_t list_count(const Graph& graph) {
    if (GraphStorage* storage = graph.storage()) return static_cast<Py_ssize_t>(storage->count());
    Py_ssize_t count = PyObject_Length(graph.to_numpy_all().get());
    if (count < 0) throw PythonError{};
    return count;
}

struct LabelSubgraph {
    std::vector<SubgraphEntry> entries;
    Py_ssize_t list_count;  // one list per list of the full graph
};

// The entries of the label subgraph in the order its lists receive them: the paths of a search
// from every labeled vertex (label not -1) that no earlier path touched and that was not searched,
// in ascending order; along every path each edge in both directions, skipping entries already
// present. Weights are those of the first occurrence of the edge in the full graph.
LabelSubgraph label_subgraph(const Graph& connections, const Graph& weights, const LabelView& labels,
                             const CompactForest* compact = nullptr) {
    PathSearch search(connections.object(), labels, compact);
    std::vector<std::uint8_t> visited(static_cast<std::size_t>(vertex_limit(labels.shape(0))), 0);
    std::vector<std::pair<int, int>> pairs;
    std::unordered_set<std::uint64_t> present;
    auto add = [&](int from, int to) {
        std::uint64_t key = static_cast<std::uint64_t>(static_cast<std::uint32_t>(from)) << 32;
        key |= static_cast<std::uint32_t>(to);
        if (present.insert(key).second) pairs.emplace_back(from, to);
    };
    for (std::size_t v = 0; v < visited.size(); ++v) {
        if (labels(static_cast<Py_ssize_t>(v)) == -1 || visited[v] != 0) continue;
        bool found = false;
        explore(search, static_cast<int>(v), [&](std::span<const int> path) {
            found = true;
            for (int u : path) visited[static_cast<std::size_t>(u)] = 1;
            for (std::size_t k = 0; k + 1 < path.size(); ++k) {
                add(path[k], path[k + 1]);
                add(path[k + 1], path[k]);
            }
        });
        if (!found) visited[v] = 1;
    }

    LabelSubgraph subgraph{{}, compact != nullptr ? compact->count() : list_count(connections)};
    subgraph.entries.reserve(pairs.size());
    for (auto [from, to] : pairs) {
        if (from >= subgraph.list_count) raise(PyExc_IndexError, "Invalid array index");
        float weight = 0.0f;
        if (compact != nullptr) {
            int position = NeighborList::of(compact->neighbors(from)).position_of(to);
            weight = compact->weight(from, position);
        } else {
            int position = NeighborList::typed(connections, from).position_of(to);
            weight = weight_at(weights, from, position);
        }
        subgraph.entries.push_back({from, to, weight});
    }
    return subgraph;
}

// ---- Flood fill -------------------------------------------------------------------------------------

// The caller's set of visited vertices.
class SetOfVisited {
public:
    explicit SetOfVisited(PyObject* set) : set_(set) {}
    bool contains(int v) const { return check_status(PySet_Contains(set_, py_int(v).get())) != 0; }
    void add(int v) { check_status(PySet_Add(set_, py_int(v).get())); }

private:
    PyObject* set_;
};

// A fresh, empty set of visited vertices, for vertex indices within the labels.
class VisitedBitmap {
public:
    explicit VisitedBitmap(Py_ssize_t count) : bits_(static_cast<std::size_t>(count), 0) {}
    bool contains(int v) const { return v >= 0 && static_cast<std::size_t>(v) < bits_.size() && bits_[v] != 0; }
    void add(int v) {
        if (v >= 0 && static_cast<std::size_t>(v) < bits_.size()) bits_[v] = 1;
    }

private:
    std::vector<std::uint8_t> bits_;
};

// Gives `label` to `node` and to every vertex reachable from it without passing through a vertex
// already in `visited`, depth first (neighbours in list order), adding them to `visited`.
template <typename Visited>
void flood_fill(const Graph& graph, int node, std::int8_t label, Visited& visited,
                const ArrayView<std::int8_t, 1>& labels) {
    struct Frame {
        NeighborList neighbors;
        Py_ssize_t next;
    };
    std::vector<Frame> frames;
    // Each vertex is entered at most once while `visited` only grows; a `to_numpy` that empties it
    // behind our back would otherwise keep the fill going until memory runs out.
    Py_ssize_t entered = 0;
    auto enter = [&](int vertex) {
        visited.add(vertex);
        labels.at(vertex) = label;
        if (++entered > labels.shape(0)) {
            raise(PyExc_RecursionError, "make_labels entered more vertices than there are labels: "
                                        "the visited set shrank during the fill");
        }
        frames.push_back({NeighborList::lenient(graph, vertex), 0});
    };
    enter(node);
    while (!frames.empty()) {
        Frame& frame = frames.back();
        if (frame.next == frame.neighbors.size()) {
            frames.pop_back();
            continue;
        }
        int neighbor = frame.neighbors.vertex(frame.next++);
        if (!visited.contains(neighbor)) enter(neighbor);
    }
}

// ---- Clusterize -------------------------------------------------------------------------------------

// The entry to cut: the first one, in the order of the subgraph's lists (ascending list, then
// position), holding the largest weight, where a weight counts when it is -1.0 or more (so a NaN
// never does).
const SubgraphEntry& heaviest_entry(const std::vector<SubgraphEntry>& entries) {
    float maximum = -1.0f;
    bool found = false;
    for (const SubgraphEntry& e : entries) {
        if (e.weight > maximum || (!found && e.weight == maximum)) {
            maximum = e.weight;
            found = true;
        }
    }
    if (!found) raise(PyExc_ValueError, "All sub-arrays are empty, cannot pop max");
    const SubgraphEntry* first = nullptr;
    for (const SubgraphEntry& e : entries) {  // entries of one list keep their order
        if (e.weight == maximum && (first == nullptr || e.from < first->from)) first = &e;
    }
    return *first;
}

// Removes the edge {first, second} from both containers (and their compact copy, if any), at the
// first occurrence of each end in the other's list.
void cut_edge(const Graph& connections, const Graph& weights, int first, int second, CompactForest* compact) {
    auto list = [&](int v) {
        return compact != nullptr ? NeighborList::of(compact->neighbors(v)) : NeighborList::typed(connections, v);
    };
    int first_position = list(first).position_of(second);
    int second_position = list(second).position_of(first);
    connections.pop(first, first_position);
    connections.pop(second, second_position);
    weights.pop(first, first_position);
    weights.pop(second, second_position);
    if (compact != nullptr) {
        compact->erase(first, first_position);
        compact->erase(second, second_position);
    }
}

// The vertices of every label other than -1, ascending, grouped in order of first occurrence.
std::vector<std::vector<int>> label_groups(const LabelView& labels) {
    std::vector<std::vector<int>> groups;
    std::array<int, 256> group_of;
    group_of.fill(-1);
    for (Py_ssize_t v = 0; v < vertex_limit(labels.shape(0)); ++v) {
        std::int8_t label = labels(v);
        if (label == -1) continue;
        int& group = group_of[static_cast<std::uint8_t>(label)];
        if (group < 0) {
            group = static_cast<int>(groups.size());
            groups.emplace_back();
        }
        groups[static_cast<std::size_t>(group)].push_back(static_cast<int>(v));
    }
    return groups;
}

// ---- Python functions -------------------------------------------------------------------------------

constexpr Signature<5> find_all_paths_sig{
    "find_all_paths_with_labels", {"connections_sparse", "labels", "start", "bomb_node", "path"}, 3};

Ref find_all_paths_with_labels(const Args<5>& a) {
    check_arg_type(a[1], &PyArray_Type, "labels", false);
    int start = to_int(a[2]);
    int bomb = a.given(3) ? to_int(a[3]) : -1;
    LabelView labels = label_argument<const std::int8_t>(a[1]);
    Ref prefix_items;
    std::vector<PyObject*> prefix_objects;
    std::vector<std::int64_t> prefix;
    if (a.given(4) && a[4] != Py_None) {
        prefix_items = check(PySequence_List(a[4]));
        Py_ssize_t size = PyList_GET_SIZE(prefix_items.get());
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PyList_GET_ITEM(prefix_items.get(), i);
            prefix_objects.push_back(item);
            prefix.push_back(to_int64(check(PyNumber_Index(item)).get()));
        }
    }
    PathSearch search(a[0], labels);
    Ref result = check(PyList_New(0));
    search.run(prefix, start, bomb, [&](std::span<const int> walked) {
        check_status(PyList_Append(result.get(), path_list(prefix_objects, walked).get()));
    });
    return result;
}

constexpr Signature<3> explore_sig{"explore_graph_recursive", {"connections_sparse", "labels", "start"}};

Ref explore_graph_recursive(const Args<3>& a) {
    check_arg_type(a[1], &PyArray_Type, "labels", false);
    int start = to_int(a[2]);
    LabelView labels = label_argument<const std::int8_t>(a[1]);
    PathSearch search(a[0], labels);
    Ref all_paths = check(PyList_New(0));
    explore(search, start, [&](std::span<const int> path) {
        check_status(PyList_Append(all_paths.get(), path_list({}, path).get()));
    });
    return all_paths;
}

constexpr Signature<3> find_subgraph_sig{
    "find_subgraph_with_labels", {"connections_sparse", "weights_sparse", "labels"}};

Ref find_subgraph_with_labels(const Args<3>& a) {
    LabelView labels = label_argument<const std::int8_t>(a[2]);
    LabelSubgraph subgraph = label_subgraph(Graph(a[0]), Graph(a[1]), labels);
    Py_ssize_t count = subgraph.list_count;
    Ref sub_connections = sorvane::graph::new_graph(graph_type, count, 0, count);
    Ref sub_weights = sorvane::graph::new_graph(graph_type, count, 1, count);
    GraphStorage& sub_connection_lists = *Graph(sub_connections.get()).storage();
    GraphStorage& sub_weight_lists = *Graph(sub_weights.get()).storage();
    for (const SubgraphEntry& e : subgraph.entries) {
        sorvane::graph::append_int(sub_connection_lists, e.from, e.to);
        sorvane::graph::append_float(sub_weight_lists, e.from, e.weight);
    }
    return check(PyTuple_Pack(2, sub_connections.get(), sub_weights.get()));
}

constexpr Signature<5> make_labels_sig{"make_labels", {"connections_sparse", "node", "label", "visited", "labels"}};

Ref make_labels(const Args<5>& a) {
    int node = to_int(a[1]);
    int label = to_int(a[2]);
    check_arg_type(a[3], &PySet_Type, "visited", true);
    ArrayView<std::int8_t, 1> labels = label_argument<std::int8_t>(a[4]);
    if (a[3] == Py_None) raise(PyExc_AttributeError, "'NoneType' object has no attribute 'add'");
    if (label < std::numeric_limits<std::int8_t>::min() || label > std::numeric_limits<std::int8_t>::max()) {
        raise(PyExc_OverflowError, "value too large to convert to int8_t");
    }
    SetOfVisited visited(a[3]);
    flood_fill(Graph(a[0]), node, static_cast<std::int8_t>(label), visited, labels);
    return py_none();
}

constexpr Signature<3> clusterize_sig{"clusterize", {"connections_sparse", "weights_sparse", "labels"}};

Ref clusterize(const Args<3>& a) {
    LabelView labels = label_argument<const std::int8_t>(a[2]);
    Graph connections(a[0]);
    Graph weights(a[1]);
    const Py_ssize_t n = labels.shape(0);

    // Cut the heaviest edge between differently labeled vertices until none is left. Our own
    // containers are searched through a compact copy: no Python code runs meanwhile.
    std::optional<CompactForest> compact = CompactForest::of(connections, weights);
    CompactForest* forest = compact ? &*compact : nullptr;
    for (;;) {
        LabelSubgraph subgraph = label_subgraph(connections, weights, labels, forest);
        if (subgraph.entries.empty()) break;
        const SubgraphEntry& cut = heaviest_entry(subgraph.entries);
        cut_edge(connections, weights, cut.from, cut.to, forest);
    }

    // Chain the vertices of each label with edges of weight 1.
    std::vector<std::vector<int>> groups = label_groups(labels);
    Ref one = py_int(1);
    for (const std::vector<int>& group : groups) {
        for (std::size_t k = 0; k + 1 < group.size(); ++k) {
            connections.append_int(group[k], group[k + 1]);
            connections.append_int(group[k + 1], group[k]);
            weights.append(group[k], one.get());
            weights.append(group[k + 1], one.get());
        }
    }

    // Flood-fill each piece from the first vertex of every label, with its label at that time.
    npy_intp length = n;
    Ref new_labels = check(PyArray_SimpleNew(1, &length, NPY_INT8));
    ArrayView<std::int8_t, 1> filled(new_labels.get(), "int8_t", Layout::CContiguous);
    for (Py_ssize_t v = 0; v < n; ++v) filled(v) = labels(v);
    for (const std::vector<int>& group : groups) {
        int representative = group.front();
        VisitedBitmap visited(n);
        flood_fill(connections, representative, filled(representative), visited, filled);
    }
    return check(PyTuple_Pack(3, connections.object(), weights.object(), new_labels.get()));
}

// ---- module -----------------------------------------------------------------------------------------

void add_types(PyObject* module) {
    graph_type = sorvane::graph::add_graph_wrapper_type(module, kModulePath, sorvane::graph::Removal::With);
}

PyMethodDef functions[] = {
    function<find_all_paths_sig, find_all_paths_with_labels>(
        "find_all_paths_with_labels(connections_sparse, labels, start, bomb_node=-1, path=None)\n--\n\n"
        "Every path from the origin (the first vertex of `path`, or `start`) that walks on from\n"
        "`start` through vertices of negative label, never onto one of the origin's label nor onto\n"
        "`bomb_node`, and ends at the first vertex of label 0 or more. Paths are lists of vertices\n"
        "(the elements of `path`, then `start`, ...), in depth-first order of the neighbour lists\n"
        "that connections_sparse.to_numpy(v) returns."),
    function<explore_sig, explore_graph_recursive>(
        "explore_graph_recursive(connections_sparse, labels, start)\n--\n\n"
        "The labeled paths from `start`, each followed, before the next one, by the paths found\n"
        "from its end (with the vertex before that end as bomb node) and so on, hopping from label\n"
        "to label across the forest. Raises ValueError when the graph has a cycle that makes this\n"
        "chain grow longer than the number of vertices."),
    function<find_subgraph_sig, find_subgraph_with_labels>(
        "find_subgraph_with_labels(connections_sparse, weights_sparse, labels)\n--\n\n"
        "The subgraph of every edge on a path between differently labeled vertices, as a new pair\n"
        "(GraphWrapper(n, 0, n), GraphWrapper(n, 1, n)) with each edge once per direction and its\n"
        "weight in the full graph, in the order the paths are found."),
    function<make_labels_sig, make_labels>(
        "make_labels(connections_sparse, node, label, visited, labels)\n--\n\n"
        "Write `label` into `labels` at `node` and at every vertex reachable from it without passing\n"
        "through a vertex already in the set `visited`; those vertices are added to `visited`."),
    function<clusterize_sig, clusterize>(
        "clusterize(connections_sparse, weights_sparse, labels)\n--\n\n"
        "Cut the heaviest edge between differently labeled vertices until none is left, chain the\n"
        "vertices of each label with edges of weight 1, and flood-fill every piece from the first\n"
        "vertex of each label. Modifies both containers in place; returns them with the new int8\n"
        "labels. Of several heaviest edges, the first in list order is cut."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"distance", "scipy.spatial", "distance"},
    {"np", "numpy", nullptr},
    {"pdist", "scipy.spatial.distance", "pdist"},
    {"squareform", "scipy.spatial.distance", "squareform"},
    {"heappop", "heapq", "heappop"},
    {"heappush", "heapq", "heappush"},
    {"np", "numpy", nullptr},
};

const ModuleDefinition definition{
    "treleck_core",
    "Tree-cut clustering: labeled paths, label subgraph, cuts and labelling.",
    imports,
    functions,
    add_types,
};

}  // namespace

SORVANE_MODULE(treleck_core, definition)
