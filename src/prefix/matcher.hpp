// The edit-distance agent: finds every key within max_dist of a query.
//
// Each visited node gets one Levenshtein row against the query, computed from
// its parent's row and its own character. A node with a payload whose last
// cell is within max_dist is recorded; a node whose row minimum exceeds
// max_dist schedules no children, since a further character never lowers the
// minimum. The child that continues the query is visited first, so that with
// a limit the hits along the query's own path come first.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/inline_list.hpp"
#include "prefix/trie.hpp"
#include "prefix/walk.hpp"

namespace morlatch {

// One hit: the key text, the node it ends at, and its distance.
struct MatchEntry {
    std::u32string key;
    NodeId node;
    std::uint64_t distance;

    bool operator==(const MatchEntry&) const = default;
};

class Matcher {
public:
    // A row holds query length + 1 cells; ordinary words fit in the lists
    // themselves.
    using Text = InlineList<char32_t, 32>;
    using Row = InlineList<std::uint64_t, 32>;

    // What the matcher keeps per node; each child gets copies of its
    // parent's values, never shared storage.
    struct State {
        Text prefix;   // the path text; empty at the root only
        Row prev_row;  // the parent's row
        Row row;       // this node's row, set by visit_node
    };

    Matcher(std::u32string_view query, std::uint64_t max_dist, std::optional<std::uint64_t> limit);

    State initial_state() const { return State{}; }
    void visit_node(NodeId node, std::optional<Payload> payload, State& state);
    void get_children_to_visit(NodeId node, const State& state, std::span<const Child> children,
                               std::vector<Scheduled<State>>& out);

    const std::vector<MatchEntry>& results() const noexcept { return results_; }
    std::vector<MatchEntry> take_results() noexcept { return std::move(results_); }

private:
    bool limit_reached() const noexcept { return limit_ && results_.size() >= *limit_; }

    std::u32string query_;
    std::uint64_t max_dist_;
    std::optional<std::uint64_t> limit_;
    std::vector<MatchEntry> results_;
};

static_assert(Agent<Matcher>);

}  // namespace morlatch
