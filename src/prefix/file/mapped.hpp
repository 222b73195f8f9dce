// Opening a search layout stored in memory that this process did not build:
// the "nodes" and "rnodes" sections of an index file (the layout's packed
// image and its reverse index's, see NodeImage in compact.hpp), mapped
// read-only, or the same bytes in a buffer (an unpickled index). Searches
// read them without any check, so everything they trust is checked here,
// once, before the layout is used:
//   - the header: tag, flags (payloads for the layout, none for the reverse
//     index), alphabet size, and a size that is exactly what the header
//     plans, in whole aligned words (otherwise they are copied);
//   - the nodes are in level order: the root's children start at 1, every
//     node's children come after it, child ranges do not decrease, and the
//     closing record's first child is the node count, so every node but
//     the root is the child of exactly one earlier node;
//   - labels: an alphabet of strictly ascending code points after the
//     root's 0, every rank within it (0 for the root), strictly ascending
//     among siblings; a wide layout's labels Unicode scalar values;
//   - the key lengths below each node are exactly those its children give,
//     the key counts per line are the true ones, and the header's key count
//     and total key length too;
//   - reverse index: all of the above, and its keys, read backwards, are
//     the layout's keys: the same count, and the same sum of a hash of each
//     key at a base drawn at random for each opening (see key_hash.hpp), so
//     that no file made beforehand passes with other keys.
//
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

#include "prefix/layout/compact.hpp"

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
// borrowing the bytes, which `owner` keeps alive and unchanged for as long
// as the layout lives; or what is wrong. Nothing outside the given bytes is
// read.
std::variant<std::unique_ptr<CompactTrie>, LayoutProblem> open_stored_layout(
    StoredNodes forward, std::optional<StoredNodes> reverse, std::shared_ptr<const void> owner);

}  // namespace morlatch
