// The row kernel on SSE2 lanes (band.hpp declares it): a window of up to 16
// cells in two registers of eight 16-bit lanes, the model's costs divided by
// the gcd of its two costs. The cell above, the upper-left one and (for
// swaps) the one two rows and two positions back come from loads of the rows
// above; the left neighbour, a chain through the row, is a prefix minimum of
// the cells less the insertions before them (Hyyro's trick for unit costs,
// with the insertion costs' running sums for the model), taken in three
// doubling steps per register.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "prefix/search/band.hpp"

namespace morlatch {

#if defined(__SSE2__)
namespace lanes {

inline __m128i load(const std::int16_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
// -1 in the 16-bit lanes whose character (eight at `at`) equals c.
inline __m128i equal(const char32_t* at, char32_t c) {
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(c));
    const auto* p = reinterpret_cast<const __m128i*>(at);
    return _mm_packs_epi32(_mm_cmpeq_epi32(_mm_loadu_si128(p), wanted),
                           _mm_cmpeq_epi32(_mm_loadu_si128(p + 1), wanted));
}
// The running minimum of the lanes, `fill` shifted in, the last lane of
// `carry` first when carried.
inline __m128i running_min(__m128i x, __m128i fill, __m128i carry, bool carried) {
    x = _mm_min_epi16(x, _mm_or_si128(_mm_slli_si128(x, 2), _mm_srli_si128(fill, 14)));
    x = _mm_min_epi16(x, _mm_or_si128(_mm_slli_si128(x, 4), _mm_srli_si128(fill, 12)));
    x = _mm_min_epi16(x, _mm_or_si128(_mm_slli_si128(x, 8), _mm_srli_si128(fill, 8)));
    if (carried) {
        const __m128i top = _mm_shufflehi_epi16(carry, 0xFF);
        x = _mm_min_epi16(x, _mm_unpackhi_epi64(top, top));
    }
    return x;
}
inline std::int16_t least(__m128i x) {
    x = _mm_min_epi16(x, _mm_srli_si128(x, 8));
    x = _mm_min_epi16(x, _mm_srli_si128(x, 4));
    x = _mm_min_epi16(x, _mm_srli_si128(x, 2));
    return static_cast<std::int16_t>(_mm_cvtsi128_si32(x) & 0xFFFF);
}
// `value` where `mask`, `otherwise` elsewhere.
inline __m128i pick(__m128i mask, __m128i value, __m128i otherwise) {
    return _mm_or_si128(_mm_and_si128(mask, value), _mm_andnot_si128(mask, otherwise));
}
// One bit per lane of two masks, the lanes from `count` on cleared.
inline unsigned bits(__m128i low, __m128i high) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
}

}  // namespace lanes
#endif

// Lanes when the window fits them and every sum a row takes stays within 16
// bits: unit values below 1000, and with the model every cost a key within
// k edits can have below the cap, each edit at most 900 after the scaling.
template <Metric M, class Costs>
void BandRows<M, Costs>::set_up_lanes() {
#if defined(__SSE2__)
    if (width_ > kLanes || inf_ >= 1000) {
        return;
    }
    if constexpr (kModel) {
        const std::uint32_t scale = std::gcd(model_->edit, model_->cheap);
        if (scale == 0) {
            return;
        }
        const std::uint64_t dearest = std::max(model_->edit, model_->cheap) / scale;
        if (dearest > 900 || k_ * dearest >= static_cast<std::uint64_t>(kLaneCap)) {
            return;
        }
        scale_ = scale;
        lane_edit_ = static_cast<std::int16_t>(model_->edit / scale);
        lane_cheap_ = static_cast<std::int16_t>(model_->cheap / scale);
    }
    lanes_ = true;
    if (banded_) {
        step_ = width_ > 8 ? &BandRows::lanes_step_on<true, true>
                           : &BandRows::lanes_step_on<false, true>;
    } else {
        step_ = width_ > 8 ? &BandRows::lanes_step_on<true, false>
                           : &BandRows::lanes_step_on<false, false>;
    }
    for (std::size_t b = 0; b < kLanes; ++b) {
        lane_past_[b] = b < width_ ? 0 : kLaneCap;
    }
#endif
}

// The padded arrays of the lanes, from the cell-by-cell ones.
template <Metric M, class Costs>
void BandRows<M, Costs>::fill_lane_padding(std::size_t length) {
    lane_allowance_.assign(length, 0);
    for (std::size_t i = 0; i <= n_; ++i) {
        lane_allowance_[i + offset_] = static_cast<std::int16_t>(padded_allowance_[i + offset_]);
    }
    if constexpr (kModel) {
        lane_insert_sum_.assign(length, 0);
        lane_vowel_replace_.assign(length, 0);
        std::uint16_t sum = 0;
        for (std::size_t at = 0; at < length; ++at) {
            sum = static_cast<std::uint16_t>(sum + padded_insert_[at] / scale_);
            lane_insert_sum_[at] = static_cast<std::int16_t>(sum);
            lane_vowel_replace_[at] = static_cast<std::int16_t>(padded_vowel_replace_[at] / scale_);
        }
    }
}

// Windows of up to 8 cells fit the first register: the second is left alone
// (its cells stay at the cap). The unit lanes past a banded window hold
// values no smaller than their cells' distances, which are past k: they stay
// at infinity by themselves. The model's costs there are cut to the cap.
template <Metric M, class Costs>
template <bool Wide, bool Banded>
bool BandRows<M, Costs>::lanes_step_on(std::size_t depth, char32_t c, char32_t parent) noexcept {
#if defined(__SSE2__)
    using namespace lanes;
    constexpr std::size_t s = Banded ? 1 : 0;
    const std::size_t row = depth * kLaneStride + kPad;
    const std::size_t up = row - kLaneStride + s;  // the cell above cell 0
    const bool swaps = kSwaps && depth >= 2;
    const std::size_t two_up = row - 2 * kLaneStride + 2 * s - 2;
    const std::size_t p = Banded ? depth - band_ + offset_ : offset_;
    const char32_t* q = padded_query_.data() + p - 1;  // query[i - 1]
    const __m128i one = _mm_set1_epi16(1);
    const __m128i cap = _mm_set1_epi16(kLaneCap);
    const __m128i inf = _mm_set1_epi16(static_cast<short>(inf_));
    __m128i eq[2];
    __m128i swapped[2] = {_mm_setzero_si128(), _mm_setzero_si128()};
    constexpr std::size_t kHalves = Wide ? 2 : 1;
    for (std::size_t h = 0; h < kHalves; ++h) {
        eq[h] = equal(q + 8 * h, c);
        if (swaps) {
            swapped[h] = _mm_and_si128(equal(q + 8 * h - 1, c), equal(q + 8 * h, parent));
        }
    }
    int alive = 0;
    {
        const std::int16_t* prev = lane_unit_.data() + up;
        __m128i carry = cap;
        for (std::size_t h = 0; h < kHalves; ++h) {
            const __m128i index = _mm_set_epi16(7, 6, 5, 4, 3, 2, 1, 0);
            const __m128i at = _mm_add_epi16(index, _mm_set1_epi16(static_cast<short>(8 * h)));
            __m128i t =
                _mm_min_epi16(_mm_add_epi16(load(prev + 8 * h), one),
                              _mm_add_epi16(_mm_add_epi16(load(prev + 8 * h - 1), one), eq[h]));
            if (swaps) {
                const __m128i two = _mm_add_epi16(load(lane_unit_.data() + two_up + 8 * h), one);
                t = _mm_min_epi16(t, pick(swapped[h], two, cap));
            }
            const __m128i a = running_min(_mm_sub_epi16(t, at), cap, carry, h == 1);
            carry = a;
            const __m128i r = _mm_min_epi16(_mm_add_epi16(a, at), inf);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lane_unit_.data() + row + 8 * h), r);
            alive |=
                _mm_movemask_epi8(_mm_cmplt_epi16(r, load(lane_allowance_.data() + p + 8 * h)));
        }
    }
    if constexpr (kModel) {
        const std::int16_t* prev = lane_cost_.data() + up;
        const bool vowel = is_vowel(c);
        const __m128i edit = _mm_set1_epi16(lane_edit_);
        const __m128i cheap = _mm_set1_epi16(lane_cheap_);
        const __m128i drop = depth >= 2 && parent == c ? cheap : edit;
        const __m128i sum_at_base = _mm_set1_epi16(lane_insert_sum_[p]);
        __m128i carry = cap;
        for (std::size_t h = 0; h < kHalves; ++h) {
            const __m128i replace = vowel ? load(lane_vowel_replace_.data() + p + 8 * h) : edit;
            __m128i w = _mm_min_epi16(
                _mm_add_epi16(load(prev + 8 * h - 1), _mm_andnot_si128(eq[h], replace)),
                _mm_add_epi16(load(prev + 8 * h), drop));
            if (swaps) {
                const __m128i two = _mm_add_epi16(load(lane_cost_.data() + two_up + 8 * h), cheap);
                w = _mm_min_epi16(w, pick(swapped[h], two, cap));
            }
            // The insertions before each cell of the window.
            const __m128i sums =
                _mm_sub_epi16(load(lane_insert_sum_.data() + p + 8 * h), sum_at_base);
            const __m128i a = running_min(_mm_sub_epi16(w, sums), cap, carry, h == 1);
            carry = a;
            const __m128i r =
                _mm_max_epi16(_mm_min_epi16(_mm_add_epi16(a, sums), cap), load(lane_past_ + 8 * h));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(lane_cost_.data() + row + 8 * h), r);
        }
    }
    return alive != 0;
#else
    (void)depth;
    (void)c;
    (void)parent;
    return false;
#endif
}

// The smallest cell of row `depth` of `rows` at the positions 0..n (those
// with an allowance: the others are raised to the cap).
template <Metric M, class Costs>
typename BandRows<M, Costs>::Cell BandRows<M, Costs>::lanes_minimum(
    const std::vector<std::int16_t>& rows, std::size_t depth) const noexcept {
#if defined(__SSE2__)
    using namespace lanes;
    const std::int16_t* row = rows.data() + depth * kLaneStride + kPad;
    const std::int16_t* allowance = lane_allowance_.data() + padded(depth);
    const __m128i cap = _mm_set1_epi16(kLaneCap);
    const auto outside = [&](std::size_t at) {
        return _mm_and_si128(_mm_cmpeq_epi16(load(allowance + at), _mm_setzero_si128()), cap);
    };
    __m128i x = _mm_max_epi16(load(row), outside(0));
    if (width_ > 8) {
        x = _mm_min_epi16(x, _mm_max_epi16(load(row + 8), outside(8)));
    }
    return std::min(static_cast<Cell>(least(x)), inf_);
#else
    (void)rows;
    (void)depth;
    return inf_;
#endif
}

// last_within on the lanes: one compare per count of edits left.
template <Metric M, class Costs>
std::uint32_t BandRows<M, Costs>::lanes_last_within(std::size_t depth) const noexcept {
    std::uint32_t last = 0xFFFFFFFFu;
#if defined(__SSE2__)
    using namespace lanes;
    const std::int16_t* row = lane_unit_.data() + depth * kLaneStride + kPad;
    const std::int16_t* allowance = lane_allowance_.data() + padded(depth);
    const __m128i cap = _mm_set1_epi16(kLaneCap);
    const auto outside = [&](std::size_t at) {
        return _mm_and_si128(_mm_cmpeq_epi16(load(allowance + at), _mm_setzero_si128()), cap);
    };
    const __m128i low = _mm_max_epi16(load(row), outside(0));
    const __m128i high = width_ > 8 ? _mm_max_epi16(load(row + 8), outside(8)) : cap;
    const Cell most = std::min<Cell>(k_, 3);
    for (Cell s = 0; s <= most; ++s) {
        const __m128i above = _mm_set1_epi16(static_cast<short>(k_ - s + 1));
        const unsigned within = bits(_mm_cmplt_epi16(low, above), _mm_cmplt_epi16(high, above));
        if (within == 0) {
            break;
        }
        const auto i = static_cast<std::uint32_t>(base(depth) + std::bit_width(within) - 1);
        last = (last & ~(0xFFu << (8 * s))) | i << (8 * s);
    }
#else
    (void)depth;
#endif
    return last;
}

// The narrowing rule on the lanes: one bit per cell that qualifies.
template <Metric M, class Costs>
template <class Add>
bool BandRows<M, Costs>::lanes_narrow(std::size_t depth, Cell t, Add& add) const {
#if defined(__SSE2__)
    using namespace lanes;
    if (minimum(depth) < t) {
        return false;
    }
    const __m128i target = _mm_set1_epi16(static_cast<short>(t));
    const std::int16_t* row = lane_unit_.data() + depth * kLaneStride + kPad;
    // Positions 0..n - 1 only: those with a query character.
    const char32_t* q = padded_query_.data() + padded(depth);
    unsigned found = bits(
        _mm_andnot_si128(equal(q, kNotACharacter), _mm_cmpeq_epi16(load(row), target)),
        _mm_andnot_si128(equal(q + 8, kNotACharacter), _mm_cmpeq_epi16(load(row + 8), target)));
    for (; found != 0; found &= found - 1) {
        add(query_[static_cast<std::size_t>(base(depth) + std::countr_zero(found))]);
    }
    return true;
#else
    (void)depth;
    (void)t;
    (void)add;
    return false;
#endif
}

}  // namespace morlatch
