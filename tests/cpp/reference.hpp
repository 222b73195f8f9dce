// Obviously-correct references that the C++ tests (and the native benchmark)
// compare the core against: a trie builder, the Levenshtein distance, a model
// of the plain walk, and a way to catch the fault of a call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "prefix/fault.hpp"
#include "prefix/trie.hpp"

namespace morlatch::reference {

using Keys = std::vector<std::pair<std::u32string, std::optional<Payload>>>;

// Lays keys out as the package's builder does: ids breadth first, the
// children of each node consecutive and in code-point order. A key given
// twice keeps its last payload; the empty key puts its payload on the root.
inline Trie build_trie(const Keys& keys) {
    struct Node {
        std::map<char32_t, std::unique_ptr<Node>> kids;
        std::optional<Payload> payload;
    };
    Node root;
    for (const auto& [key, payload] : keys) {
        Node* node = &root;
        for (char32_t c : key) {
            std::unique_ptr<Node>& kid = node->kids[c];
            if (!kid) kid = std::make_unique<Node>();
            node = kid.get();
        }
        node->payload = payload;
    }
    Trie t;
    std::vector<std::pair<std::optional<char32_t>, const Node*>> level{{std::nullopt, &root}};
    auto next_id = static_cast<NodeId>(1);
    while (!level.empty()) {
        std::vector<std::pair<std::optional<char32_t>, const Node*>> below;
        for (const auto& [ch, node] : level) {
            t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_indices.size()));
            t.node_chars.push_back(ch);
            t.node_payloads.push_back(node->payload);
            for (const auto& [c, kid] : node->kids) {
                t.child_indices.push_back(next_id++);
                below.emplace_back(c, kid.get());
            }
        }
        level = std::move(below);
    }
    return t;
}

// Plain two-row Levenshtein distance: unit insert, delete, substitute.
inline std::uint64_t levenshtein(std::u32string_view a, std::u32string_view b) {
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

// What the walk model saw: the hits (key, node, distance) in the order found,
// the nodes visited, and the fault that ended the walk ("" for none).
struct Walk {
    std::vector<std::tuple<std::u32string, NodeId, std::uint64_t>> hits;
    std::uint64_t visits = 0;
    std::string fault;

    bool operator==(const Walk&) const = default;
};

// The plain walk step by step, on the arrays as given: depth first from the
// root; every pending node carries its own copy of its path text and of its
// parent's full Levenshtein row; a node with a payload whose last cell is
// within max_dist is a hit; a node whose row minimum exceeds max_dist, or any
// node once `limit` hits are found, enters no children (its children are read
// all the same); the child on the query's next character goes first (of
// several, the last), the others follow in array order. A node past the
// payloads, or deeper than the trie has nodes, faults before its visit.
inline Walk walk(const Trie& t, std::u32string_view query, std::uint64_t max_dist,
                 std::optional<std::uint64_t> limit = std::nullopt) {
    struct Node {
        NodeId id;
        std::u32string prefix;
        std::vector<std::uint64_t> parent_row;
    };
    Walk out;
    const std::size_t n = query.size();
    std::vector<Node> stack{{0, U"", {}}};
    try {
        while (!stack.empty()) {
            Node node = std::move(stack.back());
            stack.pop_back();
            const std::optional<Payload> payload = at(t.node_payloads, node.id);
            if (node.prefix.size() >= t.node_payloads.size()) {
                fault(cycle_message(node.id, node.prefix.size(), t.node_payloads.size()));
            }
            ++out.visits;
            std::vector<std::uint64_t> row(n + 1);
            for (std::size_t i = 0; i <= n; ++i) row[i] = i;
            const bool full = limit && out.hits.size() >= *limit;
            if (!node.prefix.empty()) {
                const std::vector<std::uint64_t>& p = node.parent_row;
                row[0] = p[0] + 1;
                for (std::size_t i = 1; i <= n; ++i) {
                    row[i] = std::min({p[i] + 1, row[i - 1] + 1,
                                       p[i - 1] + (node.prefix.back() != query[i - 1])});
                }
                if (payload && row[n] <= max_dist && !full) {
                    out.hits.emplace_back(node.prefix, node.id, row[n]);
                }
            }
            // The children as the arrays list them, faulting at the first bad read.
            const std::size_t start = at(t.node_shifts, node.id);
            const std::uint32_t after = node.id + 1;  // ids are 32-bit
            const std::size_t end = after >= static_cast<std::uint32_t>(t.node_shifts.size())
                                        ? t.child_indices.size()
                                        : t.node_shifts[after];
            std::vector<std::pair<char32_t, NodeId>> below;
            for (std::size_t i = start; i < end; ++i) {
                const NodeId child = at(t.child_indices, i);
                below.emplace_back(unwrap(at(t.node_chars, child)), child);
            }
            if ((limit && out.hits.size() >= *limit) ||
                *std::min_element(row.begin(), row.end()) > max_dist) {
                continue;
            }
            std::optional<std::pair<char32_t, NodeId>> promoted;
            std::vector<std::pair<char32_t, NodeId>> chosen;
            for (const auto& child : below) {
                if (node.prefix.size() < n && child.first == query[node.prefix.size()]) {
                    promoted = child;  // a later one replaces an earlier one
                } else {
                    chosen.push_back(child);
                }
            }
            if (promoted) chosen.insert(chosen.begin(), *promoted);
            for (auto it = chosen.rbegin(); it != chosen.rend(); ++it) {
                stack.push_back(Node{it->second, node.prefix + it->first, row});
            }
        }
    } catch (const Fault& f) {
        out.fault = f.message();
    }
    return out;
}

// The fault that fn() raises, or nothing when it returns normally.
template <class Fn>
std::optional<Fault> fault_of(Fn&& fn) {
    try {
        fn();
    } catch (const Fault& f) {
        return f;
    }
    return std::nullopt;
}

// The message of the fault that fn() raises; "(no fault)" when it returns.
template <class Fn>
std::string fault_message(Fn&& fn) {
    const std::optional<Fault> f = fault_of(std::forward<Fn>(fn));
    return f ? f->message() : "(no fault)";
}

}  // namespace morlatch::reference
