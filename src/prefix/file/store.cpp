#include "prefix/file/store.hpp"

#include <string>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "base/texts.hpp"
#include "format/codec.hpp"

namespace morlatch {
namespace {

// The arrays a layout stands for, read through views of the Trie's shape
// (format/codec.hpp): ids in level order, root 0 without a character, the
// children of each node listed right after those of the nodes before it, so
// child_indices is 1, 2, ..., n - 1 and node_shifts[v] is first_child(v) - 1.
class LayoutArrays {
public:
    explicit LayoutArrays(const CompactTrie& layout)
        : node_shifts{layout}, node_chars{layout}, node_payloads{layout}, child_indices{layout} {}

    struct Shifts {
        const CompactTrie& layout;
        std::size_t size() const noexcept { return layout.node_count(); }
        std::uint32_t operator[](std::size_t v) const noexcept {
            return layout.first_child(static_cast<NodeId>(v)) - 1;
        }
    };
    struct Chars {
        const CompactTrie& layout;
        std::size_t size() const noexcept { return layout.node_count(); }
        std::optional<char32_t> operator[](std::size_t v) const noexcept {
            if (v == CompactTrie::kRoot) {
                return std::nullopt;
            }
            return layout.label(static_cast<NodeId>(v));
        }
    };
    struct Payloads {
        const CompactTrie& layout;
        std::size_t size() const noexcept { return layout.node_count(); }
        std::optional<Payload> operator[](std::size_t v) const noexcept {
            const NodeId node = static_cast<NodeId>(v);
            return layout.is_key(node) ? std::optional<Payload>(layout.payload(node))
                                       : std::nullopt;
        }
    };
    struct Children {
        const CompactTrie& layout;
        std::size_t size() const noexcept { return layout.node_count() - 1; }
        std::uint32_t operator[](std::size_t i) const noexcept {
            return static_cast<std::uint32_t>(i + 1);
        }
    };

    Shifts node_shifts;
    Chars node_chars;
    Payloads node_payloads;
    Children child_indices;
};

template <class List, class View>
bool same_list(const List& given, const View& view) {
    if (given.size() != view.size()) {
        return false;
    }
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (given[i] != view[i]) {
            return false;
        }
    }
    return true;
}

// Whether `arrays` are exactly the ones `layout` stands for, so that they
// need not be kept beside it.
bool stands_for(const CompactTrie& layout, const Trie& arrays) {
    const LayoutArrays view(layout);
    return same_list(arrays.child_indices, view.child_indices) &&
           same_list(arrays.node_shifts, view.node_shifts) &&
           same_list(arrays.node_chars, view.node_chars) &&
           same_list(arrays.node_payloads, view.node_payloads);
}

// Lets the caller's lock go for its lifetime.
class Unlocked {
public:
    explicit Unlocked(CallerLock& lock) : lock_(lock) { lock_.release(); }
    ~Unlocked() { lock_.reacquire(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    CallerLock& lock_;
};

HitList to_hits(const std::vector<Match>& matches) {
    HitList hits;
    for (const Match& match : matches) {
        hits.add(match.key, match.payload, match.distance, match.node);
    }
    return hits;
}

StoreStats malformed(std::string problem) {
    StoreStats stats;
    stats.problem = std::move(problem);
    return stats;
}

// From the search layout. Its nodes stand in level order, so each level is a
// run of ids and the children of one level are the next run.
StoreStats stats_of(const CompactTrie& trie) {
    StoreStats stats{trie.node_count(), trie.key_count(), 0, {}};
    NodeId begin = CompactTrie::kRoot;
    NodeId end = begin + 1;
    for (std::uint64_t level = 0; begin < end; ++level) {
        for (NodeId v = begin; v < end; ++v) {
            if (trie.is_key(v)) {
                stats.depth = level;
                break;
            }
        }
        const NodeId next = trie.end_child(end - 1);
        begin = end;
        end = next;
    }
    return stats;
}

// From arrays that failed the well-formedness check: a walk in level order
// that reads what a query would read, checking every index first, and
// enters each node once, so that a cycle or shared subtree stops it.
StoreStats stats_of(const Trie& trie) {
    const std::size_t count = trie.node_shifts.size();
    if (count == 0) {
        return malformed("the trie has no root: node_shifts is empty");
    }
    StoreStats stats;
    std::vector<bool> seen(count);
    seen[0] = true;
    std::vector<NodeId> level{0};
    std::vector<NodeId> below;
    for (std::uint64_t depth = 0; !level.empty(); ++depth) {
        below.clear();
        for (const NodeId n : level) {
            ++stats.nodes;
            if (n >= trie.node_payloads.size()) {
                return malformed("node " + std::to_string(n) +
                                 " is past the end of node_payloads (" +
                                 std::to_string(trie.node_payloads.size()) + " entries)");
            }
            if (trie.node_payloads[n]) {
                ++stats.keys;
                stats.depth = depth;
            }
            // The same child range as Trie::append_children, 32-bit arithmetic included.
            const std::uint32_t start = trie.node_shifts[n];
            const std::uint32_t next = n + 1;
            const std::uint32_t end = next >= static_cast<std::uint32_t>(count)
                                          ? static_cast<std::uint32_t>(trie.child_indices.size())
                                          : trie.node_shifts[next];
            if (start < end && end > trie.child_indices.size()) {
                return malformed("the children of node " + std::to_string(n) + " run to position " +
                                 std::to_string(end) + ", past the end of child_indices (" +
                                 std::to_string(trie.child_indices.size()) + " entries)");
            }
            for (std::uint32_t i = start; i < end; ++i) {
                const NodeId child = trie.child_indices[i];
                if (child >= count) {
                    return malformed("node " + std::to_string(child) + ", a child of node " +
                                     std::to_string(n) + ", is past the end of node_shifts (" +
                                     std::to_string(count) + " entries)");
                }
                if (child >= trie.node_chars.size() || !trie.node_chars[child]) {
                    return malformed("node " + std::to_string(child) + ", a child of node " +
                                     std::to_string(n) + ", has no character");
                }
                if (seen[child]) {
                    return malformed("the nodes do not form a tree: node " + std::to_string(child) +
                                     " is reached twice");
                }
                seen[child] = true;
                below.push_back(child);
            }
        }
        level.swap(below);
    }
    return stats;
}

}  // namespace

Store::Store(Trie arrays) : layout_(CompactTrie::build(arrays)) {
    if (!layout_ || !stands_for(*layout_, arrays)) {
        arrays_ = std::move(arrays);
    }
}

Store::Store(std::unique_ptr<const CompactTrie> layout) : layout_(std::move(layout)) {
    if (!layout_) {
        fault(unwrap_none_message);
    }
}

Store::~Store() = default;

const CompactTrie& Store::layout() const {
    if (!layout_) {
        fault(unwrap_none_message);
    }
    return *layout_;
}

HitList Store::fuzzy_match(std::u32string_view query, std::uint64_t max_dist,
                           std::optional<std::uint64_t> limit, CallerLock& lock) const {
    if (!layout_) {
        // The plain walk reads the given arrays and keeps the lock.
        Interrupt interrupt = lock.interrupt();
        return to_hits(morlatch::fuzzy_match(*arrays_, query, max_dist, limit, interrupt));
    }
    if (max_dist == 0) {
        // A path lookup: shorter than handing the lock over and back.
        Interrupt none;
        return layout_->search(query, max_dist, limit, none);
    }
    // The layout is read-only and outlives the call.
    const Unlocked unlocked(lock);
    Interrupt interrupt = lock.interrupt();
    return layout_->search(query, max_dist, limit, interrupt);
}

std::optional<Match> Store::exact_match(std::u32string_view query, CallerLock& lock) const {
    if (!layout_) {
        Interrupt interrupt = lock.interrupt();
        return morlatch::exact_match(*arrays_, query, interrupt);
    }
    return layout_->exact_match(query);
}

std::vector<Child> Store::get_children(NodeId node) const {
    if (arrays_) {
        return arrays_->get_children(node);
    }
    if (node >= layout_->node_count()) {
        fault(index_out_of_bounds_message(layout_->node_count(), node));
    }
    std::vector<Child> children;
    for (NodeId c = layout_->first_child(node); c < layout_->end_child(node); ++c) {
        children.push_back(Child{layout_->label(c), c});
    }
    return children;
}

std::optional<Payload> Store::get_payload(NodeId node) const {
    if (arrays_) {
        return arrays_->get_payload(node);
    }
    if (node >= layout_->node_count()) {
        fault(index_out_of_bounds_message(layout_->node_count(), node));
    }
    return LayoutArrays(*layout_).node_payloads[node];
}

std::size_t Store::encoded_size() const {
    return arrays_ ? format::encoded_size(*arrays_) : format::encoded_size(LayoutArrays(*layout_));
}

void Store::encode_into(std::span<std::uint8_t> out) const {
    if (arrays_) {
        format::encode_into(*arrays_, out);
    } else {
        format::encode_into(LayoutArrays(*layout_), out);
    }
}

void Store::encode_in_pieces(std::size_t piece, Emit emit, void* context) const {
    auto each = [&](std::span<const std::uint8_t> bytes) { emit(context, bytes); };
    if (arrays_) {
        format::encode_in_pieces(*arrays_, piece, each);
    } else {
        format::encode_in_pieces(LayoutArrays(*layout_), piece, each);
    }
}

std::size_t Store::key_count() const {
    return layout().key_count();
}

StoreInfo Store::info() const {
    const CompactTrie& compact = layout();
    std::size_t array_bytes = 0;
    if (arrays_) {
        array_bytes = arrays_->node_shifts.capacity() * sizeof(arrays_->node_shifts[0]) +
                      arrays_->node_chars.capacity() * sizeof(arrays_->node_chars[0]) +
                      arrays_->node_payloads.capacity() * sizeof(arrays_->node_payloads[0]) +
                      arrays_->child_indices.capacity() * sizeof(arrays_->child_indices[0]);
    }
    StoreInfo info;
    info.nodes = compact.node_count();
    info.keys = compact.key_count();
    info.bytes = sizeof(*this) + array_bytes + compact.memory_bytes();
    info.arrays_kept = arrays_.has_value();
    info.borrowed = compact.borrowed();
    info.reverse_index_built = compact.reverse_index_built();
    info.reverse_index_seconds = compact.reverse_index_build_seconds();
    return info;
}

std::vector<Match> Store::ranked_search(std::u32string_view query, const RankedOptions& options,
                                        Interrupt& interrupt) const {
    return morlatch::ranked_search(layout(), query, options, interrupt);
}

std::vector<Match> Store::complete(std::u32string_view prefix, const RankedOptions& options,
                                   Interrupt& interrupt) const {
    return morlatch::complete(layout(), prefix, options, interrupt);
}

std::unique_ptr<KeyCursor> Store::keys(std::u32string_view prefix) const {
    return std::make_unique<KeyCursor>(layout(), prefix);
}

std::span<const std::uint8_t> Store::layout_nodes() const {
    return layout().image_bytes();
}

std::optional<std::span<const std::uint8_t>> Store::reverse_nodes() const {
    const ReverseIndex* reverse = layout().reverse_index();
    if (reverse == nullptr) {
        return std::nullopt;
    }
    return reverse->image_bytes();
}

StoreStats Store::stats() const {
    return layout_ ? stats_of(*layout_) : stats_of(*arrays_);
}

}  // namespace morlatch
