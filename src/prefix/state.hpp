// The per-node store of a walk: a small bag of named, typed values.
//
// An agent fills a State for every node it schedules and reads it back when
// the node is visited; the walk only moves States around. A value can be read
// back only as the type it was stored with. Entries sit in a flat list that is
// searched linearly: a State holds two or three entries, where comparing a
// short key beats hashing it. All memory of a State (entry list, long keys)
// comes from its allocator, so a walk can give its States one pooled resource.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace morlatch {

// The two value types that States hold.
using CharList = std::pmr::vector<char32_t>;
using SizeList = std::pmr::vector<std::uint64_t>;

template <class T>
concept StateValue = std::same_as<T, CharList> || std::same_as<T, SizeList>;

class State {
public:
    using allocator_type = std::pmr::polymorphic_allocator<std::byte>;

    State() = default;
    explicit State(const allocator_type& alloc) : entries_(alloc) {}

    // A State is handed on, never shared.
    State(State&&) noexcept = default;
    State& operator=(State&&) noexcept = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    allocator_type get_allocator() const noexcept { return entries_.get_allocator(); }

    // Adds the pair, or replaces the value stored under an equal key (the
    // stored key is kept; the old value is released at once).
    template <StateValue T>
    void put(std::string_view key, T value) {
        if (Entry* found = find(key)) {
            found->value = std::move(value);
            return;
        }
        // Most States end up with three entries; one reservation covers them.
        if (entries_.capacity() == 0) {
            entries_.reserve(kInitialCapacity);
        }
        entries_.emplace_back(key, std::move(value), get_allocator());
    }

    // The value under key if it was stored as a T; null when the key is
    // missing or holds the other type.
    template <StateValue T>
    const T* get(std::string_view key) const noexcept {
        const Entry* found = find(key);
        return found ? std::get_if<T>(&found->value) : nullptr;
    }

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

private:
    static constexpr std::size_t kInitialCapacity = 4;

    struct Entry {
        template <StateValue T>
        Entry(std::string_view k, T&& v, const allocator_type& alloc)
            : key(k, alloc), value(std::in_place_type<T>, std::move(v)) {}

        std::pmr::string key;
        std::variant<CharList, SizeList> value;
    };

    // Keys are a few bytes long: a plain loop beats a call to memcmp.
    static bool same_key(std::string_view a, std::string_view b) noexcept {
        if (a.size() != b.size()) {
            return false;
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i]) {
                return false;
            }
        }
        return true;
    }

    Entry* find(std::string_view key) noexcept {
        return const_cast<Entry*>(std::as_const(*this).find(key));
    }
    const Entry* find(std::string_view key) const noexcept {
        for (const Entry& entry : entries_) {
            if (same_key(entry.key, key)) {
                return &entry;
            }
        }
        return nullptr;
    }

    std::pmr::vector<Entry> entries_;
};

// Memory for the States of one walk. A walk allocates and frees the same few
// block sizes (entry lists, rows, prefixes) over and over, in stack order.
// Free lists per size class serve them in constant time and hand back the
// most recently freed, still cached, block first; a general pool that must
// search for the chunk owning each freed block measured no faster than
// malloc here. Small blocks go back to the upstream only when the pool is
// destroyed; large ones (long queries) are passed straight through.
class StatePool final : public std::pmr::memory_resource {
public:
    explicit StatePool(std::pmr::memory_resource* upstream = std::pmr::get_default_resource())
        : upstream_(upstream), arena_(upstream) {}
    StatePool(const StatePool&) = delete;
    StatePool& operator=(const StatePool&) = delete;

    static constexpr std::size_t kGrain = 16;
    static constexpr std::size_t kLargestPooled = 1024;

private:
    struct FreeBlock {
        FreeBlock* next;
    };
    static constexpr std::size_t kClasses = kLargestPooled / kGrain;

    static bool pooled(std::size_t bytes, std::size_t alignment) noexcept {
        return bytes <= kLargestPooled && alignment <= kGrain;
    }
    // Class c holds blocks of (c + 1) * kGrain bytes.
    static std::size_t size_class(std::size_t bytes) noexcept {
        return bytes == 0 ? 0 : (bytes - 1) / kGrain;
    }

    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }

    std::pmr::memory_resource* upstream_;
    std::pmr::monotonic_buffer_resource arena_;
    std::array<FreeBlock*, kClasses> free_{};
};

}  // namespace morlatch
