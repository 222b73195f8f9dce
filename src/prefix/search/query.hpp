// The two lookups: every key within a distance of a query, and one exact key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/trie.hpp"
#include "prefix/hits.hpp"
#include "prefix/interrupt.hpp"

namespace morlatch {

// Keys within max_dist of query, in walk order (not sorted by distance); with
// a limit, the first `limit` keys of that order. The walk ticks `interrupt`
// once per visited node.
std::vector<Match> fuzzy_match(const Trie& trie, std::u32string_view query, std::uint64_t max_dist,
                               std::optional<std::uint64_t> limit, Interrupt& interrupt);
std::vector<Match> fuzzy_match(const Trie& trie, std::u32string_view query, std::uint64_t max_dist,
                               std::optional<std::uint64_t> limit);

// The key equal to query, if it carries a payload.
std::optional<Match> exact_match(const Trie& trie, std::u32string_view query, Interrupt& interrupt);
std::optional<Match> exact_match(const Trie& trie, std::u32string_view query);

}  // namespace morlatch
