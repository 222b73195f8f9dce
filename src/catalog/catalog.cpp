#include "catalog/catalog.hpp"
#include "catalog/detail.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <limits>
#include <numeric>
#include <optional>
#include <queue>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "prefix/layout/builder.hpp"
#include "prefix/search/ranked.hpp"
#include "prefix/search/reused.hpp"

namespace morlatch::catalog {

using detail::kNone;
using detail::offsets_hold;
using detail::slice;

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

// Below this many items and terms a catalog is built on one thread.
constexpr std::size_t kAlongside = 1 << 14;

// Runs side() on a thread of its own (here, first, when none can be
// started) while main() runs here; once both are done, rethrows the first
// failure.
template <class Side, class Main>
void alongside(Side& side, Main& main) {
    std::exception_ptr failed;
    std::jthread thread;
    try {
        thread = std::jthread([&] {
            try {
                side();
            } catch (...) {
                failed = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        side();
    }
    main();  // a failure here joins the thread on the way out
    if (thread.joinable()) {
        thread.join();
    }
    if (failed) {
        std::rethrow_exception(failed);
    }
}

// A text's first 16 bytes as two numbers that order as the bytes do (a
// shorter text padded with zero bytes, which then ties with the longer one
// only where the longer goes on with zero bytes).
std::array<std::uint64_t, 2> text_head(std::string_view text) noexcept {
    std::array<std::uint64_t, 2> head{0, 0};
    const std::size_t n = std::min<std::size_t>(text.size(), 16);
    for (std::size_t at = 0; at < n; ++at) {
        head[at / 8] |= std::uint64_t{static_cast<unsigned char>(text[at])} << (56 - 8 * (at % 8));
    }
    return head;
}

}  // namespace

bool detail::offsets_hold(std::span<const std::uint64_t> offsets, std::uint64_t end) noexcept {
    if (offsets.empty() || offsets.front() != 0 || offsets.back() != end) {
        return false;
    }
    return std::is_sorted(offsets.begin(), offsets.end());
}

std::string_view detail::slice(std::span<const char> text, std::span<const std::uint64_t> offsets,
                               std::size_t at) noexcept {
    return {text.data() + offsets[at], static_cast<std::size_t>(offsets[at + 1] - offsets[at])};
}

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
    // The term trie and the terms' code-point order, on a thread of their
    // own for a large catalog, while this one orders the items and builds
    // the postings.
    auto terms_side = [this] {
        const std::size_t terms = term_count();
        KeyList keys;
        keys.reserve(terms, parts_.terms.size());
        for (std::size_t t = 0; t < terms; ++t) {
            keys.add_utf8(slice(parts_.terms, parts_.term_offsets, t), static_cast<Payload>(t));
        }
        Interrupt none;  // the thread cannot answer the caller's checks
        trie_ = build_compact_trie(std::move(keys), none);
        struct Key {
            std::array<std::uint64_t, 2> head;
            std::uint32_t term;
        };
        std::vector<Key> order(terms);
        for (std::uint32_t t = 0; t < terms; ++t) {
            order[t] = {text_head(slice(parts_.terms, parts_.term_offsets, t)), t};
        }
        std::sort(order.begin(), order.end(), [&](const Key& a, const Key& b) {
            if (a.head != b.head) return a.head < b.head;
            return slice(parts_.terms, parts_.term_offsets, a.term) <
                   slice(parts_.terms, parts_.term_offsets, b.term);
        });
        own_by_text_.resize(terms);
        for (std::uint32_t at = 0; at < terms; ++at) {
            own_by_text_[at] = order[at].term;
        }
    };
    auto items_side = [&] {
        order_items();
        build_postings(interrupt);
    };
    if (size() + term_count() < kAlongside) {
        terms_side();
        items_side();
    } else {
        alongside(terms_side, items_side);
    }
    by_text_ = own_by_text_;
    derive_rest();
}

// The items in their order among equals (heavier, then by text, then
// payload): each term's postings follow it, so that a search that needs
// the first few of many equal items reads only those. Sorted by the texts'
// first 16 bytes as numbers, the full texts compared only where those tie.
void Catalog::order_items() {
    struct Key {
        std::uint64_t weight;
        std::array<std::uint64_t, 2> head;
        std::uint32_t item;
    };
    const std::size_t items = size();
    std::vector<Key> keys(items);
    for (std::uint32_t i = 0; i < items; ++i) {
        keys[i] = {weight(i), text_head(text(i)), i};
    }
    std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
        if (a.weight != b.weight) return a.weight > b.weight;
        if (a.head != b.head) return a.head < b.head;
        return tie_before(a.item, b.item);
    });
    own_tie_rank_.resize(items);
    for (std::uint32_t at = 0; at < items; ++at) {
        own_tie_rank_[keys[at].item] = at;
    }
    tie_rank_ = own_tie_rank_;
}

bool Catalog::tie_before(std::uint32_t a, std::uint32_t b) const noexcept {
    if (weight(a) != weight(b)) return weight(a) > weight(b);
    const int by_text = text(a).compare(text(b));
    if (by_text != 0) return by_text < 0;
    return payload(a) != payload(b) ? payload(a) < payload(b) : a < b;
}

// Postings by counting, in the items' order among equals: each item once
// per term however often it holds it.
void Catalog::build_postings(Interrupt& interrupt) {
    const std::size_t terms = term_count();
    const std::size_t items = size();
    std::vector<std::uint32_t> last(terms, kNone);
    own_posting_offsets_.assign(terms + 1, 0);
    for (std::uint32_t i = 0; i < items; ++i) {
        for (const std::uint32_t t : words(i)) {
            if (last[t] != i) {
                last[t] = i;
                ++own_posting_offsets_[t + 1];
            }
        }
    }
    std::partial_sum(own_posting_offsets_.begin(), own_posting_offsets_.end(),
                     own_posting_offsets_.begin());
    own_postings_.resize(own_posting_offsets_.back());
    std::vector<std::uint32_t> in_order(items);
    for (std::uint32_t i = 0; i < items; ++i) {
        in_order[tie_rank_[i]] = i;
    }
    std::vector<std::uint64_t> fill(own_posting_offsets_.begin(), own_posting_offsets_.end() - 1);
    std::fill(last.begin(), last.end(), kNone);
    for (const std::uint32_t i : in_order) {
        interrupt.tick();
        for (const std::uint32_t t : words(i)) {
            if (last[t] != i) {
                last[t] = i;
                own_postings_[fill[t]++] = i;
            }
        }
    }
    posting_offsets_ = own_posting_offsets_;
    postings_ = own_postings_;
}

void Catalog::derive_rest() {
    const std::size_t terms = term_count();
    const std::size_t items = size();
    term_length_.resize(terms);
    mass_.resize(terms);
    for (std::size_t t = 0; t < terms; ++t) {
        term_length_[t] =
            static_cast<std::uint32_t>(utf8_length(slice(parts_.terms, parts_.term_offsets, t)));
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
    text_rank_.resize(terms);
    held_before_.assign(terms + 1, 0);
    for (std::uint32_t at = 0; at < terms; ++at) {
        const std::uint32_t t = by_text_[at];
        text_rank_[t] = at;
        held_before_[at + 1] = held_before_[at] + posting_offsets_[t + 1] - posting_offsets_[t];
    }
    // The keys below a node are consecutive in code-point order; children
    // have higher numbers than their parent (level order), so one pass
    // from the last node up sees every child before its parent.
    const CompactTrie& trie = *trie_;
    below_.assign(trie.node_count(), {0, 0});
    for (auto node = static_cast<NodeId>(trie.node_count()); node-- > 0;) {
        const NodeId first_child = trie.first_child(node);
        const NodeId end_child = trie.end_child(node);
        std::pair<std::uint32_t, std::uint32_t> range{0, 0};
        if (trie.is_key(node)) {
            range.first = text_rank_[trie.payload(node)];
            range.second = range.first + 1;
        } else if (first_child != end_child) {
            range.first = below_[first_child].first;
        }
        if (first_child != end_child) {
            range.second = below_[end_child - 1].second;
        }
        below_[node] = range;
    }
}

Derived Catalog::stored() const noexcept {
    return {trie_->image_bytes(), posting_offsets_, postings_, tie_rank_, by_text_};
}

Catalog::~Catalog() = default;

bool Catalog::terms_distinct() const noexcept {
    return trie_->key_count() == term_count();
}

std::string_view Catalog::text(std::uint32_t item) const noexcept {
    return slice(parts_.texts, parts_.text_offsets, item);
}

std::size_t Catalog::memory_bytes() const noexcept {
    const Derived derived = stored();
    return derived.trie.size() + derived.posting_offsets.size_bytes() +
           derived.postings.size_bytes() + derived.tie_rank.size_bytes() +
           derived.by_text.size_bytes() + term_length_.size() * sizeof(std::uint32_t) * 2 +
           held_before_.size() * sizeof(std::uint64_t) + mass_.size() * sizeof(double) +
           below_.size() * sizeof(below_[0]) + item_mass_.size() * sizeof(float);
}

double Catalog::unseen_mass() const noexcept {
    return std::log1p(static_cast<double>(size()));
}

Expansion Catalog::expand(std::u32string_view word, std::uint32_t budget, bool prefix,
                          Interrupt& interrupt) const {
    Expansion e;
    e.prefix = prefix;
    // The trie's search finds each term within the budget once; its hits are
    // read in place (no key copied out), from this thread's walks, which
    // keep their memory from one word to the next. A long word (rare) gets
    // walks of its own, so that a thread keeps no memory in proportion to
    // the longest word it has seen.
    constexpr std::size_t kKeptUpTo = 64;
    thread_local SearchScratch kept;
    std::optional<SearchScratch> own;
    SearchScratch& walks = word.size() <= kKeptUpTo ? kept : own.emplace();
    const HitList& found = morlatch::search(*trie_, word, budget, interrupt, true, walks);
    e.terms.reserve(found.hits.size());
    for (const HitList::Hit& hit : found.hits) {
        e.terms.push_back(
            {static_cast<std::uint32_t>(hit.payload), static_cast<std::uint32_t>(hit.distance), 0});
    }
    if (!prefix) {
        // Fewer typos first, then the terms in code-point order.
        std::sort(e.terms.begin(), e.terms.end(), [this](const TermMatch& a, const TermMatch& b) {
            return a.typos != b.typos ? a.typos < b.typos : text_rank_[a.term] < text_rank_[b.term];
        });
        for (const TermMatch& m : e.terms) {
            e.postings += posting_offsets_[m.term + 1] - posting_offsets_[m.term];
        }
        return e;
    }
    std::sort(e.terms.begin(), e.terms.end(),
              [](const TermMatch& a, const TermMatch& b) { return a.term < b.term; });
    // The terms below each entry point: those that start with its path, a
    // range of the terms in code-point order.
    std::vector<completion::EntryPoint> entries;
    std::u32string paths;
    completion::find_entry_points(*trie_, word, budget, true, interrupt, entries, paths);
    for (const completion::EntryPoint& entry : entries) {
        const auto [first, end] = below_[entry.node];
        if (first != end) {
            e.ranges.push_back({first, end, entry.distance});
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

detail::Scratch& detail::scratch() {
    thread_local Scratch own;
    return own;
}

}  // namespace morlatch::catalog
