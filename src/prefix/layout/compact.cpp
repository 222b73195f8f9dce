#include "prefix/layout/compact.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>

#include "prefix/layout/builder.hpp"
#include "prefix/layout/scratch.hpp"

namespace morlatch {
namespace {

using Node = LayoutNode;
constexpr std::uint8_t kIsKey = 1;

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

// The alphabet: which code points label a node below the root, in order,
// after the 0 of rank 0; `rank_of` then holds each one's rank. False when
// the labels do not fit ranks 1 to 255 (or are not all code points).
bool rank_labels(std::span<const Node> nodes, std::vector<char32_t>& alphabet,
                 ScratchVector<std::uint8_t>& rank_of) {
    for (std::size_t v = 1; v < nodes.size(); ++v) {
        if (nodes[v].label >= rank_of.size()) {
            return false;  // not a code point: kept as it is
        }
        rank_of[nodes[v].label] = 1;
    }
    for (char32_t ch = 0; ch < rank_of.size(); ++ch) {
        if (rank_of[ch] != 0) {
            alphabet.push_back(ch);
            if (alphabet.size() > records::kMaxRanks) {
                return false;
            }
            rank_of[ch] = static_cast<std::uint8_t>(alphabet.size() - 1);
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<CompactTrie> CompactTrie::build(const Trie& trie) {
    const std::size_t count = trie.node_payloads.size();
    if (count == 0 || count >= 0xFFFFFFFFu) {
        return nullptr;
    }
    std::vector<LayoutNode> nodes;
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
    compute_key_lengths(nodes);
    std::size_t key_count = 0;
    std::uint64_t total_key_length = 0;
    // Parents come before their children in level order.
    std::vector<std::uint32_t> depth(nodes.size() - 1);
    for (std::size_t v = 0; v + 1 < nodes.size(); ++v) {
        for (NodeId c = nodes[v].first_child; c < nodes[v + 1].first_child; ++c) {
            depth[c] = depth[v] + 1;
        }
        if (nodes[v].flags & kIsKey) {
            ++key_count;
            total_key_length += depth[v];
        }
    }
    std::vector<std::uint32_t>().swap(depth);
    return from_level_order(std::move(nodes), key_count, total_key_length);
}

std::unique_ptr<CompactTrie> CompactTrie::from_level_order(std::span<const Node> nodes,
                                                           std::size_t key_count,
                                                           std::uint64_t total_key_length) {
    std::unique_ptr<CompactTrie> compact(new CompactTrie());
    compact->adopt(NodeImage::pack(nodes, true, key_count, total_key_length));
    return compact;
}

std::unique_ptr<CompactTrie> CompactTrie::from_checked(NodeImage image,
                                                       std::unique_ptr<ReverseIndex> reverse) {
    std::unique_ptr<CompactTrie> compact(new CompactTrie());
    compact->adopt(std::move(image));
    if (reverse) {
        compact->reverse_.adopt(std::move(reverse));
    }
    return compact;
}

NodeImage::Plan NodeImage::plan(std::uint64_t nodes, std::uint32_t ranks, bool wide, bool payloads,
                                std::uint64_t keys) noexcept {
    // Array starts round up to 64 bytes.
    const auto next = [](std::size_t at) { return (at + 15) & ~std::size_t{15}; };
    Plan plan;
    plan.lines = static_cast<std::size_t>(nodes >> records::kLineShift) + 1;
    std::size_t at = kHeaderWords;
    plan.records = at;
    at = next(at + static_cast<std::size_t>(nodes) + 1);
    if (wide) {
        plan.labels = at;
        at = next(at + static_cast<std::size_t>(nodes) + 1);
        plan.first = at;
        at = next(at + static_cast<std::size_t>(nodes) + 1);
    } else {
        plan.alphabet = at;
        at = next(at + ranks);
        plan.line_base = at;
        at = next(at + plan.lines);
    }
    if (payloads) {
        plan.key_base = at;
        at = next(at + plan.lines);
        plan.payloads = at;
        at = next(at + static_cast<std::size_t>(keys));
    }
    plan.total = at;
    return plan;
}

NodeImage::NodeImage(std::vector<std::uint32_t> owned) : owned_(std::move(owned)), words_(owned_) {
    attach();
}

NodeImage::NodeImage(std::span<const std::uint32_t> borrowed, std::shared_ptr<const void> owner)
    : words_(borrowed), owner_(std::move(owner)), borrowed_(true) {
    attach();
}

void NodeImage::attach() {
    const std::uint32_t* w = words_.data();
    const Plan at = plan(node_count(), alphabet_size(), wide(), has_payloads(), key_count());
    view_ = NodeView{};
    view_.records = w + at.records;
    if (wide()) {
        view_.labels = reinterpret_cast<const char32_t*>(w + at.labels);
        view_.first = w + at.first;
    } else {
        view_.alphabet = reinterpret_cast<const char32_t*>(w + at.alphabet);
        view_.line_base = w + at.line_base;
        view_.ranks = alphabet_size();
        low_ranks_ = std::make_unique<std::uint8_t[]>(records::kMaxRanks);
        for (std::uint32_t r = 1; r < view_.ranks; ++r) {
            if (view_.alphabet[r] < records::kMaxRanks) {
                low_ranks_[view_.alphabet[r]] = static_cast<std::uint8_t>(r);
            }
        }
        view_.low_ranks = low_ranks_.get();
    }
    if (has_payloads()) {
        view_.key_base = w + at.key_base;
        view_.payloads = w + at.payloads;
    }
}

NodeImage NodeImage::pack(std::span<const Node> nodes, bool payloads, std::size_t key_count,
                          std::uint64_t total_key_length) {
    const std::size_t n = nodes.size() - 1;
    std::vector<char32_t> alphabet{0};
    ScratchVector<std::uint8_t> rank_of(0x110000);
    const bool wide = !rank_labels(nodes.first(n), alphabet, rank_of);
    const Plan at =
        plan(n, wide ? 0 : static_cast<std::uint32_t>(alphabet.size()), wide, payloads, key_count);
    std::vector<std::uint32_t> words(at.total);
    words[0] = kTag;
    words[1] = static_cast<std::uint32_t>(n);
    words[2] = wide ? 0 : static_cast<std::uint32_t>(alphabet.size());
    words[3] = (wide ? kWide : 0) | (payloads ? kPayloads : 0);
    // A reverse index keeps its figures all the same.
    words[4] = static_cast<std::uint32_t>(key_count);
    words[6] = static_cast<std::uint32_t>(total_key_length);
    words[7] = static_cast<std::uint32_t>(total_key_length >> 32);
    const auto cap = [](std::uint8_t length) {
        return std::min<std::uint32_t>(length, records::kLengthMask);
    };
    std::uint32_t keys_before = 0;
    for (std::size_t v = 0; v <= n; ++v) {
        const Node& node = nodes[v];
        const std::size_t line = v >> records::kLineShift;
        if ((v & (records::kLine - 1)) == 0) {
            if (!wide) {
                words[at.line_base + line] = node.first_child;
            }
            if (payloads) {
                words[at.key_base + line] = keys_before;
            }
        }
        const bool key = v < n && (node.flags & kIsKey) != 0;
        std::uint32_t rank = 0;
        std::uint32_t prefix = 0;
        if (wide) {
            words[at.labels + v] = v == 0 || v == n ? 0 : node.label;
            words[at.first + v] = node.first_child;
        } else {
            if (v != 0 && v != n) {
                rank = rank_of[node.label];
            }
            prefix = node.first_child - words[at.line_base + line];
        }
        // The closing record: shortest 0, longest 0.
        const std::uint32_t shortest = v == n ? 0
                                       : key  ? 0
                                              : std::max<std::uint32_t>(cap(node.shortest), 1);
        const std::uint32_t longest = v == n ? 0 : cap(node.longest);
        words[at.records + v] = records::make(rank, prefix, shortest, longest);
        if (key) {
            if (payloads) {
                words[at.payloads + keys_before] = node.payload;
            }
            ++keys_before;
        }
    }
    if (!wide) {
        std::copy(alphabet.begin(), alphabet.end(),
                  words.begin() + static_cast<std::ptrdiff_t>(at.alphabet));
    }
    return NodeImage(std::move(words));
}

CompactTrie::~CompactTrie() = default;

std::optional<NodeId> CompactTrie::find(std::u32string_view text) const noexcept {
    const NodeView view = view_;  // in registers, whatever the stores alias
    NodeId node = kRoot;
    for (const char32_t ch : text) {
        node = view.child(node, ch);
        if (node == kNoNode) {
            return std::nullopt;
        }
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
    return sizeof(*this) + image_.owned_bytes() + reverse_.memory_bytes();
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
    // Every key, reversed; the forward layout has the payloads.
    KeyList keys;
    keys.reserve(forward.key_count(), forward.total_key_length());
    std::u32string path;
    struct Frame {
        NodeId node;
        std::uint32_t depth;
    };
    ScratchVector<Frame> stack{{CompactTrie::kRoot, 0}};
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
    ScratchVector<Frame>().swap(stack);
    std::optional<LevelOrder> layout = lay_out_within(std::move(keys), max_nodes, interrupt);
    if (!layout) {
        return nullptr;
    }
    NodeImage image =
        NodeImage::pack(layout->nodes, false, layout->key_count, layout->total_key_length);
    ScratchVector<LayoutNode>().swap(layout->nodes);
    return std::make_unique<ReverseIndex>(std::move(image));
}

}  // namespace morlatch
