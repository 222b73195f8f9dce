// The keys at one distance, as gathered for ranking: exactly the keys that
// brute force puts at that distance and the caller keeps, each once with its
// own node, over both walks of a split query and the single walk of a short
// one, with one scratch reused across queries, distances, metrics and tries
// of every shape (its walks keep rows, stacks and lists from the call before),
// with and without the letter tables that cut the walks short.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/gather.hpp"
#include "prefix/search/letters.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace morlatch {
namespace {

template <Metric M>
std::map<std::u32string, NodeId> gathered(const CompactTrie& trie, std::u32string_view query,
                                          std::uint32_t distance, SearchScratch& scratch,
                                          const LetterTables& letters) {
    Interrupt interrupt;
    std::map<std::u32string, NodeId> found;
    gather_at<M>(
        trie, query, distance, interrupt, scratch, [](NodeId node) { return node % 3 != 0; },
        [&](NodeId node, std::u32string_view key) {
            EXPECT_TRUE(found.emplace(std::u32string(key), node).second) << "a key came twice";
        },
        letters);
    return found;
}

// Random keys over `alphabet`, each up to `longest` long.
reference::Keys random_keys(std::mt19937& rng, std::u32string_view alphabet, std::size_t longest) {
    reference::Keys keys;
    for (std::size_t i = 1 + rng() % 200; i-- > 0;) {
        std::u32string key(1 + rng() % longest, U'a');
        for (char32_t& ch : key) {
            ch = alphabet[rng() % alphabet.size()];
        }
        keys.emplace_back(key, static_cast<Payload>(i));
    }
    testing::keep_first_of_each_key(keys);
    return keys;
}

// The letters below each node: the labels of every key's path from that
// node on, as the keys spell them.
std::map<NodeId, std::set<char32_t>> letters_by_brute_force(const CompactTrie& trie,
                                                            const reference::Keys& keys) {
    std::map<NodeId, std::set<char32_t>> below;
    for (const auto& [key, payload] : keys) {
        for (std::size_t depth = 1; depth <= key.size(); ++depth) {
            below[*trie.find(std::u32string_view(key).substr(0, depth))].insert(
                key.begin() + static_cast<std::ptrdiff_t>(depth) - 1, key.end());
        }
    }
    return below;
}

TEST(LettersBelow, EachNodeHoldsTheLettersOfTheKeysBelowIt) {
    std::mt19937 rng(20261211);
    // Alphabets past 63 letters share the last bit; past 255, the layout is
    // wide and has no table.
    std::u32string many;
    for (char32_t ch = U'!'; ch < U'!' + 80; ++ch) {
        many.push_back(ch);
    }
    std::u32string wide;
    for (char32_t ch = 0x100; ch < 0x100 + 300; ++ch) {
        wide.push_back(ch);
    }
    for (const std::u32string& alphabet : {std::u32string(U"abcde"), many, wide}) {
        for (int round = 0; round < 20; ++round) {
            const reference::Keys keys = random_keys(rng, alphabet, 7);
            const std::unique_ptr<CompactTrie> trie =
                CompactTrie::build(reference::build_trie(keys, reference::Numbering::level));
            ASSERT_NE(trie, nullptr);
            const LettersBelow table(trie->view(), trie->node_count());
            if (trie->view().labels != nullptr) {
                EXPECT_EQ(table.data(), nullptr);
                continue;
            }
            ASSERT_NE(table.data(), nullptr);
            EXPECT_EQ(table.data()[CompactTrie::kRoot] & 1, 0u);  // no label of its own
            for (const auto& [node, letters] : letters_by_brute_force(*trie, keys)) {
                std::uint64_t bits = 0;
                for (const char32_t ch : letters) {
                    bits |= LettersBelow::bit(trie->view().rank_of(ch));
                }
                EXPECT_EQ(table.data()[node], bits) << "node " << node;
            }
        }
    }
}

TEST(GatherAt, FindsTheKeptKeysAtExactlyOneDistance) {
    std::mt19937 rng(20261210);
    SearchScratch scratch;  // kept from call to call, as callers do
    bool split = false;
    for (int round = 0; round < 240; ++round) {
        // Every other trie over more letters, so that whole subtrees miss
        // some of the query's.
        const reference::Keys keys =
            random_keys(rng, round % 2 == 0 ? U"abcde" : U"abcdefghijkl", 9);
        const std::unique_ptr<CompactTrie> trie =
            CompactTrie::build(reference::build_trie(keys, reference::Numbering::level));
        ASSERT_NE(trie, nullptr);
        // Half the rounds bound the walks by the letters below each node.
        LettersBelow forward;
        LettersBelow backward;
        if (round % 4 >= 2) {
            forward = LettersBelow(trie->view(), trie->node_count());
            if (const ReverseIndex* reverse = trie->reverse_index()) {
                backward = LettersBelow(reverse->view(), reverse->node_count());
            }
        }
        const LetterTables letters{forward.data(), backward.data()};
        for (int query = 0; query < 6; ++query) {
            // 'z' is no key's letter.
            const std::u32string word =
                reference::typo(rng, keys[rng() % keys.size()].first, 1 + rng() % 3, U"abcdefz");
            const auto distance = static_cast<std::uint32_t>(1 + rng() % 4);
            const bool swaps = rng() % 2 == 0;
            std::map<std::u32string, NodeId> expected;
            for (const auto& [key, payload] : keys) {
                const std::uint64_t d =
                    swaps ? reference::osa(key, word) : reference::levenshtein(key, word);
                const NodeId node = *trie->find_key(key);
                if (d == distance && node % 3 != 0) {
                    expected.emplace(key, node);
                }
            }
            SCOPED_TRACE(::testing::Message()
                         << "round " << round << " query " << query << " distance " << distance);
            EXPECT_EQ(swaps
                          ? gathered<Metric::osa>(*trie, word, distance, scratch, letters)
                          : gathered<Metric::levenshtein>(*trie, word, distance, scratch, letters),
                      expected);
            split = split || trie->reverse_index_built();
        }
    }
    EXPECT_TRUE(split);  // the backward walk ran too
}

}  // namespace
}  // namespace morlatch
