// The photon pass: lights emit photons through their shaders, photons
// travel through the scene and scatter at surfaces through the materials'
// photon shaders and in media through the photon volume shaders, which store
// them in the global, caustic and volume photon maps.
//
// Each light's photons carry its power: pi times the integral over the
// sphere of the colour its shader gives a point at distance 1, so that the
// irradiance photons estimate, divided by pi as materials divide it, adds to
// the direct light as the light's colour times the cosine does. The light's
// shader chooses the directions and the relative energies; the host scales
// them to that power. A light shader that emits nothing gets the host's
// emission: directions over the sphere, each photon as strong as the light's
// colour in its direction.
//
// Every photon's path depends on its own number and the seed only, never on
// the thread that traces it: the maps are the same for any thread count.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "photon.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {

void prepare_lightmaps(Session &s);  // lightmap.cpp

namespace {

constexpr float kPi = 3.14159265358979323846f;
constexpr int kChunk = 256;             // photons a thread takes at a time
constexpr int kProbeDirections = 4096;  // directions a light's power is measured in

enum Pass { kGlobalPass, kCausticPass, kVolumePass };

struct Emitted {
    Vector3 org, dir;
    Color energy;
    Tag light;
};

// What the photon calls of the current thread work on during the pass.
struct Job {
    Pass pass = kGlobalPass;
    int depth = 6;
    bool caustic_map = false;  // a caustic pass runs too: the global map leaves caustics out
    std::vector<Emitted> *emitted = nullptr;  // emission: zo_photon_light appends here
    std::vector<Photon> *stored = nullptr;    // tracing: the photons stored
};
thread_local Job *t_job = nullptr;

float ray_eps(const Vector3 &p) {
    return 1e-4f * std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z), 1.0f});
}

bool scene_bounds(const Session &s, Vector3 *lo, Vector3 *hi) {
    bool any = false;
    *lo = Vector3{INFINITY, INFINITY, INFINITY};
    *hi = Vector3{-INFINITY, -INFINITY, -INFINITY};
    for (const InstanceEntry &inst : s.instances)
        for (uint32_t k = 0; k < inst.object->mesh.P.size(); ++k) {
            const Vector3 p = world_point(inst, k);
            *lo = Vector3{std::min(lo->x, p.x), std::min(lo->y, p.y), std::min(lo->z, p.z)};
            *hi = Vector3{std::max(hi->x, p.x), std::max(hi->y, p.y), std::max(hi->z, p.z)};
            any = true;
        }
    return any;
}

// The photon state's random numbers follow from its number and the seed.
void photon_state(Session &s, RenderState &st, ThreadContext *ctx, size_t number, uint32_t seed,
                  Pass pass) {
    ctx->begin_sample();
    make_state(s, st, ctx);
    st.raster_x = static_cast<float>(number % 4096);
    st.raster_y = static_cast<float>(number / 4096);
    st.sample_index = static_cast<int32_t>(seed * 3u + static_cast<uint32_t>(pass));
    st.volume = 0;
    st.environment = 0;
}

// The first surface along a ray from `from`: its distance, or 0 for none.
float first_hit(RenderState &st, const Vector3 &from, const Vector3 &dir) {
    thread_context()->begin_sample();
    RenderState probe = st;
    probe.org = from;
    probe.dir = dir;
    return find_hit(&probe, 0.0f, INFINITY) ? static_cast<float>(probe.dist) : 0.0f;
}

// The colour the light's shader gives the point at distance `dist` from
// `from` along `dir`, as a surface facing the light, with shadows off.
Color probe_light(RenderState &st, const LightEntry &l, const Vector3 &from, const Vector3 &dir,
                  float dist, zoOptions *unshadowed) {
    RenderState ls = st;
    ls.type = ZO_RAY_LIGHT;
    ls.options = unshadowed;
    ls.light_instance = l.instance;
    ls.instance = 0;
    ls.org = from;
    ls.dir = dir;
    ls.dist = dist;
    ls.point = from + dir * dist;
    ls.normal = ls.normal_geom = dir * -1.0f;
    ls.dot_nd = 1;
    ls.volume = 0;
    Color c{0, 0, 0, 0};
    if (!call_shader(&c, ZO_CALL_LIGHT, &ls, l.rec.shader, nullptr)) return Color{0, 0, 0, 0};
    return c;
}

Vector3 sphere_dir(const double u[2]) {
    const float z = 1 - 2 * static_cast<float>(u[0]);
    const float r = std::sqrt(std::max(0.0f, 1 - z * z)), phi = 2 * kPi * static_cast<float>(u[1]);
    return Vector3{r * std::cos(phi), r * std::sin(phi), z};
}

// Runs `work(index, ctx)` for indices [0, n) on the render threads, chunk by
// chunk; `chunk_done(chunk)` gathers nothing itself, the caller keeps per-chunk
// results.
template <class Work>
void parallel(Session &s, size_t n, Work work) {
    const size_t chunks = (n + kChunk - 1) / kChunk;
    std::atomic<size_t> next{0};
    auto worker = [&](int index) {
        ThreadContext *ctx = s.contexts[index].get();
        set_thread_context(ctx);
        for (size_t c; (c = next.fetch_add(1)) < chunks;) {
            if (s.aborted.load(std::memory_order_relaxed)) break;
            for (size_t i = c * kChunk; i < std::min(n, (c + 1) * kChunk); ++i) work(c, i, ctx);
        }
        set_thread_context(nullptr);
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < s.threads; ++i) pool.emplace_back(worker, i);
    worker(0);
    for (std::thread &t : pool) t.join();
}

// The photons of one light for one pass, scaled to the light's power.
void emit_light(Session &s, const LightEntry &l, size_t attempts, uint32_t seed, Pass pass,
                std::vector<Emitted> &out) {
    zoOptions unshadowed = s.options;
    unshadowed.shadow = ZO_SHADOW_OFF;
    const bool directional = l.rec.type == 1;
    Vector3 lo, hi;
    if (!scene_bounds(s, &lo, &hi)) return;
    ThreadContext *ctx0 = s.contexts[0].get();
    // The light's power: what its light gives the surfaces it reaches first
    // (the colour at the surface times the distance squared, over the
    // sphere of directions; directional lights: the colour over the square
    // across the beam that covers the scene's box), times pi.
    double power[3] = {0, 0, 0};
    const Vector3 across = std::fabs(l.direction.x) < 0.9f ? Vector3{1, 0, 0} : Vector3{0, 1, 0};
    const Vector3 bu = normalize(cross(l.direction, across)), bv = cross(l.direction, bu);
    const Vector3 centre = (lo + hi) * 0.5f;
    const float half = 0.5f * std::sqrt(dot(hi - lo, hi - lo)) * 1.01f;
    {
        set_thread_context(ctx0);
        RenderState st;
        photon_state(s, st, ctx0, 0, seed, pass);
        const uint32_t scramble = hash32(0x50484f54u ^ l.instance);
        for (int k = 0; k < kProbeDirections; ++k) {
            double q[2];
            qmc_point(q, 2, k, kProbeDirections, scramble);
            const Vector3 from = directional ? centre - l.direction * (2 * half) +
                                                   bu * (half * static_cast<float>(2 * q[0] - 1)) +
                                                   bv * (half * static_cast<float>(2 * q[1] - 1))
                                             : l.origin;
            const Vector3 dir = directional ? l.direction : sphere_dir(q);
            const float d = first_hit(st, from, dir);
            if (!(d > 0)) continue;
            const Color c = probe_light(st, l, from, dir, d, &unshadowed);
            const double w = directional ? 1.0 : static_cast<double>(d) * d;
            power[0] += c.r * w;
            power[1] += c.g * w;
            power[2] += c.b * w;
        }
        const double measure = directional ? 4.0 * half * half : 4.0 * M_PI;
        for (double &p : power) p *= kPi * measure / kProbeDirections;
        set_thread_context(nullptr);
    }
    if (!(power[0] > 0 || power[1] > 0 || power[2] > 0)) return;
    // The light's own emission, one shader call per attempt.
    const int emit_type = pass == kGlobalPass    ? ZO_PHOTON_EMIT_GLOBILLUM
                          : pass == kCausticPass ? ZO_PHOTON_EMIT_CAUSTIC
                                                 : ZO_PHOTON_EMIT_VOLUME;
    const size_t chunks = (attempts + kChunk - 1) / kChunk;
    std::vector<std::vector<Emitted>> per_chunk(chunks);
    parallel(s, attempts, [&](size_t chunk, size_t i, ThreadContext *ctx) {
        RenderState st;
        photon_state(s, st, ctx, i, seed ^ l.instance * 0x9e3779b9u, pass);
        st.type = emit_type;
        st.light_instance = l.instance;
        st.org = st.point = l.origin;
        st.dir = l.direction;
        Job job;
        job.emitted = &per_chunk[chunk];
        t_job = &job;
        Color energy{1, 1, 1, 1};
        call_shader(&energy, ZO_CALL_EMITTER, &st, l.rec.shader, nullptr);
        t_job = nullptr;
    });
    std::vector<Emitted> photons;
    for (auto &c : per_chunk) photons.insert(photons.end(), c.begin(), c.end());
    if (photons.empty() && !directional) {
        // The host's emission: directions over the sphere, each photon as
        // strong as the light in its direction.
        ThreadContext *ctx = s.contexts[0].get();
        set_thread_context(ctx);
        RenderState st;
        photon_state(s, st, ctx, 0, seed, pass);
        const uint32_t scramble = hash32(seed ^ 0x44454655u ^ l.instance);
        for (size_t i = 0; i < attempts; ++i) {
            double q[2];
            qmc_point(q, 2, static_cast<int>(i), static_cast<int>(attempts), scramble);
            const Vector3 d = sphere_dir(q);
            const float dist = first_hit(st, l.origin, d);
            if (!(dist > 0)) continue;
            const Color c = probe_light(st, l, l.origin, d, dist, &unshadowed);
            const float w = dist * dist;  // the light's flux in the direction
            if (c.r > 0 || c.g > 0 || c.b > 0)
                photons.push_back({l.origin, d, Color{c.r * w, c.g * w, c.b * w, 1}, l.instance});
        }
        set_thread_context(nullptr);
    }
    // Scale the photons to the light's power: per channel, the power over
    // what the photons that reach a surface carry together.
    double sum[3] = {0, 0, 0};
    set_thread_context(ctx0);
    RenderState st;
    photon_state(s, st, ctx0, 0, seed, pass);
    for (const Emitted &e : photons) {
        if (!(first_hit(st, e.org, e.dir) > 0)) continue;
        sum[0] += e.energy.r;
        sum[1] += e.energy.g;
        sum[2] += e.energy.b;
    }
    set_thread_context(nullptr);
    float k[3];
    for (int c = 0; c < 3; ++c) k[c] = sum[c] > 0 ? static_cast<float>(power[c] / sum[c]) : 0.0f;
    for (Emitted &e : photons) {
        e.energy = Color{e.energy.r * k[0], e.energy.g * k[1], e.energy.b * k[2], 1.0f};
        e.light = l.instance;
        out.push_back(e);
    }
}

void trace_pass(Session &s, PhotonMaps &maps, Pass pass, int count) {
    if (count <= 0 || s.lights.empty()) return;
    const uint32_t seed = maps.options.seed;
    std::vector<Emitted> emitted;
    const size_t per_light = std::max<size_t>(1, static_cast<size_t>(count) / s.lights.size());
    for (const LightEntry &l : s.lights)
        if (l.rec.shader) emit_light(s, l, per_light, seed, pass, emitted);
    maps.emitted += per_light * s.lights.size();
    const size_t chunks = (emitted.size() + kChunk - 1) / kChunk;
    std::vector<std::vector<Photon>> per_chunk(chunks);
    parallel(s, emitted.size(), [&](size_t chunk, size_t i, ThreadContext *ctx) {
        const Emitted &e = emitted[i];
        RenderState st;
        photon_state(s, st, ctx, i, seed ^ 0x7f4a7c15u, pass);
        st.type = ZO_PHOTON_LIGHT;
        st.call_type = ZO_CALL_EMITTER;
        st.light_instance = e.light;
        st.org = st.point = e.org;
        st.dir = e.dir;
        Job job;
        job.pass = pass;
        job.depth = maps.options.depth;
        job.caustic_map = maps.options.caustic > 0;
        job.stored = &per_chunk[chunk];
        t_job = &job;
        Color energy = e.energy;
        zo_photon_light(&energy, &st);
        t_job = nullptr;
    });
    PhotonMap &map = pass == kGlobalPass    ? maps.global
                     : pass == kCausticPass ? maps.caustic
                                            : maps.volume;
    for (auto &c : per_chunk) map.photons.insert(map.photons.end(), c.begin(), c.end());
    map.emitted = 1;  // the photons carry their share of the lights' power already
    map.build();
    maps.stored += map.photons.size();
}

bool photon_ray_type(int type) {
    return (type >= ZO_PHOTON_ABSORB && type <= ZO_PHOTON_TRANSMIT_DIFFUSE) ||
           type == ZO_PHOTON_SCATTER_VOLUME || type == ZO_PHOTON_TRANSPARENT;
}

// The photon's path so far: straight from the light (no surface before this
// one but transparent ones), or through specular and glossy interactions
// only (a caustic), or anything else.
enum PathKind { kDirect, kCausticPath, kIndirect };
PathKind path_kind(const RenderState *state) {
    const RenderState *s = state;
    bool specular = true;
    bool bounced = false;
    for (; s && photon_ray_type(s->type) && s->type != ZO_PHOTON_LIGHT; s = s->parent) {
        if (s->type == ZO_PHOTON_TRANSPARENT) continue;
        bounced = true;
        if (s->type != ZO_PHOTON_REFLECT_SPECULAR && s->type != ZO_PHOTON_REFLECT_GLOSSY &&
            s->type != ZO_PHOTON_TRANSMIT_SPECULAR && s->type != ZO_PHOTON_TRANSMIT_GLOSSY)
            specular = false;
    }
    if (!bounced) return kDirect;
    return specular ? kCausticPath : kIndirect;
}

// Carries the photon of `state` on from its point as a photon ray of `type`.
zoBoolean continue_photon(Color *energy, RenderState *state, int type, const Vector3 *direction) {
    Job *job = t_job;
    Session *s = session();
    if (!job || !job->stored || !s || !state || !energy) return 0;
    // A caustic pass follows specular paths only.
    if (job->pass == kCausticPass &&
        (type == ZO_PHOTON_REFLECT_DIFFUSE || type == ZO_PHOTON_TRANSMIT_DIFFUSE))
        return 0;
    if (!(energy->r > 0 || energy->g > 0 || energy->b > 0)) return 0;
    RenderState c = *state;
    c.parent = state;
    c.child = nullptr;
    c.type = type;
    c.org = state->point;
    c.dir = normalize(direction ? *direction : state->dir);
    c.trace_depth = state->trace_depth + 1;
    c.secondary = 1;
    if (c.trace_depth > job->depth + 1) return 0;
    const bool transmit = type == ZO_PHOTON_TRANSMIT_SPECULAR ||
                          type == ZO_PHOTON_TRANSMIT_GLOSSY || type == ZO_PHOTON_TRANSMIT_DIFFUSE ||
                          type == ZO_PHOTON_TRANSPARENT;
    const bool reflect = type == ZO_PHOTON_REFLECT_SPECULAR || type == ZO_PHOTON_REFLECT_GLOSSY ||
                         type == ZO_PHOTON_REFLECT_DIFFUSE;
    if (transmit) {
        ++c.refraction_level;
        c.ior_in = state->ior;
        c.ior = state->ior_in;
        // Into an object: its material's photon volume; out of it: none.
        c.volume = 0;
        if (!state->inv_normal && state->material < s->db.size()) {
            const DbItem &it = s->db[state->material];
            if (it.type == ZO_DB_MATERIAL || it.type == ZO_DB_MATERIAL_PHENOMENON)
                c.volume = static_cast<const MaterialEntry *>(it.record)->slots[kSlotPhotonVol];
        }
    } else if (reflect) {
        ++c.reflection_level;
    }
    const float eps = type == ZO_PHOTON_SCATTER_VOLUME ? 0.0f : ray_eps(state->point);
    c.org = state->point;
    RenderState *saved = state->child;
    state->child = &c;
    ++thread_context()->rays;
    const bool hit = find_hit(&c, eps, INFINITY);
    Color e = *energy;
    zoBoolean ok = 0;
    if (c.volume)
        ok = call_shader(&e, ZO_CALL_PHOTONVOL, &c, c.volume, nullptr);
    else if (hit)
        ok = photon_material(&e, &c);
    state->child = saved;
    return ok;
}

}  // namespace

zoBoolean photon_material(Color *energy, RenderState *state) {
    Session *s = session();
    if (!s || !state || state->dist == 0 || !state->material || state->material >= s->db.size())
        return 0;
    const DbItem &item = s->db[state->material];
    if (item.type != ZO_DB_MATERIAL && item.type != ZO_DB_MATERIAL_PHENOMENON) return 0;
    const MaterialEntry *m = static_cast<const MaterialEntry *>(item.record);
    const Tag shader = m->slots[kSlotPhoton] ? m->slots[kSlotPhoton] : m->slots[kSlotMaterial];
    if (!shader) return 0;
    return call_shader(energy, ZO_CALL_PHOTON, state, shader, nullptr);
}

void parse_photon_options(
    const json &spec, const std::string &ptr, PhotonOptions &out,
    const std::function<void(const std::string &, const std::string &)> &fail) {
    if (!spec.is_object()) fail(ptr, "\"photons\" must be an object");
    auto whole = [&](const char *key, int lo, int hi, int &value) {
        if (!spec.contains(key)) return;
        const json &v = spec[key];
        const std::string at = ptr + "/" + key;
        if (!v.is_number_integer()) fail(at, std::string("\"") + key + "\" must be a whole number");
        const long long n = v.get<long long>();
        if (n < lo || n > hi)
            fail(at, std::string("\"") + key + "\" must be between " + std::to_string(lo) +
                         " and " + std::to_string(hi));
        value = static_cast<int>(n);
    };
    for (const auto &item : spec.items()) {
        const std::string &k = item.key();
        if (k != "global" && k != "caustic" && k != "volume" && k != "count" && k != "radius" &&
            k != "depth" && k != "seed" && k != "description")
            fail(ptr + "/" + k,
                 "unknown key \"" + k +
                     "\" (global, caustic, volume, count, radius, depth, seed, description)");
    }
    whole("global", 0, 100000000, out.global);
    whole("caustic", 0, 100000000, out.caustic);
    whole("volume", 0, 100000000, out.volume);
    whole("count", 1, 1024, out.count);
    whole("depth", 1, 64, out.depth);
    int seed = 0;
    whole("seed", 0, 2147483647, seed);
    out.seed = static_cast<uint32_t>(seed);
    if (spec.contains("radius")) {
        const json &v = spec["radius"];
        if (!v.is_number() || !(v.get<double>() >= 0))
            fail(ptr + "/radius", "\"radius\" must be a number, 0 or more");
        out.radius = v.get<float>();
    }
}

void prepare_photons(Session &s) {
    if (s.photon_options.any() && !s.lights.empty()) {
        const auto start = std::chrono::steady_clock::now();
        auto maps = std::make_shared<PhotonMaps>();
        maps->options = s.photon_options;
        maps->radius = maps->options.radius;
        Vector3 lo, hi;
        if (!(maps->radius > 0) && scene_bounds(s, &lo, &hi))
            maps->radius = std::sqrt(dot(hi - lo, hi - lo)) / 25;
        if (!(maps->radius > 0)) maps->radius = 1;
        trace_pass(s, *maps, kGlobalPass, maps->options.global);
        trace_pass(s, *maps, kCausticPass, maps->options.caustic);
        trace_pass(s, *maps, kVolumePass, maps->options.volume);
        maps->seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        messagef(kInfo,
                 "photons: %llu emitted, %zu global, %zu caustic, %zu volume stored in %.2f s "
                 "(search radius %g)",
                 static_cast<unsigned long long>(maps->emitted), maps->global.photons.size(),
                 maps->caustic.photons.size(), maps->volume.photons.size(), maps->seconds,
                 maps->radius);
        if (s.settings.benchmark)
            printf(
                "photons: emitted=%llu stored=%llu seconds=%.3f emitted_per_second=%.0f "
                "stored_per_second=%.0f\n",
                static_cast<unsigned long long>(maps->emitted),
                static_cast<unsigned long long>(maps->stored), maps->seconds,
                maps->emitted / std::max(maps->seconds, 1e-9),
                maps->stored / std::max(maps->seconds, 1e-9));
        s.photons = maps;
    }
    prepare_lightmaps(s);
}

}  // namespace korhost

using namespace korhost;

// During the photon pass's emission the photon is kept for tracing; during
// tracing it leaves the light from state->org along state->dir.
HOST_API zoBoolean zo_photon_light(Color *energy, RenderState *state) {
    Job *job = t_job;
    if (!job || !energy || !state) return 0;
    if (job->emitted) {
        job->emitted->push_back(
            {state->org, normalize(state->dir), *energy, state->light_instance});
        return 1;
    }
    state->point = state->org;
    return continue_photon(energy, state, ZO_PHOTON_LIGHT, &state->dir);
}

// Surface photons: the global map takes the photons that came to the point
// by way of a diffuse or glossy bounce (and the caustic ones when no caustic
// pass runs), the caustic map those that came through specular interactions
// only. Photons straight from the light are the direct light, which the
// lights give.
HOST_API void zo_store_photon(const Color *energy, RenderState *state) {
    Job *job = t_job;
    if (!job || !job->stored || !energy || !state || job->pass == kVolumePass) return;
    const PathKind kind = path_kind(state);
    if (kind == kDirect) return;
    if (job->pass == kCausticPass ? kind != kCausticPath
                                  : (kind == kCausticPath && job->caustic_map))
        return;
    job->stored->push_back(
        {state->point, {energy->r, energy->g, energy->b}, normalize(state->dir), state->normal});
}

HOST_API void zo_store_volume_photon(const Color *energy, RenderState *state) {
    Job *job = t_job;
    if (!job || !job->stored || !energy || !state || job->pass != kVolumePass) return;
    job->stored->push_back(
        {state->point, {energy->r, energy->g, energy->b}, normalize(state->dir), {0, 0, 0}});
}

HOST_API zoBoolean zo_photon_reflection_specular(Color *energy, RenderState *state,
                                                 const Vector3 *dir) {
    return continue_photon(energy, state, ZO_PHOTON_REFLECT_SPECULAR, dir);
}
HOST_API zoBoolean zo_photon_reflection_glossy(Color *energy, RenderState *state,
                                               const Vector3 *dir) {
    return continue_photon(energy, state, ZO_PHOTON_REFLECT_GLOSSY, dir);
}
HOST_API zoBoolean zo_photon_reflection_diffuse(Color *energy, RenderState *state,
                                                const Vector3 *dir) {
    return continue_photon(energy, state, ZO_PHOTON_REFLECT_DIFFUSE, dir);
}
HOST_API zoBoolean zo_photon_transmission_specular(Color *energy, RenderState *state,
                                                   const Vector3 *dir) {
    return continue_photon(energy, state, ZO_PHOTON_TRANSMIT_SPECULAR, dir);
}
HOST_API zoBoolean zo_photon_transmission_glossy(Color *energy, RenderState *state,
                                                 const Vector3 *dir) {
    return continue_photon(energy, state, ZO_PHOTON_TRANSMIT_GLOSSY, dir);
}
HOST_API zoBoolean zo_photon_transmission_diffuse(Color *energy, RenderState *state,
                                                  const Vector3 *dir) {
    return continue_photon(energy, state, ZO_PHOTON_TRANSMIT_DIFFUSE, dir);
}
// Through the surface unchanged.
HOST_API zoBoolean zo_photon_transparent(Color *energy, RenderState *state) {
    return continue_photon(energy, state, ZO_PHOTON_TRANSPARENT, nullptr);
}
// On from the state's point (in the medium) along the state's direction.
HOST_API zoBoolean zo_photon_volume_scattering(Color *energy, RenderState *state) {
    return continue_photon(energy, state, ZO_PHOTON_SCATTER_VOLUME, nullptr);
}
