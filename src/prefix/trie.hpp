// The trie arrays: one static trie laid out as four flat lists.
//
// Node 0 is the root. The children of node n are child_indices[node_shifts[n]
// .. node_shifts[n + 1]) (for the last node, up to the end of child_indices),
// in the order in which they stand there. Nothing checks that the lists agree
// with each other when a trie is built; reads past a list's end are faults.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "prefix/fault.hpp"
#include "prefix/state.hpp"

namespace morlatch {

using NodeId = std::uint32_t;
using Payload = std::uint32_t;

// One child edge: the character that leads into the child, and its id.
struct Child {
    char32_t ch;
    NodeId id;

    bool operator==(const Child&) const = default;
};

// A child that an agent wants visited, with the State it made for it.
struct Scheduled {
    NodeId node;
    State state;
};

// What Trie::dfs drives. Per popped node the walk calls visit_node, then
// get_children_to_visit with the node's children in trie order; the agent
// appends the children to enter, in visiting order, to `out` (a buffer the
// walk owns and empties), handing their States over to the walk.
template <class A>
concept Agent = requires(A& agent, NodeId node, std::optional<Payload> payload, State& state,
                         const State& visited, std::span<const Child> children,
                         std::vector<Scheduled>& out) {
    { agent.initial_state() } -> std::same_as<State>;
    { agent.visit_node(node, payload, state) } -> std::same_as<void>;
    { agent.get_children_to_visit(node, visited, children, out) } -> std::same_as<void>;
};

struct Trie {
    std::vector<std::uint32_t> node_shifts;
    std::vector<std::optional<char32_t>> node_chars;
    std::vector<std::optional<Payload>> node_payloads;
    std::vector<std::uint32_t> child_indices;

    bool operator==(const Trie&) const = default;

    // The children of node n, in child_indices order.
    std::vector<Child> get_children(NodeId n) const {
        std::vector<Child> out;
        append_children(n, out);
        return out;
    }

    // Appends the children of node n to out (lets a walk reuse one buffer).
    void append_children(NodeId n, std::vector<Child>& out) const;

    std::optional<Payload> get_payload(NodeId n) const { return at(node_payloads, n); }

    // Depth-first pre-order walk from the root, driven by the agent: the
    // first child it schedules is visited, with its whole accepted subtree,
    // before the second. Iterative, so trie depth is bounded only by memory.
    template <Agent A>
    void dfs(A& agent) const;

private:
    [[noreturn]] static void cycle_fault(NodeId node, std::size_t depth, std::size_t node_count);
};

template <Agent A>
void Trie::dfs(A& agent) const {
    struct Frame {
        NodeId node;
        std::size_t depth;  // edges between the root and this entry
        State state;
    };
    std::vector<Frame> stack;
    std::vector<Child> children;
    std::vector<Scheduled> scheduled;

    stack.push_back(Frame{0, 0, agent.initial_state()});
    const std::size_t node_count = node_payloads.size();
    while (!stack.empty()) {
        // The node is visited where it lies on the stack; it leaves the stack
        // (with its State) before its children go on.
        Frame& frame = stack.back();
        const NodeId node = frame.node;
        const std::size_t depth = frame.depth;
        if (node >= node_payloads.size()) [[unlikely]] {
            at(node_payloads, node);  // faults
        }
        const std::optional<Payload> payload = node_payloads[node];
        // Every node on the path to here has an id below node_count, so a
        // path with more nodes than that repeats one: the child lists lead
        // back to an ancestor and the walk would never end.
        if (depth >= node_count) [[unlikely]] {
            cycle_fault(node, depth, node_count);
        }
        agent.visit_node(node, payload, frame.state);

        children.clear();
        append_children(node, children);
        scheduled.clear();
        agent.get_children_to_visit(node, std::as_const(frame.state),
                                    std::span<const Child>(children), scheduled);
        stack.pop_back();
        // Pushed in reverse so that the first scheduled child is popped first.
        for (auto it = scheduled.rbegin(); it != scheduled.rend(); ++it) {
            stack.emplace_back(it->node, depth + 1, std::move(it->state));
        }
    }
}

}  // namespace morlatch
