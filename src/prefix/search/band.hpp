// The one edit-distance kernel of every search: the plain walk, the layout's
// search, ranked search, completion and the corrector.
//
// A depth-first walk keeps one row per depth: row d holds, for each query
// position i, the distance between the path's first d characters and the
// query's first i. A child's row comes from its parent's (and, for the
// optimal string alignment distance, its grandparent's), which stay where
// they are until the walk leaves them. Only cells with |i - d| <= B can lead
// to a key within reach (Ukkonen's band), so a row is the 2B + 1 cells around
// the diagonal (the whole row when that is shorter) and a row costs O(B)
// whatever the query's length. Unit values are saturated at k + 1.
//
// Two distances share the kernel: Levenshtein's (unit insertion, deletion,
// substitution) and the optimal string alignment distance, which also counts
// swapping two adjacent characters as one edit, a swapped pair not being
// edited again (Hyyro's OSA recurrence: a cell may also take the cell two
// rows and two positions back, plus one, when the last two characters of
// both strings are the same pair swapped).
//
// The costs come from a policy. UnitCosts keeps the unit rows only, with
// B = k. ModelCosts keeps beside them the rows of the cheapest alignment
// under an error model (ErrorModel): a doubled letter dropped or added, a
// swap and a vowel for a vowel are cheap, every other edit dear. A key within
// k edits costs at most k times the dearer edit, and a path through a cell
// outside |i - d| <= k * dearer / cheaper costs more than that, so that is
// the model's band: no key within k goes through a cell outside it.
//
// A window of up to 16 cells is stepped on SSE2 lanes (band_lanes.hpp);
// wider ones cell by cell.
//
// A walk may allow fewer edits on a first stretch of the query than after
// it (a Budget): the split search of search.cpp walks with such budgets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "prefix/error_model.hpp"
#include "prefix/search/reach.hpp"

namespace morlatch {

enum class Metric { levenshtein, osa };

// The cost policies.
struct UnitCosts {
    static constexpr bool kModel = false;
};
struct ModelCosts {
    static constexpr bool kModel = true;
};

// Costs stop growing here, far above any bound a search compares them with.
inline constexpr std::uint32_t kCostCap = 0x3FFFFFFF;

// How many edits a row cell may hold and still lead to a hit: `low` for the
// cells of the first `split` query characters (and the empty prefix), `high`
// beyond.
struct Budget {
    std::uint32_t low;
    std::uint32_t high;
    std::size_t split;

    std::uint32_t at(std::size_t i) const noexcept { return i <= split ? low : high; }
};

// The rows of one walk, one per depth. `model` is read with ModelCosts only
// and must outlive the rows.
template <Metric M, class Costs = UnitCosts>
class BandRows {
public:
    static constexpr bool kSwaps = M == Metric::osa;
    static constexpr bool kModel = Costs::kModel;
    using Cell = std::uint32_t;

    BandRows(std::u32string_view query, std::uint32_t k, Budget budget,
             const ErrorModel* model = nullptr);
    // Sets the rows up for another query as the constructor does, keeping
    // the arrays' memory: a walk run again and again allocates nothing once
    // its arrays have grown.
    void reset(std::u32string_view query, std::uint32_t k, Budget budget,
               const ErrorModel* model = nullptr);

    Cell infinity() const noexcept { return inf_; }

    // Fills row 0 (the empty path); returns whether some cell is within budget.
    bool start();
    // Computes the row of a node at `depth` >= 1 labelled `c` whose parent is
    // labelled `parent` (read only for swaps, at depth >= 2). Returns whether
    // some cell is within budget, so that a node below can still be: a cell
    // of a row below is at least some cell of this row plus the edits in
    // between. A swap reaches back two rows, but the cell it lands on has
    // a cell of this row at the same position that is no larger (skip one
    // query character, then match the other), so it needs no exception.
    [[gnu::always_inline]] bool step(std::size_t depth, char32_t c, char32_t parent) {
        if (depth >= depth_capacity_) [[unlikely]] {
            reserve(depth);
        }
        return (this->*step_)(depth, c, parent);
    }

    // The unit value of cell i of row `depth` (infinity outside the band);
    // the row must have been computed.
    Cell cell(std::size_t depth, std::size_t i) const noexcept {
        const std::int64_t b = static_cast<std::int64_t>(i) - base(depth);
        if (b < 0 || b >= static_cast<std::int64_t>(width_)) {
            return inf_;
        }
        const std::size_t at = depth * stride_ + kPad + static_cast<std::size_t>(b);
        return lanes_ ? static_cast<Cell>(lane_unit_[at]) : unit_[at];
    }
    // The distance between the path to `depth` and the whole query, if
    // within k (else infinity).
    Cell last(std::size_t depth) const noexcept { return cell(depth, n_); }
    // The band's query positions of row `depth`, clipped to 0..n.
    std::size_t band_low(std::size_t depth) const noexcept {
        return static_cast<std::size_t>(std::max<std::int64_t>(base(depth), 0));
    }
    std::size_t band_high(std::size_t depth) const noexcept {
        return static_cast<std::size_t>(std::min<std::int64_t>(
            static_cast<std::int64_t>(n_), base(depth) + static_cast<std::int64_t>(width_) - 1));
    }
    // f(i) for each query position i < n in row `depth`'s band whose unit
    // cell is at most `bound`, in order: cell() over the band, read in place.
    template <class F>
    void for_each_within(std::size_t depth, Cell bound, F&& f) const {
        const std::size_t end = std::min(band_high(depth) + 1, n_);
        // Position i's cell sits at i + shift (>= 0: a row's first cell is
        // at or after position base(depth) of its stretch).
        const auto shift = static_cast<std::int64_t>(depth * stride_ + kPad) - base(depth);
        for (std::size_t i = band_low(depth); i < end; ++i) {
            const auto at = static_cast<std::size_t>(static_cast<std::int64_t>(i) + shift);
            if ((lanes_ ? static_cast<Cell>(lane_unit_[at]) : unit_[at]) <= bound) {
                f(i);
            }
        }
    }
    // For s = 0 .. min(k, 3): the last query position (0..n) of row
    // `depth` whose unit cell is at most k - s, in byte s (0xFF: none).
    std::uint32_t last_within(std::size_t depth) const noexcept;
    // The smallest unit cell of row `depth` (positions 0..n only).
    Cell minimum(std::size_t depth) const noexcept;
    // A lower bound of every unit cell of every row below `depth`: a row's
    // smallest cell never shrinks from one row to the next. (A swap into row
    // d + 1 from cell i of row d - 1 costs that cell plus one, no less than
    // cell i + 1 of row d.)
    Cell floor(std::size_t depth) const noexcept { return minimum(depth); }

    // With the model: the cost of the cheapest alignment of the path to
    // `depth` with the whole query (kCostCap outside the band) ...
    Cell cost(std::size_t depth) const noexcept;
    // ... and a lower bound of every cost cell below `depth`. A swap into
    // row d + 1 reaches back to row d - 1 for one cheap edit, which may cost
    // less than the replacement through row d, so row d - 1 counts too.
    Cell cost_floor(std::size_t depth) const noexcept {
        const Cell least = cost_minimum(depth);
        if (kSwaps && depth >= 1) {
            return std::min(least, cost_minimum(depth - 1) + model_->cheap);
        }
        return least;
    }

    // The narrowing rule (reach.hpp) on row `depth` for a bound `t`: add(ch)
    // for each label a child may have (in no order, maybe twice) and true,
    // or false when every child may qualify.
    template <class Add>
    bool narrow(std::size_t depth, Cell t, Add&& add) const;

private:
    // Row cell b of depth `depth` stands for query position base(depth) + b:
    // a banded window moves one position per row, a whole row stays.
    std::int64_t base(std::size_t depth) const noexcept {
        return banded_ ? static_cast<std::int64_t>(depth) - static_cast<std::int64_t>(band_) : 0;
    }
    // Where query position base(depth) sits in the padded arrays.
    std::size_t padded(std::size_t depth) const noexcept {
        return static_cast<std::size_t>(base(depth) + static_cast<std::int64_t>(offset_));
    }
    Cell cost_minimum(std::size_t depth) const noexcept;
    bool is_vowel(char32_t c) const noexcept {
        if (c < 128) {
            return (ascii_vowels_[c >> 6] >> (c & 63)) & 1;
        }
        return model_->vowels.find(c) != std::u32string::npos;
    }

    void set_up_model();
    void set_up_lanes();
    void fill_padding();
    void reserve(std::size_t depth);
    bool cells_step(std::size_t depth, char32_t c, char32_t parent) noexcept;
    template <bool Wide, bool Banded>
    bool lanes_step_on(std::size_t depth, char32_t c, char32_t parent) noexcept;
    void fill_lane_padding(std::size_t length);
    Cell lanes_minimum(const std::vector<std::int16_t>& rows, std::size_t depth) const noexcept;
    std::uint32_t lanes_last_within(std::size_t depth) const noexcept;
    template <class Add>
    bool lanes_narrow(std::size_t depth, Cell t, Add& add) const;

    // Every stored row has kPad cells before its first (infinite, read as
    // the cells left of the window) and at least one after it.
    static constexpr std::size_t kPad = 2;
    // The lanes: rows of up to 16 cells in two registers of eight 16-bit
    // lanes, model costs divided by the gcd of the model's two costs.
    static constexpr std::size_t kLanes = 16;
    static constexpr std::size_t kLaneStride = 24;
    static constexpr std::int16_t kLaneCap = 16000;
    static constexpr char32_t kNotACharacter = 0xFFFFFFFFu;

    std::u32string_view query_;
    std::size_t n_;
    Cell k_;
    Cell inf_;
    Budget budget_;
    const ErrorModel* model_;
    std::size_t band_;
    bool banded_;
    std::size_t width_;
    std::size_t stride_;
    std::size_t depth_capacity_ = 0;
    // The step for this window: cell by cell, or on lanes (one register or
    // two, banded or whole).
    bool (BandRows::*step_)(std::size_t, char32_t, char32_t) noexcept = &BandRows::cells_step;
    // Query position i sits at i + offset_ in the padded arrays, which reach
    // from before any window's first cell to past any window's last.
    std::size_t offset_;
    std::vector<char32_t> padded_query_;  // a non-character outside the query
    // One more than the budget at position i (0 outside 0..n: never alive).
    std::vector<Cell> padded_allowance_;
    // The model's costs by query position: inserting the query's character
    // i - 1, and replacing it by a vowel.
    std::vector<Cell> padded_insert_;
    std::vector<Cell> padded_vowel_replace_;
    std::uint64_t ascii_vowels_[2] = {0, 0};  // bit c: whether c < 128 is a vowel
    std::vector<Cell> unit_;
    std::vector<Cell> cost_;

    // The lanes' state (set_up_lanes).
    bool lanes_ = false;
    Cell scale_ = 1;
    std::int16_t lane_edit_ = 0;
    std::int16_t lane_cheap_ = 0;
    std::vector<std::int16_t> lane_allowance_;
    // Running sums of the insertion costs, modulo 2^16: a window takes their
    // differences, which fit.
    std::vector<std::int16_t> lane_insert_sum_;
    std::vector<std::int16_t> lane_vowel_replace_;
    std::int16_t lane_past_[kLanes] = {};  // the cap in the lanes past the window
    std::vector<std::int16_t> lane_unit_;
    std::vector<std::int16_t> lane_cost_;
};

}  // namespace morlatch

#include "prefix/search/band_cells.hpp"
#include "prefix/search/band_lanes.hpp"
