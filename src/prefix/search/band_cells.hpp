// The row kernel's set-up, its cell-by-cell step and what it reads off a row
// (band.hpp declares the kernel; band_lanes.hpp steps it on SSE2 lanes).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "prefix/search/band.hpp"

namespace morlatch {

template <Metric M, class Costs>
BandRows<M, Costs>::BandRows(std::u32string_view query, std::uint32_t k, Budget budget,
                             const ErrorModel* model) {
    reset(query, k, budget, model);
}

template <Metric M, class Costs>
void BandRows<M, Costs>::reset(std::u32string_view query, std::uint32_t k, Budget budget,
                               const ErrorModel* model) {
    query_ = query;
    n_ = query.size();
    k_ = k;
    inf_ = k + 1;
    budget_ = budget;
    model_ = model;
    ascii_vowels_[0] = ascii_vowels_[1] = 0;
    lanes_ = false;
    scale_ = 1;
    lane_edit_ = lane_cheap_ = 0;
    step_ = &BandRows::cells_step;
    std::uint64_t band = k;
    if constexpr (kModel) {
        const std::uint64_t cheaper = std::min(model_->edit, model_->cheap);
        const std::uint64_t dearer = std::max(model_->edit, model_->cheap);
        band = cheaper == 0 ? UINT64_MAX : std::max(band, band * dearer / cheaper);
    }
    banded_ = band < n_ / 2 + (n_ % 2);  // 2 * band + 1 < n + 1
    band_ = banded_ ? static_cast<std::size_t>(band) : 0;
    width_ = banded_ ? 2 * band_ + 1 : n_ + 1;
    offset_ = band_ + kPad + 1;
    if constexpr (kModel) {
        for (const char32_t v : model_->vowels) {
            if (v < 128) {
                ascii_vowels_[v >> 6] |= std::uint64_t{1} << (v & 63);
            }
        }
    }
    set_up_lanes();
    stride_ = lanes_ ? kLaneStride : width_ + kPad + 1;
    // Every row starts infinite (the cells around a window are read as
    // such), whatever an earlier query left in it.
    unit_.clear();
    cost_.clear();
    lane_unit_.clear();
    lane_cost_.clear();
    // As many rows as before (16 at first), so that they need not grow again.
    const std::size_t grown = depth_capacity_;
    depth_capacity_ = 0;
    reserve(std::max<std::size_t>(16, grown) - 1);
}

// The padded arrays, long enough for every row up to depth_capacity_.
template <Metric M, class Costs>
void BandRows<M, Costs>::fill_padding() {
    const std::size_t length =
        std::max(padded(depth_capacity_), offset_ + n_) + std::max(width_, kLanes) + 2 * kPad + 2;
    padded_query_.assign(length, kNotACharacter);
    padded_allowance_.assign(length, 0);
    const Cell edit = kModel ? model_->edit : 0;
    padded_insert_.assign(kModel ? length : 0, edit);
    padded_vowel_replace_.assign(kModel ? length : 0, edit);
    for (std::size_t i = 0; i <= n_; ++i) {
        padded_allowance_[i + offset_] = budget_.at(i) + 1;
        if (i < n_) {
            padded_query_[i + offset_] = query_[i];
        }
        if constexpr (kModel) {
            if (i >= 1) {
                // The typist doubled a letter: a character equal to the one
                // before. A vowel for a vowel is a cheap slip.
                const bool doubled = i >= 2 && query_[i - 1] == query_[i - 2];
                padded_insert_[i + offset_] = doubled ? model_->cheap : model_->edit;
                padded_vowel_replace_[i + offset_] =
                    is_vowel(query_[i - 1]) ? model_->cheap : model_->edit;
            }
        }
    }
    if (lanes_) {
        fill_lane_padding(length);
    }
}

// Rows (and padding) for every depth up to `depth`; new rows are infinite,
// which the cells around a window are read as.
template <Metric M, class Costs>
void BandRows<M, Costs>::reserve(std::size_t depth) {
    depth_capacity_ = std::max(depth + 1, 2 * depth_capacity_);
    const std::size_t cells = (depth_capacity_ + 1) * stride_;
    if (lanes_) {
        lane_unit_.resize(cells, kLaneCap);
        if constexpr (kModel) {
            lane_cost_.resize(cells, kLaneCap);
        }
    } else {
        unit_.resize(cells, inf_);
        if constexpr (kModel) {
            cost_.resize(cells, kCostCap);
        }
    }
    fill_padding();
}

template <Metric M, class Costs>
bool BandRows<M, Costs>::start() {
    const std::int64_t b0 = base(0);
    const std::size_t cells = lanes_ ? kLanes : width_;
    bool alive = false;
    Cell inserted = 0;  // the cost of inserting the query's first i characters
    for (std::size_t b = 0; b < cells; ++b) {
        const std::int64_t i = b0 + static_cast<std::int64_t>(b);
        const bool inside = i >= 0 && i <= static_cast<std::int64_t>(n_) && b < width_;
        Cell unit = inf_;
        Cell cost = kCostCap;
        if (inside) {
            const auto at = static_cast<std::size_t>(i);
            unit = std::min(static_cast<Cell>(at), inf_);
            alive |= unit <= budget_.at(at);
            if constexpr (kModel) {
                if (at >= 1) {
                    inserted = std::min(inserted + padded_insert_[at + offset_], kCostCap);
                }
                cost = inserted;
            }
        }
        if (lanes_) {
            lane_unit_[kPad + b] = static_cast<std::int16_t>(inside ? unit : kLaneCap);
            if constexpr (kModel) {
                lane_cost_[kPad + b] = static_cast<std::int16_t>(
                    inside ? std::min<Cell>(cost / scale_, kLaneCap) : kLaneCap);
            }
        } else {
            unit_[kPad + b] = unit;
            if constexpr (kModel) {
                cost_[kPad + b] = cost;
            }
        }
    }
    return alive;
}

// Cell b stands for i = base + b. A banded window moves one position per row
// (s = 1), so the cell above (same i, one row up) is the previous row's cell
// b + s, the upper-left one b + s - 1, the one two rows and two positions
// back b + 2s - 2 of the row two up. The cells around a window are infinite;
// cells past n hold values that only ever feed cells past n, and never count
// as alive.
template <Metric M, class Costs>
bool BandRows<M, Costs>::cells_step(std::size_t depth, char32_t c, char32_t parent) noexcept {
    const std::size_t s = banded_ ? 1 : 0;
    const std::size_t row = depth * stride_ + kPad;
    const std::size_t up = row - stride_ + s - 1;  // the upper-left cell of cell 0
    const bool swaps = kSwaps && depth >= 2;
    const std::size_t two_up = swaps ? row - 2 * stride_ + 2 * s - 2 : 0;
    const std::size_t p = padded(depth);
    const char32_t* q = padded_query_.data() + p - 1;  // q[b]: query[i - 1]
    const Cell* allowance = padded_allowance_.data() + p;
    const Cell* ul = unit_.data() + up;
    Cell* cur = unit_.data() + row;
    Cell left = inf_;
    bool alive = false;
    Cell left_cost = kCostCap;
    Cell drop = 0;
    const Cell* replace = nullptr;
    if constexpr (kModel) {
        // The path's letter is dropped: cheap when it doubles the one before.
        drop = depth >= 2 && parent == c ? model_->cheap : model_->edit;
        replace = is_vowel(c) ? padded_vowel_replace_.data() + p : nullptr;
    }
    for (std::size_t b = 0; b < width_; ++b) {
        const bool same = c == q[b];
        Cell v = std::min(std::min(ul[b + 1], left) + 1, ul[b] + (same ? 0 : 1));
        const bool swapped = swaps && c == q[b - 1] && parent == q[b];
        if (swapped) {
            v = std::min(v, unit_[two_up + b] + 1);
        }
        cur[b] = left = std::min(v, inf_);
        alive |= left < allowance[b];
        if constexpr (kModel) {
            const Cell* up_cost = cost_.data() + up;
            const Cell change = same ? 0 : replace != nullptr ? replace[b] : model_->edit;
            Cell w = std::min(std::min(up_cost[b] + change, up_cost[b + 1] + drop),
                              left_cost + padded_insert_[p + b]);
            if (swapped) {
                w = std::min(w, cost_[two_up + b] + model_->cheap);
            }
            cost_[row + b] = left_cost = std::min(w, kCostCap);
        }
    }
    return alive;
}

template <Metric M, class Costs>
typename BandRows<M, Costs>::Cell BandRows<M, Costs>::minimum(std::size_t depth) const noexcept {
    if (lanes_) {
        return lanes_minimum(lane_unit_, depth);
    }
    const std::size_t lo = band_low(depth);
    const std::size_t hi = band_high(depth);
    Cell least = inf_;
    for (std::size_t i = lo; i <= hi; ++i) {
        least = std::min(least, cell(depth, i));
    }
    return least;
}

template <Metric M, class Costs>
std::uint32_t BandRows<M, Costs>::last_within(std::size_t depth) const noexcept {
    if (lanes_) {
        return lanes_last_within(depth);
    }
    std::uint32_t last = 0xFFFFFFFFu;
    for (std::size_t i = band_low(depth); i <= band_high(depth); ++i) {
        const Cell c = cell(depth, i);
        for (Cell s = 0; c <= k_ && s <= std::min<Cell>(k_ - c, 3); ++s) {
            last = (last & ~(0xFFu << (8 * s))) | static_cast<std::uint32_t>(i) << (8 * s);
        }
    }
    return last;
}

template <Metric M, class Costs>
typename BandRows<M, Costs>::Cell BandRows<M, Costs>::cost_minimum(
    std::size_t depth) const noexcept {
    if (lanes_) {
        return lanes_minimum(lane_cost_, depth) * scale_;
    }
    Cell least = kCostCap;
    const std::size_t first = depth * stride_ + kPad;
    for (std::size_t i = band_low(depth); i <= band_high(depth); ++i) {
        least = std::min(least, cost_[first + i - static_cast<std::size_t>(base(depth))]);
    }
    return least;
}

template <Metric M, class Costs>
typename BandRows<M, Costs>::Cell BandRows<M, Costs>::cost(std::size_t depth) const noexcept {
    const std::int64_t b = static_cast<std::int64_t>(n_) - base(depth);
    if (b < 0 || b >= static_cast<std::int64_t>(width_)) {
        return kCostCap;
    }
    const std::size_t at = depth * stride_ + kPad + static_cast<std::size_t>(b);
    return lanes_ ? static_cast<Cell>(lane_cost_[at]) * scale_ : cost_[at];
}

template <Metric M, class Costs>
template <class Add>
bool BandRows<M, Costs>::narrow(std::size_t depth, Cell t, Add&& add) const {
    if (lanes_) {
        return lanes_narrow(depth, t, add);
    }
    return narrow_labels(*this, query_, depth, t, add);
}

}  // namespace morlatch
