// kor_Tint: the input's red, green and blue channels mapped onto three
// colours.
#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"

KOR_EXPORT zoBoolean kor_Tint(Color *result, RenderState *state, TintParams *params, int *mode) {
    using namespace kor;
    if (!result) return 0;
    const bool bump = isBumpMode(mode);
    if (!state || !params) {
        *result = kClearColor;
        return 0;
    }
    const Color red = eval(state, &params->red), green = eval(state, &params->green),
                blue = eval(state, &params->blue);
    const Tag map = eval(state, &params->map);
    const bool mapActive = active(map, eval(state, &params->mapOn));
    writeGBufferId(state, eval(state, &params->gbufferId));

    if (bump) {
        // the input's own relief
        if (mapActive) {
            *result = callMap(state, map, mode);
            return 1;
        }
        writeVector(result, kZero, 1.0f);
        return 1;
    }
    const Color m = mapActive ? callMap(state, map, mode) : kWhiteColor;
    *result = Color{m.r * red.r + m.g * green.r + m.b * blue.r,
                    m.r * red.g + m.g * green.g + m.b * blue.g,
                    m.r * red.b + m.g * green.b + m.b * blue.b, m.a};
    return 1;
}
