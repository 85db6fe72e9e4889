// Shader-state keys compare by their first eight characters packed into a
// word, and by the rest of their text only when they are longer than seven:
// most lookups, hits and misses, cost a few word compares and no strcmp.
// Header only: the reference host and the benchmarks' stand-in host share it.
#pragma once

#include <cstdint>

namespace korhost {

struct KeyTag {
    uint64_t word;
    bool longer;  // eight characters or more
};

// The first eight bytes are read as one word when they lie in one page (a
// read past the key's end then stays in memory that is mapped) and cut at
// the key's end; the sanitizers are told this read is meant.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KOR_WORD_READ __attribute__((no_sanitize("address", "thread")))
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KOR_WORD_READ __attribute__((no_sanitize("address", "thread")))
#endif
#endif
#ifndef KOR_WORD_READ
#define KOR_WORD_READ
#endif
KOR_WORD_READ inline KeyTag key_tag(const char *key) {
    KeyTag t{0, false};
    if ((reinterpret_cast<uintptr_t>(key) & 4095) <= 4096 - 8) {
        typedef uint64_t __attribute__((may_alias, aligned(1))) Word;
        const uint64_t w = *reinterpret_cast<const Word *>(key);
        // The lowest zero byte ends the key (little-endian: the first).
        const uint64_t zero = (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
        if (!zero) {
            t.word = w;
            t.longer = true;
        } else {
            const int bits = __builtin_ctzll(zero) & ~7;  // 8 x the key's length
            t.word = w & ((uint64_t(1) << bits) - 1);
        }
        return t;
    }
    int i = 0;
    for (; i < 8 && key[i]; ++i) t.word |= uint64_t(static_cast<unsigned char>(key[i])) << (8 * i);
    t.longer = i == 8;
    return t;
}

}  // namespace korhost
