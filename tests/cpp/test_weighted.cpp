// The weight table's bounds for the correction walk, against brute force
// over the keys: the heaviest long key below each node, and the weight that
// one key in kHeavyShare reaches.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "prefix/layout/compact.hpp"
#include "prefix/ranking/weighted.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace morlatch {
namespace {

TEST(WeightTable, LongKeyBoundsAndTheHeavyShareMatchBruteForce) {
    std::mt19937 rng(20261209);
    for (int round = 0; round < 200; ++round) {
        // Short keys over few letters share prefixes; weights span 0 to 2**40.
        reference::Keys keys;
        std::map<std::u32string, Weight> weights;
        for (std::size_t i = rng() % 120; i-- > 0;) {
            std::u32string key(1 + rng() % 8, U'a');
            for (char32_t& ch : key) {
                ch = U"abcd"[rng() % 4];
            }
            keys.emplace_back(key, static_cast<Payload>(i));
            weights[key] = rng() % 4 == 0 ? 0 : Weight{rng()} << (rng() % 9);
        }
        testing::keep_first_of_each_key(keys);
        const std::unique_ptr<CompactTrie> trie =
            CompactTrie::build(reference::build_trie(keys, reference::Numbering::level));
        ASSERT_NE(trie, nullptr);
        std::vector<Weight> by_node(trie->node_count(), 0);
        std::vector<Weight> want(trie->node_count(), 0);  // heaviest long key below
        std::vector<Weight> all;
        for (const auto& [key, weight] : weights) {
            by_node[*trie->find_key(key)] = weight;
            all.push_back(weight);
            for (std::size_t i = 0; key.size() >= WeightTable::kLongKey && i <= key.size(); ++i) {
                Weight& bound = want[*trie->find(std::u32string_view(key).substr(0, i))];
                bound = std::max(bound, weight);
            }
        }
        const WeightTable table(*trie, by_node, false);
        for (NodeId node = 0; node < trie->node_count(); ++node) {
            ASSERT_EQ(table.best_long_below(node), want[node]) << "round " << round;
        }
        if (!all.empty()) {
            std::sort(all.begin(), all.end(), std::greater<>());
            EXPECT_EQ(table.heavy_quantile(), all[all.size() / WeightTable::kHeavyShare]);
        }
    }
}

}  // namespace
}  // namespace morlatch
