#include "prefix/trie.hpp"

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

}  // namespace morlatch
