// Rows of the distance between the path's first i characters and the
// query's first j: the unit edit distance (optimal string alignment with
// transpositions), capped at k + 1, and with an error model the cost of the
// cheapest alignment. Queries of up to 15 characters step whole rows on SSE2
// lanes; longer ones keep a band of cells around the diagonal, so a row costs
// O(k) however long the word or prefix (set_up_band). The walks prune by the
// rows' minima.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string_view>
#include <vector>

#include "prefix/weighted.hpp"

namespace morlatch::costs {

using Cell = std::uint32_t;

// Costs stop growing here, far above any bound a search compares them with.
inline constexpr Cell kCostCap = 0x3FFFFFFF;

class Rows {
public:
    Rows(std::u32string_view query, std::uint64_t k, bool transpositions, const ErrorModel* model);

    void compute(std::size_t depth, const char32_t* path) {
        if (depth >= unit_min_.size()) {
            grow(depth * 2);
        }
        if (lanes_) {
            lane_step(depth, path[depth - 1], depth >= 2 ? path[depth - 2] : 0);
            return;
        }
        if (banded_) {
            band_step(depth, path[depth - 1], depth >= 2 ? path[depth - 2] : 0);
            return;
        }
        const bool model = model_ != nullptr;
        Cell* cur = unit_.data() + depth * width_;
        Cell* now = model ? cost_.data() + depth * width_ : nullptr;
        const Minima minima =
            step(depth, path[depth - 1], depth >= 2 ? path[depth - 2] : 0, cur - width_,
                 depth >= 2 ? cur - 2 * width_ : nullptr, cur, model ? now - width_ : nullptr,
                 model && depth >= 2 ? now - 2 * width_ : nullptr, now);
        unit_min_[depth] = minima.unit;
        if (model) {
            cost_min_[depth] = minima.cost;
        }
    }

    struct Minima {
        Cell unit;
        Cell cost;
    };
    // Row `cur` (and `now`, the costs, with a model) of a node at `depth`
    // labelled `c` under one labelled `before`, from the rows of its parent
    // (`prev`, `up`) and grandparent (`two_up`, `two_up_cost`; read only
    // for swaps). Returns the rows' smallest cells.
    Minima step(std::size_t depth, char32_t c, char32_t before, const Cell* prev,
                const Cell* two_up, Cell* cur, const Cell* up, const Cell* two_up_cost,
                Cell* now) const;

    Cell inf() const { return inf_; }
    Cell last(std::size_t depth) const { return unit_cell(depth, width_ - 1); }
    Cell cost(std::size_t depth) const {
        if (lanes_) {
            return static_cast<Cell>(lane_cost_[depth * kStride + kPad + width_ - 1]) * scale_;
        }
        if (banded_) {
            const std::optional<std::size_t> at = band_slot(depth, width_ - 1);
            return at ? cost_[depth * stride_ + *at] : kCostCap;
        }
        return cost_[depth * width_ + width_ - 1];
    }
    Cell unit_cell(std::size_t depth, std::size_t j) const {
        if (lanes_) {
            return static_cast<Cell>(lane_unit_[depth * kStride + kPad + j]);
        }
        if (banded_) {
            const std::optional<std::size_t> at = band_slot(depth, j);
            return at ? unit_[depth * stride_ + *at] : inf_;
        }
        return unit_[depth * width_ + j];
    }
    // The narrowing rule's view of the unit rows (reach.hpp).
    Cell cell(std::size_t depth, std::size_t j) const { return unit_cell(depth, j); }
    Cell minimum(std::size_t depth) const { return unit_min_[depth]; }
    // The word positions whose cells of row `depth` can hold anything.
    std::size_t band_low(std::size_t depth) const {
        return banded_ && depth > band_ ? depth - band_ : 0;
    }
    std::size_t band_high(std::size_t depth) const {
        return banded_ ? std::min(width_ - 1, depth + band_) : width_ - 1;
    }

    // Lower bounds of every cell below row `depth`: a row's minimum never
    // shrinks from one row to the next, except through a swap, which reaches
    // back two rows for one more edit.
    Cell floor(std::size_t depth) const {
        if (transpositions_ && depth >= 1) {
            return std::min(unit_min_[depth], unit_min_[depth - 1] + 1);
        }
        return unit_min_[depth];
    }
    Cell cost_floor(std::size_t depth) const {
        if (transpositions_ && depth >= 1) {
            return std::min(cost_min_[depth], cost_min_[depth - 1] + model_->cheap);
        }
        return cost_min_[depth];
    }

    // The labels of the children of a node labelled `label` (row `depth`)
    // that the narrowing rule (reach.hpp) leaves for a bound `t`, appended to
    // `out` in no order, maybe twice; false when every child may qualify.
    bool narrow(char32_t label, std::size_t depth, Cell t, std::vector<char32_t>& out) const;

private:
    bool is_vowel(char32_t c) const {
        if (c < 128) {
            return (ascii_vowels_[c >> 6] >> (c & 63)) & 1;
        }
        return model_->vowels.find(c) != std::u32string::npos;
    }

    // Words of up to 15 characters take both rows on 16 lanes of 16 bits
    // (two SSE2 registers), costs divided by the gcd of the model's two
    // costs: a cell's left neighbour, a chain through the row, becomes a
    // prefix minimum of the cells less the insertions before them (Hyyro's
    // trick for unit costs, with the insertion costs' running sums for the
    // model), taken in three doubling steps per register. Cells past the
    // word hold values that only feed cells past it.
    static constexpr std::size_t kLanes = 16;
    static constexpr std::size_t kPad = 2;  // cells -2 and -1: infinite
    static constexpr std::size_t kStride = 24;
    static constexpr std::int16_t kLaneCap = 16000;

    void set_up_lanes(std::uint64_t k, const std::vector<Cell>& unit0);

    // Longer words keep a band of cells around the diagonal, Ukkonen's: a
    // cell j of row i needs at least |i - j| edits. Without a model, a cell
    // outside |i - j| <= k is past k anyway. With one, every key within k
    // edits costs at most k times the dearer edit, and a path through a
    // cell outside |i - j| <= k * dearer / cheaper costs more than that,
    // so no key ranked goes through it: rows of 2B + 1 cells, whatever the
    // word's length.
    void set_up_band(std::uint64_t k);

    // Where cell j of row `depth` sits in its banded row, if inside the band.
    std::optional<std::size_t> band_slot(std::size_t depth, std::size_t j) const {
        if (j + band_ < depth || j > depth + band_) {
            return std::nullopt;
        }
        return j + band_ - depth;
    }

    // The step of compute on banded rows: slot b of row d is cell
    // j = d - B + b, so the cell above is slot b + 1 of the row above, the
    // upper-left one slot b, and the one two rows and two cells back slot b
    // of the row two up. The slot past the band stays infinite.
    void band_step(std::size_t depth, char32_t c, char32_t before);

#if defined(__SSE2__)
    static __m128i load(const std::int16_t* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    }
    // -1 in the 16-bit lanes [8 * half, 8 * half + 8) whose character in
    // `chars` equals c.
    static __m128i equal(const std::array<char32_t, kLanes>& chars, std::size_t half, char32_t c) {
        const __m128i wanted = _mm_set1_epi32(static_cast<int>(c));
        const auto* at = reinterpret_cast<const __m128i*>(chars.data() + 8 * half);
        return _mm_packs_epi32(_mm_cmpeq_epi32(_mm_loadu_si128(at), wanted),
                               _mm_cmpeq_epi32(_mm_loadu_si128(at + 1), wanted));
    }
    // The running minimum of the lanes, the last lane of `carry` first.
    static __m128i running_min(__m128i x, __m128i carry, bool carried) {
        const __m128i cap = _mm_set1_epi16(kLaneCap);
        x = _mm_min_epi16(x, _mm_or_si128(_mm_slli_si128(x, 2), _mm_srli_si128(cap, 14)));
        x = _mm_min_epi16(x, _mm_or_si128(_mm_slli_si128(x, 4), _mm_srli_si128(cap, 12)));
        x = _mm_min_epi16(x, _mm_or_si128(_mm_slli_si128(x, 8), _mm_srli_si128(cap, 8)));
        if (carried) {
            const __m128i top = _mm_shufflehi_epi16(carry, 0xFF);
            x = _mm_min_epi16(x, _mm_unpackhi_epi64(top, top));
        }
        return x;
    }
    static std::int16_t least(__m128i x) {
        x = _mm_min_epi16(x, _mm_srli_si128(x, 8));
        x = _mm_min_epi16(x, _mm_srli_si128(x, 4));
        x = _mm_min_epi16(x, _mm_srli_si128(x, 2));
        return static_cast<std::int16_t>(_mm_cvtsi128_si32(x) & 0xFFFF);
    }
#endif

    void lane_step(std::size_t depth, char32_t c, char32_t before);

    // Words of up to 7 characters fit the first register: the second is
    // left alone (its cells are past the word).
    template <bool Wide>
    void lane_step_on(std::size_t depth, char32_t c, char32_t before);

    void grow(std::size_t rows);

    std::u32string_view query_;
    std::size_t width_;
    Cell inf_;
    // Banded rows (set_up_band): 2 * band_ + 1 cells and one infinite.
    bool banded_ = false;
    std::size_t band_ = 0;
    std::size_t stride_ = 0;  // cells per stored row
    bool transpositions_;
    const ErrorModel* model_;
    std::vector<Cell> unit_;
    std::vector<Cell> unit_min_;
    std::vector<Cell> cost_;
    std::vector<Cell> cost_min_;
    std::vector<Cell> insert_;
    // What replacing word character j - 1 costs, by a vowel or by another.
    std::vector<Cell> vowel_replace_;
    std::vector<Cell> other_replace_;
    std::array<std::uint64_t, 2> ascii_vowels_{};  // bit c: whether c < 128 is a vowel
    // The lanes (set_up_lanes): rows of kStride cells, cell j at kPad + j.
    bool lanes_ = false;
    Cell scale_ = 1;
    std::int16_t lane_edit_ = 0;  // the model's costs divided by scale_
    std::int16_t lane_cheap_ = 0;
    std::array<char32_t, kLanes> lane_query_{};         // query[j - 1]
    std::array<char32_t, kLanes> lane_query_before_{};  // query[j - 2]
    std::array<char32_t, kLanes> lane_query_next_{};    // query[j + 1]
    std::array<std::int16_t, kLanes> lane_index_{};
    std::array<std::int16_t, kLanes> lane_invalid_{};  // the cap past the word
    std::array<std::int16_t, kLanes> lane_insert_sum_{};
    std::array<std::int16_t, kLanes> lane_vowel_{};
    std::array<std::int16_t, kLanes> lane_other_{};
    std::vector<std::int16_t> lane_unit_;
    std::vector<std::int16_t> lane_cost_;
};

}  // namespace morlatch::costs
