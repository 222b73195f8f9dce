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

#include "prefix/state.hpp"
#include "prefix/trie.hpp"

namespace morlatch {

// Keys under which the matcher keeps its values in each node's State.
inline constexpr StateKey kCurPrefix{"CUR_PREFIX"};  // path text, CharList
inline constexpr StateKey kCurRow{"CUR_ROW"};        // this node's row, SizeList
inline constexpr StateKey kPrevRow{"PREV_ROW"};      // the parent's row, SizeList

// One hit: the key text, the node it ends at, and its distance.
struct MatchEntry {
    std::u32string key;
    NodeId node;
    std::uint64_t distance;

    bool operator==(const MatchEntry&) const = default;
};

class Matcher {
public:
    // The values of the States are allocated from `pool` (from the heap when
    // null), which must outlive every State the matcher hands out.
    Matcher(std::u32string_view query, std::uint64_t max_dist, std::optional<std::uint64_t> limit,
            StatePool* pool = nullptr);

    State initial_state();
    void visit_node(NodeId node, std::optional<Payload> payload, State& state);
    void get_children_to_visit(NodeId node, const State& state, std::span<const Child> children,
                               std::vector<Scheduled>& out);

    const std::u32string& query() const noexcept { return query_; }
    std::uint64_t max_dist() const noexcept { return max_dist_; }
    std::optional<std::uint64_t> limit() const noexcept { return limit_; }
    const std::vector<MatchEntry>& results() const noexcept { return results_; }
    std::vector<MatchEntry> take_results() noexcept { return std::move(results_); }

private:
    bool limit_reached() const noexcept { return limit_ && results_.size() >= *limit_; }

    std::u32string query_;
    std::uint64_t max_dist_;
    std::optional<std::uint64_t> limit_;
    std::vector<MatchEntry> results_;
    StatePool* pool_;
};

static_assert(Agent<Matcher>);

}  // namespace morlatch
