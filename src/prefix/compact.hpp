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
#include <span>
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

// One node of the search layout, 16 bytes (CompactTrie::Node). The same
// records are what an index file stores, little-endian, so their format is
// fixed: see mapped.hpp.
struct LayoutNode {
    char32_t label;
    NodeId first_child;
    Payload payload;
    std::uint8_t flags;
    std::uint8_t shortest;
    std::uint8_t longest;
    std::uint8_t reserved;
};
static_assert(sizeof(LayoutNode) == 16);

// The nodes of a layout, either owned (built in this process) or borrowed
// from memory that someone else keeps alive (a mapped index file, a bytes
// buffer), held through `owner`. Readers see one read-only array either way.
class NodeArray {
public:
    NodeArray() noexcept = default;
    explicit NodeArray(std::vector<LayoutNode> owned) noexcept
        : owned_(std::move(owned)), view_(owned_) {}
    NodeArray(std::span<const LayoutNode> borrowed, std::shared_ptr<const void> owner) noexcept
        : view_(borrowed), owner_(std::move(owner)), borrowed_(true) {}
    // Moving a vector keeps its buffer, so the view stays valid.
    NodeArray(NodeArray&&) noexcept = default;
    NodeArray& operator=(NodeArray&&) noexcept = default;
    NodeArray(const NodeArray&) = delete;
    NodeArray& operator=(const NodeArray&) = delete;

    const LayoutNode* data() const noexcept { return view_.data(); }
    std::size_t size() const noexcept { return view_.size(); }
    const LayoutNode& operator[](std::size_t i) const noexcept { return view_[i]; }
    std::span<const LayoutNode> span() const noexcept { return view_; }
    bool borrowed() const noexcept { return borrowed_; }
    // Bytes this process holds for the nodes (none when borrowed).
    std::size_t owned_bytes() const noexcept { return owned_.capacity() * sizeof(LayoutNode); }

private:
    std::vector<LayoutNode> owned_;
    std::span<const LayoutNode> view_;
    std::shared_ptr<const void> owner_;
    bool borrowed_ = false;
};

// The key lengths below `node` (shortest, longest) as the layout keeps them,
// from those of its children: what building a layout stores and what opening
// a stored one checks.
// Lengths are kept in 8 bits; 255 means "at least this many". `visit` sees
// each child id on the way (a check reads them in the same loop).
template <class Visit>
inline void lengths_from_children(const LayoutNode* nodes, NodeId node, std::uint8_t& shortest_out,
                                  std::uint8_t& longest_out, Visit&& visit) noexcept {
    constexpr std::uint8_t saturated = 255;
    const auto plus_one = [](std::uint8_t length) {
        return length == saturated ? length : static_cast<std::uint8_t>(length + 1);
    };
    std::uint8_t shortest = (nodes[node].flags & 1) ? 0 : saturated;
    std::uint8_t longest = 0;
    for (NodeId c = nodes[node].first_child; c < nodes[node + 1].first_child; ++c) {
        visit(c);
        const LayoutNode& child = nodes[c];
        // A child without keys below (shortest saturated, longest 0) adds
        // nothing; one whose longest is saturated keeps it so.
        if (child.shortest == saturated && child.longest == 0) {
            continue;
        }
        shortest = std::min(shortest, plus_one(child.shortest));
        longest = std::max(longest, plus_one(child.longest));
    }
    shortest_out = shortest;
    longest_out = longest;
}

inline void lengths_from_children(const LayoutNode* nodes, NodeId node, std::uint8_t& shortest,
                                  std::uint8_t& longest) noexcept {
    lengths_from_children(nodes, node, shortest, longest, [](NodeId) {});
}

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
    // Takes a reverse index made elsewhere (read from a file) as built.
    void adopt(std::unique_ptr<ReverseIndex> index);
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

    using Node = LayoutNode;
    static constexpr std::uint8_t kIsKey = 1;

    // The search layout of `trie`, or null when its arrays fail the check.
    static std::unique_ptr<CompactTrie> build(const Trie& trie);
    // A layout from nodes already in level order, each with its label,
    // first_child, payload and flags, followed by one closing entry whose
    // first_child is the node count; fills in the rest (key lengths, counts).
    static std::unique_ptr<CompactTrie> from_nodes(std::vector<Node> nodes);
    // A layout over nodes that are complete and checked (mapped.hpp), with
    // their key count and total key length, and the reverse index when one
    // was stored beside them.
    static std::unique_ptr<CompactTrie> from_checked(NodeArray nodes, std::size_t key_count,
                                                     std::uint64_t total_key_length,
                                                     std::unique_ptr<ReverseIndex> reverse);

    ~CompactTrie();
    CompactTrie(const CompactTrie&) = delete;
    CompactTrie& operator=(const CompactTrie&) = delete;

    // ---- read access (node ids are this layout's own, root 0) ------------

    std::size_t node_count() const noexcept { return nodes_.size() - 1; }
    // All node records, the closing one included.
    const Node* nodes() const noexcept { return nodes_.data(); }
    std::span<const Node> node_span() const noexcept { return nodes_.span(); }
    // Whether the nodes are borrowed from a file or buffer.
    bool borrowed() const noexcept { return nodes_.borrowed(); }
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

    // Bytes held by this process, the reverse index included once built;
    // borrowed nodes are not counted (mapped pages are the file's).
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
    NodeArray nodes_;
    std::size_t key_count_ = 0;
    std::uint64_t total_key_length_ = 0;

    LazyReverseIndex reverse_;
};

static_assert(sizeof(CompactTrie::Node) == 16);
static_assert(CompactTrie::kLengthSaturated == 255 && CompactTrie::kIsKey == 1,
              "lengths_from_children spells these out");

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
    // Over nodes checked elsewhere (mapped.hpp).
    explicit ReverseIndex(NodeArray nodes) noexcept : nodes_(std::move(nodes)) {}

    static constexpr std::uint64_t kMaxTextPerNode = 8;

    const CompactTrie::Node* nodes() const noexcept { return nodes_.data(); }
    std::size_t node_count() const noexcept { return nodes_.size() - 1; }
    std::span<const CompactTrie::Node> node_span() const noexcept { return nodes_.span(); }
    std::size_t memory_bytes() const noexcept { return nodes_.owned_bytes(); }

private:
    NodeArray nodes_;
};

}  // namespace morlatch
