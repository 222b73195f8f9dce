// The weight table: each key's weight, the heaviest below every node and
// the children heaviest first.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <functional>
#include <utility>

#include "base/fault.hpp"
#include "prefix/ranking/weighted.hpp"

namespace morlatch {
namespace {

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

}  // namespace

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

Weight WeightTable::code_below(double least) const noexcept {
    if (!(least > 0.0)) {
        return 0;
    }
    if (floats_) {
        return std::bit_cast<Weight>(least);  // non-negative doubles order as their bits
    }
    if (least >= 18446744073709551616.0) {
        return UINT64_MAX;
    }
    // Past 2**53 a weight's value is rounded: a little below covers it.
    const auto whole = static_cast<Weight>(least);
    return whole > (Weight{1} << 53) ? whole - (whole >> 40) : whole;
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

}  // namespace morlatch
