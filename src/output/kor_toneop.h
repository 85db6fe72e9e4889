// Exposure controls: the tone-mapping record that lens shaders publish
// while the eye ray is traced ("KEY_7"), and the pseudo-colour level table.
#ifndef KORSHADERS_OUTPUT_KOR_TONEOP_H
#define KORSHADERS_OUTPUT_KOR_TONEOP_H

#include <korshaders/host.h>
#include <stdint.h>

#define KOR_KEY_TONE_OPERATOR "KEY_7"
#define KOR_KEY_SKY_IS_HDR "SKY_IS_HDR"

typedef void (*ToneMapFunction)(Color *color, RenderState *state, void *context);

struct ToneOperatorRecord {
    int32_t processBackground;  // also map rays that hit nothing
    ToneMapFunction forward;    // scene colour to display colour, in place
    ToneMapFunction inverse;    // undoes forward, or null
    void *context;
};

// Logarithmic exposure context (per instance).
struct LogToneContext {
    float a, b, c;
    float physicalFactor;
    float whiteBalance[4];
    int32_t desaturate;
    int32_t active;
    int32_t processBackground;
    int32_t colorCorrection;
    float perChannel;  // 1.0: per channel; 0.0: by luminance
};

// Pseudo-colour level table (per instance; the contour shaders read it too).
struct PseudoLevelTable {
    Color *colors;
    int32_t bandCount;
    float linearScale;
    float logPreScale;
    float logPostScale;
    float minimum;
    float maximum;
};

// Pseudo-colour operator context (per instance): the level table and the
// parameters the forward map reads.
struct PseudoToneContext {
    PseudoLevelTable table;
    float scale;
    int32_t unitsMode;  // 1: luminance divided by pi
    int32_t linear;
    int32_t active;
    int32_t processBackground;
};

namespace kor {
// 0.263 |r| + 0.655 |g| + 0.082 |b|
float toneLuminance(const Color &c);
void logToneForward(Color *color, RenderState *state, void *context);
void logToneInverse(Color *color, RenderState *state, void *context);
// The band index of a luminance, clamped to the table.
int pseudoBand(const PseudoLevelTable &table, float luminance, bool linear);
void pseudoToneForward(Color *color, RenderState *state, void *context);
}  // namespace kor

extern "C" {
__attribute__((visibility("default"))) zoBoolean ToneOpScaledToRGB(RenderState *state, Color *color,
                                                                   int32_t requireFlag);
__attribute__((visibility("default"))) zoBoolean ApplyInverseToneOperator(RenderState *state,
                                                                          Color *color);
}

#endif
