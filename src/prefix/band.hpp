// The one edit-distance kernel of the searches over a CompactTrie.
//
// A depth-first walk keeps one row per depth: row d holds, for each query
// position i, the distance between the path's first d characters and the
// query's first i. A child's row comes from its parent's (and, for the
// optimal string alignment distance, its grandparent's), which stay where
// they are until the walk leaves them. Only cells with |i - d| <= k can hold
// a value <= k (Ukkonen's band), so a row is the 2k + 1 cells around the
// diagonal (the whole row when that is shorter) and a row costs O(k)
// whatever the query's length. Values are saturated at k + 1.
//
// Two distances share the kernel: Levenshtein's (unit insertion, deletion,
// substitution) and the optimal string alignment distance, which also counts
// swapping two adjacent characters as one edit, a swapped pair not being
// edited again (Hyyro's OSA recurrence: a cell may also take the cell two
// rows and two positions back, plus one, when the last two characters of
// both strings are the same pair swapped). For k <= 3 a row fits eight
// 16-bit lanes and is stepped with SSE2 instructions.
//
// A walk may allow fewer edits on a first stretch of the query than after
// it (a Budget): the split search of search.cpp walks with such budgets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string_view>
#include <vector>

#include "prefix/compact.hpp"
#include "prefix/interrupt.hpp"
#include "prefix/reach.hpp"

namespace morlatch {

enum class Metric { levenshtein, osa };

// How many edits a row cell may hold and still lead to a hit: `low` for the
// cells of the first `split` query characters (and the empty prefix), `high`
// beyond.
struct Budget {
    std::uint32_t low;
    std::uint32_t high;
    std::size_t split;

    std::uint32_t at(std::size_t i) const noexcept { return i <= split ? low : high; }
};

// The banded rows of one walk, one per depth.
template <Metric M>
class BandRows {
public:
    static constexpr bool kSwaps = M == Metric::osa;

    BandRows(std::u32string_view query, std::uint32_t k, Budget budget);

    std::uint32_t infinity() const noexcept { return infinity_; }

    // Fills row 0 (the empty path); returns whether some cell is within budget.
    bool start();
    // Computes the row of a node at `depth` >= 1 labelled `c` whose parent is
    // labelled `parent` (read only for swaps, at depth >= 2). Returns whether
    // some cell is within budget, so that a node below can still be: a cell
    // of a row below is at least some cell of this row plus the edits in
    // between. A swap reaches back two rows, but the cell it lands on has
    // a cell of this row at the same position that is no larger (skip one
    // query character, then match the other), so it needs no exception.
    bool step(std::size_t depth, char32_t c, char32_t parent) {
        if (lanes_) {
            return lanes_step(depth, c, parent);
        }
        if (rows_.size() < (depth + 2) * stride_) [[unlikely]] {
            rows_.resize((depth + 2) * stride_, infinity_);
        }
        return (this->*row_step_)(depth, c, parent);
    }
    // The value of cell i of row `depth` (infinity outside the band); the
    // row must have been computed.
    std::uint32_t cell(std::size_t depth, std::size_t i) const noexcept {
        const std::int64_t b = static_cast<std::int64_t>(i) - base(depth);
        if (b < 0 || b >= static_cast<std::int64_t>(width_)) {
            return infinity_;
        }
        if (lanes_) {
            return static_cast<std::uint32_t>(
                lane_rows_[depth * kLanes + static_cast<std::size_t>(b)]);
        }
        return rows_[depth * stride_ + static_cast<std::size_t>(b)];
    }
    // The distance between the path to `depth` and the whole query, if
    // within k (else infinity).
    std::uint32_t last(std::size_t depth) const noexcept { return cell(depth, n_); }
    // The band's query positions of row `depth`, clipped to 0..n.
    std::size_t band_low(std::size_t depth) const noexcept { return depth > k_ ? depth - k_ : 0; }
    std::size_t band_high(std::size_t depth) const noexcept {
        return std::min<std::size_t>(n_, depth + k_);
    }
    // The smallest cell of row `depth` (positions 0..n only).
    std::uint32_t minimum(std::size_t depth) const noexcept {
        const std::size_t lo = band_low(depth);
        const std::size_t hi = band_high(depth);
        std::uint32_t least = infinity_;
        if (lo > hi) {
            return least;
        }
        // Positions lo..hi all lie in the band.
        const std::size_t first = lo - static_cast<std::size_t>(base(depth));
        const std::size_t count = hi - lo + 1;
        if (lanes_) {
            const std::int16_t* r = lane_rows_.data() + depth * kLanes + first;
            for (std::size_t b = 0; b < count; ++b) {
                least = std::min(least, static_cast<std::uint32_t>(r[b]));
            }
        } else {
            const std::uint32_t* r = rows_.data() + depth * stride_ + first;
            least = std::min(least, *std::min_element(r, r + count));
        }
        return least;
    }
    // A lower bound of every cell of every row below `depth`: a row's
    // smallest cell never shrinks from one row to the next. (A swap into row
    // d + 1 from cell i of row d - 1 costs that cell plus one, no less than
    // cell i + 1 of row d.)
    std::uint32_t floor(std::size_t depth) const noexcept { return minimum(depth); }

private:
    // Row cell b of depth `depth` stands for query position base(depth) + b.
    std::int64_t base(std::size_t depth) const noexcept {
        return banded_ ? static_cast<std::int64_t>(depth) - k_ : 0;
    }
    std::uint32_t* row(std::size_t depth) noexcept { return rows_.data() + depth * stride_; }

    template <std::size_t Width>
    bool band_step(std::size_t depth, char32_t c, char32_t parent) noexcept;
    bool lanes_step(std::size_t depth, char32_t c, char32_t parent) noexcept;
    bool full_step(std::size_t depth, char32_t c, char32_t parent) noexcept;

    std::u32string_view query_;
    std::size_t n_;
    std::uint32_t k_;
    std::uint32_t infinity_;
    Budget budget_;
    bool banded_;
    std::size_t width_;
    std::size_t stride_;  // one more cell than the row: always infinity
    // No key deeper than n + k is within k; the rows go one level further,
    // so that a walk may step one level past it.
    std::size_t max_depth_;
    bool (BandRows::*row_step_)(std::size_t, char32_t, char32_t) noexcept;
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
    std::vector<std::uint32_t> rows_;
};

template <Metric M>
BandRows<M>::BandRows(std::u32string_view query, std::uint32_t k, Budget budget)
    : query_(query),
      n_(query.size()),
      k_(k),
      infinity_(k + 1),
      budget_(budget),
      banded_(2 * static_cast<std::uint64_t>(k) + 1 <= query.size() + 1),
      width_(banded_ ? 2 * static_cast<std::size_t>(k) + 1 : query.size() + 1),
      stride_(width_ + 1),
      max_depth_(query.size() + k) {
    if (!banded_) {
        row_step_ = &BandRows::full_step;
        return;
    }
    switch (width_) {
        case 3:
            row_step_ = &BandRows::band_step<3>;
            break;
        case 5:
            row_step_ = &BandRows::band_step<5>;
            break;
        case 7:
            row_step_ = &BandRows::band_step<7>;
            break;
        default:
            row_step_ = &BandRows::band_step<0>;
    }
    // Positions i from -k to n + 2k + 1 (and the lanes past the band),
    // stored at i + k.
    constexpr char32_t kNotACharacter = 0xFFFFFFFFu;
    const std::size_t span = n_ + 3 * static_cast<std::size_t>(k) + kLanes + 2;
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
        // Every row a walk can need, at once.
        lane_rows_.assign((max_depth_ + 2) * kLanes, static_cast<std::int16_t>(infinity_));
    }
#endif
}

template <Metric M>
bool BandRows<M>::start() {
    if (rows_.size() < 2 * stride_) {
        rows_.assign(2 * stride_, infinity_);
    }
    std::uint32_t* r = row(0);
    const std::int64_t b0 = base(0);
    bool alive = false;
    for (std::size_t b = 0; b < width_; ++b) {
        const std::int64_t i = b0 + static_cast<std::int64_t>(b);
        r[b] = infinity_;
        if (i >= 0 && i <= static_cast<std::int64_t>(n_)) {
            r[b] = static_cast<std::uint32_t>(std::min<std::int64_t>(i, infinity_));
            alive |= r[b] <= budget_.at(static_cast<std::size_t>(i));
        }
    }
    if (lanes_) {
        // Lanes past the band hold min(i, infinity) too: what the band step
        // would compute for them.
        for (std::size_t b = 0; b < 8; ++b) {
            const std::int64_t i = b0 + static_cast<std::int64_t>(b);
            lane_rows_[b] =
                static_cast<std::int16_t>(i < 0 ? infinity_ : std::min<std::int64_t>(i, infinity_));
        }
    }
    return alive;
}

// The band step on eight lanes. The cell above, the upper-left one and (for
// swaps) the one two rows and two positions back come from loads of the
// rows above; the left neighbour, a chain through the row, is a prefix
// minimum of t[l] + (b - l), taken in three doubling steps. Lanes past the
// band compute values at least the true ones, which are past k, so they stay
// at infinity.
template <Metric M>
bool BandRows<M>::lanes_step(std::size_t depth, char32_t c, char32_t parent) noexcept {
#if defined(__SSE2__)
    const std::int16_t* prev = lane_rows_.data() + (depth - 1) * kLanes;
    std::int16_t* cur = lane_rows_.data() + depth * kLanes;
    const __m128i one = _mm_set1_epi16(1);
    const __m128i inf = _mm_set1_epi16(static_cast<short>(infinity_));
    const __m128i above = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + 1));
    const __m128i upper_left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev));
    const char32_t* q = padded_query_.data() + depth;
    // -1 in the lanes whose query character (at q + offset) equals ch.
    auto equal = [q](std::ptrdiff_t offset, char32_t ch) {
        const auto* at = reinterpret_cast<const __m128i*>(q + offset);
        const __m128i wanted = _mm_set1_epi32(static_cast<int>(ch));
        return _mm_packs_epi32(_mm_cmpeq_epi32(_mm_loadu_si128(at), wanted),
                               _mm_cmpeq_epi32(_mm_loadu_si128(at + 1), wanted));
    };
    const __m128i diagonal = _mm_add_epi16(_mm_add_epi16(upper_left, one), equal(0, c));
    __m128i t = _mm_min_epi16(_mm_add_epi16(above, one), diagonal);
    const auto* allowance_at = reinterpret_cast<const __m128i*>(lane_allowance_.data() + depth);
    if constexpr (kSwaps) {
        if (depth >= 2) {
            // Cell i takes cell i - 2 of the row two up, plus one, when
            // c = query[i - 2] and parent = query[i - 1].
            const __m128i swapped = _mm_and_si128(equal(-1, c), equal(0, parent));
            const __m128i two_up = _mm_add_epi16(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev - kLanes)), one);
            t = _mm_min_epi16(
                t, _mm_or_si128(_mm_and_si128(swapped, two_up), _mm_andnot_si128(swapped, inf)));
        }
    }
    // Lanes shifted in from below the row are infinity.
    const __m128i low1 = _mm_set_epi16(0, 0, 0, 0, 0, 0, 0, -1);
    const __m128i low2 = _mm_set_epi16(0, 0, 0, 0, 0, 0, -1, -1);
    const __m128i low4 = _mm_set_epi16(0, 0, 0, 0, -1, -1, -1, -1);
    t = _mm_min_epi16(
        t, _mm_add_epi16(_mm_or_si128(_mm_slli_si128(t, 2), _mm_and_si128(low1, inf)), one));
    t = _mm_min_epi16(t, _mm_add_epi16(_mm_or_si128(_mm_slli_si128(t, 4), _mm_and_si128(low2, inf)),
                                       _mm_set1_epi16(2)));
    t = _mm_min_epi16(t, _mm_add_epi16(_mm_or_si128(_mm_slli_si128(t, 8), _mm_and_si128(low4, inf)),
                                       _mm_set1_epi16(4)));
    t = _mm_min_epi16(t, inf);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cur), t);
    return _mm_movemask_epi8(_mm_cmplt_epi16(t, _mm_loadu_si128(allowance_at))) != 0;
#else
    (void)depth;
    (void)c;
    (void)parent;
    return false;
#endif
}

// Cell b stands for i = depth - k + b. The cell above (same i, one depth up)
// is prev[b + 1], the upper-left one prev[b], the one two rows and two
// positions back two_up[b]. Cells before position 0 stay at infinity by
// themselves; cells past n hold values that only ever feed cells past n, and
// never count as alive.
template <Metric M>
template <std::size_t Width>
bool BandRows<M>::band_step(std::size_t depth, char32_t c, char32_t parent) noexcept {
    const std::size_t width = Width != 0 ? Width : width_;
    const std::uint32_t* prev = row(depth - 1);
    std::uint32_t* cur = row(depth);
    const char32_t* q = padded_query_.data() + depth;
    const std::uint32_t* allowance = padded_allowance_.data() + depth;
    const std::uint32_t inf = infinity_;
    std::uint32_t left = inf;
    bool alive = false;
    const bool swaps = kSwaps && depth >= 2;
    const std::uint32_t* two_up = swaps ? row(depth - 2) : nullptr;
    for (std::size_t b = 0; b < width; ++b) {
        const std::uint32_t diagonal = prev[b] + (c != q[b]);
        std::uint32_t value = std::min(std::min(prev[b + 1], left) + 1, diagonal);
        if (swaps && c == q[b - 1] && parent == q[b]) {
            value = std::min(value, two_up[b] + 1);
        }
        value = std::min(value, inf);
        cur[b] = value;
        left = value;
        alive |= value < allowance[b];
    }
    return alive;
}

template <Metric M>
bool BandRows<M>::full_step(std::size_t depth, char32_t c, char32_t parent) noexcept {
    const std::uint32_t* prev = row(depth - 1);
    std::uint32_t* cur = row(depth);
    const char32_t* q = query_.data();
    const std::uint32_t inf = infinity_;
    const bool swaps = kSwaps && depth >= 2;
    const std::uint32_t* two_up = swaps ? row(depth - 2) : nullptr;
    std::uint32_t left = std::min(prev[0] + 1, inf);
    cur[0] = left;
    bool alive = left <= budget_.at(0);
    for (std::size_t i = 1; i <= n_; ++i) {
        const std::uint32_t diagonal = prev[i - 1] + (c != q[i - 1]);
        std::uint32_t value = std::min(std::min(prev[i], left) + 1, diagonal);
        if (swaps && i >= 2 && c == q[i - 2] && parent == q[i - 1]) {
            value = std::min(value, two_up[i - 2] + 1);
        }
        value = std::min(value, inf);
        cur[i] = value;
        left = value;
        alive |= value <= budget_.at(i);
    }
    return alive;
}

// The depth-first banded walk over nodes laid out as in CompactTrie, with
// exactly the plain walk's order. on_hit(node, distance, path) is called in
// walk order (the child that continues the query first, then the others in
// label order) and returns false to stop the walk.
template <Metric M>
class BandWalk {
public:
    BandWalk(const NodeView& nodes, std::u32string_view query, std::uint32_t k, Budget budget,
             Interrupt& interrupt)
        : nodes_(nodes), query_(query), k_(k), rows_(query, k, budget), interrupt_(interrupt) {}

    template <class OnHit>
    void run(OnHit&& on_hit);

private:
    struct Frame {
        NodeId next;
        NodeId end;
        NodeId promoted;
        bool promoted_pending;
    };
    // Inlined: the walk calls it for every node with children.
    [[gnu::always_inline]] inline void push_frame(NodeId node, std::size_t depth);

    const NodeView nodes_;
    std::u32string_view query_;
    std::uint32_t k_;
    BandRows<M> rows_;
    Interrupt& interrupt_;
    std::vector<Frame> frames_;
    std::vector<char32_t> path_;
};

template <Metric M>
void BandWalk<M>::push_frame(NodeId node, std::size_t depth) {
    // The children stand at depth + 1 and spell query position `depth`.
    const NodeId first = nodes_.first_child(node);
    const NodeId end = nodes_.first_child(node + 1);
    NodeId promoted = CompactTrie::kNoNode;
    if (depth < query_.size() && first < end) {
        promoted = nodes_.child(node, query_[depth]);
    }
    frames_.push_back(Frame{first, end, promoted, promoted != CompactTrie::kNoNode});
}

template <Metric M>
template <class OnHit>
void BandWalk<M>::run(OnHit&& on_hit) {
    path_.clear();
    frames_.clear();
    // The root is never a hit; its children are worth a look when some
    // cell of its row is within budget.
    if (!rows_.start()) {
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
        const std::uint32_t record = nodes_.record(node);
        if (out_of_reach(record, depth, query_.size(), k_)) {
            continue;
        }
        interrupt_.tick();
        const char32_t label = nodes_.label(node);
        const char32_t parent = BandRows<M>::kSwaps && !path_.empty() ? path_.back() : 0;
        const bool alive = rows_.step(depth, label, parent);
        path_.push_back(label);
        if (records::is_key(record)) {
            const std::uint32_t distance = rows_.last(depth);
            if (distance <= k_ &&
                !on_hit(node, distance, std::u32string_view(path_.data(), path_.size()))) {
                return;
            }
        }
        if (alive && nodes_.first_child(node) < nodes_.first_child(node + 1)) {
            push_frame(node, depth);
        } else {
            path_.pop_back();
        }
    }
}

}  // namespace morlatch
