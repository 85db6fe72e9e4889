// Photon maps: the kd-tree over the stored photons and the density
// estimates the shading services answer from them (irradiance on surfaces,
// in-scattered light in volumes).
#include <algorithm>
#include <cmath>
#include <nanoflann.hpp>

#include "photon.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {

namespace {
constexpr float kPi = 3.14159265358979323846f;
constexpr int kMaxEstimate = 1024;  // photons one estimate looks at, at most
}  // namespace

struct PhotonMap::Tree {
    using Index =
        nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<float, PhotonMap>,
                                            PhotonMap, 3, uint32_t>;
    explicit Tree(const PhotonMap &map)
        : index(3, map, nanoflann::KDTreeSingleIndexAdaptorParams(16)) {}
    Index index;
};

PhotonMap::PhotonMap() = default;
PhotonMap::~PhotonMap() = default;

void PhotonMap::build() {
    tree_.reset();
    if (!photons.empty()) tree_ = std::make_unique<Tree>(*this);
}

int PhotonMap::nearest(const Vector3 &p, int k, float r2max, uint32_t *index, float *d2) const {
    if (!tree_ || k <= 0) return 0;
    nanoflann::KNNResultSet<float, uint32_t, uint32_t> result(static_cast<uint32_t>(k));
    result.init(index, d2);
    d2[k - 1] = r2max;  // the search keeps only photons nearer than this
    const float q[3] = {p.x, p.y, p.z};
    tree_->index.findNeighbors(result, q, nanoflann::SearchParams());
    return static_cast<int>(result.size());
}

namespace {

struct Estimate {
    uint32_t index[kMaxEstimate];
    float d2[kMaxEstimate];
    int found = 0;
    float r2 = 0;  // squared radius of the disc or sphere the photons were gathered from
};

// The nearest photons: the option's count within the search radius; the
// estimate's radius is that of the farthest photon when the count was
// reached, the search radius otherwise. Where photons crowd (on a caustic
// line, where the density has no bound) the radius stays at a tenth of the
// search radius at least, and every photon within it, up to the most one
// estimate takes, counts.
void gather_photons(const PhotonMaps &m, const PhotonMap &map, const Vector3 &p, Estimate &e) {
    const int k = std::clamp(m.options.count, 1, kMaxEstimate);
    const float r2max = m.radius * m.radius, r2min = r2max * 0.01f;
    e.found = map.nearest(p, k, r2max, e.index, e.d2);
    e.r2 = e.found == k ? e.d2[e.found - 1] : r2max;
    if (e.r2 < r2min) {
        e.found = map.nearest(p, kMaxEstimate, r2min, e.index, e.d2);
        e.r2 = e.found == kMaxEstimate ? std::max(e.d2[e.found - 1], 1e-12f) : r2min;
    }
}

// Irradiance about `n` at `p` from the photons of one map: the power of the
// photons that arrived on the front of a surface facing the same way,
// within the disc of the estimate, over its area.
Vector3 surface_estimate(const PhotonMaps &m, const PhotonMap &map, const Vector3 &p,
                         const Vector3 &n) {
    if (map.empty() || !(map.emitted > 0)) return {0, 0, 0};
    Estimate e;
    gather_photons(m, map, p, e);
    Vector3 sum{0, 0, 0};
    for (int i = 0; i < e.found; ++i) {
        const Photon &ph = map.photons[e.index[i]];
        if (dot(ph.direction, n) >= 0 || dot(ph.normal, n) < 0.7f) continue;
        sum = sum + ph.power;
    }
    return sum * static_cast<float>(1.0 / (kPi * e.r2 * map.emitted));
}

// Power per volume of the volume photons about `p`, each weighted by
// `weight`(its direction).
template <class Weight>
Vector3 volume_estimate(const PhotonMaps &m, const Vector3 &p, Weight weight) {
    const PhotonMap &map = m.volume;
    if (map.empty() || !(map.emitted > 0)) return {0, 0, 0};
    Estimate e;
    gather_photons(m, map, p, e);
    Vector3 sum{0, 0, 0};
    for (int i = 0; i < e.found; ++i) {
        const Photon &ph = map.photons[e.index[i]];
        sum = sum + ph.power * weight(ph.direction);
    }
    const double r3 = std::pow(static_cast<double>(e.r2), 1.5);
    return sum * static_cast<float>(1.0 / (4.0 / 3.0 * M_PI * r3 * map.emitted));
}

const PhotonMaps *maps_of(const RenderState *state) {
    Session *s = session();
    return s && state && s->photons ? s->photons.get() : nullptr;
}

Color to_color(const Vector3 &v) {
    return Color{v.x, v.y, v.z, 1.0f};
}

zoBoolean black(Color *result) {
    if (result) *result = Color{0, 0, 0, 0};
    return 0;
}

}  // namespace

bool photon_irradiance(const Session &s, const RenderState *state, const Vector3 &n, bool global,
                       Color *result) {
    const PhotonMaps *m = s.photons.get();
    if (!m || !state) return false;
    Vector3 e = surface_estimate(*m, m->caustic, state->point, n);
    if (global) e = e + surface_estimate(*m, m->global, state->point, n);
    if (result) *result = to_color(e);
    return true;
}

}  // namespace korhost

using namespace korhost;

// The fluence of the volume photons about the point (power per volume; the
// photons' power carries the factor pi of surface irradiance, taken out
// here so that it adds to the direct light as the lights' colours do).
HOST_API zoBoolean zo_compute_volume_irradiance(Color *result, RenderState *state) {
    const PhotonMaps *m = maps_of(state);
    if (!m || m->volume.empty()) return black(result);
    const Vector3 v = volume_estimate(*m, state->point, [](const Vector3 &) { return 1.0f; });
    if (result) *result = to_color(v * (1 / kPi));
    return 1;
}

// As zo_compute_volume_irradiance, each photon weighted by 4 pi times the
// phase function towards the ray: a blend of two Schlick lobes.
HOST_API zoBoolean zo_compute_directional_irradiance(Color *result, RenderState *state, float blend,
                                                     float g1, float g2) {
    const PhotonMaps *m = maps_of(state);
    if (!m || m->volume.empty()) return black(result);
    const Vector3 view = normalize(state->dir);  // forward scattering: the photon's source ahead
    auto phase = [&](const Vector3 &travel) {
        const Vector3 towards = travel * -1.0f;  // where the photon came from
        return 4 * kPi *
               (blend * zo_schlick_scatter(&view, &towards, g1) +
                (1 - blend) * zo_schlick_scatter(&view, &towards, g2));
    };
    const Vector3 v = volume_estimate(*m, state->point, phase);
    if (result) *result = to_color(v * (1 / kPi));
    return 1;
}
