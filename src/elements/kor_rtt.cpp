// Render to texture: the bake lens. Each raster position is a UV of the
// working model; the grid finds the triangle under it and the lens shades
// the surface point there (or, with projection, the surface of a target
// object found along a probe ray from a cage or an offset surface), while
// the shading context takes its triangles from the lens's hook.
#include "kor_rtt.h"

#include <math.h>
#include <string.h>

#include "RTTGridAccelerator.h"
#include "kor_context.h"
#include "kor_rttlens.h"
#include "kor_statekeys.h"
#include "kor_vector.h"
#include "scenedata.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "kor_rtt";
constexpr const char *kKeyTriangle = "KEY_9";
constexpr int kProjectionBuffer = 7;
constexpr int kMaxProbeSteps = 16;    // surfaces a probe passes on its way to a target
constexpr float kHeightGap = 0.001f;  // heightMax stays at least this above heightMin

struct RttProjection {
    Tag *targets;  // copies of the target instances
    int targetCount;
    const uint8_t *selection;  // bits over the first target's triangles, or null
    Tag selectionTarget;
    Tag cage;  // 0: search from the offset surface
    Tag cageObject;
    const zoMeshRecord *cageMesh;
    float cageTransform[16];
    float offset;
    int twoSided;
};

struct RttLensCache {
    Tag workingInstance;
    int uvChannel;
    int projectionOn;
    int useWorkingModelOnMiss;
    int flipNormalX, flipNormalY;
    int normalSpace;
    float heightMin, heightMax;
    Color backgroundColor;
    RTTGridAccelerator grid;
    RttProjection *projection;
    Tag material;  // the working instance's material
    int32_t label, id;
    uint32_t warnedCage;  // warn-once word
};

void publishHook(RenderState *state, RttThreadRecord *rec) {
    const TriangleHook hook = {kor::rttCameraTriangle, kor::rttRasterTriangle, rec};
    kor::markStateKeyStored(kor::kOwnKeyTriangleHook);
    zo_shaderstate_set(state, kKeyTriangle, &hook, sizeof hook, ZO_SHADERSTATE_SAMPLE);
}

void clearSlots(RenderState *state) {
    zo_shaderstate_set(state, kKeyTriangle, nullptr, 0, ZO_SHADERSTATE_SAMPLE);
    zo_shaderstate_set(state, KOR_KEY_PROJECTION, nullptr, 0, ZO_SHADERSTATE_SAMPLE);
}

// ---------------------------------------------------------------------------
// Shading.

// The state a material sees on the working model at the hit: looking
// straight down the normal onto the point.
void workingState(const RttLensCache *cache, RttThreadRecord *rec, RenderState *state) {
    const RTTGridAccelerator &g = cache->grid;
    const RttSurfaceHit &hit = rec->working;
    RenderState &s = rec->shade;
    s = *state;
    s.parent = nullptr;
    s.child = nullptr;
    s.type = ZO_RAY_EYE;
    s.inv_normal = 0;
    s.point = hit.point;
    s.normal = hit.normal;
    const Vector3 geom =
        kor::cross(hit.vertices[1] - hit.vertices[0], hit.vertices[2] - hit.vertices[0]);
    s.normal_geom = kor::length(geom) > 0 ? kor::unit(geom) : hit.normal;
    if (kor::dot(s.normal_geom, s.normal) < 0) s.normal_geom = -s.normal_geom;
    s.dir = -hit.normal;
    s.org = hit.point + hit.normal;
    s.dist = 1.0;
    s.dot_nd = -1.0f;
    for (int i = 0; i < 3; ++i) s.bary[i] = hit.bary[i];
    s.bary[3] = 0.0f;
    const zoMeshRecord *m = g.mesh;
    const uint32_t *corner = m->indices + 3 * hit.triangle;
    const int spaces = m->texture_spaces < ZO_MESH_MAX_TEXTURE_SPACES ? m->texture_spaces
                                                                      : ZO_MESH_MAX_TEXTURE_SPACES;
    for (int k = 0; k < spaces; ++k) {
        Vector3 t = {0, 0, 0};
        for (int i = 0; i < 3; ++i) {
            const float *v = m->vertices + static_cast<size_t>(corner[i]) * m->vertex_stride +
                             m->texture_offset + 3 * k;
            t += Vector3{v[0], v[1], v[2]} * hit.bary[i];
        }
        rec->tex[k] = t;
    }
    s.tex_list = spaces ? rec->tex : nullptr;
    s.tex_count = spaces;
    s.pri_index = hit.triangle;
    s.pri = const_cast<uint32_t *>(corner);
    s.motion = {0, 0, 0};
    s.instance = cache->workingInstance;
    s.material = cache->material;
    s.label = cache->label;
    s.object_id = cache->id;
    s.volume = 0;  // the baked surface is seen from up close, not through the camera's air
}

// ---------------------------------------------------------------------------
// Projection.

bool isTarget(const RttLensCache *cache, const RenderState *hit) {
    const RttProjection *p = cache->projection;
    if (!hit->instance || hit->instance == cache->workingInstance || hit->instance == p->cage)
        return false;
    if (p->targetCount > 0) {
        bool listed = false;
        for (int i = 0; i < p->targetCount && !listed; ++i) listed = p->targets[i] == hit->instance;
        if (!listed) return false;
    }
    if (p->selection && hit->instance == p->selectionTarget && hit->pri_index >= 0)
        return (p->selection[hit->pri_index / 8] >> (hit->pri_index % 8)) & 1;
    return true;
}

// The first target along the ray within `reach`; passes other surfaces.
RenderState *probeTarget(const RttLensCache *cache, RenderState *state, Vector3 origin, Vector3 dir,
                         float reach, float *distance) {
    const float step = 1e-4f * fmaxf(1.0f, kor::length(origin));
    float travelled = 0.0f;
    for (int k = 0; k < kMaxProbeSteps; ++k) {
        if (!zo_trace_probe(state, &dir, &origin) || !state->child) return nullptr;
        RenderState *hit = state->child;
        const float t = travelled + static_cast<float>(hit->dist);
        if (t > reach) return nullptr;
        if (isTarget(cache, hit)) {
            *distance = t;
            return hit;
        }
        travelled = t + step;
        origin = hit->point + dir * step;
    }
    return nullptr;
}

// The cage point over the working hit: the same weights on the cage face.
bool cagePoint(RttLensCache *cache, RenderState *state, const RttSurfaceHit &hit, Vector3 *out) {
    const RttProjection *p = cache->projection;
    const zoMeshRecord *m = p->cageMesh;
    if (!m || m->index_count / 3 <= hit.triangle) {
        if (!cache->warnedCage) {
            cache->warnedCage = 1;
            zo_warning("RTT Projection: Could not match working model face #%d with cage.",
                       hit.triangle);
        }
        return false;
    }
    const float *t = p->cageTransform;
    Vector3 sum = {0, 0, 0};
    for (int i = 0; i < 3; ++i) {
        const float *v =
            m->vertices + static_cast<size_t>(m->indices[3 * hit.triangle + i]) * m->vertex_stride;
        const Vector3 world = {v[0] * t[0] + v[1] * t[4] + v[2] * t[8] + t[12],
                               v[0] * t[1] + v[1] * t[5] + v[2] * t[9] + t[13],
                               v[0] * t[2] + v[1] * t[6] + v[2] * t[10] + t[14]};
        Vector3 internal;
        zo_point_from_world(&internal, state, &world);
        sum += internal * hit.bary[i];
    }
    *out = sum;
    return true;
}

// Finds the projected surface for the working hit and copies its hit state
// into `out`; *along is the signed distance from the working point to it
// along the search, positive away from the surface.
bool project(RttLensCache *cache, RenderState *state, const RttSurfaceHit &hit, RenderState *out,
             float *along) {
    const RttProjection *p = cache->projection;
    Vector3 origin, dir;
    float reach;
    if (p->cage) {
        if (!cagePoint(cache, state, hit, &origin)) return false;
        const Vector3 d = hit.point - origin;
        reach = kor::length(d);
        dir = reach > 0.0f ? d / reach : -hit.normal;
    } else {
        reach = p->offset;
        origin = hit.point + hit.normal * p->offset;
        dir = -hit.normal;
    }
    float t1 = 0.0f, t2 = 0.0f;
    bool found = false;
    if (RenderState *first = probeTarget(cache, state, origin, dir, reach, &t1)) {
        *out = *first;
        *along = reach - t1;
        found = true;
    }
    if (p->twoSided) {
        RenderState *second = probeTarget(cache, state, hit.point, dir, 1e36f, &t2);
        if (second && (!found || t2 < fabsf(reach - t1))) {
            *out = *second;
            *along = -t2;
            found = true;
        }
    }
    return found;
}

// ---------------------------------------------------------------------------

void releaseCache(RttLensCache *cache) {
    if (!cache) return;
    kor::rttGridRelease(&cache->grid);
    if (RttProjection *p = cache->projection) {
        if (p->targets) zo_mem_int_release(kModule, __LINE__, p->targets);
        if (p->cageMesh) zo_db_unpin(p->cageObject);
        zo_mem_int_release(kModule, __LINE__, p);
    }
    zo_mem_int_release(kModule, __LINE__, cache);
}

RttProjection *setupProjection(RenderState *state, const RttLensParams *params) {
    auto *p =
        static_cast<RttProjection *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(RttProjection)));
    if (!p) return nullptr;
    const kor::ParamArray<Tag> &list = params->projectionTargets;
    if (list.count > 0) {
        p->targets = static_cast<Tag *>(
            zo_mem_int_allocate(kModule, __LINE__, static_cast<int>(sizeof(Tag) * list.count)));
        if (p->targets) {
            for (int i = 0; i < list.count; ++i) p->targets[i] = list[list.start + i];
            p->targetCount = list.count;
        }
    }
    p->offset = fmaxf(kor::eval_value(state, &params->rayOffset), 0.0f);
    p->twoSided = kor::eval_value(state, &params->twoSided) != 0;
    const Tag cage = kor::eval_value(state, &params->cageInstance);
    if (kor::eval_value(state, &params->useCage) && cage) {
        const auto *inst = static_cast<const zoInstanceRecord *>(zo_db_access(cage));
        if (inst) {
            memcpy(p->cageTransform, inst->to_world, sizeof p->cageTransform);
            const Tag object = inst->item;
            zo_db_unpin(cage);
            if (object && zo_db_type(object) == ZO_DB_MESH) {
                p->cage = cage;
                p->cageObject = object;
                p->cageMesh = static_cast<const zoMeshRecord *>(zo_db_access(object));
            }
        }
    }
    // Sub-object selection: bits over the first target's triangles.
    const Tag selection = kor::eval_value(state, &params->projectionSelection);
    if (selection) {
        void *data = nullptr;
        int size = 0;
        int triangles = -1;
        if (p->targetCount > 0) {
            const auto *inst = static_cast<const zoInstanceRecord *>(zo_db_access(p->targets[0]));
            if (inst) {
                const Tag object = inst->item;
                zo_db_unpin(p->targets[0]);
                if (object && zo_db_type(object) == ZO_DB_MESH) {
                    const auto *m = static_cast<const zoMeshRecord *>(zo_db_access(object));
                    if (m) triangles = m->index_count / 3;
                    zo_db_unpin(object);
                }
            }
        }
        if (triangles >= 0 && zo_query(ZO_Q_DATA_PARAM, state, selection, &data) && data &&
            zo_query(ZO_Q_DATA_SIZE, state, selection, &size) &&
            static_cast<long>(size) * 8 >= triangles) {
            p->selection = static_cast<const uint8_t *>(data);
            p->selectionTarget = p->targets[0];
        } else {
            zo_warning(
                "RTT Projection: Invalid sub-object selection. Ignoring sub-object "
                "selection.");
        }
    }
    return p;
}

}  // namespace

KOR_SHADER_INIT(kor_rtt_lens) {
    if (!params) {
        if (request) *request = 1;
        return;
    }
    void **slot = kor::user_slot(state);
    if (!slot) return;
    const auto *p = static_cast<const RttLensParams *>(params);
    auto *cache =
        static_cast<RttLensCache *>(zo_mem_int_allocate(kModule, __LINE__, sizeof(RttLensCache)));
    if (!cache) return;
    *slot = cache;
    cache->workingInstance = kor::eval_value(state, &p->workingInstance);
    cache->projectionOn = kor::eval_value(state, &p->projectionOn) != 0;
    cache->useWorkingModelOnMiss = kor::eval_value(state, &p->useWorkingModelOnMiss) != 0;
    cache->flipNormalX = kor::eval_value(state, &p->flipNormalX) != 0;
    cache->flipNormalY = kor::eval_value(state, &p->flipNormalY) != 0;
    cache->normalSpace = kor::eval_value(state, &p->normalSpace);
    cache->heightMin = kor::eval_value(state, &p->heightMin);
    cache->heightMax = kor::eval_value(state, &p->heightMax);
    if (!(cache->heightMax > cache->heightMin)) cache->heightMax = cache->heightMin + kHeightGap;
    cache->backgroundColor = kor::eval_value(state, &p->backgroundColor);

    // Map channel to texture space: through the object data when there is
    // some, else map channel n is texture space n - 1.
    const int channelId = kor::eval_value(state, &p->uvChannelId);
    ObjectData *objectData = GetObjectDataFromInstance(cache->workingInstance);
    cache->uvChannel =
        objectData ? GetUVChannelIndexFromID(state, objectData, channelId) : channelId - 1;

    if (const auto *inst =
            static_cast<const zoInstanceRecord *>(zo_db_access(cache->workingInstance))) {
        cache->material = inst->material;
        cache->label = inst->label;
        cache->id = inst->id;
        zo_db_unpin(cache->workingInstance);
    }
    const bool usable = kor::rttGridSetup(&cache->grid, cache->workingInstance, cache->uvChannel,
                                          kor::eval_value(state, &p->triangleSelection));
    if (!usable) {
        zo_warning("\"%s\": the working instance does not place a mesh object",
                   kor::shader_name(state));
        zo_error("Render to Texture: Failed to create acceleration structure (unkown error).");
    } else if (cache->uvChannel < 0 || cache->uvChannel >= cache->grid.mesh->texture_spaces) {
        zo_warning("\"%s\": map channel %d is not a texture space of the working instance",
                   kor::shader_name(state), channelId);
    }
    if (usable) kor::rttGridBuild(&cache->grid, state);
    if (cache->projectionOn) cache->projection = setupProjection(state, p);
}

KOR_SHADER_EXIT(kor_rtt_lens) {
    if (!params) return;
    kor::for_each_thread_block(state,
                               [](void *block) { zo_mem_int_release(kModule, __LINE__, block); });
    void **slot = kor::user_slot(state);
    if (!slot || !*slot) return;
    releaseCache(static_cast<RttLensCache *>(*slot));
    *slot = nullptr;
}

KOR_EXPORT zoBoolean kor_rtt_lens(Color *result, RenderState *state, void *) {
    if (!result || !state) return 0;
    void **slot = kor::user_slot(state);
    auto *cache = slot ? static_cast<RttLensCache *>(*slot) : nullptr;
    auto *rec = static_cast<RttThreadRecord *>(
        kor::thread_block(state, kModule, __LINE__, sizeof(RttThreadRecord)));
    if (!cache || !rec || !state->camera) return 0;

    rec->xres = static_cast<float>(state->camera->x_resolution);
    rec->yres = static_cast<float>(state->camera->y_resolution);
    const float u = rec->xres > 0 ? state->raster_x / rec->xres : 0.0f;
    const float v = rec->yres > 0 ? state->raster_y / rec->yres : 0.0f;

    // Off the UV islands: the scene as the camera sees it.
    auto traceEye = [&]() -> zoBoolean {
        *result = cache->backgroundColor;
        if (!GetSceneData(state)) return 0;
        zoRay ray;
        if (!zo_query(ZO_Q_EYE_RAY, state, 0, &ray)) {
            ray.org = state->org;
            ray.dir = state->dir;
        }
        double start = 0.0, stop = 0.0;
        zo_ray_falloff(state, &start, &stop);
        const zoBoolean ok = zo_trace_eye(result, state, &ray.org, &ray.dir);
        zo_ray_falloff(state, &start, &stop);
        return ok;
    };
    if (!kor::rttGridLookup(&cache->grid, state, u, v, &rec->working)) return traceEye();

    rec->projected = 0;
    if (cache->projectionOn && cache->projection) {
        const int32_t march = state->march;
        RenderState *savedChild = state->child;
        float along = 0.0f;
        const bool found = project(cache, state, rec->working, &rec->shade, &along);
        state->march = march;
        if (found) {
            RenderState &s = rec->shade;
            s.type = ZO_RAY_EYE;
            s.parent = nullptr;
            s.child = nullptr;
            s.volume = 0;
            rec->projected = 1;
            ProjectionRecord &pr = rec->projection;
            pr.workingInstance = cache->workingInstance;
            pr.normalSpace = cache->normalSpace;
            pr.flipNormalX = cache->flipNormalX;
            pr.flipNormalY = cache->flipNormalY;
            pr.uvChannel = cache->uvChannel;
            pr.heightMin = cache->heightMin;
            pr.heightMax = cache->heightMax;
            pr.useWorkingModelOnMiss = cache->useWorkingModelOnMiss;
            pr.working = &rec->working;
            pr.tangentBasis = kor::rttTangentBasis;
            publishHook(state, rec);
            zo_shaderstate_set(state, KOR_KEY_PROJECTION, &pr, sizeof pr, ZO_SHADERSTATE_SAMPLE);
            const zoBoolean ok = zo_call_material(result, &s);
            zo_fb_put(state, kProjectionBuffer, &along);
            clearSlots(state);
            state->child = savedChild;
            return ok;
        }
        state->child = savedChild;
        if (!cache->useWorkingModelOnMiss) return traceEye();
    }

    workingState(cache, rec, state);
    publishHook(state, rec);
    const zoBoolean ok = zo_call_material(result, &rec->shade);
    clearSlots(state);
    return ok;
}

namespace kor {

// Camera-space corners of the shaded triangle: the working triangle, or
// the projection target's triangle under the state.
zoBoolean rttCameraTriangle(void *data, RenderState *state, Vector3 v[3]) {
    const auto *rec = static_cast<const RttThreadRecord *>(data);
    if (!rec || !state) return 0;
    if (!rec->projected) {
        for (int i = 0; i < 3; ++i) zo_point_to_camera(&v[i], state, &rec->working.vertices[i]);
        return 1;
    }
    Vector3 object[3];
    if (!zo_tri_vectors(state, ZO_TRI_POSITION, 0, object)) return 0;
    for (int i = 0; i < 3; ++i) {
        Vector3 internal;
        zo_point_from_object(&internal, state, &object[i]);
        zo_point_to_camera(&v[i], state, &internal);
    }
    return 1;
}

// Raster-space corners: the working triangle's UVs scaled by the
// resolution, which is where the bake raster sees that triangle.
zoBoolean rttRasterTriangle(void *data, RenderState *, Vector3 v[3]) {
    const auto *rec = static_cast<const RttThreadRecord *>(data);
    if (!rec) return 0;
    for (int i = 0; i < 3; ++i)
        v[i] = {rec->working.uv[i][0] * rec->xres, rec->working.uv[i][1] * rec->yres, 0.0f};
    return 1;
}

// U, V and normal directions of the working triangle from its corners and
// UVs.
zoBoolean rttTangentBasis(const RttSurfaceHit *hit, RenderState *, Vector3 basis[3]) {
    if (!hit) return 0;
    const Vector3 dp1 = hit->vertices[1] - hit->vertices[0];
    const Vector3 dp2 = hit->vertices[2] - hit->vertices[0];
    const float du1 = hit->uv[1][0] - hit->uv[0][0], dv1 = hit->uv[1][1] - hit->uv[0][1];
    const float du2 = hit->uv[2][0] - hit->uv[0][0], dv2 = hit->uv[2][1] - hit->uv[0][1];
    const float det = du1 * dv2 - du2 * dv1;
    if (det == 0.0f) return 0;
    basis[0] = kor::unit((dp1 * dv2 - dp2 * dv1) / det);
    basis[1] = kor::unit((dp2 * du1 - dp1 * du2) / det);
    basis[2] = hit->normal;
    return 1;
}

}  // namespace kor
