// Shared pieces of the maps that answer with what a surface sees: the
// records exchanged through the shader state, the ray-kind handshake with
// the material, and the traces with their environment fallback.
#ifndef KORSHADERS_MAPS_TEX_REFLECT_H
#define KORSHADERS_MAPS_TEX_REFLECT_H

#include <korshaders/host.h>
#include <stdint.h>
#include <string.h>

#include "kor_statekeys.h"
#include "kor_vector.h"
#include "shader.h"

namespace kor {

// "KEY_6": the material's reason for calling a reflection or refraction
// map, with the ray direction before the call.
struct MapCallReason {
    Vector3 dir;
    int32_t kind;  // ReflectKind
};
static_assert(sizeof(MapCallReason) == 16, "the map call reason is four words");

// "KEY_1": set around every trace these maps make.
struct TraceMarkRecord {
    int32_t flag;  // the flat mirror's first-frame option, 0 for the others
    int32_t zero;
};
static_assert(sizeof(TraceMarkRecord) == 8, "the trace mark is two words");

// "KEY_2": the environment map that stands in for the scene's environment
// while a trace runs; the last four words carry nothing.
struct EnvironmentOverride {
    Tag map;
    int32_t unused[4];
};
static_assert(sizeof(EnvironmentOverride) == 20, "the environment override is five words");

#define KOR_KEY_MAP_CALL_REASON "KEY_6"
#define KOR_KEY_ENVIRONMENT_OVERRIDE "KEY_2"

// Ray kinds as the state and "KEY_6" carry them.
enum ReflectKind : int32_t {
    kKindEye = 0,
    kKindReflection = 2,
    kKindRefraction = 3,
    kKindEnvironment = 6,
    kKindPhotonReflectSpecular = 10,
    kKindPhotonReflectDiffuse = 12,
    kKindPhotonTransmitSpecular = 13,
    kKindPhotonTransmitDiffuse = 15,
    kKindNoResult = 16,
};

constexpr Color kOpaqueBlack = {0.0f, 0.0f, 0.0f, 1.0f};
constexpr Color kClearBlack = {0.0f, 0.0f, 0.0f, 0.0f};

// The output mode of a map call: 0 colour, 1 mono, any other value bump.
inline int mapMode(const int *mode) {
    return mode ? *mode : 0;
}
inline bool bumpMode(int mode) {
    return mode != 0 && mode != 1;
}

// While a material calls a reflection or refraction map on a render thread,
// it keeps here (under the state's thread index) the state it stored
// "KEY_6" for and the reason it stored. A map called with that same state
// before anything stored or removed "KEY_6" again would get that reason
// from the host, so it reads it here without asking. Every store and
// removal of "KEY_6" goes through storeCallReason and removeCallReason,
// which keep the link in step with the host. Threads past the table ask
// the host.
//
// The link also knows when the last of those on the thread was a removal:
// the host then holds no reason (its own clearing only removes more), so a
// removal would change nothing and is left out. A material whose map traced
// to a surface that called maps of its own finds the key removed that way.
struct alignas(64) CallReasonLink {
    const RenderState *state;  // null: no reason kept
    MapCallReason reason;
    bool removed;  // the host holds no reason
};
constexpr uint32_t kCallReasonThreads = 64;
inline CallReasonLink korCallReasonLinks[kCallReasonThreads];

inline CallReasonLink *callReasonLink(const RenderState *state) {
    const uint32_t thread = static_cast<uint32_t>(state->thread);
    return thread < kCallReasonThreads ? &korCallReasonLinks[thread] : nullptr;
}

// Stores "KEY_6" for the maps that `state` is about to call.
inline void storeCallReason(RenderState *state, const MapCallReason &reason) {
    CallReasonLink *link = callReasonLink(state);
    const bool stored = zo_shaderstate_set(state, KOR_KEY_MAP_CALL_REASON, &reason, sizeof reason,
                                           ZO_SHADERSTATE_RAY_TREE) != 0;
    // a refused store leaves whatever the host held: the maps ask it
    if (link) *link = CallReasonLink{stored ? state : nullptr, reason, false};
}

inline void removeCallReason(RenderState *state) {
    CallReasonLink *link = callReasonLink(state);
    if (link && link->removed) return;
    const bool removed = zo_shaderstate_set(state, KOR_KEY_MAP_CALL_REASON, nullptr, 0,
                                            ZO_SHADERSTATE_RAY_TREE) != 0;
    if (link) {
        link->state = nullptr;
        link->removed = removed;  // a refused removal leaves the host's answer unknown
    }
}

// Reads "KEY_6": true when present (dir and kind filled).
inline bool readCallReason(RenderState *state, Vector3 *dir, int *kind) {
    MapCallReason reason;
    const CallReasonLink *link = callReasonLink(state);
    if (link && link->state == state) {
        reason = link->reason;
    } else {
        int size = 0;
        const void *stored = zo_shaderstate_get(state, KOR_KEY_MAP_CALL_REASON, &size);
        if (!stored || size < static_cast<int>(sizeof(MapCallReason))) return false;
        memcpy(&reason, stored, sizeof reason);
    }
    if (dir) *dir = reason.dir;
    if (kind) *kind = reason.kind;
    return true;
}

// The ray kind and incoming direction a map works with: "KEY_6" when the
// material set it, else the state's own ray type and direction.
struct ReflectCall {
    bool keyed;        // "KEY_6" was present
    int kind;          // ReflectKind
    Vector3 incoming;  // the direction of the ray that hit the surface
    Vector3 entryDir;  // the state's direction when the map was called
    float entryDot;    // the state's N.D when the map was called
};

// reflectCallBegin in two steps: reading "KEY_6" (the state is left alone),
// then turning the state to the incoming ray.
inline ReflectCall reflectCallRead(RenderState *state) {
    ReflectCall call;
    call.entryDir = state->dir;
    call.entryDot = state->dot_nd;
    call.incoming = state->dir;
    call.kind = state->type;
    call.keyed = readCallReason(state, &call.incoming, &call.kind);
    return call;
}
inline void reflectCallEnter(RenderState *state, const ReflectCall &call) {
    if (call.keyed) {
        // the map works on the ray that hit the surface
        state->dir = call.incoming;
        state->dot_nd = dot(state->normal, call.incoming);
    }
}
inline ReflectCall reflectCallBegin(RenderState *state) {
    const ReflectCall call = reflectCallRead(state);
    reflectCallEnter(state, call);
    return call;
}
// Puts the entry direction and N.D back into the state.
inline void reflectCallEnd(RenderState *state, const ReflectCall &call) {
    state->dir = call.entryDir;
    state->dot_nd = call.entryDot;
}

// True when the host traces rays at all.
inline bool tracingEnabled(const RenderState *state) {
    return !state->options || state->options->trace != 0;
}

// Shininess of a glossy draw for blur amount b: 10000 for 0, else scale / b.
float blurShininess(float blur, float scale);

// The mirror direction of the state's ray, blurred with `shininess` when it
// is given (> 0).
Vector3 reflectionDirection(RenderState *state, float shininess);
// The refraction direction with the state's two indices, blurred with
// `shininess` when it is given; either falls back to the (glossy) mirror
// direction. `total` is set on total internal reflection.
Vector3 refractionDirection(RenderState *state, float shininess, bool *total);

// Sets "KEY_1", traces along `dir` (reflection for kind 2, refraction for
// kind 3), falls back to the environment unless the state's ray is itself
// an environment ray, and removes "KEY_1". False (with (0, 0, 0, 1)) when
// all of that fails.
bool traceMarked(Color *result, RenderState *state, const Vector3 &dir, int kind, int32_t flag);

// Runs the host's photon continuation for a photon kind along `dir`,
// carrying the energy in *energy. False for other kinds.
bool photonContinue(Color *energy, RenderState *state, int kind, const Vector3 &dir);

// Lets the host choose what a photon does at a surface from the weights of
// diffuse and specular reflection and transmission, and carries it on with
// `energy` scaled by the chosen weight (a specular transmission between equal
// indices passes straight through). Nothing is carried when the photon is
// absorbed.
void scatterPhoton(RenderState *state, const Color &energy, Color diffuseReflect,
                   Color specularReflect, Color diffuseTransmit, Color specularTransmit);

// The shared reflection and refraction ray of the reflect/refract,
// refraction and thin-wall maps: blur amount `blur` (shininess
// 10000 or scale / blur; a negative blur draws no glossy direction), kind
// 2 or 3. A thin wall (`thickness` 0 or more) refracts into the wall,
// starts the trace where the refracted ray leaves a wall of that thickness
// and traces along the incoming direction; a negative thickness traces the
// refracted direction itself.
bool traceReflectRefract(Color *result, RenderState *state, const ReflectCall &call, int kind,
                         float blur, float scale, float thickness);

// The distance an object-list trace reports when nothing was hit.
constexpr double kNoHitDistance = 1.0e30;

// Traces along `dir` as a ray of kind `rayType` (0 eye, 2 reflection, 3
// refraction) through an object list: probed hits on the shaded instance
// (unless `selfHits`) and hits the list rejects are passed over. An include
// list accepts its members, an exclude list everything else; identities are
// instance tags, or with `byName` what query 8 names; `materialIdFilter` >= 0
// also rejects hits of another material id. Reflection and refraction give
// up past the trace depths. When nothing acceptable is hit, `useEnvironment`
// looks up the environment (not on environment rays). `distance` (when
// given) receives how far the ray went to the accepted hit.
bool traceWithObjectList(Color *result, RenderState *state, const Vector3 &dir, int rayType,
                         bool selfHits, bool includeObjects, int count, const Tag *objects,
                         bool useEnvironment, int materialIdFilter, bool byName,
                         double *distance = nullptr);

// The instance tags of an object list given by name (database strings):
// allocated under `module`, the number found in *count. Names that name no
// instance are reported and left out. Null (count 0) for an empty list.
Tag *resolveObjectList(RenderState *state, const char *module, const ParamArray<Tag> &names,
                       int32_t *count);

// Writes a non-zero G-buffer identifier into frame buffer 0 on eye rays
// (shared with the pattern maps, tex_pattern.h).
void writeGBufferId(RenderState *state, int32_t id);

}  // namespace kor

#endif
