#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "prefix/trie.hpp"
#include "prefix/walk.hpp"
#include "reference.hpp"

namespace morlatch {
namespace {

using Ids = std::vector<NodeId>;
using Log = std::vector<std::string>;
using Children = std::vector<Child>;
using reference::fault_message;

// Which children to enter: given the node and its children, the ids to push.
using Chooser = std::function<std::vector<NodeId>(NodeId, std::span<const Child>)>;

// Records every call the walk makes. Each State it hands out carries a serial
// number and the id it was made for, so a visit can be checked against the
// State that was scheduled for it.
struct RecordingAgent {
    struct State {
        NodeId made_for = 0;
        std::uint64_t serial = 0;
    };

    explicit RecordingAgent(Chooser chooser) : choose(std::move(chooser)) {}

    Chooser choose;
    std::vector<std::string> log;
    std::vector<NodeId> visits;
    std::vector<std::vector<Child>> children_seen;
    std::uint64_t serial = 0;

    State make_state(NodeId node) { return State{node, serial++}; }
    State initial_state() {
        log.push_back("init");
        return make_state(0);
    }
    void visit_node(NodeId node, std::optional<Payload> payload, State& state) {
        EXPECT_EQ(state.made_for, node) << "visit got another node's State";
        log.push_back("visit " + std::to_string(node) + " " +
                      (payload ? std::to_string(*payload) : "-"));
        visits.push_back(node);
    }
    void get_children_to_visit(NodeId node, const State& state, std::span<const Child> children,
                               std::vector<Scheduled<State>>& out) {
        EXPECT_EQ(state.made_for, node);
        log.push_back("children " + std::to_string(node));
        children_seen.emplace_back(children.begin(), children.end());
        for (NodeId id : choose(node, children)) {
            out.push_back(Scheduled<State>{id, make_state(id)});
        }
    }
};
static_assert(Agent<RecordingAgent>);

std::vector<NodeId> all_children(NodeId, std::span<const Child> children) {
    std::vector<NodeId> ids;
    for (const Child& c : children) ids.push_back(c.id);
    return ids;
}
std::vector<NodeId> no_children(NodeId, std::span<const Child>) {
    return {};
}

template <class A>
void walk(const Trie& t, A& agent) {
    Interrupt none;
    dfs(t, agent, none);
}

// Ids deliberately not in pre-order, children not sorted by character:
//   0 ─┬─ 3 'b' ─┬─ 1 'x'
//      │         └─ 5 'a'
//      └─ 2 'a' ─── 4 'c'
Trie sample_trie() {
    Trie t;
    t.node_shifts = {0, 2, 2, 3, 5, 5};
    t.node_chars = {std::nullopt, U'x', U'a', U'b', U'c', U'a'};
    t.node_payloads = {std::nullopt, 10, std::nullopt, 30, 40, 50};
    t.child_indices = {3, 2, 4, 1, 5};
    return t;
}

TEST(Walk, NoChildrenChosenVisitsOnlyTheRoot) {
    RecordingAgent agent{no_children};
    walk(sample_trie(), agent);
    EXPECT_EQ(agent.log, (Log{"init", "visit 0 -", "children 0"}));
}

TEST(Walk, AllChildrenInTrieOrderIsPreOrder) {
    RecordingAgent agent{all_children};
    walk(sample_trie(), agent);
    EXPECT_EQ(agent.visits, (Ids{0, 3, 1, 5, 2, 4}));
    EXPECT_EQ(agent.log.front(), "init");
    EXPECT_EQ(agent.log[1], "visit 0 -");
    EXPECT_EQ(agent.log[3], "visit 3 30");
}

TEST(Walk, FirstReturnedChildFinishesItsSubtreeFirst) {
    // Root returns [b, a] reversed: node 2 ('a') and its subtree come first.
    RecordingAgent agent{[](NodeId node, std::span<const Child> children) {
        auto ids = all_children(node, children);
        if (node == 0) std::reverse(ids.begin(), ids.end());
        return ids;
    }};
    walk(sample_trie(), agent);
    EXPECT_EQ(agent.visits, (Ids{0, 2, 4, 3, 1, 5}));
}

TEST(Walk, EveryVisitIsFollowedByItsChildrenCallLeavesIncluded) {
    RecordingAgent agent{all_children};
    walk(sample_trie(), agent);
    ASSERT_EQ(agent.log.size(), 1 + 2 * agent.visits.size());
    for (std::size_t i = 0; i < agent.visits.size(); ++i) {
        EXPECT_EQ(agent.log[2 + 2 * i], "children " + std::to_string(agent.visits[i]));
    }
    // Children arrive in child_indices order, with their characters.
    EXPECT_EQ(agent.children_seen[0], (Children{Child{U'b', 3}, Child{U'a', 2}}));
    EXPECT_EQ(agent.children_seen[1], (Children{Child{U'x', 1}, Child{U'a', 5}}));
    // Leaves 1, 5 and 4 still get the call, with nothing to choose from.
    for (std::size_t i : {2u, 3u, 5u}) {
        EXPECT_TRUE(agent.children_seen[i].empty()) << "visit #" << i;
    }
}

TEST(Walk, EmptyPayloadsFaultAfterInitialStateBeforeAnyVisit) {
    Trie t = sample_trie();
    t.node_payloads.clear();
    RecordingAgent agent{all_children};
    EXPECT_EQ(fault_message([&] { walk(t, agent); }),
              "index out of bounds: the len is 0 but the index is 0");
    EXPECT_EQ(agent.log, (Log{"init"}));
}

TEST(Walk, TheWalkDoesNotCheckThatScheduledIdsAreChildren) {
    RecordingAgent agent{[](NodeId node, std::span<const Child>) {
        return node == 0 ? std::vector<NodeId>{4, 1} : std::vector<NodeId>{};
    }};
    walk(sample_trie(), agent);
    EXPECT_EQ(agent.visits, (Ids{0, 4, 1}));
}

TEST(Walk, ScheduledIdPastThePayloadsFaultsWhenPopped) {
    RecordingAgent agent{[](NodeId node, std::span<const Child>) {
        return node == 0 ? std::vector<NodeId>{1, 6} : std::vector<NodeId>{};
    }};
    EXPECT_EQ(fault_message([&] { walk(sample_trie(), agent); }),
              "index out of bounds: the len is 6 but the index is 6");
    EXPECT_EQ(agent.visits, (Ids{0, 1}));
}

TEST(Walk, ChildWithoutCharacterFaultsAfterItsParentsVisit) {
    Trie t = sample_trie();
    t.node_chars[5] = std::nullopt;
    RecordingAgent agent{all_children};
    EXPECT_THROW(walk(t, agent), Fault);
    EXPECT_EQ(agent.visits, (Ids{0, 3}));
    EXPECT_EQ(agent.log.back(), "visit 3 30");
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

TEST_P(WalkChildFaultTest, FirstBadChildInOrderFaultsAfterTheRootsVisit) {
    // Node 1 has a character, node 2 none; there are three nodes.
    Trie t;
    t.node_shifts = GetParam().node_shifts;
    t.node_chars = {std::nullopt, U'a', std::nullopt};
    t.node_payloads = {std::nullopt, 1, 2};
    t.child_indices = GetParam().child_indices;
    RecordingAgent agent{all_children};
    EXPECT_EQ(fault_message([&] { walk(t, agent); }), GetParam().message);
    EXPECT_EQ(agent.log, (Log{"init", "visit 0 -"}));
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

// A chain 0 - 1 - ... - (n-1): the longest path an acyclic trie of n nodes has.
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

TEST(Walk, LongestAcyclicPathIsWalkedToTheEnd) {
    for (std::uint32_t n : {1u, 2u, 7u}) {
        RecordingAgent agent{all_children};
        walk(chain(n), agent);
        EXPECT_EQ(agent.visits.size(), n);
    }
}

TEST(Walk, SharedNodeWithoutCycleIsVisitedOncePerParent) {
    // 0 -> {1, 2}, 1 -> {3}, 2 -> {3}: node 3 has two parents.
    Trie t;
    t.node_shifts = {0, 2, 3, 4};
    t.node_chars = {std::nullopt, U'a', U'b', U'c'};
    t.node_payloads = {std::nullopt, std::nullopt, std::nullopt, 3};
    t.child_indices = {1, 2, 3, 3};
    RecordingAgent agent{all_children};
    walk(t, agent);
    EXPECT_EQ(agent.visits, (Ids{0, 1, 3, 2, 3}));
}

struct CycleCase {
    const char* name;
    Trie trie;
    std::string message;
};

class WalkCycleTest : public ::testing::TestWithParam<CycleCase> {};

TEST_P(WalkCycleTest, ChildListsLeadingBackFault) {
    RecordingAgent agent{all_children};
    EXPECT_EQ(fault_message([&] { walk(GetParam().trie, agent); }), GetParam().message);
    // The path grows to one more node than the trie has, then stops.
    EXPECT_EQ(agent.visits.size(), GetParam().trie.node_payloads.size());
}

Trie with_child_indices(Trie t, std::vector<std::uint32_t> child_indices) {
    t.child_indices = std::move(child_indices);
    return t;
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

TEST(Walk, CycleThatTheAgentPrunesIsHarmless) {
    // 0 -> 1 -> 0 -> ..., but the agent enters nothing below depth 1.
    Trie t = with_child_indices(chain(2), {1, 0});
    RecordingAgent agent{[](NodeId node, std::span<const Child> children) {
        return node == 0 ? all_children(node, children) : std::vector<NodeId>{};
    }};
    walk(t, agent);
    EXPECT_EQ(agent.visits, (Ids{0, 1}));
}

struct Interrupted {};

TEST(Walk, InterruptTicksOncePerVisitAndItsCheckCanAbandonTheWalk) {
    constexpr std::uint32_t n = 2 * Interrupt::kInterval + 5;
    int checks = 0;
    Interrupt counting([](void* count) { ++*static_cast<int*>(count); }, &checks);
    RecordingAgent agent{all_children};
    dfs(chain(n), agent, counting);
    EXPECT_EQ(agent.visits.size(), n);
    EXPECT_EQ(checks, 2);

    // The check runs before the visit that completes an interval.
    Interrupt throwing([](void*) { throw Interrupted{}; }, nullptr);
    RecordingAgent stopped{all_children};
    EXPECT_THROW(dfs(chain(n), stopped, throwing), Interrupted);
    EXPECT_EQ(stopped.visits.size(), Interrupt::kInterval - 1);
}

}  // namespace
}  // namespace morlatch
