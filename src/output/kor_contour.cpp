// Contour shaders that draw lines where the light level changes: a store
// shader that records each sample, a contrast shader that compares the
// pseudo-colour bands of two samples, and a contour shader for the width.
#include "kor_contour.h"

#include "kor_toneop.h"
#include "shader.h"

namespace {

constexpr float kPi = 3.14159265358979f;

// The pseudo-colour operator's record; the contrast shader reads some of it.
struct ContrastParams {
    float minimum;
    float maximum;
    int32_t unitsMode;  // 1: luminance divided by pi
    int32_t displayMode;
    float scale;
    int32_t unused;
    zoBoolean linear;
    zoBoolean footCandles;
    zoBoolean active;
    zoBoolean processBackground;
    int32_t bandCount;
};

struct LightlinesParams {
    float width;
};

void classify(ContourLightRecord *record, const PseudoLevelTable &table, float scale, int units,
              bool linear) {
    float L = kor::toneLuminance(record->color) * scale;
    if (units == 1) L /= kPi;
    const int band = kor::pseudoBand(table, L, linear);
    record->band = band;
    record->bandColor = table.colors[band];
}

}  // namespace

extern "C" {
void kor_ToneOpPseudo_init(RenderState *state, void *params, zoBoolean *request);
void kor_ToneOpPseudo_exit(RenderState *state, void *params);
}

KOR_EXPORT zoBoolean contour_store_light(void *record, int *size, RenderState *state,
                                         const Color *color) {
    if (!record || !state) return 0;
    auto *r = static_cast<ContourLightRecord *>(record);
    r->point = state->point;
    r->normal = state->normal;
    r->normalGeom = state->normal_geom;
    r->objectId = state->object_id;
    r->label = state->label;
    int32_t label = 0;
    if (!zo_query(ZO_Q_PRI_LABEL, state, 0, &label)) label = 0;
    r->primitiveLabel = label;
    r->color = color ? *color : kor::kBlack;
    int32_t depth = 0;
    for (const RenderState *s = state; s; s = s->parent) ++depth;
    r->depth = depth;
    if (size) *size = sizeof(ContourLightRecord);
    return 1;
}

KOR_EXPORT zoBoolean contour_contrast_light_levels(void *a, void *b, RenderState *state,
                                                   ContrastParams *params) {
    if (!a != !b) return 1;  // the border of an object
    if (!a || !params) return 0;
    void **slot = kor::user_slot(state);
    const auto *table = slot ? static_cast<const PseudoLevelTable *>(*slot) : nullptr;
    const int units = kor::eval(state, &params->unitsMode);
    const float scale = kor::eval(state, &params->scale);
    const bool linear = kor::eval(state, &params->linear) != 0;
    (void)kor::eval(state, &params->active);
    (void)kor::eval(state, &params->processBackground);
    if (!table || !table->colors || table->bandCount < 1) return 0;
    auto *first = static_cast<ContourLightRecord *>(a);
    auto *second = static_cast<ContourLightRecord *>(b);
    classify(first, *table, scale, units, linear);
    classify(second, *table, scale, units, linear);
    return first->band != second->band;
}

KOR_SHADER_INIT(contour_contrast_light_levels) {
    kor_ToneOpPseudo_init(state, params, request);
}
KOR_SHADER_EXIT(contour_contrast_light_levels) {
    kor_ToneOpPseudo_exit(state, params);
}

KOR_EXPORT zoBoolean contour_shader_lightlines(ContourOutput *output, void *, void *,
                                               RenderState *state, LightlinesParams *params) {
    if (!output || !params) return 0;
    output->width = kor::eval(state, &params->width);
    return 1;
}
