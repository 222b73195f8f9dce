#include "prefix/state.hpp"

#include <new>

namespace morlatch {

void* StatePool::do_allocate(std::size_t bytes, std::size_t alignment) {
    if (!pooled(bytes, alignment)) {
        return upstream_->allocate(bytes, alignment);
    }
    const std::size_t c = size_class(bytes);
    if (FreeBlock* block = free_[c]) {
        free_[c] = block->next;
        return block;
    }
    return arena_.allocate((c + 1) * kGrain, kGrain);
}

void StatePool::do_deallocate(void* p, std::size_t bytes, std::size_t alignment) {
    if (!pooled(bytes, alignment)) {
        upstream_->deallocate(p, bytes, alignment);
        return;
    }
    const std::size_t c = size_class(bytes);
    free_[c] = ::new (p) FreeBlock{free_[c]};
}

}  // namespace morlatch
