// The corrections found so far, the best `wanted` of them, and the bars that
// a further key must clear to join them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "prefix/ranking/weighted.hpp"
#include "prefix/search/band.hpp"

namespace morlatch::correction {

// A hit as handed back, with what ranks it among the others.
struct Candidate : Match {
    Weight weight;
    double score;  // error model only
};

class BestCorrections {
public:
    using Cell = std::uint32_t;

    BestCorrections(const WeightTable* table, const ErrorModel* model, std::uint64_t wanted)
        : table_(table), model_(model), wanted_(wanted), better_{model} {}

    bool full() const { return best_.size() >= wanted_; }
    // The worst of the best (some must have been found).
    const Candidate& worst() const { return best_.front(); }
    // Counts the changes of the best.
    std::uint64_t generation() const { return generation_; }

    void consider(Candidate candidate) {
        if (best_.size() < wanted_) {
            best_.push_back(std::move(candidate));
            std::push_heap(best_.begin(), best_.end(), better_);
        } else if (better_(candidate, best_.front())) {
            std::pop_heap(best_.begin(), best_.end(), better_);
            best_.back() = std::move(candidate);
            std::push_heap(best_.begin(), best_.end(), better_);
        } else {
            return;
        }
        floors_.fill(kNoFloor);
        ++generation_;
    }

    // The best, best first.
    std::vector<Candidate> take() {
        std::sort(best_.begin(), best_.end(), better_);
        return std::move(best_);
    }

    double log_weight(Weight weight) const {
        return table_ == nullptr ? 0.0 : std::log1p(table_->value(weight));
    }
    double score(Weight weight, Cell cost) const {
        return log_weight(weight) - static_cast<double>(cost) / 1000.0;
    }

    // The least cost of a key `edits` edits away, each edit at least the
    // cheaper one (0 without a model).
    Cell least_cost(std::uint64_t edits) const {
        return model_ == nullptr ? 0
                                 : static_cast<Cell>(std::min<std::uint64_t>(
                                       edits * std::min(model_->edit, model_->cheap), kCostCap));
    }

    // With the best found (the model's), a weight code below which a key at
    // `cost` or more scores strictly below the worst of them, so that a
    // subtree whose heaviest key is lighter is skipped on one comparison of
    // codes. Solved for the weight once per cost (log1p per visited child
    // was most of the walk) and kept a little lower than the exact bound:
    // a skip must never drop a key that the exact score would keep.
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

private:
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
    // weight_floor's results by cost, while the worst of the best stays.
    struct FloorSlot {
        Cell cost;
        Weight floor;
    };
    static constexpr FloorSlot kNoFloor{UINT32_MAX, 0};
    static std::array<FloorSlot, 32> filled() {
        std::array<FloorSlot, 32> slots;
        slots.fill(kNoFloor);
        return slots;
    }

    const WeightTable* table_;
    const ErrorModel* model_;
    std::uint64_t wanted_;
    Better better_;
    std::vector<Candidate> best_;
    std::uint64_t generation_ = 0;
    std::array<FloorSlot, 32> floors_ = filled();
};

}  // namespace morlatch::correction
