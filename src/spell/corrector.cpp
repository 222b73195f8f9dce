#include "spell/corrector.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "prefix/search/gather.hpp"
#include "spell/sounds.hpp"

namespace morlatch::spell {

namespace {

// The letters below each node of `trie`, or of its reverse index.
LettersBelow letters_of(const CompactTrie& trie) {
    return LettersBelow(trie.view(), trie.node_count());
}
LettersBelow reversed_letters_of(const CompactTrie& trie) {
    const ReverseIndex* reverse = trie.reverse_index();
    return reverse == nullptr ? LettersBelow()
                              : LettersBelow(reverse->view(), reverse->node_count());
}

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
      word_letters_(letters_of(*searches_.words)),
      word_letters_reversed_(reversed_letters_of(*searches_.words)),
      sound_letters_(letters_of(*searches_.sounds)),
      sound_letters_reversed_(reversed_letters_of(*searches_.sounds)),
      counts_(std::move(counts)),
      log_total_(log_total),
      limits_(limits) {}

bool Corrector::known(std::u32string_view word) const {
    return counts_.contains(word);
}

// What a thread keeps from one word to the next: the walks of the searches,
// the channel's query and the candidates' texts and priors, whose memory
// stays (a word is at most limits_.longest_word long).
struct Corrector::Scratch {
    SearchScratch walks;
    std::optional<Channel::Query> query;
    // candidates[0, count): the marked candidates of the ranking at hand;
    // the strings past them keep their memory for the next.
    std::vector<std::u32string> candidates;
    std::size_t count = 0;
    std::vector<double> priors;
};

std::optional<std::u32string> Corrector::best(const Channel& channel, std::u32string_view typed,
                                              Interrupt& interrupt) const {
    if (typed.empty() || typed.size() > limits_.longest_word || known(typed)) {
        return std::nullopt;
    }
    thread_local Scratch scratch;
    const std::vector<std::u32string> alike =
        typed.size() <= 2 ? std::vector<std::u32string>{}
                          : heard(sounds_like(typed), scratch.walks, interrupt);
    const std::u32string marked_typed = marked(typed);
    Channel::Query& query = scratch.query ? *scratch.query : scratch.query.emplace(channel, U"", 0);
    query.reset(channel, marked_typed, limits_.band);
    CorrectOptions options;
    options.max_dist = 1;
    options.limit = limits_.edit_candidates;
    options.transpositions = true;
    options.model = &searches_.search_model;
    options.letters = {word_letters_.data(), word_letters_reversed_.data()};
    // Every key of the word search is a known word, so `typed` is none.
    const std::vector<correction::Candidate> near =
        correct_unknown(*searches_.words, searches_.word_weights, typed, options, nullptr,
                        interrupt, &scratch.walks);
    std::optional<Found> found = ranked(scratch, near, alike, {});
    if (!found || found->cost > limits_.near_cost) {
        const std::u32string guess = found ? std::move(found->word) : std::u32string();
        // Two edits take up where one stopped.
        options.max_dist = 2;
        const std::vector<correction::Candidate> farther =
            correct_unknown(*searches_.words, searches_.word_weights, typed, options, &near,
                            interrupt, &scratch.walks);
        found = ranked(scratch, farther, alike, guess);
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
        [&](NodeId node, std::u32string_view alike) { found.add(alike, 0, 1, node); },
        {sound_letters_.data(), sound_letters_reversed_.data()});
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

std::optional<Corrector::Found> Corrector::ranked(Scratch& scratch,
                                                  const std::vector<correction::Candidate>& near,
                                                  const std::vector<std::u32string>& heard,
                                                  std::u32string_view guess) const {
    // A few dozen words at most: a word is looked for among those before it.
    std::vector<std::u32string>& candidates = scratch.candidates;
    std::size_t& count = scratch.count;
    count = 0;
    const auto add = [&](std::u32string_view word) {
        const auto before = std::span(candidates).first(count);
        const bool fresh = std::ranges::none_of(before, [&](const std::u32string& marked_word) {
            return std::u32string_view(marked_word).substr(1, marked_word.size() - 2) == word;
        });
        if (!fresh) {
            return;
        }
        if (count == candidates.size()) {
            candidates.emplace_back();
        }
        std::u32string& text = candidates[count++];
        text.assign(1, U'^');
        text.append(word);
        text.push_back(U'$');
    };
    for (const correction::Candidate& hit : near) {
        add(hit.key);
    }
    for (const std::u32string& word : heard) {
        add(word);
    }
    if (count == 0) {
        return std::nullopt;
    }
    const auto taken = std::span(candidates).first(count);
    if (!guess.empty()) {
        const auto at = std::ranges::find_if(taken, [&](const std::u32string& marked_word) {
            return std::u32string_view(marked_word).substr(1, marked_word.size() - 2) == guess;
        });
        if (at != taken.end()) {
            std::iter_swap(taken.begin(), at);
        }
    }
    std::vector<double>& priors = scratch.priors;
    priors.clear();
    for (const std::u32string& candidate : taken) {
        const auto found =
            counts_.find(std::u32string_view(candidate).substr(1, candidate.size() - 2));
        const double n = found == counts_.end() ? 0.0 : static_cast<double>(found->second);
        priors.push_back(std::log(n + 1.0) - log_total_);
    }
    const auto top = scratch.query->rank(taken, priors, 1, limits_.max_cost);
    if (top.empty()) {
        return std::nullopt;
    }
    const std::u32string& word = taken[top[0].at];
    return Found{word.substr(1, word.size() - 2), priors[top[0].at] - top[0].score};
}

}  // namespace morlatch::spell
