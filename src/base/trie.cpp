#include "base/trie.hpp"

namespace morlatch {

void Trie::append_children(NodeId n, std::vector<Child>& out) const {
    if (n >= node_shifts.size()) [[unlikely]] {
        at(node_shifts, n);  // faults
    }
    const std::uint32_t start = node_shifts[n];
    // The end bound is computed in 32-bit arithmetic, as the format's ids are.
    const std::uint32_t next = n + 1;
    const std::uint32_t end = next >= static_cast<std::uint32_t>(node_shifts.size())
                                  ? static_cast<std::uint32_t>(child_indices.size())
                                  : node_shifts[next];
    if (start < end && end <= child_indices.size()) {
        // The whole range lies within child_indices, so only each child's
        // own character needs checking; the checked reads below raise the
        // first bad child's fault, as the general loop would.
        const std::uint32_t* ids = child_indices.data();
        const std::optional<char32_t>* chars = node_chars.data();
        const std::size_t char_count = node_chars.size();
        for (std::uint32_t i = start; i < end; ++i) {
            const NodeId child = ids[i];
            if (child >= char_count || !chars[child]) [[unlikely]] {
                unwrap(at(node_chars, child));
            }
            out.push_back(Child{*chars[child], child});
        }
        return;
    }
    for (std::uint32_t i = start; i < end; ++i) {
        const NodeId child = at(child_indices, i);
        out.push_back(Child{unwrap(at(node_chars, child)), child});
    }
}

}  // namespace morlatch
