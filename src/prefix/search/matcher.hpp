// The plain walk: every key within max_dist of a query, found by a
// depth-first walk over the trie arrays as given.
//
// Each visited node gets one Levenshtein row against the query, computed from
// its parent's row and its own character. A node with a payload whose last
// cell is within max_dist is recorded; a node whose row minimum exceeds
// max_dist enters no children, since a further character never lowers the
// minimum. The child that continues the query is visited first (of several on
// that character, only the last), the others follow in array order, so that
// with a limit the hits along the query's own path come first.
//
// The walk reads the arrays exactly as given, so every fault (an index out of
// range, a child without a character) arises where the walk first reads the
// bad entry. Arrays whose child lists lead back to an ancestor fault once a
// path has more nodes than the trie (it must repeat one); arrays that list a
// node under two parents, or twice under one, are walked once per path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/trie.hpp"
#include "prefix/hits.hpp"
#include "prefix/interrupt.hpp"

namespace morlatch {

class Matcher {
public:
    Matcher(std::u32string_view query, std::uint64_t max_dist, std::optional<std::uint64_t> limit);

    // Walks trie from the root, calling interrupt.tick() once per node taken
    // off the stack (a check that throws abandons the walk, as does a fault).
    void walk(const Trie& trie, Interrupt& interrupt);

    // The hits so far, in the order found, each with the node it ends at.
    HitList take_results() noexcept { return std::move(results_); }

    // Nodes visited so far; after a fault, those visited before it (and the
    // node whose children could not be read, if that was the fault).
    std::uint64_t visits() const noexcept { return visits_; }

private:
    struct Walk;  // the descent's policy (matcher.cpp)

    bool limit_reached() const noexcept { return limit_ && results_.hits.size() >= *limit_; }

    std::u32string query_;
    std::uint64_t max_dist_;
    std::optional<std::uint64_t> limit_;
    HitList results_;
    std::uint64_t visits_ = 0;
};

}  // namespace morlatch
