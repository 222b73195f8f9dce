#include "prefix/trie.hpp"

#include <string>

namespace morlatch {

void Trie::append_children(NodeId n, std::vector<Child>& out) const {
    const std::uint32_t start = at(node_shifts, n);
    // The end bound is computed in 32-bit arithmetic, as the format's ids are.
    const std::uint32_t next = n + 1;
    const std::uint32_t end = next >= static_cast<std::uint32_t>(node_shifts.size())
                                  ? static_cast<std::uint32_t>(child_indices.size())
                                  : node_shifts[next];
    for (std::uint32_t i = start; i < end; ++i) {
        const NodeId child = at(child_indices, i);
        out.push_back(Child{unwrap(at(node_chars, child)), child});
    }
}

void Trie::cycle_fault(NodeId node, std::size_t depth, std::size_t node_count) {
    fault("the trie arrays contain a cycle: node " + std::to_string(node) + " was reached " +
          std::to_string(depth) + " edges below the root, but the trie has only " +
          std::to_string(node_count) + " nodes");
}

}  // namespace morlatch
