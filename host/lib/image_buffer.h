// Storage for whole-image buffers (the colour image, frame buffers, the
// rows handed to an image writer). A 1920 x 1080 colour image is 33 MB:
// on 4 KB pages its first touch costs eight thousand page faults, so
// buffers of 2 MB and more are aligned to 2 MB and asked to go on huge
// pages. Elements are default-initialised: a buffer that is written
// before it is read is not cleared first (assign() or resize(n, value)
// still set every element).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
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

    T *allocate(size_t n) {
        const size_t bytes = n * sizeof(T);
        if (bytes < kHuge) {
            void *p = std::malloc(bytes ? bytes : 1);
            if (!p) throw std::bad_alloc();
            return static_cast<T *>(p);
        }
        const size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
        void *p = std::aligned_alloc(kHuge, rounded);
        if (!p) throw std::bad_alloc();
        madvise(p, rounded, MADV_HUGEPAGE);
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t) { std::free(p); }

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

}  // namespace korhost
