// The checks of one stored node image (the "nodes" or "rnodes" section of
// an index file), shared by the files that open a stored layout. See
// mapped.hpp for what is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "prefix/file/mapped.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/layout/key_hash.hpp"

namespace morlatch::stored {

inline bool is_scalar_value(char32_t ch) {
    return ch <= 0x10FFFF && (ch < 0xD800 || ch > 0xDFFF);
}

class ImageChecker {
public:
    // `hash` (or null): sum the keys' hashes (forward: of the path, reverse:
    // of the path read backwards) into key_hash, to compare the two sides.
    ImageChecker(const char* name, StoredNodes stored, bool reverse, const KeyHash* hash)
        : name_(name), stored_(stored), reverse_(reverse), hash_(hash) {}

    std::optional<LayoutProblem> problem;
    std::uint64_t key_hash = 0;

    std::nullopt_t fail(std::string what, std::uint64_t at);

    // The image, read in place when its words are aligned (kept alive by
    // `owner`), copied when not; or none, with `problem` set.
    std::optional<NodeImage> check(const std::shared_ptr<const void>& owner);

    // What the pass over the nodes (mapped_walk.cpp) needs of the checker.
    bool fail_at(std::size_t word, std::string what) {
        fail(std::move(what), word * 4);
        return false;
    }
    bool reverse() const noexcept { return reverse_; }
    const KeyHash* hash() const noexcept { return hash_; }

private:
    bool check_nodes(const NodeView& view, std::uint64_t n, std::uint32_t ranks,
                     const NodeImage::Plan& plan, const std::uint32_t* head);
    bool check_labels(const NodeView& view, std::uint64_t n, std::uint32_t ranks,
                      const NodeImage::Plan& plan);

    const char* name_;
    StoredNodes stored_;
    bool reverse_;
    const KeyHash* hash_;
};

// The pass over the nodes, once the header, the closing record, the root
// and the labels are checked (mapped_walk.cpp).
bool check_node_pass(ImageChecker& checker, const NodeView& view, std::uint64_t n,
                     std::uint32_t ranks, const NodeImage::Plan& plan, const std::uint32_t* head);

}  // namespace morlatch::stored
