// The contour pass. While the frame is sampled, the store shader keeps a
// record of one sample's eye hit per pixel. Afterwards every pair of
// horizontally or vertically neighbouring pixels goes to the contrast
// shader; where it finds a contrast, the contour shader of the nearer
// sample's material gives the line's colour and width, and the line passes
// through the midpoint of the two samples. Within each square of four
// pixels those midpoints are joined into segments (two points: one
// segment; three or four: each to their centre; a point joined to none is
// left out), and the segments are drawn as round-capped strokes whose
// width runs from one end's width to the other's, anti-aliased by the
// pixel's overlap with the stroke.
#include "contour.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "session.h"

namespace korhost {
namespace {

using StoreFn = zoBoolean (*)(void *record, int *size, RenderState *state, const Color *color);
using ContrastFn = zoBoolean (*)(void *a, void *b, RenderState *state, void *params);
using ContourFn = zoBoolean (*)(void *out, void *info_near, void *info_far, RenderState *state,
                                void *params);

constexpr size_t kChunk = size_t(8) << 20;

// Zeroed memory for the pass's large tables, straight from the system:
// pages cost nothing until written, and large pages are asked for, so that
// a frame's tables take few page faults.
void *big_zeroed(size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);
    return p;
}

// One pixel's recorded sample; all zero where the pixel has no record.
struct Sample {
    uint8_t *record;  // null: no record (the sample hit nothing)
    int32_t size;
    float x, y;   // raster position
    float depth;  // hit distance along the eye ray
    Tag instance, material;
};

template <class T>
struct Table {
    T *data = nullptr;
    size_t bytes = 0;
    explicit Table(size_t n)
        : data(static_cast<T *>(big_zeroed((n ? n : 1) * sizeof(T)))),
          bytes((n ? n : 1) * sizeof(T)) {}
    ~Table() { munmap(data, bytes); }
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;
    T &operator[](size_t i) { return data[i]; }
};

// The records of one render thread, in chunks kept until the pass ends;
// a chunk is allocated only when the current one has no room for a
// record of the largest size.
struct RecordStore {
    std::vector<uint8_t *> chunks;
    size_t used = kChunk;
    RecordStore() = default;
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;
    RecordStore(RecordStore &&o) noexcept : chunks(std::move(o.chunks)), used(o.used) {}
    ~RecordStore() {
        for (uint8_t *c : chunks) munmap(c, kChunk);
    }
    uint8_t *room() {
        if (used + ZO_CONTOUR_RECORD_MAX > kChunk) {
            chunks.push_back(static_cast<uint8_t *>(big_zeroed(kChunk)));
            used = 0;
        }
        return chunks.back() + used;
    }
    void keep(int size) { used += (static_cast<size_t>(size) + 15) & ~size_t(15); }
};

struct Pass {
    int width = 0, height = 0;
    int sample = 0;  // the sample of each pixel whose hit is recorded
    HostRecord *store = nullptr;
    size_t count = 0;
    Table<Sample> samples;
    explicit Pass(size_t n) : count(n), samples(n) {}
    std::vector<RecordStore> stores;  // per render thread
    std::atomic<bool> refused{false};
};

Pass *g_pass = nullptr;

// The sample of each pixel whose hit is recorded: the one of the pixel's
// grid of samples nearest its centre.
int recorded_sample(const Session &s) {
    const int spp = std::max(1, s.options.samples);
    const int grid = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(spp))));
    const int rows = (spp + grid - 1) / grid;
    return std::min(spp - 1, rows / 2 * grid + grid / 2);
}

HostRecord *shader_record(Session &s, Tag tag) {
    const DbItem *item = s.item(tag);
    if (!item || item->type != ZO_DB_FUNCTION) return nullptr;
    auto *rec = static_cast<HostRecord *>(item->record);
    return rec->function && rec->function->fn ? rec : nullptr;
}

template <class Fn>
Fn entry(const HostRecord *rec) {
    // The shader was looked up by name; its real argument order is the
    // contour call's, not the generic one it was stored as.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(rec->function->fn));
}

// The state runs `rec` as a contour-pass call for as long as this lives.
class Running {
  public:
    Running(RenderState *state, HostRecord *rec)
        : state_(state), shader_(state->shader), type_(state->call_type) {
        state->shader = &rec->rec;
        state->call_type = ZO_CALL_CONTOUR;
    }
    ~Running() {
        state_->shader = shader_;
        state_->call_type = type_;
    }

  private:
    RenderState *state_;
    zoShaderRecord *shader_;
    int type_;
};

// A point of a contour: the midpoint of two contrasting samples.
struct Mark {
    bool on = false;
    float x = 0, y = 0, width = 0;
    Color color{0, 0, 0, 0};
};

// Line coverage and colour per pixel: where strokes overlap, the one that
// covers the pixel most gives its colour, so that joints are not drawn
// twice.
struct Lines {
    int width = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    Table<float> cover;
    Table<Color> color;
    explicit Lines(size_t n) : cover(n), color(n) {}
};

// The share of a pixel (as a unit interval across the stroke) covered by a
// stroke of width w whose centre line lies d from the pixel's centre.
float overlap(float w, float d) {
    return std::max(0.0f, std::min(0.5f, 0.5f * w - d) - std::max(-0.5f, -0.5f * w - d));
}

void stroke(Lines &L, const Mark &a, const Mark &b) {
    const float reach = 0.5f * std::max(a.width, b.width) + 1.0f;
    const int xa = std::max(L.x0, static_cast<int>(std::floor(std::min(a.x, b.x) - reach)));
    const int xb = std::min(L.x1, static_cast<int>(std::ceil(std::max(a.x, b.x) + reach)));
    const int ya = std::max(L.y0, static_cast<int>(std::floor(std::min(a.y, b.y) - reach)));
    const int yb = std::min(L.y1, static_cast<int>(std::ceil(std::max(a.y, b.y) + reach)));
    const float ex = b.x - a.x, ey = b.y - a.y, len2 = ex * ex + ey * ey;
    for (int y = ya; y < yb; ++y)
        for (int x = xa; x < xb; ++x) {
            const float px = x + 0.5f - a.x, py = y + 0.5f - a.y;
            const float t = len2 > 0 ? std::clamp((px * ex + py * ey) / len2, 0.0f, 1.0f) : 0.0f;
            const float dx = px - t * ex, dy = py - t * ey;
            const float c =
                overlap(a.width + t * (b.width - a.width), std::sqrt(dx * dx + dy * dy));
            const size_t i = static_cast<size_t>(y) * L.width + x;
            if (!(c > L.cover[i])) continue;
            L.cover[i] = c;
            L.color[i] = Color{
                a.color.r + t * (b.color.r - a.color.r), a.color.g + t * (b.color.g - a.color.g),
                a.color.b + t * (b.color.b - a.color.b), a.color.a + t * (b.color.a - a.color.a)};
        }
}

// The line's points and the segments that join them (indices into the
// points). A pixel's mark towards its right and upper neighbour is found
// through `across` and `up` (its index + 1; 0: none); centres of squares
// follow the marks.
struct Polyline {
    std::vector<Mark> points;
    std::vector<std::pair<uint32_t, uint32_t>> segments;
    Table<uint32_t> across, up;
    explicit Polyline(size_t n) : across(n), up(n) {}
};

// Joins the contour points on the four sides of a square of pixels:
// two by a segment, three or four each to their centre. A point that no
// square joins to another (a single contrasting pair) is not drawn.
void join(Polyline &P, const uint32_t side[4]) {
    uint32_t on[4];
    int n = 0;
    for (int k = 0; k < 4; ++k)
        if (side[k]) on[n++] = side[k] - 1;
    if (n == 1) return;  // drawn by the square on its other side, if any
    if (n == 2) return P.segments.push_back({on[0], on[1]});
    Mark centre;
    centre.on = true;
    for (int k = 0; k < n; ++k) {
        const Mark &m = P.points[on[k]];
        centre.x += m.x / n;
        centre.y += m.y / n;
        centre.width += m.width / n;
        centre.color.r += m.color.r / n;
        centre.color.g += m.color.g / n;
        centre.color.b += m.color.b / n;
        centre.color.a += m.color.a / n;
    }
    const uint32_t c = static_cast<uint32_t>(P.points.size());
    P.points.push_back(centre);
    for (int k = 0; k < n; ++k) P.segments.push_back({on[k], c});
}

// Midpoints of pixel pairs zigzag about the true outline by up to half a
// pixel; each point with exactly two neighbours moves halfway towards
// their mean, which takes most of the zigzag out (and with it the extra
// length it gives the line).
void smooth(Polyline &P) {
    const size_t n = P.points.size();
    std::vector<uint8_t> degree(n, 0);
    std::vector<float> sx(n, 0.0f), sy(n, 0.0f);
    for (const auto &[a, b] : P.segments) {
        if (a == b) continue;
        ++degree[a], ++degree[b];
        sx[a] += P.points[b].x, sy[a] += P.points[b].y;
        sx[b] += P.points[a].x, sy[b] += P.points[a].y;
    }
    for (size_t i = 0; i < n; ++i) {
        if (degree[i] != 2) continue;
        P.points[i].x = 0.5f * P.points[i].x + 0.25f * sx[i];
        P.points[i].y = 0.5f * P.points[i].y + 0.25f * sy[i];
    }
}

zoContourInfo info_of(const Sample &p, int x, int y) {
    zoContourInfo i{};
    i.record = p.record;
    i.size = p.size;
    i.raster_x = p.record ? p.x : x + 0.5f;
    i.raster_y = p.record ? p.y : y + 0.5f;
    i.depth = p.depth;
    i.instance = p.instance;
    i.material = p.material;
    return i;
}

Tag contour_slot(const Session &s, Tag material) {
    if (material == 0 || material >= s.db.size()) return 0;
    const DbItem &item = s.db[material];
    if (item.type != ZO_DB_MATERIAL && item.type != ZO_DB_MATERIAL_PHENOMENON) return 0;
    return static_cast<const MaterialEntry *>(item.record)->slots[kSlotContour];
}

// The pixels rendered: the whole image or the --crop region (raster
// space, y = 0 the bottom row).
void window(const Session &s, int &x0, int &y0, int &x1, int &y1) {
    const int W = s.camera.cam.x_resolution, H = s.camera.cam.y_resolution;
    const Settings &c = s.settings;
    x0 = 0, y0 = 0, x1 = W, y1 = H;
    if (c.crop_w <= 0) return;
    x0 = c.crop_x, y0 = H - c.crop_y - c.crop_h, x1 = c.crop_x + c.crop_w, y1 = H - c.crop_y;
}

// Whether a line runs between the samples of pixels (ax, ay) and (bx, by),
// and its mark when it does. `st` is a state made for the pass.
bool compare(Session &s, ThreadContext *ctx, HostRecord *contrast, RenderState &st, Sample &a,
             int ax, int ay, Sample &b, int bx, int by, Mark &mark) {
    if (!a.record && !b.record) return false;
    const ContourSetup &setup = s.camera.contour;
    ctx->begin_sample();
    {
        Running run(&st, contrast);
        if (!entry<ContrastFn>(contrast)(a.record, b.record, &st, contrast->rec.params))
            return false;
    }
    const bool a_near = a.record && (!b.record || a.depth <= b.depth);
    const Sample &near = a_near ? a : b, &far = a_near ? b : a;
    const Tag shader = contour_slot(s, near.material);
    if (!shader) return false;
    // The contour shader sees the nearer sample's hit along the camera's
    // ray through it, as it was shaded (not shaded again).
    RenderState hit;
    ctx->begin_sample();
    make_state(s, hit, ctx);
    hit.raster_x = near.x;
    hit.raster_y = near.y;
    hit.sample_index = recorded_sample(s);
    eye_ray(s, near.x, near.y, &hit.org, &hit.dir);
    const float clip = s.camera.cam.clip_far > 0 ? s.camera.cam.clip_far : INFINITY;
    if (!find_hit(&hit, 0.0f, clip)) return false;
    zoContourInfo info_near = a_near ? info_of(near, ax, ay) : info_of(near, bx, by);
    zoContourInfo info_far = a_near ? info_of(far, bx, by) : info_of(far, ax, ay);
    zoContourOutput out{setup.color, setup.width};
    if (!call_contour_shader(&out, &info_near, &info_far, &hit, shader)) return false;
    const float width = setup.width_image ? out.width * s.camera.cam.x_resolution : out.width;
    if (!(width > 0) || !std::isfinite(width)) return false;
    mark.on = true;
    mark.x = 0.5f * (info_near.raster_x + info_far.raster_x);
    mark.y = 0.5f * (info_near.raster_y + info_far.raster_y);
    mark.width = width;
    mark.color = out.color;
    return true;
}

}  // namespace

bool contour_wanted(const Session &s) {
    const ContourSetup &c = s.camera.contour;
    if (!c.enabled) return false;
    if (c.given) return true;
    for (const MaterialEntry &m : s.materials)
        if (m.slots[kSlotContour]) return true;
    return false;
}

void contour_begin(Session &s) {
    delete g_pass;
    g_pass = nullptr;
    if (!contour_wanted(s)) return;
    const int fb = s.camera.contour.framebuffer;
    if (fb >= 0 &&
        (fb >= static_cast<int>(s.framebuffers.size()) || s.framebuffers[fb].type != ZO_FB_COLOR))
        throw Error(s.scene_file + ": camera: contour: frame buffer " + std::to_string(fb) +
                    " is not declared as a color frame buffer (\"framebuffers\")");
    HostRecord *store = shader_record(s, s.camera.contour.store);
    if (!store) return;
    auto *p = new Pass(static_cast<size_t>(s.camera.cam.x_resolution) * s.camera.cam.y_resolution);
    p->width = s.camera.cam.x_resolution;
    p->height = s.camera.cam.y_resolution;
    p->sample = recorded_sample(s);
    p->store = store;
    p->stores.resize(s.threads);
    g_pass = p;
}

void contour_store(Session &s, ThreadContext *ctx, RenderState *hit, const Color &color) {
    Pass *p = g_pass;
    if (!p || hit->sample_index != p->sample) return;
    const int x = static_cast<int>(std::floor(hit->raster_x)),
              y = static_cast<int>(std::floor(hit->raster_y));
    if (x < 0 || y < 0 || x >= p->width || y >= p->height) return;
    if (ctx->index < 0 || static_cast<size_t>(ctx->index) >= p->stores.size()) return;
    RecordStore &store = p->stores[ctx->index];
    uint8_t *room = store.room();
    int size = 0;
    zoBoolean ok;
    {
        Running run(hit, p->store);
        ok = entry<StoreFn>(p->store)(room, &size, hit, &color);
    }
    if (!ok) return;
    if (size < 0 || size > ZO_CONTOUR_RECORD_MAX) {
        if (!p->refused.exchange(true))
            messagef(kError,
                     "contour store shader \"%s\": a record of %d bytes (from 0 to %d are given)",
                     p->store->rec.name ? p->store->rec.name : "?", size, ZO_CONTOUR_RECORD_MAX);
        s.aborted = true;
        return;
    }
    store.keep(size);
    Sample &slot = p->samples[static_cast<size_t>(y) * p->width + x];
    slot.record = room;
    slot.size = size;
    slot.x = hit->raster_x;
    slot.y = hit->raster_y;
    slot.depth = hit->dist;
    slot.instance = hit->instance;
    slot.material = hit->material;
}

void contour_finish(Session &s) {
    std::unique_ptr<Pass> p(g_pass);
    g_pass = nullptr;
    if (!p || s.aborted.load()) return;
    const ContourSetup &setup = s.camera.contour;
    HostRecord *contrast = shader_record(s, setup.contrast);
    if (!contrast) return;
    ThreadContext *ctx = s.contexts[0].get();
    set_thread_context(ctx);
    const int W = p->width;
    int x0, y0, x1, y1;
    window(s, x0, y0, x1, y1);
    auto at = [&](int x, int y) { return static_cast<size_t>(y) * W + x; };
    const size_t n = p->count;
    Polyline P(n);
    RenderState st;
    make_state(s, st, ctx);
    Mark mark;
    auto add = [&](uint32_t &index) {
        P.points.push_back(mark);
        index = static_cast<uint32_t>(P.points.size());
        mark = Mark{};
    };
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            Sample &a = p->samples[at(x, y)];
            if (x + 1 < x1 &&
                compare(s, ctx, contrast, st, a, x, y, p->samples[at(x + 1, y)], x + 1, y, mark))
                add(P.across[at(x, y)]);
            if (y + 1 < y1 &&
                compare(s, ctx, contrast, st, a, x, y, p->samples[at(x, y + 1)], x, y + 1, mark))
                add(P.up[at(x, y)]);
        }
    if (x1 - x0 < 2 || y1 - y0 < 2) {
        // A single row or column: no squares, each point on its own.
        for (uint32_t i = 0; i < P.points.size(); ++i) P.segments.push_back({i, i});
    }
    for (int y = y0; y + 1 < y1; ++y)
        for (int x = x0; x + 1 < x1; ++x) {
            // The sides of the square, in order around it.
            const uint32_t side[4] = {P.across[at(x, y)], P.up[at(x + 1, y)],
                                      P.across[at(x, y + 1)], P.up[at(x, y)]};
            if (side[0] | side[1] | side[2] | side[3]) join(P, side);
        }
    smooth(P);
    Lines L(n);
    L.width = W;
    L.x0 = x0, L.y0 = y0, L.x1 = x1, L.y1 = y1;
    for (const auto &[a, b] : P.segments) stroke(L, P.points[a], P.points[b]);
    FrameBuffer *fb = setup.framebuffer >= 0 && setup.framebuffer < int(s.framebuffers.size())
                          ? &s.framebuffers[setup.framebuffer]
                          : nullptr;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const size_t i = at(x, y);
            if (!(L.cover[i] > 0)) continue;
            const float k = L.cover[i] * L.color[i].a;
            if (!(k > 0)) continue;
            const Color &c = L.color[i];
            if (setup.composite) {
                Color &o = s.color[i];
                o = Color{c.r * k + o.r * (1 - k), c.g * k + o.g * (1 - k), c.b * k + o.b * (1 - k),
                          k + o.a * (1 - k)};
            }
            if (fb && fb->components == 4 && fb->sum.size() >= 4 * (i + 1)) {
                float *v = &fb->sum[4 * i];
                v[0] = c.r * k, v[1] = c.g * k, v[2] = c.b * k, v[3] = k;
            }
        }
    set_thread_context(nullptr);
}

zoBoolean call_contour_shader(void *out, void *info_near, void *info_far, RenderState *state,
                              Tag shader) {
    Session *s = session();
    if (!s || !state) return 0;
    HostRecord *rec = shader_record(*s, shader);
    if (!rec) return 0;
    Running run(state, rec);
    return entry<ContourFn>(rec)(out, info_near, info_far, state, rec->rec.params);
}

}  // namespace korhost
