// The letters below each node of a narrow layout, as bits, and the lower
// bound they give on the distance of every key below a node.
//
// A key below a child spells its rest with letters of the child's set. An
// alignment of the key with the query passes through the parent's row at
// some query position i (or swaps across it, landing no cheaper than the
// parent's cell at i + 1 with the rest of the query from i + 1 still to
// spell); every query character after i whose letter is not in the set is
// then neither matched nor swapped, and costs an edit of its own. So no key
// below the child is within k when, for every i, the parent's cell at i
// plus the number of such characters from i on exceeds k: the child is
// skipped before its row is stepped, and its subtree with it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "prefix/layout/compact.hpp"

namespace morlatch {

// One bit per label rank of a narrow layout's alphabet (rank 63 and above
// share the last bit); a node's bits are its own label's and those of every
// node below it. Wide layouts get no table.
class LettersBelow {
public:
    static constexpr std::uint64_t bit(std::uint32_t rank) noexcept {
        return std::uint64_t{1} << std::min<std::uint32_t>(rank, 63);
    }

    LettersBelow() = default;
    LettersBelow(const NodeView& nodes, std::size_t node_count) {
        if (nodes.labels != nullptr || node_count == 0) {
            return;
        }
        // Level order: every child's id is above its parent's.
        bits_.assign(node_count, 0);
        for (std::size_t v = node_count; v-- > 0;) {
            const auto node = static_cast<NodeId>(v);
            std::uint64_t below =
                node == CompactTrie::kRoot ? 0 : bit(records::rank(nodes.record(node)));
            for (NodeId c = nodes.first_child(node); c < nodes.end_child(node); ++c) {
                below |= bits_[c];
            }
            bits_[v] = below;
        }
    }

    // Null when there is no table.
    const std::uint64_t* data() const noexcept { return bits_.empty() ? nullptr : bits_.data(); }
    std::size_t memory_bytes() const noexcept { return bits_.capacity() * sizeof(std::uint64_t); }

private:
    std::vector<std::uint64_t> bits_;
};

// The tables of a layout and of its reverse index, for the walks of a split
// search; either may be null.
struct LetterTables {
    const std::uint64_t* forward = nullptr;
    const std::uint64_t* backward = nullptr;
};

// A query's characters by letter bit, for the bound above.
class QueryLetters {
public:
    // Queries longer than this are not bounded.
    static constexpr std::size_t kLongest = 63;

    // `ranks` holds each query character's rank (0: no key has it).
    void reset(const std::vector<std::uint32_t>& ranks) {
        used_ = 0;
        never_ = 0;
        usable_ = ranks.size() <= kLongest;
        if (!usable_) {
            return;
        }
        for (std::size_t i = 0; i < ranks.size(); ++i) {
            const std::uint64_t position = std::uint64_t{1} << i;
            if (ranks[i] == 0) {
                never_ |= position;
                continue;
            }
            const std::uint64_t b = LettersBelow::bit(ranks[i]);
            const int at = std::countr_zero(b);
            if ((used_ & b) == 0) {
                at_[at] = 0;
            }
            used_ |= b;
            at_[at] |= position;
        }
    }
    bool usable() const noexcept { return usable_; }

    // The query positions whose letter is not among `below`'s bits.
    std::uint64_t missing(std::uint64_t below) const noexcept {
        std::uint64_t absent = used_ & ~below;
        std::uint64_t missing = never_;
        for (; absent != 0; absent &= absent - 1) {
            missing |= at_[std::countr_zero(absent)];
        }
        return missing;
    }

private:
    bool usable_ = false;
    std::uint64_t used_ = 0;   // the letter bits of the query's characters
    std::uint64_t never_ = 0;  // positions of characters no key has
    std::array<std::uint64_t, 64> at_{};
};

}  // namespace morlatch
