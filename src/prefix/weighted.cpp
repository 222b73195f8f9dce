#include "prefix/weighted.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <functional>
#include <numeric>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <utility>

#include "prefix/fault.hpp"

namespace morlatch {
namespace {

using Cell = std::uint32_t;

// Costs stop growing here, far above any bound a search compares them with.
constexpr Cell kCostCap = 0x3FFFFFFF;
constexpr std::uint64_t kDistanceCap = std::uint64_t{1} << 30;

bool holds_keys(const CompactTrie& trie, NodeId node) {
    return !(trie.shortest_below(node) == CompactTrie::kLengthSaturated &&
             trie.longest_below(node) == 0);
}

// Rows of the distance between the path's first i characters and the
// query's first j: the unit edit distance (optimal string alignment with
// transpositions), capped at k + 1, and with an error model the cost of the
// cheapest alignment. Queries of up to 15 characters step whole rows on SSE2
// lanes; longer ones keep a band of cells around the diagonal, so a row costs
// O(k) however long the word or prefix (set_up_band). The walks prune by the
// rows' minima.
class Rows {
public:
    Rows(std::u32string_view query, std::uint64_t k, bool transpositions, const ErrorModel* model)
        : query_(query),
          width_(query.size() + 1),
          inf_(static_cast<Cell>(std::min(k, kDistanceCap)) + 1),
          transpositions_(transpositions),
          model_(model) {
        // Row 0 (the empty path) as whole rows.
        std::vector<Cell> unit0(width_);
        std::vector<Cell> cost0;
        for (std::size_t j = 0; j < width_; ++j) {
            unit0[j] = std::min(static_cast<Cell>(j), inf_);
        }
        if (model_ != nullptr) {
            for (const char32_t v : model_->vowels) {
                if (v < 128) {
                    ascii_vowels_[v >> 6] |= std::uint64_t{1} << (v & 63);
                }
            }
            insert_.resize(width_);
            vowel_replace_.resize(width_);
            other_replace_.assign(width_, model_->edit);
            cost0.assign(width_, 0);
            for (std::size_t j = 1; j < width_; ++j) {
                // The typist doubled a letter: a character equal to the one before.
                insert_[j] = j >= 2 && query[j - 1] == query[j - 2] ? model_->cheap : model_->edit;
                // A vowel for a vowel is a cheap slip.
                vowel_replace_[j] = is_vowel(query[j - 1]) ? model_->cheap : model_->edit;
                cost0[j] = std::min(cost0[j - 1] + insert_[j], kCostCap);
            }
        }
        set_up_lanes(k, unit0);
        set_up_band(k);
        stride_ = banded_ ? 2 * band_ + 2 : width_;
        grow(16);
        for (std::size_t j = 0; j < width_ && !lanes_; ++j) {
            if (banded_ && j > band_) {
                break;
            }
            // Row 0's cell j sits at j + band when banded.
            const std::size_t at = banded_ ? j + band_ : j;
            unit_[at] = unit0[j];
            if (model_ != nullptr) {
                cost_[at] = cost0[j];
            }
        }
        unit_min_[0] = 0;
        if (model_ != nullptr) {
            cost_min_[0] = 0;
        }
    }

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
                Cell* now) const {
        const bool swap_possible = transpositions_ && depth >= 2;
        Cell low = cur[0] =
            std::min(static_cast<Cell>(std::min(depth, std::size_t{kCostCap})), inf_);
        if (model_ == nullptr) {
            for (std::size_t j = 1; j < width_; ++j) {
                Cell v = std::min(prev[j - 1] + (c != query_[j - 1] ? 1 : 0),
                                  std::min(prev[j], cur[j - 1]) + 1);
                if (swap_possible && j >= 2 && c == query_[j - 2] && before == query_[j - 1]) {
                    v = std::min(v, two_up[j - 2] + 1);
                }
                cur[j] = std::min(v, inf_);
                low = std::min(low, cur[j]);
            }
            return Minima{low, 0};
        }
        // Both rows in one pass: they share the comparisons.
        // The candidate's letter is dropped: cheap when it doubles the one before.
        const Cell drop = depth >= 2 && before == c ? model_->cheap : model_->edit;
        const Cell* replace = is_vowel(c) ? vowel_replace_.data() : other_replace_.data();
        const Cell cheap = model_->cheap;
        Cell cheapest = now[0] = std::min(up[0] + drop, kCostCap);
        for (std::size_t j = 1; j < width_; ++j) {
            const bool same = c == query_[j - 1];
            Cell v = std::min(prev[j - 1] + (same ? 0 : 1), std::min(prev[j], cur[j - 1]) + 1);
            Cell w = std::min(up[j - 1] + (same ? 0 : replace[j]),
                              std::min(up[j] + drop, now[j - 1] + insert_[j]));
            if (swap_possible && j >= 2 && c == query_[j - 2] && before == query_[j - 1]) {
                v = std::min(v, two_up[j - 2] + 1);
                w = std::min(w, two_up_cost[j - 2] + cheap);
            }
            cur[j] = std::min(v, inf_);
            low = std::min(low, cur[j]);
            now[j] = std::min(w, kCostCap);
            cheapest = std::min(cheapest, now[j]);
        }
        return Minima{low, cheapest};
    }

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

    // The labels of the children worth a visit when no cell of row `depth`
    // (the row of `node`) is below `t`: a child's row then holds a cell <= t
    // only through a match on the diagonal from a cell that holds t, or
    // through a swap from the row above. Appends them to `out` (in no
    // order, maybe twice) and returns true, or returns false when every
    // child may qualify.
    bool narrow(char32_t label, std::size_t depth, Cell t, std::vector<char32_t>& out) const {
        if (unit_min_[depth] < t) {
            return false;
        }
#if defined(__SSE2__)
        if (lanes_) {
            // The same on the lanes: one bit per cell that qualifies.
            const std::int16_t* row = lane_unit_.data() + depth * kStride + kPad;
            const __m128i target = _mm_set1_epi16(static_cast<short>(t));
            const auto bits = [](__m128i low, __m128i high, std::size_t cells) {
                const unsigned all =
                    static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
                return all & ((1u << cells) - 1);
            };
            for (unsigned at = bits(_mm_cmpeq_epi16(load(row), target),
                                    _mm_cmpeq_epi16(load(row + 8), target), width_ - 1);
                 at != 0; at &= at - 1) {
                out.push_back(query_[static_cast<std::size_t>(std::countr_zero(at))]);
            }
            if (transpositions_ && depth >= 1 && t >= 1 && width_ >= 2) {
                const std::int16_t* above = row - kStride;
                for (unsigned at = bits(_mm_and_si128(_mm_cmplt_epi16(load(above), target),
                                                      equal(lane_query_next_, 0, label)),
                                        _mm_and_si128(_mm_cmplt_epi16(load(above + 8), target),
                                                      equal(lane_query_next_, 1, label)),
                                        width_ - 2);
                     at != 0; at &= at - 1) {
                    out.push_back(query_[static_cast<std::size_t>(std::countr_zero(at))]);
                }
            }
            return true;
        }
#endif
        for (std::size_t j = band_low(depth); j <= band_high(depth) && j + 1 < width_; ++j) {
            if (unit_cell(depth, j) == t) {
                out.push_back(query_[j]);
            }
        }
        if (transpositions_ && depth >= 1 && t >= 1) {
            // A child labelled query[j] after a node labelled query[j + 1]
            // swaps the pair from cell j of the row above.
            for (std::size_t j = band_low(depth - 1); j <= band_high(depth - 1) && j + 2 < width_;
                 ++j) {
                if (unit_cell(depth - 1, j) + 1 <= t && query_[j + 1] == label) {
                    out.push_back(query_[j]);
                }
            }
        }
        return true;
    }

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

    void set_up_lanes(std::uint64_t k, const std::vector<Cell>& unit0) {
#if defined(__SSE2__)
        if (width_ > kLanes || inf_ >= 1000) {
            return;
        }
        if (model_ != nullptr) {
            const std::uint32_t scale = std::gcd(model_->edit, model_->cheap);
            if (scale == 0) {
                return;
            }
            const std::uint64_t dearest = std::max(model_->edit, model_->cheap) / scale;
            // Every sum a row takes stays within 16 bits, and every cost a
            // key within k edits can have stays below the cap.
            if (dearest > 900 || k * dearest >= static_cast<std::uint64_t>(kLaneCap)) {
                return;
            }
            scale_ = scale;
        }
        lanes_ = true;
        constexpr char32_t kNone = 0xFFFFFFFFu;
        lane_query_.fill(kNone);
        lane_query_before_.fill(kNone);
        lane_query_next_.fill(kNone);
        for (std::size_t j = 0; j + 1 < query_.size(); ++j) {
            lane_query_next_[j] = query_[j + 1];
        }
        for (std::size_t j = 1; j < width_; ++j) {
            lane_query_[j] = query_[j - 1];
            if (j >= 2) {
                lane_query_before_[j] = query_[j - 2];
            }
        }
        for (std::size_t j = 0; j < kLanes; ++j) {
            lane_index_[j] = static_cast<std::int16_t>(j);
            lane_invalid_[j] = j < width_ ? 0 : kLaneCap;
            lane_insert_sum_[j] = 0;
            lane_vowel_[j] = 0;
            lane_other_[j] = 0;
        }
        lane_unit_.assign(16 * kStride, kLaneCap);
        for (std::size_t j = 0; j < width_; ++j) {
            lane_unit_[kPad + j] = static_cast<std::int16_t>(unit0[j]);
        }
        if (model_ != nullptr) {
            const std::int16_t edit = static_cast<std::int16_t>(model_->edit / scale_);
            lane_edit_ = edit;
            lane_cheap_ = static_cast<std::int16_t>(model_->cheap / scale_);
            std::int16_t sum = 0;
            for (std::size_t j = 1; j < kLanes; ++j) {
                const bool inside = j < width_;
                sum = static_cast<std::int16_t>(
                    sum + (inside ? static_cast<std::int16_t>(insert_[j] / scale_) : edit));
                lane_insert_sum_[j] = sum;
                lane_vowel_[j] =
                    inside ? static_cast<std::int16_t>(vowel_replace_[j] / scale_) : edit;
                lane_other_[j] = edit;
            }
            lane_cost_.assign(16 * kStride, kLaneCap);
            for (std::size_t j = 0; j < width_; ++j) {
                lane_cost_[kPad + j] =
                    static_cast<std::int16_t>(lane_insert_sum_[j]);  // row 0: insertions only
            }
        }
#else
        (void)k;
        (void)unit0;
#endif
    }

    // Longer words keep a band of cells around the diagonal, Ukkonen's: a
    // cell j of row i needs at least |i - j| edits. Without a model, a cell
    // outside |i - j| <= k is past k anyway. With one, every key within k
    // edits costs at most k times the dearer edit, and a path through a
    // cell outside |i - j| <= k * dearer / cheaper costs more than that,
    // so no key ranked goes through it: rows of 2B + 1 cells, whatever the
    // word's length.
    void set_up_band(std::uint64_t k) {
        if (lanes_) {
            return;
        }
        std::uint64_t band = std::min(k, kDistanceCap);
        if (model_ != nullptr) {
            const std::uint64_t cheaper = std::min(model_->edit, model_->cheap);
            if (cheaper == 0) {
                return;
            }
            band = std::max(band, band * std::max(model_->edit, model_->cheap) / cheaper);
        }
        if (2 * band + 2 < width_) {
            banded_ = true;
            band_ = static_cast<std::size_t>(band);
        }
    }

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
    void band_step(std::size_t depth, char32_t c, char32_t before) {
        const std::size_t stride = stride_;
        const std::size_t slots = 2 * band_ + 1;
        const bool model = model_ != nullptr;
        const bool swaps = transpositions_ && depth >= 2;
        Cell* cur = unit_.data() + depth * stride;
        const Cell* prev = cur - stride;
        const Cell* two_up = swaps ? prev - stride : nullptr;
        Cell* now = model ? cost_.data() + depth * stride : nullptr;
        const Cell* up = model ? now - stride : nullptr;
        const Cell* two_up_cost = model && swaps ? up - stride : nullptr;
        const Cell drop = model ? (depth >= 2 && before == c ? model_->cheap : model_->edit) : 0;
        const Cell* replace =
            model ? (is_vowel(c) ? vowel_replace_.data() : other_replace_.data()) : nullptr;
        const std::size_t n = width_ - 1;
        Cell low = inf_;
        Cell cheapest = kCostCap;
        Cell left = inf_;
        Cell left_cost = kCostCap;
        for (std::size_t b = 0; b < slots; ++b) {
            if (b + depth < band_ || b + depth - band_ > n) {
                cur[b] = left = inf_;
                if (model) {
                    now[b] = left_cost = kCostCap;
                }
                continue;
            }
            const std::size_t j = b + depth - band_;
            Cell v = 0;
            Cell w = 0;
            if (j == 0) {
                v = static_cast<Cell>(std::min<std::size_t>(depth, inf_));
                w = model ? up[b + 1] + drop : 0;
            } else {
                const bool same = c == query_[j - 1];
                v = std::min(prev[b] + (same ? 0 : 1), std::min(prev[b + 1], left) + 1);
                if (model) {
                    w = std::min(up[b] + (same ? 0 : replace[j]),
                                 std::min(up[b + 1] + drop, left_cost + insert_[j]));
                }
                if (swaps && j >= 2 && c == query_[j - 2] && before == query_[j - 1]) {
                    v = std::min(v, two_up[b] + 1);
                    if (model) {
                        w = std::min(w, two_up_cost[b] + model_->cheap);
                    }
                }
            }
            cur[b] = left = std::min(v, inf_);
            low = std::min(low, left);
            if (model) {
                now[b] = left_cost = std::min(w, kCostCap);
                cheapest = std::min(cheapest, left_cost);
            }
        }
        cur[slots] = inf_;
        unit_min_[depth] = low;
        if (model) {
            now[slots] = kCostCap;
            cost_min_[depth] = cheapest;
        }
    }

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

    void lane_step(std::size_t depth, char32_t c, char32_t before) {
        if (width_ > 8) {
            lane_step_on<true>(depth, c, before);
        } else {
            lane_step_on<false>(depth, c, before);
        }
    }

    // Words of up to 7 characters fit the first register: the second is
    // left alone (its cells are past the word).
    template <bool Wide>
    void lane_step_on(std::size_t depth, char32_t c, char32_t before) {
#if defined(__SSE2__)
        if ((depth + 1) * kStride > lane_unit_.size()) {
            lane_unit_.resize((depth + 1) * kStride * 2, kLaneCap);
            if (model_ != nullptr) {
                lane_cost_.resize((depth + 1) * kStride * 2, kLaneCap);
            }
        }
        const bool swaps = transpositions_ && depth >= 2;
        const __m128i one = _mm_set1_epi16(1);
        const __m128i cap = _mm_set1_epi16(kLaneCap);
        const __m128i eq0 = equal(lane_query_, 0, c);
        const __m128i eq1 = Wide ? equal(lane_query_, 1, c) : cap;
        __m128i swapped0 = _mm_setzero_si128();
        __m128i swapped1 = _mm_setzero_si128();
        if (swaps) {
            swapped0 =
                _mm_and_si128(equal(lane_query_before_, 0, c), equal(lane_query_, 0, before));
            if constexpr (Wide) {
                swapped1 =
                    _mm_and_si128(equal(lane_query_before_, 1, c), equal(lane_query_, 1, before));
            }
        }
        // `value` where `mask`, the cap elsewhere.
        const auto pick = [&](__m128i mask, __m128i value) {
            return _mm_or_si128(_mm_and_si128(mask, value), _mm_andnot_si128(mask, cap));
        };
        const __m128i invalid0 = load(lane_invalid_.data());
        const __m128i invalid1 = load(lane_invalid_.data() + 8);
        // The smallest cell of the word's positions.
        const auto smallest = [&](__m128i r0, __m128i r1) {
            const __m128i low = _mm_max_epi16(r0, invalid0);
            if constexpr (Wide) {
                return static_cast<Cell>(least(_mm_min_epi16(low, _mm_max_epi16(r1, invalid1))));
            }
            return static_cast<Cell>(least(low));
        };
        {
            const std::int16_t* prev = lane_unit_.data() + (depth - 1) * kStride;
            std::int16_t* cur = lane_unit_.data() + depth * kStride + kPad;
            const __m128i inf = _mm_set1_epi16(static_cast<short>(inf_));
            // min(prev[j - 1] + (c != query[j - 1]), prev[j] + 1), and the swap.
            __m128i t0 = _mm_min_epi16(_mm_add_epi16(_mm_add_epi16(load(prev + 1), one), eq0),
                                       _mm_add_epi16(load(prev + 2), one));
            if (swaps) {
                t0 = _mm_min_epi16(t0, pick(swapped0, _mm_add_epi16(load(prev - kStride), one)));
            }
            t0 = _mm_insert_epi16(t0, static_cast<int>(std::min<std::size_t>(depth, inf_)), 0);
            const __m128i j0 = load(lane_index_.data());
            const __m128i a0 = running_min(_mm_sub_epi16(t0, j0), cap, false);
            const __m128i r0 = _mm_min_epi16(_mm_add_epi16(a0, j0), inf);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(cur), r0);
            __m128i r1 = cap;
            if constexpr (Wide) {
                __m128i t1 = _mm_min_epi16(_mm_add_epi16(_mm_add_epi16(load(prev + 9), one), eq1),
                                           _mm_add_epi16(load(prev + 10), one));
                if (swaps) {
                    t1 = _mm_min_epi16(
                        t1, pick(swapped1, _mm_add_epi16(load(prev - kStride + 8), one)));
                }
                const __m128i j1 = load(lane_index_.data() + 8);
                const __m128i a1 = running_min(_mm_sub_epi16(t1, j1), a0, true);
                r1 = _mm_min_epi16(_mm_add_epi16(a1, j1), inf);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(cur + 8), r1);
            }
            unit_min_[depth] = smallest(r0, r1);
        }
        if (model_ == nullptr) {
            return;
        }
        const std::int16_t* up = lane_cost_.data() + (depth - 1) * kStride;
        std::int16_t* now = lane_cost_.data() + depth * kStride + kPad;
        const std::int16_t* replace = is_vowel(c) ? lane_vowel_.data() : lane_other_.data();
        const __m128i drop = _mm_set1_epi16(depth >= 2 && before == c ? lane_cheap_ : lane_edit_);
        const __m128i cheap = _mm_set1_epi16(lane_cheap_);
        // min(up[j - 1] + replacing, up[j] + dropping), and the swap.
        __m128i w0 =
            _mm_min_epi16(_mm_add_epi16(load(up + 1), _mm_andnot_si128(eq0, load(replace))),
                          _mm_add_epi16(load(up + 2), drop));
        if (swaps) {
            w0 = _mm_min_epi16(w0, pick(swapped0, _mm_add_epi16(load(up - kStride), cheap)));
        }
        const __m128i p0 = load(lane_insert_sum_.data());
        const __m128i a0 = running_min(_mm_sub_epi16(w0, p0), cap, false);
        const __m128i r0 = _mm_min_epi16(_mm_add_epi16(a0, p0), cap);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(now), r0);
        __m128i r1 = cap;
        if constexpr (Wide) {
            __m128i w1 =
                _mm_min_epi16(_mm_add_epi16(load(up + 9), _mm_andnot_si128(eq1, load(replace + 8))),
                              _mm_add_epi16(load(up + 10), drop));
            if (swaps) {
                w1 =
                    _mm_min_epi16(w1, pick(swapped1, _mm_add_epi16(load(up - kStride + 8), cheap)));
            }
            const __m128i p1 = load(lane_insert_sum_.data() + 8);
            const __m128i a1 = running_min(_mm_sub_epi16(w1, p1), a0, true);
            r1 = _mm_min_epi16(_mm_add_epi16(a1, p1), cap);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(now + 8), r1);
        }
        cost_min_[depth] = smallest(r0, r1) * scale_;
#else
        (void)depth;
        (void)c;
        (void)before;
#endif
    }

    void grow(std::size_t rows) {
        // New rows start infinite: a banded row 0 reads its slots past the
        // word's start as such. The lanes keep their rows apart.
        if (!lanes_) {
            unit_.resize(rows * stride_, inf_);
        }
        unit_min_.resize(rows);
        if (model_ != nullptr) {
            if (!lanes_) {
                cost_.resize(rows * stride_, kCostCap);
            }
            cost_min_.resize(rows);
        }
    }

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

// Every node once, parents before children, children in code-point order.
template <class Visit>
void preorder(const CompactTrie& trie, Visit&& visit) {
    std::vector<NodeId> stack{CompactTrie::kRoot};
    while (!stack.empty()) {
        const NodeId node = stack.back();
        stack.pop_back();
        visit(node);
        for (NodeId c = trie.end_child(node); c-- > trie.first_child(node);) {
            stack.push_back(c);
        }
    }
}

Weight weight_of(const WeightTable* table, NodeId node) {
    return table == nullptr ? 0 : table->weight(node);
}

}  // namespace

// ---- the table -----------------------------------------------------------------

WeightTable::WeightTable(const CompactTrie& trie, std::vector<Weight> by_node, bool floats)
    : trie_(trie), floats_(floats), own_(std::move(by_node)) {
    const std::size_t count = trie.node_count();
    if (own_.size() != count) {
        fault("weight table size does not match the trie");
    }
    best_.assign(count, 0);
    // Children have larger ids than their parent.
    for (std::size_t n = count; n-- > 0;) {
        const NodeId node = static_cast<NodeId>(n);
        Weight best = trie.is_key(node) ? own_[n] : 0;
        if (!trie.is_key(node)) {
            own_[n] = 0;
        }
        for (NodeId c = trie.first_child(node); c < trie.end_child(node); ++c) {
            best = std::max(best, best_[c]);
        }
        best_[n] = best;
    }
    heavy_.assign(count, CompactTrie::kRoot);
    for (std::size_t n = 0; n < count; ++n) {
        const NodeId first = trie.first_child(static_cast<NodeId>(n));
        const NodeId end = trie.end_child(static_cast<NodeId>(n));
        for (NodeId c = first; c < end; ++c) {
            heavy_[c] = c;
        }
        // Children stand in label order, so ties keep it.
        std::stable_sort(heavy_.begin() + first, heavy_.begin() + end,
                         [&](NodeId a, NodeId b) { return best_[a] > best_[b]; });
    }
    // Level order: the nodes less than kLongKey deep come first, parents
    // before children.
    std::vector<std::uint8_t> depth{0};
    for (std::size_t n = 0; n < depth.size(); ++n) {
        if (depth[n] + 1u < kLongKey) {
            depth.resize(trie.end_child(static_cast<NodeId>(n)), depth[n] + 1);
        }
    }
    long_best_.assign(depth.size(), 0);
    for (std::size_t n = depth.size(); n-- > 0;) {
        const NodeId node = static_cast<NodeId>(n);
        for (NodeId c = trie.first_child(node); c < trie.end_child(node); ++c) {
            long_best_[n] = std::max(long_best_[n], best_long_below(c));
        }
    }
    {
        std::vector<Weight> keys;
        for (std::size_t n = 1; n < count; ++n) {
            if (trie.is_key(static_cast<NodeId>(n))) {
                keys.push_back(own_[n]);
            }
        }
        if (!keys.empty()) {
            const auto at = keys.begin() + static_cast<std::ptrdiff_t>(keys.size() / kHeavyShare);
            std::nth_element(keys.begin(), at, keys.end(), std::greater<>());
            heavy_quantile_ = *at;
        }
    }
    order_.assign(count, 0);
    std::uint32_t rank = 0;
    preorder(trie, [&](NodeId node) { order_[node] = rank++; });
}

WeightTable WeightTable::from_key_order(const CompactTrie& trie, std::span<const Weight> weights,
                                        bool floats) {
    std::vector<Weight> by_node(trie.node_count(), 0);
    std::size_t next = 0;
    preorder(trie, [&](NodeId node) {
        if (node != CompactTrie::kRoot && trie.is_key(node)) {
            if (next >= weights.size()) {
                fault("fewer weights than keys");
            }
            by_node[node] = weights[next++];
        }
    });
    if (next != weights.size()) {
        fault("more weights than keys");
    }
    return WeightTable(trie, std::move(by_node), floats);
}

double WeightTable::value(Weight code) const noexcept {
    return floats_ ? std::bit_cast<double>(code) : static_cast<double>(code);
}

std::vector<Weight> WeightTable::in_key_order() const {
    std::vector<Weight> out;
    out.reserve(trie_.key_count());
    preorder(trie_, [&](NodeId node) {
        if (node != CompactTrie::kRoot && trie_.is_key(node)) {
            out.push_back(own_[node]);
        }
    });
    return out;
}

std::size_t WeightTable::memory_bytes() const noexcept {
    return sizeof(*this) + own_.capacity() * sizeof(Weight) + best_.capacity() * sizeof(Weight) +
           order_.capacity() * sizeof(std::uint32_t) + heavy_.capacity() * sizeof(NodeId) +
           long_best_.capacity() * sizeof(Weight);
}

// ---- ranked search ---------------------------------------------------------------

std::vector<Match> weighted_search(const CompactTrie& trie, const WeightTable* table,
                                   std::u32string_view query, const RankedOptions& options,
                                   Interrupt& interrupt) {
    if (options.limit && *options.limit == 0) {
        return {};
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    RankedOptions each{k, std::nullopt, options.transpositions};
    std::vector<Match> hits;
    if (!options.limit) {
        hits = ranked_search(trie, query, each, interrupt);
    } else {
        // Whole distances at a time: the weights decide within one.
        for (std::uint64_t d = 0;; ++d) {
            if (d > query.size() + CompactTrie::kLengthSaturated) {
                d = k;  // only keys longer than any length kept per node are left
            }
            each.max_dist = std::min(d, k);
            hits = ranked_search(trie, query, each, interrupt);
            if (d >= k || hits.size() >= *options.limit || hits.size() >= trie.key_count()) {
                break;
            }
        }
    }
    if (table == nullptr) {
        if (options.limit && hits.size() > *options.limit) {
            hits.resize(static_cast<std::size_t>(*options.limit));
        }
        return hits;
    }
    struct Ranked {
        std::uint64_t distance;
        Weight weight;
        std::size_t index;  // hits come in (distance, key) order
    };
    std::vector<Ranked> order;
    order.reserve(hits.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        const std::optional<NodeId> node = trie.find(hits[i].key);
        order.push_back(Ranked{hits[i].distance, node ? table->weight(*node) : 0, i});
    }
    auto better = [](const Ranked& a, const Ranked& b) {
        if (a.distance != b.distance) {
            return a.distance < b.distance;
        }
        return a.weight != b.weight ? a.weight > b.weight : a.index < b.index;
    };
    std::size_t keep = order.size();
    if (options.limit && *options.limit < keep) {
        keep = static_cast<std::size_t>(*options.limit);
        std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep),
                          order.end(), better);
    } else {
        std::sort(order.begin(), order.end(), better);
    }
    std::vector<Match> ranked;
    ranked.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) {
        ranked.push_back(std::move(hits[order[i].index]));
    }
    return ranked;
}

// ---- completion ------------------------------------------------------------------

std::vector<Match> weighted_complete(const CompactTrie& trie, const WeightTable& table,
                                     std::u32string_view prefix, const RankedOptions& options,
                                     Interrupt& interrupt) {
    std::vector<Match> results;
    const std::uint64_t wanted = options.limit.value_or(UINT64_MAX);
    if (wanted == 0) {
        return results;
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    const std::uint64_t m = prefix.size();

    // Entry points: the nodes whose path is closer to the prefix than any
    // shorter path above them. A key's distance is the one of the deepest
    // entry point on its path.
    using completion::EntryPoint;
    std::vector<EntryPoint> entries;
    std::vector<NodeId> entry_nodes;  // sorted, once known
    std::u32string paths;

    // Best first below the entry points of one distance: a node is expanded
    // in the order of the largest weight below it, and a key is taken once
    // no node left can hold a better one. Ties go to the smaller key: the
    // depth-first rank of a node orders its path like the keys, and a node
    // is expanded before a key of the same weight and rank is taken.
    struct Visit {
        Weight bound;
        std::uint32_t rank;
        std::uint8_t take;  // 0: expand the node, 1: take its key
        NodeId node;
        std::uint32_t step;
    };
    using completion::Step;
    auto worse = [](const Visit& a, const Visit& b) {
        if (a.bound != b.bound) {
            return a.bound < b.bound;
        }
        return a.rank != b.rank ? a.rank > b.rank : a.take > b.take;
    };
    std::vector<Visit> heap;
    std::vector<Step> steps;
    std::u32string tail;
    auto push = [&](Visit visit) {
        heap.push_back(visit);
        std::push_heap(heap.begin(), heap.end(), worse);
    };
    auto take_best = [&](std::size_t first, std::size_t last) {
        heap.clear();
        steps.clear();
        for (std::size_t e = first; e < last; ++e) {
            const NodeId node = entries[e].node;
            steps.push_back(Step{node, completion::kNoParent, static_cast<std::uint32_t>(e)});
            push(Visit{table.best_below(node), table.order(node), 0, node,
                       static_cast<std::uint32_t>(steps.size() - 1)});
        }
        while (!heap.empty() && results.size() < wanted) {
            interrupt.tick();
            std::pop_heap(heap.begin(), heap.end(), worse);
            const Visit visit = heap.back();
            heap.pop_back();
            if (visit.take) {
                completion::Reached reached =
                    completion::key_at(trie, steps, entries, paths, visit.step, tail);
                results.push_back(Match{std::move(reached.key), trie.payload(visit.node),
                                        reached.entry.distance});
                continue;
            }
            if (trie.is_key(visit.node) && visit.node != CompactTrie::kRoot) {
                push(Visit{table.weight(visit.node), visit.rank, 1, visit.node, visit.step});
            }
            for (NodeId c = trie.first_child(visit.node); c < trie.end_child(visit.node); ++c) {
                if (!holds_keys(trie, c) ||
                    std::binary_search(entry_nodes.begin(), entry_nodes.end(), c)) {
                    continue;
                }
                steps.push_back(Step{c, visit.step, 0});
                push(Visit{table.best_below(c), table.order(c), 0, c,
                           static_cast<std::uint32_t>(steps.size() - 1)});
            }
        }
    };

    // Distance 0 first: the prefix itself, often enough on its own.
    const std::optional<NodeId> exact = trie.find(prefix);
    if (exact && holds_keys(trie, *exact)) {
        entries.push_back(EntryPoint{*exact, static_cast<std::uint32_t>(m), 0, 0});
        paths.assign(prefix);
        take_best(0, 1);
    }
    if (k == 0 || results.size() >= wanted) {
        return results;
    }
    // Then the entry points of every distance (the exact one among them,
    // done), distance by distance.
    entries.clear();
    paths.clear();
    completion::find_entry_points(trie, prefix, static_cast<std::uint32_t>(k),
                                  options.transpositions, interrupt, entries, paths);
    for (const EntryPoint& entry : entries) {
        entry_nodes.push_back(entry.node);
    }
    std::sort(entry_nodes.begin(), entry_nodes.end());
    std::stable_sort(entries.begin(), entries.end(), [](const EntryPoint& a, const EntryPoint& b) {
        return a.distance < b.distance;
    });
    std::size_t first = 0;
    while (first < entries.size() && entries[first].distance == 0) {
        ++first;
    }
    while (first < entries.size() && results.size() < wanted) {
        std::size_t last = first;
        while (last < entries.size() && entries[last].distance == entries[first].distance) {
            ++last;
        }
        take_best(first, last);
        first = last;
    }
    return results;
}

// ---- correction --------------------------------------------------------------------

namespace {

struct Candidate {
    std::u32string key;
    Payload payload;
    Cell distance;
    Weight weight;
    double score;  // error model only
};

class Corrector {
public:
    Corrector(const CompactTrie& trie, const WeightTable* table, std::u32string_view word,
              const CorrectOptions& options, std::uint64_t wanted, Interrupt& interrupt)
        : trie_(trie),
          table_(table),
          word_(word),
          options_(options),
          model_(options.model),
          wanted_(wanted),
          interrupt_(interrupt) {}

    bool full() const { return best_.size() >= wanted_; }

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
        if (best_.size() < wanted_) {
            return false;
        }
        if (model_ == nullptr) {
            return true;  // every key found so far is closer
        }
        const double cheapest = static_cast<double>(std::min(model_->edit, model_->cheap));
        return log_weight(weight_below(CompactTrie::kRoot)) -
                   static_cast<double>(d) * cheapest / 1000.0 <
               best_.front().score;
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
        const Cell least = least_cost(low);
        const Cell nearest_possible = static_cast<Cell>(low);
        const std::uint64_t m = word_.size();
        frames_.clear();
        path_.clear();
        // Opens the children of `node` (at `depth`); `floor` and
        // `cost_floor` bound every key below it.
        auto open = [&](NodeId node, std::size_t depth, Cell floor, Cell cost_floor) {
            const NodeId first = trie_.first_child(node);
            const NodeId end = trie_.end_child(node);
            if (first == end) {
                return;
            }
            labels_.clear();
            const bool narrowed = depth > 0 && rows.narrow(trie_.label(node), depth,
                                                           static_cast<Cell>(high), labels_);
            if (table_ != nullptr && full()) {
                // With the best found, the order of the children no longer
                // helps find them: the table's, heaviest first, cut at the
                // first one too light, the narrowed labels (when all below
                // 128, as bits) filtered on the way.
                LabelBits bits{};
                bool small = true;
                for (const char32_t label : labels_) {
                    small = small && label < 128;
                    if (label < 128) {
                        bits[label >> 6] |= std::uint64_t{1} << (label & 63);
                    }
                }
                if (!narrowed || small) {
                    const std::span<const NodeId> children = table_->heavy_children(first, end);
                    frames_.push_back(Frame{children.data(), children.data() + children.size(),
                                            CompactTrie::kNoNode, false, floor, cost_floor,
                                            kNoGeneration, 0, narrowed, bits});
                    return;
                }
            }
            if (lists_.size() <= depth) {
                lists_.resize(depth + 1);
            }
            std::vector<NodeId>& list = lists_[depth];
            list.clear();
            const NodeId* next = nullptr;
            const NodeId* stop = nullptr;
            const std::size_t count = end - first;
            const auto listed = [&](NodeId c) {
                return std::find(labels_.begin(), labels_.end(), trie_.label(c)) != labels_.end();
            };
            if (narrowed && count > kFewChildren) {
                // Only children with these labels (a handful) can lead to a
                // key within reach: looked up, then heaviest first.
                std::sort(labels_.begin(), labels_.end());
                labels_.erase(std::unique(labels_.begin(), labels_.end()), labels_.end());
                for (const char32_t label : labels_) {
                    if (const std::optional<NodeId> c = trie_.child(node, label)) {
                        list.push_back(*c);
                    }
                }
                std::sort(list.begin(), list.end(),
                          [&](NodeId a, NodeId b) { return weight_below(a) > weight_below(b); });
                next = list.data();
                stop = next + list.size();
            } else if (table_ != nullptr) [[likely]] {
                const std::span<const NodeId> children = table_->heavy_children(first, end);
                if (narrowed) {
                    // A few children, their records side by side: filtered
                    // in the table's order.
                    for (const NodeId c : children) {
                        if (listed(c)) {
                            list.push_back(c);
                        }
                    }
                    next = list.data();
                    stop = next + list.size();
                } else {
                    next = children.data();
                    stop = next + children.size();
                }
            } else {
                for (NodeId c = first; c < end; ++c) {
                    if (!narrowed || listed(c)) {
                        list.push_back(c);
                    }
                }
                next = list.data();
                stop = next + list.size();
            }
            NodeId promoted = CompactTrie::kNoNode;
            if (depth < m) {
                // The child that continues the word goes first, if it is
                // one of the listed.
                if (narrowed || count <= kFewChildren) {
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
            frames_.push_back(Frame{next,
                                    stop,
                                    promoted,
                                    promoted != CompactTrie::kNoNode,
                                    floor,
                                    cost_floor,
                                    kNoGeneration,
                                    0,
                                    false,
                                    {}});
        };
        open(CompactTrie::kRoot, 0, nearest_possible, least);
        while (!frames_.empty()) {
            Frame& frame = frames_.back();
            const std::size_t depth = frames_.size();  // of the children
            NodeId node = CompactTrie::kNoNode;
            Weight heaviest = 0;
            if (frame.promoted_pending) {
                frame.promoted_pending = false;
                node = frame.promoted;
                heaviest = weight_below(node);
            } else {
                if (frame.next == frame.end) {
                    frames_.pop_back();
                    continue;
                }
                node = *frame.next;
                heaviest = weight_below(node);
                ++frame.next;
                if (node == frame.promoted) {
                    continue;
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
                        continue;
                    }
                }
                if (full() && table_ != nullptr && heaviest < lightest(frame)) {
                    if (ordered) {
                        frame.next = frame.end;
                    }
                    continue;
                }
            }
            const std::uint8_t longest = trie_.longest_below(node);
            if (!holds_keys(trie_, node) || depth + trie_.shortest_below(node) > m + high ||
                (longest != CompactTrie::kLengthSaturated && depth + longest + high < m)) {
                continue;
            }
            interrupt_.tick();
            path_.resize(depth - 1);
            path_.push_back(trie_.label(node));
            rows.compute(depth, path_.data());
            const Cell distance = rows.last(depth);
            if (trie_.is_key(node) && distance >= low && distance <= high) {
                const Weight weight = weight_of(table_, node);
                if (model_ == nullptr) {
                    consider(Candidate{path_, trie_.payload(node), distance, weight, 0});
                } else if (const Cell cost = rows.cost(depth);
                           !full() || weight >= weight_floor(cost)) {
                    consider(Candidate{path_, trie_.payload(node), distance, weight,
                                       score(weight, cost)});
                }
            }
            const Cell floor = rows.floor(depth);
            if (floor > high) {
                continue;
            }
            const Cell nearest = std::max(floor, nearest_possible);
            const Cell cost_floor = model_ == nullptr ? 0 : std::max(rows.cost_floor(depth), least);
            // Strictly worse only: a tie may still win on its key.
            if (model_ != nullptr) {
                if (full() && heaviest < weight_floor(cost_floor)) {
                    continue;
                }
            } else if (full()) {
                const Candidate& worst = best_.front();
                if (nearest > worst.distance ||
                    (nearest == worst.distance && heaviest < worst.weight)) {
                    continue;
                }
            }
            open(node, depth, nearest, cost_floor);
        }
    }

    // Adds the keys at distance d as the layout's own search finds them:
    // before any key bounds a walk (or while the bound admits many keys),
    // this costs less than the walk. The model scores the heaviest first and
    // stops at the first key too light to make the cut at the least cost
    // that d edits can have.
    void gather(std::uint64_t d) {
        const HitList found =
            trie_.search(word_, d, std::nullopt, interrupt_, options_.transpositions);
        struct Hit {
            Weight weight;
            const HitList::Hit* hit;
        };
        std::vector<Hit> hits;
        for (const HitList::Hit& hit : found.hits) {
            if (hit.distance == d) {
                hits.push_back(Hit{weight_of(table_, hit.node), &hit});
            }
        }
        const auto distance = static_cast<Cell>(d);
        if (model_ == nullptr) {
            for (const Hit& each : hits) {
                consider(Candidate{std::u32string(found.key(*each.hit)), each.hit->payload,
                                   distance, each.weight, 0});
            }
            return;
        }
        std::sort(hits.begin(), hits.end(),
                  [](const Hit& a, const Hit& b) { return a.weight > b.weight; });
        Rows& rows = rows_for(d);
        const Cell least = least_cost(d);
        for (const Hit& each : hits) {
            if (full() && each.weight < weight_floor(least)) {
                break;  // the rest are no heavier
            }
            const std::u32string_view key = found.key(*each.hit);
            for (std::size_t depth = 1; depth <= key.size(); ++depth) {
                rows.compute(depth, key.data());
            }
            const Cell cost = rows.cost(key.size());
            if (!full() || each.weight >= weight_floor(cost)) {
                consider(Candidate{std::u32string(key), each.hit->payload, distance, each.weight,
                                   score(each.weight, cost)});
            }
        }
    }

    void consider(Candidate candidate) {
        if (best_.size() < wanted_) {
            best_.push_back(std::move(candidate));
            std::push_heap(best_.begin(), best_.end(), better_);
            floors_.fill(kNoFloor);
            ++generation_;
            return;
        }
        if (better_(candidate, best_.front())) {
            std::pop_heap(best_.begin(), best_.end(), better_);
            best_.back() = std::move(candidate);
            std::push_heap(best_.begin(), best_.end(), better_);
            floors_.fill(kNoFloor);
            ++generation_;
        }
    }

    std::vector<Candidate> take() {
        std::sort(best_.begin(), best_.end(), better_);
        return std::move(best_);
    }

private:
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

    // Rows for keys within `high` edits, from row 0 on. Up to kSharedRows,
    // one set serves every distance: a row's cells up to `high` are the same
    // whatever the cap above them, and a wider band than needed loses no key.
    static constexpr std::uint64_t kSharedRows = 2;
    Rows& rows_for(std::uint64_t high) {
        const std::uint64_t k =
            high <= kSharedRows ? std::min(options_.max_dist, kSharedRows) : high;
        if (!rows_ || rows_k_ != k) {
            rows_.emplace(word_, k, options_.transpositions, model_);
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
        if (frame.generation != generation_) {
            frame.generation = generation_;
            const Candidate& worst = best_.front();
            if (model_ != nullptr) {
                frame.lightest = weight_floor(frame.cost_floor);
            } else if (frame.floor == worst.distance) {
                frame.lightest = worst.weight;
            } else {
                frame.lightest = frame.floor > worst.distance ? UINT64_MAX : 0;
            }
        }
        return frame.lightest;
    }

    double log_weight(Weight weight) const {
        return table_ == nullptr ? 0.0 : std::log1p(table_->value(weight));
    }
    double score(Weight weight, Cell cost) const {
        return log_weight(weight) - static_cast<double>(cost) / 1000.0;
    }

    // With the best found (the model's), a weight code below which a key at
    // `cost` or more scores strictly below the worst of them, so that a
    // subtree whose heaviest key is lighter is skipped on one comparison of
    // codes. Solved for the weight once per cost (log1p per visited child
    // was most of the walk) and kept a little lower than the exact bound:
    // a skip must never drop a key that the exact score would keep.
    // The least cost of a key `edits` edits away, each edit at least the
    // cheaper one (0 without a model).
    Cell least_cost(std::uint64_t edits) const {
        return model_ == nullptr ? 0
                                 : static_cast<Cell>(std::min<std::uint64_t>(
                                       edits * std::min(model_->edit, model_->cheap), kCostCap));
    }

    Weight weight_floor(Cell cost) {
        FloorSlot& slot = floors_[cost % floors_.size()];
        if (slot.cost == cost) {
            return slot.floor;
        }
        const double room = best_.front().score + static_cast<double>(cost) / 1000.0 - 1e-9;
        const double heaviest = std::expm1(room);
        Weight floor = 0;
        if (!(heaviest > 0.0)) {
            floor = 0;
        } else if (table_ != nullptr && table_->floats()) {
            floor = std::bit_cast<Weight>(heaviest);
        } else if (heaviest >= 18446744073709551616.0) {
            floor = UINT64_MAX;
        } else {
            floor = static_cast<Weight>(heaviest);
        }
        slot = FloorSlot{cost, floor};
        return floor;
    }

    const CompactTrie& trie_;
    const WeightTable* table_;
    std::u32string_view word_;
    const CorrectOptions& options_;
    const ErrorModel* model_;
    std::uint64_t wanted_;
    Interrupt& interrupt_;
    // Whether every key within reach is long (see best_long_below).
    bool long_keys_ = word_.size() >= WeightTable::kLongKey + options_.max_dist;
    // Orders candidates best first; as a heap, the worst of the best is on top.
    struct Better {
        const ErrorModel* model;
        bool operator()(const Candidate& a, const Candidate& b) const {
            if (model != nullptr) {
                if (a.score != b.score) {
                    return a.score > b.score;
                }
            } else if (a.distance != b.distance) {
                return a.distance < b.distance;
            } else if (a.weight != b.weight) {
                return a.weight > b.weight;
            }
            return a.key < b.key;
        }
    };
    Better better_{model_};
    std::vector<Candidate> best_;
    std::uint64_t generation_ = 0;  // counts the changes of best_
    std::optional<Rows> rows_;      // see rows_for
    std::uint64_t rows_k_ = 0;
    // The walk's state, kept from one walk to the next.
    std::vector<Frame> frames_;
    std::u32string path_;
    std::vector<char32_t> labels_;
    // By depth: the children a frame takes when they are not the table's
    // list (narrowed, or without weights). Growing the outer vector moves
    // the inner ones, whose buffers (and the frames' pointers) stay put.
    std::vector<std::vector<NodeId>> lists_;

    // weight_floor's results by cost, while the worst of the best stays.
    struct FloorSlot {
        Cell cost;
        Weight floor;
    };
    static constexpr FloorSlot kNoFloor{UINT32_MAX, 0};
    std::array<FloorSlot, 32> floors_ = filled();
    static std::array<FloorSlot, 32> filled() {
        std::array<FloorSlot, 32> slots;
        slots.fill(kNoFloor);
        return slots;
    }
};

}  // namespace

// Up to this distance, the keys of a distance with no bound to prune by yet
// (or one that admits many keys) come from the layout's search (split in
// halves, with the reverse index); farther, its hit lists would grow large,
// and a walk keeps to the keys that may rank.
constexpr std::uint64_t kGatheredDistance = 2;

std::vector<Match> correct(const CompactTrie& trie, const WeightTable* table,
                           std::u32string_view word, const CorrectOptions& options,
                           Interrupt& interrupt) {
    std::vector<Match> results;
    std::uint64_t wanted = options.limit;
    if (wanted == 0) {
        return results;
    }
    // A key spelled exactly like the word is taken as right.
    if (const std::optional<NodeId> node = trie.find(word);
        node && *node != CompactTrie::kRoot && trie.is_key(*node)) {
        results.push_back(Match{std::u32string(word), trie.payload(*node), 0});
        if (--wanted == 0) {
            return results;
        }
    }
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    const std::uint8_t longest = trie.longest_below(CompactTrie::kRoot);
    // No key is farther from the word than the longer of the two.
    const std::uint64_t reach = longest == CompactTrie::kLengthSaturated
                                    ? k
                                    : std::max<std::uint64_t>(word.size(), longest);
    Corrector corrector(trie, table, word, options, wanted, interrupt);
    for (std::uint64_t d = 1; d <= std::min(k, reach) && !corrector.settled(d); ++d) {
        if (d > word.size() + CompactTrie::kLengthSaturated) {
            corrector.walk(d, k);  // only very long keys are left: all at once
            break;
        }
        if ((corrector.full() && !corrector.bar_admits_many(d)) || d > kGatheredDistance) {
            corrector.walk(d, d);  // the best found bound the walk
        } else {
            corrector.gather(d);
        }
    }
    for (Candidate& candidate : corrector.take()) {
        results.push_back(Match{std::move(candidate.key), candidate.payload, candidate.distance});
    }
    return results;
}

}  // namespace morlatch
