#include "prefix/mapped.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
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
    Checker(const char* name, StoredNodes stored) : name_(name), stored_(stored) {}

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
        if (!check_structure(checked.nodes.data(), records - 1) ||
            !check_lengths(checked.nodes.data(), records - 1)) {
            return std::nullopt;
        }
        count_keys(checked.nodes.data(), checked);
        return checked;
    }

    std::nullopt_t fail(std::string what, std::uint64_t at) {
        problem = LayoutProblem{"the '" + std::string(name_) + "' section is not a search layout: " +
                                    std::move(what),
                                stored_.offset + at};
        return std::nullopt;
    }

    std::uint64_t at(std::size_t node, std::uint64_t field) const {
        return node * sizeof(Node) + field;
    }

private:
    bool check_structure(const Node* nodes, std::size_t n) {
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
            fail("the root's children start at " + std::to_string(nodes[0].first_child) +
                     ", not 1",
                 at(0, kFirstChildAt));
            return false;
        }
        for (std::size_t v = 0; v < n; ++v) {
            const Node& node = nodes[v];
            const NodeId first = node.first_child;
            const NodeId end = nodes[v + 1].first_child;
            // first > v puts every child after its parent; with ranges that
            // never decrease, from 1 to n, each node has exactly one parent.
            if (first <= v) {
                fail("node " + std::to_string(v) + "'s children start at " + std::to_string(first) +
                         ", not after it",
                     at(v, kFirstChildAt));
                return false;
            }
            if (end < first) {
                fail("node " + std::to_string(v + 1) + "'s children start at " +
                         std::to_string(end) + ", before those of node " + std::to_string(v) +
                         " (" + std::to_string(first) + ")",
                     at(v + 1, kFirstChildAt));
                return false;
            }
            if (v > 0 && !is_scalar_value(node.label)) {
                fail("node " + std::to_string(v) + "'s label " + std::to_string(node.label) +
                         " is not a Unicode scalar value",
                     at(v, kLabelAt));
                return false;
            }
            // end <= n follows from the closing node and the order, checked
            // for the nodes before; here it holds for this one too since
            // end is some later node's first_child.
            if (end > n) {
                fail("node " + std::to_string(v) + "'s children end at " + std::to_string(end) +
                         ", past the " + std::to_string(n) + " nodes",
                     at(v + 1, kFirstChildAt));
                return false;
            }
            for (NodeId c = first + 1; c < end; ++c) {
                if (nodes[c].label <= nodes[c - 1].label) {
                    fail("node " + std::to_string(c) + "'s label " +
                             std::to_string(nodes[c].label) +
                             " does not follow its elder sibling's " +
                             std::to_string(nodes[c - 1].label) + " in ascending order",
                         at(c, kLabelAt));
                    return false;
                }
            }
            if (node.flags & ~CompactTrie::kIsKey) {
                fail("node " + std::to_string(v) + " has unknown flags " +
                         std::to_string(node.flags),
                     at(v, kFlagsAt));
                return false;
            }
            if (node.reserved != 0) {
                fail("node " + std::to_string(v) + "'s reserved byte is not 0", at(v, kReservedAt));
                return false;
            }
            if (!(node.flags & CompactTrie::kIsKey) && node.payload != 0) {
                fail("node " + std::to_string(v) + " is not a key but has a payload",
                     at(v, kPayloadAt));
                return false;
            }
        }
        return true;
    }

    // Children have larger ids, so a backward pass checks them before their
    // parent, and the parent's expected figures rest on checked ones.
    bool check_lengths(const Node* nodes, std::size_t n) {
        for (std::size_t v = n; v-- > 0;) {
            std::uint8_t shortest = 0;
            std::uint8_t longest = 0;
            lengths_from_children(nodes, static_cast<NodeId>(v), shortest, longest);
            if (nodes[v].shortest != shortest || nodes[v].longest != longest) {
                fail("node " + std::to_string(v) + "'s key lengths below are " +
                         std::to_string(nodes[v].shortest) + " to " +
                         std::to_string(nodes[v].longest) + ", its children give " +
                         std::to_string(shortest) + " to " + std::to_string(longest),
                     at(v, kShortestAt));
                return false;
            }
        }
        return true;
    }

    // Level by level: the children of the level [begin, end) are the next
    // level, [end, first_child(end)).
    static void count_keys(const Node* nodes, Checked& checked) {
        NodeId begin = 0;
        NodeId end = 1;
        for (std::uint64_t depth = 0; begin < end; ++depth) {
            for (NodeId v = begin; v < end; ++v) {
                if (nodes[v].flags & CompactTrie::kIsKey) {
                    ++checked.key_count;
                    checked.total_key_length += depth;
                }
            }
            const NodeId next = nodes[end].first_child;
            begin = end;
            end = next;
        }
    }

    const char* name_;
    StoredNodes stored_;
};

// The reverse index's keys name forward key nodes, each once.
std::optional<LayoutProblem> check_reverse_payloads(Checker& checker, const NodeArray& reverse,
                                                    const Checked& forward) {
    const std::size_t forward_count = forward.nodes.size() - 1;
    std::vector<bool> named(forward_count);
    std::size_t keys = 0;
    for (std::size_t v = 0; v + 1 < reverse.size(); ++v) {
        const Node& node = reverse[v];
        if (!(node.flags & CompactTrie::kIsKey)) {
            continue;
        }
        if (node.payload >= forward_count || !(forward.nodes[node.payload].flags & CompactTrie::kIsKey)) {
            checker.fail("reverse key node " + std::to_string(v) + " names node " +
                             std::to_string(node.payload) + ", not a key of the layout",
                         checker.at(v, kPayloadAt));
            return checker.problem;
        }
        if (named[node.payload]) {
            checker.fail("reverse key node " + std::to_string(v) + " names node " +
                             std::to_string(node.payload) + " a second time",
                         checker.at(v, kPayloadAt));
            return checker.problem;
        }
        named[node.payload] = true;
        ++keys;
    }
    if (keys != forward.key_count) {
        checker.fail("it holds " + std::to_string(keys) + " keys, the layout " +
                         std::to_string(forward.key_count),
                     0);
        return checker.problem;
    }
    return std::nullopt;
}

}  // namespace

std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> open_stored_layout(
    StoredNodes forward, std::optional<StoredNodes> reverse, std::shared_ptr<const void> owner) {
    Checker forward_checker("layout", forward);
    std::optional<Checked> checked = forward_checker.check(owner);
    if (!checked) {
        return std::move(*forward_checker.problem);
    }
    std::unique_ptr<ReverseIndex> reverse_index;
    if (reverse) {
        Checker reverse_checker("reverse", *reverse);
        std::optional<Checked> reverse_checked = reverse_checker.check(owner);
        if (!reverse_checked) {
            return std::move(*reverse_checker.problem);
        }
        if (std::optional<LayoutProblem> problem =
                check_reverse_payloads(reverse_checker, reverse_checked->nodes, *checked)) {
            return std::move(*problem);
        }
        reverse_index = std::make_unique<ReverseIndex>(std::move(reverse_checked->nodes));
    }
    return CompactTrie::from_checked(std::move(checked->nodes), checked->key_count,
                                     checked->total_key_length, std::move(reverse_index));
}

}  // namespace morlatch
