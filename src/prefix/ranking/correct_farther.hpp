// The word search for a word known not to be a key, taken up one distance
// farther on: a caller that searched within k - 1 edits, and now wants k,
// hands back what it found rather than search the nearer keys again.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "prefix/ranking/correct_best.hpp"
#include "prefix/search/reused.hpp"

namespace morlatch {

// The best `options.limit` corrections of `word` within options.max_dist
// edits, best first, ranked as correct() ranks them. `word` must be no key of
// `trie` (it is not looked up). `nearer` is null, or what this function
// returned for the same word and options at max_dist - 1: the search then
// starts at max_dist with those as the best found so far. The walks run in
// `scratch` when given (see reused.hpp), else in memory of their own.
std::vector<correction::Candidate> correct_unknown(
    const CompactTrie& trie, const WeightTable* table, std::u32string_view word,
    const CorrectOptions& options, const std::vector<correction::Candidate>* nearer,
    Interrupt& interrupt, SearchScratch* scratch = nullptr);

}  // namespace morlatch
