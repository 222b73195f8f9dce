// Catalog::search: the items that hold the most query words, best first.
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
using detail::kFilterReach;
using detail::kFilters;
using detail::kNone;
using detail::Scratch;
using detail::scratch;

template <class F>
void Catalog::for_each_term(const Expansion& e, F&& f) const {
    if (!e.prefix) {
        for (const TermMatch& m : e.terms) {
            if (!f(m.term, m.typos, 0u)) {
                return;
            }
        }
        return;
    }
    // The terms matched whole first: past them, every term matches as a
    // prefix only.
    const std::uint32_t least = e.ranges.empty() ? 0 : e.ranges.front().typos;
    for (const TermMatch& m : e.terms) {
        if (!f(m.term, least, 0u)) {
            return;
        }
    }
    for (const PrefixRange& r : e.ranges) {
        for (std::uint32_t at = r.first; at < r.end; ++at) {
            if (!f(by_text_[at], r.typos, 1u)) {
                return;
            }
        }
    }
}

// ---- search -------------------------------------------------------------------

namespace {

// How one item matched a query: the ranking's figures in their order.
struct Ranked {
    std::uint32_t item;
    std::uint32_t matched;
    std::uint32_t typos;
    std::uint32_t spread;
    std::uint32_t prefixes;
};

// Per query word, the best item word: fewest typos, exact before prefix,
// earliest.
struct Best {
    std::uint32_t typos = kNone;
    std::uint32_t prefix = 0;
    std::uint32_t position = kUnmatched;

    bool operator<(const Best& o) const noexcept {
        return std::tie(typos, prefix, position) < std::tie(o.typos, o.prefix, o.position);
    }
};

std::uint32_t proximity_cost(std::uint32_t a, std::uint32_t b) noexcept {
    const std::int64_t d = static_cast<std::int64_t>(b) - static_cast<std::int64_t>(a);
    const std::int64_t cost = d > 0 ? d - 1 : 1 - d;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(cost, kProximityCap));
}

}  // namespace

std::vector<Hit> Catalog::search(const SearchQuery& query, Interrupt& interrupt) const {
    if (query.limit == 0) {
        return {};
    }
    Expanded e;
    for (std::size_t w = 0; w < query.words.size(); ++w) {
        const bool prefix = query.last_is_prefix && w + 1 == query.words.size();
        e.owned.push_back(expand(query.words[w], query.budgets[w], prefix, interrupt));
    }
    return search(query, e.point(), interrupt);
}

std::vector<Hit> Catalog::search(const SearchQuery& query,
                                 std::span<const Expansion* const> expansions,
                                 Interrupt& interrupt) const {
    const std::size_t q = query.words.size();
    if (q == 0 || query.limit == 0) {
        return {};
    }
    Scratch& s = scratch();
    s.begin(term_count(), size());
    const Expansion* prefix_word = nullptr;
    std::uint32_t prefix_at = 0;
    for (std::uint32_t w = 0; w < q; ++w) {
        if (expansions[w]->prefix) {
            prefix_word = expansions[w];
            prefix_at = w;
            continue;
        }
        for (const TermMatch& m : expansions[w]->terms) {
            s.add(m.term, {w, m.typos, m.prefix, kNone});
        }
    }
    std::vector<Best> best(q);
    auto evaluate = [&](std::uint32_t item) {
        std::fill(best.begin(), best.end(), Best{});
        const auto terms = words(item);
        for (std::uint32_t j = 0; j < terms.size(); ++j) {
            const std::uint32_t t = terms[j];
            for (std::uint32_t e = s.head(t); e != kNone; e = s.entries[e].next) {
                const Entry& entry = s.entries[e];
                best[entry.word] = std::min(best[entry.word], Best{entry.typos, entry.prefix, j});
            }
            if (prefix_word != nullptr) {
                if (s.prefix_stamp[t] != s.stamp) {
                    s.prefix_stamp[t] = s.stamp;
                    s.prefix_value[t] = prefix_match(*prefix_word, t);
                }
                const auto [typos, as_prefix] = s.prefix_value[t];
                if (typos != kNone) {
                    best[prefix_at] = std::min(best[prefix_at], Best{typos, as_prefix, j});
                }
            }
        }
        Ranked r{item, 0, 0, 0, 0};
        std::uint32_t previous = kUnmatched;
        for (const Best& b : best) {
            if (b.position == kUnmatched) {
                continue;
            }
            ++r.matched;
            r.typos += b.typos;
            r.prefixes += b.prefix;
            if (previous != kUnmatched) {
                r.spread += proximity_cost(previous, b.position);
            }
            previous = b.position;
        }
        return r;
    };
    auto better = [&](const Ranked& a, const Ranked& b) {
        if (a.matched != b.matched) return a.matched > b.matched;
        if (a.typos != b.typos) return a.typos < b.typos;
        if (a.spread != b.spread) return a.spread < b.spread;
        if (a.prefixes != b.prefixes) return a.prefixes < b.prefixes;
        return tie_rank_[a.item] < tie_rank_[b.item];
    };
    std::priority_queue<Ranked, std::vector<Ranked>, decltype(better)> top(better);
    // Words by how many items their terms reach, fewest first. After the
    // first r + 1 of them, every item that misses at most r words was seen:
    // once one such item is found, the items holding the most words are.
    std::vector<std::uint32_t> order(q);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return expansions[a]->postings < expansions[b]->postings;
    });
    // The fewest typos each word adds to an item that it matches.
    std::vector<std::uint32_t> least_typos(q, 0);
    for (std::size_t w = 0; w < q; ++w) {
        const Expansion& e = *expansions[w];
        if (e.prefix ? !e.ranges.empty() : !e.terms.empty()) {
            least_typos[w] = e.prefix ? e.ranges.front().typos : e.terms.front().typos;
        }
    }
    std::vector<std::uint64_t> with_matched(q + 1, 0);
    // Reads the items of the r-th word drawn; with `held`, only those that
    // the filter words hold too.
    auto traverse = [&](std::size_t r, bool held) {
        std::uint64_t later_typos = 0;
        for (std::size_t i = r + 1; i < q; ++i) {
            later_typos += least_typos[order[i]];
        }
        const auto matched = static_cast<std::uint32_t>(q - r);
        // An item first reached through a term of the r-th word misses the
        // words before it: it ranks at best as `matched` words with the
        // term's typos (and prefix) and the fewest typos of the words after.
        // Terms come fewest typos first, and within a term items come in
        // their order among equals: once the best items rank above that, no
        // unseen item can enter them.
        auto unseen_below = [&](std::uint32_t typos, std::uint32_t prefix, std::uint32_t tie) {
            if (top.size() < query.limit) {
                return false;
            }
            const Ranked& worst = top.top();
            if (worst.matched != matched) return worst.matched > matched;
            if (worst.typos != typos + later_typos) return worst.typos < typos + later_typos;
            if (worst.spread != 0) return false;
            if (worst.prefixes != prefix) return worst.prefixes < prefix;
            return tie_rank_[worst.item] < tie;
        };
        for_each_term(*expansions[order[r]], [&](std::uint32_t term, std::uint32_t typos,
                                                 std::uint32_t prefix) {
            if (unseen_below(typos, prefix, 0)) {
                return false;
            }
            for (std::uint64_t at = posting_offsets_[term]; at < posting_offsets_[term + 1]; ++at) {
                const std::uint32_t item = postings_[at];
                if (unseen_below(typos, prefix, tie_rank_[item])) {
                    break;
                }
                if ((held && !s.held_by_filter(item)) || !s.first_visit(item)) {
                    continue;
                }
                interrupt.tick();
                const Ranked ranked = evaluate(item);
                ++with_matched[ranked.matched];
                if (top.size() < query.limit) {
                    top.push(ranked);
                } else if (better(ranked, top.top())) {
                    top.pop();
                    top.push(ranked);
                }
            }
            return true;
        });
    };
    // First the items that the next words drawn hold too (a bitmap each,
    // for words that reach not many more items than the first: marking an
    // item costs a small part of reading one): when some items hold every
    // word, they are all among them.
    std::size_t filters = 0;
    while (filters < std::min<std::size_t>(q - 1, kFilters) &&
           expansions[order[filters + 1]]->postings <=
               kFilterReach * std::max<std::uint64_t>(expansions[order[0]]->postings, 1)) {
        ++filters;
    }
    if (filters > 0) {
        s.clear_filters(size(), filters);
        for (std::size_t f = 0; f < s.filters; ++f) {
            for_each_term(*expansions[order[f + 1]],
                          [&](std::uint32_t term, std::uint32_t, std::uint32_t) {
                              for (std::uint64_t at = posting_offsets_[term];
                                   at < posting_offsets_[term + 1]; ++at) {
                                  s.mark(f, postings_[at]);
                              }
                              return true;
                          });
        }
        traverse(0, true);
    }
    for (std::size_t r = 0; r < q; ++r) {
        if (with_matched[q] == 0) {
            traverse(r, false);
        }
        const std::uint64_t sure =
            std::accumulate(with_matched.begin() + (q - r), with_matched.end(), std::uint64_t{0});
        if (sure > 0) {
            break;
        }
    }
    std::uint32_t most = 0;
    for (std::uint32_t m = 0; m <= q; ++m) {
        most = with_matched[m] > 0 ? m : most;
    }
    std::vector<Ranked> ranked;
    ranked.reserve(top.size());
    for (; !top.empty(); top.pop()) {
        if (top.top().matched == most) {
            ranked.push_back(top.top());
        }
    }
    std::reverse(ranked.begin(), ranked.end());
    const std::uint64_t budget_sum =
        std::accumulate(query.budgets.begin(), query.budgets.end(), std::uint64_t{0});
    const double worst_spread = static_cast<double>(kProximityCap) * static_cast<double>(q - 1);
    std::vector<Hit> hits;
    hits.reserve(ranked.size());
    for (const Ranked& r : ranked) {
        evaluate(r.item);
        const double within =
            (static_cast<double>(r.typos) +
             (static_cast<double>(r.spread) + static_cast<double>(r.prefixes) / 2) /
                 (worst_spread + 1)) /
            (static_cast<double>(budget_sum) + 1);
        Hit hit{r.item, (static_cast<double>(r.matched) - within) / static_cast<double>(q), {}};
        hit.positions.reserve(q);
        for (const Best& b : best) {
            hit.positions.push_back(b.position);
        }
        hits.push_back(std::move(hit));
    }
    return hits;
}

}  // namespace morlatch::catalog
