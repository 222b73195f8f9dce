// The per-node store of a walk: a small bag of named, typed values.
//
// An agent fills a State for every node it schedules and reads it back when
// the node is visited; the walk only moves States around. A value can be read
// back only as the type it was stored with. A State holds two or three
// entries; a four-bucket index by key length finds most of them with one
// comparison of packed keys, the others by a short linear search. The entry block and the values
// can come from a StatePool, so that a walk recycles their memory instead of asking malloc for it.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <memory_resource>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace morlatch {

// Memory for the values of one walk. A walk allocates and frees the same few
// block sizes (rows, prefixes) over and over, in nearly stack order. Free
// lists per size class serve them in constant time and hand back the most
// recently freed, still cached, block first. Small blocks go back to the
// upstream only when the pool is destroyed; large ones (long queries) are
// passed straight through. take/give are the inline fast path that lists use;
// the memory_resource interface serves everyone else.
class StatePool final : public std::pmr::memory_resource {
public:
    explicit StatePool(std::pmr::memory_resource* upstream = std::pmr::get_default_resource())
        : upstream_(upstream), arena_(upstream) {}
    // Carves blocks from `first` (which must outlive the pool) before asking
    // the upstream: a short walk then never allocates for its values.
    explicit StatePool(std::span<std::byte> first,
                       std::pmr::memory_resource* upstream = std::pmr::get_default_resource())
        : upstream_(upstream), arena_(first.data(), first.size(), upstream) {}
    StatePool(const StatePool&) = delete;
    StatePool& operator=(const StatePool&) = delete;

    static constexpr std::size_t kGrain = 16;
    static constexpr std::size_t kLargestPooled = 1024;

    // A block of at least `bytes` bytes (at least one), aligned to kGrain.
    void* take(std::size_t bytes) {
        if (bytes > kLargestPooled) [[unlikely]] {
            return upstream_->allocate(bytes, kGrain);
        }
        const std::size_t c = size_class(bytes);
        if (FreeBlock* block = free_[c]) {
            free_[c] = block->next;
            return block;
        }
        return refill(c);
    }
    // Returns a block from take(bytes), with the same byte count.
    void give(void* p, std::size_t bytes) noexcept {
        if (bytes > kLargestPooled) [[unlikely]] {
            upstream_->deallocate(p, bytes, kGrain);
            return;
        }
        const std::size_t c = size_class(bytes);
        free_[c] = ::new (p) FreeBlock{free_[c]};
    }

private:
    struct FreeBlock {
        FreeBlock* next;
    };
    static constexpr std::size_t kClasses = kLargestPooled / kGrain;

    // Class c holds blocks of (c + 1) * kGrain bytes; bytes is at least one.
    static std::size_t size_class(std::size_t bytes) noexcept { return (bytes - 1) / kGrain; }

    void* refill(std::size_t c);
    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }

    std::pmr::memory_resource* upstream_;
    std::pmr::monotonic_buffer_resource arena_;
    std::array<FreeBlock*, kClasses> free_{};
};

// An owned list of trivially copyable cells. Up to kInlineBytes of cells sit
// in the list itself, which covers the rows and prefixes of ordinary words
// without any allocation; longer lists take their storage from a StatePool,
// or from the heap when they have none. Copies are deep.
template <class T>
class List {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = T*;
    using const_iterator = const T*;

    static constexpr std::size_t kInlineBytes = 128;
    static constexpr size_type kInlineCells = kInlineBytes / sizeof(T);

    List() noexcept {}
    explicit List(StatePool* pool) noexcept : pool_(pool) {}
    List(std::initializer_list<T> cells, StatePool* pool = nullptr) : pool_(pool) {
        assign(cells.begin(), cells.end());
    }
    List(size_type count, const T& value, StatePool* pool = nullptr) : pool_(pool) {
        resize_for_overwrite(count);
        std::fill_n(data_, count, value);
    }
    template <std::input_iterator It>
    List(It first, It last, StatePool* pool = nullptr) : pool_(pool) {
        assign(first, last);
    }
    List(const List& other, StatePool* pool) : pool_(pool) {
        if (other.is_inline()) {
            // A fixed-size copy of the whole buffer beats a call to copy the
            // exact cells.
            std::memcpy(inline_, other.inline_, kInlineBytes);
            size_ = other.size_;
        } else {
            assign(other.begin(), other.end());
        }
    }
    List(const List& other) : List(other, other.pool_) {}
    List(List&& other) noexcept : pool_(other.pool_) { take_from(other); }
    List& operator=(List&& other) noexcept {
        if (this != &other) {
            release();
            data_ = inline_;
            capacity_ = kInlineCells;
            pool_ = other.pool_;
            take_from(other);
        }
        return *this;
    }
    List& operator=(const List& other) {
        if (this != &other) {
            assign(other.begin(), other.end());
        }
        return *this;
    }
    ~List() { release(); }

    StatePool* pool() const noexcept { return pool_; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    size_type size() const noexcept { return size_; }
    size_type capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    T& operator[](size_type i) noexcept { return data_[i]; }
    const T& operator[](size_type i) const noexcept { return data_[i]; }
    const T& back() const noexcept { return data_[size_ - 1]; }

    void reserve(size_type count) {
        if (count > capacity_) [[unlikely]] {
            grow(count);
        }
    }
    // Sets the size to count; the cells are left for the caller to write.
    void resize_for_overwrite(size_type count) {
        reserve(count);
        size_ = count;
    }
    void push_back(const T& value) {
        if (size_ == capacity_) [[unlikely]] {
            grow(2 * capacity_);
        }
        data_[size_++] = value;
    }
    template <std::input_iterator It>
    void assign(It first, It last) {
        if constexpr (std::contiguous_iterator<It> && std::same_as<std::iter_value_t<It>, T>) {
            const auto count = static_cast<size_type>(last - first);
            resize_for_overwrite(count);
            if (count != 0) {
                std::memcpy(data_, std::to_address(first), count * sizeof(T));
            }
        } else {
            size_ = 0;
            for (; first != last; ++first) {
                push_back(*first);
            }
        }
    }

    // Makes this list a copy of `from` with `last` appended.
    void assign_appended(const List& from, const T& last) {
        if (from.is_inline() && from.size_ < kInlineCells && is_inline()) {
            std::memcpy(inline_, from.inline_, kInlineBytes);
            size_ = from.size_;
        } else {
            reserve(from.size_ + 1);
            assign(from.begin(), from.end());
        }
        data_[size_++] = last;
    }

    friend bool operator==(const List& a, const List& b) noexcept {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    bool is_inline() const noexcept { return data_ == inline_; }

    // Expects this list empty and inline.
    void take_from(List& other) noexcept {
        size_ = other.size_;
        if (other.is_inline()) {
            if (size_ != 0) {
                std::memcpy(inline_, other.inline_, size_ * sizeof(T));
            }
        } else {
            data_ = std::exchange(other.data_, other.inline_);
            capacity_ = std::exchange(other.capacity_, kInlineCells);
        }
        other.size_ = 0;
    }
    void release() noexcept {
        if (!is_inline()) {
            const std::size_t bytes = capacity_ * sizeof(T);
            if (pool_) {
                pool_->give(data_, bytes);
            } else {
                ::operator delete(data_);
            }
        }
    }
    void grow(size_type count) {
        if (count > std::size_t(-1) / sizeof(T)) [[unlikely]] {
            throw std::bad_array_new_length();
        }
        const std::size_t bytes = count * sizeof(T);
        T* fresh = static_cast<T*>(pool_ ? pool_->take(bytes) : ::operator new(bytes));
        if (size_ != 0) {
            std::memcpy(fresh, data_, size_ * sizeof(T));
        }
        release();
        data_ = fresh;
        capacity_ = count;
    }

    T* data_ = inline_;
    size_type size_ = 0;
    size_type capacity_ = kInlineCells;
    StatePool* pool_ = nullptr;
    T inline_[kInlineCells];
};

// The two value types that States hold.
using CharList = List<char32_t>;
using SizeList = List<std::uint64_t>;

template <class T>
concept StateValue = std::same_as<T, CharList> || std::same_as<T, SizeList>;

// A key as a State compares it: its first 16 bytes packed into two
// zero-padded words and its length, so that telling two keys apart takes a
// word compare or two; only keys longer than 16 bytes also compare bytes. A key made
// from a literal (the matcher's) is packed at compile time.
class StateKey {
public:
    static constexpr std::size_t kPacked = 16;

    constexpr StateKey(std::string_view text) noexcept : text_(text) {
        for (std::size_t i = 0; i < text.size() && i < kPacked; ++i) {
            words_[i / 8] |= std::uint64_t{static_cast<unsigned char>(text[i])} << (8 * (i % 8));
        }
    }
    constexpr StateKey(const char* text) noexcept : StateKey(std::string_view(text)) {}
    StateKey(const std::string& text) noexcept : StateKey(std::string_view(text)) {}

    constexpr std::string_view text() const noexcept { return text_; }
    constexpr operator std::string_view() const noexcept { return text_; }

private:
    friend class State;

    std::string_view text_;
    std::uint64_t words_[2] = {0, 0};
};

// A State is a handle on one block that holds its entries, so handing a
// State on moves two pointers. The block, like the values, comes from a
// StatePool when the State is given one.
class State {
public:
    State() noexcept {}
    explicit State(StatePool* pool) noexcept : pool_(pool) {}

    // A State is handed on, never shared.
    State(State&& other) noexcept
        : entries_(std::exchange(other.entries_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          pool_(other.pool_),
          buckets_(std::exchange(other.buckets_, {})) {}
    State& operator=(State&& other) noexcept {
        if (this != &other) {
            release();
            entries_ = std::exchange(other.entries_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            pool_ = other.pool_;
            buckets_ = std::exchange(other.buckets_, {});
        }
        return *this;
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() { release(); }

    StatePool* pool() const noexcept { return pool_; }

    // Room for count entries: until this State holds more, adding entries
    // moves none of those already in it.
    void reserve(std::size_t count) {
        if (count > capacity_) {
            grow(static_cast<std::uint32_t>(std::max<std::size_t>(count, kFirstCapacity)));
        }
    }

    // Adds the pair, or replaces the value stored under an equal key (the
    // stored key is kept; the old value is released at once).
    template <StateValue T>
    void put(const StateKey& key, T value) {
        emplace<T>(key, std::move(value));
    }

    // As put, with the value built in place from args, which must not refer
    // into this State; returns the value. The reference, like any other into
    // this State, lasts until the next put or emplace.
    template <StateValue T, class... Args>
    T& emplace(const StateKey& key, Args&&... args) {
        if (Entry* found = find(key)) {
            return found->template assign<T>(std::forward<Args>(args)...);
        }
        if (size_ == capacity_) [[unlikely]] {
            if (capacity_ == 0) {
                entries_ = static_cast<Entry*>(obtain(kFirstCapacity * sizeof(Entry)));
                capacity_ = kFirstCapacity;
            } else {
                grow(2 * capacity_);
            }
        }
        Entry* entry = std::construct_at(entries_ + size_, key, std::in_place_type<T>,
                                         std::forward<Args>(args)...);
        ++size_;
        std::uint32_t& bucket = buckets_[bucket_of(key)];
        if (bucket == 0) {
            bucket = size_;
        }
        return entry->template value<T>();
    }

    // The value under key if it was stored as a T; null when the key is
    // missing or holds the other type.
    template <StateValue T>
    const T* get(const StateKey& key) const noexcept {
        const Entry* found = find(key);
        return found ? found->template get_if<T>() : nullptr;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

private:
    // Most States end up with three entries: PREV_ROW, CUR_PREFIX, CUR_ROW.
    static constexpr std::uint32_t kFirstCapacity = 3;

    class Entry {
    public:
        template <StateValue T, class... Args>
        Entry(const StateKey& key, std::in_place_type_t<T>, Args&&... args)
            : words_{key.words_[0], key.words_[1]}, size_(key.text_.size()) {
            std::unique_ptr<char[]> long_text;
            if (size_ > StateKey::kPacked) [[unlikely]] {
                long_text.reset(new char[size_]);
                std::memcpy(long_text.get(), key.text_.data(), size_);
            }
            emplace<T>(std::forward<Args>(args)...);
            long_text_ = long_text.release();
        }
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;
        Entry(Entry&& other) noexcept
            : words_{other.words_[0], other.words_[1]},
              size_(other.size_),
              long_text_(std::exchange(other.long_text_, nullptr)) {
            if (other.holds_chars_) {
                emplace<CharList>(std::move(other.chars_));
            } else {
                emplace<SizeList>(std::move(other.sizes_));
            }
        }
        ~Entry() {
            destroy_value();
            if (long_text_ != nullptr) [[unlikely]] {
                delete[] long_text_;
            }
        }

        bool matches(const StateKey& key) const noexcept {
            // The first eight bytes tell most keys apart; the second word is
            // zero on both sides for keys of up to eight bytes.
            return words_[0] == key.words_[0] &&
                   (key.text_.size() <= 8 || words_[1] == key.words_[1]) &&
                   size_ == key.text_.size() &&
                   (size_ <= StateKey::kPacked ||
                    std::memcmp(long_text_, key.text_.data(), size_) == 0);
        }
        template <StateValue T>
        const T* get_if() const noexcept {
            if constexpr (std::same_as<T, CharList>) {
                return holds_chars_ ? &chars_ : nullptr;
            } else {
                return holds_chars_ ? nullptr : &sizes_;
            }
        }
        template <StateValue T>
        T& value() noexcept {
            if constexpr (std::same_as<T, CharList>) {
                return chars_;
            } else {
                return sizes_;
            }
        }
        // The new value is built before the old one goes, so that a failed
        // build leaves the entry as it was.
        template <StateValue T, class... Args>
        T& assign(Args&&... args) {
            T fresh(std::forward<Args>(args)...);
            destroy_value();
            return emplace<T>(std::move(fresh));
        }

    private:
        template <StateValue T, class... Args>
        T& emplace(Args&&... args) {
            T* made;
            if constexpr (std::same_as<T, CharList>) {
                made = std::construct_at(&chars_, std::forward<Args>(args)...);
                holds_chars_ = true;
            } else {
                made = std::construct_at(&sizes_, std::forward<Args>(args)...);
                holds_chars_ = false;
            }
            return *made;
        }
        void destroy_value() noexcept {
            if (holds_chars_) {
                std::destroy_at(&chars_);
            } else {
                std::destroy_at(&sizes_);
            }
        }

        std::uint64_t words_[2];
        std::size_t size_;
        char* long_text_ = nullptr;
        bool holds_chars_ = false;
        union {
            CharList chars_;
            SizeList sizes_;
        };
    };

    Entry* find(const StateKey& key) noexcept {
        return const_cast<Entry*>(std::as_const(*this).find(key));
    }
    static std::size_t bucket_of(const StateKey& key) noexcept {
        return key.text_.size() % kBuckets;
    }
    // The bucket names the first entry whose key falls into it; entries are
    // never removed, so an empty bucket means the key is absent, and a key
    // that shares its bucket stands after the entry named there.
    const Entry* find(const StateKey& key) const noexcept {
        const std::uint32_t first = buckets_[bucket_of(key)];
        if (first == 0) {
            return nullptr;
        }
        if (entries_[first - 1].matches(key)) [[likely]] {
            return &entries_[first - 1];
        }
        for (std::uint32_t i = first; i < size_; ++i) {
            if (entries_[i].matches(key)) {
                return &entries_[i];
            }
        }
        return nullptr;
    }

    void* obtain(std::size_t bytes) { return pool_ ? pool_->take(bytes) : ::operator new(bytes); }
    void release() noexcept {
        if (entries_ == nullptr) {
            return;
        }
        std::destroy_n(entries_, size_);
        const std::size_t bytes = capacity_ * sizeof(Entry);
        if (pool_) {
            pool_->give(entries_, bytes);
        } else {
            ::operator delete(entries_);
        }
    }
    void grow(std::uint32_t capacity);

    Entry* entries_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = 0;
    StatePool* pool_ = nullptr;
    // Entry index + 1 of the first entry per bucket, 0 when none. Buckets go
    // by key length, which keeps the matcher's three keys apart.
    static constexpr std::size_t kBuckets = 4;
    std::array<std::uint32_t, kBuckets> buckets_{};
};

}  // namespace morlatch
