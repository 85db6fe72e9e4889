// The ink and paint material: flat paint bands chosen by the light that
// reaches the point, an optional flat highlight, and ink where a disc of
// probe rays around the point finds an edge (outlines, overlaps and
// underlaps, material-id borders, smoothing creases).
#include <math.h>
#include <string.h>

#include "illum.h"
#include "kor_context.h"
#include "kor_rendelem.h"
#include "kor_support.h"
#include "kor_surface.h"
#include "kor_vector.h"
#include "scenedata.h"
#include "shader.h"

using kor::dot;
using kor::length;
using kor::unit;

namespace {

constexpr const char *kModule = "kor_inknpnt";
// Upper bound on the probe disc radius: (2q + 1)^2 probes per sample.
constexpr int kMaxQuality = 64;

struct InkNPaintParams {
    zoBoolean paintOffAtmosphere;
    zoBoolean bumpOn;
    int32_t unused0;
    int32_t mapCallExtra;
    zoBoolean twoSided;
    zoBoolean faceted;
    float bumpAmount;
    int32_t unused1;
    Tag bumpMap;  // raw
    int32_t unused2[2];
    zoBoolean opaqueAlpha;
    zoBoolean paintOn;
    Color litColor;
    float litMapAmount;
    zoBoolean litMapOn;
    Tag litMap;
    int32_t paintLevels;
    zoBoolean shadedFromLit;
    float shadedPercent;
    Color shadedColor;
    float shadedMapAmount;
    zoBoolean shadedMapOn;
    Tag shadedMap;
    float glossiness;
    zoBoolean highlightOn;
    Color highlightColor;
    float highlightMapAmount;
    zoBoolean highlightMapOn;
    Tag highlightMap;
    zoBoolean inkOn;
    zoBoolean clampWidth;
    zoBoolean variableWidth;
    int32_t inkQuality;
    float inkWidth;
    float inkWidthLimit;
    zoBoolean overlapInk;
    zoBoolean underlapInk;
    zoBoolean outlineInk;
    int32_t unused3;
    zoBoolean materialIdInk;
    zoBoolean smoothingInk;
    zoBoolean onlyAdjacentFaces;
    Color overlapColor;
    Color underlapColor;
    Color outlineColor;
    Color unusedColor;
    Color materialIdColor;
    Color smoothingColor;
    float outlineBias;
    float overlapBias;
    int32_t unused4[2];
    Tag widthMap;  // raw
    Tag outlineMap;
    Tag smoothingMap;
    Tag materialIdMap;
    Tag underlapMap;
    Tag overlapMap;
    zoBoolean widthMapOn;
    zoBoolean outlineMapOn;
    zoBoolean smoothingMapOn;
    zoBoolean materialIdMapOn;
    zoBoolean underlapMapOn;
    zoBoolean overlapMapOn;
    float outlineMapAmount;
    float smoothingMapAmount;
    float materialIdMapAmount;
    float widthMapAmount;
    float overlapMapAmount;
    float underlapMapAmount;
    int32_t materialId;
};
static_assert(sizeof(InkNPaintParams) == 396, "the declared record is 396 bytes");

// Per-thread record, built on the thread's first call.
struct ThreadRecord {
    int32_t zero;
    ShadingContext ctx;
    SceneData *scene;
};

// Light gathered by the light loop for one call.
struct InkLight {
    float lit;
    float highlight;
    float unshadowed;
    InkNPaintParams *params;
};

template <typename T>
T ev(RenderState *state, const T &param) {
    return kor::eval(state, &param);
}

ThreadRecord *thread_record(RenderState *state) {
    void *block = nullptr;
    if (!zo_query(ZO_Q_FUNC_TLS_GET, state, 0, &block)) return nullptr;
    if (block) return static_cast<ThreadRecord *>(block);
    auto *record =
        static_cast<ThreadRecord *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(ThreadRecord)));
    if (!record) return nullptr;
    memset(record, 0, sizeof *record);
    kor::contextCreate(&record->ctx, state);
    if (state->options && state->options->userdata) {
        void *data = nullptr;
        if (zo_query(ZO_Q_DATA_PARAM, state, state->options->userdata, &data))
            record->scene = static_cast<SceneData *>(data);
    }
    block = record;
    if (!zo_query(ZO_Q_FUNC_TLS_SET, state, 0, &block)) {
        kor::contextRelease(&record->ctx);
        zo_mem_int_release(kModule, __LINE__, record);
        return nullptr;
    }
    return record;
}

Color call_map(RenderState *state, Tag map, int mode, int32_t extra) {
    kor::MapRequest request{mode, 0, extra};
    Color c = {0, 0, 0, 0};
    if (!zo_call_shader_x(&c, ZO_SHADER_MAP, state, map, &request)) c = {0, 0, 0, 0};
    return c;
}

// `base` blended with its map by `amount` percent when the map applies.
Color with_map(RenderState *state, const InkNPaintParams *p, Color base, bool on, Tag map,
               float amount) {
    if (!on || !map) return base;
    const Color m = call_map(state, map, kor::kMapColor, ev(state, p->mapCallExtra));
    const float a = amount / 100.0f, b = 1.0f - a;
    return {b * base.r + a * m.r, b * base.g + a * m.g, b * base.b + a * m.b, b * base.a + a * m.a};
}

void light_callback(RenderState *state, Tag light, LightIllumRecord *record, void *user) {
    InkLight *ink = static_cast<InkLight *>(user);
    const InkNPaintParams *p = ink->params;
    const bool highlight_on = ev(state, p->highlightOn) != 0;
    const float exponent = powf(2.0f, 10.0f * ev(state, p->glossiness) / 100.0f);
    Color color;
    Vector3 dir;
    float dot_nl = 0.0f;
    int samples = 0;
    while (zo_sample_light(&color, &dir, &dot_nl, state, light, &samples)) {
        const int32_t bits = record ? record->affectBits : 3;
        if (dot_nl <= 0.0f || !(bits & 1)) continue;
        const float f = record && record->filled ? record->diffuseFactor : dot_nl;
        if (f <= 0.0f) continue;
        const float m = (color.r + color.g + color.b) * f / 3.0f;
        ink->lit += m;
        if (highlight_on && (bits & 2)) {
            Vector3 r = {0, 0, 0};
            zo_reflection_dir(&r, state);
            const float rl = dot(r, dir);
            if (rl > 0.0f && m > 0.25f) ink->highlight += powf(rl, exponent);
        }
    }

    // how squarely the light faces the point, shadows aside
    Tag instance = light;
    if (!zo_query(ZO_Q_LIGHT_INSTANCE, state, light, &instance) || !instance) instance = light;
    Vector3 local = {0, 0, 0};
    if (!zo_query(ZO_Q_LIGHT_ORIGIN, state, light, &local)) local = {0, 0, 0};
    const Tag saved = state->light_instance;
    state->light_instance = instance;
    Vector3 origin = local;
    zo_point_from_light(&origin, state, &local);
    state->light_instance = saved;
    Vector3 l0 = state->point - origin;
    const float len = length(l0);
    if (len > 0.0f) l0 = l0 / len;
    ink->unshadowed += (1.0f - dot(state->normal, l0)) * 0.5f;
}

// A triangle's vertex references: the mesh object it belongs to and its
// three vertex indices there. Where the host keeps no mesh record for it,
// its instance and object-space corner positions stand in.
struct TriangleVertices {
    Tag object = 0;  // 0: not known
    uint32_t index[3] = {0, 0, 0};
    Tag instance = 0;
    Vector3 corner[3] = {};
    bool cornersKnown = false;
};

TriangleVertices triangle_vertices(RenderState *state) {
    TriangleVertices t;
    t.instance = state->instance;
    if (state->instance && state->pri_index >= 0) {
        Tag object = 0;
        if (const auto *inst =
                static_cast<const zoInstanceRecord *>(zo_db_access(state->instance))) {
            object = inst->item;
            zo_db_unpin(state->instance);
        }
        if (object && zo_db_type(object) == ZO_DB_MESH) {
            const auto *m = static_cast<const zoMeshRecord *>(zo_db_access(object));
            const int64_t first = 3 * static_cast<int64_t>(state->pri_index);
            if (m && m->indices && first + 2 < m->index_count) {
                for (int i = 0; i < 3; ++i) t.index[i] = m->indices[first + i];
                t.object = object;
            }
            if (m) zo_db_unpin(object);
        }
    }
    if (!t.object) t.cornersKnown = zo_tri_vectors(state, ZO_TRI_POSITION, 0, t.corner) != 0;
    return t;
}

// Whether two triangles share a vertex: one of the same mesh's vertices, not
// merely a vertex at the same place (the corners of a box's faces meet but
// are not shared).
bool share_vertex(const TriangleVertices &a, const TriangleVertices &b) {
    if (a.object || b.object) {
        if (a.object != b.object) return false;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                if (a.index[i] == b.index[j]) return true;
        return false;
    }
    if (!a.cornersKnown || !b.cornersKnown || a.instance != b.instance) return false;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (a.corner[i].x == b.corner[j].x && a.corner[i].y == b.corner[j].y &&
                a.corner[i].z == b.corner[j].z)
                return true;
    return false;
}

int face_label(RenderState *state) {
    int label = -1;
    if (!zo_query(ZO_Q_PRI_LABEL, state, 0, &label)) return -1;
    return label;
}

// The probe from the ray origin through camera-space point `camera`; the
// hit state or null. The probe's hit state is the state's child until
// `ink_step` puts the sample's own child back.
RenderState *probe(RenderState *state, Vector3 camera) {
    Vector3 world;
    zo_point_from_camera(&world, state, &camera);
    const Vector3 dir = unit(world - state->org);
    if (!zo_trace_probe(state, &dir, &state->org)) return nullptr;
    return state->child;
}

bool ink_step(Color *result, RenderState *state, InkNPaintParams *p, ThreadRecord *thread,
              const InkLight &light) {
    Vector3 tri[3];
    if (!zo_tri_vectors(state, ZO_TRI_POSITION, 0, tri)) return false;

    // width in pixels at 640 pixels of image width
    const float width = ev(state, p->inkWidth), limit = ev(state, p->inkWidthLimit);
    const float base = width > limit ? limit : width;
    float w = ev(state, p->variableWidth) ? (base - limit) * light.unshadowed + limit : base;
    const float width_amount = ev(state, p->widthMapAmount);
    if (ev(state, p->widthMapOn) && width_amount != 0.0f && p->widthMap) {
        const Color m = call_map(state, p->widthMap, kor::kMapGrey, ev(state, p->mapCallExtra));
        const float g = (m.r + m.g + m.b) * 0.33333f;
        w += (width_amount / 100.0f) * ((limit - base) * g + base - w);
    }
    if (w < 0.0f) w = 0.0f;
    if (ev(state, p->clampWidth)) {
        if (w > limit) w = limit;
        if (w < base) w = base;
    }

    // the camera-space steps of one raster pixel
    int q = ev(state, p->inkQuality);
    if (q < 0) q = 0;
    if (q > kMaxQuality) q = kMaxQuality;
    float d[4];
    kor::baryDerivatives(state, &thread->ctx, kContextSurface, d);
    Vector3 cam[3];
    for (int i = 0; i < 3; ++i) {
        Vector3 internal;
        zo_point_from_object(&internal, state, &tri[i]);
        zo_point_to_camera(&cam[i], state, &internal);
    }
    const Vector3 e1 = cam[1] - cam[0], e2 = cam[2] - cam[0];
    const Vector3 dpdx = e1 * d[0] + e2 * d[2], dpdy = e1 * d[1] + e2 * d[3];
    const float xres =
        state->camera && state->camera->x_resolution > 0 ? state->camera->x_resolution : 640.0f;
    const float scale = q > 0 ? w * xres / 640.0f / q : 0.0f;
    const Vector3 fullX = dpdx * scale, fullY = dpdy * scale;
    const Vector3 halfX = fullX * 0.5f, halfY = fullY * 0.5f;
    Vector3 center;
    zo_point_to_camera(&center, state, &state->point);

    // what the sample is
    const bool overlap_on = ev(state, p->overlapInk) != 0;
    const bool underlap_on = ev(state, p->underlapInk) != 0;
    const bool smoothing_on = ev(state, p->smoothingInk) != 0;
    const bool material_on = ev(state, p->materialIdInk) != 0;
    const bool adjacent_only = ev(state, p->onlyAdjacentFaces) != 0;
    const float outline_bias = ev(state, p->outlineBias), overlap_bias = ev(state, p->overlapBias);
    const int face = overlap_on || underlap_on ? face_label(state) : -1;
    const int group = smoothing_on ? GetFaceSmoothingGroup(state) : 0;
    const int material = material_on ? GetMaterialID(state) : 0;
    const double dist = state->dist;
    const Tag instance = state->instance;
    const Vector3 normal = state->normal;

    uint32_t disc = 0, covered = 0;
    bool overlap = false, underlap = false, crease = false, border = false;
    TriangleVertices own;
    if (overlap_on || underlap_on || (material_on && adjacent_only)) own = triangle_vertices(state);
    void *const pri = state->pri;
    RenderState *const child = state->child;
    state->pri = nullptr;
    int k = 0;
    for (int i = -q; i <= q; ++i) {
        for (int j = -q; j <= q; ++j) {
            ++k;
            if (i * i + j * j > q * q) continue;
            const uint32_t bit = 1u << (k % 32);
            disc |= bit;
            RenderState *hit = probe(
                state, center + fullX * static_cast<float>(i) + fullY * static_cast<float>(j));
            if (!hit) continue;
            const bool same = hit->instance == instance;
            const double hit_dist = hit->dist;
            if (same || hit_dist - outline_bias < dist) covered |= bit;

            TriangleVertices hit_tri;
            bool hit_tri_read = false;
            auto shares = [&]() {
                if (!hit_tri_read) hit_tri = triangle_vertices(hit);
                hit_tri_read = true;
                return share_vertex(own, hit_tri);
            };
            if (same && (overlap_on || underlap_on) && face_label(hit) != face) {
                const double delta = hit_dist - dist;
                if (overlap_on && delta >= overlap_bias && !shares()) overlap = true;
                if (underlap_on && delta <= -overlap_bias && !shares()) underlap = true;
            }
            if (material_on && GetMaterialID(hit) != material && (!adjacent_only || shares()))
                border = true;
            if (smoothing_on && !crease) {
                const int h = GetFaceSmoothingGroup(hit);
                const Vector3 half =
                    center + halfX * static_cast<float>(i) + halfY * static_cast<float>(j);
                if (group == 0 && h == 0) {
                    if (RenderState *second = probe(state, half))
                        crease = dot(second->normal, normal) < 0.9f;
                } else if (group != 0 && (group & h) == 0 && same) {
                    if (RenderState *second = probe(state, half))
                        crease = (GetFaceSmoothingGroup(second) & group) == 0;
                }
            }
        }
    }
    state->pri = pri;
    state->child = child;
    if (!covered) return false;

    bool inked = false;
    Color c = {0, 0, 0, 1};
    if (border) {
        c = with_map(state, p, ev(state, p->materialIdColor), ev(state, p->materialIdMapOn) == 1,
                     ev(state, p->materialIdMap), ev(state, p->materialIdMapAmount));
        inked = true;
    }
    if (crease) {
        c = with_map(state, p, ev(state, p->smoothingColor), ev(state, p->smoothingMapOn) == 1,
                     ev(state, p->smoothingMap), ev(state, p->smoothingMapAmount));
        inked = true;
    }
    if (overlap) {
        c = with_map(state, p, ev(state, p->overlapColor), ev(state, p->overlapMapOn) == 1,
                     ev(state, p->overlapMap), ev(state, p->overlapMapAmount));
        inked = true;
    }
    if (underlap) {
        c = with_map(state, p, ev(state, p->underlapColor), ev(state, p->underlapMapOn) == 1,
                     ev(state, p->underlapMap), ev(state, p->underlapMapAmount));
        inked = true;
    }
    if (ev(state, p->outlineInk) && covered != disc) {
        c = with_map(state, p, ev(state, p->outlineColor), ev(state, p->outlineMapOn) == 1,
                     ev(state, p->outlineMap), ev(state, p->outlineMapAmount));
        inked = true;
    }
    if (inked) {
        result->r = c.r;
        result->g = c.g;
        result->b = c.b;
    }
    return inked;
}

void paint_step(Color *result, RenderState *state, InkNPaintParams *p, const InkLight &light) {
    if (!ev(state, p->paintOn)) {
        if (state->type == ZO_RAY_SHADOW) {
            *result = {0, 0, 0, 1};
            return;
        }
        const Tag environment = state->environment, volume = state->volume;
        if (!state->environment && state->camera) state->environment = state->camera->environment;
        if (!ev(state, p->paintOffAtmosphere)) state->volume = 0;
        if (state->type == ZO_RAY_ENVIRONMENT || !zo_trace_environment(result, state, &state->dir))
            *result = {0, 0, 0, 1};
        state->environment = environment;
        state->volume = volume;
        return;
    }
    const Color lit = with_map(state, p, ev(state, p->litColor), ev(state, p->litMapOn) != 0,
                               ev(state, p->litMap), ev(state, p->litMapAmount));
    Color dark;
    if (ev(state, p->shadedFromLit)) {
        const float s = ev(state, p->shadedPercent) / 100.0f;
        dark = {lit.r * s, lit.g * s, lit.b * s, lit.a * s};
    } else {
        dark = with_map(state, p, ev(state, p->shadedColor), ev(state, p->shadedMapOn) != 0,
                        ev(state, p->shadedMap), ev(state, p->shadedMapAmount));
    }
    Color paint = lit;
    const int n = ev(state, p->paintLevels);
    for (int k = 0; k <= n - 2; ++k) {
        const float t = static_cast<float>(k) / (n - 1);
        if (light.lit < t + 0.01f) {
            paint = {dark.r + t * (lit.r - dark.r), dark.g + t * (lit.g - dark.g),
                     dark.b + t * (lit.b - dark.b), 1.0f};
            break;
        }
    }
    if (ev(state, p->highlightOn) && light.highlight > 0.25f)
        paint = with_map(state, p, ev(state, p->highlightColor), ev(state, p->highlightMapOn) != 0,
                         ev(state, p->highlightMap), ev(state, p->highlightMapAmount));
    *result = {paint.r, paint.g, paint.b, 1.0f};
}

}  // namespace

KOR_EXPORT zoBoolean kor_InkNPaint(Color *result, RenderState *state, InkNPaintParams *p) {
    if (!result || !state || !p) return 0;
    if (!state->pri) return 0;
    const int32_t material_id = ev(state, p->materialId);
    if (state->type == ZO_RAY_EYE && material_id) zo_fb_put(state, 0, &material_id);

    ThreadRecord *thread = thread_record(state);
    static ThreadRecord fallback;  // zero context when the host keeps no thread pointers
    if (!thread) thread = &fallback;

    const int type = state->type;
    if (type != ZO_RAY_SHADOW) {
        const bool culled = type != ZO_RAY_REFRACT && !(type >= 13 && type <= 15);
        const bool two_sided = ev(state, p->twoSided) || (thread->scene && thread->scene->twoSided);
        if (culled && !two_sided && state->inv_normal) return kor::surfaceHide(result, state);
    }

    // shading normal
    const Vector3 normal = state->normal;
    const float dot_nd = state->dot_nd;
    bool changed = false;
    if (ev(state, p->faceted)) {
        state->normal = state->normal_geom;
        changed = true;
    }
    if (ev(state, p->bumpOn) && p->bumpMap) {
        kor::MapRequest request{kor::kMapBump, 0, ev(state, p->mapCallExtra)};
        Color b;
        if (zo_call_shader_x(&b, ZO_SHADER_MAP, state, p->bumpMap, &request)) {
            float a = ev(state, p->bumpAmount) / 100.0f;
            if (state->inv_normal) a = -a;
            state->normal = unit(state->normal + Vector3{b.r, b.g, b.b} * a);
            state->dot_nd = dot(state->normal, state->dir);
            changed = true;
        }
    }

    InkLight light = {0.0f, 0.0f, 0.0f, p};
    IllumAccumulate(state, light_callback, &light);

    if (changed) {
        state->normal = normal;
        state->dot_nd = dot_nd;
    }

    result->a = 1.0f;
    bool inked = false;
    if (ev(state, p->inkOn)) inked = ink_step(result, state, p, thread, light);
    if (!inked) {
        paint_step(result, state, p, light);
        if (ev(state, p->opaqueAlpha)) result->a = 1.0f;
    }

    if (RenderElementsAreBeingUsed(state)) {
        RenderElementPostIllumData data;
        InitializeRenderElementPostIllumData(state, &data);
        ClearInputs(&data.illum);
        ClearOutputs(&data.illum);
        data.illum.litScale = 1.0f;
        if (inked) {
            data.flags = kElementExtra2Valid;
            data.extraColor2 = *result;
        } else {
            data.flags = kElementExtra1Valid;
            data.extraColor1 = *result;
        }
        data.materialId = material_id;
        kor_CallRenderElementShaders_PostIllum(state, &data);
    }
    return 1;
}

KOR_SHADER_EXIT(kor_InkNPaint) {
    if (!params) return;
    kor::for_each_thread_block(state, [](void *block) {
        kor::contextRelease(&static_cast<ThreadRecord *>(block)->ctx);
        zo_mem_int_release(kModule, __LINE__, block);
    });
}
