// The host's answers about a shader instance that stay the same while the
// instance is rendered (the content of its user-pointer slot, the calling
// thread's pointer), kept per render thread so that a shader called for
// every sample asks the host once per thread instead of once per call.
//
// An entry is found by the running shader's record and its instance tag,
// both exactly as the host hands them over, and is
// trusted only while no instance of a shader that keeps such entries has
// been initialised or exited since it was made (the shaders that use this
// call memoForget from their _init and _exit; a shader without an _init
// keeps only thread pointers, which an instance gets after its start and
// loses at its exit). Each render thread reads
// and writes only the entries of its own index (the state's thread field);
// calls from outside the render threads' range ask the host.
#ifndef KORSHADERS_FRAME_KOR_MEMO_H
#define KORSHADERS_FRAME_KOR_MEMO_H

#include <korshaders/host.h>
#include <stdint.h>

#include "shader.h"

namespace kor {

constexpr int kMemoThreads = 64;  // render threads with entries of their own
constexpr int kMemoWays = 8;      // instances remembered per thread and shader

struct MemoEntry {
    const zoShaderRecord *record;
    Tag tag;
    uint32_t generation;
    void *user;    // content of the user-pointer slot (null: not asked yet)
    void *thread;  // the thread's pointer (null: not asked yet)
};

static_assert(sizeof(MemoEntry) == 32, "an entry is half a cache line");

// One table per shader kind.
struct ShaderMemo {
    MemoEntry entries[kMemoThreads][kMemoWays];
};

// Bumped by every _init and _exit of an instance whose answers are kept.
inline uint32_t memoGeneration = 1;

inline uint32_t memo_generation() {
    return __atomic_load_n(&memoGeneration, __ATOMIC_ACQUIRE);
}

// Every kept answer becomes stale.
inline void memoForget() {
    __atomic_add_fetch(&memoGeneration, 1, __ATOMIC_ACQ_REL);
}

// The calling thread's entry for the running instance, made empty when it
// held another instance or a stale answer; null when the call cannot keep
// answers (no running record, or a thread outside the table).
inline MemoEntry *memo_entry(ShaderMemo &memo, RenderState *state) {
    const zoShaderRecord *record = state ? state->shader : nullptr;
    if (!record) return nullptr;
    const uint32_t thread = static_cast<uint32_t>(state->thread);
    if (thread >= static_cast<uint32_t>(kMemoThreads)) return nullptr;
    const uintptr_t key = reinterpret_cast<uintptr_t>(record);
    MemoEntry &e = memo.entries[thread][(key >> 4 ^ key >> 9) & (kMemoWays - 1)];
    const uint32_t generation = memo_generation();
    if (e.record != record || e.tag != record->tag || e.generation != generation) {
        e.record = record;
        e.tag = record->tag;
        e.generation = generation;
        e.user = nullptr;
        e.thread = nullptr;
    }
    return &e;
}

// The content of the running instance's user-pointer slot (null when it
// is empty or there is none).
inline void *memoUser(ShaderMemo &memo, RenderState *state) {
    MemoEntry *e = memo_entry(memo, state);
    if (e && e->user) return e->user;
    void **slot = user_slot(state);
    void *user = slot ? *slot : nullptr;
    if (e) e->user = user;
    return user;
}

// thread_block for the running instance, from the entry when the host was
// asked before.
inline void *memoThreadBlock(ShaderMemo &memo, RenderState *state, const char *module, int line,
                             int size) {
    MemoEntry *e = memo_entry(memo, state);
    if (e && e->thread) return e->thread;
    void *block = thread_block(state, module, line, size);
    if (e) e->thread = block;
    return block;
}

}  // namespace kor

#endif
