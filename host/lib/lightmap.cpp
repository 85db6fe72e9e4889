// The light-map pass: before the eye pass, every instance whose material
// has a light-map shader is walked texel by texel over its first texture
// space, and the shader is called (ray type light map) at the surface point
// under each texel centre, with the texel as the raster position; a last
// call per shader (ray type light-map end) closes its map. The images the
// shaders filled are written beside the output as lightmap_NAME.exr.
// Also the average radiance the light-map shaders ask for.
#include <algorithm>
#include <cmath>
#include <set>

#include "photon.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {

namespace {

constexpr int kDefaultSize = 256;  // texels per side when the shader names no image

// The image the light-map shader instance fills: its first texture
// parameter.
Tag lightmap_image(const Session &s, Tag shader) {
    const DbItem *it = const_cast<Session &>(s).item(shader);
    if (!it || it->type != ZO_DB_FUNCTION) return 0;
    const HostRecord *rec = static_cast<const HostRecord *>(it->record);
    const ShaderInstance *inst = rec->instance;
    if (!inst || !inst->function || !inst->function->decl || !inst->params) return 0;
    for (const Field &f : inst->function->decl->params->fields) {
        if (f.type->kind != Kind::Texture) continue;
        Tag t = 0;
        memcpy(&t, inst->params + f.offset, sizeof t);
        const DbItem *img = const_cast<Session &>(s).item(t);
        if (img && (img->type == ZO_DB_TEXTURE || img->type == ZO_DB_IMAGE) && img->record)
            return t;
    }
    return 0;
}

void fill_triangle(Session &s, ThreadContext *ctx, const InstanceEntry &inst, int prim, Tag shader,
                   int W, int H) {
    const Mesh &m = inst.object->mesh;
    const uint32_t *i = &m.tri[3 * prim];
    const Vector3 &a = m.tex[0][i[0]], &b = m.tex[0][i[1]], &c = m.tex[0][i[2]];
    const float ax = a.x * W, ay = a.y * H, bx = b.x * W, by = b.y * H, cx = c.x * W, cy = c.y * H;
    const float det = (bx - ax) * (cy - ay) - (cx - ax) * (by - ay);
    if (std::fabs(det) < 1e-12f) return;
    const int x0 = std::max(0, static_cast<int>(std::floor(std::min({ax, bx, cx}))));
    const int x1 = std::min(W - 1, static_cast<int>(std::ceil(std::max({ax, bx, cx}))));
    const int y0 = std::max(0, static_cast<int>(std::floor(std::min({ay, by, cy}))));
    const int y1 = std::min(H - 1, static_cast<int>(std::ceil(std::max({ay, by, cy}))));
    constexpr float kEdge = -1e-5f;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const float px = x + 0.5f, py = y + 0.5f;
            const float b1 = ((px - ax) * (cy - ay) - (cx - ax) * (py - ay)) / det;
            const float b2 = ((bx - ax) * (py - ay) - (px - ax) * (by - ay)) / det;
            if (b1 < kEdge || b2 < kEdge || 1 - b1 - b2 < kEdge) continue;
            ctx->begin_sample();
            RenderState st;
            make_state(s, st, ctx);
            st.raster_x = px;
            st.raster_y = py;
            if (!surface_state(&st, inst, prim, b1, b2)) continue;
            st.type = ZO_RAY_LIGHTMAP;
            Color result{0, 0, 0, 0};
            call_shader(&result, ZO_CALL_LIGHTMAP, &st, shader, nullptr);
        }
}

void write_lightmap(Session &s, Tag image) {
    const DbItem *it = s.item(image);
    const zoImage *img = it ? static_cast<const zoImage *>(it->record) : nullptr;
    if (!img) return;
    const int W = zo_img_get_width(img), H = zo_img_get_height(img);
    std::vector<float> pixels(static_cast<size_t>(W) * H * 4);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            Color c;
            zo_img_get_color(img, &c, x, y);
            float *p = &pixels[(static_cast<size_t>(y) * W + x) * 4];
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
            p[3] = c.a;
        }
    const std::string path = framebuffer_path(s, "lightmap_" + it->name + ".exr");
    std::string error;
    if (!write_image(path, W, H, 4, pixels.data(), false, error))
        messagef(kError, "%s: the light map cannot be written: %s", path.c_str(), error.c_str());
    else
        messagef(kInfo, "light map %s written to %s", it->name.c_str(), path.c_str());
}

}  // namespace

void prepare_lightmaps(Session &s) {
    std::set<Tag> shaders;
    ThreadContext *ctx = s.contexts.empty() ? nullptr : s.contexts[0].get();
    if (!ctx) return;
    set_thread_context(ctx);
    for (const InstanceEntry &inst : s.instances) {
        const DbItem *mi = s.item(inst.rec.material);
        if (!mi || (mi->type != ZO_DB_MATERIAL && mi->type != ZO_DB_MATERIAL_PHENOMENON)) continue;
        const Tag shader = static_cast<const MaterialEntry *>(mi->record)->slots[kSlotLightmap];
        if (!shader) continue;
        const Mesh &m = inst.object->mesh;
        if (m.tex.empty()) {
            messagef(kWarning,
                     "instance \"%s\": a light map needs texture coordinates; it has none",
                     inst.name.c_str());
            continue;
        }
        shaders.insert(shader);
        int W = kDefaultSize, H = kDefaultSize;
        if (const Tag image = lightmap_image(s, shader)) {
            const zoImage *img = static_cast<const zoImage *>(s.item(image)->record);
            W = zo_img_get_width(img);
            H = zo_img_get_height(img);
        }
        for (size_t prim = 0; prim < m.triangles(); ++prim)
            fill_triangle(s, ctx, inst, static_cast<int>(prim), shader, W, H);
    }
    for (Tag shader : shaders) {
        ctx->begin_sample();
        RenderState st;
        make_state(s, st, ctx);
        st.raster_x = st.raster_y = -1;
        st.type = ZO_RAY_LIGHTMAP_END;
        Color result{0, 0, 0, 0};
        call_shader(&result, ZO_CALL_LIGHTMAP, &st, shader, nullptr);
        if (const Tag image = lightmap_image(s, shader)) write_lightmap(s, image);
    }
    set_thread_context(nullptr);
}

}  // namespace korhost

using namespace korhost;

// The mean radiance arriving at the point over the hemisphere of its normal
// (face 1: of the back): the irradiance from the photon maps, or from final
// gathering without them, over pi.
HOST_API zoBoolean zo_compute_avg_radiance(Color *result, RenderState *state, int face, void *) {
    Session *s = session();
    Color e{0, 0, 0, 0};
    bool ok = false;
    if (s && state) {
        const Vector3 n = face == 1 ? state->normal * -1.0f : state->normal;
        ok = photon_irradiance(*s, state, n, true, &e) ||
             (face == 1 ? zo_compute_irradiance_backside(&e, state)
                        : zo_compute_irradiance(&e, state));
    }
    if (!ok) e = Color{0, 0, 0, 0};
    constexpr float kInvPi = 0.31830988618379067f;
    if (result) *result = Color{e.r * kInvPi, e.g * kInvPi, e.b * kInvPi, ok ? 1.0f : 0.0f};
    return ok ? 1 : 0;
}
