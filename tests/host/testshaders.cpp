// Shaders that exercise the reference host's runtime: queries, per-thread
// pointers, shader state, frame buffers, lens and output calls, record
// layout. Loaded by korrender like the shader library; they call the host
// functions directly.
#include "testshaders.h"

#include <korshaders/host.h>

#include <cstddef>
#include <cstring>

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT void zoSetModuleHandle(void *) {}

namespace {
template <typename T>
const T &eval(RenderState *state, const T *param) {
    const zoShaderRecord *shader = state->shader;
    if (shader && shader->ghost_offset &&
        *reinterpret_cast<const int32_t *>(reinterpret_cast<const char *>(param) +
                                           shader->ghost_offset))
        return *static_cast<const T *>(zo_phen_eval(state, const_cast<T *>(param)));
    return *param;
}
}  // namespace

EXPORT int test_layout_version(void) {
    return 1;
}
EXPORT zoBoolean test_layout(Color *result, RenderState *, LayoutParams *p) {
    // Element k lies at slot + start + k, beyond the declared one-element
    // slot: index from a plain pointer, never from the array member.
    const float *slot = reinterpret_cast<const float *>(reinterpret_cast<const char *>(&p->values) +
                                                        offsetof(decltype(p->values), storage));
    float sum = 0;
    for (int k = 0; k < p->values.count; ++k) sum += slot[p->values.start + k];
    *result = Color{p->flag + p->scale, sum, p->v.x + p->c.g + p->inner.a, p->shader ? 1.0f : 0.5f};
    return 1;
}

// Texture space 0 of the hit and the number of texture spaces.
EXPORT int test_uv_version(void) {
    return 1;
}
EXPORT zoBoolean test_uv(Color *result, RenderState *state, void *) {
    Vector3 t;
    if (!zo_texture_interpolate(&t, state, 0)) return 0;
    int spaces = 0;
    zo_query(ZO_Q_NUM_TEXTURES, state, 0, &spaces);
    *result = Color{t.x, t.y, static_cast<float>(spaces), 1};
    return 1;
}

// Object data (first float), node data (the float at byte 20: the host's
// light-list header fills the first 16 bytes), name length.
EXPORT int test_query_version(void) {
    return 1;
}
EXPORT zoBoolean test_query(Color *result, RenderState *state, void *) {
    Tag tag = 0;
    void *block = nullptr;
    float object_value = -1, node_value = -1;
    if (zo_query(ZO_Q_OBJ_DATA, state, 0, &tag) && tag &&
        zo_query(ZO_Q_DATA_PARAM, nullptr, tag, &block) && block)
        object_value = *static_cast<float *>(block);
    tag = 0;
    if (zo_query(ZO_Q_INST_DATA, nullptr, state->instance, &tag) && tag &&
        zo_query(ZO_Q_DATA_PARAM, nullptr, tag, &block) && block)
        node_value = *reinterpret_cast<float *>(static_cast<char *>(block) + 20);
    const char *name = nullptr;
    zo_query(ZO_Q_FUNC_NAME, state, 0, &name);
    *result = Color{object_value, node_value, name ? static_cast<float>(strlen(name)) : -1, 1};
    return 1;
}

// Counts its calls per render thread in the host's per-thread slot; the
// instance exit adds them up and reports the total.
EXPORT int test_count_version(void) {
    return 1;
}
EXPORT void test_count_init(RenderState *state, void *params, zoBoolean *request) {
    if (!params) {
        *request = 1;
        return;
    }
    void **slot = nullptr;
    if (zo_query(ZO_Q_FUNC_USERPTR, state, 0, &slot) && slot)
        *slot = zo_mem_int_allocate("testshaders", __LINE__, 16);
}
EXPORT zoBoolean test_count(Color *result, RenderState *state, void *) {
    void *block = nullptr;
    zo_query(ZO_Q_FUNC_TLS_GET, state, 0, &block);
    if (!block) {
        block = zo_mem_int_allocate("testshaders", __LINE__, sizeof(long));
        zo_query(ZO_Q_FUNC_TLS_SET, state, 0, &block);
    }
    ++*static_cast<long *>(block);
    *result = Color{1, 1, 1, 1};
    return 1;
}
EXPORT void test_count_exit(RenderState *state, void *params) {
    if (!params) {
        zo_info("test_count shader exit");
        return;
    }
    void **all = nullptr;
    int count = 0;
    long total = 0;
    if (zo_query(ZO_Q_FUNC_TLS_GETALL, state, 0, &all, &count) && all) {
        for (int i = 0; i < count; ++i) {
            if (!all[i]) continue;
            total += *static_cast<long *>(all[i]);
            zo_mem_int_release("testshaders", __LINE__, all[i]);
            all[i] = nullptr;
        }
    }
    void **slot = nullptr;
    if (zo_query(ZO_Q_FUNC_USERPTR, state, 0, &slot) && slot && *slot) {
        zo_mem_int_release("testshaders", __LINE__, *slot);
        *slot = nullptr;
    }
    zo_info("test_count calls=%ld threads=%d 100%%", total, count);
}

// Publishes its colour under a shader-state key, then runs its sub-shader
// as a map.
struct StateWriteParams {
    Color value;
    Tag sub;
};
EXPORT int test_state_write_version(void) {
    return 1;
}
EXPORT zoBoolean test_state_write(Color *result, RenderState *state, StateWriteParams *p) {
    zo_shaderstate_set(state, "TEST_KEY", &p->value, sizeof(Color), ZO_SHADERSTATE_RAY_TREE);
    return zo_call_shader_x(result, ZO_SHADER_MAP, state, p->sub, nullptr);
}

// The value under the key (-1 when absent) and the call type.
EXPORT int test_state_read_version(void) {
    return 1;
}
EXPORT zoBoolean test_state_read(Color *result, RenderState *state, void *) {
    int size = 0;
    const Color *c = static_cast<const Color *>(zo_shaderstate_get(state, "TEST_KEY", &size));
    int type = -1;
    zo_query(ZO_Q_FUNC_CALLTYPE, state, 0, &type);
    *result =
        Color{c ? c->r : -1, c ? c->g : -1, static_cast<float>(type), static_cast<float>(size)};
    return 1;
}

// Fails without writing.
EXPORT int test_fail_version(void) {
    return 1;
}
EXPORT zoBoolean test_fail(Color *, RenderState *, void *) {
    return 0;
}

// Writes an integer into user frame buffer 0 and its colour into buffer 1.
struct FbParams {
    int32_t id;
    Color color;
};
EXPORT int test_fb_version(void) {
    return 1;
}
EXPORT zoBoolean test_fb(Color *result, RenderState *state, FbParams *p) {
    zo_fb_put(state, 0, &p->id);
    zo_fb_put(state, 1, &p->color);
    *result = p->color;
    return 1;
}

// A lens shader: traces the eye ray and scales what comes back.
struct LensParams {
    float scale;
};
EXPORT int test_lens_version(void) {
    return 1;
}
EXPORT zoBoolean test_lens(Color *result, RenderState *state, LensParams *p) {
    Vector3 org = state->org, dir = state->dir;
    zoBoolean ok = zo_trace_eye(result, state, &org, &dir);
    result->r *= p->scale;
    result->g *= p->scale;
    result->b *= p->scale;
    return ok;
}

// An output shader: replaces every pixel's colour by 1 - colour.
EXPORT int test_invert_version(void) {
    return 1;
}
EXPORT zoBoolean test_invert(void *, RenderState *state, void *) {
    zoImage *img = zo_output_image_open(state, 0);
    if (!img) return 0;
    for (int y = 0; y < zo_img_get_height(img); ++y)
        for (int x = 0; x < zo_img_get_width(img); ++x) {
            Color c;
            zo_img_get_color(img, &c, x, y);
            c = Color{1 - c.r, 1 - c.g, 1 - c.b, c.a};
            zo_img_put_color(img, &c, x, y);
        }
    zo_output_image_close(state, 0);
    return 1;
}

// Raster position of the sample and of the hit point.
EXPORT int test_raster_version(void) {
    return 1;
}
EXPORT zoBoolean test_raster(Color *result, RenderState *state, void *) {
    Vector3 r;
    zo_point_to_raster(&r, state, &state->point);
    *result = Color{state->raster_x - r.x, state->raster_y - r.y, state->raster_y, 1};
    return 1;
}

// A shader whose declared version differs from this one.
EXPORT int test_versioned_version(void) {
    return 7;
}
EXPORT zoBoolean test_versioned(Color *result, RenderState *, void *) {
    *result = Color{0, 0, 0, 1};
    return 1;
}

// The texture at texture space 0 of the hit.
struct TextureParams {
    Tag texture;
};
EXPORT int test_texture_version(void) {
    return 1;
}
EXPORT zoBoolean test_texture(Color *result, RenderState *state, TextureParams *p) {
    Vector3 t;
    if (!zo_texture_interpolate(&t, state, 0)) return 0;
    return zo_lookup_color_texture(result, state, p->texture, &t);
}
