// The pass over a stored image's nodes (see mapped.hpp): level order, child
// ranges, ranks and sibling order, the key lengths below each node, the key
// counts, and the keys' hashes that compare a layout with its reverse index.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include "prefix/file/mapped_check.hpp"

namespace morlatch::stored {
namespace {

// Scratch words for one check, mapped apart from the heap so that they go
// back to the system when the check ends (freed heap memory this large may
// stay with the process). Pages are touched only as far as they are used.
class Scratch {
public:
    explicit Scratch(std::size_t words) : bytes_(words * sizeof(std::uint64_t)) {
#if __has_include(<sys/mman.h>)
        if (bytes_ != 0) {
            void* at = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (at != MAP_FAILED) {
                data_ = static_cast<std::uint64_t*>(at);
                return;
            }
        }
#endif
        fallback_.resize(words);
        data_ = fallback_.data();
    }
    ~Scratch() {
#if __has_include(<sys/mman.h>)
        if (fallback_.empty() && data_ != nullptr) {
            munmap(data_, bytes_);
        }
#endif
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::uint64_t* data() noexcept {
        return data_;
    }

private:
    std::size_t bytes_;
    std::uint64_t* data_ = nullptr;
    std::vector<std::uint64_t> fallback_;
};

// The pass for narrow or wide records, with or without the keys' hashes:
// every node is the child of one node before it, so each record is read
// once as a child (its rank, its lengths, its place among its siblings) and
// once as a parent (its range, its own lengths against its children's).
// The loop keeps its state in locals; what is wrong is told by the cold
// functions after it.
template <bool Wide, bool Hash>
class NodePass {
public:
    NodePass(ImageChecker& checker, const NodeView& view, std::uint64_t n, std::uint32_t ranks,
             const NodeImage::Plan& plan)
        : checker_(checker), view_(view), n_(n), ranks_(ranks), plan_(plan) {}

    bool run(const std::uint32_t* head) {
        constexpr std::uint8_t saturated = CompactTrie::kLengthSaturated;
        const NodeView view = view_;
        const std::uint64_t n = n_;
        const KeyHash hashing = Hash ? *checker_.hash() : KeyHash(0, 0);
        const bool backward = checker_.reverse();
        // The hashes of the paths to the nodes of this level and the next
        // (no level holds more than n nodes).
        Scratch scratch(Hash ? 2 * (n + 1) : 0);
        std::uint64_t* level = scratch.data();
        std::uint64_t* next = Hash ? level + n + 1 : nullptr;
        std::uint64_t* out = next;
        std::size_t level_size = 1;
        if constexpr (Hash) {
            level[0] = 0;
        }
        std::uint64_t keys = 0, total = 0, key_hash = 0, depth = 0, power = 1;
        std::size_t level_end = 1, level_start = 0;
        std::uint64_t first = first_of(view, 0);
        for (std::size_t v = 0; v < n; ++v) {
            if (view.key_base != nullptr && (v & (records::kLine - 1)) == 0 &&
                view.key_base[v >> records::kLineShift] != keys) [[unlikely]] {
                return bad_key_base(v >> records::kLineShift, keys);
            }
            const std::uint64_t end = first_of(view, v + 1);
            const std::uint32_t record = view.records[v];
            if (first <= v || end < first || end > n || (Wide && (record & 0xFFFFFu) != 0))
                [[unlikely]] {
                return bad_node(v, first, end);
            }
            if (v == level_end) {
                ++depth;
                level_end = first;
                level_start = v;
                if constexpr (Hash) {
                    std::swap(level, next);
                    level_size = static_cast<std::size_t>(out - level);
                    out = next;
                    power = hashing.next_power(power);
                }
            }
            if (Hash && v - level_start >= level_size) [[unlikely]] {
                return checker_.fail_at(record_at(v),
                                        "node " + std::to_string(v) + " is out of level order");
            }
            const std::uint64_t hash = Hash ? level[v - level_start] : 0;
            const bool key = records::is_key(record);
            Lengths lengths{key ? std::uint8_t{0} : saturated, 0};
            const auto bad =
                read_children(view, first, end, lengths, [&]([[maybe_unused]] char32_t label) {
                    if constexpr (Hash) {
                        // Forward: the path read from the root; backward:
                        // from its end, the same for a reversed key.
                        *out++ = backward ? hashing.prepend(hash, label)
                                          : hashing.append(hash, label, power);
                    }
                });
            if (bad) [[unlikely]] {
                return bad_child(bad->first, bad->second);
            }
            if (records::shortest(record) != lengths.shortest ||
                records::longest(record) != lengths.longest) [[unlikely]] {
                return bad_lengths(v, record, lengths.shortest, lengths.longest);
            }
            if (key) {
                ++keys;
                total += depth;
                if (Hash && v != 0) {
                    key_hash += hashing.mixed(hash);
                }
            }
            first = end;
        }
        checker_.key_hash = key_hash;
        if (view.key_base != nullptr && (n & (records::kLine - 1)) == 0 &&
            view.key_base[n >> records::kLineShift] != keys) {
            return bad_key_base(n >> records::kLineShift, keys);
        }
        return check_totals(head, keys, total);
    }

private:
    // The shortest and longest key below a node, as its record holds them.
    struct Lengths {
        std::uint8_t shortest;
        std::uint8_t longest;
    };

    // Reads the children of one node, records `first` to `end`: their
    // labels in strictly increasing order (each one handed to `label`),
    // their lengths folded into the parent's. The child and the order read
    // at the first one out of order, if any.
    template <typename OnLabel>
    std::optional<std::pair<std::uint64_t, std::uint32_t>> read_children(const NodeView& view,
                                                                         std::uint64_t first,
                                                                         std::uint64_t end,
                                                                         Lengths& lengths,
                                                                         OnLabel&& label) const {
        constexpr std::uint8_t saturated = CompactTrie::kLengthSaturated;
        std::uint32_t previous = 0;
        for (std::uint64_t c = first; c < end; ++c) {
            const std::uint32_t child = view.records[c];
            const std::uint32_t order = Wide ? view.labels[c] : records::rank(child);
            if ((!Wide && (order == 0 || order >= ranks_)) || (c > first && order <= previous))
                [[unlikely]] {
                return std::pair{c, order};
            }
            previous = order;
            const std::uint8_t child_shortest = records::shortest(child);
            const std::uint8_t child_longest = records::longest(child);
            // A child without keys below adds nothing; saturated stays so.
            if (!(child_shortest == saturated && child_longest == 0)) {
                lengths.shortest = std::min<std::uint8_t>(
                    lengths.shortest, child_shortest + (child_shortest != saturated ? 1 : 0));
                lengths.longest = std::max<std::uint8_t>(
                    lengths.longest, child_longest + (child_longest != saturated ? 1 : 0));
            }
            label(Wide ? view.labels[c] : view.alphabet[order]);
        }
        return std::nullopt;
    }

    std::size_t record_at(std::size_t v) const { return plan_.records + v; }
    std::size_t first_at(std::size_t v) const { return Wide ? plan_.first + v : record_at(v); }

    // In 64 bits: a sum that would wrap in 32 is out of range.
    static std::uint64_t first_of(const NodeView& view, std::size_t v) {
        if constexpr (Wide) {
            return view.first[v];
        } else {
            return std::uint64_t{view.line_base[v >> records::kLineShift]} +
                   records::prefix(view.records[v]);
        }
    }

    [[gnu::cold]] bool bad_key_base(std::size_t line, std::uint64_t keys) {
        return checker_.fail_at(plan_.key_base + line, "the key count before line " +
                                                           std::to_string(line) + " is " +
                                                           std::to_string(view_.key_base[line]) +
                                                           ", not " + std::to_string(keys));
    }

    [[gnu::cold]] bool bad_node(std::size_t v, std::uint64_t first, std::uint64_t end) {
        if (first <= v) {
            return checker_.fail_at(first_at(v), "node " + std::to_string(v) +
                                                     "'s children start at " +
                                                     std::to_string(first) + ", not after it");
        }
        if (end < first || end > n_) {
            return checker_.fail_at(first_at(v + 1),
                                    "node " + std::to_string(v + 1) + "'s children start at " +
                                        std::to_string(end) + ", not between those of node " +
                                        std::to_string(v) + " (" + std::to_string(first) +
                                        ") and the node count " + std::to_string(n_));
        }
        return checker_.fail_at(record_at(v), "node " + std::to_string(v) +
                                                  " of a wide layout has rank or prefix bits");
    }

    [[gnu::cold]] bool bad_child(std::uint64_t c, std::uint32_t order) {
        if (!Wide && (order == 0 || order >= ranks_)) {
            return checker_.fail_at(
                record_at(c), "node " + std::to_string(c) + "'s rank " + std::to_string(order) +
                                  (order == 0 ? " is the root's" : " is past the alphabet"));
        }
        return checker_.fail_at(Wide ? plan_.labels + c : record_at(c),
                                "node " + std::to_string(c) + "'s label " +
                                    std::to_string(view_.label(static_cast<NodeId>(c))) +
                                    " does not follow its elder sibling's " +
                                    std::to_string(view_.label(static_cast<NodeId>(c - 1))) +
                                    " in ascending order");
    }

    [[gnu::cold]] bool bad_lengths(std::size_t v, std::uint32_t record, std::uint8_t shortest,
                                   std::uint8_t longest) {
        return checker_.fail_at(
            record_at(v), "node " + std::to_string(v) + "'s key lengths below are " +
                              std::to_string(records::shortest(record)) + " to " +
                              std::to_string(records::longest(record)) + ", its children give " +
                              std::to_string(shortest) + " to " + std::to_string(longest));
    }

    bool check_totals(const std::uint32_t* head, std::uint64_t keys, std::uint64_t total) {
        if (keys != head[4]) {
            return checker_.fail_at(4, "its header counts " + std::to_string(head[4]) +
                                           " keys, not " + std::to_string(keys));
        }
        const std::uint64_t stored_total = head[6] | static_cast<std::uint64_t>(head[7]) << 32;
        if (total != stored_total) {
            return checker_.fail_at(6, "its header's total key length " +
                                           std::to_string(stored_total) + " is not " +
                                           std::to_string(total));
        }
        return true;
    }

    ImageChecker& checker_;
    const NodeView& view_;
    std::uint64_t n_;
    std::uint32_t ranks_;
    const NodeImage::Plan& plan_;
};

template <bool Wide>
bool run_pass(ImageChecker& checker, const NodeView& view, std::uint64_t n, std::uint32_t ranks,
              const NodeImage::Plan& plan, const std::uint32_t* head) {
    if (checker.hash() != nullptr) {
        return NodePass<Wide, true>(checker, view, n, ranks, plan).run(head);
    }
    return NodePass<Wide, false>(checker, view, n, ranks, plan).run(head);
}

}  // namespace

bool check_node_pass(ImageChecker& checker, const NodeView& view, std::uint64_t n,
                     std::uint32_t ranks, const NodeImage::Plan& plan, const std::uint32_t* head) {
    return plan.first != 0 ? run_pass<true>(checker, view, n, ranks, plan, head)
                           : run_pass<false>(checker, view, n, ranks, plan, head);
}

}  // namespace morlatch::stored
