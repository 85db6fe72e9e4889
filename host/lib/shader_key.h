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
// The key's first eight bytes lie in one page: one read takes them.
inline bool key_fits_word(const char *key) {
    return (reinterpret_cast<uintptr_t>(key) & 4095) <= 4096 - 8;
}

// The key's first eight bytes as one word (key_fits_word).
KOR_WORD_READ inline uint64_t key_word(const char *key) {
    typedef uint64_t __attribute__((may_alias, aligned(1))) Word;
    return *reinterpret_cast<const Word *>(key);
}

// The high bit of each byte of `w` that may be zero: the lowest one marks
// the first zero byte (little-endian: the key's end); marks above it may
// be false, and are not looked at. None: the key is eight characters or
// longer.
inline uint64_t key_end_marks(uint64_t w) {
    return (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
}

// The bytes of `w` before the key's end (`marks` not 0): ones up to and
// including the lowest mark, less the zero byte itself.
inline uint64_t key_cut(uint64_t w, uint64_t marks) {
    return w & ((marks ^ (marks - 1)) >> 8);
}

inline KeyTag key_tag_word(const char *key) {
    const uint64_t w = key_word(key);
    const uint64_t marks = key_end_marks(w);
    return marks ? KeyTag{key_cut(w, marks), false} : KeyTag{w, true};
}

// The same tag, read byte by byte: keys that end near the end of a page,
// and keys known when compiling.
constexpr KeyTag key_tag_bytes(const char *key) {
    KeyTag t{0, false};
    int i = 0;
    for (; i < 8 && key[i]; ++i) t.word |= uint64_t(static_cast<unsigned char>(key[i])) << (8 * i);
    t.longer = i == 8;
    return t;
}

inline KeyTag key_tag(const char *key) {
    return key_fits_word(key) ? key_tag_word(key) : key_tag_bytes(key);
}

}  // namespace korhost
