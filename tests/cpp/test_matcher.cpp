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

namespace morlatch {
namespace {

using Rows = std::map<std::u32string, std::vector<std::uint64_t>>;

// Lays keys out as a trie; children stay in the order their first key came.
Trie build(const std::vector<std::pair<std::u32string, std::optional<Payload>>>& keys) {
    struct Node {
        char32_t ch = 0;
        std::optional<Payload> payload;
        std::vector<std::uint32_t> kids;
    };
    std::vector<Node> nodes(1);
    for (const auto& [key, payload] : keys) {
        std::uint32_t cur = 0;
        for (char32_t ch : key) {
            auto& kids = nodes[cur].kids;
            auto it = std::find_if(kids.begin(), kids.end(),
                                   [&](std::uint32_t k) { return nodes[k].ch == ch; });
            if (it != kids.end()) {
                cur = *it;
                continue;
            }
            nodes.push_back(Node{ch, std::nullopt, {}});
            const auto id = static_cast<std::uint32_t>(nodes.size() - 1);
            nodes[cur].kids.push_back(id);
            cur = id;
        }
        nodes[cur].payload = payload;
    }
    Trie t;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_indices.size()));
        t.node_chars.push_back(i == 0 ? std::nullopt : std::optional<char32_t>(nodes[i].ch));
        t.node_payloads.push_back(nodes[i].payload);
        t.child_indices.insert(t.child_indices.end(), nodes[i].kids.begin(), nodes[i].kids.end());
    }
    return t;
}

std::u32string text(const CharList& chars) {
    return std::u32string(chars.begin(), chars.end());
}

// Drives a Matcher and notes, per visited node, its path text and row, and
// what each child State held when it was scheduled.
struct Observer {
    Matcher matcher;
    std::vector<std::u32string> visited;
    Rows rows;
    std::vector<std::size_t> child_state_sizes;

    State initial_state() { return matcher.initial_state(); }
    void visit_node(NodeId node, std::optional<Payload> payload, State& state) {
        matcher.visit_node(node, payload, state);
        const std::u32string path = text(*state.get<CharList>(kCurPrefix));
        const SizeList& row = *state.get<SizeList>(kCurRow);
        visited.push_back(path);
        rows[path] = std::vector<std::uint64_t>(row.begin(), row.end());
    }
    void get_children_to_visit(NodeId node, const State& state, std::span<const Child> children,
                               std::vector<Scheduled>& out) {
        const std::size_t before = out.size();
        matcher.get_children_to_visit(node, state, children, out);
        for (std::size_t i = before; i < out.size(); ++i) {
            const State& child = out[i].state;
            child_state_sizes.push_back(child.size());
            // Copies, not the parent's storage.
            EXPECT_NE(child.get<SizeList>(kPrevRow)->data(), state.get<SizeList>(kCurRow)->data());
            EXPECT_EQ(*child.get<SizeList>(kPrevRow), *state.get<SizeList>(kCurRow));
        }
    }
};

Observer observe(const Trie& t, std::u32string_view query, std::uint64_t max_dist,
                 std::optional<std::uint64_t> limit = std::nullopt) {
    Observer o{Matcher(query, max_dist, limit), {}, {}, {}};
    t.dfs(o);
    return o;
}

using Hits = std::vector<std::pair<std::u32string, std::uint64_t>>;

Hits hits(const std::vector<MatchEntry>& results) {
    Hits out;
    for (const auto& r : results) out.emplace_back(r.key, r.distance);
    return out;
}

Trie cat_trie() {
    return build({{U"ca", 1}, {U"cat", 2}, {U"cut", 3}, {U"xa", 4}, {U"xab", 5}});
}

TEST(Matcher, WorkedRowsForCat) {
    const Observer o = observe(cat_trie(), U"cat", 1);
    const Rows expected = {
        {U"", {0, 1, 2, 3}},    {U"c", {1, 0, 1, 2}},  {U"ca", {2, 1, 0, 1}},
        {U"cat", {3, 2, 1, 0}}, {U"cu", {2, 1, 1, 2}}, {U"cut", {3, 2, 2, 1}},
        {U"x", {1, 1, 2, 3}},   {U"xa", {2, 2, 1, 2}}, {U"xab", {3, 3, 2, 2}},
    };
    EXPECT_EQ(o.rows, expected);
    // "xa" has row minimum 1 = max_dist, so "xab" is still visited; "xa"
    // itself is not a hit (last cell 2).
    EXPECT_EQ(hits(o.matcher.results()), (Hits{{U"ca", 1}, {U"cat", 0}, {U"cut", 1}}));
    // Each child State holds exactly PREV_ROW and CUR_PREFIX.
    EXPECT_EQ(o.child_state_sizes, std::vector<std::size_t>(o.visited.size() - 1, 2));
}

TEST(Matcher, RowMinimumAboveMaxDistStopsTheDescent) {
    // With max_dist 0 the "x" row [1, 1, 2, 3] has minimum 1: nothing below.
    const Observer o = observe(cat_trie(), U"cat", 0);
    EXPECT_EQ(o.visited, (std::vector<std::u32string>{U"", U"c", U"ca", U"cat", U"cu", U"x"}));
    EXPECT_EQ(hits(o.matcher.results()), (Hits{{U"cat", 0}}));
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
    const Observer o = observe(build(c.keys), c.query, c.max_dist, c.limit);
    EXPECT_EQ(hits(o.matcher.results()), c.expected);
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
                 {{U"a\U0001F600", 1}, {U"a\u00e9", 1}}},
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
                 {{U"b", 1}, {U"bb", 0}, {U"xb", 1}, {U"ab", 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Matcher, LimitZeroDoesNotDescendBelowTheRoot) {
    const Observer o = observe(cat_trie(), U"cat", 3, 0);
    EXPECT_EQ(o.visited, (std::vector<std::u32string>{U""}));
}

TEST(Matcher, FullLimitStopsScheduling) {
    // Once "ca" fills the limit no node schedules children: "cat" below it
    // is never visited, while "cu" and "x", already scheduled, still are.
    const Observer o = observe(cat_trie(), U"cat", 1, 1);
    EXPECT_EQ(hits(o.matcher.results()), (Hits{{U"ca", 1}}));
    EXPECT_EQ(o.visited, (std::vector<std::u32string>{U"", U"c", U"ca", U"cu", U"x"}));
}

TEST(Matcher, LaterChildOnTheQueryCharacterReplacesTheEarlier) {
    // Root children: 1 'a', 2 'b', 3 'a', 4 'c'. Query "a": 3 goes first,
    // 1 is dropped, the rest follow in trie order.
    Trie t;
    t.node_shifts = {0, 4, 4, 4, 4};
    t.node_chars = {std::nullopt, U'a', U'b', U'a', U'c'};
    t.node_payloads = {std::nullopt, 1, 2, 3, 4};
    t.child_indices = {1, 2, 3, 4};
    Matcher m(U"a", 1, std::nullopt);
    State root = m.initial_state();
    m.visit_node(0, std::nullopt, root);
    std::vector<Scheduled> out;
    m.get_children_to_visit(0, root, t.get_children(0), out);
    std::vector<NodeId> order;
    for (const auto& s : out) order.push_back(s.node);
    EXPECT_EQ(order, (std::vector<NodeId>{3, 2, 4}));

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

TEST(Matcher, MissingStateValuesFault) {
    Matcher m(U"ab", 1, std::nullopt);
    State empty;
    EXPECT_THROW(m.visit_node(1, 1, empty), Fault);

    State no_prev;
    no_prev.put(kCurPrefix, CharList{U'a'});
    try {
        m.visit_node(1, 1, no_prev);
        FAIL() << "expected a fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "called `Option::unwrap()` on a `None` value");
    }

    State short_row;
    short_row.put(kCurPrefix, CharList{U'a'});
    short_row.put(kPrevRow, SizeList{0, 1});
    try {
        m.visit_node(1, 1, short_row);
        FAIL() << "expected a fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "index out of bounds: the len is 2 but the index is 2");
    }

    std::vector<Scheduled> out;
    State no_row;
    no_row.put(kCurPrefix, CharList{});
    EXPECT_THROW(m.get_children_to_visit(0, no_row, {}, out), Fault);
    EXPECT_TRUE(m.results().empty());
}

TEST(Query, ExactMatch) {
    const Trie t = build({{U"ca", std::nullopt}, {U"cat", 7}, {U"", 9}});
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

// Reference: plain two-row Levenshtein.
std::uint64_t levenshtein(std::u32string_view a, std::u32string_view b) {
    std::vector<std::uint64_t> prev(b.size() + 1), cur(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1])});
        }
        std::swap(prev, cur);
    }
    return prev[b.size()];
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
            const std::u32string key = random_text(6);
            if (key.empty() || keys.count(key)) continue;
            keys[key] = static_cast<Payload>(i);
            listed.emplace_back(key, static_cast<Payload>(i));
        }
        const Trie t = build(listed);
        const std::u32string query = random_text(5);
        const std::uint64_t max_dist = rng() % 4;

        std::map<std::u32string, std::pair<Payload, std::uint64_t>> expected;
        for (const auto& [key, payload] : keys) {
            const auto d = levenshtein(key, query);
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
