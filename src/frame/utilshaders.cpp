// Constant and placeholder shaders, the shader list and the material call.
#include "utilshaders.h"

#include "scenedata.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "utilshaders";

inline void set(Color *result, float r, float g, float b, float a) {
    if (result) *result = Color{r, g, b, a};
}

// Ray types for which the material call leaves the result as it is:
// shadow rays, photons and light-map rays.
bool keeps_result(int type) {
    return type == ZO_RAY_SHADOW || (type >= 8 && type <= 15) || type == 18 || type == 19 ||
           (type >= 21 && type <= 24) || type == 27;
}

// Warn-once words of the calling instance: word 0 guards the unsupported
// call type message, word 1 the phenomenon message.
int32_t *instance_warn_word(RenderState *state, int index) {
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return nullptr;
    return static_cast<int32_t *>(*slot) + index;
}

void warn_once(int32_t *word, RenderState *state, const char *format) {
    if (!word || *word) return;
    *word = 1;
    zo_error(format, kor::shader_name(state));
}

zoBoolean call_plain_material(Color *result, RenderState *state, Tag tag, int32_t *flag) {
    const Tag saved_environment = state->environment;
    const int type = kor::call_type(state);
    Tag shader = 0;
    switch (type) {
        case ZO_CALL_MATERIAL:
        case ZO_CALL_TEXTURE: {
            zo_query(ZO_Q_MTL_SHADER, nullptr, tag, &shader);
            Tag volume = 0;
            zo_query(ZO_Q_MTL_VOLUME, nullptr, tag, &volume);
            state->volume = volume;
            Tag environment = 0;
            zo_query(ZO_Q_MTL_ENVIRONMENT, nullptr, tag, &environment);
            if (environment) state->environment = environment;
            break;
        }
        case ZO_CALL_SHADOW: zo_query(ZO_Q_MTL_SHADOW, nullptr, tag, &shader); break;
        case ZO_CALL_ENVIRONMENT:
            zo_query(ZO_Q_MTL_ENVIRONMENT, nullptr, tag, &shader);
            if (!shader && state->camera) shader = state->camera->environment;
            break;
        case ZO_CALL_VOLUME: zo_query(ZO_Q_MTL_VOLUME, nullptr, tag, &shader); break;
        case ZO_CALL_PHOTON: {
            zo_query(ZO_Q_MTL_PHOTON, nullptr, tag, &shader);
            Tag volume = 0;
            zo_query(ZO_Q_MTL_PHOTONVOL, nullptr, tag, &volume);
            state->volume = volume;
            break;
        }
        case ZO_CALL_DISPLACE:
            zo_query(ZO_Q_MTL_DISPLACE, nullptr, tag, &shader);
            if (!shader) {
                set(result, 0, 0, 0, 0);
                state->environment = saved_environment;
                return 1;
            }
            break;
        case ZO_CALL_LIGHTMAP: zo_query(ZO_Q_MTL_LIGHTMAP, nullptr, tag, &shader); break;
        case ZO_CALL_PHOTONVOL: zo_query(ZO_Q_MTL_PHOTONVOL, nullptr, tag, &shader); break;
        case ZO_CALL_CONTOUR: zo_query(ZO_Q_MTL_CONTOUR, nullptr, tag, &shader); break;
        default:
            warn_once(flag ? flag : instance_warn_word(state, 0), state,
                      "Shader '%s' called with unsupported call type");
            return 0;
    }
    zoBoolean ok = 0;
    if (shader) ok = zo_call_shader(result, type, state, shader);
    state->environment = saved_environment;
    return ok;
}

zoBoolean call_material_phenomenon(Color *result, RenderState *state, Tag tag) {
    const Tag saved_material = state->material;
    state->material = tag;
    const int type = kor::call_type(state);
    zoBoolean ok = 0;
    switch (type) {
        case ZO_CALL_MATERIAL:
        case ZO_CALL_TEXTURE: ok = zo_call_material(result, state); break;
        case ZO_CALL_SHADOW: ok = zo_call_shadow_material(result, state); break;
        case ZO_CALL_ENVIRONMENT:
            ok = zo_call_environment_material(result, state);
            if (!ok && state->camera && state->camera->environment)
                ok = zo_call_shader(result, type, state, state->camera->environment);
            break;
        case ZO_CALL_VOLUME: ok = zo_call_volume_material(result, state); break;
        case ZO_CALL_PHOTON: ok = zo_call_photon_material(result, state); break;
        case ZO_CALL_PHOTONVOL: ok = zo_call_photonvol_material(result, state); break;
        default:
            warn_once(instance_warn_word(state, 1), state,
                      "Shader '%s' does not support material phenomena in "
                      "contour/displacement/lightmap modes.");
            break;
    }
    state->material = saved_material;
    return ok;
}

}  // namespace

KOR_EXPORT zoBoolean CallMaterial(Color *result, RenderState *state, Tag tag, int32_t *flag) {
    if (!state) return 0;
    if (!keeps_result(state->type)) set(result, 0, 0, 0, 0);
    switch (zo_db_type(tag)) {
        case ZO_DB_MATERIAL: return call_plain_material(result, state, tag, flag);
        case ZO_DB_MATERIAL_PHENOMENON: return call_material_phenomenon(result, state, tag);
        default: return 0;
    }
}

zoBoolean kor::call_contour_material(void *result, void *info_near, void *info_far,
                                     RenderState *state, Tag material) {
    const Tag saved_material = state->material;
    state->material = material;
    zoBoolean ok = zo_call_contour_material(result, info_near, info_far, state);
    state->material = saved_material;
    return ok;
}

// ---------------------------------------------------------------------------
// Constant and placeholder shaders.

struct ColorParams {
    Color color;
};

KOR_EXPORT zoBoolean kor_color(Color *result, RenderState *state, ColorParams *params) {
    if (!result || !params) return 0;
    *result = kor::eval(state, &params->color);
    return 1;
}

KOR_EXPORT zoBoolean kor_passthru(int32_t *result, RenderState *, const int32_t *params) {
    if (!result || !params) return 0;
    result[0] = params[0];
    result[1] = params[1];
    return 1;
}

KOR_EXPORT zoBoolean kor_empty(Color *result, RenderState *state, void *params) {
    if (!state && !params) return 0;
    set(result, 0, 0, 0, 1);
    return 1;
}

KOR_EXPORT zoBoolean kor_unknown(Color *result, RenderState *state, void *params) {
    if (!state && !params) return 0;
    set(result, 1, 1, 1, 0);
    return 1;
}

KOR_EXPORT zoBoolean kor_UnknownMaterial(Color *result, RenderState *state, void *params) {
    return kor_unknown(result, state, params);
}

KOR_EXPORT zoBoolean kor_procedural_dummy(Color *result, RenderState *state, void *params) {
    if (!result && !state && !params) return 0;
    set(result, 0.7f, 0.7f, 0.7f, 1);
    return 1;
}

KOR_EXPORT zoBoolean kor_dummy(Color *result, RenderState *, void *) {
    set(result, 0, 0, 0, 1);
    return 1;
}

KOR_EXPORT zoBoolean GlintTools(Color *result, RenderState *, void *) {
    set(result, 0, 0, 0, 1);
    return 1;
}

KOR_EXPORT zoBoolean kor_is_material_editor(int32_t *result, RenderState *state, void *) {
    const SceneData *scene = GetSceneData(state);
    if (result) *result = scene && scene->materialEditor ? 1 : 0;
    return 1;
}

// ---------------------------------------------------------------------------
// kor_ShaderList: runs every listed shader on the same result.

struct ShaderListParams {
    kor::ParamArray<Tag> shaders;
};

KOR_EXPORT zoBoolean kor_ShaderList(Color *result, RenderState *state, ShaderListParams *params) {
    if (!params) return 0;
    const int32_t start = kor::eval(state, &params->shaders.start);
    const int32_t count = kor::eval(state, &params->shaders.count);
    if (count < 1) return 0;
    const int type = kor::call_type(state);
    zoBoolean any = 0;
    for (int32_t k = 0; k < count; ++k) {
        const Tag shader = kor::eval(state, &params->shaders[start + k]);
        if (zo_call_shader(result, type, state, shader)) any = 1;
    }
    return any;
}

// ---------------------------------------------------------------------------
// kor_MaterialToShader: a material used where a shader is expected.

struct MaterialToShaderParams {
    Tag material;
};

KOR_EXPORT zoBoolean kor_MaterialToShader(Color *result, RenderState *state,
                                          MaterialToShaderParams *params) {
    if (!params) return 0;
    const Tag material = kor::eval(state, &params->material);
    if (!material) return 0;
    return CallMaterial(result, state, material, nullptr);
}

KOR_SHADER_INIT(kor_MaterialToShader) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    if (void **slot = kor::user_slot(state))
        *slot = zo_mem_int_allocate(kModule, __LINE__, 2 * sizeof(int32_t));
}

KOR_SHADER_EXIT(kor_MaterialToShader) {
    if (!params) return;
    if (void **slot = kor::user_slot(state)) {
        if (*slot) zo_mem_int_release(kModule, __LINE__, *slot);
        *slot = nullptr;
    }
}
