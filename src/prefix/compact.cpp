#include "prefix/compact.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "prefix/builder.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace morlatch {
namespace {

using Node = CompactTrie::Node;

// The child range of `node` exactly as the plain walk reads it; false when
// that reading would fault.
bool child_range(const Trie& trie, NodeId node, std::uint32_t& start, std::uint32_t& end) {
    if (node >= trie.node_shifts.size()) {
        return false;
    }
    start = trie.node_shifts[node];
    const std::uint32_t next = node + 1;
    end = next >= static_cast<std::uint32_t>(trie.node_shifts.size())
              ? static_cast<std::uint32_t>(trie.child_indices.size())
              : trie.node_shifts[next];
    if (start >= end) {
        start = end = 0;
        return true;
    }
    return end <= trie.child_indices.size();
}

}  // namespace

void release_free_memory() noexcept {
#if defined(__GLIBC__)
    // The builds free large temporaries; once glibc has raised its mapping
    // threshold it keeps such blocks in the heap, where they would count
    // as resident for as long as the process lives.
    malloc_trim(0);
#endif
}

std::unique_ptr<CompactTrie> CompactTrie::build(const Trie& trie) {
    const std::size_t count = trie.node_payloads.size();
    if (count == 0 || count >= 0xFFFFFFFFu) {
        return nullptr;
    }
    std::unique_ptr<CompactTrie> compact(new CompactTrie());
    std::vector<Node>& nodes = compact->nodes_;
    // Old ids in level order; a node's new id is its position here.
    std::vector<NodeId> order;
    order.reserve(count);
    order.push_back(0);
    std::vector<bool> seen(count);
    seen[0] = true;
    nodes.reserve(count + 1);
    for (std::size_t position = 0; position < order.size(); ++position) {
        const NodeId old = order[position];
        std::uint32_t start = 0;
        std::uint32_t end = 0;
        if (!child_range(trie, old, start, end)) {
            return nullptr;
        }
        Node node{};
        node.label = position == 0 ? 0 : *trie.node_chars[old];
        node.first_child = static_cast<NodeId>(order.size());
        if (const std::optional<Payload>& payload = trie.node_payloads[old]) {
            node.payload = *payload;
            node.flags = kIsKey;
            ++compact->key_count_;
        }
        nodes.push_back(node);
        for (std::uint32_t i = start; i < end; ++i) {
            const NodeId child = trie.child_indices[i];
            // In range for every per-node list, labelled, entered once, and
            // after its elder sibling in code-point order.
            if (child >= count || child >= trie.node_chars.size() || !trie.node_chars[child] ||
                seen[child]) {
                return nullptr;
            }
            if (i > start &&
                *trie.node_chars[child] <= *trie.node_chars[trie.child_indices[i - 1]]) {
                return nullptr;
            }
            seen[child] = true;
            order.push_back(child);
        }
    }
    nodes.push_back(Node{0, static_cast<NodeId>(nodes.size()), 0, 0, 0, 0, 0});
    nodes.shrink_to_fit();
    compute_key_lengths(nodes);
    {
        // Parents come before their children in level order.
        std::vector<std::uint32_t> depth(nodes.size() - 1);
        for (std::size_t v = 0; v + 1 < nodes.size(); ++v) {
            for (NodeId c = nodes[v].first_child; c < nodes[v + 1].first_child; ++c) {
                depth[c] = depth[v] + 1;
            }
            if (nodes[v].flags & kIsKey) {
                compact->total_key_length_ += depth[v];
            }
        }
    }
    return compact;
}

CompactTrie::~CompactTrie() = default;

bool CompactTrie::reproduces(const Trie& trie) const {
    const std::size_t count = node_count();
    if (trie.node_shifts.size() != count || trie.node_chars.size() != count ||
        trie.node_payloads.size() != count || trie.child_indices.size() + 1 != count ||
        trie.node_chars[0]) {
        return false;
    }
    for (std::size_t i = 0; i < trie.child_indices.size(); ++i) {
        if (trie.child_indices[i] != i + 1) {
            return false;
        }
    }
    for (NodeId v = 0; v < count; ++v) {
        const std::optional<Payload>& given = trie.node_payloads[v];
        const bool same_payload =
            given.has_value() == is_key(v) && (!given || *given == nodes_[v].payload);
        if (trie.node_shifts[v] != nodes_[v].first_child - 1 || !same_payload ||
            (v != kRoot && trie.node_chars[v] != label(v))) {
            return false;
        }
    }
    return true;
}

Trie CompactTrie::to_trie() const {
    const std::size_t count = node_count();
    Trie trie;
    trie.node_shifts.resize(count);
    trie.node_chars.resize(count);
    trie.node_payloads.resize(count);
    trie.child_indices.resize(count - 1);
    for (NodeId v = 0; v < count; ++v) {
        trie.node_shifts[v] = nodes_[v].first_child - 1;
        if (v != kRoot) {
            trie.node_chars[v] = label(v);
            trie.child_indices[v - 1] = v;
        }
        if (is_key(v)) {
            trie.node_payloads[v] = nodes_[v].payload;
        }
    }
    return trie;
}

std::vector<Child> CompactTrie::get_children(NodeId n) const {
    if (n >= node_count()) {
        fault(index_out_of_bounds_message(node_count(), n));
    }
    std::vector<Child> children;
    for (NodeId c = first_child(n); c < end_child(n); ++c) {
        children.push_back(Child{label(c), c});
    }
    return children;
}

std::optional<Payload> CompactTrie::get_payload(NodeId n) const {
    if (n >= node_count()) {
        fault(index_out_of_bounds_message(node_count(), n));
    }
    return is_key(n) ? std::optional<Payload>(payload(n)) : std::nullopt;
}

std::optional<NodeId> CompactTrie::child(NodeId node, char32_t ch) const noexcept {
    const Node* first = nodes_.data() + nodes_[node].first_child;
    const Node* last = nodes_.data() + end_of_children(node);
    const Node* it =
        std::lower_bound(first, last, ch, [](const Node& n, char32_t c) { return n.label < c; });
    if (it == last || it->label != ch) {
        return std::nullopt;
    }
    return static_cast<NodeId>(it - nodes_.data());
}

std::optional<NodeId> CompactTrie::find(std::u32string_view text) const noexcept {
    NodeId node = kRoot;
    for (const char32_t ch : text) {
        const std::optional<NodeId> next = child(node, ch);
        if (!next) {
            return std::nullopt;
        }
        node = *next;
    }
    return node;
}

std::optional<Match> CompactTrie::exact_match(std::u32string_view query) const {
    const std::optional<NodeId> node = find(query);
    if (!node || *node == kRoot || !is_key(*node)) {
        return std::nullopt;
    }
    return Match{std::u32string(query), payload(*node), 0};
}

std::size_t CompactTrie::memory_bytes() const noexcept {
    std::size_t bytes = sizeof(*this) + nodes_.capacity() * sizeof(Node);
    if (reverse_index_built()) {
        bytes += sizeof(ReverseIndex) + reverse_->memory_bytes();
    }
    return bytes;
}

bool CompactTrie::reverse_index_built() const noexcept {
    return reverse_ready_.load(std::memory_order_acquire);
}

double CompactTrie::reverse_index_build_seconds() const noexcept {
    return reverse_index_built() ? reverse_seconds_ : 0.0;
}

const ReverseIndex& CompactTrie::reverse_index() const {
    std::call_once(reverse_once_, [this] {
        const auto started = std::chrono::steady_clock::now();
        auto index = std::make_unique<ReverseIndex>(*this);
        reverse_seconds_ =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        reverse_ = std::move(index);
        reverse_ready_.store(true, std::memory_order_release);
        release_free_memory();
    });
    return *reverse_;
}

ReverseIndex::ReverseIndex(const CompactTrie& forward) {
    // Every key, reversed, with the id of its node in the forward trie as
    // its payload, laid out by the one builder.
    KeyList keys;
    keys.reserve(forward.key_count(), forward.total_key_length_);
    std::u32string path;
    struct Frame {
        NodeId node;
        std::uint32_t depth;
    };
    std::vector<Frame> stack{{CompactTrie::kRoot, 0}};
    while (!stack.empty()) {
        const Frame frame = stack.back();
        stack.pop_back();
        path.resize(frame.depth);
        if (frame.node != CompactTrie::kRoot) {
            path.push_back(forward.label(frame.node));
            if (forward.is_key(frame.node) && !keys.add(path.rbegin(), path.rend(), frame.node)) {
                fault("a label is not a code point");
            }
        }
        const auto depth = static_cast<std::uint32_t>(path.size());
        for (NodeId c = forward.first_child(frame.node); c < forward.end_child(frame.node); ++c) {
            stack.push_back(Frame{c, depth});
        }
    }
    Interrupt none;
    nodes_ = lay_out(std::move(keys), none).nodes;
}

}  // namespace morlatch
