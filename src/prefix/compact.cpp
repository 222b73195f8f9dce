#include "prefix/compact.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

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

// Fills in the key lengths below every node. Children have larger ids than
// their parent in level order, so one backward pass sees them first.
void compute_lengths(std::vector<Node>& nodes) {
    const std::size_t count = nodes.size() - 1;
    for (std::size_t v = count; v-- > 0;) {
        lengths_from_children(nodes.data(), static_cast<NodeId>(v), nodes[v].shortest,
                              nodes[v].longest);
    }
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
    compute_lengths(nodes);
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

std::size_t CompactTrie::memory_bytes() const noexcept {
    return sizeof(*this) + nodes_.owned_bytes() + reverse_.memory_bytes();
}

LazyReverseIndex::LazyReverseIndex() noexcept = default;
LazyReverseIndex::~LazyReverseIndex() = default;

const ReverseIndex& LazyReverseIndex::get(const CompactTrie& forward) const {
    std::call_once(once_, [&] {
        const auto started = std::chrono::steady_clock::now();
        auto index = std::make_unique<ReverseIndex>(forward);
        seconds_ =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        index_ = std::move(index);
        ready_.store(true, std::memory_order_release);
    });
    return *index_;
}

void LazyReverseIndex::adopt(std::unique_ptr<ReverseIndex> index) {
    std::call_once(once_, [&] {
        index_ = std::move(index);
        ready_.store(true, std::memory_order_release);
    });
}

std::size_t LazyReverseIndex::memory_bytes() const noexcept {
    return built() ? sizeof(ReverseIndex) + index_->memory_bytes() : 0;
}

namespace {

// One reversed key: its characters are text[offset, offset + length).
struct Entry {
    std::uint64_t head;  // the next three characters from `depth` on, packed
    std::uint32_t offset;
    std::uint32_t length;
    NodeId node;
};

// Three characters, each plus one (0 marks the end of the key) in 21 bits,
// compare as the key's characters from `depth` on do.
std::uint64_t pack_head(const char32_t* chars, const Entry& entry, std::uint32_t depth) {
    std::uint64_t head = 0;
    for (std::uint32_t i = depth; i < depth + 3; ++i) {
        head <<= 21;
        if (i < entry.length) {
            head |= static_cast<std::uint64_t>(chars[entry.offset + i]) + 1;
        }
    }
    return head;
}

// Sorts entries[begin, end) by head: least significant digit first, 16 bits
// a pass, for long runs (a few sequential passes instead of a comparison sort's
// scattered reads); short runs by comparison.
void sort_by_head(std::vector<Entry>& entries, std::size_t begin, std::size_t end,
                  std::vector<Entry>& scratch) {
    const auto first = entries.begin() + static_cast<std::ptrdiff_t>(begin);
    const auto last = entries.begin() + static_cast<std::ptrdiff_t>(end);
    if (end - begin < 1024) {
        std::sort(first, last, [](const Entry& a, const Entry& b) { return a.head < b.head; });
        return;
    }
    scratch.resize(end - begin);
    std::vector<std::size_t> counts(1 << 16);
    Entry* from = &*first;
    Entry* to = scratch.data();
    for (int shift = 0; shift < 64; shift += 16) {
        std::fill(counts.begin(), counts.end(), 0);
        for (std::size_t i = 0; i < end - begin; ++i) {
            ++counts[(from[i].head >> shift) & 0xFFFF];
        }
        std::size_t total = 0;
        for (std::size_t& count : counts) {
            total += std::exchange(count, total);
        }
        for (std::size_t i = 0; i < end - begin; ++i) {
            to[counts[(from[i].head >> shift) & 0xFFFF]++] = from[i];
        }
        std::swap(from, to);
    }
    // Four passes: the sorted entries are back where they started.
}

// Sorts the keys three characters at a time: each round compares packed
// heads in the entries themselves, and only runs of equal heads go on to
// read their next characters. Keys are distinct, so a run ends once its
// keys end.
void sort_reversed_keys(std::vector<Entry>& entries, const char32_t* chars) {
    struct Run {
        std::size_t begin;
        std::size_t end;
        std::uint32_t depth;
    };
    std::vector<Run> runs{{0, entries.size(), 0}};
    std::vector<Entry> scratch;
    while (!runs.empty()) {
        const Run run = runs.back();
        runs.pop_back();
        for (std::size_t i = run.begin; i < run.end; ++i) {
            entries[i].head = pack_head(chars, entries[i], run.depth);
        }
        sort_by_head(entries, run.begin, run.end, scratch);
        for (std::size_t i = run.begin; i < run.end;) {
            std::size_t j = i + 1;
            while (j < run.end && entries[j].head == entries[i].head) {
                ++j;
            }
            // Equal heads whose last character is not the end go deeper.
            if (j - i > 1 && (entries[i].head & 0x1FFFFF) != 0) {
                runs.push_back(Run{i, j, run.depth + 3});
            }
            i = j;
        }
    }
}

}  // namespace

ReverseIndex::ReverseIndex(const CompactTrie& forward) {
    // Every key, reversed, one after the other in `text`.
    std::vector<char32_t> text;
    std::vector<Entry> entries;
    entries.reserve(forward.key_count());
    {
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
                if (forward.is_key(frame.node)) {
                    entries.push_back(Entry{0, static_cast<std::uint32_t>(text.size()),
                                            static_cast<std::uint32_t>(path.size()), frame.node});
                    text.insert(text.end(), path.rbegin(), path.rend());
                }
            }
            const std::uint32_t depth = static_cast<std::uint32_t>(path.size());
            for (NodeId c = forward.first_child(frame.node); c < forward.end_child(frame.node);
                 ++c) {
                stack.push_back(Frame{c, depth});
            }
        }
    }
    sort_reversed_keys(entries, text.data());
    // The level-order pass below reads every key once per level; with the
    // keys rewritten in sorted order, those reads stream through memory.
    {
        std::vector<char32_t> sorted;
        sorted.reserve(text.size());
        for (Entry& entry : entries) {
            const std::uint32_t offset = static_cast<std::uint32_t>(sorted.size());
            sorted.insert(sorted.end(), text.begin() + entry.offset,
                          text.begin() + entry.offset + entry.length);
            entry.offset = offset;
        }
        text.swap(sorted);
    }
    const char32_t* chars = text.data();

    // Level order over ranges of sorted entries that share a prefix.
    struct Range {
        std::uint32_t begin;
        std::uint32_t end;
        std::uint32_t depth;
    };
    // One node per key character not shared with the key sorted before it,
    // the root, and the closing entry.
    std::size_t node_count = 1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::uint32_t common = 0;
        if (i > 0) {
            const Entry& a = entries[i - 1];
            const Entry& b = entries[i];
            while (common < a.length && common < b.length &&
                   chars[a.offset + common] == chars[b.offset + common]) {
                ++common;
            }
        }
        node_count += entries[i].length - common;
    }
    std::vector<Range> queue{{0, static_cast<std::uint32_t>(entries.size()), 0}};
    queue.reserve(node_count);
    std::vector<CompactTrie::Node> nodes;
    nodes.reserve(node_count + 1);
    nodes.push_back(CompactTrie::Node{});
    for (std::size_t position = 0; position < queue.size(); ++position) {
        Range range = queue[position];
        CompactTrie::Node& node = nodes[position];
        node.first_child = static_cast<NodeId>(queue.size());
        if (range.begin < range.end && entries[range.begin].length == range.depth) {
            node.flags = CompactTrie::kIsKey;
            node.payload = entries[range.begin].node;
            ++range.begin;
        }
        std::uint32_t group = range.begin;
        while (group < range.end) {
            const char32_t ch = chars[entries[group].offset + range.depth];
            std::uint32_t next = group + 1;
            while (next < range.end && chars[entries[next].offset + range.depth] == ch) {
                ++next;
            }
            queue.push_back(Range{group, next, range.depth + 1});
            CompactTrie::Node child{};
            child.label = ch;
            nodes.push_back(child);
            group = next;
        }
    }
    nodes.push_back(CompactTrie::Node{0, static_cast<NodeId>(queue.size()), 0, 0, 0, 0, 0});
    compute_lengths(nodes);
    nodes_ = NodeArray(std::move(nodes));
}

}  // namespace morlatch
