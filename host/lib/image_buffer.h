// Storage for whole-image buffers (the colour image, frame buffers, the
// rows handed to an image writer). A 1920 x 1080 colour image is 33 MB:
// on 4 KB pages its first touch costs eight thousand page faults, so
// buffers of 2 MB and more are mapped at 2 MB boundaries and asked to go on
// huge pages. Elements are default-initialised: a buffer that is written
// before it is read is not cleared first (assign() or resize(n, value)
// still set every element). Fresh memory reads as zeros (calloc, or pages
// newly mapped), so a buffer of zeros needs no clearing pass either
// (assign_zeros): the kernel clears each page at its first touch, in
// whichever render thread touches it first.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace korhost {

template <typename T>
struct ImageAllocator {
    using value_type = T;
    static constexpr size_t kHuge = size_t(2) << 20;

    ImageAllocator() = default;
    template <typename U>
    ImageAllocator(const ImageAllocator<U> &) {}

    static size_t mapped_size(size_t bytes) { return (bytes + kHuge - 1) / kHuge * kHuge; }

    T *allocate(size_t n) {
        const size_t bytes = n * sizeof(T);
        if (bytes < kHuge) {
            void *p = std::calloc(bytes ? bytes : 1, 1);
            if (!p) throw std::bad_alloc();
            return static_cast<T *>(p);
        }
        // Mapped with room to start at a 2 MB boundary; the rest is given back.
        const size_t size = mapped_size(bytes);
        void *raw =
            mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        const uintptr_t at = (reinterpret_cast<uintptr_t>(raw) + kHuge - 1) & ~(kHuge - 1);
        const size_t head = at - reinterpret_cast<uintptr_t>(raw);
        if (head) munmap(raw, head);
        if (kHuge - head) munmap(reinterpret_cast<char *>(at) + size, kHuge - head);
        madvise(reinterpret_cast<void *>(at), size, MADV_HUGEPAGE);
        return reinterpret_cast<T *>(at);
    }
    void deallocate(T *p, size_t n) {
        const size_t bytes = n * sizeof(T);
        if (bytes < kHuge)
            std::free(p);
        else
            munmap(p, mapped_size(bytes));
    }

    // Default-initialisation: no clearing pass over a buffer about to be
    // overwritten.
    template <typename U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U *p, Args &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const ImageAllocator<U> &) const {
        return true;
    }
    template <typename U>
    bool operator!=(const ImageAllocator<U> &) const {
        return false;
    }
};

template <typename T>
using ImageVector = std::vector<T, ImageAllocator<T>>;

// `v` becomes n zeros in fresh memory, without a clearing pass.
template <typename T>
void assign_zeros(ImageVector<T> &v, size_t n) {
    static_assert(std::is_trivial<T>::value, "zeros need a type whose zero bytes are its zero");
    ImageVector<T>().swap(v);
    v.resize(n);
}

}  // namespace korhost
