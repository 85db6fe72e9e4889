// Records that the host application attaches to the scene, and their
// accessors.
#ifndef KORSHADERS_FRAME_SCENEDATA_H
#define KORSHADERS_FRAME_SCENEDATA_H

#include <korshaders/host.h>

#include <stddef.h>

// Scene data, attached to the render options.
struct SceneData {
    int32_t materialEditor;     // 0
    Color ambientColor;         // 4
    Color lightTint;            // 20
    int32_t twoSided;           // 36
    float gamma;                // 40
    float rangeNear;            // 44
    float rangeFar;             // 48
    float physicalScale;        // 52
    float pixelAspect;          // 56
    int32_t energySwitch1;      // 60
    int32_t unused64[4];        // 64
    int32_t bakeHooks;          // 80
    int32_t energySwitch2;      // 84
    int32_t unused88;           // 88
    int32_t rendererGeometry;   // 92
    int32_t rotatedEnvironment; // 96
};
static_assert(offsetof(SceneData, bakeHooks) == 80, "scene data layout");
static_assert(offsetof(SceneData, rotatedEnvironment) == 96, "scene data layout");

extern "C" {
__attribute__((visibility("default"))) SceneData *GetSceneData(RenderState *state);
}

#endif
