#include "prefix/mapped.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <future>
#include <system_error>
#include <utility>
#include <vector>

namespace morlatch {
namespace {

// The records are read in place, so the host must share the file's byte order.
static_assert(std::endian::native == std::endian::little,
              "stored layouts are little-endian; this host would need a converting reader");

using Node = LayoutNode;

constexpr std::uint64_t kLabelAt = offsetof(Node, label);
constexpr std::uint64_t kFirstChildAt = offsetof(Node, first_child);
constexpr std::uint64_t kPayloadAt = offsetof(Node, payload);
constexpr std::uint64_t kFlagsAt = offsetof(Node, flags);
constexpr std::uint64_t kShortestAt = offsetof(Node, shortest);
constexpr std::uint64_t kReservedAt = offsetof(Node, reserved);

bool is_scalar_value(char32_t ch) {
    return ch <= 0x10FFFF && (ch < 0xD800 || ch > 0xDFFF);
}

// The figures a checked array yields.
struct Checked {
    NodeArray nodes;
    std::size_t key_count = 0;
    std::uint64_t total_key_length = 0;
};

class Checker {
public:
    // A reverse index's checker keeps its keys' payloads (forward node ids)
    // for check_names_forward_keys.
    Checker(const char* name, StoredNodes stored, bool reverse)
        : name_(name), stored_(stored), reverse_(reverse) {}

    std::optional<LayoutProblem> problem;

    // The records, borrowed when aligned, copied when not.
    std::optional<Checked> check(const std::shared_ptr<const void>& owner) {
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
            checked.nodes = NodeArray(
                std::span<const Node>(reinterpret_cast<const Node*>(stored_.bytes.data()), records),
                owner);
        } else {
            std::vector<Node> copy(records);
            std::memcpy(copy.data(), stored_.bytes.data(), size);
            checked.nodes = NodeArray(std::move(copy));
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
            if (node.flags & ~CompactTrie::kIsKey) {
                return fail_at(v, kFlagsAt,
                               "node " + std::to_string(v) + " has unknown flags " +
                                   std::to_string(node.flags));
            }
            if (node.reserved != 0) {
                return fail_at(v, kReservedAt,
                               "node " + std::to_string(v) + "'s reserved byte is not 0");
            }
            const bool is_key = node.flags & CompactTrie::kIsKey;
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

}  // namespace

std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> open_stored_layout(
    StoredNodes forward, std::optional<StoredNodes> reverse, std::shared_ptr<const void> owner) {
    Checker forward_checker("layout", forward, false);
    std::optional<Checker> reverse_checker;
    std::optional<Checked> reverse_checked;
    std::future<void> reverse_done;
    if (reverse) {
        // The two arrays are checked side by side: opening a large file is
        // bound by this one pass over its pages.
        reverse_checker.emplace("reverse", *reverse, true);
        auto check_reverse = [&] { reverse_checked = reverse_checker->check(owner); };
        try {
            reverse_done = std::async(std::launch::async, check_reverse);
        } catch (const std::system_error&) {
            reverse_done = std::async(std::launch::deferred, check_reverse);
        }
    }
    std::optional<Checked> checked = forward_checker.check(owner);
    if (reverse_done.valid()) {
        reverse_done.get();  // rethrows what the check threw (out of memory)
    }
    if (!checked) {
        return std::move(*forward_checker.problem);
    }
    std::unique_ptr<ReverseIndex> reverse_index;
    if (reverse) {
        const bool empty_key = checked->nodes[0].flags & CompactTrie::kIsKey;
        if (!reverse_checked || !reverse_checker->check_names_forward_keys(
                                    forward_checker.keys, checked->key_count - empty_key)) {
            return std::move(*reverse_checker->problem);
        }
        reverse_index = std::make_unique<ReverseIndex>(std::move(reverse_checked->nodes));
    }
    return CompactTrie::from_checked(std::move(checked->nodes), checked->key_count,
                                     checked->total_key_length, std::move(reverse_index));
}

}  // namespace morlatch
