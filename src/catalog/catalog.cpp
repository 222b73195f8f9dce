#include "catalog/catalog.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <queue>
#include <tuple>
#include <utility>

#include "prefix/builder.hpp"
#include "prefix/ranked.hpp"

namespace morlatch::catalog {

namespace {

// The code points of valid UTF-8 (shortest forms, no surrogates), or -1.
std::int64_t utf8_length(std::string_view text) noexcept {
    std::int64_t count = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        std::size_t extra = 0;
        char32_t c = lead;
        if (lead >= 0x80) {
            extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
            if (extra == 0 || lead > 0xF4 || static_cast<std::size_t>(end - p) <= extra) {
                return -1;
            }
            c = lead & (0x3F >> extra);
            for (std::size_t k = 1; k <= extra; ++k) {
                if ((p[k] & 0xC0) != 0x80) {
                    return -1;
                }
                c = c << 6 | (p[k] & 0x3F);
            }
            static constexpr char32_t least[] = {0, 0x80, 0x800, 0x10000};
            if (c < least[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
                return -1;
            }
        }
        p += extra + 1;
        ++count;
    }
    return count;
}

// Offsets that start at 0, never run backwards and end at `end`.
bool offsets_hold(std::span<const std::uint64_t> offsets, std::uint64_t end) noexcept {
    if (offsets.empty() || offsets.front() != 0 || offsets.back() != end) {
        return false;
    }
    return std::is_sorted(offsets.begin(), offsets.end());
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string_view slice(std::span<const char> text, std::span<const std::uint64_t> offsets,
                       std::size_t at) noexcept {
    return {text.data() + offsets[at], static_cast<std::size_t>(offsets[at + 1] - offsets[at])};
}

// Per query, per thread: which terms a query word matched (a list per term,
// threaded through `entries`) and which items were looked at. Entries are
// valid only where their stamp is the query's, so nothing is cleared
// between queries.
struct Entry {
    std::uint32_t word;
    std::uint32_t typos;
    std::uint32_t prefix;
    std::uint32_t next;
};
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;
// The words whose items a search marks in bitmaps before it reads the first.
inline constexpr std::size_t kFilters = 2;
// ... when they reach at most this many times the items of the first.
inline constexpr std::uint64_t kFilterReach = 32;

struct Scratch {
    std::vector<std::uint32_t> term_stamp;
    std::vector<std::uint32_t> term_head;
    // How the query's prefix word matches a term, once worked out.
    std::vector<std::uint32_t> prefix_stamp;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> prefix_value;
    std::vector<std::uint32_t> item_stamp;
    std::vector<Entry> entries;
    std::uint32_t stamp = 0;

    // A new stamp for a query over `terms` terms and `items` items.
    std::uint32_t begin(std::size_t terms, std::size_t items) {
        if (term_stamp.size() < terms) {
            term_stamp.resize(terms, 0);
            term_head.resize(terms, kNone);
            prefix_stamp.resize(terms, 0);
            prefix_value.resize(terms);
        }
        if (item_stamp.size() < items) {
            item_stamp.resize(items, 0);
        }
        if (++stamp == 0) {
            std::fill(term_stamp.begin(), term_stamp.end(), 0);
            std::fill(prefix_stamp.begin(), prefix_stamp.end(), 0);
            std::fill(item_stamp.begin(), item_stamp.end(), 0);
            stamp = 1;
        }
        entries.clear();
        return stamp;
    }

    void add(std::uint32_t term, Entry entry) {
        if (term_stamp[term] != stamp) {
            term_stamp[term] = stamp;
            term_head[term] = kNone;
        }
        entry.next = term_head[term];
        term_head[term] = static_cast<std::uint32_t>(entries.size());
        entries.push_back(entry);
    }

    std::uint32_t head(std::uint32_t term) const noexcept {
        return term_stamp[term] == stamp ? term_head[term] : kNone;
    }

    // Bitmaps of the items that the filter words hold.
    std::vector<std::uint64_t> bits;
    std::size_t filters = 0;
    std::size_t bitmap_words = 0;

    void clear_filters(std::size_t items, std::size_t count) {
        filters = count;
        bitmap_words = (items + 63) / 64;
        bits.assign(filters * bitmap_words, 0);
    }
    void mark(std::size_t filter, std::uint32_t item) noexcept {
        bits[filter * bitmap_words + item / 64] |= std::uint64_t{1} << (item % 64);
    }
    bool held_by_filter(std::uint32_t item) const noexcept {
        for (std::size_t f = 0; f < filters; ++f) {
            if ((bits[f * bitmap_words + item / 64] >> (item % 64) & 1) == 0) {
                return false;
            }
        }
        return true;
    }

    // Whether the item is seen for the first time in this query.
    bool first_visit(std::uint32_t item) noexcept {
        if (item_stamp[item] == stamp) {
            return false;
        }
        item_stamp[item] = stamp;
        return true;
    }
};

Scratch& scratch() {
    thread_local Scratch own;
    return own;
}

}  // namespace

std::string check(const Parts& p) {
    const std::size_t items = p.payloads.size();
    if (p.term_offsets.empty() || !offsets_hold(p.term_offsets, p.terms.size())) {
        return "the term offsets do not fit the terms";
    }
    if (p.text_offsets.size() != items + 1 || !offsets_hold(p.text_offsets, p.texts.size())) {
        return "the text offsets do not fit the texts";
    }
    if (p.word_offsets.size() != items + 1 || !offsets_hold(p.word_offsets, p.words.size())) {
        return "the word offsets do not fit the words";
    }
    if (!p.weights.empty() && p.weights.size() != items) {
        return "the weights do not fit the items";
    }
    if (items >= kNone || p.term_offsets.size() - 1 >= kNone) {
        return "too many items or terms";
    }
    const std::size_t terms = p.term_offsets.size() - 1;
    if (std::any_of(p.words.begin(), p.words.end(), [&](std::uint32_t t) { return t >= terms; })) {
        return "a word is not one of the terms";
    }
    for (std::size_t t = 0; t < terms; ++t) {
        if (utf8_length(slice(p.terms, p.term_offsets, t)) <= 0) {
            return "term " + std::to_string(t) + " is empty or not UTF-8";
        }
    }
    for (std::size_t i = 0; i < items; ++i) {
        if (utf8_length(slice(p.texts, p.text_offsets, i)) < 0) {
            return "the text of item " + std::to_string(i) + " is not UTF-8";
        }
    }
    return {};
}

Catalog::Catalog(const Parts& parts, Interrupt& interrupt) : parts_(parts) {
    const std::size_t terms = parts.term_offsets.size() - 1;
    KeyList keys;
    keys.reserve(terms, parts.terms.size());
    term_length_.resize(terms);
    for (std::size_t t = 0; t < terms; ++t) {
        const std::string_view term = slice(parts.terms, parts.term_offsets, t);
        keys.add_utf8(term, static_cast<Payload>(t));
        term_length_[t] = static_cast<std::uint32_t>(utf8_length(term));
    }
    trie_ = build_compact_trie(std::move(keys), interrupt);
    // Postings by counting: each item once per term however often it holds it.
    std::vector<std::uint32_t> last(terms, kNone);
    posting_offsets_.assign(terms + 1, 0);
    const std::size_t items = size();
    for (std::uint32_t i = 0; i < items; ++i) {
        for (const std::uint32_t t : words(i)) {
            if (last[t] != i) {
                last[t] = i;
                ++posting_offsets_[t + 1];
            }
        }
    }
    std::partial_sum(posting_offsets_.begin(), posting_offsets_.end(), posting_offsets_.begin());
    postings_.resize(posting_offsets_.back());
    // The items in their order among equals (heavier, then by text, then
    // payload): each term's postings in that order, so that a search that
    // needs the first few of many equal items reads only those.
    std::vector<std::uint32_t> in_order(items);
    std::iota(in_order.begin(), in_order.end(), 0u);
    std::sort(in_order.begin(), in_order.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (weight(a) != weight(b)) return weight(a) > weight(b);
        const int by_text = text(a).compare(text(b));
        if (by_text != 0) return by_text < 0;
        return payload(a) != payload(b) ? payload(a) < payload(b) : a < b;
    });
    tie_rank_.resize(items);
    for (std::uint32_t at = 0; at < items; ++at) {
        tie_rank_[in_order[at]] = at;
    }
    std::vector<std::uint64_t> fill(posting_offsets_.begin(), posting_offsets_.end() - 1);
    std::fill(last.begin(), last.end(), kNone);
    for (const std::uint32_t i : in_order) {
        interrupt.tick();
        for (const std::uint32_t t : words(i)) {
            if (last[t] != i) {
                last[t] = i;
                postings_[fill[t]++] = i;
            }
        }
    }
    mass_.resize(terms);
    for (std::size_t t = 0; t < terms; ++t) {
        const double held = static_cast<double>(posting_offsets_[t + 1] - posting_offsets_[t]);
        // A term that no item holds (none does, unless the parts were made
        // by hand) weighs as a word that no item holds.
        mass_[t] = std::log1p(static_cast<double>(items) / std::max(held, 1.0));
    }
    item_mass_.resize(items);
    for (std::uint32_t i = 0; i < items; ++i) {
        double own = 0;
        for (const std::uint32_t t : words(i)) {
            own += mass_[t];
        }
        item_mass_[i] = static_cast<float>(own);
    }
    by_text_.resize(terms);
    std::iota(by_text_.begin(), by_text_.end(), 0u);
    std::sort(by_text_.begin(), by_text_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return slice(parts.terms, parts.term_offsets, a) <
               slice(parts.terms, parts.term_offsets, b);
    });
    text_rank_.resize(terms);
    held_before_.assign(terms + 1, 0);
    for (std::uint32_t at = 0; at < terms; ++at) {
        const std::uint32_t t = by_text_[at];
        text_rank_[t] = at;
        held_before_[at + 1] = held_before_[at] + posting_offsets_[t + 1] - posting_offsets_[t];
    }
}

Catalog::~Catalog() = default;

bool Catalog::terms_distinct() const noexcept {
    return trie_->key_count() == term_count();
}

std::string_view Catalog::text(std::uint32_t item) const noexcept {
    return slice(parts_.texts, parts_.text_offsets, item);
}

std::span<const std::uint32_t> Catalog::words(std::uint32_t item) const noexcept {
    const std::uint64_t first = parts_.word_offsets[item];
    return parts_.words.subspan(first, parts_.word_offsets[item + 1] - first);
}

std::size_t Catalog::memory_bytes() const noexcept {
    return trie_->image_bytes().size() + term_length_.size() * sizeof(std::uint32_t) * 3 +
           tie_rank_.size() * sizeof(std::uint32_t) + held_before_.size() * sizeof(std::uint64_t) +
           mass_.size() * sizeof(double) + item_mass_.size() * sizeof(float) +
           posting_offsets_.size() * sizeof(std::uint64_t) +
           postings_.size() * sizeof(std::uint32_t);
}

double Catalog::unseen_mass() const noexcept {
    return std::log1p(static_cast<double>(size()));
}

Expansion Catalog::expand(std::u32string_view word, std::uint32_t budget, bool prefix,
                          Interrupt& interrupt) const {
    RankedOptions options;
    options.max_dist = budget;
    options.transpositions = true;
    Expansion e;
    e.prefix = prefix;
    for (const Match& m : ranked_search(*trie_, word, options, interrupt)) {
        e.terms.push_back({m.payload, static_cast<std::uint32_t>(m.distance), 0});
    }
    if (!prefix) {
        std::stable_sort(e.terms.begin(), e.terms.end(),
                         [](const TermMatch& a, const TermMatch& b) { return a.typos < b.typos; });
        for (const TermMatch& m : e.terms) {
            e.postings += posting_offsets_[m.term + 1] - posting_offsets_[m.term];
        }
        return e;
    }
    std::sort(e.terms.begin(), e.terms.end(),
              [](const TermMatch& a, const TermMatch& b) { return a.term < b.term; });
    // The terms below each entry point: those that start with its path.
    std::vector<completion::EntryPoint> entries;
    std::u32string paths;
    completion::find_entry_points(*trie_, word, budget, true, interrupt, entries, paths);
    std::string path;
    for (const completion::EntryPoint& entry : entries) {
        path.clear();
        for (const char32_t c : std::u32string_view(paths).substr(entry.path_offset, entry.depth)) {
            append_utf8(path, c);
        }
        const auto term_of = [&](std::uint32_t t) {
            return slice(parts_.terms, parts_.term_offsets, t);
        };
        const auto first = std::partition_point(by_text_.begin(), by_text_.end(),
                                                [&](std::uint32_t t) { return term_of(t) < path; });
        const auto end = std::partition_point(
            first, by_text_.end(), [&](std::uint32_t t) { return term_of(t).starts_with(path); });
        if (first != end) {
            const auto a = static_cast<std::uint32_t>(first - by_text_.begin());
            const auto b = static_cast<std::uint32_t>(end - by_text_.begin());
            e.ranges.push_back({a, b, entry.distance});
        }
    }
    e.by_position = e.ranges;
    std::sort(e.by_position.begin(), e.by_position.end(),
              [](const PrefixRange& a, const PrefixRange& b) {
                  return a.first != b.first ? a.first < b.first : a.end > b.end;
              });
    std::vector<std::uint32_t> open;
    for (std::uint32_t at = 0; at < e.by_position.size(); ++at) {
        PrefixRange& range = e.by_position[at];
        while (!open.empty() && e.by_position[open.back()].end <= range.first) {
            open.pop_back();
        }
        e.around.push_back(open.empty() ? kNone : open.back());
        if (!open.empty()) {
            range.typos = std::min(range.typos, e.by_position[open.back()].typos);
        } else {
            e.postings += held_before_[range.end] - held_before_[range.first];
        }
        open.push_back(at);
    }
    std::stable_sort(e.ranges.begin(), e.ranges.end(),
                     [](const PrefixRange& a, const PrefixRange& b) { return a.typos < b.typos; });
    return e;
}

std::pair<std::uint32_t, std::uint32_t> Catalog::prefix_match(const Expansion& e,
                                                              std::uint32_t term) const noexcept {
    // The innermost range that holds the term: the last one starting at
    // or before it, or a range around that one.
    const std::uint32_t at = text_rank_[term];
    const auto after = std::upper_bound(
        e.by_position.begin(), e.by_position.end(), at,
        [](std::uint32_t position, const PrefixRange& r) { return position < r.first; });
    auto inner = static_cast<std::uint32_t>(after - e.by_position.begin()) - 1;
    while (inner != kNone && e.by_position[inner].end <= at) {
        inner = e.around[inner];
    }
    if (inner == kNone) {
        return {kNone, 0};
    }
    const std::uint32_t start = e.by_position[inner].typos;
    // Exact where the whole term is as close as any of its beginnings.
    const auto whole =
        std::lower_bound(e.terms.begin(), e.terms.end(), term,
                         [](const TermMatch& m, std::uint32_t t) { return m.term < t; });
    const bool exact = whole != e.terms.end() && whole->term == term && whole->typos == start;
    return {start, exact ? 0u : 1u};
}

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

namespace {

// The expansions of every word of a query, and pointers to them.
struct Expanded {
    std::vector<Expansion> owned;
    std::vector<const Expansion*> pointers;
};

}  // namespace

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
    for (const Expansion& one : e.owned) {
        e.pointers.push_back(&one);
    }
    return search(query, e.pointers, interrupt);
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
    for (const Expansion& one : e.owned) {
        e.pointers.push_back(&one);
    }
    return match(query, e.pointers, interrupt);
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
