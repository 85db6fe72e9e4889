// kor_RGBMultiplier: the product of two colours (or sub-maps).
#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"

namespace {

using namespace kor;

void evaluate(RenderState *state, const RGBMultiplierParams *in, RGBMultiplierParams *p) {
#define KOR_EVAL(field) p->field = eval(state, &in->field)
    KOR_EVAL(color1);
    KOR_EVAL(color2);
    KOR_EVAL(map1);
    KOR_EVAL(map2);
    KOR_EVAL(map1On);
    KOR_EVAL(map2On);
    KOR_EVAL(output);
    KOR_EVAL(gbufferId);
#undef KOR_EVAL
}

}  // namespace

KOR_EXPORT zoBoolean kor_RGBMultiplier(Color *result, RenderState *state,
                                       RGBMultiplierParams *params, int *mode) {
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    RGBMultiplierParams p;
    evaluate(state, params, &p);
    writeGBufferId(state, p.gbufferId);
    const bool active1 = active(p.map1, p.map1On), active2 = active(p.map2, p.map2On);

    if (!bump) {
        const Color a = active1 ? callMap(state, p.map1, mode) : p.color1;
        const Color b = active2 ? callMap(state, p.map2, mode) : p.color2;
        *result = Color{a.r * b.r, a.g * b.g, a.b * b.b, a.a * b.a};
        applyOutput(result, state, p.output, mode);
        return 1;
    }

    if (active1 && active2) {
        // Product rule. The sub-maps get a mode record of our own: the mode,
        // then the caller's two further words.
        MapRequest own = {kMapBump, 0, 0};
        if (mode) {
            const MapRequest *caller = reinterpret_cast<const MapRequest *>(mode);
            own.reserved = caller->reserved;
            own.extra = caller->extra;
        }
        const Color b1 = callMap(state, p.map1, &own);
        const Color b2 = callMap(state, p.map2, &own);
        own.kind = kMapGrey;
        const Color m1 = callMap(state, p.map1, &own);
        const Color m2 = callMap(state, p.map2, &own);
        const Vector3 vector = {b1.r * m2.r + m1.r * b2.r, b1.g * m2.g + m1.g * b2.g,
                                b1.b * m2.b + m1.b * b2.b};
        finishVector(result, state, p.output, mode, vector, 1.0f);
        return 1;
    }
    if (active1 || active2) {
        // one map: its own answer
        const zoBoolean ok =
            zo_call_shader_x(result, ZO_SHADER_MAP, state, active1 ? p.map1 : p.map2, mode);
        applyOutput(result, state, p.output, mode);
        return ok;
    }
    finishVector(result, state, p.output, mode, kZero, 1.0f);
    return 1;
}
