#include "prefix/query.hpp"

#include <cstddef>
#include <utility>

#include "prefix/fault.hpp"
#include "prefix/matcher.hpp"
#include "prefix/state.hpp"

namespace morlatch {

std::vector<Match> fuzzy_match(const Trie& trie, std::u32string_view query, std::uint64_t max_dist,
                               std::optional<std::uint64_t> limit) {
    std::vector<MatchEntry> entries;
    {
        // The walk creates and drops a row and a prefix or two per node; a
        // pool that lives for the one walk recycles their memory.
        // The first blocks come from the stack, which covers a short walk.
        alignas(StatePool::kGrain) std::byte first_blocks[8192];
        StatePool pool(first_blocks);
        Matcher matcher(query, max_dist, limit, &pool);
        trie.dfs(matcher);
        entries = matcher.take_results();
    }
    std::vector<Match> matches;
    matches.reserve(entries.size());
    for (MatchEntry& entry : entries) {
        matches.push_back(Match{std::move(entry.key), unwrap(at(trie.node_payloads, entry.node)),
                                entry.distance});
    }
    return matches;
}

std::optional<Match> exact_match(const Trie& trie, std::u32string_view query) {
    // Every hit is mapped, as for fuzzy_match; only the first is kept.
    std::vector<Match> matches = fuzzy_match(trie, query, 0, std::nullopt);
    if (matches.empty()) {
        return std::nullopt;
    }
    return std::move(matches.front());
}

}  // namespace morlatch
