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
    // The words sounding alike (views of the searches' lists) and the keys
    // they were found under.
    std::vector<std::u32string_view> alike;
    HitList keys;
};

std::optional<std::u32string> Corrector::best(const Channel& channel, std::u32string_view typed,
                                              Interrupt& interrupt) const {
    if (typed.empty() || typed.size() > limits_.longest_word || known(typed)) {
        return std::nullopt;
    }
    thread_local Scratch scratch;
    std::vector<std::u32string_view>& alike = scratch.alike;
    alike.clear();
    if (typed.size() > 2) {
        heard(sounds_like(typed), scratch, interrupt);
    }
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
        const std::optional<Found> guess = std::move(found);
        // Two edits take up where one stopped, bounded by the best so far: a
        // word other than `typed` costs at least the channel's cheapest
        // change, so one whose prior falls short of the best score by more
        // than that cannot win, and its weight (count + 1) is below this.
        options.max_dist = 2;
        if (guess && searches_.word_weights != nullptr) {
            options.least_weight = searches_.word_weights->code_below(
                std::exp(guess->score + channel.least_change() + log_total_ - 1e-9));
        }
        std::vector<correction::Candidate> farther =
            correct_unknown(*searches_.words, searches_.word_weights, typed, options, &near,
                            interrupt, &scratch.walks);
        const std::u32string_view guessed = guess ? std::u32string_view(guess->word) : U"";
        found = ranked(scratch, farther, alike, guessed);
        // The bound holds while the best so far stays among the candidates:
        // when the two-edit search pushed it out, a word left out could win
        // after all, and the search runs again unbounded.
        if (options.least_weight != 0 && (!found || found->score < guess->score)) {
            options.least_weight = 0;
            farther = correct_unknown(*searches_.words, searches_.word_weights, typed, options,
                                      &near, interrupt, &scratch.walks);
            found = ranked(scratch, farther, alike, guessed);
        }
    }
    if (!found) {
        return std::nullopt;
    }
    return std::move(found->word);
}

void Corrector::heard(std::u32string_view key, Scratch& scratch, Interrupt& interrupt) const {
    std::vector<std::u32string_view>& words = scratch.alike;
    // The key itself ranks first among those found: when its own words are
    // enough, the search could add none.
    if (const auto own = searches_.sounding.find(key);
        own != searches_.sounding.end() && own->second.size() >= limits_.sound_candidates) {
        words.assign(own->second.begin(),
                     own->second.begin() + static_cast<std::ptrdiff_t>(limits_.sound_candidates));
        return;
    }
    // The keys within one edit, as the weighted search ranks them: nearer
    // first, then heavier, then by key; the words of the first few keys.
    HitList& found = scratch.keys;
    found.text.clear();
    found.hits.clear();
    if (const std::optional<NodeId> node = searches_.sounds->find_key(key)) {
        found.add(key, 0, 0, *node);
    }
    gather_at<Metric::osa>(
        *searches_.sounds, key, 1, interrupt, scratch.walks, [](NodeId) { return true; },
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
    for (std::size_t i = 0; i < taken; ++i) {
        const auto group = searches_.sounding.find(found.key(keys[i]));
        if (group == searches_.sounding.end()) {
            continue;
        }
        for (const std::u32string& word : group->second) {
            if (words.size() == limits_.sound_candidates) {
                return;
            }
            words.emplace_back(word);
        }
    }
}

std::optional<Corrector::Found> Corrector::ranked(Scratch& scratch,
                                                  const std::vector<correction::Candidate>& near,
                                                  std::span<const std::u32string_view> heard,
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
    for (const std::u32string_view word : heard) {
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
    return Found{word.substr(1, word.size() - 2), priors[top[0].at] - top[0].score, top[0].score};
}

}  // namespace morlatch::spell
