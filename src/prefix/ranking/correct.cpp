// Spelling correction: the best keys within a few edits of a word, by weight
// and, with an error model, by the cost of the likeliest slips.
#include <algorithm>
#include <cstddef>
#include <utility>

#include "prefix/ranking/correct_walk.hpp"
#include "prefix/ranking/weighted.hpp"
#include "prefix/search/reach.hpp"

namespace morlatch {

using correction::Candidate;
using correction::Corrector;

// Up to this distance, the keys of a distance with no bound to prune by yet
// (or one that admits many keys) come from the layout's search (split in
// halves, with the reverse index); farther, its hit lists would grow large,
// and a walk keeps to the keys that may rank.
constexpr std::uint64_t kGatheredDistance = 2;

// The corrections beyond the word itself, with the rows of Rows.
template <class Rows>
std::vector<Candidate> corrections(const CompactTrie& trie, const WeightTable* table,
                                   std::u32string_view word, const CorrectOptions& options,
                                   std::uint64_t wanted, Interrupt& interrupt) {
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    const std::uint8_t longest = trie.longest_below(CompactTrie::kRoot);
    // No key is farther from the word than the longer of the two.
    const std::uint64_t reach = longest == CompactTrie::kLengthSaturated
                                    ? k
                                    : std::max<std::uint64_t>(word.size(), longest);
    Corrector<Rows> corrector(trie, table, word, options, wanted, interrupt);
    for (std::uint64_t d = 1; d <= std::min(k, reach) && !corrector.settled(d); ++d) {
        if (d > word.size() + CompactTrie::kLengthSaturated) {
            corrector.walk(d, k);  // only very long keys are left: all at once
            break;
        }
        if ((corrector.full() && !corrector.bar_admits_many(d)) || d > kGatheredDistance) {
            corrector.walk(d, d);  // the best found bound the walk
        } else {
            corrector.gather(d);
        }
    }
    return corrector.take();
}

std::vector<Match> correct(const CompactTrie& trie, const WeightTable* table,
                           std::u32string_view word, const CorrectOptions& options,
                           Interrupt& interrupt) {
    std::vector<Match> results;
    std::uint64_t wanted = options.limit;
    if (wanted == 0) {
        return results;
    }
    // A key spelled exactly like the word is taken as right.
    if (const std::optional<NodeId> node = trie.find(word);
        node && *node != CompactTrie::kRoot && trie.is_key(*node)) {
        results.push_back(Match{std::u32string(word), trie.payload(*node), 0});
        if (--wanted == 0) {
            return results;
        }
    }
    std::vector<Candidate> found;
    if (options.model != nullptr) {
        found = options.transpositions ? corrections<BandRows<Metric::osa, ModelCosts>>(
                                             trie, table, word, options, wanted, interrupt)
                                       : corrections<BandRows<Metric::levenshtein, ModelCosts>>(
                                             trie, table, word, options, wanted, interrupt);
    } else {
        found = options.transpositions ? corrections<BandRows<Metric::osa>>(
                                             trie, table, word, options, wanted, interrupt)
                                       : corrections<BandRows<Metric::levenshtein>>(
                                             trie, table, word, options, wanted, interrupt);
    }
    for (Candidate& candidate : found) {
        results.push_back(std::move(static_cast<Match&>(candidate)));
    }
    return results;
}

}  // namespace morlatch
