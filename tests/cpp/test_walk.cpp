// The plain walk's order, faults and bounds, and the walk against its model
// (reference::walk) on random arrays that are anything but a proper trie.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/trie.hpp"
#include "prefix/matcher.hpp"
#include "reference.hpp"

namespace morlatch {
namespace {

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
    for (MatchEntry& e : matcher.take_results()) {
        out.hits.emplace_back(std::move(e.key), e.node, e.distance);
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

// Root paths of at most node-count edges (how far the walk can go), capped.
std::uint64_t path_count(const Trie& t, std::uint64_t cap) {
    const std::size_t nodes = t.node_payloads.size();
    std::vector<std::uint64_t> here(nodes), next(nodes);
    if (nodes == 0) return 0;
    here[0] = 1;
    std::uint64_t total = 1;
    for (std::size_t depth = 0; depth < nodes && total < cap; ++depth) {
        std::fill(next.begin(), next.end(), 0);
        for (std::size_t node = 0; node < nodes && node < t.node_shifts.size(); ++node) {
            if (here[node] == 0) continue;
            const std::size_t end =
                node + 1 < t.node_shifts.size() ? t.node_shifts[node + 1] : t.child_indices.size();
            for (std::size_t i = t.node_shifts[node]; i < std::min(end, t.child_indices.size());
                 ++i) {
                const std::uint32_t id = t.child_indices[i];
                if (id < nodes) next[id] = std::min(cap, next[id] + here[node]);
                total = std::min(cap, total + here[node]);
            }
        }
        std::swap(here, next);
    }
    return total;
}

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

}  // namespace
}  // namespace morlatch
