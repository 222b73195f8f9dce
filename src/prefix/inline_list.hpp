// A list of plain values that keeps up to N of them in itself and only a
// longer list on the heap: the rows and paths of ordinary words then cost a
// walk no allocation at all.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <vector>

namespace morlatch {

template <class T, std::size_t N>
class InlineList {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    InlineList() noexcept = default;
    InlineList(std::initializer_list<T> values) { assign(values.begin(), values.end()); }
    InlineList(const InlineList& other) { *this = other; }
    InlineList(InlineList&& other) noexcept { take(other); }
    InlineList& operator=(const InlineList& other) {
        if (this != &other) {
            assign(other.begin(), other.end());
        }
        return *this;
    }
    InlineList& operator=(InlineList&& other) noexcept {
        if (this != &other) {
            take(other);
        }
        return *this;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return size_ <= N ? inline_.data() : heap_.data(); }
    const T* data() const noexcept { return size_ <= N ? inline_.data() : heap_.data(); }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    const T& back() const noexcept { return data()[size_ - 1]; }

    // Sets the size to count; the values are left for the caller to write.
    void resize_for_overwrite(std::size_t count) {
        if (count > N) {
            heap_.resize(count);  // the heap holds exactly size_ values beyond N
        }
        size_ = count;
    }

    void assign(const T* first, const T* last) {
        const auto count = static_cast<std::size_t>(last - first);
        resize_for_overwrite(count);
        if (count != 0) {
            std::memmove(data(), first, count * sizeof(T));
        }
    }

    void push_back(const T& value) {
        if (size_ < N) {
            inline_[size_++] = value;
            return;
        }
        if (size_ == N) {
            heap_.assign(inline_.begin(), inline_.end());
        }
        heap_.push_back(value);
        ++size_;
    }

    friend bool operator==(const InlineList& a, const InlineList& b) noexcept {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    // Leaves other empty.
    void take(InlineList& other) noexcept {
        size_ = std::exchange(other.size_, 0);
        if (size_ <= N) {
            std::memcpy(inline_.data(), other.inline_.data(), size_ * sizeof(T));
        } else {
            heap_.swap(other.heap_);
        }
    }

    std::size_t size_ = 0;
    std::array<T, N> inline_;
    std::vector<T> heap_;
};

}  // namespace morlatch
