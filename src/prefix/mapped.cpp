#include "prefix/mapped.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <future>
#include <system_error>
#include <utility>
#include <vector>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace morlatch {
namespace {

// The records are read in place, so the host must share the file's byte order.
static_assert(std::endian::native == std::endian::little,
              "stored layouts are little-endian; this host would need a converting reader");

using Node = LayoutNode;
constexpr std::uint8_t kIsKey = 1;

constexpr std::uint64_t kLabelAt = offsetof(Node, label);
constexpr std::uint64_t kFirstChildAt = offsetof(Node, first_child);
constexpr std::uint64_t kPayloadAt = offsetof(Node, payload);
constexpr std::uint64_t kFlagsAt = offsetof(Node, flags);
constexpr std::uint64_t kShortestAt = offsetof(Node, shortest);
constexpr std::uint64_t kReservedAt = offsetof(Node, reserved);

bool is_scalar_value(char32_t ch) {
    return ch <= 0x10FFFF && (ch < 0xD800 || ch > 0xDFFF);
}

// The figures a checked array of 16-byte records yields.
struct Checked {
    std::vector<Node> copy;  // when the records are not aligned
    std::span<const Node> nodes;
    std::size_t key_count = 0;
    std::uint64_t total_key_length = 0;
};

// The checks of the 16-byte records of older files.
class Checker {
public:
    // A reverse index's checker keeps its keys' payloads (forward node ids)
    // for check_names_forward_keys.
    Checker(const char* name, StoredNodes stored, bool reverse)
        : name_(name), stored_(stored), reverse_(reverse) {}

    std::optional<LayoutProblem> problem;

    // The records, read in place when aligned, copied when not.
    std::optional<Checked> check() {
        const std::size_t size = stored_.bytes.size();
        if (size % sizeof(Node) != 0) {
            return fail("its " + std::to_string(size) + " bytes are not a whole number of " +
                            std::to_string(sizeof(Node)) + "-byte nodes",
                        size - size % sizeof(Node));
        }
        const std::size_t records = size / sizeof(Node);
        if (records < 2) {
            return fail("it needs at least the root and the closing node, not " +
                            std::to_string(records) + " records",
                        0);
        }
        if (records - 1 >= 0xFFFFFFFFu) {
            return fail("too many nodes for 32-bit ids", 0);
        }
        Checked checked;
        if (reinterpret_cast<std::uintptr_t>(stored_.bytes.data()) % alignof(Node) == 0) {
            checked.nodes =
                std::span<const Node>(reinterpret_cast<const Node*>(stored_.bytes.data()), records);
        } else {
            checked.copy.resize(records);
            std::memcpy(checked.copy.data(), stored_.bytes.data(), size);
            checked.nodes = checked.copy;
        }
        if (!check_nodes(checked.nodes.data(), records - 1, checked)) {
            return std::nullopt;
        }
        return checked;
    }

    // A reverse index's keys name forward key nodes other than the root,
    // each once; with as many keys on both sides, every one is named.
    bool check_names_forward_keys(const std::vector<bool>& forward_keys,
                                  std::size_t forward_key_count) {
        std::vector<bool> named(forward_keys.size());
        for (const Name& name : names_) {
            if (name.forward >= forward_keys.size() || !forward_keys[name.forward]) {
                return fail_at(name.node, kPayloadAt,
                               "reverse key node " + std::to_string(name.node) + " names node " +
                                   std::to_string(name.forward) + ", not a key of the layout");
            }
            if (named[name.forward]) {
                return fail_at(name.node, kPayloadAt,
                               "reverse key node " + std::to_string(name.node) + " names node " +
                                   std::to_string(name.forward) + " a second time");
            }
            named[name.forward] = true;
        }
        if (names_.size() != forward_key_count) {
            fail("it holds " + std::to_string(names_.size()) + " keys, the layout " +
                     std::to_string(forward_key_count),
                 0);
            return false;
        }
        return true;
    }

    std::nullopt_t fail(std::string what, std::uint64_t at) {
        problem = LayoutProblem{
            "the '" + std::string(name_) + "' section is not a search layout: " + std::move(what),
            stored_.offset + at};
        return std::nullopt;
    }

    std::uint64_t at(std::size_t node, std::uint64_t field) const {
        return node * sizeof(Node) + field;
    }

    // Which nodes are keys, as found by check(): what the reverse index's
    // payloads are checked against without reading the nodes again.
    std::vector<bool> keys;

private:
    // One pass, in id order. Each node's own fields and child range are
    // checked before anything reads its children; the key lengths are
    // checked locally (each node's against what its children store), which
    // over all nodes makes every stored figure the true one. Depths follow
    // the levels: at the first node of a level, the next level ends where
    // that node's children start.
    bool check_nodes(const Node* nodes, std::size_t n, Checked& checked) {
        const Node& close = nodes[n];
        if (close.first_child != n) {
            fail("the closing node's first_child is " + std::to_string(close.first_child) +
                     ", not the node count " + std::to_string(n),
                 at(n, kFirstChildAt));
            return false;
        }
        if (close.label != 0 || close.payload != 0 || close.flags != 0 || close.shortest != 0 ||
            close.longest != 0 || close.reserved != 0) {
            fail("the closing node holds more than the node count", at(n, kLabelAt));
            return false;
        }
        if (nodes[0].label != 0) {
            fail("the root has a label", at(0, kLabelAt));
            return false;
        }
        if (nodes[0].first_child != 1) {
            fail("the root's children start at " + std::to_string(nodes[0].first_child) + ", not 1",
                 at(0, kFirstChildAt));
            return false;
        }
        if (!reverse_) {
            keys.assign(n, false);
        } else {
            names_.reserve(n / 2);
        }
        std::uint64_t depth = 0;
        std::size_t level_end = 1;
        for (std::size_t v = 0; v < n; ++v) {
            const Node& node = nodes[v];
            const NodeId first = node.first_child;
            const NodeId end = nodes[v + 1].first_child;
            // first > v puts every child after its parent; with ranges that
            // never decrease, from 1 to n, each node has exactly one parent.
            if (first <= v) {
                return fail_at(v, kFirstChildAt,
                               "node " + std::to_string(v) + "'s children start at " +
                                   std::to_string(first) + ", not after it");
            }
            if (end < first || end > n) {
                return fail_at(v + 1, kFirstChildAt,
                               "node " + std::to_string(v + 1) + "'s children start at " +
                                   std::to_string(end) + ", not between those of node " +
                                   std::to_string(v) + " (" + std::to_string(first) +
                                   ") and the node count " + std::to_string(n));
            }
            if (v > 0 && !is_scalar_value(node.label)) {
                return fail_at(v, kLabelAt,
                               "node " + std::to_string(v) + "'s label " +
                                   std::to_string(node.label) + " is not a Unicode scalar value");
            }
            if (node.flags & ~kIsKey) {
                return fail_at(v, kFlagsAt,
                               "node " + std::to_string(v) + " has unknown flags " +
                                   std::to_string(node.flags));
            }
            if (node.reserved != 0) {
                return fail_at(v, kReservedAt,
                               "node " + std::to_string(v) + "'s reserved byte is not 0");
            }
            const bool is_key = node.flags & kIsKey;
            if (!is_key && node.payload != 0) {
                return fail_at(v, kPayloadAt,
                               "node " + std::to_string(v) + " is not a key but has a payload");
            }
            // One loop over the children: their order and the lengths below.
            std::uint8_t shortest = 0;
            std::uint8_t longest = 0;
            bool ascending = true;
            lengths_from_children(nodes, static_cast<NodeId>(v), shortest, longest, [&](NodeId c) {
                ascending &= c == first || nodes[c].label > nodes[c - 1].label;
            });
            if (!ascending) {
                NodeId c = first + 1;
                while (nodes[c].label > nodes[c - 1].label) {
                    ++c;
                }
                return fail_at(c, kLabelAt,
                               "node " + std::to_string(c) + "'s label " +
                                   std::to_string(nodes[c].label) +
                                   " does not follow its elder sibling's " +
                                   std::to_string(nodes[c - 1].label) + " in ascending order");
            }
            if (node.shortest != shortest || node.longest != longest) {
                return fail_at(v, kShortestAt,
                               "node " + std::to_string(v) + "'s key lengths below are " +
                                   std::to_string(node.shortest) + " to " +
                                   std::to_string(node.longest) + ", its children give " +
                                   std::to_string(shortest) + " to " + std::to_string(longest));
            }
            if (v == level_end) {
                ++depth;
                level_end = first;
            }
            if (is_key) {
                ++checked.key_count;
                checked.total_key_length += depth;
                if (reverse_) {
                    names_.push_back(Name{static_cast<NodeId>(v), node.payload});
                } else if (v != 0) {
                    keys[v] = true;  // the empty key has no reversed key
                }
            }
        }
        return true;
    }

    bool fail_at(std::size_t node, std::uint64_t field, std::string what) {
        fail(std::move(what), at(node, field));
        return false;
    }

    const char* name_;
    StoredNodes stored_;
    bool reverse_;
    struct Name {
        NodeId node;
        Payload forward;
    };
    std::vector<Name> names_;
};

// Scratch words for one check, mapped apart from the heap so that they go
// back to the system when the check ends (freed heap memory this large may
// stay with the process). Pages are touched only as far as they are used.
class Scratch {
public:
    explicit Scratch(std::size_t words) : bytes_(words * sizeof(std::uint64_t)) {
#if __has_include(<sys/mman.h>)
        if (bytes_ != 0) {
            void* at = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (at != MAP_FAILED) {
                data_ = static_cast<std::uint64_t*>(at);
                return;
            }
        }
#endif
        fallback_.resize(words);
        data_ = fallback_.data();
    }
    ~Scratch() {
#if __has_include(<sys/mman.h>)
        if (fallback_.empty() && data_ != nullptr) {
            munmap(data_, bytes_);
        }
#endif
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::uint64_t* data() noexcept {
        return data_;
    }

private:
    std::size_t bytes_;
    std::uint64_t* data_ = nullptr;
    std::vector<std::uint64_t> fallback_;
};

// Mixes a key's polynomial hash so that the sum over keys tells key sets
// apart (splitmix64's finalizer).
std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}
constexpr std::uint64_t kHashBase = 0x9E3779B97F4A7C15u;

// The checks of a packed image (NodeImage).
class ImageChecker {
public:
    // `hash`: sum the keys' hashes (forward: of the path, reverse: of the
    // path read backwards) to compare the two sides.
    ImageChecker(const char* name, StoredNodes stored, bool reverse, bool hash)
        : name_(name), stored_(stored), reverse_(reverse), hash_(hash) {}

    std::optional<LayoutProblem> problem;
    std::uint64_t key_hash = 0;

    std::nullopt_t fail(std::string what, std::uint64_t at) {
        problem = LayoutProblem{
            "the '" + std::string(name_) + "' section is not a search layout: " + std::move(what),
            stored_.offset + at};
        return std::nullopt;
    }

    std::optional<NodeImage> check(const std::shared_ptr<const void>& owner) {
        const std::size_t size = stored_.bytes.size();
        constexpr std::size_t kHeaderBytes = NodeImage::kHeaderWords * 4;
        if (size < kHeaderBytes) {
            return fail("its " + std::to_string(size) + " bytes are shorter than the " +
                            std::to_string(kHeaderBytes) + "-byte header",
                        0);
        }
        std::uint32_t head[NodeImage::kHeaderWords];
        std::memcpy(head, stored_.bytes.data(), sizeof head);
        if (head[0] != NodeImage::kTag) {
            return fail("it does not start with the tag of packed nodes", 0);
        }
        const std::uint64_t n = head[1];
        if (n == 0 || n >= 0xFFFFFFFFu) {
            return fail("its node count " + std::to_string(n) + " is not between 1 and 2**32 - 2",
                        4);
        }
        const std::uint32_t flags = head[3];
        const bool wide = (flags & NodeImage::kWide) != 0;
        const bool payloads = (flags & NodeImage::kPayloads) != 0;
        if ((flags & ~(NodeImage::kWide | NodeImage::kPayloads)) != 0 || payloads == reverse_) {
            return fail("its flags " + std::to_string(flags) + " are not those of " +
                            (reverse_ ? "a reverse index" : "a layout"),
                        12);
        }
        const std::uint32_t ranks = head[2];
        if (wide ? ranks != 0 : ranks == 0 || ranks > records::kMaxRanks) {
            return fail("its alphabet size " + std::to_string(ranks) + " is out of range", 8);
        }
        for (std::size_t i = 8; i < NodeImage::kHeaderWords; ++i) {
            if (head[i] != 0 && i != 6 && i != 7) {
                return fail("header word " + std::to_string(i) + " is not 0", i * 4);
            }
        }
        if (head[5] != 0) {
            return fail("header word 5 is not 0", 20);
        }
        const NodeImage::Plan plan = NodeImage::plan(n, ranks, wide, payloads, head[4]);
        if (size != plan.total * 4) {
            return fail("its " + std::to_string(size) + " bytes are not the " +
                            std::to_string(plan.total * 4) + " its header plans",
                        4);
        }
        NodeImage image;
        if (reinterpret_cast<std::uintptr_t>(stored_.bytes.data()) % 4 == 0) {
            image = NodeImage(
                std::span<const std::uint32_t>(
                    reinterpret_cast<const std::uint32_t*>(stored_.bytes.data()), plan.total),
                owner);
        } else {
            std::vector<std::uint32_t> copy(plan.total);
            std::memcpy(copy.data(), stored_.bytes.data(), size);
            image = NodeImage(std::move(copy));
        }
        if (!check_nodes(image.view(), n, ranks, plan, head)) {
            return std::nullopt;
        }
        return image;
    }

private:
    bool fail_at(std::size_t word, std::string what) {
        fail(std::move(what), word * 4);
        return false;
    }

    // One pass in id order, as for the older records; labels first.
    bool check_nodes(const NodeView& view, std::uint64_t n, std::uint32_t ranks,
                     const NodeImage::Plan& plan, const std::uint32_t* head) {
        if (!check_labels(view, n, ranks, plan)) {
            return false;
        }
        const std::uint32_t* records = view.records;
        const auto record_at = [&](std::size_t v) { return plan.records + v; };
        const auto first_at = [&](std::size_t v) {
            return plan.first != 0 ? plan.first + v : record_at(v);
        };
        if (view.first_child(static_cast<NodeId>(n)) != n) {
            return fail_at(first_at(n), "the closing record's first child is not the node count " +
                                            std::to_string(n));
        }
        if (records::rank(records[n]) != 0 || records::shortest(records[n]) != 0 ||
            records::longest(records[n]) != 0) {
            return fail_at(record_at(n), "the closing record holds more than its first child");
        }
        if (view.first_child(0) != 1) {
            return fail_at(first_at(0), "the root's children do not start at 1");
        }
        if (records::rank(records[0]) != 0) {
            return fail_at(record_at(0), "the root has a label");
        }
        if (reverse_ && view.is_key(0)) {
            return fail_at(record_at(0), "the root of a reverse index is a key");
        }
        const bool wide = plan.first != 0;
        if (wide) {
            return hash_ ? walk<true, true>(view, n, ranks, plan, head)
                         : walk<true, false>(view, n, ranks, plan, head);
        }
        return hash_ ? walk<false, true>(view, n, ranks, plan, head)
                     : walk<false, false>(view, n, ranks, plan, head);
    }

    // The pass over the nodes, for narrow or wide records, with or without
    // the keys' hashes: every node is the child of one node before it, so
    // each record is read once as a child (its rank, its lengths, its
    // place among its siblings) and once as a parent (its range, its own
    // lengths against its children's).
    template <bool Wide, bool Hash>
    bool walk(const NodeView& view, std::uint64_t n, std::uint32_t ranks,
              const NodeImage::Plan& plan, const std::uint32_t* head) {
        const std::uint32_t* const records = view.records;
        const std::uint32_t* const line_base = view.line_base;
        const NodeId* const firsts = view.first;
        const char32_t* const labels = view.labels;
        const char32_t* const alphabet = view.alphabet;
        const std::uint32_t* const key_base = view.key_base;
        const auto record_at = [&](std::size_t v) { return plan.records + v; };
        const auto first_at = [&](std::size_t v) { return Wide ? plan.first + v : record_at(v); };
        // In 64 bits: a sum that would wrap in 32 is out of range.
        const auto first_of = [&](std::size_t v) -> std::uint64_t {
            if constexpr (Wide) {
                return firsts[v];
            } else {
                return std::uint64_t{line_base[v >> records::kLineShift]} +
                       records::prefix(records[v]);
            }
        };
        constexpr std::uint8_t saturated = CompactTrie::kLengthSaturated;
        std::uint64_t keys = 0;
        std::uint64_t total = 0;
        std::uint64_t depth = 0;
        std::size_t level_end = 1;
        // The hashes of the paths to the nodes of this level and the next
        // (no level holds more than n nodes).
        Scratch scratch(Hash ? 2 * (n + 1) : 0);
        std::uint64_t* level = scratch.data();
        std::uint64_t* next = Hash ? level + n + 1 : nullptr;
        std::size_t level_size = 1;
        std::size_t next_size = 0;
        if constexpr (Hash) {
            level[0] = 0;
        }
        std::size_t level_start = 0;
        std::uint64_t power = 1;  // kHashBase ** depth
        std::uint64_t first = first_of(0);
        for (std::size_t v = 0; v < n; ++v) {
            if (key_base != nullptr && (v & (records::kLine - 1)) == 0 &&
                key_base[v >> records::kLineShift] != keys) [[unlikely]] {
                return bad_key_base(plan, view, v >> records::kLineShift, keys);
            }
            const std::uint32_t record = records[v];
            const std::uint64_t end = first_of(v + 1);
            if (first <= v) [[unlikely]] {
                return fail_at(first_at(v), "node " + std::to_string(v) + "'s children start at " +
                                                std::to_string(first) + ", not after it");
            }
            if (end < first || end > n) [[unlikely]] {
                return fail_at(first_at(v + 1),
                               "node " + std::to_string(v + 1) + "'s children start at " +
                                   std::to_string(end) + ", not between those of node " +
                                   std::to_string(v) + " (" + std::to_string(first) +
                                   ") and the node count " + std::to_string(n));
            }
            if (Wide && (record & 0xFFFFFu) != 0) [[unlikely]] {
                return fail_at(record_at(v), "node " + std::to_string(v) +
                                                 " of a wide layout has rank or prefix bits");
            }
            if (v == level_end) {
                ++depth;
                level_end = first;
                if constexpr (Hash) {
                    std::swap(level, next);
                    level_size = next_size;
                    next_size = 0;
                    power *= kHashBase;
                }
                level_start = v;
            }
            if (Hash && v - level_start >= level_size) [[unlikely]] {
                return fail_at(record_at(v),
                               "node " + std::to_string(v) + " is out of level order");
            }
            const std::uint64_t hash = Hash ? level[v - level_start] : 0;
            const bool key = records::is_key(record);
            std::uint8_t shortest = key ? 0 : saturated;
            std::uint8_t longest = 0;
            std::uint32_t previous = 0;
            for (std::uint64_t c = first; c < end; ++c) {
                const std::uint32_t child = records[c];
                const std::uint32_t order = Wide ? labels[c] : records::rank(child);
                if (!Wide && (order == 0 || order >= ranks)) [[unlikely]] {
                    return fail_at(record_at(c),
                                   "node " + std::to_string(c) + "'s rank " +
                                       std::to_string(order) +
                                       (order == 0 ? " is the root's" : " is past the alphabet"));
                }
                if (c > first && order <= previous) [[unlikely]] {
                    return fail_at(Wide ? plan.labels + c : record_at(c),
                                   "node " + std::to_string(c) + "'s label " +
                                       std::to_string(view.label(static_cast<NodeId>(c))) +
                                       " does not follow its elder sibling's " +
                                       std::to_string(view.label(static_cast<NodeId>(c - 1))) +
                                       " in ascending order");
                }
                previous = order;
                const std::uint8_t child_shortest = records::shortest(child);
                const std::uint8_t child_longest = records::longest(child);
                // A child without keys below adds nothing; saturated stays so.
                if (!(child_shortest == saturated && child_longest == 0)) {
                    shortest = std::min<std::uint8_t>(
                        shortest, child_shortest + (child_shortest != saturated ? 1 : 0));
                    longest = std::max<std::uint8_t>(
                        longest, child_longest + (child_longest != saturated ? 1 : 0));
                }
                if constexpr (Hash) {
                    const std::uint64_t label = Wide ? labels[c] : alphabet[order];
                    // Forward: key[i] * B**i summed; backward: the path read
                    // from its end, which gives the same for a reversed key.
                    next[next_size++] = reverse_ ? hash * kHashBase + label : hash + label * power;
                }
            }
            if (records::shortest(record) != shortest || records::longest(record) != longest)
                [[unlikely]] {
                return fail_at(record_at(v), "node " + std::to_string(v) +
                                                 "'s key lengths below are " +
                                                 std::to_string(records::shortest(record)) +
                                                 " to " + std::to_string(records::longest(record)) +
                                                 ", its children give " + std::to_string(shortest) +
                                                 " to " + std::to_string(longest));
            }
            if (key) {
                ++keys;
                total += depth;
                if (Hash && v != 0) {
                    key_hash += mix(hash);
                }
            }
            first = end;
        }
        if (key_base != nullptr && (n & (records::kLine - 1)) == 0 &&
            key_base[n >> records::kLineShift] != keys) {
            return bad_key_base(plan, view, n >> records::kLineShift, keys);
        }
        if (keys != head[4]) {
            return fail_at(4, "its header counts " + std::to_string(head[4]) + " keys, not " +
                                  std::to_string(keys));
        }
        const std::uint64_t stored_total = head[6] | static_cast<std::uint64_t>(head[7]) << 32;
        if (total != stored_total) {
            return fail_at(6, "its header's total key length " + std::to_string(stored_total) +
                                  " is not " + std::to_string(total));
        }
        return true;
    }

    bool bad_key_base(const NodeImage::Plan& plan, const NodeView& view, std::size_t line,
                      std::uint64_t keys) {
        return fail_at(plan.key_base + line, "the key count before line " + std::to_string(line) +
                                                 " is " + std::to_string(view.key_base[line]) +
                                                 ", not " + std::to_string(keys));
    }

    bool check_labels(const NodeView& view, std::uint64_t n, std::uint32_t ranks,
                      const NodeImage::Plan& plan) {
        if (plan.first != 0) {
            if (view.labels[0] != 0 || view.labels[n] != 0) {
                return fail_at(plan.labels + (view.labels[0] != 0 ? 0 : n),
                               "the root's or the closing record's label is not 0");
            }
            for (std::size_t v = 1; v < n; ++v) {
                if (!is_scalar_value(view.labels[v])) {
                    return fail_at(plan.labels + v, "node " + std::to_string(v) + "'s label " +
                                                        std::to_string(view.labels[v]) +
                                                        " is not a Unicode scalar value");
                }
            }
            return true;
        }
        if (view.alphabet[0] != 0) {
            return fail_at(plan.alphabet, "the alphabet does not start with 0");
        }
        for (std::size_t r = 1; r < ranks; ++r) {
            const char32_t ch = view.alphabet[r];
            if (!is_scalar_value(ch) || (r > 1 && ch <= view.alphabet[r - 1])) {
                return fail_at(plan.alphabet + r, "alphabet entry " + std::to_string(r) + " (" +
                                                      std::to_string(ch) +
                                                      ") is not a code point after the one before");
            }
        }
        return true;
    }

    const char* name_;
    StoredNodes stored_;
    bool reverse_;
    bool hash_;
};

}  // namespace

std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> open_stored_records(
    StoredNodes forward, std::optional<StoredNodes> reverse) {
    Checker forward_checker("layout", forward, false);
    std::optional<Checker> reverse_checker;
    std::optional<Checked> reverse_checked;
    std::future<void> reverse_done;
    if (reverse) {
        // The two arrays are checked side by side: opening a large file is
        // bound by this one pass over its pages.
        reverse_checker.emplace("reverse", *reverse, true);
        auto check_reverse = [&] { reverse_checked = reverse_checker->check(); };
        try {
            reverse_done = std::async(std::launch::async, check_reverse);
        } catch (const std::system_error&) {
            reverse_done = std::async(std::launch::deferred, check_reverse);
        }
    }
    std::optional<Checked> checked = forward_checker.check();
    if (reverse_done.valid()) {
        reverse_done.get();  // rethrows what the check threw (out of memory)
    }
    if (!checked) {
        return std::move(*forward_checker.problem);
    }
    std::unique_ptr<ReverseIndex> reverse_index;
    if (reverse) {
        const bool empty_key = checked->nodes[0].flags & kIsKey;
        if (!reverse_checked || !reverse_checker->check_names_forward_keys(
                                    forward_checker.keys, checked->key_count - empty_key)) {
            return std::move(*reverse_checker->problem);
        }
        reverse_index = std::make_unique<ReverseIndex>(
            NodeImage::pack(reverse_checked->nodes, false, reverse_checked->key_count,
                            reverse_checked->total_key_length));
    }
    NodeImage image =
        NodeImage::pack(checked->nodes, true, checked->key_count, checked->total_key_length);
    checked.reset();
    reverse_checked.reset();
    release_free_memory();
    return CompactTrie::from_checked(std::move(image), std::move(reverse_index));
}

std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> open_stored_layout(
    StoredNodes forward, std::optional<StoredNodes> reverse, std::shared_ptr<const void> owner) {
    ImageChecker forward_checker("nodes", forward, false, reverse.has_value());
    std::optional<ImageChecker> reverse_checker;
    std::optional<NodeImage> reverse_image;
    std::future<void> reverse_done;
    if (reverse) {
        reverse_checker.emplace("rnodes", *reverse, true, true);
        auto check_reverse = [&] { reverse_image = reverse_checker->check(owner); };
        try {
            reverse_done = std::async(std::launch::async, check_reverse);
        } catch (const std::system_error&) {
            reverse_done = std::async(std::launch::deferred, check_reverse);
        }
    }
    std::optional<NodeImage> image = forward_checker.check(owner);
    if (reverse_done.valid()) {
        reverse_done.get();
    }
    if (!image) {
        return std::move(*forward_checker.problem);
    }
    std::unique_ptr<ReverseIndex> reverse_index;
    if (reverse) {
        if (!reverse_image) {
            return std::move(*reverse_checker->problem);
        }
        // The empty key has no reversed key.
        const std::size_t keys = image->key_count() - (image->view().is_key(0) ? 1 : 0);
        if (reverse_image->key_count() != keys ||
            reverse_checker->key_hash != forward_checker.key_hash) {
            reverse_checker->fail("its keys are not the layout's keys reversed", 0);
            return std::move(*reverse_checker->problem);
        }
        reverse_index = std::make_unique<ReverseIndex>(std::move(*reverse_image));
    }
    return CompactTrie::from_checked(std::move(*image), std::move(reverse_index));
}

}  // namespace morlatch
