// The shading context: the questions maps and materials ask of a surface
// (texture coordinates and their footprints, points in several spaces,
// bump bases, screen coordinates, pixel size), answered from the
// RenderState, the host's triangle queries and the scene data.
#ifndef KORSHADERS_FRAME_KOR_CONTEXT_H
#define KORSHADERS_FRAME_KOR_CONTEXT_H

#include <korshaders/host.h>
#include <stdint.h>

// Per-caller record, filled by contextCreate and then only read.
struct ShadingContext {
    int32_t bakeHooks;       // triangles may come from the bake hook ("KEY_9")
    int32_t editorFallback;  // material editor: channel 1 stands in for a missing one
    float pixelScaleX;       // raster units per camera-space unit in x
    float pixelScaleY;       // -(pixel aspect) * pixelScaleX
};

// Which surface an operation answers for.
enum ContextMode : int32_t {
    kContextSurface = 0,  // the current surface
    kContextRay = 1,      // no surface: the ray alone
    kContextSpawner = 2,  // the surface that spawned the current ray
};

// Spaces of the conversions.
enum ContextSpace : int32_t { kSpaceWorld = 0, kSpaceCamera = 1, kSpaceObject = 2 };

// "KEY_8": per map channel a hook that supplies the channel's texture
// triangle in place of the host's, with its data word.
typedef zoBoolean (*ChannelHook)(void *data, RenderState *state, int channel, Vector3 vertices[3]);
struct ChannelHookTable {
    ChannelHook hooks[64];
    void *data[64];
};

// "KEY_9": the shaded triangle in camera space and in raster space (x, y).
typedef zoBoolean (*TriangleSource)(void *data, RenderState *state, Vector3 vertices[3]);
struct TriangleHook {
    TriangleSource cameraTriangle;
    TriangleSource rasterTriangle;
    void *data;
};

// "KEY_3": a material that honours the probe writes its transparency here
// and sets `filled` instead of tracing what lies behind it.
struct TransparencyProbe {
    int32_t filled;
    Color transparency;
};
static_assert(sizeof(TransparencyProbe) == 20, "transparency probe is 20 bytes");

// The part of a triangle's barycentric derivatives that does not change
// from sample to sample.
struct BaryPlane {
    int32_t orthographic;  // factors are the derivatives themselves
    float factors[6];      // perspective: k1, k2, c1, c2, c3, c4
};

// The texture triangle of one map channel on a kept triangle, as the host
// gave it.
struct KeptTexture {
    int32_t valid;
    int32_t channel;
    Vector3 vertices[3];
};

// A caller's per-thread memory of the last triangles whose footprints it
// asked for, so that the samples that hit the same triangle neither ask the
// host for it again nor turn it into camera space again. A triangle is
// known by its index in the instance's object (the state's pri_index),
// under which it keeps its vertices during a frame; the memory is valid
// while the instance transforms and the camera stay as they are, that is
// during one frame. Zero-filled means empty.
struct FootprintCache {
    // Unreflected, unrefracted rays: the triangle's part of the derivatives.
    struct {
        int32_t valid;
        int32_t triangle;
        Tag instance;
        int32_t invNormal;
        const zoCamera *camera;
        Vector3 object[3];  // the object-space position triangle
        Vector3 normal;     // the state's geometric normal
        BaryPlane plane;
        KeptTexture texture;
    } direct;
    // Reflected or refracted rays: the camera-space triangles (the path is
    // unfolded sample by sample) of the last two triangles, which a mirrored
    // quad shows side by side; `foldedNext` is the one to replace.
    struct {
        int32_t valid;
        int32_t triangle;
        Tag instance;
        const zoCamera *camera;
        Vector3 object[3];
        Vector3 vertices[3];
        KeptTexture texture;
    } folded[2];
    int32_t foldedNext;
};

namespace kor {

void contextCreate(ShadingContext *ctx, RenderState *state);
void contextRelease(ShadingContext *ctx);

// Texture-space index of a map channel (-1: none). `callerRecord`, when
// given, forces index 0 through its third 32-bit word. Channel type 2 is
// the vertex colour channel.
int selectChannel(RenderState *state, const ShadingContext *ctx, int mode, const void *callerRecord,
                  int channelType, int channelNumber);

void channelUVW(RenderState *state, const ShadingContext *ctx, int mode, int index, Vector3 *out);
void channelFootprint(RenderState *state, const ShadingContext *ctx, int mode, int index,
                      Vector3 *out);
// `cache` keeps the triangle's part of the footprint between calls of one
// thread.
void channelFootprint(RenderState *state, const ShadingContext *ctx, int mode, int index,
                      Vector3 *out, FootprintCache *cache);
void channelNormal(RenderState *state, const ShadingContext *ctx, int mode, int index,
                   Vector3 *out);
// U, V and W directions of texture space on the surface, in camera space.
void bumpBasis(RenderState *state, const ShadingContext *ctx, int mode, int index,
               Vector3 basis[3]);
// dP/du and dP/dv for texture axis `axis` and the next one, normalised.
void dPdUV(RenderState *state, const ShadingContext *ctx, int mode, int axis, int index,
           Vector3 out[2]);
// d(b1)/dx, d(b1)/dy, d(b2)/dx, d(b2)/dy of the barycentric weights over
// the raster.
void baryDerivatives(RenderState *state, const ShadingContext *ctx, int mode, float out[4]);
float spread(RenderState *state, const ShadingContext *ctx, int mode);
float pixelSize(RenderState *state, const ShadingContext *ctx, int mode);
void objectPointNormalized(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out);
void objectPointNormalizedDerivative(RenderState *state, const ShadingContext *ctx, int mode,
                                     Vector3 *out);
void objectPoint(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out);
void objectPointDerivative(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out);
// `cache`: as for channelFootprint.
void objectPointDerivative(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out,
                           FootprintCache *cache);
void shadingPoint(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out);
void shadingPointDerivative(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out);
void screenUV(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out);
void screenRegionUV(RenderState *state, const ShadingContext *ctx, int mode, float width,
                    float height, Vector3 *out);
void pointToSpace(RenderState *state, const ShadingContext *ctx, int mode, Vector3 point, int space,
                  Vector3 *out);
void vectorToSpace(RenderState *state, const ShadingContext *ctx, int mode, Vector3 vector,
                   int space, Vector3 *out);
void vectorFromSpace(RenderState *state, const ShadingContext *ctx, int mode, Vector3 vector,
                     int space, Vector3 *out);
void rasterMotion(RenderState *state, const ShadingContext *ctx, int mode, Vector3 *out);
void interpolatedNormal(RenderState *state, const ShadingContext *ctx, int mode, bool objectSpace,
                        Vector3 *out);

// Compound-material helpers.
zoBoolean chooseMaterialBySample(Color *result, RenderState *state, float threshold, Tag materialA,
                                 Tag materialB);
zoBoolean callMaterialWithTransparency(Color *result, Color *transparency, RenderState *state,
                                       Tag material);

}  // namespace kor

#endif
