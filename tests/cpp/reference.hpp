// Obviously-correct references that the C++ tests (and the native benchmark)
// compare the core against: a trie builder, the Levenshtein and optimal string
// alignment distances, and a way to catch the fault of a call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// Optimal string alignment distance: Levenshtein plus the swap of two
// adjacent characters as one edit (a swapped pair is not edited again); three
// plain rows.
inline std::uint64_t osa(std::u32string_view a, std::u32string_view b) {
    std::vector<std::uint64_t> two_up(b.size() + 1), prev(b.size() + 1), cur(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                cur[j] = std::min(cur[j], two_up[j - 2] + 1);
            }
        }
        std::swap(two_up, prev);
        std::swap(prev, cur);
    }
    return prev[b.size()];
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
