// Fuzzy search over a CompactTrie.
//
// One depth-first walk keeps a single Levenshtein row per depth: a child's
// row is computed from its parent's, which stays where it is until the walk
// leaves the parent. Only cells i with |i - depth| <= k can hold a value
// <= k, so a row is the band of 2k + 1 cells around the diagonal (the whole
// row when that is shorter), and the work per node does not grow with the
// query. Values are kept saturated at k + 1.
//
// For k >= 1 and a query long enough, the search is split after Mihov and
// Schulz's forward-backward method: cut the query q into q1 q2; an alignment
// of cost e <= k spends e1 edits on q1 and e2 on q2 with e1 + e2 = e, so with
// a + b >= k - 1 every hit has e1 <= a or e2 <= b. The forward walk allows
// at most a edits while it is within q1 and k after; a walk of the reversed
// keys does the same with the reversed q2 and b. Both prune far more than
// one walk with k everywhere; their hits are merged, deduplicated and put in
// the plain walk's order.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "prefix/compact.hpp"

namespace morlatch {

using Node = CompactTrie::Node;

namespace {

constexpr NodeId kNoNode = 0xFFFFFFFFu;

// How many edits a row cell may hold and still lead to a hit: `low` for the
// cells of the first `split` query characters (and the empty prefix), `high`
// beyond.
struct Budget {
    std::uint32_t low;
    std::uint32_t high;
    std::size_t split;

    std::uint32_t at(std::size_t i) const noexcept { return i <= split ? low : high; }
};

// A key found by a walk: its node in the walked trie, its distance.
struct Found {
    NodeId node;
    std::uint32_t distance;
};

// The depth-first banded walk over nodes laid out as in CompactTrie.
// on_hit(node, distance, path) is called in walk order (the child that
// continues the query first, then the others in label order) and returns
// false to stop the walk.
class BandWalk {
public:
    BandWalk(const Node* nodes, std::u32string_view query, std::uint32_t k, Budget budget,
             Interrupt& interrupt)
        : nodes_(nodes),
          query_(query),
          n_(query.size()),
          k_(k),
          infinity_(k + 1),
          budget_(budget),
          banded_(2 * static_cast<std::uint64_t>(k) + 1 <= query.size() + 1),
          width_(banded_ ? 2 * static_cast<std::size_t>(k) + 1 : query.size() + 1),
          stride_(width_ + 1),
          interrupt_(interrupt) {}

    template <class OnHit>
    void run(OnHit&& on_hit);

private:
    struct Frame {
        NodeId next;
        NodeId end;
        NodeId promoted;
        bool promoted_pending;
    };

    // Row cell b of depth `depth` stands for query position base(depth) + b.
    std::int64_t base(std::size_t depth) const noexcept {
        return banded_ ? static_cast<std::int64_t>(depth) - k_ : 0;
    }
    std::uint32_t* row(std::size_t depth) noexcept { return rows_.data() + depth * stride_; }

    void root_row();
    // Computes the row of a node at `depth` labelled `c`; returns whether any
    // cell is within budget, so that something below can still be a hit.
    bool next_row(std::size_t depth, char32_t c);
    // The distance of the key ending at `depth`, if within k.
    std::uint32_t final_cell(std::size_t depth) noexcept;
    bool skip_by_length(NodeId node, std::size_t depth) const noexcept;
    void push_frame(NodeId node, std::size_t depth);

    const Node* nodes_;
    std::u32string_view query_;
    std::size_t n_;
    std::uint32_t k_;
    std::uint32_t infinity_;
    Budget budget_;
    bool banded_;
    std::size_t width_;
    std::size_t stride_;  // one more cell than the row: always infinity
    Interrupt& interrupt_;
    std::vector<std::uint32_t> rows_;
    std::vector<Frame> frames_;
    std::u32string path_;
};

void BandWalk::root_row() {
    rows_.assign(stride_, infinity_);
    std::uint32_t* r = row(0);
    const std::int64_t b0 = base(0);
    for (std::size_t b = 0; b < width_; ++b) {
        const std::int64_t i = b0 + static_cast<std::int64_t>(b);
        if (i >= 0 && i <= static_cast<std::int64_t>(n_)) {
            r[b] = static_cast<std::uint32_t>(std::min<std::int64_t>(i, infinity_));
        }
    }
}

bool BandWalk::next_row(std::size_t depth, char32_t c) {
    if (rows_.size() < (depth + 1) * stride_) {
        rows_.resize((depth + 1) * stride_, infinity_);
    }
    const std::uint32_t* prev = row(depth - 1);
    std::uint32_t* cur = row(depth);
    const std::int64_t b0 = base(depth);
    const std::int64_t n = static_cast<std::int64_t>(n_);
    const std::int64_t w = static_cast<std::int64_t>(width_);
    // Cells outside 0..n stay at infinity.
    std::int64_t lo = std::max<std::int64_t>(0, -b0);
    const std::int64_t hi = std::min<std::int64_t>(w - 1, n - b0);
    std::fill(cur, cur + width_, infinity_);
    if (lo > hi) {
        return false;
    }
    const std::uint32_t inf = infinity_;
    const std::int64_t shift = banded_ ? 1 : 0;  // where the cell above lies in prev
    bool alive = false;
    std::uint32_t left = inf;
    if (b0 + lo == 0) {
        // Query position 0: the depth itself.
        left = std::min(prev[lo + shift] + 1, inf);
        cur[lo] = left;
        alive = left <= budget_.at(0);
        ++lo;
    }
    const char32_t* q = query_.data();
    const std::int64_t diag_shift = shift - 1;  // where the upper-left cell lies in prev
    for (std::int64_t b = lo; b <= hi; ++b) {
        const std::size_t i = static_cast<std::size_t>(b0 + b);
        const std::uint32_t above = prev[b + shift];
        const std::uint32_t diagonal = prev[b + diag_shift] + (c != q[i - 1]);
        std::uint32_t value = std::min(std::min(above, left) + 1, diagonal);
        value = std::min(value, inf);
        cur[b] = value;
        left = value;
        alive |= value <= budget_.at(i);
    }
    return alive;
}

std::uint32_t BandWalk::final_cell(std::size_t depth) noexcept {
    const std::int64_t b = static_cast<std::int64_t>(n_) - base(depth);
    if (b < 0 || b >= static_cast<std::int64_t>(width_)) {
        return infinity_;
    }
    return row(depth)[b];
}

bool BandWalk::skip_by_length(NodeId node, std::size_t depth) const noexcept {
    // Every key below has length depth + [shortest, longest]; it is at least
    // |length - n| away from the query.
    const Node& nd = nodes_[node];
    const std::uint64_t shortest = depth + nd.shortest;
    if (shortest > n_ + static_cast<std::uint64_t>(k_)) {
        return true;
    }
    return nd.longest != CompactTrie::kLengthSaturated &&
           depth + nd.longest + static_cast<std::uint64_t>(k_) < n_;
}

void BandWalk::push_frame(NodeId node, std::size_t depth) {
    // The children stand at depth + 1 and spell query position `depth`.
    const NodeId first = nodes_[node].first_child;
    const NodeId end = nodes_[node + 1].first_child;
    NodeId promoted = kNoNode;
    if (depth < n_ && first < end) {
        const char32_t next = query_[depth];
        const Node* lo = nodes_ + first;
        const Node* hi = nodes_ + end;
        const Node* it =
            std::lower_bound(lo, hi, next, [](const Node& nd, char32_t ch) { return nd.label < ch; });
        if (it != hi && it->label == next) {
            promoted = static_cast<NodeId>(it - nodes_);
        }
    }
    frames_.push_back(Frame{first, end, promoted, promoted != kNoNode});
}

template <class OnHit>
void BandWalk::run(OnHit&& on_hit) {
    root_row();
    path_.clear();
    frames_.clear();
    // The root is never a hit; its children are worth a look when some
    // cell of its row is within budget.
    bool root_alive = false;
    for (std::size_t b = 0; b < width_; ++b) {
        const std::int64_t i = base(0) + static_cast<std::int64_t>(b);
        if (i >= 0 && i <= static_cast<std::int64_t>(n_) &&
            row(0)[b] <= budget_.at(static_cast<std::size_t>(i))) {
            root_alive = true;
        }
    }
    if (!root_alive) {
        return;
    }
    push_frame(CompactTrie::kRoot, 0);
    while (!frames_.empty()) {
        Frame& frame = frames_.back();
        NodeId node;
        if (frame.promoted_pending) {
            frame.promoted_pending = false;
            node = frame.promoted;
        } else {
            if (frame.next == frame.promoted) {
                ++frame.next;
            }
            if (frame.next >= frame.end) {
                frames_.pop_back();
                if (!path_.empty()) {
                    path_.pop_back();
                }
                continue;
            }
            node = frame.next++;
        }
        const std::size_t depth = frames_.size();
        if (skip_by_length(node, depth)) {
            continue;
        }
        interrupt_.tick();
        const Node& nd = nodes_[node];
        const bool alive = next_row(depth, nd.label);
        path_.push_back(nd.label);
        if (nd.flags & CompactTrie::kIsKey) {
            const std::uint32_t distance = final_cell(depth);
            if (distance <= k_ && !on_hit(node, distance, std::u32string_view(path_))) {
                return;
            }
        }
        if (alive && nd.first_child < nodes_[node + 1].first_child) {
            push_frame(node, depth);
        } else {
            path_.pop_back();
        }
    }
}

// Whether key a comes before key b in the plain walk's order for `query`.
bool walk_before(std::u32string_view a, std::u32string_view b, std::u32string_view query) {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (ia == a.end()) {
        return ib != b.end();  // a key comes before its extensions
    }
    if (ib == b.end()) {
        return false;
    }
    const std::size_t p = static_cast<std::size_t>(ia - a.begin());
    if (p < query.size()) {
        if (*ia == query[p]) {
            return true;
        }
        if (*ib == query[p]) {
            return false;
        }
    }
    return *ia < *ib;
}

}  // namespace

// Queries at least this long are split (k >= 1): shorter ones leave the
// halves too little to prune with.
static bool worth_splitting(std::size_t n, std::uint64_t k) {
    return k >= 1 && k <= 16 && n >= 2 * k + 2;
}

std::vector<Match> CompactTrie::fuzzy_match(std::u32string_view query, std::uint64_t max_dist,
                                            std::optional<std::uint64_t> limit,
                                            Interrupt& interrupt) const {
    std::vector<Match> matches;
    if (limit && *limit == 0) {
        return matches;
    }
    if (max_dist == 0) {
        // Only the query itself can match.
        if (std::optional<Match> match = exact_match(query)) {
            matches.push_back(std::move(*match));
        }
        return matches;
    }
    // Distances never exceed the query's length plus the trie's depth, far
    // below this cap, so a larger max_dist behaves exactly like it.
    const std::uint32_t k = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(max_dist, std::numeric_limits<std::uint32_t>::max() - 2));
    const std::size_t n = query.size();

    if (!worth_splitting(n, k)) {
        BandWalk walk(nodes_.data(), query, k, Budget{k, k, 0}, interrupt);
        walk.run([&](NodeId node, std::uint32_t distance, std::u32string_view path) {
            matches.push_back(Match{std::u32string(path), payload(node), distance});
            return !limit || matches.size() < *limit;
        });
        return matches;
    }

    const std::size_t split = n / 2;
    const std::uint32_t forward_low = k / 2;
    const std::uint32_t backward_low = (k - 1) / 2;
    struct Hit {
        NodeId node;  // in the forward trie
        std::uint32_t distance;
        std::u32string key;
    };
    std::vector<Hit> hits;
    {
        BandWalk walk(nodes_.data(), query, k, Budget{forward_low, k, split}, interrupt);
        walk.run([&](NodeId node, std::uint32_t distance, std::u32string_view path) {
            hits.push_back(Hit{node, distance, std::u32string(path)});
            return true;
        });
    }
    {
        const ReverseIndex& reverse = reverse_index();
        const std::u32string reversed(query.rbegin(), query.rend());
        BandWalk walk(reverse.nodes(), reversed, k, Budget{backward_low, k, n - split}, interrupt);
        walk.run([&](NodeId node, std::uint32_t distance, std::u32string_view path) {
            hits.push_back(
                Hit{reverse.nodes()[node].payload, distance, std::u32string(path.rbegin(), path.rend())});
            return true;
        });
    }
    std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.node < b.node; });
    hits.erase(std::unique(hits.begin(), hits.end(),
                           [](const Hit& a, const Hit& b) { return a.node == b.node; }),
               hits.end());
    std::sort(hits.begin(), hits.end(),
              [query](const Hit& a, const Hit& b) { return walk_before(a.key, b.key, query); });
    std::size_t count = hits.size();
    if (limit && *limit < count) {
        count = static_cast<std::size_t>(*limit);
    }
    matches.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        matches.push_back(Match{std::move(hits[i].key), payload(hits[i].node), hits[i].distance});
    }
    return matches;
}

}  // namespace morlatch
