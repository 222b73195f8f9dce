#include "prefix/matcher.hpp"

#include <algorithm>
#include <cstddef>

#include "prefix/fault.hpp"

namespace morlatch {
namespace {

// The walk always supplies these keys; a missing one is a broken invariant.
template <StateValue T>
const T& required(const State& state, std::string_view key) {
    const T* value = state.get<T>(key);
    if (value == nullptr) [[unlikely]] {
        fault(unwrap_none_message);
    }
    return *value;
}

}  // namespace

Matcher::Matcher(std::u32string_view query, std::uint64_t max_dist,
                 std::optional<std::uint64_t> limit, std::pmr::memory_resource* memory)
    : query_(query), max_dist_(max_dist), limit_(limit), memory_(memory) {}

State Matcher::initial_state() {
    State state{State::allocator_type(memory_)};
    state.put(kCurPrefix, CharList(state.get_allocator()));
    return state;
}

void Matcher::visit_node(NodeId node, std::optional<Payload> payload, State& state) {
    const CharList& prefix = required<CharList>(state, kCurPrefix);
    const std::size_t n = query_.size();
    SizeList row(n + 1, state.get_allocator());

    if (prefix.empty()) {
        // The root: distance i to the first i query characters. The empty
        // key is never a hit.
        for (std::size_t i = 0; i <= n; ++i) {
            row[i] = i;
        }
        state.put(kCurRow, std::move(row));
        return;
    }

    const SizeList& prev = required<SizeList>(state, kPrevRow);
    if (prev.size() <= n) [[unlikely]] {
        fault(index_out_of_bounds_message(prev.size(), n));
    }
    const char32_t c = prefix.back();
    const std::uint64_t* p = prev.data();
    std::uint64_t* r = row.data();
    r[0] = p[0] + 1;
    for (std::size_t i = 1; i <= n; ++i) {
        const std::uint64_t diagonal = p[i - 1] + (c == query_[i - 1] ? 0 : 1);
        r[i] = std::min(std::min(p[i] + 1, r[i - 1] + 1), diagonal);
    }
    const std::uint64_t distance = r[n];
    state.put(kCurRow, std::move(row));

    if (payload && distance <= max_dist_ && !limit_reached()) {
        results_.push_back(
            MatchEntry{std::u32string(prefix.begin(), prefix.end()), node, distance});
    }
}

void Matcher::get_children_to_visit(NodeId /*node*/, const State& state,
                                    std::span<const Child> children, std::vector<Scheduled>& out) {
    const SizeList& row = required<SizeList>(state, kCurRow);
    const CharList& prefix = required<CharList>(state, kCurPrefix);
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

    auto schedule = [&](const Child& child) {
        State child_state{state.get_allocator()};
        child_state.put(kPrevRow, SizeList(row, state.get_allocator()));
        CharList child_prefix(state.get_allocator());
        child_prefix.reserve(depth + 1);
        child_prefix.assign(prefix.begin(), prefix.end());
        child_prefix.push_back(child.ch);
        child_state.put(kCurPrefix, std::move(child_prefix));
        out.push_back(Scheduled{child.id, std::move(child_state)});
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
