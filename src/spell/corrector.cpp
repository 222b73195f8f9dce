#include "spell/corrector.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "prefix/search/gather.hpp"
#include "spell/sounds.hpp"

namespace morlatch::spell {

namespace {

// `word` between the boundary marks the channel's edits expect.
std::u32string marked(std::u32string_view word) {
    std::u32string text;
    text.reserve(word.size() + 2);
    text.push_back(U'^');
    text.append(word);
    text.push_back(U'$');
    return text;
}

}  // namespace

Corrector::Corrector(Searches searches, Counts counts, double log_total, Limits limits)
    : searches_(std::move(searches)),
      counts_(std::move(counts)),
      log_total_(log_total),
      limits_(limits) {}

bool Corrector::known(std::u32string_view word) const {
    return counts_.contains(word);
}

std::optional<std::u32string> Corrector::best(const Channel& channel, std::u32string_view typed,
                                              Interrupt& interrupt) const {
    if (typed.empty() || typed.size() > limits_.longest_word || known(typed)) {
        return std::nullopt;
    }
    // This thread's walks, which keep their memory from one word to the
    // next (a word is at most limits_.longest_word long).
    thread_local SearchScratch scratch;
    const std::vector<std::u32string> alike = typed.size() <= 2
                                                  ? std::vector<std::u32string>{}
                                                  : heard(sounds_like(typed), scratch, interrupt);
    Channel::Query query(channel, marked(typed), limits_.band);
    CorrectOptions options;
    options.max_dist = 1;
    options.limit = limits_.edit_candidates;
    options.transpositions = true;
    options.model = &searches_.search_model;
    // Every key of the word search is a known word, so `typed` is none.
    const std::vector<correction::Candidate> near = correct_unknown(
        *searches_.words, searches_.word_weights, typed, options, nullptr, interrupt, &scratch);
    std::optional<Found> found = ranked(query, near, alike, {});
    if (!found || found->cost > limits_.near_cost) {
        const std::u32string guess = found ? std::move(found->word) : std::u32string();
        // Two edits take up where one stopped.
        options.max_dist = 2;
        const std::vector<correction::Candidate> farther = correct_unknown(
            *searches_.words, searches_.word_weights, typed, options, &near, interrupt, &scratch);
        found = ranked(query, farther, alike, guess);
    }
    if (!found) {
        return std::nullopt;
    }
    return std::move(found->word);
}

std::vector<std::u32string> Corrector::heard(std::u32string_view key, SearchScratch& scratch,
                                             Interrupt& interrupt) const {
    // The key itself ranks first among those found: when its own words are
    // enough, the search could add none.
    if (const auto own = searches_.sounding.find(key);
        own != searches_.sounding.end() && own->second.size() >= limits_.sound_candidates) {
        return {own->second.begin(),
                own->second.begin() + static_cast<std::ptrdiff_t>(limits_.sound_candidates)};
    }
    // The keys within one edit, as the weighted search ranks them: nearer
    // first, then heavier, then by key; the words of the first few keys.
    HitList found;
    if (const std::optional<NodeId> node = searches_.sounds->find_key(key)) {
        found.add(key, 0, 0, *node);
    }
    gather_at<Metric::osa>(
        *searches_.sounds, key, 1, interrupt, scratch, [](NodeId) { return true; },
        [&](NodeId node, std::u32string_view alike) { found.add(alike, 0, 1, node); });
    const WeightTable* table = searches_.sound_weights;
    const auto weight = [&](const HitList::Hit& hit) -> Weight {
        return table == nullptr ? 0 : table->weight(hit.node);
    };
    std::vector<HitList::Hit>& keys = found.hits;
    const auto better = [&](const HitList::Hit& a, const HitList::Hit& b) {
        if (a.distance != b.distance) {
            return a.distance < b.distance;
        }
        const Weight wa = weight(a);
        const Weight wb = weight(b);
        return wa != wb ? wa > wb : found.key(a) < found.key(b);
    };
    const std::size_t taken = std::min(keys.size(), limits_.sound_candidates);
    std::partial_sort(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(taken), keys.end(),
                      better);
    std::vector<std::u32string> words;
    for (std::size_t i = 0; i < taken; ++i) {
        const auto group = searches_.sounding.find(found.key(keys[i]));
        if (group == searches_.sounding.end()) {
            continue;
        }
        for (const std::u32string& word : group->second) {
            if (words.size() == limits_.sound_candidates) {
                return words;
            }
            words.push_back(word);
        }
    }
    return words;
}

std::optional<Corrector::Found> Corrector::ranked(Channel::Query& query,
                                                  const std::vector<correction::Candidate>& near,
                                                  const std::vector<std::u32string>& heard,
                                                  std::u32string_view guess) const {
    // A few dozen words at most: a word is looked for among those before it.
    std::vector<std::u32string> candidates;
    candidates.reserve(near.size() + heard.size());
    const auto add = [&](std::u32string_view word) {
        const bool fresh = std::ranges::none_of(candidates, [&](const std::u32string& before) {
            return std::u32string_view(before).substr(1, before.size() - 2) == word;
        });
        if (fresh) {
            candidates.push_back(marked(word));
        }
    };
    for (const correction::Candidate& hit : near) {
        add(hit.key);
    }
    for (const std::u32string& word : heard) {
        add(word);
    }
    if (candidates.empty()) {
        return std::nullopt;
    }
    if (!guess.empty()) {
        const std::u32string marked_guess = marked(guess);
        const auto at = std::ranges::find(candidates, marked_guess);
        if (at != candidates.end()) {
            std::iter_swap(candidates.begin(), at);
        }
    }
    std::vector<double> priors;
    priors.reserve(candidates.size());
    for (const std::u32string& candidate : candidates) {
        const auto count =
            counts_.find(std::u32string_view(candidate).substr(1, candidate.size() - 2));
        const double n = count == counts_.end() ? 0.0 : static_cast<double>(count->second);
        priors.push_back(std::log(n + 1.0) - log_total_);
    }
    const auto top = query.rank(candidates, priors, 1, limits_.max_cost);
    if (top.empty()) {
        return std::nullopt;
    }
    const std::u32string& word = candidates[top[0].at];
    return Found{word.substr(1, word.size() - 2), priors[top[0].at] - top[0].score};
}

}  // namespace morlatch::spell
