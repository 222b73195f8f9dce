// The plain walk (Matcher): its rows, pruning and order of hits, faults and
// bounds, and the walk against its model (reference::walk) on random arrays
// that are anything but a proper trie.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/trie.hpp"
#include "prefix/search/matcher.hpp"
#include "prefix/search/query.hpp"
#include "reference.hpp"
#include "test_support.hpp"

namespace morlatch {
namespace {

using reference::build_trie;
using testing::path_count;
using Ids = std::vector<NodeId>;
constexpr std::uint64_t kAny = std::numeric_limits<std::uint64_t>::max();

// The walk as its model reports it: hits, visits and the fault ("" for none).
reference::Walk run(const Trie& t, std::u32string_view query, std::uint64_t max_dist,
                    std::optional<std::uint64_t> limit = std::nullopt,
                    Interrupt interrupt = Interrupt()) {
    Matcher matcher(query, max_dist, limit);
    reference::Walk out;
    if (const auto f = reference::fault_of([&] { matcher.walk(t, interrupt); })) {
        out.fault = f->message();
    }
    out.visits = matcher.visits();
    const HitList found = matcher.take_results();
    for (const HitList::Hit& hit : found.hits) {
        out.hits.emplace_back(std::u32string(found.key(hit)), hit.node, hit.distance);
    }
    return out;
}

// The nodes of the hits, in the order found. With an empty query and no
// bound every node below the root is a hit where it carries a payload, so
// this is the visiting order.
Ids hit_nodes(const reference::Walk& w) {
    Ids ids;
    for (const auto& hit : w.hits) ids.push_back(std::get<1>(hit));
    return ids;
}

// Ids deliberately not in pre-order, children not sorted by character:
//   0 ─┬─ 3 'b' ─┬─ 1 'x'
//      │         └─ 5 'a'
//      └─ 2 'a' ─── 4 'c'
Trie sample_trie() {
    Trie t;
    t.node_shifts = {0, 2, 2, 3, 5, 5};
    t.node_chars = {std::nullopt, U'x', U'a', U'b', U'c', U'a'};
    t.node_payloads = {std::nullopt, 1, 2, 3, 4, 5};
    t.child_indices = {3, 2, 4, 1, 5};
    return t;
}

TEST(Walk, EveryNodeInPreOrderChildrenInArrayOrder) {
    const reference::Walk w = run(sample_trie(), U"", kAny);
    EXPECT_EQ(w.fault, "");
    EXPECT_EQ(hit_nodes(w), (Ids{3, 1, 5, 2, 4}));
    EXPECT_EQ(w.visits, 6u);
}

TEST(Walk, ChildOnTheQueryCharacterFinishesItsSubtreeFirst) {
    // "a" promotes node 2 at the root: its subtree comes before node 3's.
    EXPECT_EQ(hit_nodes(run(sample_trie(), U"a", kAny)), (Ids{2, 4, 3, 1, 5}));
}

TEST(Walk, LimitZeroVisitsOnlyTheRoot) {
    const reference::Walk w = run(sample_trie(), U"", kAny, 0);
    EXPECT_EQ(w.visits, 1u);
    EXPECT_TRUE(w.hits.empty());
}

TEST(Walk, FaultsComeWhereTheWalkFirstReadsTheBadEntry) {
    Trie no_payloads = sample_trie();
    no_payloads.node_payloads.clear();
    EXPECT_EQ(run(no_payloads, U"", kAny).fault,
              "index out of bounds: the len is 0 but the index is 0");
    EXPECT_EQ(run(no_payloads, U"", kAny).visits, 0u);

    // Node 5 has a character but no payload entry: the walk gets to it after
    // visiting 0, 3 and 1.
    Trie short_payloads = sample_trie();
    short_payloads.node_payloads.pop_back();
    const reference::Walk w = run(short_payloads, U"", kAny);
    EXPECT_EQ(w.fault, "index out of bounds: the len is 5 but the index is 5");
    EXPECT_EQ(w.visits, 3u);

    // Node 3's children are read when 3 is visited, even with nothing to enter.
    Trie no_character = sample_trie();
    no_character.node_chars[5] = std::nullopt;
    EXPECT_EQ(run(no_character, U"", kAny).fault, "called `Option::unwrap()` on a `None` value");
    // Also when 3 enters none of them: 2 is never visited.
    const reference::Walk pruned = run(no_character, U"zzz", 0);
    EXPECT_EQ(pruned.fault, "called `Option::unwrap()` on a `None` value");
    EXPECT_EQ(pruned.visits, 2u);
}

// Broken child lists: the first bad read in child order decides the fault,
// whether the range of child_indices is intact or runs past its end.
struct ChildFaultCase {
    const char* name;
    std::vector<std::uint32_t> node_shifts;
    std::vector<std::uint32_t> child_indices;
    std::string message;
};

class WalkChildFaultTest : public ::testing::TestWithParam<ChildFaultCase> {};

TEST_P(WalkChildFaultTest, FirstBadChildInOrderFaultsAtTheRootsVisit) {
    // Node 1 has a character, node 2 none; there are three nodes.
    Trie t;
    t.node_shifts = GetParam().node_shifts;
    t.node_chars = {std::nullopt, U'a', std::nullopt};
    t.node_payloads = {std::nullopt, 1, 2};
    t.child_indices = GetParam().child_indices;
    const reference::Walk w = run(t, U"", kAny);
    EXPECT_EQ(w.fault, GetParam().message);
    EXPECT_EQ(w.visits, 1u);
}

const char* const kNone = "called `Option::unwrap()` on a `None` value";

INSTANTIATE_TEST_SUITE_P(
    ChildFaults, WalkChildFaultTest,
    ::testing::Values(ChildFaultCase{"no_character_before_bad_id", {0, 3, 3}, {1, 2, 9}, kNone},
                      ChildFaultCase{"bad_id_before_no_character",
                                     {0, 3, 3},
                                     {1, 9, 2},
                                     "index out of bounds: the len is 3 but the index is 9"},
                      ChildFaultCase{"range_past_child_indices",
                                     {0, 4, 4},
                                     {1, 1},
                                     "index out of bounds: the len is 2 but the index is 2"},
                      ChildFaultCase{"no_character_before_range_end", {0, 4, 4}, {1, 2}, kNone},
                      ChildFaultCase{"bad_id_before_range_end",
                                     {0, 4, 4},
                                     {7},
                                     "index out of bounds: the len is 3 but the index is 7"}),
    [](const auto& info) { return std::string(info.param.name); });

// A chain 0 - 1 - ... - (n-1) of 'a' edges, payload = id: the longest path an
// acyclic trie of n nodes has.
Trie chain(std::uint32_t n) {
    Trie t;
    for (std::uint32_t i = 0; i < n; ++i) {
        t.node_shifts.push_back(i);
        t.node_chars.push_back(U'a');
        t.node_payloads.push_back(i);
        if (i + 1 < n) t.child_indices.push_back(i + 1);
    }
    return t;
}

// The same without payloads: no hits, so no key texts to build.
Trie bare_chain(std::uint32_t n) {
    Trie t = chain(n);
    std::fill(t.node_payloads.begin(), t.node_payloads.end(), std::nullopt);
    return t;
}

Trie with_child_indices(Trie t, std::vector<std::uint32_t> child_indices) {
    t.child_indices = std::move(child_indices);
    return t;
}

TEST(Walk, SharedNodeIsVisitedOncePerPath) {
    // 0 -> {1, 2}, 1 -> {3}, 2 -> {3}: node 3 has two parents.
    Trie t;
    t.node_shifts = {0, 2, 3, 4};
    t.node_chars = {std::nullopt, U'a', U'b', U'c'};
    t.node_payloads = {std::nullopt, 1, 2, 3};
    t.child_indices = {1, 2, 3, 3};
    EXPECT_EQ(hit_nodes(run(t, U"", kAny)), (Ids{1, 3, 2, 3}));
}

struct CycleCase {
    const char* name;
    Trie trie;
    std::string message;
};

class WalkCycleTest : public ::testing::TestWithParam<CycleCase> {};

TEST_P(WalkCycleTest, ChildListsLeadingBackFault) {
    const reference::Walk w = run(GetParam().trie, U"", kAny);
    EXPECT_EQ(w.fault, GetParam().message);
    // The path grows to one more node than the trie has, then stops.
    EXPECT_EQ(w.visits, GetParam().trie.node_payloads.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cycles, WalkCycleTest,
    ::testing::Values(
        CycleCase{"root_is_its_own_child", with_child_indices(chain(1), {0}),
                  "the trie arrays contain a cycle: node 0 was reached 1 edges below the root, "
                  "but the trie has only 1 nodes"},
        CycleCase{"leaf_points_to_root", with_child_indices(chain(4), {1, 2, 3, 0}),
                  "the trie arrays contain a cycle: node 0 was reached 4 edges below the root, "
                  "but the trie has only 4 nodes"},
        CycleCase{"back_edge_below_root", with_child_indices(chain(4), {1, 2, 3, 2}),
                  "the trie arrays contain a cycle: node 2 was reached 4 edges below the root, "
                  "but the trie has only 4 nodes"},
        CycleCase{"self_loop_at_leaf", with_child_indices(chain(3), {1, 2, 2}),
                  "the trie arrays contain a cycle: node 2 was reached 3 edges below the root, "
                  "but the trie has only 3 nodes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Walk, CycleThatThePruningCutsIsHarmless) {
    // 0 -> 1 -> 0 -> ...; with max_dist 0 and an empty query nothing below
    // depth 1 is entered.
    const reference::Walk w = run(with_child_indices(chain(2), {1, 0}), U"", 0);
    EXPECT_EQ(w.fault, "");
    EXPECT_EQ(w.visits, 2u);
}

TEST(Walk, LongCycleAndLongChainTakeLinearWork) {
    // Quadratic work (a copy of the path, or a full row, per node) would take
    // minutes here; the walk keeps one band of cells per pending parent.
    constexpr std::uint32_t n = 300'000;
    Trie cycle = bare_chain(n);
    cycle.child_indices.push_back(0);  // the leaf leads back to the root
    const reference::Walk w = run(cycle, U"", kAny);
    EXPECT_EQ(w.fault,
              "the trie arrays contain a cycle: node 0 was reached 300000 edges below "
              "the root, but the trie has only 300000 nodes");
    EXPECT_EQ(w.visits, n);

    std::u32string text(n - 1, U'a');
    text.back() = U'b';
    Trie spelled = chain(n);
    spelled.node_chars.back() = U'b';
    const reference::Walk exact = run(spelled, text, 0);
    EXPECT_EQ(exact.fault, "");
    ASSERT_EQ(exact.hits.size(), 1u);
    EXPECT_EQ(exact.hits[0], std::make_tuple(text, n - 1, std::uint64_t{0}));
    // With a bound of 2 the two keys before the end are hits as well.
    EXPECT_EQ(run(spelled, text, 2).hits.size(), 3u);
}

struct Interrupted {};

TEST(Walk, InterruptTicksOncePerVisitAndItsCheckCanAbandonTheWalk) {
    constexpr std::uint32_t n = 2 * Interrupt::kInterval + 5;
    int checks = 0;
    const reference::Walk w =
        run(bare_chain(n), U"", kAny, std::nullopt,
            Interrupt([](void* count) { ++*static_cast<int*>(count); }, &checks));
    EXPECT_EQ(w.visits, n);
    EXPECT_EQ(checks, 2);

    // The check runs before the visit that completes an interval.
    Matcher stopped(U"", kAny, std::nullopt);
    Interrupt throwing([](void*) { throw Interrupted{}; }, nullptr);
    EXPECT_THROW(stopped.walk(bare_chain(n), throwing), Interrupted);
    EXPECT_EQ(stopped.visits(), Interrupt::kInterval - 1);
}

// ---- against the model -------------------------------------------------------

// Random arrays near a trie: chains, shared children, child lists that lead
// back up, ids past the ends, missing characters, short lists, decreasing
// shifts. Too many root paths (shared children) and the case is redrawn.
struct RandomArrays {
    std::mt19937 rng;

    std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(rng() % bound); }
    bool one_in(std::uint32_t n) { return below(n) == 0; }

    Trie draw() {
        const std::uint32_t n = 1 + below(24);
        Trie t;
        for (std::uint32_t node = 0; node < n; ++node) {
            t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_indices.size()));
            // Mostly the next ids (a tree, level by level), now and then any id.
            const std::uint32_t count = below(n < 8 ? 3 : 4);
            for (std::uint32_t c = 0; c < count; ++c) {
                const std::uint32_t next = 1 + below(n);
                t.child_indices.push_back(one_in(12) ? below(n + 2) : std::min(next, n - 1));
            }
            t.node_chars.push_back(one_in(25) ? std::nullopt
                                              : std::optional<char32_t>(U"abc\u00e9"[below(4)]));
            t.node_payloads.push_back(one_in(3) ? std::nullopt : std::optional<Payload>(node));
        }
        if (one_in(10)) std::swap(t.node_shifts[below(n)], t.node_shifts[below(n)]);
        if (one_in(10)) t.node_payloads.resize(below(n + 1));
        if (one_in(10)) t.node_chars.resize(below(n + 1));
        if (one_in(10)) t.node_shifts.resize(below(n + 1));
        return t;
    }

    std::u32string query() {
        std::u32string q(below(9), U'a');
        for (char32_t& c : q) c = U"abc\u00e9"[below(4)];
        return q;
    }
};

TEST(Walk, SameHitsVisitsAndFaultsAsTheModelOnRandomArrays) {
    RandomArrays random{std::mt19937(20261209)};
    int faults = 0;
    int cycles = 0;
    for (int round = 0; round < 20000; ++round) {
        const Trie t = random.draw();
        if (path_count(t, 4000) >= 4000) continue;
        const std::u32string query = random.query();
        const std::uint64_t max_dist =
            random.one_in(6) ? kAny : std::uint64_t{random.below(5)} + random.below(2) * 8;
        const std::optional<std::uint64_t> limit =
            random.one_in(3) ? std::optional<std::uint64_t>(random.below(6)) : std::nullopt;
        const reference::Walk expected = reference::walk(t, query, max_dist, limit);
        ASSERT_EQ(run(t, query, max_dist, limit), expected)
            << "round " << round << " query length " << query.size() << " max_dist " << max_dist;
        faults += !expected.fault.empty();
        cycles += expected.fault.find("cycle") != std::string::npos;
    }
    // The draws reach the faults, cycles included, and the clean walks.
    EXPECT_GT(faults, 2000);
    EXPECT_GT(cycles, 200);
    EXPECT_LT(faults, 18000);
}

// ---- rows, pruning and the order of hits ------------------------------------

using Hits = std::vector<std::pair<std::u32string, std::uint64_t>>;

// What one walk found (key, distance), and how many nodes it visited.
struct Walked {
    Hits hits;
    std::uint64_t visits;
};

Walked walk(const Trie& t, std::u32string_view query, std::uint64_t max_dist,
            std::optional<std::uint64_t> limit = std::nullopt) {
    const reference::Walk w = run(t, query, max_dist, limit);
    EXPECT_EQ(w.fault, "");
    Walked out{{}, w.visits};
    for (const auto& [key, node, distance] : w.hits) out.hits.emplace_back(key, distance);
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
