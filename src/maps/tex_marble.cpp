// kor_Marble: veins of the second colour through the first. The veins run
// across x in bands of 17; the turbulence of the point bends them, and each
// band takes its own shade from further noise.
#include <math.h>
#include <string.h>

#include "kor_support.h"
#include "maps/tex_procedural.h"

namespace {

using namespace kor;

constexpr const char *kModule = "tex_marble";

struct MarbleParams {
    ProcTwoColor sides;
    float size;       // 0 counts as 0.0001
    float veinWidth;  // vein width
    Tag coords;
    Tag output;
    int32_t gbufferId;
};
static_assert(offsetof(MarbleParams, size) == 48 && offsetof(MarbleParams, veinWidth) == 52 &&
                  offsetof(MarbleParams, coords) == 56 && offsetof(MarbleParams, output) == 60 &&
                  offsetof(MarbleParams, gbufferId) == 64,
              "the record is laid out by the shader declaration");

// Instance record: four words, the first the missing-generator warning.
struct MarbleInstance {
    int32_t warned;
    int32_t reserved[3];
};

void evaluate(RenderState *state, const MarbleParams *raw, MarbleParams *p) {
    procEvaluate(state, raw, p, &MarbleParams::size, &MarbleParams::veinWidth,
                 &MarbleParams::coords, &MarbleParams::output, &MarbleParams::gbufferId);
}

inline float unitNoise(float x, float y, float z) {
    return (noiseScaled(Vector3{x, y, z}) + 1.0f) * 0.5f;
}

float pattern(const void *data, const Vector3 &point, const Vector3 &) {
    const auto *p = static_cast<const MarbleParams *>(data);
    const Vector3 s = point * (500.0f / procSize(p->size));
    const float a = noiseScaled(Vector3{s.x / 100.0f, s.y / 200.0f, s.z / 200.0f});
    const float q = (s.x + 10000.0f) * p->veinWidth + (a + 1.0f) * 0.5f * 7.0f;
    const int whole = q > -1.0e9f && q < 1.0e9f ? static_cast<int>(q) : 0;
    const int band = whole % 17;
    if (band >= 0 && band <= 3)
        return 0.7f + 0.2f * unitNoise(s.x / 70.0f, s.y / 50.0f, s.z / 50.0f);
    const float shade = unitNoise(s.x / 100.0f, s.y / 100.0f, s.x / 100.0f);
    if (band >= 9 && band <= 11) return (shade + 1.0f) * 0.2f;
    const float across = fabsf(q - 17.0f * static_cast<float>(whole / 17) - 10.5f);
    return 0.4f + 0.3f * across * 0.1538462f + 0.2f * shade;
}

}  // namespace

KOR_EXPORT zoBoolean kor_Marble(Color *result, RenderState *state, MarbleParams *params,
                                const int *mode) {
    MarbleParams p;
    if (!procBegin(result, state, params, mode, evaluate, &p)) return 0;
    ProcPoint pt;
    // the veins are not filtered: no footprint
    procCoordinates(state, p.coords, procIsBump(procMode(mode)), &pt, false);
    if (!pt.hasGenerator) {
        void **slot = user_slot(state);
        auto *inst = slot ? static_cast<MarbleInstance *>(*slot) : nullptr;
        if (inst) procRequireXYZ(state, &inst->warned);
    }
    return procShade(result, state, mode, pt, pattern, &p, p.sides.side1(), p.sides.side2(),
                     p.output, kProcHardEnds);
}

KOR_SHADER_INIT(kor_Marble) {
    if (procClassInit(state, params, request)) return;
    auto *inst = procNewInstance<MarbleInstance>(state, kModule, __LINE__);
    if (inst) memset(inst, 0, sizeof *inst);
}

KOR_SHADER_EXIT(kor_Marble) {
    procFreeInstance(state, params, kModule, __LINE__);
}
