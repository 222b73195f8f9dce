#include "prefix/search/query.hpp"

#include <utility>

#include "base/fault.hpp"
#include "prefix/search/matcher.hpp"

namespace morlatch {

std::vector<Match> fuzzy_match(const Trie& trie, std::u32string_view query, std::uint64_t max_dist,
                               std::optional<std::uint64_t> limit, Interrupt& interrupt) {
    Matcher matcher(query, max_dist, limit);
    matcher.walk(trie, interrupt);
    const HitList found = matcher.take_results();
    std::vector<Match> matches;
    matches.reserve(found.hits.size());
    for (const HitList::Hit& hit : found.hits) {
        matches.push_back(found.match(hit));
    }
    return matches;
}

std::vector<Match> fuzzy_match(const Trie& trie, std::u32string_view query, std::uint64_t max_dist,
                               std::optional<std::uint64_t> limit) {
    Interrupt none;
    return fuzzy_match(trie, query, max_dist, limit, none);
}

std::optional<Match> exact_match(const Trie& trie, std::u32string_view query,
                                 Interrupt& interrupt) {
    // Every hit is mapped, as for fuzzy_match; only the first is kept.
    std::vector<Match> matches = fuzzy_match(trie, query, 0, std::nullopt, interrupt);
    if (matches.empty()) {
        return std::nullopt;
    }
    return std::move(matches.front());
}

std::optional<Match> exact_match(const Trie& trie, std::u32string_view query) {
    Interrupt none;
    return exact_match(trie, query, none);
}

}  // namespace morlatch
