// velmar_lp: weighted label propagation over the neighbour graph.
//
// weighted_label_propagation: sweeps in vertex order give every unlabeled vertex the label with
// the largest sum of (1/w)^2 over its labeled neighbours, in place, until a sweep changes the
// scores by less than the tolerance.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph_container/list_view.hpp"
#include "module_frame/frame.hpp"

namespace {

using namespace sorvane::frame;
using sorvane::graph::Graph;
using sorvane::graph::ListView;

// ---- the propagation --------------------------------------------------------------------------------

// Accumulated scores of one vertex's labels, kept in the order the labels were first met: that
// order decides ties. A vertex meets few labels, so a short linear search serves until a hash
// index pays off.
class LabelScores {
public:
    void clear() {
        entries_.clear();
        index_.clear();
    }

    void add(int label, double score) {
        if (entries_.size() < kLinearLimit) {
            for (auto& [key, value] : entries_) {
                if (key == label) {
                    value += score;
                    return;
                }
            }
            entries_.emplace_back(label, score);
            if (entries_.size() == kLinearLimit) {
                for (std::size_t e = 0; e < entries_.size(); ++e) index_.emplace(entries_[e].first, e);
            }
            return;
        }
        auto [it, inserted] = index_.try_emplace(label, entries_.size());
        if (inserted) {
            entries_.emplace_back(label, score);
        } else {
            entries_[it->second].second += score;
        }
    }

    // The first label whose score is strictly the greatest; (-1, -1.0) when there is none.
    std::pair<int, double> best() const {
        std::pair<int, double> result{-1, -1.0};
        for (const auto& [key, value] : entries_) {
            if (value > result.second) result = {key, value};
        }
        return result;
    }

private:
    static constexpr std::size_t kLinearLimit = 16;
    std::vector<std::pair<int, double>> entries_;
    std::unordered_map<int, std::size_t> index_;
};

// Labels are written into `final_labels` at once, so a vertex labeled early in a sweep already
// counts for the vertices after it. Only vertices still at -1 are visited.
void propagate(const Graph& connections, const Graph& weights, std::span<int> final_labels, std::size_t max_iterations,
               double tolerance) {
    const std::size_t n = final_labels.size();
    std::vector<double> scores(n, 0.0);
    LabelScores new_scores;
    for (std::size_t sweep = 0; sweep < max_iterations; ++sweep) {
        double max_diff = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (final_labels[i] != -1) continue;
            const auto vertex = static_cast<std::int64_t>(i);
            new_scores.clear();
            ListView<std::int64_t> neighbors(connections, vertex, "ITYPE_t");
            ListView<float> distances(weights, vertex, "DTYPE32_t");
            if (distances.size() < neighbors.size()) {
                raise_format(PyExc_IndexError, "vertex %lld has %zd neighbours but only %zd weights",
                             static_cast<long long>(vertex), neighbors.size(), distances.size());
            }
            for (Py_ssize_t j = 0; j < neighbors.size(); ++j) {
                const std::int64_t u = neighbors[j];
                if (u < 0 || static_cast<std::uint64_t>(u) >= n) {
                    raise_format(PyExc_IndexError, "neighbour %lld of vertex %lld is outside the %zu vertices",
                                 static_cast<long long>(u), static_cast<long long>(vertex), n);
                }
                const int label = final_labels[static_cast<std::size_t>(u)];
                if (label == -1) continue;
                // Widened first, then the reciprocal squared as two roundings: a weight of 0 votes inf.
                const double w = distances[j];
                const double reciprocal = 1.0 / w;
                const double vote = reciprocal * reciprocal;
                new_scores.add(label, vote);
            }
            const auto [best_label, best_score] = new_scores.best();
            const double diff = std::fabs(scores[i] - best_score);
            scores[i] = best_score;
            final_labels[i] = best_label;
            if (diff > max_diff) max_diff = diff;
        }
        if (max_diff < tolerance) break;
    }
}

// ---- weighted_label_propagation ---------------------------------------------------------------------

constexpr Signature<5> weighted_label_propagation_sig{
    "weighted_label_propagation", {"connections", "weights", "initial_labels", "max_iterations", "tolerance"}, 3};

Ref weighted_label_propagation(const Args<5>& a) {
    const Graph connections(a[0]);
    const Graph weights(a[1]);
    ArrayView<int, 1> labels(a[2], "int", Layout::CContiguous);
    const std::size_t max_iterations = a.given(3) ? to_size_t(a[3]) : 50000;
    const double tolerance = a.given(4) ? to_double(a[4]) : 1e-3;

    propagate(connections, weights, labels.span(), max_iterations, tolerance);

    // A new array over the caller's buffer, so the caller's initial_labels holds the result too.
    Ref buffer = check(PyMemoryView_FromObject(a[2]));
    Ref asarray = get_attr(module_global("np").get(), "asarray");
    return call(asarray.get(), {buffer.get()});
}

// ---- module -----------------------------------------------------------------------------------------

PyMethodDef functions[] = {
    function<weighted_label_propagation_sig, weighted_label_propagation>(
        "weighted_label_propagation(connections, weights, initial_labels, max_iterations=50000, "
        "tolerance=0.001)\n--\n\n"
        "Label propagation over a weighted graph: connections.to_numpy(i) gives the int64 neighbours\n"
        "of vertex i, weights.to_numpy(i) their float32 distances. Every vertex still at -1 takes the\n"
        "label with the largest sum of (1/w)**2 over its labeled neighbours (ties: the label met\n"
        "first). Sweeps run in vertex order, at most max_iterations of them, until the largest score\n"
        "change of a sweep is below tolerance.\n\n"
        "Labels are written into initial_labels (C-contiguous int32) in place; the result is an\n"
        "int32 array sharing its memory."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr ModuleImport imports[] = {
    {"np", "numpy", nullptr},
    {"perf_counter", "time", "perf_counter"},
};

const ModuleDefinition definition{
    "velmar_lp",
    "Weighted label propagation over the neighbour graph.",
    imports,
    functions,
    nullptr,
};

}  // namespace

SORVANE_MODULE(velmar_lp, definition)
