// The shading context: camera scales, barycentric derivatives against
// finite differences of the projection, footprints, bases, channel
// selection and the answers of each mode.
#include <gtest/gtest.h>

#include <cmath>

#include "internal/internal.h"
#include "kor_context.h"
#include "kor_vector.h"
#include "scenedata.h"

namespace {

using namespace kor;

constexpr int kXres = 640, kYres = 480;

class Context : public ::testing::Test {
  protected:
    void SetUp() override {
        internal::reset();
        camera.focal = 2.0f;
        camera.aperture = 1.0f;
        camera.x_resolution = kXres;
        camera.y_resolution = kYres;
        state.camera = &camera;
        state.options = &options;
        state.pri = &primitive;
        state.type = ZO_RAY_EYE;
        contextCreate(&ctx, &state);
    }

    // A triangle in camera space (object space coincides in the test host).
    void set_triangle(Vector3 a, Vector3 b, Vector3 c) {
        tri[0] = a;
        tri[1] = b;
        tri[2] = c;
        internal::scene().triangles[{ZO_TRI_POSITION, 0}] = {a, b, c};
    }

    // The point of the triangle's plane seen at raster (rx, ry) and its
    // weights of vertices 1 and 2, by the projection the context assumes.
    Vector3 hit(double rx, double ry, double *b1 = nullptr, double *b2 = nullptr) const {
        const double X = rx - kXres * 0.5 + 0.5, Y = kYres * 0.5 - ry + 0.5;
        const double d[3] = {-X / ctx.pixelScaleX, -Y / ctx.pixelScaleY, -1};
        double a[3], e1[3], e2[3], n[3];
        for (int i = 0; i < 3; ++i) {
            a[i] = component(tri[0], i);
            e1[i] = component(tri[1], i) - a[i];
            e2[i] = component(tri[2], i) - a[i];
        }
        for (int i = 0; i < 3; ++i)
            n[i] = e1[(i + 1) % 3] * e2[(i + 2) % 3] - e1[(i + 2) % 3] * e2[(i + 1) % 3];
        const double t =
            (n[0] * a[0] + n[1] * a[1] + n[2] * a[2]) / (n[0] * d[0] + n[1] * d[1] + n[2] * d[2]);
        double q[3];
        for (int i = 0; i < 3; ++i) q[i] = t * d[i] - a[i];
        // weights solved in the plane of the two smaller normal components
        int u = 0, v = 1;
        if (std::fabs(n[0]) >= std::fabs(n[1]) && std::fabs(n[0]) >= std::fabs(n[2]))
            u = 1, v = 2;
        else if (std::fabs(n[1]) >= std::fabs(n[2]))
            u = 0, v = 2;
        const double det = e1[u] * e2[v] - e1[v] * e2[u];
        if (b1) *b1 = (q[u] * e2[v] - q[v] * e2[u]) / det;
        if (b2) *b2 = (e1[u] * q[v] - e1[v] * q[u]) / det;
        return {float(t * d[0]), float(t * d[1]), float(t * d[2])};
    }

    void look_at(float rx, float ry) {
        state.raster_x = rx;
        state.raster_y = ry;
        state.point = hit(rx, ry);
    }

    zoCamera camera{};
    zoOptions options{};
    RenderState state{};
    int primitive = 0;
    ShadingContext ctx{};
    Vector3 tri[3];
};

TEST_F(Context, CameraScales) {
    EXPECT_FLOAT_EQ(ctx.pixelScaleX, (2.0f * -2.0f / 1.0f) * kXres * 0.5f);
    EXPECT_FLOAT_EQ(ctx.pixelScaleY, -ctx.pixelScaleX);
    EXPECT_EQ(ctx.bakeHooks, 0);
    EXPECT_FLOAT_EQ(pixelSize(&state, &ctx, 0), 1.0f / 1280.0f);

    SceneData scene{};
    scene.pixelAspect = 0.5f;
    scene.bakeHooks = 1;
    scene.materialEditor = 3;
    options.userdata = 9;
    internal::host().data_blocks[9] = &scene;
    camera.orthographic = 1;
    camera.aperture = 4.0f;
    contextCreate(&ctx, &state);
    EXPECT_FLOAT_EQ(ctx.pixelScaleX, kXres / 4.0f);
    EXPECT_FLOAT_EQ(ctx.pixelScaleY, -0.5f * kXres / 4.0f);
    EXPECT_EQ(ctx.bakeHooks, 1);
    EXPECT_EQ(ctx.editorFallback, 3);
    EXPECT_EQ(pixelSize(&state, &ctx, 0), 0.0f) << "orthographic";
}

TEST_F(Context, BarycentricDerivativesMatchFiniteDifferences) {
    // one triangle facing each axis, so every case of the solve is used
    const Vector3 triangles[][3] = {
        {{-0.3f, -0.2f, -3.0f}, {0.4f, -0.1f, -3.5f}, {0.0f, 0.5f, -2.5f}},     // faces z
        {{-0.5f, -0.4f, -3.0f}, {-0.4f, 0.5f, -3.1f}, {-0.45f, 0.0f, -5.0f}},   // faces x
        {{-0.5f, -0.3f, -3.0f}, {0.5f, -0.32f, -3.2f}, {0.0f, -0.25f, -6.0f}},  // faces y
    };
    const float rasters[][2] = {{320, 240}, {100, 50}, {600, 420}, {250, 300}};
    for (const auto &t : triangles) {
        set_triangle(t[0], t[1], t[2]);
        for (const auto &r : rasters) {
            SCOPED_TRACE(testing::Message() << "raster " << r[0] << "," << r[1]);
            if (hit(r[0], r[1]).z >= 0) continue;  // the plane lies behind the camera there
            look_at(r[0], r[1]);
            float d[4];
            baryDerivatives(&state, &ctx, 0, d);
            const double h = 1e-3;
            double b1p, b2p, b1m, b2m;
            hit(r[0] + h, r[1], &b1p, &b2p);
            hit(r[0] - h, r[1], &b1m, &b2m);
            const double d1x = (b1p - b1m) / (2 * h), d2x = (b2p - b2m) / (2 * h);
            hit(r[0], r[1] + h, &b1p, &b2p);
            hit(r[0], r[1] - h, &b1m, &b2m);
            // the y derivatives are taken toward decreasing raster y
            const double d1y = -(b1p - b1m) / (2 * h), d2y = -(b2p - b2m) / (2 * h);
            const double scale =
                std::max({std::fabs(d1x), std::fabs(d1y), std::fabs(d2x), std::fabs(d2y)});
            EXPECT_NEAR(d[0], d1x, 2e-3 * scale);
            EXPECT_NEAR(d[1], d1y, 2e-3 * scale);
            EXPECT_NEAR(d[2], d2x, 2e-3 * scale);
            EXPECT_NEAR(d[3], d2y, 2e-3 * scale);
        }
    }
}

TEST_F(Context, DPdUVIncludingDegenerateTextureTriangles) {
    set_triangle({0, 0, -5}, {2, 0, -5}, {0, 3, -5});
    auto &tris = internal::scene().triangles;
    tris[{ZO_TRI_TEXTURE, 0}] = {Vector3{0, 0, 0}, Vector3{1, 0, 0}, Vector3{0, 1, 0}};
    Vector3 out[2];
    dPdUV(&state, &ctx, 0, 0, 0, out);
    EXPECT_NEAR(out[0].x, 1, 1e-6);
    EXPECT_NEAR(out[1].y, 1, 1e-6);
    // texture v grows along x: dP/dv points along x, dP/du along y
    tris[{ZO_TRI_TEXTURE, 0}] = {Vector3{0, 0, 0}, Vector3{0, 1, 0}, Vector3{1, 0, 0}};
    dPdUV(&state, &ctx, 0, 0, 0, out);
    EXPECT_NEAR(out[0].y, 1, 1e-6);
    EXPECT_NEAR(out[1].x, 1, 1e-6);
    // degenerate: u changes along both edges, v along neither
    tris[{ZO_TRI_TEXTURE, 0}] = {Vector3{0, 0, 0}, Vector3{1, 0, 0}, Vector3{2, 0, 0}};
    dPdUV(&state, &ctx, 0, 0, 0, out);
    EXPECT_NEAR(out[0].x, 1, 1e-6) << "first edge with a u difference";
    EXPECT_EQ(length(out[1]), 0.0f);
    // degenerate: only the second edge has a u difference
    tris[{ZO_TRI_TEXTURE, 0}] = {Vector3{0, 0, 0}, Vector3{0, 0, 0}, Vector3{2, 0, 0}};
    dPdUV(&state, &ctx, 0, 0, 0, out);
    EXPECT_NEAR(out[0].y, 1, 1e-6);
    // channel -1: zero
    out[0] = {1, 1, 1};
    dPdUV(&state, &ctx, 0, 0, -1, out);
    EXPECT_EQ(length(out[0]), 0.0f);
}

TEST_F(Context, ModesOnAnEyeRay) {
    state.dir = {0, 0.6f, -0.8f};
    state.point = {1, 2, 3};
    Vector3 tex[2] = {{0.25f, 0.5f, 0}, {0.75f, 0.125f, 0}};
    state.tex_list = tex;
    state.tex_count = 2;
    Vector3 v;
    channelUVW(&state, &ctx, 0, 1, &v);
    EXPECT_EQ(v.x, 0.75f);
    channelUVW(&state, &ctx, 1, 1, &v);
    EXPECT_EQ(length(v), 0.0f) << "no surface: only channel 0";
    channelUVW(&state, &ctx, 1, 0, &v);
    EXPECT_EQ(v.x, 0.25f);
    // the spawning surface of an eye ray: 100 units along the ray
    for (auto op : {channelUVW}) {
        op(&state, &ctx, 2, 1, &v);
        EXPECT_FLOAT_EQ(v.y, 60.0f);
        EXPECT_FLOAT_EQ(v.z, -80.0f);
    }
    shadingPoint(&state, &ctx, 2, &v);
    EXPECT_FLOAT_EQ(v.z, -80.0f);
    objectPoint(&state, &ctx, 2, &v);
    EXPECT_FLOAT_EQ(v.y, 60.0f);
    objectPointNormalized(&state, &ctx, 2, &v);
    EXPECT_FLOAT_EQ(v.y, 60.0f);
    objectPointNormalized(&state, &ctx, 1, &v);
    EXPECT_FLOAT_EQ(v.y, 0.6f) << "no surface: the ray direction";
    objectPoint(&state, &ctx, 1, &v);
    EXPECT_EQ(v.z, 3.0f);
    // unknown modes give neutral values
    channelUVW(&state, &ctx, 5, 1, &v);
    EXPECT_EQ(length(v), 0.0f);
    shadingPoint(&state, &ctx, -1, &v);
    EXPECT_EQ(length(v), 0.0f);
    EXPECT_EQ(selectChannel(&state, &ctx, 9, nullptr, 0, 1), -1);
}

TEST_F(Context, ObjectPointNormalizedOverTheBoundingBox) {
    state.point = {1, 2, 3};
    internal::scene().bbox_min = {0, 0, 0};
    internal::scene().bbox_max = {2, 8, 3};
    Vector3 v;
    objectPointNormalized(&state, &ctx, 0, &v);
    EXPECT_FLOAT_EQ(v.x, 0.0f);
    EXPECT_FLOAT_EQ(v.y, -0.5f);
    EXPECT_FLOAT_EQ(v.z, 1.0f);
    // object data's box wins when scene data is present and does not defer
    ObjectData object{};
    object.boxMin = {-1, -1, -1};
    object.boxMax = {1, 1, 5};
    SceneData scene{};
    internal::scene().object_data = 30;
    internal::host().data_blocks[30] = &object;
    options.userdata = 9;
    internal::host().data_blocks[9] = &scene;
    objectPointNormalized(&state, &ctx, 0, &v);
    EXPECT_FLOAT_EQ(v.x, 1.0f);
    EXPECT_FLOAT_EQ(v.z, 1.0f / 3.0f);
    scene.rendererGeometry = 1;
    objectPointNormalized(&state, &ctx, 0, &v);
    EXPECT_FLOAT_EQ(v.y, -0.5f);
}

TEST_F(Context, InterpolatedNormalAndMotion) {
    state.normal = {0, 0, 1};
    Vector3 v;
    interpolatedNormal(&state, &ctx, 0, false, &v);
    EXPECT_EQ(v.z, 1.0f) << "no vertex normals: the state's";
    internal::scene().triangles[{ZO_TRI_NORMALS, 0}] = {Vector3{1, 0, 0}, Vector3{0, 1, 0},
                                                        Vector3{0, 1, 0}};
    state.bary[0] = 0.5f;
    state.bary[1] = 0.25f;
    state.bary[2] = 0.25f;
    interpolatedNormal(&state, &ctx, 0, true, &v);
    EXPECT_FLOAT_EQ(v.x, std::sqrt(0.5f));
    EXPECT_FLOAT_EQ(v.y, std::sqrt(0.5f));
    state.inv_normal = 1;
    interpolatedNormal(&state, &ctx, 0, true, &v);
    EXPECT_FLOAT_EQ(v.x, -std::sqrt(0.5f));

    // motion: raster displacement of the moved point
    state.point = {0, 0, -4};
    Vector3 raster;
    zo_point_to_raster(&raster, &state, &state.point);
    state.raster_x = raster.x;
    state.raster_y = raster.y;
    rasterMotion(&state, &ctx, 0, &v);
    EXPECT_EQ(length(v), 0.0f) << "no motion vectors";
    internal::scene().triangles[{ZO_TRI_MOTION, 0}] = {Vector3{0.1f, 0, 0}, Vector3{0.1f, 0, 0},
                                                       Vector3{0.1f, 0, 0}};
    rasterMotion(&state, &ctx, 0, &v);
    EXPECT_NEAR(v.x, 0.1f * 2.0f * kXres / 4.0f, 1e-3);  // focal * xres / aperture / depth
    EXPECT_NEAR(v.y, 0.0f, 1e-4);
}

// A reflected ray's derivatives are those of the path unfolded into the eye's
// line of sight. The eye ray through the image centre meets a 45-degree
// mirror at o = (0, 0, -2) and goes on along +x; turning that segment about
// o onto -z (90 degrees about +y) takes o + (a, b, c) to o + (c, b, -a), so
// (3, y, z) to (z + 2, y, -5): the eye would see the unfolded triangle
// straight ahead at depth 5.
TEST_F(Context, ReflectedRaysAreUnfoldedOntoTheEyeRay) {
    const Vector3 seen[3] = {{3, -0.3f, -2.2f}, {3, 0.4f, -1.9f}, {3, 0.1f, -2.5f}};
    Vector3 unfolded[3];
    for (int i = 0; i < 3; ++i) unfolded[i] = {seen[i].z + 2, seen[i].y, -5};
    const float rx = kXres * 0.5f - 0.5f, ry = kYres * 0.5f - 0.5f;  // the centre: along -z

    set_triangle(unfolded[0], unfolded[1], unfolded[2]);
    look_at(rx, ry);
    state.normal_geom = {0, 0, 1};
    float direct[4];
    baryDerivatives(&state, &ctx, 0, direct);

    RenderState eye{};
    eye.dir = {0, 0, -1};
    set_triangle(seen[0], seen[1], seen[2]);
    state.parent = &eye;
    state.reflection_level = 1;
    state.org = {0, 0, -2};
    state.dir = {1, 0, 0};
    state.point = {3, 0, -2};
    state.normal_geom = {-1, 0, 0};  // turned with the path onto (0, 0, 1)
    float reflected[4];
    baryDerivatives(&state, &ctx, 0, reflected);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(reflected[k], direct[k], 1e-4 * std::fabs(direct[k]));
    EXPECT_GT(std::fabs(direct[0]) + std::fabs(direct[1]), 1e-4) << "a footprint to compare";
}

// Point footprints on an orthographic view (1 / 160 units a pixel) of a
// plane rising 0.5 in z per unit of x: dP/dx = (1, 0, 0.5) / 160,
// dP/dy = (0, 1, 0) / 160; the footprint sums their absolute values, and the
// normalised object point scales it by 2 / the box extent (2, 3, 1).
TEST_F(Context, PointDerivativesOnATiltedPlane) {
    camera.orthographic = 1;
    camera.aperture = 4.0f;
    contextCreate(&ctx, &state);
    set_triangle({0, 0, -5}, {2, 0, -4}, {0, 3, -5});
    state.point = {0.5f, 0.5f, -4.75f};
    internal::scene().bbox_min = {0, 0, -5};
    internal::scene().bbox_max = {2, 3, -4};
    const struct {
        void (*op)(RenderState *, const ShadingContext *, int, Vector3 *);
        Vector3 want;
    } cases[] = {{shadingPointDerivative, {1 / 160.0f, 1 / 160.0f, 0.5f / 160}},
                 {objectPointDerivative, {1 / 160.0f, 1 / 160.0f, 0.5f / 160}},
                 {objectPointNormalizedDerivative, {1 / 160.0f, 2 / 480.0f, 1 / 160.0f}}};
    for (const auto &c : cases) {
        Vector3 v;
        c.op(&state, &ctx, 0, &v);
        EXPECT_NEAR(v.x, c.want.x, 1e-6);
        EXPECT_NEAR(v.y, c.want.y, 1e-6);
        EXPECT_NEAR(v.z, c.want.z, 1e-6);
    }
}

}  // namespace
