// Catalog::open: a catalog over derived arrays stored beside its parts (a
// mapped file, an unpickled buffer). Searches trust them without a check,
// so each is checked once, here, to be exactly what building derives: the
// trie holds the terms and nothing else, the terms' order and the items'
// order among equals are the true ones, and the postings list exactly the
// items that hold each term, in that order. Each check is one linear pass
// (no sort): opening costs a small part of building.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "catalog/catalog.hpp"
#include "catalog/detail.hpp"
#include "prefix/file/mapped.hpp"
#include "prefix/layout/key_hash.hpp"

namespace morlatch::catalog {

using detail::kNone;
using detail::offsets_hold;
using detail::slice;

namespace {

// Whether `values` holds each number below its size exactly once.
bool permutation(std::span<const std::uint32_t> values) {
    std::vector<bool> seen(values.size(), false);
    for (const std::uint32_t v : values) {
        if (v >= values.size() || seen[v]) {
            return false;
        }
        seen[v] = true;
    }
    return true;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        return;
    }
    const int extra = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    static constexpr unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
    out.push_back(static_cast<char>(lead[extra] | (c >> (6 * extra))));
    for (int k = extra - 1; k >= 0; --k) {
        out.push_back(static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F)));
    }
}

}  // namespace

std::unique_ptr<Catalog> Catalog::open(const Parts& parts, const Derived& derived,
                                       std::string& problem, Interrupt& interrupt) {
    std::unique_ptr<Catalog> catalog(new Catalog(parts));
    problem = catalog->check_by_text(derived);
    if (problem.empty()) {
        problem = catalog->check_trie(derived);
    }
    if (problem.empty()) {
        problem = catalog->check_tie_rank(derived);
    }
    if (problem.empty()) {
        problem = catalog->check_postings(derived, interrupt);
    }
    if (!problem.empty()) {
        return nullptr;
    }
    catalog->by_text_ = derived.by_text;
    catalog->tie_rank_ = derived.tie_rank;
    catalog->posting_offsets_ = derived.posting_offsets;
    catalog->postings_ = derived.postings;
    catalog->derive_rest();
    return catalog;
}

// The terms in strictly ascending byte order (which is code-point order).
std::string Catalog::check_by_text(const Derived& derived) const {
    const std::span<const std::uint32_t> order = derived.by_text;
    if (order.size() != term_count() || !permutation(order)) {
        return "the term order is not one of the terms";
    }
    for (std::size_t at = 1; at < order.size(); ++at) {
        const std::string_view before = slice(parts_.terms, parts_.term_offsets, order[at - 1]);
        const std::string_view here = slice(parts_.terms, parts_.term_offsets, order[at]);
        if (before == here) {
            return "the terms are not distinct";
        }
        if (before > here) {
            return "the term order is not the terms' order";
        }
    }
    return {};
}

// A valid layout whose keys, walked in code-point order, are the terms in
// that order, each with its own number as payload.
std::string Catalog::check_trie(const Derived& derived) {
    auto opened = open_stored_layout({derived.trie, 0}, std::nullopt, nullptr);
    if (auto* problem = std::get_if<LayoutProblem>(&opened)) {
        return "the term trie is damaged: " + problem->what;
    }
    trie_ = std::move(std::get<std::unique_ptr<CompactTrie>>(opened));
    if (trie_->key_count() != term_count()) {
        return "the term trie does not hold the terms";
    }
    // Depth first, children in label order; path[d] is the label at depth d.
    std::vector<std::pair<NodeId, NodeId>> stack{
        {trie_->first_child(CompactTrie::kRoot), trie_->end_child(CompactTrie::kRoot)}};
    std::u32string path;
    std::string term;
    std::size_t next = 0;
    while (!stack.empty()) {
        auto& [at, end] = stack.back();
        if (at == end) {
            stack.pop_back();
            if (!path.empty()) {
                path.pop_back();
            }
            continue;
        }
        const NodeId node = at++;
        path.push_back(trie_->label(node));
        if (trie_->is_key(node)) {
            term.clear();
            for (const char32_t c : path) {
                append_utf8(term, c);
            }
            if (next >= term_count() || trie_->payload(node) != derived.by_text[next] ||
                slice(parts_.terms, parts_.term_offsets, derived.by_text[next]) != term) {
                return "the term trie does not hold the terms";
            }
            ++next;
        }
        stack.emplace_back(trie_->first_child(node), trie_->end_child(node));
    }
    return next == term_count() ? std::string() : "the term trie does not hold the terms";
}

// Every item's place among equals, in the order tie_before() says.
std::string Catalog::check_tie_rank(const Derived& derived) const {
    const std::span<const std::uint32_t> rank = derived.tie_rank;
    if (rank.size() != size() || !permutation(rank)) {
        return "the items' order is not one of the items";
    }
    std::vector<std::uint32_t> in_order(size());
    for (std::uint32_t i = 0; i < size(); ++i) {
        in_order[rank[i]] = i;
    }
    for (std::size_t at = 1; at < in_order.size(); ++at) {
        if (!tie_before(in_order[at - 1], in_order[at])) {
            return "the items' order is not their order among equals";
        }
    }
    return {};
}

// Per term, the items that hold it, once each, in their order among equals.
// Each list is read in order (items in range, ascending places among equals,
// so none twice) and must be as long as the items that hold its term are
// many; that each listed item holds its term is checked by a fingerprint of
// all (term, item) pairs, summed over the postings and over the items'
// words, salted at random for each opening so that no file made
// beforehand passes with other pairs. Both passes read their arrays in
// order.
std::string Catalog::check_postings(const Derived& derived, Interrupt& interrupt) const {
    const std::size_t terms = term_count();
    const std::span<const std::uint64_t> offsets = derived.posting_offsets;
    const std::span<const std::uint32_t> postings = derived.postings;
    if (offsets.size() != terms + 1 || !offsets_hold(offsets, postings.size())) {
        return "the posting offsets do not fit the postings";
    }
    const KeyHash hash = KeyHash::drawn();
    const auto pair = [&](std::uint64_t t, std::uint32_t i) { return hash.mixed(t << 32 | i); };
    std::uint64_t listed = 0;
    for (std::uint32_t t = 0; t < terms; ++t) {
        std::uint32_t previous = 0;
        for (std::uint64_t at = offsets[t]; at < offsets[t + 1]; ++at) {
            interrupt.tick();
            const std::uint32_t i = postings[at];
            if (i >= size() || (at > offsets[t] && derived.tie_rank[i] <= previous)) {
                return "the postings of term " + std::to_string(t) + " are not its items";
            }
            previous = derived.tie_rank[i];
            listed += pair(t, i);
        }
    }
    std::vector<std::uint32_t> last(terms, kNone);
    std::vector<std::uint64_t> held(terms, 0);
    std::uint64_t holding = 0;
    for (std::uint32_t i = 0; i < size(); ++i) {
        interrupt.tick();
        for (const std::uint32_t t : words(i)) {
            if (last[t] != i) {
                last[t] = i;
                ++held[t];
                holding += pair(t, i);
            }
        }
    }
    for (std::uint32_t t = 0; t < terms; ++t) {
        if (held[t] != offsets[t + 1] - offsets[t]) {
            return "the postings of term " + std::to_string(t) + " are not its items";
        }
    }
    return listed == holding ? std::string() : "the postings are not the items of their terms";
}

}  // namespace morlatch::catalog
