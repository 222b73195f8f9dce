// The trie arrays: one static trie laid out as four flat lists.
//
// Node 0 is the root. The children of node n are child_indices[node_shifts[n]
// .. node_shifts[n + 1]) (for the last node, up to the end of child_indices),
// in the order in which they stand there. Nothing checks that the lists agree
// with each other when a trie is built; reads past a list's end are faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/fault.hpp"

namespace morlatch {

using NodeId = std::uint32_t;
using Payload = std::uint32_t;

// One child edge: the character that leads into the child, and its id.
struct Child {
    char32_t ch;
    NodeId id;

    bool operator==(const Child&) const = default;
};

struct Trie {
    std::vector<std::uint32_t> node_shifts;
    std::vector<std::optional<char32_t>> node_chars;
    std::vector<std::optional<Payload>> node_payloads;
    std::vector<std::uint32_t> child_indices;

    bool operator==(const Trie&) const = default;

    // The children of node n, in child_indices order.
    std::vector<Child> get_children(NodeId n) const {
        std::vector<Child> out;
        append_children(n, out);
        return out;
    }

    // Appends the children of node n to out (lets a walk reuse one buffer).
    void append_children(NodeId n, std::vector<Child>& out) const;

    std::optional<Payload> get_payload(NodeId n) const { return at(node_payloads, n); }
};

}  // namespace morlatch
