// Catalog::match: the items most like a whole name.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <queue>
#include <tuple>
#include <utility>
#include <vector>

#include "catalog/catalog.hpp"
#include "catalog/detail.hpp"

namespace morlatch::catalog {

using detail::Entry;
using detail::Expanded;
using detail::kNone;
using detail::Scratch;
using detail::scratch;

// ---- match --------------------------------------------------------------------

namespace {

struct Pair {
    double similarity;
    double mass;
    std::uint32_t word;
    std::uint32_t position;
};

}  // namespace

std::vector<Hit> Catalog::match(const MatchQuery& query, Interrupt& interrupt) const {
    if (query.limit == 0) {
        return {};
    }
    Expanded e;
    for (const std::u32string& word : query.words) {
        e.owned.push_back(expand(word, auto_budget(word.size()), false, interrupt));
    }
    return match(query, e.point(), interrupt);
}

std::vector<Hit> Catalog::match(const MatchQuery& query,
                                std::span<const Expansion* const> expansions,
                                Interrupt& interrupt) const {
    const std::size_t q = query.words.size();
    if (q == 0 || query.limit == 0) {
        return {};
    }
    Scratch& s = scratch();
    s.begin(term_count(), size());
    // Per word: what it weighs when it pairs with nothing (its own term's
    // mass, or an unseen word's) and at most when it pairs.
    std::vector<double> alone(q, unseen_mass());
    std::vector<double> heaviest(q, 0.0);
    for (std::uint32_t w = 0; w < q; ++w) {
        for (const TermMatch& m : expansions[w]->terms) {
            s.add(m.term, {w, m.typos, 0, kNone});
            heaviest[w] = std::max(heaviest[w], mass(m.term));
            if (m.typos == 0) {
                alone[w] = mass(m.term);
            }
        }
    }
    // An item that pairs only words of a set A scores at most
    // 2 sum_A heaviest / (2 sum_A heaviest + sum_notA alone). Items are
    // drawn from the postings of the words not in such a set, fewest items
    // first, until the words left could not reach the cutoff on their own.
    std::vector<std::uint32_t> order(q);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return expansions[a]->postings < expansions[b]->postings;
    });
    double rest_heavy = std::accumulate(heaviest.begin(), heaviest.end(), 0.0);
    double drawn_alone = 0;
    std::size_t drawn = 0;
    auto bound = [&] {
        const double pairs = 2 * rest_heavy;
        return pairs == 0 ? 0.0 : pairs / (pairs + drawn_alone);
    };
    while (drawn < q && bound() >= query.cutoff - 1e-9) {
        rest_heavy -= heaviest[order[drawn]];
        drawn_alone += alone[order[drawn]];
        ++drawn;
    }
    std::vector<Pair> pairs;
    std::vector<std::uint8_t> word_used(q);
    std::vector<std::uint32_t> paired_with(q);
    std::vector<Pair> paired_pair(q);
    std::vector<std::uint8_t> position_used;
    // The least a word adds to the name's side: alone, or paired with its
    // lightest term.
    std::vector<double> least(q);
    for (std::uint32_t w = 0; w < q; ++w) {
        least[w] = alone[w];
        for (const TermMatch& m : expansions[w]->terms) {
            least[w] = std::min(least[w], mass(m.term));
        }
    }
    // An item first reached through the r-th word drawn holds no term of the
    // words drawn before: they stay alone, and only the others can pair.
    // Bounds of an item's score, for the items first reached at each step:
    // the most weight that can pair, and the least weight of the name.
    std::vector<double> pairable(drawn + 1, 0.0);
    std::vector<double> name_least(drawn + 1, 0.0);
    for (std::size_t r = 0; r <= drawn; ++r) {
        for (std::size_t i = 0; i < q; ++i) {
            pairable[r] += i < r ? 0.0 : heaviest[order[i]];
            name_least[r] += i < r ? alone[order[i]] : least[order[i]];
        }
    }
    // An item's score, or -1 when it cannot reach the cutoff.
    auto score_of = [&](std::uint32_t item, std::size_t step) {
        // First from the item's own weight alone (rounded to a float: taken
        // a little low or high, whichever bounds the score from above), then
        // from its words that some word matches.
        const double least_words = name_least[step];
        const double own_low = item_mass_[item] * (1 - 1e-6);
        const double own_high = item_mass_[item] * (1 + 1e-6);
        if (2 * std::min(pairable[step], own_high) / (least_words + own_low) <
            query.cutoff - 1e-9) {
            return -1.0;
        }
        const auto terms = words(item);
        double reachable = 0;
        double own = 0;
        for (const std::uint32_t t : terms) {
            own += mass(t);
            reachable += s.head(t) != kNone ? mass(t) : 0.0;
        }
        if (2 * reachable / (least_words + own) < query.cutoff - 1e-9) {
            return -1.0;
        }
        pairs.clear();
        for (std::uint32_t j = 0; j < terms.size(); ++j) {
            for (std::uint32_t e = s.head(terms[j]); e != kNone; e = s.entries[e].next) {
                const Entry& entry = s.entries[e];
                const double longer = static_cast<double>(
                    std::max<std::size_t>(query.words[entry.word].size(), term_length_[terms[j]]));
                pairs.push_back(
                    {1 - static_cast<double>(entry.typos) / longer, mass(terms[j]), entry.word, j});
            }
        }
        std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
            if (a.similarity != b.similarity) return a.similarity > b.similarity;
            if (a.mass != b.mass) return a.mass > b.mass;
            return std::tie(a.word, a.position) < std::tie(b.word, b.position);
        });
        std::fill(word_used.begin(), word_used.end(), 0);
        position_used.assign(terms.size(), 0);
        for (const Pair& p : pairs) {
            if (!word_used[p.word] && !position_used[p.position]) {
                word_used[p.word] = 1;
                position_used[p.position] = 1;
                paired_with[p.word] = p.position;
                paired_pair[p.word] = p;
            }
        }
        double total = 0;
        for (std::uint32_t w = 0; w < q; ++w) {
            total += word_used[w] ? mass(terms[paired_with[w]]) : alone[w];
        }
        for (const std::uint32_t t : terms) {
            total += mass(t);
        }
        double paired = 0;
        for (std::uint32_t w = 0; w < q; ++w) {
            if (word_used[w]) {
                paired += paired_pair[w].similarity * 2 * paired_pair[w].mass;
            }
        }
        return std::min(1.0, paired / total);
    };
    struct Scored {
        std::uint32_t item;
        double score;
    };
    auto better = [&](const Scored& a, const Scored& b) {
        if (a.score != b.score) return a.score > b.score;
        return tie_rank_[a.item] < tie_rank_[b.item];
    };
    std::priority_queue<Scored, std::vector<Scored>, decltype(better)> top(better);
    for (std::size_t r = 0; r < drawn; ++r) {
        for (const TermMatch& m : expansions[order[r]]->terms) {
            for (std::uint64_t at = posting_offsets_[m.term]; at < posting_offsets_[m.term + 1];
                 ++at) {
                const std::uint32_t item = postings_[at];
                if (!s.first_visit(item)) {
                    continue;
                }
                interrupt.tick();
                const Scored scored{item, score_of(item, r)};
                if (!(scored.score >= query.cutoff)) {
                    continue;
                }
                if (top.size() < query.limit) {
                    top.push(scored);
                } else if (better(scored, top.top())) {
                    top.pop();
                    top.push(scored);
                }
            }
        }
    }
    std::vector<Hit> hits(top.size());
    for (std::size_t at = hits.size(); at-- > 0; top.pop()) {
        const Scored& scored = top.top();
        score_of(scored.item, 0);
        hits[at] = {scored.item, scored.score, std::vector<std::uint32_t>(q, kUnmatched)};
        for (std::uint32_t w = 0; w < q; ++w) {
            if (word_used[w]) {
                hits[at].positions[w] = paired_with[w];
            }
        }
    }
    return hits;
}

}  // namespace morlatch::catalog
