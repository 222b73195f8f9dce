#include "prefix/cost_rows.hpp"

#include <algorithm>
#include <bit>
#include <numeric>

#include "prefix/reach.hpp"

namespace morlatch::costs {

Rows::Rows(std::u32string_view query, std::uint64_t k, bool transpositions, const ErrorModel* model)
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

Rows::Minima Rows::step(std::size_t depth, char32_t c, char32_t before, const Cell* prev,
                        const Cell* two_up, Cell* cur, const Cell* up, const Cell* two_up_cost,
                        Cell* now) const {
    const bool swap_possible = transpositions_ && depth >= 2;
    Cell low = cur[0] = std::min(static_cast<Cell>(std::min(depth, std::size_t{kCostCap})), inf_);
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

bool Rows::narrow(char32_t label, std::size_t depth, Cell t, std::vector<char32_t>& out) const {
#if defined(__SSE2__)
    if (lanes_) {
        if (unit_min_[depth] < t) {
            return false;
        }
        // The rule on the lanes: one bit per cell that qualifies.
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
    return narrow_labels(*this, query_, label, depth, t, transpositions_,
                         [&out](char32_t ch) { out.push_back(ch); });
}

void Rows::set_up_lanes(std::uint64_t k, const std::vector<Cell>& unit0) {
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
            lane_vowel_[j] = inside ? static_cast<std::int16_t>(vowel_replace_[j] / scale_) : edit;
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

void Rows::set_up_band(std::uint64_t k) {
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

void Rows::band_step(std::size_t depth, char32_t c, char32_t before) {
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

void Rows::lane_step(std::size_t depth, char32_t c, char32_t before) {
    if (width_ > 8) {
        lane_step_on<true>(depth, c, before);
    } else {
        lane_step_on<false>(depth, c, before);
    }
}

template <bool Wide>
void Rows::lane_step_on(std::size_t depth, char32_t c, char32_t before) {
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
        swapped0 = _mm_and_si128(equal(lane_query_before_, 0, c), equal(lane_query_, 0, before));
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
                t1 =
                    _mm_min_epi16(t1, pick(swapped1, _mm_add_epi16(load(prev - kStride + 8), one)));
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
    __m128i w0 = _mm_min_epi16(_mm_add_epi16(load(up + 1), _mm_andnot_si128(eq0, load(replace))),
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
            w1 = _mm_min_epi16(w1, pick(swapped1, _mm_add_epi16(load(up - kStride + 8), cheap)));
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

void Rows::grow(std::size_t rows) {
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

}  // namespace morlatch::costs
