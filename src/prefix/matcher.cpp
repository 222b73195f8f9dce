#include "prefix/matcher.hpp"

#include <algorithm>
#include <cstddef>

#include "prefix/fault.hpp"

namespace morlatch {

Matcher::Matcher(std::u32string_view query, std::uint64_t max_dist,
                 std::optional<std::uint64_t> limit)
    : query_(query), max_dist_(max_dist), limit_(limit) {}

void Matcher::visit_node(NodeId node, std::optional<Payload> payload, State& state) {
    const std::size_t n = query_.size();
    Row& row = state.row;
    if (state.prefix.empty()) [[unlikely]] {
        // The root: distance i to the first i query characters. The empty
        // key is never a hit.
        row.resize_for_overwrite(n + 1);
        for (std::size_t i = 0; i <= n; ++i) {
            row[i] = i;
        }
        return;
    }
    const Row& prev = state.prev_row;
    if (prev.size() <= n) [[unlikely]] {
        fault(index_out_of_bounds_message(prev.size(), n));
    }
    row.resize_for_overwrite(n + 1);
    const char32_t c = state.prefix.back();
    const char32_t* q = query_.data();
    const std::uint64_t* p = prev.data();
    std::uint64_t* r = row.data();
    // The left and upper-left neighbours stay in registers; min(above,
    // left) + 1 is min(above + 1, left + 1) with one addition fewer.
    std::uint64_t left = p[0] + 1;
    std::uint64_t upper_left = p[0];
    r[0] = left;
    for (std::size_t i = 1; i <= n; ++i) {
        const std::uint64_t above = p[i];
        const std::uint64_t diagonal = upper_left + (c != q[i - 1]);
        left = std::min(std::min(above, left) + 1, diagonal);
        r[i] = left;
        upper_left = above;
    }
    const std::uint64_t distance = left;

    if (payload && distance <= max_dist_ && !limit_reached()) {
        results_.push_back(
            MatchEntry{std::u32string(state.prefix.begin(), state.prefix.end()), node, distance});
    }
}

void Matcher::get_children_to_visit(NodeId /*node*/, const State& state,
                                    std::span<const Child> children,
                                    std::vector<Scheduled<State>>& out) {
    const Row& row = state.row;
    const Text& prefix = state.prefix;
    if (limit_reached() || children.empty()) {
        return;
    }
    // Some cell must be within max_dist for any key below to be.
    if (std::none_of(row.begin(), row.end(),
                     [&](std::uint64_t cell) { return cell <= max_dist_; })) {
        return;
    }

    const std::size_t depth = prefix.size();
    const bool continues = depth < query_.size();
    const char32_t next = continues ? query_[depth] : 0;
    // Of several children on the query's next character only the last is
    // entered; it goes first, the other children follow in trie order.
    std::size_t promoted = children.size();
    if (continues) {
        for (std::size_t i = children.size(); i-- > 0;) {
            if (children[i].ch == next) {
                promoted = i;
                break;
            }
        }
    }

    // Each child State is built where the walk will pick it up.
    auto schedule = [&](const Child& child) {
        State& child_state = out.emplace_back(Scheduled<State>{child.id, State{}}).state;
        child_state.prefix.assign(prefix.begin(), prefix.end());
        child_state.prefix.push_back(child.ch);
        child_state.prev_row = row;
    };

    if (promoted < children.size()) {
        schedule(children[promoted]);
    }
    for (const Child& child : children) {
        if (!(continues && child.ch == next)) {
            schedule(child);
        }
    }
}

}  // namespace morlatch
