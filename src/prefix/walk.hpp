// The depth-first walk over a Trie, driven by an agent.
//
// Per node taken off its stack the walk calls the agent's visit_node, then
// get_children_to_visit with the node's children in trie order; the agent
// appends the children to enter, in visiting order, to `out` (a buffer the
// walk owns and empties), each with a State of the agent's own type that the
// walk hands back when it visits that child. The first scheduled child is
// visited, with its whole accepted subtree, before the second (pre-order).
// The walk is iterative, so the depth of a trie is bounded only by memory.
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "prefix/fault.hpp"
#include "prefix/interrupt.hpp"
#include "prefix/trie.hpp"

namespace morlatch {

// A child to visit, with the State made for it.
template <class State>
struct Scheduled {
    NodeId node;
    State state;
};

// What dfs drives: initial_state once, then per visited node visit_node and
// get_children_to_visit.
template <class A>
concept Agent = std::movable<typename A::State> && std::default_initializable<typename A::State> &&
    requires(A& agent, NodeId node, std::optional<Payload> payload, typename A::State& state,
             const typename A::State& visited, std::span<const Child> children,
             std::vector<Scheduled<typename A::State>>& out) {
    { agent.initial_state() } -> std::same_as<typename A::State>;
    { agent.visit_node(node, payload, state) } -> std::same_as<void>;
    { agent.get_children_to_visit(node, visited, children, out) } -> std::same_as<void>;
};

// Walks trie from the root, calling interrupt.tick() once per visited node
// (a check that throws abandons the walk).
template <Agent A>
void dfs(const Trie& trie, A& agent, Interrupt& interrupt) {
    using State = typename A::State;
    struct Frame {
        NodeId node;
        std::size_t depth;  // edges between the root and this node
        State state;
    };
    std::vector<Frame> stack;
    std::vector<Child> children;
    std::vector<Scheduled<State>> scheduled;

    stack.push_back(Frame{0, 0, agent.initial_state()});
    const std::size_t node_count = trie.node_payloads.size();
    while (!stack.empty()) {
        interrupt.tick();
        // The node is visited where it lies on the stack; it leaves the stack
        // (with its State) before its children go on.
        Frame& frame = stack.back();
        const NodeId node = frame.node;
        const std::size_t depth = frame.depth;
        if (node >= node_count) [[unlikely]] {
            at(trie.node_payloads, node);  // faults
        }
        // Every node on the path to here has an id below node_count, so a
        // path with more nodes than that repeats one: the child lists lead
        // back to an ancestor and the walk would never end.
        if (depth >= node_count) [[unlikely]] {
            fault(cycle_message(node, depth, node_count));
        }
        agent.visit_node(node, trie.node_payloads[node], frame.state);

        children.clear();
        trie.append_children(node, children);
        scheduled.clear();
        agent.get_children_to_visit(node, std::as_const(frame.state),
                                    std::span<const Child>(children), scheduled);
        stack.pop_back();
        // Pushed in reverse so that the first scheduled child is popped first.
        for (auto it = scheduled.rbegin(); it != scheduled.rend(); ++it) {
            stack.push_back(Frame{it->node, depth + 1, std::move(it->state)});
        }
    }
}

}  // namespace morlatch
