// Shader-state keys that only named shaders of this library store: the
// volume sample record ("KEY_4", by the volume light and the lights' own
// volume march), the channel hook table ("KEY_8", by the camera map) and
// the triangle hook ("KEY_9", by render to texture).
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

#include <stdint.h>

namespace kor {

enum OwnStateKey : uint32_t {
    kOwnKeyVolumeSample = 1u << 0,  // "KEY_4"
    kOwnKeyChannelHooks = 1u << 1,  // "KEY_8"
    kOwnKeyTriangleHook = 1u << 2,  // "KEY_9"
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

}  // namespace kor

#endif
