// The search layout of a well-formed trie.
//
// When a store is made from arrays (store.hpp), they are checked once: every index the walk
// reads is in range, every node below the root has a character, no node is
// reached twice (no cycle, no shared subtree) and the children of every node
// stand in strictly ascending code-point order. Such a trie gets a compact copy
// laid out for searching: nodes in level order, the children of a node
// consecutive, and everything one visit reads in one 4-byte record (see
// `records` below). Searches over it allocate nothing per node and can run
// without the interpreter's lock.
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

#include "base/trie.hpp"
#include "prefix/hits.hpp"
#include "prefix/interrupt.hpp"

namespace morlatch {

class CompactTrie;
class ReverseIndex;

// One node as the builder lays it out, 16 bytes: the full figures, before
// they are packed into the search records below.
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

// The key lengths below `node` (shortest, longest) from those of its
// children, capped at `saturated` ("at least this many"): what building a
// layout stores and what opening a stored one checks. A child without keys
// below (shortest saturated, longest 0) adds nothing; one whose longest is
// saturated keeps it so. `is_key`, `shortest_of` and `longest_of` read a
// node's figures, `visit` sees each child id on the way.
template <class Children, class Lengths>
inline void lengths_below(bool is_key, Children children, Lengths child_lengths,
                          std::uint8_t saturated, std::uint8_t& shortest_out,
                          std::uint8_t& longest_out) noexcept {
    const auto plus_one = [saturated](std::uint8_t length) {
        return length == saturated ? length : static_cast<std::uint8_t>(length + 1);
    };
    std::uint8_t shortest = is_key ? 0 : saturated;
    std::uint8_t longest = 0;
    for (NodeId c = children.first; c < children.second; ++c) {
        const auto [child_shortest, child_longest] = child_lengths(c);
        if (child_shortest == saturated && child_longest == 0) {
            continue;
        }
        shortest = std::min(shortest, plus_one(child_shortest));
        longest = std::max(longest, plus_one(child_longest));
    }
    shortest_out = shortest;
    longest_out = longest;
}

// The builder's records keep lengths in 8 bits; 255 means "at least".
template <class Visit>
inline void lengths_from_children(const LayoutNode* nodes, NodeId node, std::uint8_t& shortest_out,
                                  std::uint8_t& longest_out, Visit&& visit) noexcept {
    lengths_below((nodes[node].flags & 1) != 0,
                  std::pair<NodeId, NodeId>(nodes[node].first_child, nodes[node + 1].first_child),
                  [&](NodeId c) {
                      visit(c);
                      return std::pair<std::uint8_t, std::uint8_t>(nodes[c].shortest,
                                                                   nodes[c].longest);
                  },
                  255, shortest_out, longest_out);
}

inline void lengths_from_children(const LayoutNode* nodes, NodeId node, std::uint8_t& shortest,
                                  std::uint8_t& longest) noexcept {
    lengths_from_children(nodes, node, shortest, longest, [](NodeId) {});
}

// The search records of a layout: 4 bytes per node, in level order.
//
//   bits  0-7   rank: the label's place in the layout's alphabet (the sorted
//               distinct code points of its keys, from 1; 0 for the root),
//               so rank order is code-point order
//   bits  8-19  prefix: the children of the earlier nodes of the same line
//               of 16 nodes, so first_child(v) = line_base[v / 16] + prefix
//   bits 20-25  shortest key length below, 0 for a key, saturating at 63
//   bits 26-31  longest key length below, saturating at 63
//
// One closing record after the last node closes the child ranges:
// end_child(v) = first_child(v + 1). A node has at most one child per label,
// so with at most 255 labels a line's prefix stays below 15 * 255 < 4096.
// Keys over more labels make a "wide" layout: the labels and first children
// are then explicit arrays of 32-bit values, and the rank and prefix bits 0.
// A key's payload is payloads[key rank], the key rank being the number of
// key nodes before it: key_base[v / 16] plus the keys before v in its line.
// A reverse index holds no payloads.
namespace records {
inline constexpr std::uint32_t kRankBits = 8;
inline constexpr std::uint32_t kPrefixShift = 8;
inline constexpr std::uint32_t kPrefixMask = 0xFFF;
inline constexpr std::uint32_t kShortestShift = 20;
inline constexpr std::uint32_t kLongestShift = 26;
inline constexpr std::uint32_t kLengthMask = 63;
inline constexpr std::uint32_t kLineShift = 4;
inline constexpr std::uint32_t kLine = 16;
inline constexpr std::size_t kMaxRanks = 256;

constexpr std::uint32_t make(std::uint32_t rank, std::uint32_t prefix, std::uint32_t shortest,
                             std::uint32_t longest) noexcept {
    return rank | prefix << kPrefixShift | shortest << kShortestShift | longest << kLongestShift;
}
constexpr std::uint32_t rank(std::uint32_t record) noexcept {
    return record & 0xFF;
}
constexpr std::uint32_t prefix(std::uint32_t record) noexcept {
    return (record >> kPrefixShift) & kPrefixMask;
}
constexpr std::uint8_t shortest(std::uint32_t record) noexcept {
    return static_cast<std::uint8_t>((record >> kShortestShift) & kLengthMask);
}
constexpr std::uint8_t longest(std::uint32_t record) noexcept {
    return static_cast<std::uint8_t>(record >> kLongestShift);
}
constexpr bool is_key(std::uint32_t record) noexcept {
    return (record & (kLengthMask << kShortestShift)) == 0;
}
}  // namespace records

// The raw arrays of a layout, for loops that copy them into locals. All
// reads of a node go through these accessors.
struct NodeView {
    const std::uint32_t* records = nullptr;
    const std::uint32_t* line_base = nullptr;  // narrow layouts
    const char32_t* alphabet = nullptr;        // narrow layouts
    const char32_t* labels = nullptr;          // wide layouts
    const NodeId* first = nullptr;             // wide layouts
    const std::uint32_t* key_base = nullptr;   // with payloads
    const Payload* payloads = nullptr;         // with payloads
    const std::uint8_t* low_ranks = nullptr;   // narrow layouts: rank_of for code points < 256
    std::uint32_t ranks = 0;                   // narrow layouts: the alphabet's size

    std::uint32_t record(NodeId node) const noexcept { return records[node]; }
    char32_t label(NodeId node) const noexcept {
        return labels != nullptr ? labels[node] : alphabet[records::rank(records[node])];
    }
    NodeId first_child(NodeId node) const noexcept {
        return first != nullptr
                   ? first[node]
                   : line_base[node >> records::kLineShift] + records::prefix(records[node]);
    }
    NodeId end_child(NodeId node) const noexcept { return first_child(node + 1); }
    bool is_key(NodeId node) const noexcept { return records::is_key(records[node]); }
    std::uint8_t shortest(NodeId node) const noexcept { return records::shortest(records[node]); }
    std::uint8_t longest(NodeId node) const noexcept { return records::longest(records[node]); }
    // The number of key nodes before `node`.
    std::uint32_t key_rank(NodeId node) const noexcept {
        const NodeId line = node & ~(records::kLine - 1);
        std::uint32_t rank = key_base[node >> records::kLineShift];
        for (NodeId v = line; v < node; ++v) {
            rank += records::is_key(records[v]) ? 1 : 0;
        }
        return rank;
    }
    // Meaningful only for a key node of a layout with payloads.
    Payload payload(NodeId node) const noexcept { return payloads[key_rank(node)]; }
    // The rank of code point `ch` in a narrow layout's alphabet, 0 when it
    // labels no node (code points below 256 from a table).
    std::uint32_t rank_of(char32_t ch) const noexcept {
        if (ch < records::kMaxRanks) {
            return low_ranks[ch];
        }
        const char32_t* end = alphabet + ranks;
        const char32_t* at = std::lower_bound(alphabet + 1, end, ch);
        return at != end && *at == ch ? static_cast<std::uint32_t>(at - alphabet) : 0;
    }
    // The child labelled `ch` of `node` (binary search over its children,
    // which are in ascending label order, by rank in a narrow layout), or
    // 0xFFFFFFFF.
    NodeId child(NodeId node, char32_t ch) const noexcept {
        const NodeId first = first_child(node);
        const NodeId end = end_child(node);
        if (first == end) {
            return 0xFFFFFFFFu;
        }
        // Branch-free lower bound: the comparisons of a search down a trie
        // are unpredictable.
        const auto lower_bound = [first, end](auto before) {
            NodeId base = first;
            NodeId count = end - first;
            while (count > 1) {
                const NodeId half = count / 2;
                base = before(base + half) ? base + half : base;
                count -= half;
            }
            return before(base) ? base + 1 : base;
        };
        if (labels != nullptr) {
            const NodeId at = lower_bound([&](NodeId c) { return labels[c] < ch; });
            return at < end && labels[at] == ch ? at : 0xFFFFFFFFu;
        }
        const std::uint32_t rank = rank_of(ch);
        const NodeId at = lower_bound([&](NodeId c) { return records::rank(records[c]) < rank; });
        return rank != 0 && at < end && records::rank(records[at]) == rank ? at : 0xFFFFFFFFu;
    }
};

// The packed arrays of one layout as one image of 32-bit words: a header of
// 16 words, then each array at a multiple of 16 words (64 bytes), the same
// bytes that an index file stores (see mapped.hpp). The image is owned
// (built in this process) or borrowed from memory that someone else keeps
// alive (a mapped index file, a bytes buffer), held through `owner`.
//
//   header  0: tag kTag            1: node count n
//           2: alphabet size a (the root's 0 included; 0 for wide)
//           3: flags (kWide, kPayloads)   4: key count   5: 0
//           6-7: total key length (u64)   8-15: 0
//   records        n + 1 words
//   alphabet       a words (narrow): 0, then a - 1 ascending code points
//   line_base      n / 16 + 1 words (narrow)
//   labels, first  n + 1 words each (wide)
//   key_base       n / 16 + 1 words (with payloads)
//   payloads       key count words (with payloads)
class NodeImage {
public:
    static constexpr std::uint32_t kTag = 0x3143'4C4Du;  // "MLC1"
    static constexpr std::uint32_t kWide = 1;
    static constexpr std::uint32_t kPayloads = 2;
    static constexpr std::size_t kHeaderWords = 16;

    // Where each array starts, in words, for a header's figures; `total` is
    // the image's size.
    struct Plan {
        std::size_t records = 0;
        std::size_t alphabet = 0;
        std::size_t line_base = 0;
        std::size_t labels = 0;
        std::size_t first = 0;
        std::size_t key_base = 0;
        std::size_t payloads = 0;
        std::size_t total = 0;
        std::size_t lines = 0;
    };
    static Plan plan(std::uint64_t nodes, std::uint32_t ranks, bool wide, bool payloads,
                     std::uint64_t keys) noexcept;

    NodeImage() noexcept = default;
    explicit NodeImage(std::vector<std::uint32_t> owned);
    // Over words already checked (mapped.hpp).
    NodeImage(std::span<const std::uint32_t> borrowed, std::shared_ptr<const void> owner);
    NodeImage(NodeImage&&) noexcept = default;
    NodeImage& operator=(NodeImage&&) noexcept = default;
    NodeImage(const NodeImage&) = delete;
    NodeImage& operator=(const NodeImage&) = delete;

    const NodeView& view() const noexcept { return view_; }
    std::size_t node_count() const noexcept { return words_[1]; }
    std::uint32_t alphabet_size() const noexcept { return words_[2]; }
    std::size_t key_count() const noexcept { return words_[4]; }
    bool wide() const noexcept { return (words_[3] & kWide) != 0; }
    bool has_payloads() const noexcept { return (words_[3] & kPayloads) != 0; }
    std::uint64_t total_key_length() const noexcept {
        return words_[6] | static_cast<std::uint64_t>(words_[7]) << 32;
    }
    std::span<const std::uint8_t> bytes() const noexcept {
        return {reinterpret_cast<const std::uint8_t*>(words_.data()), words_.size_bytes()};
    }
    bool borrowed() const noexcept { return borrowed_; }
    // Bytes this process holds (the image itself none when borrowed).
    std::size_t owned_bytes() const noexcept {
        return owned_.capacity() * sizeof(std::uint32_t) + (low_ranks_ ? records::kMaxRanks : 0);
    }

    // Packs builder nodes (level order, closing entry last, key lengths
    // filled in): with payloads for a forward layout, without for a
    // reverse index.
    static NodeImage pack(std::span<const LayoutNode> nodes, bool payloads, std::size_t key_count,
                          std::uint64_t total_key_length);

private:
    void attach();

    std::vector<std::uint32_t> owned_;
    std::span<const std::uint32_t> words_;
    std::shared_ptr<const void> owner_;
    // Moves keep the table's buffer, so the view stays valid.
    std::unique_ptr<std::uint8_t[]> low_ranks_;
    NodeView view_;
    bool borrowed_ = false;
};

// Nothing to hand back: build scratch comes from mappings that are unmapped
// when freed (scratch.hpp), and the C library's heap is the caller's. Kept
// for the reader of the replaced index-file layout, which goes with it.
inline void release_free_memory() noexcept {}

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
    // Key lengths below a node are kept in 6 bits; this value means "at
    // least this many" for the longest and is never used to prune.
    static constexpr std::uint8_t kLengthSaturated = records::kLengthMask;

    // The search layout of `trie`, or null when its arrays fail the check.
    static std::unique_ptr<CompactTrie> build(const Trie& trie);
    // A layout from builder nodes already in level order, each with its
    // label, first_child, payload and flags, followed by one closing entry
    // whose first_child is the node count; fills in the rest.
    static std::unique_ptr<CompactTrie> from_nodes(std::vector<LayoutNode> nodes);
    // A layout over an image that is complete and checked (mapped.hpp), and
    // the reverse index when one was stored beside it.
    static std::unique_ptr<CompactTrie> from_checked(NodeImage image,
                                                     std::unique_ptr<ReverseIndex> reverse);

    ~CompactTrie();
    CompactTrie(const CompactTrie&) = delete;
    CompactTrie& operator=(const CompactTrie&) = delete;

    // ---- read access (node ids are this layout's own, root 0) ------------

    std::size_t node_count() const noexcept { return image_.node_count(); }
    // The raw arrays, for loops that keep them in locals.
    const NodeView& view() const noexcept { return view_; }
    // The packed arrays as stored.
    std::span<const std::uint8_t> image_bytes() const noexcept { return image_.bytes(); }
    // Whether the arrays are borrowed from a file or buffer.
    bool borrowed() const noexcept { return image_.borrowed(); }
    std::size_t key_count() const noexcept { return image_.key_count(); }
    // The character on the edge into `node` (0 for the root).
    char32_t label(NodeId node) const noexcept { return node == kRoot ? 0 : view_.label(node); }
    bool is_key(NodeId node) const noexcept { return view_.is_key(node); }
    // Meaningful only when is_key(node).
    Payload payload(NodeId node) const noexcept { return view_.payload(node); }
    // The children of `node` are the ids [first_child, end_child), in
    // strictly ascending label order.
    NodeId first_child(NodeId node) const noexcept { return view_.first_child(node); }
    NodeId end_child(NodeId node) const noexcept { return view_.end_child(node); }
    // The child of `node` labelled `ch`, if any (binary search).
    std::optional<NodeId> child(NodeId node, char32_t ch) const noexcept {
        const NodeId found = view_.child(node, ch);
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
    std::uint8_t shortest_below(NodeId node) const noexcept { return view_.shortest(node); }
    std::uint8_t longest_below(NodeId node) const noexcept { return view_.longest(node); }
    bool holds_keys(NodeId node) const noexcept {
        return !(shortest_below(node) == kLengthSaturated && longest_below(node) == 0);
    }

    // Bytes held by this process, the reverse index included once built;
    // borrowed arrays are not counted (mapped pages are the file's).
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
    std::uint64_t total_key_length() const noexcept { return image_.total_key_length(); }

    // Packs nodes laid out by the builder (builder.hpp): level order, the
    // closing entry last, key lengths filled in.
    static std::unique_ptr<CompactTrie> from_level_order(std::span<const LayoutNode> nodes,
                                                         std::size_t key_count,
                                                         std::uint64_t total_key_length);

    static constexpr NodeId kNoNode = 0xFFFFFFFFu;

private:
    CompactTrie() = default;
    void adopt(NodeImage image) noexcept {
        image_ = std::move(image);
        view_ = image_.view();
    }

    NodeImage image_;
    NodeView view_;

    LazyReverseIndex reverse_;
};

// A trie of the reversed keys of a CompactTrie, in the same records, without
// payloads: a key found through it is looked up in the forward layout.
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
    // Over an image checked elsewhere (mapped.hpp).
    explicit ReverseIndex(NodeImage image) noexcept : image_(std::move(image)) {}

    static constexpr std::uint64_t kMaxTextPerNode = 8;

    const NodeView& view() const noexcept { return image_.view(); }
    std::size_t node_count() const noexcept { return image_.node_count(); }
    std::span<const std::uint8_t> image_bytes() const noexcept { return image_.bytes(); }
    std::size_t memory_bytes() const noexcept { return image_.owned_bytes(); }

private:
    NodeImage image_;
};

}  // namespace morlatch
