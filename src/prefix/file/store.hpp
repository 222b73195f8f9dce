// The store of one trie: whatever form it is held in, it answers every query.
//
// Arrays that pass the well-formedness check (compact.hpp) are searched
// through their layout; arrays exactly in the layout's own level order are
// not kept beside it, since the layout answers for them. Arrays that fail the
// check are kept as given and answer through the plain walk (query.hpp),
// faults and all. A layout made natively stands for its own level-order
// arrays. Callers never learn which form a store holds, except where a query
// needs the layout (ranked search, completion, key listing): searchable().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/trie.hpp"
#include "prefix/interrupt.hpp"
#include "prefix/layout/compact.hpp"
#include "prefix/search/query.hpp"
#include "prefix/search/ranked.hpp"

namespace morlatch {

// The lock a caller holds around a query (from Python, the interpreter's).
// Searches that read only the layout may let it go for their long part; the
// plain walk over given arrays keeps it. The interrupt checks for
// cancellation in either state.
class CallerLock {
public:
    virtual void release() = 0;
    virtual void reacquire() noexcept = 0;
    virtual Interrupt interrupt() noexcept = 0;

protected:
    ~CallerLock() = default;
};

// For callers without a lock: nothing to release, nothing to check.
class NoLock final : public CallerLock {
public:
    void release() override {}
    void reacquire() noexcept override {}
    Interrupt interrupt() noexcept override { return Interrupt(); }
};

// What a store holds, for reports.
struct StoreInfo {
    std::size_t nodes = 0;
    std::size_t keys = 0;
    std::size_t bytes = 0;  // the store itself, the arrays and the layout
    bool arrays_kept = false;
    bool borrowed = false;  // the layout's nodes are read from a file or buffer
    bool reverse_index_built = false;
    double reverse_index_seconds = 0;
};

// The figures of a trie reachable from its root; for arrays that cannot be
// walked safely (an index out of range, a node reached twice, no root), what
// is wrong instead, and nothing is faulted.
struct StoreStats {
    std::uint64_t nodes = 0;
    std::uint64_t keys = 0;
    std::uint64_t depth = 0;  // of the deepest key
    std::string problem;      // empty when the figures hold
};

class Store {
public:
    // Builds the layout of `arrays` when they pass the check; a long step.
    explicit Store(Trie arrays);
    // A layout made natively or opened from stored nodes (mapped.hpp, whose
    // borrowed nodes it keeps alive); it must not be null.
    explicit Store(std::unique_ptr<const CompactTrie> layout);

    Store(Store&&) noexcept = default;
    Store& operator=(Store&&) noexcept = default;
    ~Store();

    // ---- the queries of every store, with the plain walk's results -------

    // Keys within max_dist of query, in walk order, the first `limit` of them.
    HitList fuzzy_match(std::u32string_view query, std::uint64_t max_dist,
                        std::optional<std::uint64_t> limit, CallerLock& lock) const;
    std::optional<Match> exact_match(std::u32string_view query, CallerLock& lock) const;
    std::vector<Child> get_children(NodeId node) const;
    std::optional<Payload> get_payload(NodeId node) const;

    // The byte format of the arrays (format/codec.hpp): measure, then write
    // into exactly that many bytes.
    std::size_t encoded_size() const;
    void encode_into(std::span<std::uint8_t> out) const;
    // The same bytes, handed to emit(context, bytes) in pieces of at most
    // `piece` bytes.
    using Emit = void (*)(void* context, std::span<const std::uint8_t> bytes);
    void encode_in_pieces(std::size_t piece, Emit emit, void* context) const;

    StoreStats stats() const;

    // ---- what needs the layout --------------------------------------------

    bool searchable() const noexcept { return layout_ != nullptr; }
    // Each of these faults when !searchable().
    std::size_t key_count() const;
    StoreInfo info() const;
    std::vector<Match> ranked_search(std::u32string_view query, const RankedOptions& options,
                                     Interrupt& interrupt) const;
    std::vector<Match> complete(std::u32string_view prefix, const RankedOptions& options,
                                Interrupt& interrupt) const;
    // A cursor over the keys below `prefix`; it reads this store, which
    // must outlive it.
    std::unique_ptr<KeyCursor> keys(std::u32string_view prefix) const;

    // The layout itself, for searches built on its read API (weighted.hpp).
    const CompactTrie& layout() const;

    // What an index file stores for this trie (mapped.hpp): the layout's node
    // records, and the reverse index's when searches use one (building it
    // now if it is not yet built; a long step).
    std::span<const std::uint8_t> layout_nodes() const;
    std::optional<std::span<const std::uint8_t>> reverse_nodes() const;

private:
    // The arrays as given; empty when the layout answers for them.
    std::optional<Trie> arrays_;
    // Their search layout; null when the arrays failed the check.
    std::unique_ptr<const CompactTrie> layout_;
};

}  // namespace morlatch
