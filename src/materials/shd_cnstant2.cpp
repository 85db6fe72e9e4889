// The Constant illumination model: shaded as Phong; the record marks it
// faceted (faceting itself is the material's switch).
#include "illum_models.h"

namespace kor {
namespace {

const IllumModelTable kConstantTable = {8,
                                        kBlinnFamilySlots,
                                        kBlinnFamilyTypes,
                                        0x1f20ffe,
                                        1,
                                        0.0f,
                                        phongIlluminate,
                                        illumTintBySpecular,
                                        illumCombinePlain,
                                        illumTransmit,
                                        illumReflect,
                                        &kBlinnFamilyLayout};

}  // namespace
}  // namespace kor

KOR_EXPORT zoBoolean kor_base_ConstantIllumination(Color *result, RenderState *state,
                                                   kor::BlinnParams *params, IllumRecord *record) {
    if (!record) return 0;
    kor::BlinnParams p = kor::blinnEvaluate(state, params, record);
    kor::blinnWriteChannels(record, p, kor::kBlinnFamilySlots);
    return kor::illumRunModel(result, state, record, kor::kConstantTable, p.soften, &p);
}

KOR_SHADER_EXIT(kor_base_ConstantIllumination) {
    kor::illumReleaseThreadBlocks(state, params, "shd_cnstant2");
}
