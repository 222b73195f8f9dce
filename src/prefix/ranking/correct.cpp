// Spelling correction: the best keys within a few edits of a word, by weight
// and, with an error model, by the cost of the likeliest slips.
#include <algorithm>
#include <cstddef>
#include <utility>

#include "prefix/ranking/correct_farther.hpp"
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

// The corrections beyond the word itself, with the rows of Rows: from
// distance 1, or past the best of the nearer distances when given.
template <class Rows>
std::vector<Candidate> corrections(const CompactTrie& trie, const WeightTable* table,
                                   std::u32string_view word, const CorrectOptions& options,
                                   std::uint64_t wanted, const std::vector<Candidate>* nearer,
                                   Interrupt& interrupt, SearchScratch* scratch) {
    const std::uint64_t k = std::min(options.max_dist, kDistanceCap);
    const std::uint8_t longest = trie.longest_below(CompactTrie::kRoot);
    // No key is farther from the word than the longer of the two.
    const std::uint64_t reach = longest == CompactTrie::kLengthSaturated
                                    ? k
                                    : std::max<std::uint64_t>(word.size(), longest);
    Corrector<Rows> corrector(trie, table, word, options, wanted, interrupt, scratch);
    std::uint64_t first = 1;
    if (nearer != nullptr) {
        // The best within k - 1 are the best of those distances: every
        // bound of distance k follows from them alone.
        for (const Candidate& candidate : *nearer) {
            corrector.consider(candidate);
        }
        first = std::max<std::uint64_t>(k, 1);
    }
    for (std::uint64_t d = first; d <= std::min(k, reach) && !corrector.settled(d); ++d) {
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

namespace {

// The corrections beyond the word itself, by the rows the options call for.
std::vector<Candidate> ranked_corrections(const CompactTrie& trie, const WeightTable* table,
                                          std::u32string_view word, const CorrectOptions& options,
                                          std::uint64_t wanted,
                                          const std::vector<Candidate>* nearer,
                                          Interrupt& interrupt, SearchScratch* scratch = nullptr) {
    if (options.model != nullptr) {
        return options.transpositions
                   ? corrections<BandRows<Metric::osa, ModelCosts>>(
                         trie, table, word, options, wanted, nearer, interrupt, scratch)
                   : corrections<BandRows<Metric::levenshtein, ModelCosts>>(
                         trie, table, word, options, wanted, nearer, interrupt, scratch);
    }
    return options.transpositions
               ? corrections<BandRows<Metric::osa>>(trie, table, word, options, wanted, nearer,
                                                    interrupt, scratch)
               : corrections<BandRows<Metric::levenshtein>>(trie, table, word, options, wanted,
                                                            nearer, interrupt, scratch);
}

}  // namespace

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
    for (Candidate& candidate :
         ranked_corrections(trie, table, word, options, wanted, nullptr, interrupt)) {
        results.push_back(std::move(static_cast<Match&>(candidate)));
    }
    return results;
}

std::vector<Candidate> correct_unknown(const CompactTrie& trie, const WeightTable* table,
                                       std::u32string_view word, const CorrectOptions& options,
                                       const std::vector<Candidate>* nearer, Interrupt& interrupt,
                                       SearchScratch* scratch) {
    if (options.limit == 0) {
        return {};
    }
    return ranked_corrections(trie, table, word, options, options.limit, nearer, interrupt,
                              scratch);
}

}  // namespace morlatch
