// Photon maps: the photon pass that runs before the eye pass (lights emit
// photons through their shaders, materials scatter them through their photon
// shaders), the global, caustic and volume maps it fills, and the estimates
// of irradiance and in-scattered light that the shading services answer from
// them. The light-map pass (lightmap.cpp) runs after the photon pass.
#pragma once

#include <embree3/rtcore.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "session.h"

namespace korhost {

// One stored photon: where it landed, the power it carries, the direction
// it travelled and the normal of the surface it landed on (zero in a volume).
struct Photon {
    Vector3 position;
    Vector3 power;
    Vector3 direction;
    Vector3 normal;
};

// A set of photons with a kd-tree over their positions.
class PhotonMap {
  public:
    PhotonMap();
    ~PhotonMap();
    PhotonMap(const PhotonMap &) = delete;
    PhotonMap &operator=(const PhotonMap &) = delete;
    std::vector<Photon> photons;
    double emitted = 0;  // photons emitted for this map (what their power is divided by)
    void build();
    bool empty() const { return photons.empty(); }
    // The up to `k` photons nearest `p` within distance sqrt(r2max), nearest
    // first; their indices into `photons` and squared distances go into
    // `index` and `d2` (room for k each). Returns how many were found.
    int nearest(const Vector3 &p, int k, float r2max, uint32_t *index, float *d2) const;

    // The kd-tree adaptor's interface.
    size_t kdtree_get_point_count() const { return photons.size(); }
    float kdtree_get_pt(size_t i, size_t dim) const {
        const Vector3 &p = photons[i].position;
        return dim == 0 ? p.x : dim == 1 ? p.y : p.z;
    }
    template <class Box>
    bool kdtree_get_bbox(Box &) const {
        return false;
    }

  private:
    struct Tree;
    std::unique_ptr<Tree> tree_;
};

struct PhotonMaps {
    PhotonOptions options;
    PhotonMap global, caustic, volume;
    float radius = 0;  // the search radius in use (the option, or from the scene's size)
    double seconds = 0;
    uint64_t emitted = 0, stored = 0;
};

// The scene's "photons" options (an object under "options" at `ptr`);
// `fail(pointer, problem)` reports a bad value and does not return.
void parse_photon_options(
    const json &spec, const std::string &ptr, PhotonOptions &out,
    const std::function<void(const std::string &, const std::string &)> &fail);

// Runs the photon pass when the scene asks for photons (s.photons set
// afterwards) and then the light-map pass when a material has a light-map
// shader. Called by render() before the eye pass.
void prepare_photons(Session &s);

// Irradiance about `n` at the state's point from the caustic map, plus the
// global map when `global`; false without maps.
bool photon_irradiance(const Session &s, const RenderState *state, const Vector3 &n, bool global,
                       Color *result);

// The photon shader of the state's material (call type photon): its photon
// slot, or the material shader itself, which serves photon rays too.
zoBoolean photon_material(Color *energy, RenderState *state);

// Ray queries of trace.cpp for the photon and light-map passes (and
// find_hit of session.h).
// Fills the hit fields of `state` for the point of triangle `prim` of `inst`
// with barycentric weights (1 - b1 - b2, b1, b2), seen from in front.
bool surface_state(RenderState *state, const InstanceEntry &inst, int prim, float b1, float b2);

}  // namespace korhost
