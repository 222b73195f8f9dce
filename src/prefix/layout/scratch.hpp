// Build scratch memory that goes back to the system when freed.
//
// Laying out keys takes several times the finished layout in scratch (the
// key text, the sort's entries, the level-order nodes). The C library keeps
// freed blocks for later: once a large block is freed it serves blocks of
// that size from its heap and keeps up to twice that much free at the top of
// the heap, so the pages stay with the process.
// The builder's large scratch blocks therefore come from anonymous mappings
// of their own and are unmapped when freed, so that a build leaves the
// process holding about the layout, and the caller's heap is left alone.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <string>
#include <vector>

namespace morlatch {

template <class T>
class ScratchAllocator {
public:
    using value_type = T;

    // Blocks from this size on are mapped; smaller ones come from the heap,
    // where they do little harm and reuse is cheap. It stays below the C
    // library's own threshold for mapping a block (128 KiB at first, raised
    // as large blocks are freed), so no scratch block lands on the heap that
    // the library would have mapped.
    static constexpr std::size_t kMappedBytes = std::size_t{1} << 16;

    ScratchAllocator() noexcept = default;
    template <class U>
    ScratchAllocator(const ScratchAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMappedBytes) {
            return static_cast<T*>(::operator new (bytes, std::align_val_t{alignof(T)}));
        }
        void* block =
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(block);
    }

    void deallocate(T* block, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMappedBytes) {
            ::operator delete (block, std::align_val_t{alignof(T)});
        } else {
            munmap(block, bytes);
        }
    }

    template <class U>
    bool operator==(const ScratchAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using ScratchVector = std::vector<T, ScratchAllocator<T>>;
using ScratchString = std::basic_string<char, std::char_traits<char>, ScratchAllocator<char>>;

}  // namespace morlatch
