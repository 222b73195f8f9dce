// A catalog's expansion of a whole word against the plain optimal string
// alignment distance: on random term sets, the terms within the budget, each
// at its distance, fewer typos first and then in code-point order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "catalog/catalog.hpp"
#include "reference.hpp"

namespace morlatch {
namespace {

TEST(CatalogExpand, WholeWordsMatchPlainDistances) {
    std::mt19937 rng(23);
    for (int round = 0; round < 20; ++round) {
        // Few letters, so that terms share paths and swaps meet equal pairs;
        // long enough terms that the split search runs, and a few longer
        // than the words whose search memory a thread keeps (64).
        std::set<std::u32string> distinct;
        while (distinct.size() < 150) {
            std::u32string term;
            for (std::size_t n = rng() % 8 == 0 ? 60 + rng() % 20 : 1 + rng() % 9; n > 0; --n) {
                term.push_back(static_cast<char32_t>('a' + rng() % 3));
            }
            distinct.insert(term);
        }
        // Terms and items in a shuffled order, one item per term.
        std::vector<std::u32string> terms(distinct.begin(), distinct.end());
        std::shuffle(terms.begin(), terms.end(), rng);
        std::string chars;
        std::vector<std::uint64_t> offsets{0};
        std::vector<std::uint32_t> words;
        std::vector<std::uint64_t> word_offsets{0};
        for (const std::u32string& term : terms) {
            chars.append(term.begin(), term.end());  // ASCII
            offsets.push_back(chars.size());
            words.push_back(static_cast<std::uint32_t>(words.size()));
            word_offsets.push_back(words.size());
        }
        const std::vector<Payload> payloads(terms.size(), 0);
        const catalog::Parts parts{chars,    offsets, chars, offsets,
                                   payloads, {},      words, word_offsets};
        ASSERT_EQ(catalog::check(parts), "");
        Interrupt none;
        const catalog::Catalog cat(parts, none);
        for (int q = 0; q < 30; ++q) {
            const std::u32string word = reference::typo(rng, terms[rng() % terms.size()],
                                                        static_cast<int>(rng() % 3), U"abc");
            const auto budget = static_cast<std::uint32_t>(rng() % 3);
            std::vector<std::tuple<std::uint64_t, std::u32string, std::uint32_t>> want;
            for (std::uint32_t t = 0; t < terms.size(); ++t) {
                const std::uint64_t d = reference::osa(word, terms[t]);
                if (d <= budget) {
                    want.emplace_back(d, terms[t], t);
                }
            }
            std::sort(want.begin(), want.end());
            const catalog::Expansion e = cat.expand(word, budget, false, none);
            ASSERT_EQ(e.terms.size(), want.size());
            for (std::size_t i = 0; i < want.size(); ++i) {
                EXPECT_EQ(e.terms[i].term, std::get<2>(want[i]));
                EXPECT_EQ(e.terms[i].typos, std::get<0>(want[i]));
            }
        }
    }
}

}  // namespace
}  // namespace morlatch
