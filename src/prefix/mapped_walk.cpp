// The pass over a stored image's nodes (see mapped.hpp): level order, child
// ranges, ranks and sibling order, the key lengths below each node, the key
// counts, and the keys' hashes that compare a layout with its reverse index.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include "prefix/mapped_check.hpp"

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
template <bool Wide, bool Hash>
class NodePass {
public:
    NodePass(ImageChecker& checker, const NodeView& view, std::uint64_t n, std::uint32_t ranks,
             const NodeImage::Plan& plan)
        : checker_(checker),
          view_(view),
          n_(n),
          ranks_(ranks),
          plan_(plan),
          scratch_(Hash ? 2 * (n + 1) : 0) {
        if constexpr (Hash) {
            level_ = scratch_.data();
            next_ = level_ + n + 1;
            level_[0] = 0;
        }
    }

    bool run(const std::uint32_t* head) {
        std::uint64_t keys = 0;
        std::uint64_t total = 0;
        std::uint64_t first = first_of(0);
        for (std::size_t v = 0; v < n_; ++v) {
            if (!check_key_base(v, keys)) [[unlikely]] {
                return false;
            }
            const std::uint64_t end = first_of(v + 1);
            if (!check_range(v, first, end)) [[unlikely]] {
                return false;
            }
            const std::uint32_t record = view_.records[v];
            if (Wide && (record & 0xFFFFFu) != 0) [[unlikely]] {
                return checker_.fail_at(
                    record_at(v),
                    "node " + std::to_string(v) + " of a wide layout has rank or prefix bits");
            }
            if (v == level_end_) {
                next_level(v, first);
            }
            if (Hash && v - level_start_ >= level_size_) [[unlikely]] {
                return checker_.fail_at(record_at(v),
                                        "node " + std::to_string(v) + " is out of level order");
            }
            const std::uint64_t hash = Hash ? level_[v - level_start_] : 0;
            if (!check_children(v, first, end, hash)) [[unlikely]] {
                return false;
            }
            if (records::is_key(record)) {
                ++keys;
                total += depth_;
                if (Hash && v != 0) {
                    checker_.key_hash += checker_.hash()->mixed(hash);
                }
            }
            first = end;
        }
        if ((n_ & (records::kLine - 1)) == 0 && !check_key_base(n_, keys)) {
            return false;
        }
        return check_totals(head, keys, total);
    }

private:
    std::size_t record_at(std::size_t v) const { return plan_.records + v; }
    std::size_t first_at(std::size_t v) const { return Wide ? plan_.first + v : record_at(v); }

    // In 64 bits: a sum that would wrap in 32 is out of range.
    std::uint64_t first_of(std::size_t v) const {
        if constexpr (Wide) {
            return view_.first[v];
        } else {
            return std::uint64_t{view_.line_base[v >> records::kLineShift]} +
                   records::prefix(view_.records[v]);
        }
    }

    bool check_key_base(std::size_t v, std::uint64_t keys) {
        const std::uint32_t* key_base = view_.key_base;
        if (key_base == nullptr || (v & (records::kLine - 1)) != 0) {
            return true;
        }
        const std::size_t line = v >> records::kLineShift;
        if (key_base[line] == keys) {
            return true;
        }
        return checker_.fail_at(plan_.key_base + line, "the key count before line " +
                                                           std::to_string(line) + " is " +
                                                           std::to_string(key_base[line]) +
                                                           ", not " + std::to_string(keys));
    }

    bool check_range(std::size_t v, std::uint64_t first, std::uint64_t end) {
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
        return true;
    }

    // At the first node of a level, the next level ends where its children
    // start; the hashes of the level below become this level's.
    void next_level(std::size_t v, std::uint64_t first) {
        ++depth_;
        level_end_ = first;
        if constexpr (Hash) {
            std::swap(level_, next_);
            level_size_ = next_size_;
            next_size_ = 0;
            power_ = checker_.hash()->next_power(power_);
        }
        level_start_ = v;
    }

    // Node v's children: ranks within the alphabet, labels ascending, and
    // v's own key lengths against theirs; their paths' hashes are kept for
    // the next level.
    bool check_children(std::size_t v, std::uint64_t first, std::uint64_t end, std::uint64_t hash) {
        constexpr std::uint8_t saturated = CompactTrie::kLengthSaturated;
        const std::uint32_t* const records = view_.records;
        const bool key = records::is_key(records[v]);
        std::uint8_t shortest = key ? 0 : saturated;
        std::uint8_t longest = 0;
        std::uint32_t previous = 0;
        for (std::uint64_t c = first; c < end; ++c) {
            const std::uint32_t child = records[c];
            const std::uint32_t order = Wide ? view_.labels[c] : records::rank(child);
            if (!Wide && (order == 0 || order >= ranks_)) [[unlikely]] {
                return checker_.fail_at(
                    record_at(c), "node " + std::to_string(c) + "'s rank " + std::to_string(order) +
                                      (order == 0 ? " is the root's" : " is past the alphabet"));
            }
            if (c > first && order <= previous) [[unlikely]] {
                return out_of_order(c);
            }
            previous = order;
            const std::uint8_t child_shortest = records::shortest(child);
            const std::uint8_t child_longest = records::longest(child);
            // A child without keys below adds nothing; saturated stays so.
            if (!(child_shortest == saturated && child_longest == 0)) {
                shortest = std::min<std::uint8_t>(
                    shortest, child_shortest + (child_shortest != saturated ? 1 : 0));
                longest = std::max<std::uint8_t>(
                    longest, child_longest + (child_longest != saturated ? 1 : 0));
            }
            if constexpr (Hash) {
                const char32_t label = Wide ? view_.labels[c] : view_.alphabet[order];
                const KeyHash& hashing = *checker_.hash();
                // Forward: the path read from the root; backward: from its
                // end, which gives the same for a reversed key.
                next_[next_size_++] = checker_.reverse() ? hashing.prepend(hash, label)
                                                         : hashing.append(hash, label, power_);
            }
        }
        const std::uint32_t record = records[v];
        if (records::shortest(record) != shortest || records::longest(record) != longest)
            [[unlikely]] {
            return checker_.fail_at(record_at(v),
                                    "node " + std::to_string(v) + "'s key lengths below are " +
                                        std::to_string(records::shortest(record)) + " to " +
                                        std::to_string(records::longest(record)) +
                                        ", its children give " + std::to_string(shortest) + " to " +
                                        std::to_string(longest));
        }
        return true;
    }

    bool out_of_order(std::uint64_t c) {
        return checker_.fail_at(Wide ? plan_.labels + c : record_at(c),
                                "node " + std::to_string(c) + "'s label " +
                                    std::to_string(view_.label(static_cast<NodeId>(c))) +
                                    " does not follow its elder sibling's " +
                                    std::to_string(view_.label(static_cast<NodeId>(c - 1))) +
                                    " in ascending order");
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
    std::uint64_t depth_ = 0;
    std::size_t level_end_ = 1;
    std::size_t level_start_ = 0;
    // The hashes of the paths to the nodes of this level and the next (no
    // level holds more than n nodes), and base ** depth.
    Scratch scratch_;
    std::uint64_t* level_ = nullptr;
    std::uint64_t* next_ = nullptr;
    std::size_t level_size_ = 1;
    std::size_t next_size_ = 0;
    std::uint64_t power_ = 1;
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
