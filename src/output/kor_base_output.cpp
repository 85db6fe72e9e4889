// The small output-side shaders of the base module: the gamma-correcting
// image lookup, the G-buffer writers (surface and lens), the material
// editor's sample background and the image collector.
#include <math.h>

#include "kor_base.h"
#include "scenedata.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "kor_base";

// Frame buffers of the G-buffer channels.
enum { kFbNode1 = 1, kFbNode2 = 2, kFbTexture = 4, kFbTextureTail = 5, kFbMotion = 6 };

struct ImageGammaCorrectParams {
    Tag texture;
};

struct GBufferParams {
    zoBoolean unused0;
    zoBoolean nodeChannel1;
    zoBoolean nodeChannel2;
    zoBoolean unused3;
    zoBoolean textureChannel;
    zoBoolean motionChannel;
};

struct MeditBackgroundParams {
    zoBoolean active;
    Color color;
    Tag texture;
};

// The per-instance block of the image lookups: the scene's gamma table.
struct GammaHolder {
    kor::GammaTable *table;
};

const Color kPattern[5] = {
    {0.50196081f, 0.50196081f, 0.50196081f, 0.0f},
    {0.50196081f, 0.0f, 0.0f, 0.0f},
    {0.0f, 0.50196081f, 0.0f, 0.0f},
    {0.0f, 0.0f, 0.50196081f, 0.0f},
    {0.0f, 0.0f, 0.0f, 0.0f},
};

const kor::GammaTable *instance_gamma(RenderState *state) {
    void **slot = kor::user_slot(state);
    const auto *holder = slot ? static_cast<const GammaHolder *>(*slot) : nullptr;
    return holder ? holder->table : nullptr;
}

void gamma_init(RenderState *state, void *params, zoBoolean *request) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    if (auto *old = static_cast<GammaHolder *>(*slot)) {
        kor::gammaFree(old->table);
        zo_mem_int_release(kModule, __LINE__, old);
        *slot = nullptr;
    }
    auto *holder =
        static_cast<GammaHolder *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(GammaHolder)));
    if (!holder) return;
    const SceneData *scene = GetSceneData(state);
    float gamma = scene ? scene->gamma : 1.0f;
    if (!(gamma > 0.0f) || !isfinite(gamma)) gamma = 1.0f;
    holder->table = kor::gammaBuild(gamma);
    *slot = holder;
}

void gamma_exit(RenderState *state, void *params) {
    if (!params) return;
    void **slot = kor::user_slot(state);
    if (!slot) return;
    if (auto *holder = static_cast<GammaHolder *>(*slot)) {
        kor::gammaFree(holder->table);
        zo_mem_int_release(kModule, __LINE__, holder);
    }
    *slot = nullptr;
}

// The node channels and the texture-coordinate channel (the state has an
// instance).
void write_node_and_texture(RenderState *state, const GBufferParams *p) {
    const bool node1 = kor::eval(state, &p->nodeChannel1) != 0;
    const bool node2 = kor::eval(state, &p->nodeChannel2) != 0;
    if (node1 || node2) {
        Tag data = 0;
        void *record = nullptr;
        if (zo_query(ZO_Q_INST_DATA, state, state->instance, &data) && data &&
            zo_query(ZO_Q_DATA_PARAM, state, data, &record) && record) {
            const auto *node = static_cast<const NodeData *>(record);
            if (node1) zo_fb_put(state, kFbNode1, &node->gbufferValue1);
            if (node2) zo_fb_put(state, kFbNode2, &node->gbufferValue2);
        }
    }
    if (kor::eval(state, &p->textureChannel)) {
        int spaces = 0;
        if (zo_query(ZO_Q_NUM_TEXTURES, state, 0, &spaces) && spaces >= 1) {
            Vector3 t{0, 0, 0};
            zo_texture_interpolate(&t, state, 0);
            // buffer 5 takes the same coordinates from the second one on
            const float words[4] = {t.x, t.y, t.z, 0.0f};
            zo_fb_put(state, kFbTexture, words);
            zo_fb_put(state, kFbTextureTail, words + 1);
        }
    }
}

}  // namespace

KOR_EXPORT zoBoolean kor_base_ImageCollector(void *, RenderState *, void *) {
    return 1;
}

KOR_EXPORT zoBoolean kor_base_ImageGammaCorrect(Color *result, RenderState *state,
                                                ImageGammaCorrectParams *params,
                                                const Vector3 *coord) {
    if (!result || !state || !params) return 0;
    const Vector3 origin{0, 0, 0};
    zo_lookup_color_texture(result, state, kor::eval(state, &params->texture),
                            coord ? coord : &origin);
    kor::gammaApply(result, instance_gamma(state));
    return 1;
}

KOR_SHADER_INIT(kor_base_ImageGammaCorrect) {
    gamma_init(state, params, request);
}
KOR_SHADER_EXIT(kor_base_ImageGammaCorrect) {
    gamma_exit(state, params);
}

KOR_EXPORT zoBoolean kor_base_GBuffer(Color *, RenderState *state, GBufferParams *params) {
    if (!state || !params || state->type != ZO_RAY_EYE) return 1;
    if (state->instance) write_node_and_texture(state, params);
    if (kor::eval(state, &params->motionChannel)) {
        const Vector3 &m = state->motion;
        if (m.x != 0.0f || m.y != 0.0f || m.z != 0.0f) {
            const Vector3 moved{state->point.x + m.x, state->point.y + m.y, state->point.z + m.z};
            Vector3 camera{0, 0, 0};
            zo_point_to_camera(&camera, state, &moved);
            zo_fb_put(state, kFbMotion, &camera);
        }
    }
    return 1;
}

KOR_EXPORT zoBoolean kor_base_GBuffer_lens(Color *result, RenderState *state,
                                           GBufferParams *params) {
    if (!result || !state) return 0;
    const zoBoolean hit = zo_trace_eye(result, state, &state->org, &state->dir);
    if (!hit || !state->instance || !params) return hit;
    write_node_and_texture(state, params);
    if (kor::eval(state, &params->motionChannel)) {
        Vector3 motion{0, 0, 0};
        Vector3 v[3];
        if (zo_tri_vectors(state, ZO_TRI_MOTION, 0, v)) {
            const float *w = state->bary;
            const Vector3 blended{w[0] * v[0].x + w[1] * v[1].x + w[2] * v[2].x,
                                  w[0] * v[0].y + w[1] * v[1].y + w[2] * v[2].y,
                                  w[0] * v[0].z + w[1] * v[1].z + w[2] * v[2].z};
            Vector3 internal{0, 0, 0};
            zo_vector_from_object(&internal, state, &blended);
            const Vector3 moved{state->point.x + internal.x, state->point.y + internal.y,
                                state->point.z + internal.z};
            Vector3 raster{0, 0, 0};
            zo_point_to_raster(&raster, state, &moved);
            motion = Vector3{raster.x - state->raster_x, raster.y - state->raster_y, 0.0f};
        }
        zo_fb_put(state, kFbMotion, &motion);
    }
    return hit;
}

KOR_EXPORT zoBoolean kor_base_MeditBackground(Color *result, RenderState *state,
                                              MeditBackgroundParams *params) {
    if (!result || !state || !params) return 0;
    if (!kor::eval(state, &params->active)) {
        *result = kor::eval(state, &params->color);
        return 1;
    }
    float u = 0.0f, v = 0.0f;
    if ((state->options && state->options->userdata) || state->type != ZO_RAY_ENVIRONMENT) {
        const zoCamera *camera = state->camera;
        if (camera && camera->x_resolution > 0 && camera->y_resolution > 0) {
            u = state->raster_x / camera->x_resolution;
            v = state->raster_y / camera->y_resolution;
        }
    } else {
        const Vector3 &d = state->dir;
        const float ax = fabsf(d.x), ay = fabsf(d.y), az = fabsf(d.z);
        // s, t and m on the face of the dominant axis (ties: x, then y)
        float s, t, m;
        if (ax >= ay && ax >= az) {
            s = d.x >= 0.0f ? d.y : -d.y;
            t = -d.z;
            m = d.x >= 0.0f ? -d.x : d.x;
        } else if (ay >= az) {
            s = d.y <= 0.0f ? d.x : -d.x;
            t = -d.z;
            m = d.y <= 0.0f ? d.y : -d.y;
        } else {
            s = -d.x;
            t = d.z < 0.0f ? -d.y : d.y;
            m = d.z < 0.0f ? d.z : -d.z;
        }
        if (m != 0.0f) {
            u = (s / m + 1.0f) * 0.5f;
            v = (t / m + 1.0f) * 0.5f;
        }
    }
    if (!isfinite(u) || !isfinite(v) || fabsf(u) > 1.0e6f || fabsf(v) > 1.0e6f) u = v = 0.0f;
    const Tag texture = kor::eval(state, &params->texture);
    if (!texture) {
        const int cell = static_cast<int>(8.0f * u) + static_cast<int>(8.0f * v);
        *result = kPattern[((cell % 5) + 5) % 5];
        return 1;
    }
    const Vector3 coord{u, v, 0.0f};
    zo_lookup_color_texture(result, state, texture, &coord);
    kor::gammaApply(result, instance_gamma(state));
    return 1;
}

KOR_SHADER_INIT(kor_base_MeditBackground) {
    gamma_init(state, params, request);
}
KOR_SHADER_EXIT(kor_base_MeditBackground) {
    gamma_exit(state, params);
}
