// The keys at one distance, as gathered for ranking: exactly the keys that
// brute force puts at that distance and the caller keeps, each once with its
// own node, over both walks of a split query and the single walk of a short
// one, with one scratch reused across queries, distances, metrics and tries
// of every shape (its walks keep rows, stacks and lists from the call before).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/gather.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace morlatch {
namespace {

template <Metric M>
std::map<std::u32string, NodeId> gathered(const CompactTrie& trie, std::u32string_view query,
                                          std::uint32_t distance, SearchScratch& scratch) {
    Interrupt interrupt;
    std::map<std::u32string, NodeId> found;
    gather_at<M>(
        trie, query, distance, interrupt, scratch, [](NodeId node) { return node % 3 != 0; },
        [&](NodeId node, std::u32string_view key) {
            EXPECT_TRUE(found.emplace(std::u32string(key), node).second) << "a key came twice";
        });
    return found;
}

TEST(GatherAt, FindsTheKeptKeysAtExactlyOneDistance) {
    std::mt19937 rng(20261210);
    SearchScratch scratch;  // kept from call to call, as callers do
    bool split = false;
    for (int round = 0; round < 120; ++round) {
        reference::Keys keys;
        for (std::size_t i = 1 + rng() % 200; i-- > 0;) {
            std::u32string key(1 + rng() % 9, U'a');
            for (char32_t& ch : key) {
                ch = U"abcde"[rng() % 5];
            }
            keys.emplace_back(key, static_cast<Payload>(i));
        }
        testing::keep_first_of_each_key(keys);
        const std::unique_ptr<CompactTrie> trie =
            CompactTrie::build(reference::build_trie(keys, reference::Numbering::level));
        ASSERT_NE(trie, nullptr);
        for (int query = 0; query < 6; ++query) {
            const std::u32string word =
                reference::typo(rng, keys[rng() % keys.size()].first, 1 + rng() % 3, U"abcdef");
            const auto distance = static_cast<std::uint32_t>(1 + rng() % 3);
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
            EXPECT_EQ(swaps ? gathered<Metric::osa>(*trie, word, distance, scratch)
                            : gathered<Metric::levenshtein>(*trie, word, distance, scratch),
                      expected);
            split = split || trie->reverse_index_built();
        }
    }
    EXPECT_TRUE(split);  // the backward walk ran too
}

}  // namespace
}  // namespace morlatch
