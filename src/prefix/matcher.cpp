#include "prefix/matcher.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "base/fault.hpp"

namespace morlatch {
namespace {

// A node on the walk's stack, with what its visit needs from its parent.
struct Pending {
    NodeId node;
    char32_t ch;             // the character on the edge into the node
    std::size_t depth;       // edges between the root and the node
    std::size_t parent_row;  // where the parent's row starts in the row store
};

constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();

// The cells lo..hi (inclusive) of the row at some depth d that can hold a
// distance within max_dist: cell i is at least |i - d| (Ukkonen's band).
// Every cell outside the band is taken as `far` = max_dist + 1. That changes
// no cell within max_dist, since min(x, far) commutes with the recurrence's
// additions and minima; so hits, their distances and the pruning are those
// of the full rows.
struct Band {
    std::size_t lo;
    std::size_t hi;  // below lo when the band is empty (d > query length + max_dist)

    std::size_t width() const noexcept { return lo <= hi ? hi - lo + 1 : 0; }
};

// Writes the band b of the row of a node at depth >= 1 whose edge character
// is c, to r, from the band pb of its parent's row at p. The left and
// upper-left neighbours stay in registers; min(above, left) + 1 is
// min(above + 1, left + 1) with one addition fewer.
void next_row(std::u32string_view query, char32_t c, std::size_t depth, Band pb,
              const std::uint64_t* p, Band b, std::uint64_t far, std::uint64_t* r) {
    std::size_t i = b.lo;
    std::uint64_t left;
    std::uint64_t upper_left;
    if (b.lo == 0) {
        left = depth;  // the path against no query character: depth deletions
        r[0] = left;
        upper_left = p[0];
        i = 1;
    } else {
        left = far;
        upper_left = b.lo > pb.lo ? p[b.lo - 1 - pb.lo] : far;
    }
    // The parent's band ends at pb.hi; the row's may reach one cell further.
    for (const std::size_t end = std::min(b.hi, pb.hi); i <= end; ++i) {
        const std::uint64_t above = p[i - pb.lo];
        const std::uint64_t diagonal = upper_left + (c != query[i - 1]);
        left = std::min(std::min(above, left) + 1, diagonal);
        r[i - b.lo] = left;
        upper_left = above;
    }
    if (b.hi > pb.hi) {
        const std::uint64_t diagonal = upper_left + (c != query[b.hi - 1]);
        r[b.hi - b.lo] = std::min(std::min(far, left) + 1, diagonal);
    }
}

// Faults for a node id past the lists' end, and for a path with more nodes
// than the trie: every node on the path to here has an id below the node
// count, so such a path repeats one (the child lists lead back to an
// ancestor and the walk would never end).
void check_reachable(const Trie& trie, NodeId node, std::size_t depth) {
    const std::size_t node_count = trie.node_payloads.size();
    if (node >= node_count) [[unlikely]] {
        at(trie.node_payloads, node);  // faults
    }
    if (depth >= node_count) [[unlikely]] {
        fault(cycle_message(node, depth, node_count));
    }
}

// The row at `row_at` (`width` cells, the last in `rows`) moved to where its
// parent's row starts: no sibling is left to read the parent's row, and a
// chain of only children keeps one row, not one per level.
std::size_t take_parents_place(std::vector<std::uint64_t>& rows, std::size_t row_at,
                               std::size_t parent_row, std::size_t width) {
    std::copy(rows.begin() + static_cast<std::ptrdiff_t>(row_at), rows.end(),
              rows.begin() + static_cast<std::ptrdiff_t>(parent_row));
    rows.resize(parent_row + width);
    return parent_row;
}

// Pushes the children of a node at `depth` whose row starts at `row_at`. Of
// several children on the query's next character only the last is entered;
// it goes first, the other children follow in array order. Pushed in
// reverse, so that the first to visit is on top.
void push_children(const std::vector<Child>& children, std::u32string_view query, std::size_t depth,
                   std::size_t row_at, std::vector<Pending>& stack) {
    const bool continues = depth < query.size();
    const char32_t next = continues ? query[depth] : 0;
    std::size_t promoted = children.size();
    for (std::size_t i = children.size(); i-- > 0;) {
        const Child& child = children[i];
        if (continues && child.ch == next) {
            if (promoted == children.size()) {
                promoted = i;
            }
            continue;
        }
        stack.push_back(Pending{child.id, child.ch, depth + 1, row_at});
    }
    if (promoted < children.size()) {
        stack.push_back(Pending{children[promoted].id, next, depth + 1, row_at});
    }
}

}  // namespace

Matcher::Matcher(std::u32string_view query, std::uint64_t max_dist,
                 std::optional<std::uint64_t> limit)
    : query_(query), max_dist_(max_dist), limit_(limit) {}

void Matcher::walk(const Trie& trie, Interrupt& interrupt) {
    const std::u32string_view query = query_;
    const std::size_t n = query.size();
    const std::size_t node_count = trie.node_payloads.size();
    // A path that the walk follows has fewer edges than the trie has nodes,
    // so no distance on it exceeds n + node_count: a larger bound finds the
    // same keys and would only widen the band and overflow `far`.
    const std::uint64_t k = std::min<std::uint64_t>(max_dist_, n + node_count);
    const std::uint64_t far = k + 1;
    const auto band = [&](std::size_t depth) {
        return Band{depth > k ? depth - k : 0, std::min<std::size_t>(n, depth + k)};
    };

    std::vector<Pending> stack{Pending{0, 0, 0, kNoRow}};
    // The rows of the nodes that still have children on the stack, ancestors
    // first, then the row of the node being visited. Each child finds its
    // parent's row on top once the subtrees of its earlier siblings are done.
    std::vector<std::uint64_t> rows;
    std::vector<Child> children;
    std::u32string path;  // the characters on the edges down to the node

    while (!stack.empty()) {
        interrupt.tick();
        const Pending visit = stack.back();
        stack.pop_back();
        const NodeId node = visit.node;
        const std::size_t depth = visit.depth;
        check_reachable(trie, node, depth);
        ++visits_;

        bool within = false;  // some cell of the row is within max_dist
        std::size_t row_at = 0;
        std::size_t width = 0;
        if (depth == 0) {
            // The root: distance i to the first i query characters. The
            // empty key is never a hit.
            const Band b = band(0);
            width = b.width();
            rows.resize(width);
            for (std::size_t i = 0; i < width; ++i) {
                rows[i] = i;
            }
            within = true;
        } else {
            path.resize(depth);
            path[depth - 1] = visit.ch;
            // After the limit no node records a hit or enters a child, so
            // the row is not needed.
            if (!limit_reached()) {
                const Band pb = band(depth - 1);
                const Band b = band(depth);
                width = b.width();
                row_at = visit.parent_row + pb.width();
                rows.resize(row_at + width);  // drops the rows of finished subtrees
                if (width != 0) {
                    std::uint64_t* r = rows.data() + row_at;
                    next_row(query, visit.ch, depth, pb, rows.data() + visit.parent_row, b, far, r);
                    within =
                        std::any_of(r, r + width, [&](std::uint64_t cell) { return cell <= k; });
                    const std::optional<Payload> payload = trie.node_payloads[node];
                    if (payload && b.hi == n && r[n - b.lo] <= k) {
                        results_.push_back(MatchEntry{path, node, r[n - b.lo]});
                    }
                }
            }
        }

        // Read even when nothing is entered, so that a bad child list faults
        // wherever the walk comes by.
        children.clear();
        trie.append_children(node, children);
        if (!within || children.empty() || limit_reached()) {
            continue;
        }
        if (depth != 0 && (stack.empty() || stack.back().parent_row != visit.parent_row)) {
            row_at = take_parents_place(rows, row_at, visit.parent_row, width);
        }

        push_children(children, query, depth, row_at, stack);
    }
}

}  // namespace morlatch
