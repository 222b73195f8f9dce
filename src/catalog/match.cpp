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

// One match: the bounds that skip items which cannot reach the cutoff, and
// the best items scored so far.
class Catalog::MatchRun {
public:
    MatchRun(const Catalog& catalog, const MatchQuery& query,
             std::span<const Expansion* const> expansions, Interrupt& interrupt)
        : c_(catalog),
          query_(query),
          expansions_(expansions),
          interrupt_(interrupt),
          s_(scratch()),
          q_(query.words.size()),
          b_(buffers()),
          alone_(b_.alone),
          heaviest_(b_.heaviest),
          least_(b_.least),
          order_(b_.order),
          reach_(b_.reach),
          pairable_(b_.pairable),
          name_least_(b_.name_least),
          pairs_(b_.pairs),
          word_used_(b_.word_used),
          paired_with_(b_.paired_with),
          paired_pair_(b_.paired_pair),
          position_used_(b_.position_used),
          top_(Better{catalog.tie_rank_.data()}) {
        alone_.assign(q_, catalog.unseen_mass());
        heaviest_.assign(q_, 0.0);
        least_.assign(q_, 0.0);
        word_used_.assign(q_, 0);
        paired_with_.assign(q_, 0);
        paired_pair_.assign(q_, Pair{});
    }

    std::vector<Hit> run() {
        s_.begin(c_.term_count(), c_.size());
        register_words();
        const std::size_t drawn = draw_words();
        bound_steps(drawn);
        for (std::size_t r = 0; r < drawn; ++r) {
            if (reach_[r] < threshold() - 1e-9) {
                break;  // no item first reached from here on can enter the best
            }
            for (const TermMatch& m : expansions_[order_[r]]->terms) {
                read_postings(m.term, r);
            }
        }
        return hits();
    }

private:
    struct Scored {
        std::uint32_t item;
        double score;
    };
    struct Better {
        const std::uint32_t* tie_rank;
        bool operator()(const Scored& a, const Scored& b) const noexcept {
            if (a.score != b.score) return a.score > b.score;
            return tie_rank[a.item] < tie_rank[b.item];
        }
    };

    // Per word: what it weighs when it pairs with nothing (its own term's
    // mass, or an unseen word's), at most when it pairs, and the least it
    // adds to the name's side (alone, or paired with its lightest term).
    void register_words() {
        for (std::uint32_t w = 0; w < q_; ++w) {
            for (const TermMatch& m : expansions_[w]->terms) {
                s_.add(m.term, {w, m.typos, 0, kNone});
                heaviest_[w] = std::max(heaviest_[w], c_.mass(m.term));
                if (m.typos == 0) {
                    alone_[w] = c_.mass(m.term);
                }
            }
        }
        for (std::uint32_t w = 0; w < q_; ++w) {
            least_[w] = alone_[w];
            for (const TermMatch& m : expansions_[w]->terms) {
                least_[w] = std::min(least_[w], c_.mass(m.term));
            }
        }
    }

    // The least score an item needs to enter the best: the cutoff, or once
    // there are `limit` of them, the worst of their scores (an item equal
    // to it may still enter, by its place among equals).
    double threshold() const {
        return top_.size() < query_.limit ? query_.cutoff
                                          : std::max(query_.cutoff, top_.top().score);
    }

    // An item that pairs only words of a set A scores at most
    // 2 sum_A heaviest / (2 sum_A heaviest + sum_notA alone). Items are
    // drawn from the postings of the words not in such a set, fewest items
    // first, until the words left could not reach the cutoff on their own.
    // Returns how many words are drawn; reach_[r] bounds the score of the
    // items first reached through the r-th.
    std::size_t draw_words() {
        order_.resize(q_);
        std::iota(order_.begin(), order_.end(), 0u);
        // Ties in query order (a stable sort would ask for a buffer).
        std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
            const std::uint64_t pa = expansions_[a]->postings;
            const std::uint64_t pb = expansions_[b]->postings;
            return pa != pb ? pa < pb : a < b;
        });
        double rest_heavy = std::accumulate(heaviest_.begin(), heaviest_.end(), 0.0);
        double drawn_alone = 0;
        std::size_t drawn = 0;
        auto bound = [&] {
            const double pairs = 2 * rest_heavy;
            return pairs == 0 ? 0.0 : pairs / (pairs + drawn_alone);
        };
        reach_.clear();
        while (drawn < q_ && bound() >= query_.cutoff - 1e-9) {
            reach_.push_back(bound());
            rest_heavy -= heaviest_[order_[drawn]];
            drawn_alone += alone_[order_[drawn]];
            ++drawn;
        }
        return drawn;
    }

    // An item first reached through the r-th word drawn holds no term of the
    // words drawn before: they stay alone, and only the others can pair.
    // Bounds of an item's score, for the items first reached at each step:
    // the most weight that can pair, and the least weight of the name.
    void bound_steps(std::size_t drawn) {
        pairable_.assign(drawn + 1, 0.0);
        name_least_.assign(drawn + 1, 0.0);
        for (std::size_t r = 0; r <= drawn; ++r) {
            for (std::size_t i = 0; i < q_; ++i) {
                pairable_[r] += i < r ? 0.0 : heaviest_[order_[i]];
                name_least_[r] += i < r ? alone_[order_[i]] : least_[order_[i]];
            }
        }
    }

    // Whether an item first reached at `step` may enter the best, from
    // its own weight alone (rounded to a float: taken a little low or high,
    // whichever bounds the score from above), then from its words that some
    // word matches (reading the mass of those words only).
    bool may_reach(std::uint32_t item, std::size_t step) const {
        const double least_words = name_least_[step];
        const double own_low = c_.item_mass_[item] * (1 - 1e-6);
        const double own_high = c_.item_mass_[item] * (1 + 1e-6);
        const double needed = threshold() - 1e-9;
        if (2 * std::min(pairable_[step], own_high) / (least_words + own_low) < needed) {
            return false;
        }
        double reachable = 0;
        for (const std::uint32_t t : c_.words(item)) {
            if (s_.head(t) != kNone) {
                reachable += c_.mass(t);
            }
        }
        return 2 * reachable / (least_words + own_low) >= needed;
    }

    // Pairs query words with item words, most similar (then heaviest)
    // first, each word at most once on either side.
    void pair_words(std::span<const std::uint32_t> terms) {
        pairs_.clear();
        for (std::uint32_t j = 0; j < terms.size(); ++j) {
            for (std::uint32_t e = s_.head(terms[j]); e != kNone; e = s_.entries[e].next) {
                const Entry& entry = s_.entries[e];
                const double longer = static_cast<double>(std::max<std::size_t>(
                    query_.words[entry.word].size(), c_.term_length_[terms[j]]));
                pairs_.push_back({1 - static_cast<double>(entry.typos) / longer, c_.mass(terms[j]),
                                  entry.word, j});
            }
        }
        std::sort(pairs_.begin(), pairs_.end(), [](const Pair& a, const Pair& b) {
            if (a.similarity != b.similarity) return a.similarity > b.similarity;
            if (a.mass != b.mass) return a.mass > b.mass;
            return std::tie(a.word, a.position) < std::tie(b.word, b.position);
        });
        std::fill(word_used_.begin(), word_used_.end(), 0);
        position_used_.assign(terms.size(), 0);
        for (const Pair& p : pairs_) {
            if (!word_used_[p.word] && !position_used_[p.position]) {
                word_used_[p.word] = 1;
                position_used_[p.position] = 1;
                paired_with_[p.word] = p.position;
                paired_pair_[p.word] = p;
            }
        }
    }

    // An item's score (its words paired in word_used_ and paired_with_),
    // or -1 when it cannot reach the cutoff.
    double score_of(std::uint32_t item, std::size_t step) {
        if (!may_reach(item, step)) {
            return -1.0;
        }
        const auto terms = c_.words(item);
        pair_words(terms);
        double total = 0;
        double paired = 0;
        for (std::uint32_t w = 0; w < q_; ++w) {
            total += word_used_[w] ? c_.mass(terms[paired_with_[w]]) : alone_[w];
            if (word_used_[w]) {
                paired += paired_pair_[w].similarity * 2 * paired_pair_[w].mass;
            }
        }
        for (const std::uint32_t t : terms) {
            total += c_.mass(t);
        }
        return std::min(1.0, paired / total);
    }

    void read_postings(std::uint32_t term, std::size_t step) {
        for (std::uint64_t at = c_.posting_offsets_[term]; at < c_.posting_offsets_[term + 1];
             ++at) {
            const std::uint32_t item = c_.postings_[at];
            if (!s_.first_visit(item)) {
                continue;
            }
            interrupt_.tick();
            const Scored scored{item, score_of(item, step)};
            if (!(scored.score >= query_.cutoff)) {
                continue;
            }
            if (top_.size() < query_.limit) {
                top_.push(scored);
            } else if (Better{c_.tie_rank_.data()}(scored, top_.top())) {
                top_.pop();
                top_.push(scored);
            }
        }
    }

    std::vector<Hit> hits() {
        std::vector<Hit> hits(top_.size());
        for (std::size_t at = hits.size(); at-- > 0; top_.pop()) {
            const Scored& scored = top_.top();
            pair_words(c_.words(scored.item));
            hits[at] = {scored.item, scored.score, std::vector<std::uint32_t>(q_, kUnmatched)};
            for (std::uint32_t w = 0; w < q_; ++w) {
                if (word_used_[w]) {
                    hits[at].positions[w] = paired_with_[w];
                }
            }
        }
        return hits;
    }

    // The per-word and per-pair arrays, kept per thread from one match to
    // the next (a batch matches many names on each thread).
    struct Buffers {
        std::vector<double> alone;
        std::vector<double> heaviest;
        std::vector<double> least;
        std::vector<std::uint32_t> order;
        std::vector<double> reach;
        std::vector<double> pairable;
        std::vector<double> name_least;
        std::vector<Pair> pairs;
        std::vector<std::uint8_t> word_used;
        std::vector<std::uint32_t> paired_with;
        std::vector<Pair> paired_pair;
        std::vector<std::uint8_t> position_used;
    };
    static Buffers& buffers() {
        thread_local Buffers own;
        return own;
    }

    const Catalog& c_;
    const MatchQuery& query_;
    std::span<const Expansion* const> expansions_;
    Interrupt& interrupt_;
    Scratch& s_;
    const std::size_t q_;
    Buffers& b_;
    std::vector<double>& alone_;
    std::vector<double>& heaviest_;
    std::vector<double>& least_;
    std::vector<std::uint32_t>& order_;
    std::vector<double>& reach_;
    std::vector<double>& pairable_;
    std::vector<double>& name_least_;
    std::vector<Pair>& pairs_;
    std::vector<std::uint8_t>& word_used_;
    std::vector<std::uint32_t>& paired_with_;
    std::vector<Pair>& paired_pair_;
    std::vector<std::uint8_t>& position_used_;
    std::priority_queue<Scored, std::vector<Scored>, Better> top_;
};

std::vector<Hit> Catalog::match(const MatchQuery& query,
                                std::span<const Expansion* const> expansions,
                                Interrupt& interrupt) const {
    if (query.words.empty() || query.limit == 0) {
        return {};
    }
    return MatchRun(*this, query, expansions, interrupt).run();
}

}  // namespace morlatch::catalog
