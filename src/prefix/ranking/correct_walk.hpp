// The corrector's walk (correct.cpp drives it distance by distance): a
// depth-first descent that takes a node's children heaviest first and cuts
// every subtree whose keys cannot join the best found so far.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "prefix/ranking/correct_best.hpp"
#include "prefix/ranking/weighted.hpp"
#include "prefix/search/band.hpp"
#include "prefix/search/descent.hpp"
#include "prefix/search/gather.hpp"
#include "prefix/search/reach.hpp"
#include "prefix/search/reused.hpp"
#include "prefix/search/split_walks.hpp"

namespace morlatch::correction {

using Cell = std::uint32_t;

inline Weight weight_of(const WeightTable* table, NodeId node) {
    return table == nullptr ? 0 : table->weight(node);
}

// Rows: the row kernel (band.hpp) of the distance and, with an error model,
// of its costs.
template <class Rows>
class Corrector : public BestCorrections {
    using LabelBits = std::array<std::uint64_t, 2>;
    // A node whose children the walk is taking, heaviest first.
    struct Frame {
        const NodeId* next;
        const NodeId* end;
        NodeId promoted;  // the child that continues the word, taken first
        bool promoted_pending;
        Cell floor;  // the fewest edits of any key below
        Cell cost_floor;
        std::uint64_t generation;  // of `lightest`
        Weight lightest;
        bool filtered;     // whether only the children labelled in `labels` count
        LabelBits labels;  // bit c: label c (below 128)
    };
    static constexpr std::uint64_t kNoGeneration = UINT64_MAX;
    // Up to this many children are read side by side rather than searched.
    static constexpr std::size_t kFewChildren = 8;

    // What a walk takes: keys at distances [low, high], each at least
    // `least` away by cost and `nearest` by edits.
    struct Reach {
        std::uint64_t low;
        std::uint64_t high;
        Cell least;
        Cell nearest;
    };

public:
    // `scratch` (or, when null, the corrector's own) holds the walks of
    // gather.
    Corrector(const CompactTrie& trie, const WeightTable* table, std::u32string_view word,
              const CorrectOptions& options, std::uint64_t wanted, Interrupt& interrupt,
              SearchScratch* scratch)
        : BestCorrections(table, options.model, wanted),
          trie_(trie),
          table_(table),
          word_(word),
          options_(options),
          model_(options.model),
          interrupt_(interrupt),
          scratch_(scratch) {}

    // Whether a key of distance d that weighs no more than one key in
    // kHeavyShare could still make the cut: a walk bounded by it would then
    // cover much of the layout, and gathering costs less.
    bool bar_admits_many(std::uint64_t d) {
        if (model_ == nullptr || table_ == nullptr) {
            return false;
        }
        return weight_floor(least_cost(d)) <= table_->heavy_quantile();
    }

    // Whether the `wanted` best are known before looking at distance d.
    bool settled(std::uint64_t d) const {
        if (!full()) {
            return false;
        }
        if (model_ == nullptr) {
            return true;  // every key found so far is closer
        }
        const double cheapest = static_cast<double>(std::min(model_->edit, model_->cheap));
        return log_weight(weight_below(CompactTrie::kRoot)) -
                   static_cast<double>(d) * cheapest / 1000.0 <
               worst().score;
    }

    // Adds the keys at distances [low, high]: a depth-first walk that takes
    // a node's children heaviest first (after the child that continues the
    // word, which leads to the closest keys), so that strong candidates come
    // early and the bounds cut the rest. The table lists every node's
    // children in that order, so the children of a node stop at the first
    // one too light to make the cut.
    void walk(std::uint64_t low, std::uint64_t high) {
        Rows& rows = rows_for(high);
        // Every key taken here is at least `low` edits away, each edit at
        // least the cheapest.
        reach_ = Reach{low, high, least_cost(low), static_cast<Cell>(low)};
        rows_walked_ = &rows;
        descent_.clear();
        open(rows, high, CompactTrie::kRoot, 0, reach_.nearest, reach_.least);
        descent_.run(*this, rows, interrupt_);
    }

    // The descent's policy (descent.hpp): the next child worth a visit ...
    Next next(Frame& frame, std::size_t depth, NodeId& node, char32_t& label) {
        const Next next = next_child(frame, depth, node, heaviest_);
        if (next != Next::visit || !trie_.holds_keys(node) ||
            (table_ != nullptr && table_->best_below(node) < options_.least_weight) ||
            out_of_reach(trie_.shortest_below(node), trie_.longest_below(node), depth, word_.size(),
                         reach_.high)) {
            return next == Next::done ? next : Next::skip;
        }
        label = trie_.label(node);
        return Next::visit;
    }
    // ... and its visit, its row stepped.
    bool visit(NodeId node, std::size_t depth, bool) {
        visit(*rows_walked_, reach_, node, depth, heaviest_);
        return true;
    }

    // Adds the keys at distance d as the layout's own search finds them:
    // before any key bounds a walk (or while the bound admits many keys),
    // this costs less than the walk. With the best full, a key too light to
    // make the cut at the least cost that d edits can have is left out as
    // found (the bar only rises from here on); the model scores the rest
    // heaviest first and stops at the first key too light.
    void gather(std::uint64_t d) {
        const Cell least = least_cost(d);
        const Weight bar = model_ != nullptr && full() ? weight_floor(least) : 0;
        if (scratch_ == nullptr) {
            scratch_ = &own_scratch_.emplace();
        }
        HitList& found = scratch_->walks->gathered;
        found.text.clear();
        found.hits.clear();
        gathered_.clear();
        const Weight least_weight = table_ == nullptr ? 0 : options_.least_weight;
        const Weight floor = std::max(bar, least_weight);
        const auto keep = [&](NodeId node) {
            return floor == 0 || weight_of(table_, node) >= floor;
        };
        const ValueBound valued =
            least_weight == 0 ? ValueBound{} : ValueBound{table_->best_below_all(), least_weight};
        const auto take = [&](NodeId node, std::u32string_view key) {
            gathered_.push_back(Gathered{weight_of(table_, node), found.hits.size()});
            found.add(key, trie_.payload(node), d, node);
        };
        const auto k = static_cast<std::uint32_t>(d);
        if (options_.transpositions) {
            gather_at<Metric::osa>(trie_, word_, k, interrupt_, *scratch_, keep, take,
                                   options_.letters, valued);
        } else {
            gather_at<Metric::levenshtein>(trie_, word_, k, interrupt_, *scratch_, keep, take,
                                           options_.letters, valued);
        }
        if (model_ == nullptr) {
            for (const Gathered& each : gathered_) {
                consider(Candidate{found.match(found.hits[each.at]), each.weight, 0});
            }
            return;
        }
        std::sort(gathered_.begin(), gathered_.end(),
                  [](const Gathered& a, const Gathered& b) { return a.weight > b.weight; });
        Rows& rows = rows_for(d);
        for (const Gathered& each : gathered_) {
            if (full() && each.weight < weight_floor(least)) {
                break;  // the rest are no heavier
            }
            const HitList::Hit& hit = found.hits[each.at];
            const std::u32string_view key = found.key(hit);
            for (std::size_t depth = 1; depth <= key.size(); ++depth) {
                rows.step(depth, key[depth - 1], depth >= 2 ? key[depth - 2] : 0);
            }
            const Cell cost = rows.cost(key.size());
            if (!full() || each.weight >= weight_floor(cost)) {
                consider(Candidate{found.match(hit), each.weight, score(each.weight, cost)});
            }
        }
    }

private:
    // The next child of the top frame worth a visit, and the heaviest key
    // below it; skip when the frame has none to offer now.
    Next next_child(Frame& frame, std::size_t depth, NodeId& node, Weight& heaviest) {
        if (frame.promoted_pending) {
            frame.promoted_pending = false;
            node = frame.promoted;
            heaviest = weight_below(node);
            return Next::visit;
        }
        if (frame.next == frame.end) {
            return Next::done;
        }
        node = *frame.next;
        heaviest = weight_below(node);
        ++frame.next;
        if (node == frame.promoted) {
            return Next::skip;
        }
        // The rest are no heavier than a child too light, unless the
        // table's order (by all keys) is not the one of the long keys.
        const bool ordered = !long_keys_ || depth >= WeightTable::kLongKey;
        if (frame.filtered) {
            const char32_t label = trie_.label(node);
            if (label >= 128 || ((frame.labels[label >> 6] >> (label & 63)) & 1) == 0) {
                if (ordered && heaviest < lightest(frame)) {
                    frame.next = frame.end;
                }
                return Next::skip;
            }
        }
        if (full() && table_ != nullptr && heaviest < lightest(frame)) {
            if (ordered) {
                frame.next = frame.end;
            }
            return Next::skip;
        }
        return Next::visit;
    }

    // Takes the key of `node` (its row computed) if it is within reach and
    // may rank, then opens its children unless nothing below can.
    void visit(const Rows& rows, const Reach& reach, NodeId node, std::size_t depth,
               Weight heaviest) {
        const Cell distance = rows.last(depth);
        if (trie_.is_key(node) && distance >= reach.low && distance <= reach.high &&
            (table_ == nullptr || weight_of(table_, node) >= options_.least_weight)) {
            const Weight weight = weight_of(table_, node);
            if (model_ == nullptr) {
                consider(Candidate{Match{key(), trie_.payload(node), distance}, weight, 0});
            } else if (const Cell cost = rows.cost(depth);
                       !full() || weight >= weight_floor(cost)) {
                consider(Candidate{Match{key(), trie_.payload(node), distance}, weight,
                                   score(weight, cost)});
            }
        }
        const Cell floor = rows.floor(depth);
        if (floor > reach.high) {
            return;
        }
        const Cell nearest = std::max(floor, reach.nearest);
        const Cell cost_floor =
            model_ == nullptr ? 0 : std::max(rows.cost_floor(depth), reach.least);
        // Strictly worse only: a tie may still win on its key.
        if (model_ != nullptr) {
            if (full() && heaviest < weight_floor(cost_floor)) {
                return;
            }
        } else if (full()) {
            const Candidate& last = worst();
            if (nearest > last.distance || (nearest == last.distance && heaviest < last.weight)) {
                return;
            }
        }
        open(rows, reach.high, node, depth, nearest, cost_floor);
    }

    std::u32string key() const { return std::u32string(descent_.path()); }

    // Opens the children of `node` (at `depth`); `floor` and `cost_floor`
    // bound every key below it.
    void open(const Rows& rows, std::uint64_t high, NodeId node, std::size_t depth, Cell floor,
              Cell cost_floor) {
        const NodeId first = trie_.first_child(node);
        const NodeId end = trie_.end_child(node);
        if (first == end) {
            return;
        }
        labels_.clear();
        const bool narrowed =
            depth > 0 && rows.narrow(depth, static_cast<Cell>(high),
                                     [this](char32_t ch) { labels_.push_back(ch); });
        if (table_ != nullptr && full() &&
            open_in_table_order(first, end, narrowed, floor, cost_floor)) {
            return;
        }
        const auto [next, stop] = listed_children(node, depth, narrowed);
        NodeId promoted = CompactTrie::kNoNode;
        if (depth < word_.size()) {
            // The child that continues the word goes first, if it is one of
            // the listed.
            if (narrowed || end - first <= kFewChildren) {
                for (const NodeId* c = next; c != stop; ++c) {
                    if (trie_.label(*c) == word_[depth]) {
                        promoted = *c;
                        break;
                    }
                }
            } else if (const std::optional<NodeId> c = trie_.child(node, word_[depth])) {
                promoted = *c;
            }
        }
        descent_.open(Frame{next,
                            stop,
                            promoted,
                            promoted != CompactTrie::kNoNode,
                            floor,
                            cost_floor,
                            kNoGeneration,
                            0,
                            false,
                            {}});
    }

    // With the best found, the order of the children no longer helps find
    // them: the table's, heaviest first, cut at the first one too light, the
    // narrowed labels (when all below 128, as bits) filtered on the way.
    // False, with nothing opened, when the labels do not fit the bits.
    bool open_in_table_order(NodeId first, NodeId end, bool narrowed, Cell floor, Cell cost_floor) {
        LabelBits bits{};
        bool small = true;
        for (const char32_t label : labels_) {
            small = small && label < 128;
            if (label < 128) {
                bits[label >> 6] |= std::uint64_t{1} << (label & 63);
            }
        }
        if (narrowed && !small) {
            return false;
        }
        const std::span<const NodeId> children = table_->heavy_children(first, end);
        descent_.open(Frame{children.data(), children.data() + children.size(),
                            CompactTrie::kNoNode, false, floor, cost_floor, kNoGeneration, 0,
                            narrowed, bits});
        return true;
    }

    // The children of `node` (at `depth`) to visit, heaviest first when the
    // table says: those with the narrowed labels (labels_), or all.
    std::pair<const NodeId*, const NodeId*> listed_children(NodeId node, std::size_t depth,
                                                            bool narrowed) {
        const NodeId first = trie_.first_child(node);
        const NodeId end = trie_.end_child(node);
        if (lists_.size() <= depth) {
            lists_.resize(depth + 1);
        }
        std::vector<NodeId>& list = lists_[depth];
        list.clear();
        const auto listed = [&](NodeId c) {
            return std::find(labels_.begin(), labels_.end(), trie_.label(c)) != labels_.end();
        };
        if (narrowed && end - first > kFewChildren) {
            // Only children with these labels (a handful) can lead to a key
            // within reach: looked up, then heaviest first.
            std::sort(labels_.begin(), labels_.end());
            labels_.erase(std::unique(labels_.begin(), labels_.end()), labels_.end());
            for (const char32_t label : labels_) {
                if (const std::optional<NodeId> c = trie_.child(node, label)) {
                    list.push_back(*c);
                }
            }
            std::sort(list.begin(), list.end(),
                      [&](NodeId a, NodeId b) { return weight_below(a) > weight_below(b); });
        } else if (table_ != nullptr) [[likely]] {
            const std::span<const NodeId> children = table_->heavy_children(first, end);
            if (!narrowed) {
                return {children.data(), children.data() + children.size()};
            }
            // A few children, their records side by side: filtered in the
            // table's order.
            for (const NodeId c : children) {
                if (listed(c)) {
                    list.push_back(c);
                }
            }
        } else {
            for (NodeId c = first; c < end; ++c) {
                if (!narrowed || listed(c)) {
                    list.push_back(c);
                }
            }
        }
        return {list.data(), list.data() + list.size()};
    }

    // Rows for keys within `high` edits, from row 0 on. Up to kSharedRows,
    // one set serves every distance: a row's cells up to `high` are the same
    // whatever the cap above them, and a wider band than needed loses no key.
    static constexpr std::uint64_t kSharedRows = 2;
    Rows& rows_for(std::uint64_t high) {
        const std::uint64_t k =
            high <= kSharedRows ? std::min(options_.max_dist, kSharedRows) : high;
        if (!rows_ || rows_k_ != k) {
            const auto bound = static_cast<std::uint32_t>(k);
            rows_.emplace(word_, bound, Budget{bound, bound, 0}, model_);
            rows_->start();
            rows_k_ = k;
        }
        return *rows_;
    }

    Weight weight_below(NodeId node) const {
        if (table_ == nullptr) {
            return 0;
        }
        return long_keys_ ? table_->best_long_below(node) : table_->best_below(node);
    }

    // No key below a child of `frame` lighter than this can make the cut
    // (the best being full); kept while the best stay the same.
    Weight lightest(Frame& frame) {
        if (frame.generation != generation()) {
            frame.generation = generation();
            const Candidate& last = worst();
            if (model_ != nullptr) {
                frame.lightest = weight_floor(frame.cost_floor);
            } else if (frame.floor == last.distance) {
                frame.lightest = last.weight;
            } else {
                frame.lightest = frame.floor > last.distance ? UINT64_MAX : 0;
            }
        }
        return frame.lightest;
    }

    const CompactTrie& trie_;
    const WeightTable* table_;
    std::u32string_view word_;
    const CorrectOptions& options_;
    const ErrorModel* model_;
    Interrupt& interrupt_;
    // Whether every key within reach is long (see best_long_below).
    bool long_keys_ = word_.size() >= WeightTable::kLongKey + options_.max_dist;
    std::optional<Rows> rows_;  // see rows_for
    std::uint64_t rows_k_ = 0;
    // The walk's state, kept from one walk to the next.
    Descent<Frame> descent_;
    Reach reach_{};
    Rows* rows_walked_ = nullptr;
    Weight heaviest_ = 0;  // below the child being visited
    std::vector<char32_t> labels_;
    // What gather keeps from one distance to the next: the keys found, each
    // with its weight, and the search's scratch.
    struct Gathered {
        Weight weight;
        std::size_t at;  // in the scratch's gathered hits
    };
    std::vector<Gathered> gathered_;  // by the keys' place in the scratch's list
    SearchScratch* scratch_;
    std::optional<SearchScratch> own_scratch_;
    // By depth: the children a frame takes when they are not the table's
    // list (narrowed, or without weights). Growing the outer vector moves
    // the inner ones, whose buffers (and the frames' pointers) stay put.
    std::vector<std::vector<NodeId>> lists_;
};

}  // namespace morlatch::correction
