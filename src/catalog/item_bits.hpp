// A set of items as one bit per item of the catalogue, kept per thread from
// one query to the next: a query sets few of its 64-bit words, and clearing
// visits only those (a catalogue of a million items takes 125 KiB, which
// stays in the core's cache where a word per item would not).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace morlatch::catalog {

class ItemBits {
public:
    // Empties the set and makes room for items below `items`.
    void reset(std::size_t items) {
        // Word by word while the words set are few; past that, clearing
        // them all in order is quicker than scattered stores.
        if (touched_count_ * 16 > bits_.size()) {
            std::fill(bits_.begin(), bits_.end(), 0);
        } else {
            for (std::size_t i = 0; i < touched_count_; ++i) {
                bits_[touched_[i]] = 0;
            }
        }
        touched_count_ = 0;
        const std::size_t words = (items + 63) / 64;
        if (bits_.size() < words) {
            bits_.resize(words, 0);
            // The inserts write the next slot before knowing whether the
            // word was empty: with every word listed, that slot is one past
            // the last word, so the list keeps one more.
            touched_.resize(words + 1);
        }
    }

    bool contains(std::uint32_t item) const noexcept {
        return (bits_[item / 64] >> (item % 64) & 1) != 0;
    }

    // Adds the item; the word it lands in is remembered for reset() when it
    // was empty, without a branch (a word is listed at most once).
    void insert(std::uint32_t item) noexcept {
        std::uint64_t& word = bits_[item / 64];
        touched_[touched_count_] = item / 64;
        touched_count_ += word == 0 ? 1 : 0;
        word |= std::uint64_t{1} << (item % 64);
    }

    // Adds the items of [first, last), with what the loop reads held in
    // registers.
    void insert_all(const std::uint32_t* first, const std::uint32_t* last) noexcept {
        std::uint64_t* const bits = bits_.data();
        std::uint32_t* const touched = touched_.data();
        std::size_t count = touched_count_;
        for (; first != last; ++first) {
            std::uint64_t& word = bits[*first / 64];
            touched[count] = *first / 64;
            count += word == 0 ? 1 : 0;
            word |= std::uint64_t{1} << (*first % 64);
        }
        touched_count_ = count;
    }

    // Adds the items of [first, last) that `within` holds (most of them,
    // in use, it does not: the loop mostly reads).
    void insert_common(const std::uint32_t* first, const std::uint32_t* last,
                       const ItemBits& within) noexcept {
        const std::uint64_t* const in = within.bits_.data();
        std::uint64_t* const bits = bits_.data();
        std::uint32_t* const touched = touched_.data();
        std::size_t count = touched_count_;
        for (; first != last; ++first) {
            const std::uint32_t item = *first;
            if ((in[item / 64] >> (item % 64) & 1) != 0) {
                std::uint64_t& word = bits[item / 64];
                touched[count] = item / 64;
                count += word == 0 ? 1 : 0;
                word |= std::uint64_t{1} << (item % 64);
            }
        }
        touched_count_ = count;
    }

private:
    std::vector<std::uint64_t> bits_;
    std::vector<std::uint32_t> touched_;  // indices of the words set, the first touched_count_
    std::size_t touched_count_ = 0;
};

}  // namespace morlatch::catalog
