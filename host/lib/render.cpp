// Rendering: the ray-tracing scene, eye rays through the lens shaders and
// the material shaders, tiles on all cores, frame buffers and the output
// shaders at the end of the frame.
#include <embree3/rtcore.h>
#include <emmintrin.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <thread>

#include "photon.h"
#include "session.h"
#include "trace.h"

namespace korhost {

extern std::atomic<int> g_verbosity;
extern std::atomic<bool> g_progress_shown;

namespace {

constexpr int kTile = 16;
constexpr int32_t kImageMagic = 0x6b6f7269;  // "kori"

inline float hash_float(uint32_t x) {
    return (hash32(x) >> 8) * (1.0f / 16777216.0f);
}

void rtc_error(void *, RTCError code, const char *text) {
    messagef(kError, "ray tracing: error %d: %s", static_cast<int>(code), text ? text : "");
}

// Bits 16, 17 and 18 of a face's column-0 word: its edges from vertex 0 to
// 1, 1 to 2 and 2 to 0 are visible (drawn by wire materials).
constexpr int32_t kEdgeBits = 0x70000;

// Edge visibility for a mesh that gives no face data of its own: an edge
// is hidden where it is the diagonal that splits a flat quad, that is,
// where the two triangles sharing it lie in one plane and it is the longest
// edge of both. Quads, boxes, the bands of a sphere and the quads of OBJ
// files then draw as quads in wire mode; a grid keeps its grid lines. The
// faces get one word, column 0: material id 0 and the edge bits.
void mark_edges(Mesh &m) {
    if (m.face_stride != 0 || m.tri.empty()) return;
    const size_t n = m.triangles();
    std::vector<Vector3> normal(n);
    std::vector<float> longest(n);
    auto length2 = [&](size_t t, int e) {
        const Vector3 d = m.P[m.tri[3 * t + (e + 1) % 3]] - m.P[m.tri[3 * t + e]];
        return dot(d, d);
    };
    for (size_t t = 0; t < n; ++t) {
        const Vector3 &a = m.P[m.tri[3 * t]], &b = m.P[m.tri[3 * t + 1]],
                      &c = m.P[m.tri[3 * t + 2]];
        normal[t] = normalize(cross(b - a, c - a));
        longest[t] = std::max({length2(t, 0), length2(t, 1), length2(t, 2)});
    }
    // Each use of an edge, filed under its lower vertex (a counting sort,
    // linear in the mesh) and, within that vertex, ordered by the other
    // vertex: the faces that share an edge lie side by side.
    struct Use {
        uint32_t hi, face;
        int edge;
        bool operator<(const Use &o) const {
            return hi != o.hi ? hi < o.hi : face != o.face ? face < o.face : edge < o.edge;
        }
    };
    // The vertices of edge e of face t (from its vertex e to the next), lower first.
    auto ends = [&](size_t t, int e) {
        const uint32_t a = m.tri[3 * t + e], b = m.tri[3 * t + (e + 1) % 3];
        return std::pair<uint32_t, uint32_t>(std::min(a, b), std::max(a, b));
    };
    const size_t nv = m.P.size();
    std::vector<uint32_t> start(nv + 1, 0);
    for (size_t t = 0; t < n; ++t)
        for (int e = 0; e < 3; ++e) ++start[ends(t, e).first + 1];
    for (size_t v = 0; v < nv; ++v) start[v + 1] += start[v];
    std::vector<Use> uses(3 * n);
    {
        std::vector<uint32_t> at(start.begin(), start.end() - 1);
        for (size_t t = 0; t < n; ++t)
            for (int e = 0; e < 3; ++e) {
                const auto [lo, hi] = ends(t, e);
                uses[at[lo]++] = {hi, static_cast<uint32_t>(t), e};
            }
    }
    m.face_stride = 1;
    m.face_columns = {0};
    m.face_words.assign(n, kEdgeBits);
    for (size_t v = 0; v < nv; ++v) {
        std::sort(uses.begin() + start[v], uses.begin() + start[v + 1]);
        for (size_t i = start[v], end = start[v + 1]; i < end;) {
            size_t j = i + 1;
            while (j < end && uses[j].hi == uses[i].hi) ++j;
            const size_t shared = j - i;
            const size_t first = i;
            i = j;
            if (shared != 2) continue;
            const size_t t0 = uses[first].face, t1 = uses[first + 1].face;
            const int e0 = uses[first].edge, e1 = uses[first + 1].edge;
            const float l2 = length2(t0, e0);
            const bool flat = dot(normal[t0], normal[t1]) > 0.99999f;
            if (!flat || l2 < longest[t0] || l2 < longest[t1]) continue;
            // Strictly the longest: a square's diagonal, not a triangle's equal sides.
            int longest_count = 0;
            for (int e = 0; e < 3; ++e) longest_count += length2(t0, e) >= l2;
            for (int e = 0; e < 3; ++e) longest_count += length2(t1, e) >= l2;
            if (longest_count != 2) continue;
            m.face_words[t0] &= ~(1 << (16 + e0));
            m.face_words[t1] &= ~(1 << (16 + e1));
        }
    }
}

}  // namespace

// Whether every normal of the mesh has length 1.
bool unit_normals(const Mesh &m) {
    for (const Vector3 &n : m.N)
        if (std::fabs(dot(n, n) - 1.0f) > 1e-5f) return false;
    return true;
}

// Whether the row-vector matrix m is affine, and whether its linear part
// is a rotation times a uniform scale.
void classify_transform(const float *m, bool *affine, bool *similar) {
    *affine = m[3] == 0 && m[7] == 0 && m[11] == 0 && m[15] == 1;
    const Vector3 r[3] = {{m[0], m[1], m[2]}, {m[4], m[5], m[6]}, {m[8], m[9], m[10]}};
    const float l = dot(r[0], r[0]), tol = 1e-5f * l;
    *similar = *affine && l > 0 && std::fabs(dot(r[1], r[1]) - l) <= tol &&
               std::fabs(dot(r[2], r[2]) - l) <= tol && std::fabs(dot(r[0], r[1])) <= tol &&
               std::fabs(dot(r[0], r[2])) <= tol && std::fabs(dot(r[1], r[2])) <= tol;
}

void build_geometry(Session &s) {
    RTCDevice device = rtcNewDevice(nullptr);
    if (!device) throw Error("korrender: cannot create the ray-tracing device");
    rtcSetDeviceErrorFunction(device, rtc_error, nullptr);
    RTCScene scene = rtcNewScene(device);
    // Watertight: a ray along a shared edge (a sphere meridian seen end-on)
    // must not slip between the two triangles.
    // Shadow rays gather their blockers through a filter of their own.
    rtcSetSceneFlags(scene, RTC_SCENE_FLAG_ROBUST | RTC_SCENE_FLAG_CONTEXT_FILTER_FUNCTION);
    rtcSetSceneBuildQuality(scene, RTC_BUILD_QUALITY_HIGH);
    prepare_lights(s);
    s.rtc_device = device;
    s.rtc_scene = scene;
    for (ObjectEntry &o : s.objects) {
        mark_edges(o.mesh);
        o.mesh.unit_normals = unit_normals(o.mesh);
    }
    for (InstanceEntry &inst : s.instances)
        classify_transform(inst.rec.to_world, &inst.affine, &inst.similar);
    // A mesh placed once goes into the scene in world space, as it is
    // traced fastest. A mesh placed more than once is built once, in object
    // space, into a scene of its own, and each placement is an instance of
    // that scene with its transform: a hundred placements cost a hundred
    // matrices, not a hundred meshes. Either way the indices (and the
    // object-space vertices) are read in place from the mesh.
    std::map<const ObjectEntry *, int> placements;
    for (const InstanceEntry &inst : s.instances) ++placements[inst.object];
    auto attach = [&](RTCScene target, RTCGeometry geom, InstanceEntry *inst) {
        rtcCommitGeometry(geom);
        const unsigned id = rtcAttachGeometry(target, geom);
        rtcReleaseGeometry(geom);
        if (!inst) return;
        if (s.geom_instance.size() <= id) s.geom_instance.resize(id + 1, nullptr);
        s.geom_instance[id] = inst;
    };
    auto triangles = [&](const Mesh &m) {
        RTCGeometry geom = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
        rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, m.tri.data(),
                                   0, 3 * sizeof(uint32_t), m.triangles());
        return geom;
    };
    // A sphere stretched by its placement is an ellipsoid: the tracer
    // meets it in object space, through an instance.
    for (const InstanceEntry &inst : s.instances)
        if (inst.object->mesh.sphere.radius > 0 && !inst.similar) placements[inst.object] += 2;
    for (ObjectEntry &o : s.objects) {
        Mesh &m = o.mesh;
        if (m.tri.empty() || placements[&o] < 2) continue;
        RTCScene object_scene = rtcNewScene(device);
        rtcSetSceneFlags(object_scene,
                         RTC_SCENE_FLAG_ROBUST | RTC_SCENE_FLAG_CONTEXT_FILTER_FUNCTION);
        RTCGeometry geom;
        if (m.sphere.radius > 0) {
            geom = static_cast<RTCGeometry>(tracing::new_sphere_geometry(device, m.sphere.traced));
        } else {
            // Vertex buffers are read 16 bytes at a time: room after the last one.
            m.P.reserve(m.P.size() + 1);
            geom = triangles(m);
            rtcSetSharedGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                       m.P.data(), 0, sizeof(Vector3), m.P.size());
        }
        attach(object_scene, geom, nullptr);
        rtcCommitScene(object_scene);
        o.rtc_scene = object_scene;
    }
    for (InstanceEntry &inst : s.instances) {
        const Mesh &m = inst.object->mesh;
        if (m.tri.empty()) continue;
        if (!inst.object->rtc_scene) {
            // Every hit needs its triangle's tangents: kept, up to a million
            // triangles (24 bytes each).
            if (!m.tex.empty() && m.triangles() <= InstanceEntry::kKeptTangents) {
                inst.tangents.assign(2 * m.triangles(), Vector3{0, 0, 0});
                for (size_t t = 0; t < m.triangles(); ++t)
                    triangle_tangents(inst, static_cast<int>(t), 0, &inst.tangents[2 * t],
                                      &inst.tangents[2 * t + 1]);
            }
            if (m.sphere.radius > 0) {
                const Vector3 c = xform_point(inst.rec.to_world, {0, 0, 0});
                const Vector3 x_axis{inst.rec.to_world[0], inst.rec.to_world[1],
                                     inst.rec.to_world[2]};
                const float r = m.sphere.radius * std::sqrt(dot(x_axis, x_axis));
                inst.sphere[0] = c.x;
                inst.sphere[1] = c.y;
                inst.sphere[2] = c.z;
                inst.sphere[3] = r;
                attach(scene,
                       static_cast<RTCGeometry>(tracing::new_sphere_geometry(device, inst.sphere)),
                       &inst);
                continue;
            }
            RTCGeometry geom = triangles(m);
            rtcSetGeometryBuildQuality(geom, RTC_BUILD_QUALITY_HIGH);
            auto *vb = static_cast<float *>(rtcSetNewGeometryBuffer(
                geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), m.P.size()));
            for (size_t i = 0; i < m.P.size(); ++i) {
                const Vector3 p = xform_point(inst.rec.to_world, m.P[i]);
                vb[3 * i] = p.x;
                vb[3 * i + 1] = p.y;
                vb[3 * i + 2] = p.z;
            }
            attach(scene, geom, &inst);
            continue;
        }
        RTCGeometry geom = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
        rtcSetGeometryInstancedScene(geom, static_cast<RTCScene>(inst.object->rtc_scene));
        // Row vectors with the translation in 12..14 are, read column by
        // column, the column-vector matrix the instance wants.
        rtcSetGeometryTransform(geom, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, inst.rec.to_world);
        attach(scene, geom, &inst);
    }
    s.geom_opaque.assign(s.geom_instance.size(), 0);
    for (size_t id = 0; id < s.geom_instance.size(); ++id) {
        const InstanceEntry *inst = s.geom_instance[id];
        const MaterialEntry *m = inst ? tracing::material_entry(s, inst->rec.material) : nullptr;
        s.geom_opaque[id] = inst && (!m || !m->slots[kSlotShadow]);
    }
    s.all_opaque =
        std::all_of(s.geom_opaque.begin(), s.geom_opaque.end(), [](uint8_t o) { return o != 0; });
    s.geom_exact.assign(s.geom_instance.size(), 0);
    for (size_t id = 0; id < s.geom_instance.size(); ++id) {
        const InstanceEntry *inst = s.geom_instance[id];
        s.geom_exact[id] = inst && inst->object->mesh.sphere.radius > 0;
        s.any_exact = s.any_exact || s.geom_exact[id];
    }
    rtcCommitScene(scene);
    if (s.any_exact) tracing::sphere_bounds_joined();
}

std::string embree_version() {
    RTCDevice device = rtcNewDevice("verbose=0");
    if (!device) return "(no device)";
    const long v = static_cast<long>(rtcGetDeviceProperty(device, RTC_DEVICE_PROPERTY_VERSION));
    rtcReleaseDevice(device);
    return std::to_string(v / 10000) + "." + std::to_string(v / 100 % 100) + "." +
           std::to_string(v % 100);
}

void release_geometry(Session &s) {
    if (s.rtc_scene) rtcReleaseScene(static_cast<RTCScene>(s.rtc_scene));
    for (ObjectEntry &o : s.objects) {
        if (o.rtc_scene) rtcReleaseScene(static_cast<RTCScene>(o.rtc_scene));
        o.rtc_scene = nullptr;
    }
    if (s.rtc_device) rtcReleaseDevice(static_cast<RTCDevice>(s.rtc_device));
    s.rtc_scene = s.rtc_device = nullptr;
}

void make_state(Session &s, RenderState &st, ThreadContext *ctx) {
    // Zeroed sixteen bytes at a time, unrolled: a state is made for every
    // sample, and a string store costs one step per eight bytes.
    static_assert(sizeof(RenderState) % 16 == 0, "the state is whole 16-byte pieces");
    auto *d = reinterpret_cast<unsigned char *>(&st);
#pragma GCC unroll 64
    for (size_t i = 0; i < sizeof st; i += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + i), _mm_setzero_si128());
    st.version = KOR_HOST_INTERFACE_VERSION;
    st.camera = &s.camera.cam;
    st.options = &s.options;
    st.global_lock = s.global_lock;
    st.thread = ctx ? ctx->index : 0;
    st.type = ZO_RAY_EYE;
    st.call_type = ZO_CALL_LENS;
    st.ior = st.ior_in = 1.0f;
    st.shadow_tol = 1e-4;
    st.march = 1;  // zeroed only while a volume march samples a light
    st.environment = s.camera.cam.environment;
    st.volume = s.camera.cam.volume;
    st.host = ctx;
}

namespace {
// The camera's eye rays: the frame's constants of eye_ray, taken once (a
// tile's rays then read them from registers, not from the session after
// every store of a ray), and the eye point of a pinhole camera, which
// every one of its rays starts from.
struct EyeCamera {
    float w, h, half_w, half_h, x_offset, y_offset, aperture, aspect_h, focal;
    bool orthographic;
    alignas(16) float to_world[16];
    Vector3 eye;

    explicit EyeCamera(const Session &s) {
        const zoCamera &c = s.camera.cam;
        w = static_cast<float>(c.x_resolution);
        h = static_cast<float>(c.y_resolution);
        half_w = 0.5f * w;
        half_h = 0.5f * h;
        x_offset = c.x_offset;
        y_offset = c.y_offset;
        aperture = c.aperture;
        aspect_h = c.aspect * h;
        focal = c.focal;
        orthographic = c.orthographic;
        memcpy(to_world, s.camera.to_world, sizeof to_world);
        eye = xform_point(to_world, {0, 0, 0});
    }

    void ray(float x, float y, Vector3 *org, Vector3 *dir) const {
        const float fx = (x - half_w - x_offset) * aperture / w;
        const float fy = (y - half_h - y_offset) * aperture / aspect_h;
        if (orthographic) {
            *org = xform_point(to_world, {fx, fy, 0});
            *dir = normalize(xform_vector(to_world, {0, 0, -1}));
        } else {
            *org = eye;
            *dir = normalize(xform_vector(to_world, {fx, fy, -focal}));
        }
    }
};
}  // namespace

void eye_ray(const Session &s, float x, float y, Vector3 *org, Vector3 *dir) {
    EyeCamera(s).ray(x, y, org, dir);
}

void camera_to_raster(const Session &s, const Vector3 &pc, Vector3 *raster) {
    const zoCamera &c = s.camera.cam;
    const float w = static_cast<float>(c.x_resolution), h = static_cast<float>(c.y_resolution);
    float fx = pc.x, fy = pc.y;
    if (!c.orthographic) {
        float depth = -pc.z;
        if (std::fabs(depth) < 1e-20f) depth = 1e-20f;
        fx = pc.x * c.focal / depth;
        fy = pc.y * c.focal / depth;
    }
    raster->x = 0.5f * w + c.x_offset + fx * w / c.aperture;
    raster->y = 0.5f * h + c.y_offset + fy * c.aspect * h / c.aperture;
    raster->z = pc.z;
}

Vector3 world_point(const InstanceEntry &inst, uint32_t k) {
    return xform_point(inst.rec.to_world, inst.object->mesh.P[k]);
}

Vector3 world_normal(const InstanceEntry &inst, uint32_t k) {
    const Mesh &m = inst.object->mesh;
    if (k >= m.N.size()) return {0, 0, 0};
    return normalize(xform_normal(inst.rec.from_world, m.N[k]));
}

bool triangle_tangents(const InstanceEntry &inst, int prim, int space, Vector3 *dpdu,
                       Vector3 *dpdv) {
    const Mesh &m = inst.object->mesh;
    if (space < 0 || static_cast<size_t>(space) >= m.tex.size()) return false;
    const uint32_t *i = &m.tri[3 * prim];
    Vector3 p0, p1, p2;
    if (inst.affine) {
        // Edges go by the linear part alone.
        p0 = {0, 0, 0};
        p1 = xform_vector(inst.rec.to_world, m.P[i[1]] - m.P[i[0]]);
        p2 = xform_vector(inst.rec.to_world, m.P[i[2]] - m.P[i[0]]);
    } else {
        p0 = world_point(inst, i[0]);
        p1 = world_point(inst, i[1]);
        p2 = world_point(inst, i[2]);
    }
    const Vector3 &t0 = m.tex[space][i[0]], &t1 = m.tex[space][i[1]], &t2 = m.tex[space][i[2]];
    Vector3 dp1 = p1 - p0, dp2 = p2 - p0;
    float du1 = t1.x - t0.x, dv1 = t1.y - t0.y, du2 = t2.x - t0.x, dv2 = t2.y - t0.y;
    float det = du1 * dv2 - du2 * dv1;
    if (std::fabs(det) < 1e-20f) return false;
    float inv = 1.0f / det;
    *dpdu = (dp1 * dv2 - dp2 * dv1) * inv;
    *dpdv = (dp2 * du1 - dp1 * du2) * inv;
    return true;
}

zoBoolean run_material(Color *result, RenderState *state, int slot, int call_type) {
    Session *s = session();
    const MaterialEntry *m = s ? tracing::material_entry(*s, state->material) : nullptr;
    if (!m) return 0;
    Tag shader = m->slots[slot];
    if (!shader) return 0;
    return call_shader(result, call_type, state, shader, nullptr);
}

namespace {

// Progress: a bar on a terminal; a log line per 10 % otherwise (batch
// logs). Both give the elapsed time and an estimate of the rest.
struct Progress {
    std::atomic<int> done{0};
    std::atomic<int> shown{-1};
    int total = 1;
    bool bar = false, log = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    void tick() {
        int d = ++done;
        if (!bar && !log) return;
        int pct = d * 100 / total;
        if (log) pct -= pct % 10;
        // Only forwards: a thread that reaches a step later than another
        // thread's larger one keeps quiet.
        int prev = shown.load();
        do {
            if (pct <= prev) return;
        } while (!shown.compare_exchange_weak(prev, pct));
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char times[64] = "";
        if (d < total)
            snprintf(times, sizeof times, ", %.1f s elapsed, about %.1f s left", elapsed,
                     elapsed * (total - d) / d);
        else
            snprintf(times, sizeof times, ", %.1f s", elapsed);
        char line[192];
        int n;
        if (bar) {
            int filled = pct / 4;
            n = snprintf(line, sizeof line, "\rrendering [%.*s%*s] %3d%%%s\033[K", filled,
                         "#########################", 25 - filled, "", pct, times);
            g_progress_shown = true;
        } else {
            if (pct == 0) return;
            n = snprintf(line, sizeof line, "korrender: rendering %d%% (%d of %d buckets)%s\n", pct,
                         d, total, times);
        }
        ssize_t w = write(2, line, std::min<int>(n, sizeof line - 1));
        (void)w;
    }
    void finish() {
        if (!bar) return;
        ssize_t w = write(2, "\r\033[K", 4);
        (void)w;
        g_progress_shown = false;
    }
};

// The pixels rendered, in raster space (y = 0 the bottom row): the whole
// image or the --crop region.
struct Window {
    int x0, y0, x1, y1;
};

Window render_window(const Session &s) {
    const int W = s.camera.cam.x_resolution, H = s.camera.cam.y_resolution;
    const Settings &c = s.settings;
    if (c.crop_w <= 0) return {0, 0, W, H};
    return {c.crop_x, H - c.crop_y - c.crop_h, c.crop_x + c.crop_w, H - c.crop_y};
}

// Where in its pixel sample k falls: the centre for one sample, else a
// jittered cell of a grid x rows stratification.
struct Jitter {
    int spp, grid, rows;
    void at(int x, int y, int k, float *jx, float *jy) const {
        *jx = *jy = 0.5f;
        if (spp == 1) return;
        uint32_t seed = (static_cast<uint32_t>(y) * 73856093u) ^
                        (static_cast<uint32_t>(x) * 19349663u) ^
                        (static_cast<uint32_t>(k) * 83492791u);
        *jx = ((k % grid) + hash_float(seed)) / grid;
        *jy = ((k / grid) + hash_float(seed ^ 0x9e3779b9u)) / rows;
    }
};

// The nearest hits of the eye rays of row y from x0 on (`count` rays,
// samples of a pixel side by side), sixteen rays to a coherent packet, as
// trace_eye's ray would find them; `units` gets each ray's direction as
// trace_eye normalizes it, `rasters` its raster position (two floats).
void trace_eye_row(const Session &s, const EyeCamera &eye, const Jitter &jitter, int x0, int y,
                   size_t count, float far, RTCRayHit *out, Vector3 *units, float *rasters) {
    const int spp = jitter.spp;
    // ray j is sample k = j % spp of pixel x = x0 + j / spp, counted along
    int x = x0, k = 0;
    for (size_t first = 0; first < count; first += 16) {
        alignas(64) RTCRayHit16 rh;
        alignas(64) int valid[16];
        for (int i = 0; i < 16; ++i, ++k) {
            const size_t j = first + i;
            valid[i] = j < count ? -1 : 0;
            if (k == spp) {
                k = 0;
                ++x;
            }
            float jx, jy;
            jitter.at(x, y, k, &jx, &jy);
            Vector3 org, dir;
            const float rx = x + jx, ry = y + jy;
            eye.ray(rx, ry, &org, &dir);
            // The sample takes the ray as eye_ray gives it from the packet.
            if (j < count) {
                rasters[2 * j] = rx;
                rasters[2 * j + 1] = ry;
                RTCRay &r = out[j].ray;
                r.org_x = org.x, r.org_y = org.y, r.org_z = org.z;
                r.dir_x = dir.x, r.dir_y = dir.y, r.dir_z = dir.z;
            }
            dir = normalize(dir);  // as trace_eye sets it
            if (j < count) units[j] = dir;
            rh.ray.org_x[i] = org.x;
            rh.ray.org_y[i] = org.y;
            rh.ray.org_z[i] = org.z;
            rh.ray.dir_x[i] = dir.x;
            rh.ray.dir_y[i] = dir.y;
            rh.ray.dir_z[i] = dir.z;
            rh.ray.tnear[i] = 0.0f;
            rh.ray.tfar[i] = far;
            rh.ray.time[i] = 0.0f;
            rh.ray.mask[i] = 0xffffffffu;
            rh.ray.flags[i] = 0;
            rh.ray.id[i] = 0;
            rh.hit.geomID[i] = RTC_INVALID_GEOMETRY_ID;
            rh.hit.instID[0][i] = RTC_INVALID_GEOMETRY_ID;
        }
        RTCIntersectContext ic;
        rtcInitIntersectContext(&ic);
        ic.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
        rtcIntersect16(valid, static_cast<RTCScene>(s.rtc_scene), &ic, &rh);
        for (int i = 0; i < 16 && first + i < count; ++i) {
            RTCRayHit &h = out[first + i];
            h.ray.tfar = rh.ray.tfar[i];
            h.hit.Ng_x = rh.hit.Ng_x[i];
            h.hit.Ng_y = rh.hit.Ng_y[i];
            h.hit.Ng_z = rh.hit.Ng_z[i];
            h.hit.u = rh.hit.u[i];
            h.hit.v = rh.hit.v[i];
            h.hit.primID = rh.hit.primID[i];
            h.hit.geomID = rh.hit.geomID[i];
            h.hit.instID[0] = rh.hit.instID[0][i];
            if (s.any_exact)
                tracing::exact_hit_as_facet(s, {rh.ray.org_x[i], rh.ray.org_y[i], rh.ray.org_z[i]},
                                            {rh.ray.dir_x[i], rh.ray.dir_y[i], rh.ray.dir_z[i]}, h);
        }
    }
}

// Every sample depends on its pixel and number only (jitter, random
// numbers), never on the tile or the thread: a region renders exactly as
// it does within the whole image.
bool render_tile(Session &s, const Window &win, int tile, int tiles_x, ThreadContext *ctx) {
    const zoCamera &c = s.camera.cam;
    const int W = c.x_resolution;
    const int x0 = win.x0 + (tile % tiles_x) * kTile, y0 = win.y0 + (tile / tiles_x) * kTile;
    const int x1 = std::min(win.x1, x0 + kTile), y1 = std::min(win.y1, y0 + kTile);
    const int spp = std::max(1, s.options.samples);
    const int grid = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(spp))));
    const int rows = (spp + grid - 1) / grid;
    const Tag first_lens = s.camera.lens.empty() ? 0 : s.camera.lens[0];
    const Jitter jitter{spp, grid, rows};
    // Without lens shaders the eye rays of a row are known ahead: they are
    // traced sixteen at a time, as coherent rays trace fastest.
    const bool packets = !first_lens && s.rtc_scene;
    const size_t row_rays = static_cast<size_t>(x1 - x0) * spp;
    // the row's hits, then their directions as trace_eye normalizes them,
    // then their raster positions
    const size_t row_bytes = row_rays * (sizeof(RTCRayHit) + sizeof(Vector3) + 2 * sizeof(float));
    if (packets && ctx->eye_hits.size() < row_bytes) ctx->eye_hits.resize(row_bytes);
    RTCRayHit *row_hits = reinterpret_cast<RTCRayHit *>(ctx->eye_hits.data());
    Vector3 *row_units = reinterpret_cast<Vector3 *>(ctx->eye_hits.data() +
                                                     (packets ? row_rays * sizeof(RTCRayHit) : 0));
    float *row_rasters = reinterpret_cast<float *>(
        ctx->eye_hits.data() + (packets ? row_rays * (sizeof(RTCRayHit) + sizeof(Vector3)) : 0));
    const float far = c.clip_far > 0 ? c.clip_far : INFINITY;
    const EyeCamera eye(s);
    RenderState st;
    for (int y = y0; y < y1; ++y) {
        if (packets)
            trace_eye_row(s, eye, jitter, x0, y, row_rays, far, row_hits, row_units, row_rasters);
        for (int x = x0; x < x1; ++x) {
            if (s.aborted.load(std::memory_order_relaxed)) return false;
            double acc[4] = {0, 0, 0, 0};
            const size_t pixel = static_cast<size_t>(y) * W + x;
            // The sample's random numbers start from its pixel's hash in
            // the high word and its number's in the low.
            const uint64_t pixel_seed =
                0x853c49e6748fea9bULL ^ static_cast<uint64_t>(hash32(static_cast<uint32_t>(pixel)))
                                            << 32;
            for (int k = 0; k < spp; ++k) {
                ctx->begin_sample();
                ctx->random_state = pixel_seed ^ hash32(static_cast<uint32_t>(k) * 0x9e3779b9u + 1);
                make_state(s, st, ctx);
                const size_t ray = static_cast<size_t>(x - x0) * spp + k;
                if (packets) {
                    st.raster_x = row_rasters[2 * ray];
                    st.raster_y = row_rasters[2 * ray + 1];
                } else {
                    float jx, jy;
                    jitter.at(x, y, k, &jx, &jy);
                    st.raster_x = x + jx;
                    st.raster_y = y + jy;
                }
                st.sample_index = k;
                Vector3 org, dir;
                const RTCRayHit *eye_hit = packets ? &row_hits[ray] : nullptr;
                if (eye_hit) {
                    org = {eye_hit->ray.org_x, eye_hit->ray.org_y, eye_hit->ray.org_z};
                    dir = {eye_hit->ray.dir_x, eye_hit->ray.dir_y, eye_hit->ray.dir_z};
                } else {
                    eye.ray(st.raster_x, st.raster_y, &org, &dir);
                }
                ctx->eye_ray = {org, dir};
                st.org = org;
                st.dir = dir;
                Color col{0, 0, 0, 0};
                zoBoolean ok;
                if (first_lens) {
                    ctx->lens_index = 1;
                    ok = call_shader(&col, ZO_CALL_LENS, &st, first_lens, nullptr);
                } else {
                    ctx->eye_hit = eye_hit;
                    ok = trace_eye(&col, &st, &org, &dir, eye_hit ? &row_units[ray] : nullptr);
                    ctx->eye_hit = nullptr;
                }
                ++ctx->samples;
                // A lens shader that answers false without tracing leaves
                // the pixel empty; once the eye ray was traced, the colour
                // it leaves counts, whether the ray hit or not.
                if (ok || ctx->eye_traced) {
                    acc[0] += col.r;
                    acc[1] += col.g;
                    acc[2] += col.b;
                    acc[3] += col.a;
                }
                for (size_t b = 0; b < s.framebuffers.size(); ++b) {
                    FrameBuffer &fb = s.framebuffers[b];
                    if (fb.type < 0 || !ctx->fb_written[b]) continue;
                    if (fb.type == ZO_FB_INTEGER) {
                        memcpy(&fb.ints[pixel], ctx->fb_value[b], 4);
                    } else {
                        const float *v = reinterpret_cast<const float *>(ctx->fb_value[b]);
                        for (int i = 0; i < fb.components; ++i)
                            fb.sum[pixel * fb.components + i] += v[i];
                    }
                }
            }
            const double inv = 1.0 / spp;
            s.color[pixel] =
                Color{static_cast<float>(acc[0] * inv), static_cast<float>(acc[1] * inv),
                      static_cast<float>(acc[2] * inv), static_cast<float>(acc[3] * inv)};
        }
    }
    return true;
}

}  // namespace

bool render(Session &s) {
    const zoCamera &c = s.camera.cam;
    const int W = c.x_resolution, H = c.y_resolution;
    assign_zeros(s.color, static_cast<size_t>(W) * H);
    for (FrameBuffer &fb : s.framebuffers) {
        if (fb.type < 0) continue;
        if (fb.type == ZO_FB_INTEGER)
            assign_zeros(fb.ints, static_cast<size_t>(W) * H);
        else
            assign_zeros(fb.sum, static_cast<size_t>(W) * H * fb.components);
    }
    prepare_photons(s);  // photon maps and light maps, when the scene asks for them
    contour_begin(s);
    const Window win = render_window(s);
    const int tiles_x = (win.x1 - win.x0 + kTile - 1) / kTile,
              tiles_y = (win.y1 - win.y0 + kTile - 1) / kTile;
    const int tiles = tiles_x * tiles_y;
    s.buckets = tiles;
    s.buckets_done = 0;
    Progress progress;
    progress.total = tiles;
    const bool show = s.settings.progress && !s.settings.quiet && g_verbosity >= kWarning;
    progress.bar = show && isatty(2);
    progress.log = show && !isatty(2);
    // Each render thread takes the next bucket until none is left; the
    // calling thread is render thread 0.
    std::atomic<int> next{0};
    auto worker = [&](int index) {
        ThreadContext *ctx = s.contexts[index].get();
        set_thread_context(ctx);
        for (int t; (t = next.fetch_add(1, std::memory_order_relaxed)) < tiles;) {
            if (!render_tile(s, win, t, tiles_x, ctx)) continue;
            ++s.buckets_done;
            progress.tick();
        }
        set_thread_context(nullptr);
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < s.threads; ++i) pool.emplace_back(worker, i);
    worker(0);
    for (std::thread &t : pool) t.join();
    progress.finish();
    // Frame buffers of floats hold the mean over all samples of a pixel.
    const float inv = 1.0f / std::max(1, s.options.samples);
    for (FrameBuffer &fb : s.framebuffers)
        for (float &v : fb.sum) v *= inv;
    contour_finish(s);
    s.color_image = zoImage{};
    s.color_image.magic = kImageMagic;
    s.color_image.width = W;
    s.color_image.height = H;
    s.color_image.bits = 32;
    s.color_image.comp = 4;
    s.color_image.type = ZO_IMG_TYPE_RGBA_FP;
    s.color_image.gamma = 1;
    s.color_image.data = s.color.data();
    for (FrameBuffer &fb : s.framebuffers) {
        if (fb.type < 0) continue;
        fb.image = zoImage{};
        fb.image.magic = kImageMagic;
        fb.image.width = W;
        fb.image.height = H;
        fb.image.bits = 32;
        fb.image.comp = fb.components;
        fb.image.gamma = 1;
        if (fb.type == ZO_FB_INTEGER) {
            fb.image.type = ZO_IMG_TYPE_TAG;
            fb.image.data = fb.ints.data();
        } else {
            fb.image.type = fb.type == ZO_FB_COLOR    ? ZO_IMG_TYPE_RGBA_FP
                            : fb.type == ZO_FB_SCALAR ? ZO_IMG_TYPE_S_FP
                                                      : ZO_IMG_TYPE_RGB_FP;
            fb.image.data = fb.sum.data();
        }
    }
    return !s.aborted.load();
}

void run_output_shaders(Session &s) {
    if (s.camera.output.empty()) return;
    ThreadContext *ctx = s.contexts[0].get();
    set_thread_context(ctx);
    RenderState st;
    for (Tag tag : s.camera.output) {
        ctx->begin_sample();
        make_state(s, st, ctx);
        st.type = ZO_RAY_OUTPUT;
        st.call_type = ZO_CALL_OUTPUT;
        Color unused{0, 0, 0, 0};
        call_shader(&unused, ZO_CALL_OUTPUT, &st, tag, nullptr);
    }
    set_thread_context(nullptr);
}

// A frame buffer's file lies beside the output image unless its path is
// absolute; a run of # takes the frame number.
std::string framebuffer_path(const Session &s, const std::string &name) {
    std::string file = substitute_frame(name, s.camera.cam.frame);
    if (file[0] != '/') {
        const std::string &beside = s.output_file.empty() ? s.scene_dir + "/" : s.output_file;
        const size_t slash = beside.rfind('/');
        if (slash != std::string::npos) file = beside.substr(0, slash + 1) + file;
    }
    return file;
}

namespace {

std::string stem(const std::string &path) {
    std::string name = path;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    const size_t dot = name.find('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

// The layer name of a frame buffer: its file name without folder,
// extension and a leading "SCENE_" or "OUTPUT_" ("diffuse" for
// "passes/elements_diffuse.png" of elements.json).
std::string layer_name(const Session &s, const FrameBuffer &fb, size_t index) {
    std::string name = stem(fb.file);
    for (const std::string &prefix : {stem(s.scene_file) + "_", stem(s.output_file) + "_"})
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
            name = name.substr(prefix.size());
    return name.empty() ? "fb" + std::to_string(index) : name;
}

}  // namespace

bool write_images(Session &s) {
    const int W = s.camera.cam.x_resolution, H = s.camera.cam.y_resolution;
    const Window win = render_window(s);
    const Region region{W, H, win.x0, H - win.y1, win.x1 - win.x0, win.y1 - win.y0};
    bool ok = true;
    std::string error;
    std::vector<Plane> layers;
    if (!s.output_file.empty()) {
        Plane beauty;
        beauty.pixels = reinterpret_cast<const float *>(s.color.data());
        layers.push_back(beauty);
    }
    std::vector<std::vector<float>> ints;
    for (size_t b = 0; b < s.framebuffers.size(); ++b) {
        FrameBuffer &fb = s.framebuffers[b];
        if (fb.type < 0 || fb.file.empty()) continue;
        Plane plane;
        plane.channels = fb.components;
        plane.pixels = fb.sum.data();
        plane.kind = fb.type == ZO_FB_COLOR ? Plane::kColour : Plane::kData;
        if (fb.type == ZO_FB_INTEGER) {
            ints.emplace_back(fb.ints.begin(), fb.ints.end());
            plane.pixels = ints.back().data();
            plane.kind = Plane::kInteger;
        }
        if (s.out.layers && !s.output_file.empty()) {
            plane.name = layer_name(s, fb, b);
            layers.push_back(plane);
            continue;
        }
        if (!write_planes(framebuffer_path(s, fb.file), s.out, region, {plane}, error)) {
            message(kError, error.c_str());
            ok = false;
        }
    }
    if (!layers.empty() && !write_planes(s.output_file, s.out, region, layers, error)) {
        message(kError, error.c_str());
        ok = false;
    }
    return ok;
}

}  // namespace korhost
