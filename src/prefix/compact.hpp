// The search layout of a well-formed trie.
//
// When a store is made from arrays (store.hpp), they are checked once: every index the walk
// reads is in range, every node below the root has a character, no node is
// reached twice (no cycle, no shared subtree) and the children of every node
// stand in strictly ascending code-point order. Such a trie gets a compact copy
// laid out for searching: nodes in level order, the children of a node
// consecutive, and everything one visit reads in 16 bytes. Searches over it
// allocate nothing per node and can run without the interpreter's lock.
// Arrays that fail the check keep the plain walk (query.hpp), faults and all.
// This file is the layout alone: which of the two answers a query, and how
// the layout stands in for the arrays, is the store's business.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "prefix/interrupt.hpp"
#include "prefix/query.hpp"
#include "prefix/trie.hpp"

namespace morlatch {

class CompactTrie;
class ReverseIndex;

// The hits of one search, their keys one after the other in one buffer.
struct HitList {
    struct Hit {
        std::size_t offset;  // of the key in `text`
        std::uint32_t length;
        Payload payload;
        std::uint32_t distance;
    };
    std::vector<char32_t> text;
    std::vector<Hit> hits;

    std::u32string_view key(const Hit& hit) const noexcept {
        return std::u32string_view(text.data() + hit.offset, hit.length);
    }
    void add(std::u32string_view key, Payload payload, std::uint32_t distance) {
        hits.push_back(Hit{text.size(), static_cast<std::uint32_t>(key.size()), payload, distance});
        text.insert(text.end(), key.begin(), key.end());
    }
};

// The reverse index of one layout: built by the first search that asks for
// it (thread-safe, once), then kept for the layout's life; or, when the keys
// would make it more than kMaxGrowth times the layout's nodes, never built,
// and searches keep to one walk.
class LazyReverseIndex {
public:
    static constexpr std::uint64_t kMaxGrowth = 2;

    LazyReverseIndex() noexcept;
    ~LazyReverseIndex();
    LazyReverseIndex(const LazyReverseIndex&) = delete;
    LazyReverseIndex& operator=(const LazyReverseIndex&) = delete;

    // The index, built now if no search has decided yet; null when it is
    // refused. A build that `interrupt` (or a failed allocation) stops
    // leaves nothing decided: a later call tries again.
    const ReverseIndex* get(const CompactTrie& forward, Interrupt& interrupt) const;
    bool built() const noexcept { return state_.load(std::memory_order_acquire) == State::built; }
    bool refused() const noexcept {
        return state_.load(std::memory_order_acquire) == State::refused;
    }
    // How long building it took; 0 until it is built.
    double build_seconds() const noexcept { return built() ? seconds_ : 0.0; }
    // Bytes held; 0 until it is built.
    std::size_t memory_bytes() const noexcept;

private:
    enum class State : std::uint8_t { undecided, built, refused };

    mutable std::mutex mutex_;
    mutable std::unique_ptr<ReverseIndex> index_;
    mutable std::atomic<State> state_{State::undecided};
    mutable double seconds_ = 0;
};

class CompactTrie {
public:
    static constexpr NodeId kRoot = 0;
    // Key lengths below a node are kept in 8 bits; this value means "at
    // least this many" for the longest and is never used to prune.
    static constexpr std::uint8_t kLengthSaturated = 255;

    struct Node {
        char32_t label;
        NodeId first_child;
        Payload payload;
        std::uint8_t flags;
        std::uint8_t shortest;
        std::uint8_t longest;
        std::uint8_t reserved;
    };
    static constexpr std::uint8_t kIsKey = 1;

    // The search layout of `trie`, or null when its arrays fail the check.
    static std::unique_ptr<CompactTrie> build(const Trie& trie);
    // A layout from nodes already in level order, each with its label,
    // first_child, payload and flags, followed by one closing entry whose
    // first_child is the node count; fills in the rest (key lengths, counts).
    static std::unique_ptr<CompactTrie> from_nodes(std::vector<Node> nodes);

    ~CompactTrie();
    CompactTrie(const CompactTrie&) = delete;
    CompactTrie& operator=(const CompactTrie&) = delete;

    // ---- read access (node ids are this layout's own, root 0) ------------

    std::size_t node_count() const noexcept { return nodes_.size() - 1; }
    std::size_t key_count() const noexcept { return key_count_; }
    // The character on the edge into `node` (0 for the root).
    char32_t label(NodeId node) const noexcept { return nodes_[node].label; }
    bool is_key(NodeId node) const noexcept { return nodes_[node].flags & kIsKey; }
    // Meaningful only when is_key(node).
    Payload payload(NodeId node) const noexcept { return nodes_[node].payload; }
    // The children of `node` are the ids [first_child, end_child), in
    // strictly ascending label order.
    NodeId first_child(NodeId node) const noexcept { return nodes_[node].first_child; }
    NodeId end_child(NodeId node) const noexcept { return end_of_children(node); }
    // The child of `node` labelled `ch`, if any (binary search).
    std::optional<NodeId> child(NodeId node, char32_t ch) const noexcept {
        const NodeId found = child_of(nodes_.data(), node, ch);
        return found == kNoNode ? std::nullopt : std::optional<NodeId>(found);
    }
    // The node whose path spells `text`, if any.
    std::optional<NodeId> find(std::u32string_view text) const noexcept;
    // The key node whose path spells `text`, if any (the root, the empty
    // key, is never one).
    std::optional<NodeId> find_key(std::u32string_view text) const noexcept {
        const std::optional<NodeId> node = find(text);
        return node && *node != kRoot && is_key(*node) ? node : std::nullopt;
    }
    // Lengths of the shortest and longest key in the subtree of `node`,
    // counted from `node` (0 when `node` is a key itself). The shortest is
    // kLengthSaturated also when the subtree holds no key at all; the longest
    // is kLengthSaturated when it may be longer.
    std::uint8_t shortest_below(NodeId node) const noexcept { return nodes_[node].shortest; }
    std::uint8_t longest_below(NodeId node) const noexcept { return nodes_[node].longest; }
    bool holds_keys(NodeId node) const noexcept { return holds_keys(nodes_[node]); }

    // Bytes held, the reverse index included once built.
    std::size_t memory_bytes() const noexcept;

    // ---- the fuzzy search, with exactly the plain walk's results ---------

    // Keys within max_dist of query, in the plain walk's order: a key before
    // its extensions; where two keys first differ, the one whose character
    // continues the query first, then the others by code point. With a
    // limit, the first `limit` of them.
    // With transpositions, the distance is the optimal string alignment
    // distance (swapping two adjacent characters is one edit).
    HitList search(std::u32string_view query, std::uint64_t max_dist,
                   std::optional<std::uint64_t> limit, Interrupt& interrupt,
                   bool transpositions = false) const;
    std::optional<Match> exact_match(std::u32string_view query) const noexcept(false);

    // The reverse index (a trie of the reversed keys), built on first use by
    // a search that profits from it; null when it would be too large (see
    // LazyReverseIndex), and the search then keeps to one walk.
    bool reverse_index_built() const noexcept { return reverse_.built(); }
    bool reverse_index_refused() const noexcept { return reverse_.refused(); }
    double reverse_index_build_seconds() const noexcept { return reverse_.build_seconds(); }
    const ReverseIndex* reverse_index(Interrupt& interrupt) const {
        return reverse_.get(*this, interrupt);
    }
    const ReverseIndex* reverse_index() const {
        Interrupt none;
        return reverse_.get(*this, none);
    }
    // Code points over all keys.
    std::uint64_t total_key_length() const noexcept { return total_key_length_; }

    // Takes over nodes laid out by the builder (builder.hpp): level order,
    // the closing entry last, key lengths filled in.
    static std::unique_ptr<CompactTrie> from_level_order(std::vector<Node> nodes,
                                                         std::size_t key_count,
                                                         std::uint64_t total_key_length);

    static constexpr NodeId kNoNode = 0xFFFFFFFFu;

    // Whether the subtree of a node holds a key (its own included).
    static bool holds_keys(const Node& node) noexcept {
        return !(node.shortest == kLengthSaturated && node.longest == 0);
    }
    // The child labelled `ch` of `node` among nodes laid out like this
    // (children consecutive, by label, closed by the next node's
    // first_child), or kNoNode.
    static NodeId child_of(const Node* nodes, NodeId node, char32_t ch) noexcept {
        const Node* first = nodes + nodes[node].first_child;
        const Node* last = nodes + nodes[node + 1].first_child;
        const Node* it = std::lower_bound(first, last, ch,
                                          [](const Node& n, char32_t c) { return n.label < c; });
        return it == last || it->label != ch ? kNoNode : static_cast<NodeId>(it - nodes);
    }

private:
    CompactTrie() = default;

    NodeId end_of_children(NodeId node) const noexcept {
        // One extra node at the end holds the total as its first_child.
        return nodes_[node + 1].first_child;
    }

    friend class ReverseIndex;

    // node_count() + 1 entries; the last one only closes the child ranges.
    std::vector<Node> nodes_;
    std::size_t key_count_ = 0;
    std::uint64_t total_key_length_ = 0;

    LazyReverseIndex reverse_;
};

static_assert(sizeof(CompactTrie::Node) == 16);

// A trie of the reversed keys of a CompactTrie, in the same node layout; the
// payload of a key node is the id of the key's node in the forward trie.
// Searches that match the end of a query exactly walk it backwards.
class ReverseIndex {
public:
    // The reverse index of `forward`, or null when it would have more than
    // `max_nodes` nodes. The reversed keys are laid out by the one builder,
    // which counts the nodes before it allocates them; keys whose total
    // length passes kMaxTextPerNode code points per forward node are refused
    // before that, so that the reversed text held while sorting stays within
    // a few times the layout too (nested keys, "a", "aa", "aaa", ..., make
    // text that grows with the square of their length).
    static std::unique_ptr<ReverseIndex> build(const CompactTrie& forward, std::uint64_t max_nodes,
                                               Interrupt& interrupt);

    static constexpr std::uint64_t kMaxTextPerNode = 8;

    const CompactTrie::Node* nodes() const noexcept { return nodes_.data(); }
    std::size_t node_count() const noexcept { return nodes_.size() - 1; }
    std::size_t memory_bytes() const noexcept { return nodes_.capacity() * sizeof(nodes_[0]); }

private:
    explicit ReverseIndex(std::vector<CompactTrie::Node> nodes) : nodes_(std::move(nodes)) {}

    std::vector<CompactTrie::Node> nodes_;
};

}  // namespace morlatch
