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
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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
             Interrupt& interrupt);

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
    bool next_row(std::size_t depth, char32_t c) {
        if (depth > max_depth_) [[unlikely]] {
            return false;
        }
        if (lanes_) {
            return lanes_step(depth, c);
        }
        if (rows_.size() < (depth + 1) * stride_) [[unlikely]] {
            rows_.resize((depth + 1) * stride_, infinity_);
        }
        return (this->*row_step_)(depth, c);
    }
    template <std::size_t Width>
    bool band_step(std::size_t depth, char32_t c) noexcept;
    bool lanes_step(std::size_t depth, char32_t c) noexcept;
    bool full_step(std::size_t depth, char32_t c) noexcept;
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
    std::size_t stride_;     // one more cell than the row: always infinity
    std::size_t max_depth_;  // no key deeper than n + k can be a hit
    bool (BandWalk::*row_step_)(std::size_t, char32_t) noexcept;
    // Banded rows index these by depth + cell: the query character that a
    // cell's diagonal step compares with (a non-character outside the
    // query), and one more than the budget of the cell's query position
    // (0 outside 0..n, so that those cells never count as alive).
    std::vector<char32_t> padded_query_;
    std::vector<std::uint32_t> padded_allowance_;
    // For k <= 3 the band fits eight 16-bit lanes: rows of kLanes cells (the
    // ones past the band stay at infinity), stepped with vector operations.
    static constexpr std::size_t kLanes = 16;
    bool lanes_ = false;
    std::vector<std::int16_t> lane_rows_;
    std::vector<std::int16_t> lane_allowance_;
    Interrupt& interrupt_;
    std::vector<std::uint32_t> rows_;
    std::vector<Frame> frames_;
    std::vector<char32_t> path_;
};

BandWalk::BandWalk(const Node* nodes, std::u32string_view query, std::uint32_t k, Budget budget,
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
      max_depth_(query.size() + k),
      interrupt_(interrupt) {
    if (!banded_) {
        row_step_ = &BandWalk::full_step;
        return;
    }
    switch (width_) {
        case 3:
            row_step_ = &BandWalk::band_step<3>;
            break;
        case 5:
            row_step_ = &BandWalk::band_step<5>;
            break;
        case 7:
            row_step_ = &BandWalk::band_step<7>;
            break;
        default:
            row_step_ = &BandWalk::band_step<0>;
    }
    // Positions i from -k to n + 2k (and the lanes past the band), stored at
    // i + k.
    constexpr char32_t kNotACharacter = 0xFFFFFFFFu;
    const std::size_t span = n_ + 3 * static_cast<std::size_t>(k) + kLanes;
    padded_query_.assign(span, kNotACharacter);
    padded_allowance_.assign(span, 0);
    for (std::size_t i = 0; i <= n_; ++i) {
        padded_allowance_[i + k] = budget_.at(i) + 1;
        if (i < n_) {
            // Cell b of depth d compares query position i - 1 = d - k + b - 1
            // and reads it at d + b: so query position x sits at x + k + 1.
            padded_query_[i + k + 1] = query[i];
        }
    }
#if defined(__SSE2__)
    if (width_ <= 7) {
        lanes_ = true;
        lane_allowance_.assign(padded_allowance_.begin(), padded_allowance_.end());
        // Every row a node at depth <= n + k can need, at once.
        lane_rows_.assign((max_depth_ + 1) * kLanes, static_cast<std::int16_t>(infinity_));
    }
#endif
}

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
    if (lanes_) {
        // Lanes past the band hold min(i, infinity) too: what the band step
        // would compute for them.
        for (std::size_t b = 0; b < 8; ++b) {
            const std::int64_t i = b0 + static_cast<std::int64_t>(b);
            lane_rows_[b] = static_cast<std::int16_t>(
                i < 0 ? infinity_ : std::min<std::int64_t>(i, infinity_));
        }
    }
}

// The band step on eight lanes. The cell above and the upper-left one come
// from two loads of the previous row; the left neighbour, a chain through
// the row, is a prefix minimum of t[l] + (b - l), taken in three doubling
// steps. Lanes past the band compute values at least the true ones, which
// are past k, so they stay at infinity.
bool BandWalk::lanes_step(std::size_t depth, char32_t c) noexcept {
#if defined(__SSE2__)
    const std::int16_t* prev = lane_rows_.data() + (depth - 1) * kLanes;
    std::int16_t* cur = lane_rows_.data() + depth * kLanes;
    const __m128i one = _mm_set1_epi16(1);
    const __m128i inf = _mm_set1_epi16(static_cast<short>(infinity_));
    const __m128i above = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + 1));
    const __m128i upper_left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev));
    const auto* q = reinterpret_cast<const __m128i*>(padded_query_.data() + depth);
    const __m128i ch = _mm_set1_epi32(static_cast<int>(c));
    // -1 in the lanes whose query character equals c.
    const __m128i equal = _mm_packs_epi32(_mm_cmpeq_epi32(_mm_loadu_si128(q), ch),
                                          _mm_cmpeq_epi32(_mm_loadu_si128(q + 1), ch));
    const __m128i diagonal = _mm_add_epi16(_mm_add_epi16(upper_left, one), equal);
    __m128i t = _mm_min_epi16(_mm_add_epi16(above, one), diagonal);
    // Lanes shifted in from below the row are infinity.
    const __m128i low1 = _mm_set_epi16(0, 0, 0, 0, 0, 0, 0, -1);
    const __m128i low2 = _mm_set_epi16(0, 0, 0, 0, 0, 0, -1, -1);
    const __m128i low4 = _mm_set_epi16(0, 0, 0, 0, -1, -1, -1, -1);
    t = _mm_min_epi16(t, _mm_add_epi16(_mm_or_si128(_mm_slli_si128(t, 2), _mm_and_si128(low1, inf)), one));
    t = _mm_min_epi16(t, _mm_add_epi16(_mm_or_si128(_mm_slli_si128(t, 4), _mm_and_si128(low2, inf)),
                                       _mm_set1_epi16(2)));
    t = _mm_min_epi16(t, _mm_add_epi16(_mm_or_si128(_mm_slli_si128(t, 8), _mm_and_si128(low4, inf)),
                                       _mm_set1_epi16(4)));
    t = _mm_min_epi16(t, inf);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cur), t);
    const __m128i allowance =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(lane_allowance_.data() + depth));
    return _mm_movemask_epi8(_mm_cmplt_epi16(t, allowance)) != 0;
#else
    (void)depth;
    (void)c;
    return false;
#endif
}

// Cell b stands for i = depth - k + b. The cell above (same i, one depth up)
// is prev[b + 1], the upper-left one prev[b]. Cells before position 0 stay
// at infinity by themselves; cells past n hold values that only ever feed
// cells past n, and never count as alive.
template <std::size_t Width>
bool BandWalk::band_step(std::size_t depth, char32_t c) noexcept {
    const std::size_t width = Width != 0 ? Width : width_;
    const std::uint32_t* prev = row(depth - 1);
    std::uint32_t* cur = row(depth);
    const char32_t* q = padded_query_.data() + depth;
    const std::uint32_t* allowance = padded_allowance_.data() + depth;
    const std::uint32_t inf = infinity_;
    std::uint32_t left = inf;
    bool alive = false;
    for (std::size_t b = 0; b < width; ++b) {
        const std::uint32_t diagonal = prev[b] + (c != q[b]);
        std::uint32_t value = std::min(std::min(prev[b + 1], left) + 1, diagonal);
        value = std::min(value, inf);
        cur[b] = value;
        left = value;
        alive |= value < allowance[b];
    }
    return alive;
}

bool BandWalk::full_step(std::size_t depth, char32_t c) noexcept {
    const std::uint32_t* prev = row(depth - 1);
    std::uint32_t* cur = row(depth);
    const char32_t* q = query_.data();
    const std::uint32_t inf = infinity_;
    std::uint32_t left = std::min(prev[0] + 1, inf);
    cur[0] = left;
    bool alive = left <= budget_.at(0);
    for (std::size_t i = 1; i <= n_; ++i) {
        const std::uint32_t diagonal = prev[i - 1] + (c != q[i - 1]);
        std::uint32_t value = std::min(std::min(prev[i], left) + 1, diagonal);
        value = std::min(value, inf);
        cur[i] = value;
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
    if (lanes_) {
        return static_cast<std::uint32_t>(lane_rows_[depth * kLanes + static_cast<std::size_t>(b)]);
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
            if (distance <= k_ &&
                !on_hit(node, distance, std::u32string_view(path_.data(), path_.size()))) {
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

// Whether to split a query of length n for k edits. Shorter queries leave
// the halves too little to prune with, and two walks then visit more nodes
// than one (measured on English word lists: the break-even length is about
// 2k, and 3 for k = 1).
static bool worth_splitting(std::size_t n, std::uint64_t k) {
    return k >= 1 && k <= 16 && n >= std::max<std::uint64_t>(3, 2 * k);
}

HitList CompactTrie::search(std::u32string_view query, std::uint64_t max_dist,
                            std::optional<std::uint64_t> limit, Interrupt& interrupt) const {
    HitList found;
    if (limit && *limit == 0) {
        return found;
    }
    if (max_dist == 0) {
        // Only the query itself can match.
        const std::optional<NodeId> node = find(query);
        if (node && *node != kRoot && is_key(*node)) {
            found.add(query, payload(*node), 0);
        }
        return found;
    }
    // Distances never exceed the query's length plus the trie's depth, far
    // below this cap, so a larger max_dist behaves exactly like it.
    const std::uint32_t k = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(max_dist, std::numeric_limits<std::uint32_t>::max() - 2));
    const std::size_t n = query.size();

    if (!worth_splitting(n, k) || !reverse_index_affordable()) {
        BandWalk walk(nodes_.data(), query, k, Budget{k, k, 0}, interrupt);
        walk.run([&](NodeId node, std::uint32_t distance, std::u32string_view path) {
            found.add(path, payload(node), distance);
            return !limit || found.hits.size() < *limit;
        });
        return found;
    }

    // Both walks record the key's node in the forward trie in place of the
    // payload until the hits are merged.
    const std::size_t split = n / 2;
    const std::uint32_t forward_low = k / 2;
    const std::uint32_t backward_low = (k - 1) / 2;
    HitList both;
    {
        BandWalk walk(nodes_.data(), query, k, Budget{forward_low, k, split}, interrupt);
        walk.run([&](NodeId node, std::uint32_t distance, std::u32string_view path) {
            both.add(path, node, distance);
            return true;
        });
    }
    {
        const ReverseIndex& reverse = reverse_index();
        const std::u32string reversed(query.rbegin(), query.rend());
        std::u32string key;
        BandWalk walk(reverse.nodes(), reversed, k, Budget{backward_low, k, n - split}, interrupt);
        walk.run([&](NodeId node, std::uint32_t distance, std::u32string_view path) {
            key.assign(path.rbegin(), path.rend());
            both.add(key, reverse.nodes()[node].payload, distance);
            return true;
        });
    }
    std::vector<HitList::Hit>& hits = both.hits;
    std::sort(hits.begin(), hits.end(), [](const HitList::Hit& a, const HitList::Hit& b) {
        return a.payload < b.payload;
    });
    hits.erase(std::unique(hits.begin(), hits.end(),
                           [](const HitList::Hit& a, const HitList::Hit& b) {
                               return a.payload == b.payload;
                           }),
               hits.end());
    std::sort(hits.begin(), hits.end(), [&](const HitList::Hit& a, const HitList::Hit& b) {
        return walk_before(both.key(a), both.key(b), query);
    });
    if (limit && *limit < hits.size()) {
        hits.resize(static_cast<std::size_t>(*limit));
    }
    for (HitList::Hit& hit : hits) {
        hit.payload = payload(hit.payload);
    }
    return both;
}

std::vector<Match> CompactTrie::fuzzy_match(std::u32string_view query, std::uint64_t max_dist,
                                            std::optional<std::uint64_t> limit) const {
    Interrupt none;
    const HitList found = search(query, max_dist, limit, none);
    std::vector<Match> matches;
    matches.reserve(found.hits.size());
    for (const HitList::Hit& hit : found.hits) {
        matches.push_back(Match{std::u32string(found.key(hit)), hit.payload, hit.distance});
    }
    return matches;
}

}  // namespace morlatch
