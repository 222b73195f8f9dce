#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "prefix/matcher.hpp"
#include "prefix/query.hpp"
#include "reference.hpp"

namespace morlatch {
namespace {

using reference::build_trie;

using Hits = std::vector<std::pair<std::u32string, std::uint64_t>>;

// What one walk found, and how many nodes it visited.
struct Walked {
    Hits hits;
    std::uint64_t visits;
};

Walked walk(const Trie& t, std::u32string_view query, std::uint64_t max_dist,
            std::optional<std::uint64_t> limit = std::nullopt) {
    Matcher matcher(query, max_dist, limit);
    Interrupt none;
    matcher.walk(t, none);
    Walked out{{}, matcher.visits()};
    for (const MatchEntry& e : matcher.take_results()) out.hits.emplace_back(e.key, e.distance);
    return out;
}

Trie cat_trie() {
    return build_trie({{U"ca", 1}, {U"cat", 2}, {U"cut", 3}, {U"xa", 4}, {U"xab", 5}});
}

TEST(Matcher, WorkedRowsForCat) {
    // Rows against "cat": "ca" [2, 1, 0, 1], "cat" [3, 2, 1, 0], "cut"
    // [3, 2, 2, 1], "xa" [2, 2, 1, 2]. "xa" has row minimum 1 = max_dist, so
    // "xab" is still visited (all nine nodes are); "xa" itself is not a hit
    // (last cell 2).
    const Walked w = walk(cat_trie(), U"cat", 1);
    EXPECT_EQ(w.hits, (Hits{{U"ca", 1}, {U"cat", 0}, {U"cut", 1}}));
    EXPECT_EQ(w.visits, 9u);
}

TEST(Matcher, RowMinimumAboveMaxDistStopsTheDescent) {
    // With max_dist 0 the "x" row [1, 1, 2, 3] has minimum 1: nothing below
    // it is visited, nor below "cu" [2, 1, 1, 2]. Visited: "", "c", "ca",
    // "cat", "cu", "x".
    const Walked w = walk(cat_trie(), U"cat", 0);
    EXPECT_EQ(w.hits, (Hits{{U"cat", 0}}));
    EXPECT_EQ(w.visits, 6u);
}

struct RuleCase {
    const char* name;
    std::vector<std::pair<std::u32string, std::optional<Payload>>> keys;
    std::u32string query;
    std::uint64_t max_dist;
    std::optional<std::uint64_t> limit;
    Hits expected;
};

class MatcherRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(MatcherRuleTest, Results) {
    const RuleCase& c = GetParam();
    EXPECT_EQ(walk(build_trie(c.keys), c.query, c.max_dist, c.limit).hits, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MatcherRuleTest,
    ::testing::Values(
        RuleCase{"root_payload_never_reported", {{U"", 9}, {U"a", 1}}, U"", 0, {}, {}},
        RuleCase{
            "root_payload_not_reported_with_slack", {{U"", 9}, {U"a", 1}}, U"", 5, {}, {{U"a", 1}}},
        RuleCase{"empty_query_reports_keys_up_to_depth_max_dist",
                 {{U"a", 1}, {U"ab", 2}, {U"abc", 3}, {U"b", 4}},
                 U"",
                 2,
                 {},
                 {{U"a", 1}, {U"ab", 2}, {U"b", 1}}},
        RuleCase{"whole_key_counts_not_a_prefix_of_it",
                 {{U"cat", 1}, {U"cattle", 2}},
                 U"cat",
                 2,
                 {},
                 {{U"cat", 0}}},
        RuleCase{"extra_characters_within_max_dist",
                 {{U"cat", 1}, {U"cats", 2}, {U"catsup", 3}},
                 U"cat",
                 3,
                 {},
                 {{U"cat", 0}, {U"cats", 1}, {U"catsup", 3}}},
        RuleCase{"nodes_without_payload_are_not_keys",
                 {{U"cat", std::nullopt}, {U"cats", 2}},
                 U"cat",
                 1,
                 {},
                 {{U"cats", 1}}},
        RuleCase{"max_dist_zero_is_equality",
                 {{U"ab", 1}, {U"abc", 2}, {U"abd", 3}, {U"b", 4}},
                 U"abc",
                 0,
                 {},
                 {{U"abc", 0}}},
        RuleCase{"no_transposition", {{U"ba", 1}}, U"ab", 1, {}, {}},
        RuleCase{"transposition_costs_two", {{U"ba", 1}}, U"ab", 2, {}, {{U"ba", 2}}},
        RuleCase{"case_matters", {{U"Cat", 1}, {U"cat", 2}}, U"cat", 0, {}, {{U"cat", 0}}},
        RuleCase{"astral_character_is_one_character",
                 {{U"a\U0001F600", 1}, {U"a\u00e9", 2}},
                 U"a\U0001F601",
                 1,
                 {},
                 {{U"a\u00e9", 1}, {U"a\U0001F600", 1}}},
        RuleCase{"limit_zero_yields_nothing", {{U"a", 1}}, U"a", 3, 0, {}},
        RuleCase{"limit_keeps_the_first_in_walk_order",
                 {{U"ab", 1}, {U"a", 2}, {U"b", 3}, {U"ac", 4}},
                 U"ac",
                 2,
                 2,
                 {{U"a", 1}, {U"ac", 0}}},
        RuleCase{"limit_above_the_count_keeps_all",
                 {{U"ab", 1}, {U"a", 2}, {U"b", 3}},
                 U"ab",
                 1,
                 10,
                 {{U"a", 1}, {U"ab", 0}, {U"b", 1}}},
        RuleCase{"query_path_first_then_trie_order",
                 {{U"xb", 1}, {U"b", 2}, {U"ab", 3}, {U"bb", 4}},
                 U"bb",
                 1,
                 {},
                 {{U"b", 1}, {U"bb", 0}, {U"ab", 1}, {U"xb", 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Matcher, LimitZeroDoesNotDescendBelowTheRoot) {
    EXPECT_EQ(walk(cat_trie(), U"cat", 3, 0).visits, 1u);
}

TEST(Matcher, FullLimitStopsScheduling) {
    // Once "ca" fills the limit no node schedules children: "cat" below it
    // is never visited, while "cu" and "x", already scheduled, still are:
    // "", "c", "ca", "cu", "x".
    const Walked w = walk(cat_trie(), U"cat", 1, 1);
    EXPECT_EQ(w.hits, (Hits{{U"ca", 1}}));
    EXPECT_EQ(w.visits, 5u);
}

TEST(Matcher, LaterChildOnTheQueryCharacterReplacesTheEarlier) {
    // Root children: 1 'a', 2 'b', 3 'a', 4 'c'. Query "a": 3 goes first,
    // 1 is dropped, the rest follow in trie order.
    Trie t;
    t.node_shifts = {0, 4, 4, 4, 4};
    t.node_chars = {std::nullopt, U'a', U'b', U'a', U'c'};
    t.node_payloads = {std::nullopt, 1, 2, 3, 4};
    t.child_indices = {1, 2, 3, 4};
    const std::vector<Match> found = fuzzy_match(t, U"a", 1, std::nullopt);
    std::vector<Payload> payloads;
    for (const auto& f : found) payloads.push_back(f.payload);
    EXPECT_EQ(payloads, (std::vector<Payload>{3, 2, 4}));
}

TEST(Matcher, NoPromotionPastTheEndOfTheQuery) {
    // At depth >= n every child keeps its trie order, duplicates included.
    Trie t;
    t.node_shifts = {0, 1, 4, 4, 4};
    t.node_chars = {std::nullopt, U'a', U'b', U'a', U'b'};
    t.node_payloads = {std::nullopt, std::nullopt, 1, 2, 3};
    t.child_indices = {1, 2, 3, 4};
    const auto found = fuzzy_match(t, U"a", 1, std::nullopt);
    std::vector<Payload> payloads;
    for (const auto& f : found) payloads.push_back(f.payload);
    EXPECT_EQ(payloads, (std::vector<Payload>{1, 2, 3}));
}

TEST(Query, ExactMatch) {
    const Trie t = build_trie({{U"ca", std::nullopt}, {U"cat", 7}, {U"", 9}});
    EXPECT_EQ(exact_match(t, U"cat"), (Match{U"cat", 7, 0}));
    EXPECT_EQ(exact_match(t, U"ca"), std::nullopt);  // only the beginning of a key
    EXPECT_EQ(exact_match(t, U""), std::nullopt);    // the root is never a key
    EXPECT_EQ(exact_match(t, U"cats"), std::nullopt);
}

TEST(Query, DuplicateKeysThroughDifferentNodesAreReportedPerNode) {
    Trie t;
    t.node_shifts = {0, 2, 2};
    t.node_chars = {std::nullopt, U'a', U'a'};
    t.node_payloads = {std::nullopt, 1, 2};
    t.child_indices = {1, 2};
    // Query "b": no promotion, both 'a' nodes are walked in trie order.
    EXPECT_EQ(fuzzy_match(t, U"b", 1, std::nullopt),
              (std::vector<Match>{{U"a", 1, 1}, {U"a", 2, 1}}));
}

TEST(Query, InterruptCanAbandonTheLookups) {
    // A root with more children than one interval of ticks: both lookups
    // visit all of them.
    reference::Keys keys;
    for (char32_t c = 0x4E00; c < 0x4E00 + Interrupt::kInterval + 100; ++c) {
        keys.emplace_back(std::u32string(1, c), 1);
    }
    const Trie t = build_trie(keys);
    struct Stop {};
    const auto stop = [](void*) { throw Stop{}; };
    Interrupt for_fuzzy(stop, nullptr);
    EXPECT_THROW(fuzzy_match(t, U"", 1, std::nullopt, for_fuzzy), Stop);
    Interrupt for_exact(stop, nullptr);
    EXPECT_THROW(exact_match(t, U"x", for_exact), Stop);
    // Without a check both run to the end.
    EXPECT_EQ(fuzzy_match(t, U"", 1, std::nullopt).size(), keys.size());
    EXPECT_EQ(exact_match(t, U"x"), std::nullopt);
}

TEST(Query, AgreesWithBruteForceOnRandomTries) {
    std::mt19937 rng(1234);
    const std::u32string alphabet = U"ab\u00e9\U0001F600";
    auto random_text = [&](std::size_t max_len) {
        std::u32string s(rng() % (max_len + 1), U'a');
        for (char32_t& c : s) c = alphabet[rng() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 300; ++round) {
        std::map<std::u32string, Payload> keys;
        std::vector<std::pair<std::u32string, std::optional<Payload>>> listed;
        const std::size_t count = 1 + rng() % 12;
        for (std::size_t i = 0; i < count; ++i) {
            const std::u32string key = random_text(9);
            if (key.empty() || keys.count(key)) continue;
            keys[key] = static_cast<Payload>(i);
            listed.emplace_back(key, static_cast<Payload>(i));
        }
        const Trie t = build_trie(listed);
        const std::u32string query = random_text(8);
        const std::uint64_t max_dist = rng() % 4;

        std::map<std::u32string, std::pair<Payload, std::uint64_t>> expected;
        for (const auto& [key, payload] : keys) {
            const auto d = reference::levenshtein(key, query);
            if (d <= max_dist) expected[key] = {payload, d};
        }
        std::map<std::u32string, std::pair<Payload, std::uint64_t>> actual;
        for (const Match& m : fuzzy_match(t, query, max_dist, std::nullopt)) {
            EXPECT_TRUE(actual.emplace(m.key, std::make_pair(m.payload, m.distance)).second);
        }
        ASSERT_EQ(actual, expected) << "round " << round;
    }
}

}  // namespace
}  // namespace morlatch
