// Catalog::search: the items that hold the most query words, best first.
#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <queue>
#include <tuple>
#include <utility>
#include <vector>

#include "catalog/catalog.hpp"
#include "catalog/detail.hpp"
#include "catalog/item_bits.hpp"
#include "catalog/search_sets.hpp"

namespace morlatch::catalog {

using detail::Entry;
using detail::Expanded;
using detail::kFilterReach;
using detail::kFilters;
using detail::kNone;
using detail::Scratch;
using detail::scratch;
using detail::search_sets;
using detail::SearchSets;

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

// Reading and ranking an item costs a few random reads in arrays larger than
// the caches; marking a posting, a read in order and a write to a bitmap
// that stays cached: about this many times less.
inline constexpr std::uint64_t kEvaluatedPerMarked = 64;

// The items whose reads a search asks for at once.
inline constexpr std::size_t kBatch = 16;

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

// One search: the items seen so far and the best of them.
class Catalog::SearchRun {
public:
    SearchRun(const Catalog& catalog, const SearchQuery& query,
              std::span<const Expansion* const> expansions, Interrupt& interrupt)
        : c_(catalog),
          query_(query),
          expansions_(expansions),
          interrupt_(interrupt),
          s_(scratch()),
          sets_(search_sets()),
          q_(query.words.size()),
          best_(q_),
          top_(Better{catalog.tie_rank_.data()}),
          with_matched_(q_ + 1, 0) {}

    std::vector<Hit> run() {
        s_.begin(c_.term_count(), c_.size());
        sets_.reset(c_.size());
        register_words();
        order_words();
        const std::size_t filters = filter_count();
        plan_fewest(filters);
        if (filters > 0) {
            mark_filters(filters);
            traverse(0, true);
        }
        for (std::size_t r = 0; r < q_; ++r) {
            if (with_matched_[q_] == 0) {
                traverse(r, false);
            }
            const std::uint64_t sure = std::accumulate(with_matched_.begin() + (q_ - r),
                                                       with_matched_.end(), std::uint64_t{0});
            if (sure > 0) {
                break;
            }
        }
        return hits();
    }

private:
    struct Better {
        const std::uint32_t* tie_rank;
        bool operator()(const Ranked& a, const Ranked& b) const noexcept {
            if (a.matched != b.matched) return a.matched > b.matched;
            if (a.typos != b.typos) return a.typos < b.typos;
            if (a.spread != b.spread) return a.spread < b.spread;
            if (a.prefixes != b.prefixes) return a.prefixes < b.prefixes;
            return tie_rank[a.item] < tie_rank[b.item];
        }
    };

    // The terms of the words matched whole, listed per term in the scratch
    // space; the prefix word's are looked up per term as items show them.
    void register_words() {
        for (std::uint32_t w = 0; w < q_; ++w) {
            if (expansions_[w]->prefix) {
                prefix_word_ = expansions_[w];
                prefix_at_ = w;
                continue;
            }
            for (const TermMatch& m : expansions_[w]->terms) {
                s_.add(m.term, {w, m.typos, m.prefix, kNone});
            }
        }
    }

    // Per query word, the item word it matches best, in best_.
    void match_words(std::uint32_t item) {
        std::fill(best_.begin(), best_.end(), Best{});
        const auto terms = c_.words(item);
        for (std::uint32_t j = 0; j < terms.size(); ++j) {
            const std::uint32_t t = terms[j];
            for (std::uint32_t e = s_.head(t); e != kNone; e = s_.entries[e].next) {
                const Entry& entry = s_.entries[e];
                best_[entry.word] = std::min(best_[entry.word], Best{entry.typos, entry.prefix, j});
            }
            if (prefix_word_ != nullptr) {
                if (s_.prefix_stamp[t] != s_.stamp) {
                    s_.prefix_stamp[t] = s_.stamp;
                    s_.prefix_value[t] = c_.prefix_match(*prefix_word_, t);
                }
                const auto [typos, as_prefix] = s_.prefix_value[t];
                if (typos != kNone) {
                    best_[prefix_at_] = std::min(best_[prefix_at_], Best{typos, as_prefix, j});
                }
            }
        }
    }

    Ranked evaluate(std::uint32_t item) {
        match_words(item);
        Ranked r{item, 0, 0, 0, 0};
        std::uint32_t previous = kUnmatched;
        for (const Best& b : best_) {
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
    }

    void offer(const Ranked& ranked) {
        ++with_matched_[ranked.matched];
        if (top_.size() < query_.limit) {
            top_.push(ranked);
        } else if (Better{c_.tie_rank_.data()}(ranked, top_.top())) {
            top_.pop();
            top_.push(ranked);
        }
    }

    // Words by how many items their terms reach, fewest first. After the
    // first r + 1 of them, every item that misses at most r words was seen:
    // once one such item is found, the items holding the most words are.
    // Also the fewest typos each word adds to an item that it matches, and
    // the prefix match it adds then: a prefix word that matches no whole
    // term with its fewest typos matches every item with those as a prefix.
    void order_words() {
        order_.resize(q_);
        std::iota(order_.begin(), order_.end(), 0u);
        std::stable_sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
            return expansions_[a]->postings < expansions_[b]->postings;
        });
        least_typos_.assign(q_, 0);
        least_prefix_.assign(q_, 0);
        std::vector<std::u32string_view> sorted(query_.words.begin(), query_.words.end());
        std::sort(sorted.begin(), sorted.end());
        repeats_ = std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
        for (std::size_t w = 0; w < q_; ++w) {
            const Expansion& e = *expansions_[w];
            if (e.prefix ? !e.ranges.empty() : !e.terms.empty()) {
                least_typos_[w] = e.prefix ? e.ranges.front().typos : e.terms.front().typos;
            }
            if (e.prefix && std::none_of(e.terms.begin(), e.terms.end(), [&](const TermMatch& m) {
                    return m.typos == least_typos_[w];
                })) {
                least_prefix_[w] = 1;
            }
        }
    }

    // The best an unseen item can rank, figure by figure.
    struct Bound {
        std::uint32_t matched;
        std::uint64_t typos;
        std::uint32_t spread;
        std::uint32_t prefixes;
    };

    // An item first reached through a term of the r-th word misses the
    // words before it: it ranks at best as `matched` words with the term's
    // typos (and prefix) and the fewest typos (and prefixes, with those)
    // of the words after, and with those typos at least the least spread
    // of its words. Terms come fewest typos first, and within a term items
    // come in their order among equals: once the best items rank above
    // that, no unseen item can enter them. `item` is the term's next item,
    // or null before its first (its place among equals is read only when
    // the rest ties: a random read that most postings skip).
    bool unseen_below(const Bound& b, const std::uint32_t* item) const {
        if (top_.size() < query_.limit) {
            return false;
        }
        const Ranked& worst = top_.top();
        if (worst.matched != b.matched) return worst.matched > b.matched;
        if (worst.typos != b.typos) return worst.typos < b.typos;
        if (worst.spread != b.spread) return worst.spread < b.spread;
        if (worst.prefixes != b.prefixes) return worst.prefixes < b.prefixes;
        return item != nullptr && c_.tie_rank_[worst.item] < c_.tie_rank_[*item];
    }

    // Reads the items of the r-th word drawn; with `held`, only those that
    // the filter words hold too.
    void traverse(std::size_t r, bool held) {
        std::uint64_t later_typos = 0;
        std::uint32_t later_prefixes = 0;
        for (std::size_t i = r + 1; i < q_; ++i) {
            later_typos += least_typos_[order_[i]];
            later_prefixes += least_prefix_[order_[i]];
        }
        const auto matched = static_cast<std::uint32_t>(q_ - r);
        std::pair<std::uint32_t, std::uint32_t> spread{kNone, 0};  // (typos, least spread)
        c_.for_each_term(*expansions_[order_[r]], [&](std::uint32_t term, std::uint32_t typos,
                                                      std::uint32_t prefix) {
            if (spread.first != typos) {
                spread = {typos, least_spread(r, typos)};
            }
            const Bound bound{matched, typos + later_typos, spread.second, prefix + later_prefixes};
            return read_term(term, bound, held, r == 0);
        });
    }

    // The least spread of an item that holds exactly the words drawn from
    // the r-th on, the r-th with `typos` and every later one with its
    // fewest. Equal words take the same item word (a prefix word equal to
    // another takes its word when their typos are equal), so the words
    // between two equal ones cost at least their count (see
    // proximity_cost: the cost of a pair is |d - 1|, capped); over disjoint
    // stretches these bounds add up.
    std::uint32_t least_spread(std::size_t r, std::uint32_t typos) {
        if (!repeats_) {
            return 0;
        }
        held_.clear();
        for (std::uint32_t w = 0; w < q_; ++w) {
            const auto drawn = static_cast<std::size_t>(std::find(order_.begin(), order_.end(), w) -
                                                        order_.begin());
            if (drawn >= r) {
                held_.push_back({w, drawn == r ? typos : least_typos_[w]});
            }
        }
        const auto same = [&](std::pair<std::uint32_t, std::uint32_t> a,
                              std::pair<std::uint32_t, std::uint32_t> b) {
            if (query_.words[a.first] != query_.words[b.first] ||
                query_.budgets[a.first] != query_.budgets[b.first]) {
                return false;
            }
            const bool prefixes = expansions_[a.first]->prefix || expansions_[b.first]->prefix;
            return !prefixes || a.second == b.second;
        };
        least_.assign(held_.size(), 0);
        for (std::size_t k = 1; k < held_.size(); ++k) {
            least_[k] = least_[k - 1];
            for (std::size_t i = 0; i < k; ++i) {
                if (same(held_[i], held_[k])) {
                    const auto stretch =
                        static_cast<std::uint32_t>(std::min<std::size_t>(k - i, kProximityCap));
                    least_[k] = std::max(least_[k], least_[i] + stretch);
                }
            }
        }
        return least_.empty() ? 0 : least_.back();
    }

    // Offers the unseen items of a term, as long as they may enter the best;
    // false when not even its first could. Of the first word's items, those
    // that the sets in sets_.fewest show cannot enter are passed over
    // unread, once the sets are marked.
    bool read_term(std::uint32_t term, const Bound& b, bool held, bool first) {
        if (unseen_below(b, nullptr)) {
            return false;
        }
        const std::uint64_t end = c_.posting_offsets_[term + 1];
        std::uint64_t at = c_.posting_offsets_[term];
        std::array<std::uint64_t, kBatch> batch{};
        while (at < end) {
            std::size_t size = 0;
            const bool last = gather(at, end, b, held, batch, size);
            for (std::size_t i = 0; i < size; ++i) {
                __builtin_prefetch(
                    &c_.parts_.words[c_.parts_.word_offsets[c_.postings_[batch[i]]]]);
            }
            for (std::size_t i = 0; i < size; ++i) {
                const std::uint32_t* item = &c_.postings_[batch[i]];
                if (unseen_below(b, item)) {
                    return true;
                }
                if (first && passed_over(b, item)) {
                    continue;
                }
                sets_.seen.insert(*item);
                ++evaluated_;
                interrupt_.tick();
                offer(evaluate(*item));
            }
            if (last) {
                break;
            }
        }
        return true;
    }

    // The places of the term's next postings from `at` whose items are
    // unseen (and held, with `held`), up to kBatch, with their word offsets
    // and places among equals asked for: the random reads of several items
    // then overlap (an item is a random read in arrays far larger than the
    // caches), the words asked for once their offsets are in. Whether an
    // item can still enter the best is asked as each is read; here, of
    // every 64th posting only, so that a term whose later items cannot
    // enter is not read through: true when there is none.
    bool gather(std::uint64_t& at, std::uint64_t end, const Bound& b, bool held,
                std::array<std::uint64_t, kBatch>& batch, std::size_t& size) const {
        for (; at < end && size < kBatch; ++at) {
            const std::uint32_t item = c_.postings_[at];
            const bool wanted = (!held || held_by_filters(item)) && !sets_.seen.contains(item);
            if (at % 64 == 0 && unseen_below(b, &c_.postings_[at])) {
                return true;
            }
            if (wanted) {
                __builtin_prefetch(&c_.parts_.word_offsets[item]);
                __builtin_prefetch(&c_.tie_rank_[item]);
                batch[size++] = at;
            }
        }
        return at == end;
    }

    // First the items that the next words drawn hold too (a bitmap each,
    // for words that reach not many more items than the first: marking an
    // item costs a small part of reading one): when some items hold every
    // word, they are all among them.
    std::size_t filter_count() const {
        std::size_t filters = 0;
        const std::uint64_t first = std::max<std::uint64_t>(expansions_[order_[0]]->postings, 1);
        while (filters < std::min<std::size_t>(q_ - 1, kFilters) &&
               expansions_[order_[filters + 1]]->postings <= kFilterReach * first) {
            ++filters;
        }
        return filters;
    }

    // The first word's items, then those of them that the first filter
    // word holds, then those of these that the second holds: a filter
    // word's postings are only read against a cached bitmap, and written
    // to where the smaller side holds them too.
    void mark_filters(std::size_t filters) {
        filters_ = filters;
        const std::uint32_t* postings = c_.postings_.data();
        c_.for_each_term(*expansions_[order_[0]],
                         [&](std::uint32_t term, std::uint32_t, std::uint32_t) {
                             sets_.held[0].insert_all(postings + c_.posting_offsets_[term],
                                                      postings + c_.posting_offsets_[term + 1]);
                             return true;
                         });
        for (std::size_t f = 0; f < filters; ++f) {
            const ItemBits& within = sets_.held[f];
            ItemBits& held = sets_.held[f + 1];
            c_.for_each_term(
                *expansions_[order_[f + 1]], [&](std::uint32_t term, std::uint32_t, std::uint32_t) {
                    held.insert_common(postings + c_.posting_offsets_[term],
                                       postings + c_.posting_offsets_[term + 1], within);
                    return true;
                });
        }
    }

    // Per later word drawn (up to kFilters of them), the items that hold
    // one of its terms with its fewest typos (for a prefix word: a term
    // below one of its entry points with the fewest). An item of the first
    // word's terms outside such a set matches that word with more typos or
    // not at all, so it ranks below the term's bound with one more typo:
    // often enough to pass it over without reading its words, when the
    // best items match every word with their fewest typos but ranks apart.
    // Not for a filter word whose terms all have its fewest typos (the
    // filter holds those items already). The sets are marked only once the
    // items evaluated have cost about what marking them costs (see
    // kEvaluatedPerMarked): a query whose first word ends soon never pays
    // for them, and a long one pays at most about twice what it must.
    void plan_fewest(std::size_t filters) {
        fewest_planned_ = 0;
        fewest_cost_ = 0;
        for (std::size_t i = 1; i < q_ && fewest_planned_ < kFilters; ++i) {
            const Expansion& e = *expansions_[order_[i]];
            const std::uint32_t least = least_typos_[order_[i]];
            const bool all_least = e.prefix ? e.ranges.empty() || e.ranges.back().typos == least
                                            : e.terms.empty() || e.terms.back().typos == least;
            if (i > filters || !all_least) {
                fewest_words_[fewest_planned_++] = order_[i];
                fewest_cost_ += c_.fewest_postings(e, least);
            }
        }
    }

    void mark_fewest() {
        for (std::size_t f = 0; f < fewest_planned_; ++f) {
            c_.mark_fewest(*expansions_[fewest_words_[f]], least_typos_[fewest_words_[f]],
                           sets_.fewest[f]);
        }
        fewest_count_ = fewest_planned_;
    }

    // Whether the item ranks below the best for lacking some later word's
    // fewest typos: then at best with one more typo per such word (its
    // spread and prefixes then bounded by nothing).
    bool passed_over(const Bound& b, const std::uint32_t* item) {
        if (fewest_count_ == 0) {
            if (fewest_planned_ == 0 || top_.size() < query_.limit ||
                evaluated_ * kEvaluatedPerMarked < fewest_cost_) {
                return false;
            }
            mark_fewest();
        }
        std::uint32_t more = 0;
        for (std::size_t f = 0; f < fewest_count_; ++f) {
            more += sets_.fewest[f].contains(*item) ? 0 : 1;
        }
        return more > 0 && unseen_below({b.matched, b.typos + more, 0, 0}, item);
    }

    bool held_by_filters(std::uint32_t item) const noexcept {
        return sets_.held[filters_].contains(item);
    }

    // The best items that hold the most words, best first, with their
    // scores and matched positions.
    std::vector<Hit> hits() {
        std::uint32_t most = 0;
        for (std::uint32_t m = 0; m <= q_; ++m) {
            most = with_matched_[m] > 0 ? m : most;
        }
        std::vector<Ranked> ranked;
        ranked.reserve(top_.size());
        for (; !top_.empty(); top_.pop()) {
            if (top_.top().matched == most) {
                ranked.push_back(top_.top());
            }
        }
        std::reverse(ranked.begin(), ranked.end());
        const std::uint64_t budget_sum =
            std::accumulate(query_.budgets.begin(), query_.budgets.end(), std::uint64_t{0});
        const double worst_spread =
            static_cast<double>(kProximityCap) * static_cast<double>(q_ - 1);
        std::vector<Hit> hits;
        hits.reserve(ranked.size());
        for (const Ranked& r : ranked) {
            match_words(r.item);
            const double within =
                (static_cast<double>(r.typos) +
                 (static_cast<double>(r.spread) + static_cast<double>(r.prefixes) / 2) /
                     (worst_spread + 1)) /
                (static_cast<double>(budget_sum) + 1);
            Hit hit{
                r.item, (static_cast<double>(r.matched) - within) / static_cast<double>(q_), {}};
            hit.positions.reserve(q_);
            for (const Best& b : best_) {
                hit.positions.push_back(b.position);
            }
            hits.push_back(std::move(hit));
        }
        return hits;
    }

    const Catalog& c_;
    const SearchQuery& query_;
    std::span<const Expansion* const> expansions_;
    Interrupt& interrupt_;
    Scratch& s_;
    SearchSets& sets_;
    std::size_t filters_ = 0;  // the filter words marked in sets_.held
    // The later words that sets_.fewest may hold, the postings of their
    // terms with their fewest typos, and how many are marked (none or all).
    std::array<std::uint32_t, kFilters> fewest_words_{};
    std::size_t fewest_planned_ = 0;
    std::uint64_t fewest_cost_ = 0;
    std::size_t fewest_count_ = 0;
    std::uint64_t evaluated_ = 0;  // items read and ranked
    const std::size_t q_;
    const Expansion* prefix_word_ = nullptr;
    std::uint32_t prefix_at_ = 0;
    std::vector<Best> best_;
    std::priority_queue<Ranked, std::vector<Ranked>, Better> top_;
    std::vector<std::uint64_t> with_matched_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint32_t> least_typos_;
    std::vector<std::uint32_t> least_prefix_;
    bool repeats_ = false;  // whether a word comes twice
    // least_spread's scratch: (word, typos) of the words held, in query
    // order, and the least spread up to each.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> held_;
    std::vector<std::uint32_t> least_;
};

std::vector<Hit> Catalog::search(const SearchQuery& query,
                                 std::span<const Expansion* const> expansions,
                                 Interrupt& interrupt) const {
    if (query.words.empty() || query.limit == 0) {
        return {};
    }
    return SearchRun(*this, query, expansions, interrupt).run();
}

}  // namespace morlatch::catalog
