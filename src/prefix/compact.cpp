#include "prefix/compact.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>

#include "prefix/builder.hpp"

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

std::unique_ptr<CompactTrie> CompactTrie::build(const Trie& trie) {
    const std::size_t count = trie.node_payloads.size();
    if (count == 0 || count >= 0xFFFFFFFFu) {
        return nullptr;
    }
    std::vector<Node> nodes;
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
    return from_nodes(std::move(nodes));
}

std::unique_ptr<CompactTrie> CompactTrie::from_nodes(std::vector<Node> nodes) {
    std::unique_ptr<CompactTrie> compact(new CompactTrie());
    nodes.shrink_to_fit();
    compute_key_lengths(nodes);
    compact->nodes_ = NodeArray(std::move(nodes));
    const NodeArray& all = compact->nodes_;
    // Parents come before their children in level order.
    std::vector<std::uint32_t> depth(all.size() - 1);
    for (std::size_t v = 0; v + 1 < all.size(); ++v) {
        for (NodeId c = all[v].first_child; c < all[v + 1].first_child; ++c) {
            depth[c] = depth[v] + 1;
        }
        if (all[v].flags & kIsKey) {
            ++compact->key_count_;
            compact->total_key_length_ += depth[v];
        }
    }
    return compact;
}

std::unique_ptr<CompactTrie> CompactTrie::from_checked(NodeArray nodes, std::size_t key_count,
                                                       std::uint64_t total_key_length,
                                                       std::unique_ptr<ReverseIndex> reverse) {
    std::unique_ptr<CompactTrie> compact(new CompactTrie());
    compact->nodes_ = std::move(nodes);
    compact->key_count_ = key_count;
    compact->total_key_length_ = total_key_length;
    if (reverse) {
        compact->reverse_.adopt(std::move(reverse));
    }
    return compact;
}

CompactTrie::~CompactTrie() = default;

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
    const std::optional<NodeId> node = find_key(query);
    if (!node) {
        return std::nullopt;
    }
    return Match{std::u32string(query), payload(*node), 0};
}

std::size_t CompactTrie::memory_bytes() const noexcept {
    return sizeof(*this) + nodes_.owned_bytes() + reverse_.memory_bytes();
}

LazyReverseIndex::LazyReverseIndex() noexcept = default;
LazyReverseIndex::~LazyReverseIndex() = default;

const ReverseIndex* LazyReverseIndex::get(const CompactTrie& forward, Interrupt& interrupt) const {
    State state = state_.load(std::memory_order_acquire);
    if (state == State::undecided) {
        const std::lock_guard<std::mutex> lock(mutex_);
        state = state_.load(std::memory_order_relaxed);
        if (state == State::undecided) {
            const auto started = std::chrono::steady_clock::now();
            std::unique_ptr<ReverseIndex> index =
                ReverseIndex::build(forward, kMaxGrowth * forward.node_count(), interrupt);
            seconds_ =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            index_ = std::move(index);
            state = index_ ? State::built : State::refused;
            state_.store(state, std::memory_order_release);
        }
    }
    return state == State::built ? index_.get() : nullptr;
}

void LazyReverseIndex::adopt(std::unique_ptr<ReverseIndex> index) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (state_.load(std::memory_order_relaxed) == State::undecided) {
        index_ = std::move(index);
        state_.store(State::built, std::memory_order_release);
    }
}

std::size_t LazyReverseIndex::memory_bytes() const noexcept {
    return built() ? sizeof(ReverseIndex) + index_->memory_bytes() : 0;
}

std::unique_ptr<ReverseIndex> ReverseIndex::build(const CompactTrie& forward,
                                                  std::uint64_t max_nodes, Interrupt& interrupt) {
    if (forward.total_key_length() > kMaxTextPerNode * forward.node_count()) {
        return nullptr;
    }
    // Every key, reversed, with the id of its node in the forward trie as
    // its payload.
    KeyList keys;
    keys.reserve(forward.key_count(), forward.total_key_length());
    std::u32string path;
    struct Frame {
        NodeId node;
        std::uint32_t depth;
    };
    std::vector<Frame> stack{{CompactTrie::kRoot, 0}};
    while (!stack.empty()) {
        const Frame frame = stack.back();
        stack.pop_back();
        interrupt.tick();
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
    std::vector<Frame>().swap(stack);
    std::optional<LevelOrder> layout = lay_out_within(std::move(keys), max_nodes, interrupt);
    if (!layout) {
        return nullptr;
    }
    return std::make_unique<ReverseIndex>(NodeArray(std::move(layout->nodes)));
}

}  // namespace morlatch
