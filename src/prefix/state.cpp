#include "prefix/state.hpp"

#include <new>

namespace morlatch {

void* StatePool::refill(std::size_t c) {
    return arena_.allocate((c + 1) * kGrain, kGrain);
}

void* StatePool::do_allocate(std::size_t bytes, std::size_t alignment) {
    if (alignment > kGrain) {
        return upstream_->allocate(bytes, alignment);
    }
    return take(bytes == 0 ? 1 : bytes);
}

void StatePool::do_deallocate(void* p, std::size_t bytes, std::size_t alignment) {
    if (alignment > kGrain) {
        upstream_->deallocate(p, bytes, alignment);
        return;
    }
    give(p, bytes == 0 ? 1 : bytes);
}

void State::grow(std::uint32_t capacity) {
    Entry* fresh = static_cast<Entry*>(obtain(capacity * sizeof(Entry)));
    for (std::uint32_t i = 0; i < size_; ++i) {
        std::construct_at(fresh + i, std::move(entries_[i]));
    }
    const std::uint32_t size = size_;
    release();
    entries_ = fresh;
    size_ = size;
    capacity_ = capacity;
}

}  // namespace morlatch
