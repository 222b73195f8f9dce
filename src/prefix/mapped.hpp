// Opening a search layout stored in memory that this process did not build:
// the "layout" and "reverse" sections of an index file, mapped read-only, or
// the same bytes in a buffer (an unpickled index).
//
// Each section is the layout's node records, 16 bytes each, little-endian:
// label (4), first_child (4), payload (4), flags, shortest, longest, reserved
// (1 each); the last record only closes the child ranges. Searches read them
// without any check, so everything they trust is checked here, once, before
// the layout is used:
//   - the size is a whole number of records, at least the root and the
//     closing record, fewer than 2**32 - 1 nodes, and the records are
//     aligned (otherwise they are copied);
//   - the nodes are in level order: first_child of the root is 1, every
//     node's children come after it (first_child > id), child ranges do not
//     decrease, and the closing record's first_child is the node count, so
//     every node but the root is the child of exactly one earlier node;
//   - labels: 0 for the root, a Unicode scalar value for every other node,
//     strictly ascending among siblings;
//   - flags are 0 or kIsKey, the reserved byte and the payload of a node that
//     is not a key are 0, the closing record is zero but for first_child;
//   - the key lengths below each node are exactly those its children give;
//   - reverse index: all of the above, and the payload of each of its keys is
//     a distinct key node of the forward layout, one for every forward key.
// What is wrong is reported with the byte offset (in the file) of the first
// field found wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "prefix/compact.hpp"

namespace morlatch {

// One stored node array and where it starts in its file.
struct StoredNodes {
    std::span<const std::uint8_t> bytes;
    std::uint64_t offset = 0;
};

struct LayoutProblem {
    std::string what;
    std::uint64_t offset = 0;  // in the file
};

// The layout stored in `forward` (and its reverse index, when stored),
// borrowing the bytes, which `owner` keeps alive for as long as the layout
// lives; or what is wrong. Nothing outside the given bytes is read.
std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> open_stored_layout(
    StoredNodes forward, std::optional<StoredNodes> reverse, std::shared_ptr<const void> owner);

// The bytes to store for `nodes` (a layout's or a reverse index's records).
inline std::span<const std::uint8_t> stored_bytes(std::span<const LayoutNode> nodes) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(nodes.data()), nodes.size_bytes()};
}

}  // namespace morlatch
