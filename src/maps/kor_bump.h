// Bump, normal-map and displacement shaders, and the environment shader:
// their parameter records and the records they keep per instance and per
// thread.
#ifndef KORSHADERS_MAPS_KOR_BUMP_H
#define KORSHADERS_MAPS_KOR_BUMP_H

#include <korshaders/host.h>
#include <stdint.h>

#include "kor_support.h"
#include "shader.h"

// ---------------------------------------------------------------------------
// kor_Bump

struct BumpParams {
    float bumpAmount;
    Tag map;
};

// Per instance: the mode record the map is called with.
struct BumpInstance {
    int32_t started;          // set by the first call
    kor::MapRequest request;  // {2, 0, 0}
};

// ---------------------------------------------------------------------------
// kor_GNormal

enum NormalSpace : int32_t {
    kNormalTangent = 0,
    kNormalLocal = 1,   // object space
    kNormalScreen = 2,  // camera space
    kNormalWorld = 3,
};

struct GNormalParams {
    float normalAmount;
    float bumpAmount;
    zoBoolean flipRed;
    zoBoolean flipGreen;
    zoBoolean swapRedGreen;
    Tag normalMap;
    zoBoolean normalMapOn;
    Tag bumpMap;
    zoBoolean bumpMapOn;
    int32_t method;  // NormalSpace
    int32_t gbufferId;
};

// Per instance: the parameters as they stood at init, each map with its
// on-flag folded in (0 when off), and the scene's material-editor word.
struct GNormalInstance {
    float normalAmount;
    float bumpAmount;
    zoBoolean flipRed;
    zoBoolean flipGreen;
    zoBoolean swapRedGreen;
    Tag normalMap;
    Tag bumpMap;
    int32_t method;
    int32_t gbufferId;
    int32_t materialEditor;  // first word of the scene data, 0 without it
};

// ---------------------------------------------------------------------------
// Displacement

struct DisplacementParams {
    Tag map;
    float amount;
    zoBoolean relativeAmount;  // amount * bounding-box diagonal / 10
    Tag bumpMap;
};

struct HeightMapDisplacementParams {
    Tag map;
    float lowHeight;
    float highHeight;
    zoBoolean worldUnits;
};

// ---------------------------------------------------------------------------
// kor_Environment

struct EnvironmentParams {
    Tag map;                // the environment map
    zoBoolean useMapAlpha;  // alpha from the map; else `alpha`
    float alpha;
    kor::ParamArray<Tag> skyLights;  // light instances
};

// Per thread: set while the thread evaluates the environment map.
struct EnvironmentThread {
    int32_t busy;
};

#define KOR_KEY_BUMP_SKY "KEY_0"

#endif
