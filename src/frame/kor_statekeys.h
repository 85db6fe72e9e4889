// Shader-state keys that only named shaders of this library store: the
// volume sample record ("KEY_4", by the volume light and the lights' own
// volume march), the channel hook table ("KEY_8", by the camera map), the
// triangle hook ("KEY_9", by render to texture), the transparency probe
// ("KEY_3", by the material call that asks for a surface's transparency)
// and the render elements' context ("KRREINT", by the element handler).
//
// Every store of such a key first marks it here. A key that was never
// marked in this process cannot be in any sample's state, so its readers
// skip the host's lookup and take "not there" without asking. A mark is
// never taken back: once a scene has stored the key, every read asks.
//
// Shader state belongs to one sample, and a sample runs on one thread: a
// reader only needs to see the marks that its own thread made before it,
// which program order already gives.
#ifndef KORSHADERS_FRAME_KOR_STATEKEYS_H
#define KORSHADERS_FRAME_KOR_STATEKEYS_H

#include <korshaders/host.h>
#include <stdint.h>

namespace kor {

enum OwnStateKey : uint32_t {
    kOwnKeyVolumeSample = 1u << 0,       // "KEY_4"
    kOwnKeyChannelHooks = 1u << 1,       // "KEY_8"
    kOwnKeyTriangleHook = 1u << 2,       // "KEY_9"
    kOwnKeyTransparencyProbe = 1u << 3,  // "KEY_3"
    kOwnKeyRenderElements = 1u << 4,     // "KRREINT"
};

inline uint32_t ownStateKeysStored = 0;

// Called before every store of the key.
inline void markStateKeyStored(OwnStateKey key) {
    if (!(__atomic_load_n(&ownStateKeysStored, __ATOMIC_RELAXED) & key))
        __atomic_or_fetch(&ownStateKeysStored, key, __ATOMIC_RELAXED);
}

// False when no shader has stored the key yet: a read would find nothing.
inline bool stateKeyMayBeStored(OwnStateKey key) {
    return (__atomic_load_n(&ownStateKeysStored, __ATOMIC_RELAXED) & key) != 0;
}

// The transparency probe ("KEY_3") of the material call that asks for a
// surface's transparency; null when there is none.
inline void *transparencyProbeRecord(RenderState *state) {
    return stateKeyMayBeStored(kOwnKeyTransparencyProbe)
               ? zo_shaderstate_get(state, "KEY_3", nullptr)
               : nullptr;
}

// The trace mark ("KEY_1", two words) that the reflection maps store
// around each trace they make and the illumination models around the
// traced transparency of a surface; only these store it, and each removes
// it again before it returns. Per render thread (the state's thread index)
// this keeps what the last of those did on the thread:
// - a removal: the host holds no mark (its own clearing only removes
//   more), so removing it again would change nothing and is left out;
// - a store: until the matching removal, which comes before the storing
//   call returns, the host holds exactly that mark, so a trace started
//   meanwhile that would store the same two words again is left out too.
// A surface reached by a mirror's trace starts the same trace of its own
// inside, and removes the mark before the mirror gets to it.
#define KOR_KEY_TRACE_MARK "KEY_1"
struct alignas(64) TraceMarkThread {
    int32_t known;  // 0 nothing known, 1 removed, 2 stored
    int32_t words[2];
};
constexpr uint32_t kTraceMarkThreads = 64;
inline TraceMarkThread traceMarkThreads[kTraceMarkThreads];

inline TraceMarkThread *traceMarkThread(const RenderState *state) {
    const uint32_t thread = static_cast<uint32_t>(state->thread);
    return thread < kTraceMarkThreads ? &traceMarkThreads[thread] : nullptr;
}

inline void storeTraceMark(RenderState *state, int32_t first, int32_t second) {
    TraceMarkThread *t = traceMarkThread(state);
    if (t && t->known == 2 && t->words[0] == first && t->words[1] == second) return;
    const int32_t words[2] = {first, second};
    const bool stored = zo_shaderstate_set(state, KOR_KEY_TRACE_MARK, words, sizeof words,
                                           ZO_SHADERSTATE_RAY_TREE) != 0;
    // a refused store leaves the host's answer unknown
    if (t) *t = TraceMarkThread{stored ? 2 : 0, {first, second}};
}

inline void removeTraceMark(RenderState *state) {
    TraceMarkThread *t = traceMarkThread(state);
    if (t && t->known == 1) return;
    zo_shaderstate_set(state, KOR_KEY_TRACE_MARK, nullptr, 0, ZO_SHADERSTATE_RAY_TREE);
    if (t) t->known = 1;
}

}  // namespace kor

#endif
