// Output shaders that make a finished frame legal for video: the colour
// legaliser's per-instance state and the legaliser itself.
#ifndef KORSHADERS_OUTPUT_KOR_VIDEOCC_H
#define KORSHADERS_OUTPUT_KOR_VIDEOCC_H

#include <korshaders/host.h>
#include <stdint.h>

enum { KOR_VIDEO_BLACK = 0, KOR_VIDEO_SCALE = 1, KOR_VIDEO_DESATURATE = 2 };
enum { KOR_VIDEO_NTSC = 0, KOR_VIDEO_PAL = 1 };

struct VideoColorCorrectParams {
    int32_t method;    // KOR_VIDEO_BLACK, _SCALE, otherwise desaturate
    int32_t standard;  // KOR_VIDEO_NTSC or KOR_VIDEO_PAL
};

struct VideoSuperBlackParams {
    int32_t threshold;  // in 1/255 steps
};

// One block per instance (module "kor_videocc").
struct VideoCorrectState {
    double chromaLimit;
    double compositeLimit;
    double setup;
    double gamma;
    double inverseGamma;
    int64_t chromaLimitSquaredScaled;  // (trunc(chroma limit * 8192 + 0.5))^2
    int64_t compositeLimitScaled;      // trunc(composite limit * 8192 + 0.5)
    double matrix[9];                  // rows Y, I/U, Q/V
    int32_t method;
    int32_t lastModified;
    Color lastColor;
};

namespace kor {
// Fills `s` for a standard (KOR_VIDEO_NTSC or KOR_VIDEO_PAL; any other value
// is taken as NTSC) and a method.
void videoStateSetup(VideoCorrectState *s, int standard, int method);
// Brings `c` into the legal range; true when it changed `c`.
bool videoLegalise(VideoCorrectState *s, Color *c);
}  // namespace kor

#endif
