// Render elements: separately stored passes (diffuse, specular, shadow,
// depth ...) that the materials feed on every sample and the element
// handler lens writes to their frame buffers.
#ifndef KORSHADERS_ELEMENTS_KOR_RENDELEM_H
#define KORSHADERS_ELEMENTS_KOR_RENDELEM_H

#include <korshaders/host.h>
#include <stdint.h>

#define KOR_KEY_RENDER_ELEMENTS "KRREINT"

// The active elements of a handler instance, in parameter order.
struct RenderElementSetup {
    int32_t hasShadowedElements;
    int32_t hasShadowFreeElements;
    int32_t count;
    int32_t *shadowFreePass;
    int32_t *applyAtmosphere;
    Tag *shaders;
    int32_t *frameBuffers;
    int32_t *elementFlags;
    int32_t *beautyIfUntouched;
};

// Per-thread results of the sample being rendered.
struct ElementResults {
    Color *results;  // setup count entries
    int32_t busy;    // element shaders are running on this thread
};

// "KRREINT": set by the handler around the eye trace.
struct RenderElementContext {
    RenderElementSetup *setup;
    ElementResults *results;
    int32_t runShadowed;
    int32_t runShadowFree;
    int32_t written;
};

// The part of the post-illumination record that ClearInputs and
// ClearOutputs act on.
struct RenderElementIllum {
    float opacity;
    float reflectionAmount;
    float refractionAmount;
    Color ambient;
    Color diffuse;
    Color refraction;
    Color selfIllum;
    Color specular;
    Color reflection;
    float diffuseIntensity;
    float litScale;
    Color shadedColor;
    Color transparency;
    Color layerTransmission;
};

enum : int32_t {
    kElementExtra1Valid = 1,
    kElementExtra2Valid = 2,
    kElementShadowValid = 4,
    kElementMatteMaterial = 8,
};

// What a material hands to the element shaders after its illumination.
struct RenderElementPostIllumData {
    int32_t matte;
    int32_t flags;
    RenderElementIllum illum;
    Color channels[32];
    const int32_t *channelTable;  // standard map id -> channel
    Color shadowColor;
    Color extraColor1;
    Color extraColor2;
    int32_t materialId;
    int32_t shadowNoTransparency;
    int32_t replace;  // set by an element shader: its value replaces the entry
};

// The argument of an element shader call (shader type 12).
struct ElementCallArgs {
    int32_t mode;  // 0 after a material's illumination, 1 after the atmosphere
    void *data;    // mode 0: RenderElementPostIllumData; mode 1: ElementAtmosphereData
};

struct ElementAtmosphereData {
    Color color;     // after the atmosphere
    float distance;  // the eye ray's hit distance
    float second;    // set to 0 by the handler
};

// ComputeIlluminance's record.
struct IlluminanceRecord {
    Color sum;
    zoBoolean withAmbientLights;
    zoBoolean withDirectLights;
};

#define KOR_ELEMENTS_EXPORT __attribute__((visibility("default")))

extern "C" {
KOR_ELEMENTS_EXPORT zoBoolean RenderElementsAreBeingUsed(RenderState *state);
KOR_ELEMENTS_EXPORT void InitializeRenderElementPostIllumData(RenderState *state,
                                                              RenderElementPostIllumData *data);
KOR_ELEMENTS_EXPORT void ClearOutputs(RenderElementIllum *record);
KOR_ELEMENTS_EXPORT void ClearInputs(RenderElementIllum *record);
KOR_ELEMENTS_EXPORT zoBoolean
kor_CallRenderElementShaders_PostIllum(RenderState *state, RenderElementPostIllumData *data);
KOR_ELEMENTS_EXPORT Color *kor_GetRenderElementResults(RenderState *state, int32_t *count);
KOR_ELEMENTS_EXPORT void ComputeIlluminance(RenderState *state, IlluminanceRecord *record);
KOR_ELEMENTS_EXPORT float IllumShadow(RenderState *state);
}

namespace kor {
// The colour that stands for an identifier in id passes.
Color idColor(int id);

// ---------------------------------------------------------------------------
// Helpers shared by the element shaders (standard, bake and stored elements).

// The map channel colour of standard map id `id` (0 ambient, 1 diffuse,
// 2 specular, 4 specular level, 5 self-illumination, 9 reflection,
// 10 refraction ...) through the record's channel table; black with alpha 0
// when the table gives no channel.
Color elementMapChannel(const RenderElementPostIllumData &data, int id);

// Components of the blend element.
struct ElementBlendSwitches {
    bool ambient, diffuse, specular, selfIllum, reflection, refraction, extra1, extra2;
};

// Sum of the switched-on components: diffuse, ambient, self-illumination
// and the valid extra colours scaled by litScale, specular, reflection and
// refraction as they stand. rgb only; alpha 0.
Color elementBlend(const RenderElementPostIllumData &data, const ElementBlendSwitches &on);
}  // namespace kor

#endif
