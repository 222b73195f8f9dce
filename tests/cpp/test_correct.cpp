// The word search taken up at a farther distance: resumed from the nearer
// distance's best, it finds what a search from distance 1 finds, and both
// follow the plain ranking rule against brute force over the keys. The
// nearer and resumed searches run in one scratch kept across tries, words,
// metrics and models, as the speller keeps one per thread; the fresh ones
// in memory of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/ranking/correct_farther.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace morlatch {
namespace {

using correction::Candidate;

// (key, distance, score) of each candidate, in order.
std::vector<std::tuple<std::u32string, std::uint64_t, double>> ranks(
    const std::vector<Candidate>& found) {
    std::vector<std::tuple<std::u32string, std::uint64_t, double>> out;
    for (const Candidate& c : found) {
        out.emplace_back(c.key, c.distance, c.score);
    }
    return out;
}

// The plain rule by brute force: keys 1..max_dist edits away by
// (distance, heavier, key), the first `limit`.
std::vector<std::tuple<std::u32string, std::uint64_t, double>> plain_best(
    const std::map<std::u32string, Weight>& weights, std::u32string_view word,
    const CorrectOptions& options) {
    std::vector<std::tuple<std::uint64_t, Weight, std::u32string>> all;
    for (const auto& [key, weight] : weights) {
        const std::uint64_t d =
            options.transpositions ? reference::osa(key, word) : reference::levenshtein(key, word);
        if (d >= 1 && d <= options.max_dist) {
            all.emplace_back(d, weight, key);
        }
    }
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return std::tie(std::get<0>(a), std::get<1>(b), std::get<2>(a)) <
               std::tie(std::get<0>(b), std::get<1>(a), std::get<2>(b));
    });
    all.resize(std::min<std::size_t>(all.size(), options.limit));
    std::vector<std::tuple<std::u32string, std::uint64_t, double>> out;
    for (const auto& [d, weight, key] : all) {
        out.emplace_back(key, d, 0.0);
    }
    return out;
}

// Up to 150 keys of up to 8 letters of "abcde", each weighed by `weigh`.
struct WeightedKeys {
    reference::Keys keys;
    std::map<std::u32string, Weight> weights;
};

template <typename Weigh>
WeightedKeys random_weighted_keys(std::mt19937& rng, Weigh weigh) {
    WeightedKeys drawn;
    auto& [keys, weights] = drawn;
    for (std::size_t i = 1 + rng() % 150; i-- > 0;) {
        std::u32string key(1 + rng() % 8, U'a');
        for (char32_t& ch : key) {
            ch = U"abcde"[rng() % 5];
        }
        keys.emplace_back(key, static_cast<Payload>(i));
        weights[key] = weigh();
    }
    testing::keep_first_of_each_key(keys);
    return drawn;
}

TEST(CorrectUnknown, ResumedAtTwoEditsFindsWhatAFreshSearchFinds) {
    std::mt19937 rng(20261210);
    const ErrorModel model{1000, 400, U"ae"};
    Interrupt interrupt;
    SearchScratch scratch;
    for (int round = 0; round < 150; ++round) {
        WeightedKeys drawn =
            random_weighted_keys(rng, [&] { return 1 + (Weight{rng()} << (rng() % 9)); });
        const reference::Keys& keys = drawn.keys;
        const std::map<std::u32string, Weight>& weights = drawn.weights;
        const std::unique_ptr<CompactTrie> trie =
            CompactTrie::build(reference::build_trie(keys, reference::Numbering::level));
        ASSERT_NE(trie, nullptr);
        std::vector<Weight> by_node(trie->node_count(), 0);
        for (const auto& [key, weight] : weights) {
            by_node[*trie->find_key(key)] = weight;
        }
        const WeightTable table(*trie, by_node, false);
        for (int query = 0; query < 8; ++query) {
            const std::u32string word =
                reference::typo(rng, keys[rng() % keys.size()].first, 1 + rng() % 3, U"abcdef");
            if (word.empty() || weights.contains(word)) {
                continue;
            }
            CorrectOptions options;
            options.limit = 1 + rng() % 8;
            options.transpositions = rng() % 2 == 0;
            options.model = rng() % 2 == 0 ? &model : nullptr;
            options.max_dist = 1;
            const std::vector<Candidate> near =
                correct_unknown(*trie, &table, word, options, nullptr, interrupt, &scratch);
            options.max_dist = 2;
            const std::vector<Candidate> fresh =
                correct_unknown(*trie, &table, word, options, nullptr, interrupt);
            const std::vector<Candidate> resumed =
                correct_unknown(*trie, &table, word, options, &near, interrupt, &scratch);
            SCOPED_TRACE(::testing::Message() << "round " << round << " query " << query);
            EXPECT_EQ(ranks(resumed), ranks(fresh));
            // The search that looks the word up first ranks the same.
            const std::vector<Match> looked_up = correct(*trie, &table, word, options, interrupt);
            ASSERT_EQ(looked_up.size(), fresh.size());
            for (std::size_t i = 0; i < fresh.size(); ++i) {
                EXPECT_EQ(looked_up[i].key, fresh[i].key);
            }
            if (options.model == nullptr) {
                EXPECT_EQ(ranks(fresh), plain_best(weights, word, options));
                options.max_dist = 1;
                EXPECT_EQ(ranks(near), plain_best(weights, word, options));
            }
        }
    }
}

// Keys lighter than the least weight are left out as if not in the layout:
// the search ranks as a fresh one over the heavier keys alone, by the plain
// rule and by the model, found by gathering and by walking.
TEST(CorrectUnknown, KeysBelowTheLeastWeightAreLeftOutAlone) {
    std::mt19937 rng(20261212);
    const ErrorModel model{1000, 400, U"ae"};
    Interrupt interrupt;
    SearchScratch scratch;
    for (int round = 0; round < 100; ++round) {
        WeightedKeys drawn = random_weighted_keys(rng, [&] { return Weight{1 + rng() % 1000}; });
        const reference::Keys& keys = drawn.keys;
        std::map<std::u32string, Weight>& weights = drawn.weights;
        const Weight least = 1 + rng() % 1000;
        reference::Keys heavy;
        for (const auto& [key, payload] : keys) {
            if (weights[key] >= least) {
                heavy.emplace_back(key, payload);
            }
        }
        if (heavy.empty()) {
            continue;
        }
        const auto table_of = [&](const CompactTrie& trie) {
            std::vector<Weight> by_node(trie.node_count(), 0);
            for (const auto& [key, weight] : weights) {
                if (const std::optional<NodeId> node = trie.find_key(key)) {
                    by_node[*node] = weight;
                }
            }
            return WeightTable(trie, by_node, false);
        };
        const std::unique_ptr<CompactTrie> trie =
            CompactTrie::build(reference::build_trie(keys, reference::Numbering::level));
        const std::unique_ptr<CompactTrie> heavy_trie =
            CompactTrie::build(reference::build_trie(heavy, reference::Numbering::level));
        ASSERT_NE(trie, nullptr);
        ASSERT_NE(heavy_trie, nullptr);
        const WeightTable table = table_of(*trie);
        const WeightTable heavy_table = table_of(*heavy_trie);
        for (int query = 0; query < 8; ++query) {
            const std::u32string word =
                reference::typo(rng, keys[rng() % keys.size()].first, 1 + rng() % 3, U"abcdef");
            if (word.empty() || weights.contains(word)) {
                continue;
            }
            CorrectOptions options;
            options.limit = 1 + rng() % 8;
            options.transpositions = rng() % 2 == 0;
            options.model = rng() % 2 == 0 ? &model : nullptr;
            options.max_dist = 1 + rng() % 3;
            const std::vector<Candidate> alone =
                correct_unknown(*heavy_trie, &heavy_table, word, options, nullptr, interrupt);
            options.least_weight = least;
            const std::vector<Candidate> bounded =
                correct_unknown(*trie, &table, word, options, nullptr, interrupt, &scratch);
            SCOPED_TRACE(::testing::Message() << "round " << round << " query " << query);
            EXPECT_EQ(ranks(bounded), ranks(alone));
        }
    }
}

}  // namespace
}  // namespace morlatch
