// The bake lens's UV grid: construction in two passes over the selected
// triangles (count per cell, prefix sums, fill backwards into one flat
// array), the cell mapping, the inside test and the lookup that turns a UV
// into a point on the working model.
#include "RTTGridAccelerator.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "kor_vector.h"
#include "shader.h"

namespace {

constexpr const char *kModule = "RTTGridAccelerator";

const float *vertexOf(const RTTGridAccelerator *grid, unsigned index) {
    const zoMeshRecord *m = grid->mesh;
    return m->vertices + static_cast<size_t>(index) * m->vertex_stride;
}

// The UV (and third texture value) of the triangle corner at item + k.
const float *uvOf(const RTTGridAccelerator *grid, unsigned item, int k) {
    return vertexOf(grid, grid->mesh->indices[item + k]) + grid->uvOffset;
}

// Truncation towards zero, then the unsigned view of the integer.
unsigned cellAxis(unsigned n, float x) {
    const float f = static_cast<float>(n) * x;
    int32_t i;
    if (f != f)
        i = -1;
    else if (f >= 2147483520.0f)
        i = 2147483647;
    else if (f <= -2147483648.0f)
        i = -2147483647 - 1;
    else
        i = static_cast<int32_t>(f);
    unsigned u = static_cast<unsigned>(i);
    return u >= n ? n - 1 : u;
}

// Bounding cell rectangle of a triangle's three UVs.
void cellRect(const RTTGridAccelerator *grid, unsigned item, unsigned rect[4]) {
    const unsigned n = grid->resolution;
    rect[0] = rect[2] = n;  // minimum column, row
    rect[1] = rect[3] = 0;  // maximum column, row
    for (int k = 0; k < 3; ++k) {
        const float *uv = uvOf(grid, item, k);
        const unsigned c = cellAxis(n, uv[0]), r = cellAxis(n, uv[1]);
        rect[0] = std::min(rect[0], c);
        rect[1] = std::max(rect[1], c);
        rect[2] = std::min(rect[2], r);
        rect[3] = std::max(rect[3], r);
    }
}

bool selected(const uint8_t *bits, unsigned triangle) {
    return !bits || (bits[triangle / 8] >> (triangle % 8)) & 1;
}

void reportFailure(bool memory) {
    if (memory)
        zo_error(
            "Render to Texture: Failed to allocate acceleration structure (not enough memory).");
    else
        zo_error("Render to Texture: Failed to create acceleration structure (unkown error).");
}

void reportBuilt(const RTTGridAccelerator *grid) {
    zo_info("RTT acceleration structure created: %d bytes allocated, %d items in %d voxels.",
            static_cast<int>(4 * (grid->itemCount + grid->cellCount)),
            static_cast<int>(grid->itemCount), static_cast<int>(grid->cellCount));
}

Vector3 transformPoint(const float *m, const float *p) {
    return {p[0] * m[0] + p[1] * m[4] + p[2] * m[8] + m[12],
            p[0] * m[1] + p[1] * m[5] + p[2] * m[9] + m[13],
            p[0] * m[2] + p[1] * m[6] + p[2] * m[10] + m[14]};
}

Vector3 transformVector(const float *m, Vector3 v) {
    return {v.x * m[0] + v.y * m[4] + v.z * m[8], v.x * m[1] + v.y * m[5] + v.z * m[9],
            v.x * m[2] + v.y * m[6] + v.z * m[10]};
}

float clamp01(float x) {
    return x < 0.0f ? 0.0f : x > 1.0f ? 1.0f : x;
}

}  // namespace

namespace kor {

unsigned rttGridCell(unsigned n, float u, float v) {
    if (n == 0) return 0;
    return cellAxis(n, v) * n + cellAxis(n, u);
}

bool rttInsideTriangle(const float a[2], const float b[2], const float c[2], float px, float py) {
    const float e1 = (b[0] - a[0]) * (py - a[1]) - (px - a[0]) * (b[1] - a[1]);
    const float e2 = (a[0] - c[0]) * (py - c[1]) - (px - c[0]) * (a[1] - c[1]);
    const float e3 = (c[0] - b[0]) * (py - b[1]) - (px - b[0]) * (c[1] - b[1]);
    return e1 >= 0.0f && e2 >= 0.0f && e3 >= 0.0f;
}

bool rttGridSetup(RTTGridAccelerator *grid, Tag instance, int uvChannel, Tag selection) {
    const auto *inst = static_cast<const zoInstanceRecord *>(zo_db_access(instance));
    if (!inst) return false;
    memcpy(grid->transform, inst->to_world, sizeof grid->transform);
    const Tag object = inst->item;
    zo_db_unpin(instance);
    grid->objectTag = object;
    grid->uvChannel = uvChannel;
    grid->selectionTag = selection;
    grid->objectData = GetObjectDataFromInstance(instance);
    if (!object || zo_db_type(object) != ZO_DB_MESH) return false;
    grid->mesh = static_cast<const zoMeshRecord *>(zo_db_access(object));
    if (!grid->mesh) return false;
    grid->uvOffset = grid->mesh->texture_offset + 3 * uvChannel;
    grid->normalOffset = static_cast<uint8_t>(grid->mesh->normal_offset);
    return true;
}

bool rttGridBuild(RTTGridAccelerator *grid, RenderState *state) {
    if (grid->built) {
        reportBuilt(grid);
        return true;
    }
    const zoMeshRecord *m = grid->mesh;
    const unsigned T = m && m->index_count > 0 ? static_cast<unsigned>(m->index_count / 3) : 0;
    if (!m || m->texture_spaces <= 0 || grid->uvChannel < 0 ||
        grid->uvChannel >= m->texture_spaces || T == 0 || !m->vertices || !m->indices) {
        reportFailure(false);
        return false;
    }
    unsigned n = static_cast<unsigned>(sqrt(static_cast<double>(T)));
    if (n < 1) n = 1;
    grid->resolution = n;
    grid->cellCount = n * n + 1;
    grid->cellStart = static_cast<unsigned *>(
        zo_mem_int_allocate(kModule, __LINE__, static_cast<int>(4 * grid->cellCount)));
    if (!grid->cellStart) {
        reportFailure(true);
        return false;
    }

    // Triangle selection: one bit per triangle, lowest bit first.
    const uint8_t *bits = nullptr;
    if (grid->selectionTag) {
        void *data = nullptr;
        int size = 0;
        if (zo_query(ZO_Q_DATA_PARAM, state, grid->selectionTag, &data) && data &&
            zo_query(ZO_Q_DATA_SIZE, state, grid->selectionTag, &size) && size > 0) {
            if (static_cast<unsigned long>(size) * 8 >= T)
                bits = static_cast<const uint8_t *>(data);
            else
                zo_warning(
                    "RTT Projection: Invalid triangle selection. Ignoring triangle "
                    "selection.");
        }
    }

    // Counting pass.
    unsigned total = 0;
    for (unsigned t = 0; t < T; ++t) {
        if (!selected(bits, t)) continue;
        unsigned r[4];
        cellRect(grid, 3 * t, r);
        for (unsigned row = r[2]; row <= r[3]; ++row)
            for (unsigned col = r[0]; col <= r[1]; ++col) {
                ++grid->cellStart[row * n + col];
                ++total;
            }
    }
    grid->itemCount = total;
    // Prefix sums: each entry now ends its run.
    for (unsigned i = 1; i < grid->cellCount; ++i) grid->cellStart[i] += grid->cellStart[i - 1];

    grid->items = static_cast<unsigned *>(
        zo_mem_int_allocate(kModule, __LINE__, static_cast<int>(4 * (total ? total : 1))));
    if (!grid->items) {
        zo_mem_int_release(kModule, __LINE__, grid->cellStart);
        grid->cellStart = nullptr;
        reportFailure(true);
        return false;
    }
    // Filling pass: decrementing each entry leaves it at its run's start.
    for (unsigned t = 0; t < T; ++t) {
        if (!selected(bits, t)) continue;
        unsigned r[4];
        cellRect(grid, 3 * t, r);
        for (unsigned row = r[2]; row <= r[3]; ++row)
            for (unsigned col = r[0]; col <= r[1]; ++col)
                grid->items[--grid->cellStart[row * n + col]] = 3 * t;
    }

    // With a third texture value, overlapping islands prefer the triangle
    // whose corners carry the larger sum of it.
    const int space = grid->uvChannel;
    if (m->texture_components[space < ZO_MESH_MAX_TEXTURE_SPACES ? space : 0] > 2) {
        auto key = [grid](unsigned item) {
            return uvOf(grid, item, 0)[2] + uvOf(grid, item, 1)[2] + uvOf(grid, item, 2)[2];
        };
        for (unsigned c = 0; c + 1 < grid->cellCount; ++c) {
            std::sort(grid->items + grid->cellStart[c], grid->items + grid->cellStart[c + 1],
                      [&key](unsigned a, unsigned b) {
                          const float ka = key(a), kb = key(b);
                          if (ka != kb) return ka > kb;
                          return a < b;
                      });
        }
    }
    grid->built = 1;
    reportBuilt(grid);
    return true;
}

void rttGridRelease(RTTGridAccelerator *grid) {
    if (grid->cellStart) zo_mem_int_release(kModule, __LINE__, grid->cellStart);
    if (grid->items) zo_mem_int_release(kModule, __LINE__, grid->items);
    grid->cellStart = nullptr;
    grid->items = nullptr;
    grid->built = 0;
    if (grid->mesh) zo_db_unpin(grid->objectTag);
    grid->mesh = nullptr;
}

bool rttGridLookup(const RTTGridAccelerator *grid, RenderState *state, float u, float v,
                   RttSurfaceHit *hit) {
    if (!grid->built || !grid->mesh) return false;
    const unsigned cell = rttGridCell(grid->resolution, u, v);
    for (unsigned k = grid->cellStart[cell]; k < grid->cellStart[cell + 1]; ++k) {
        const unsigned item = grid->items[k];
        const float *a = uvOf(grid, item, 0), *b = uvOf(grid, item, 1), *c = uvOf(grid, item, 2);
        if (!rttInsideTriangle(a, b, c, u, v)) continue;

        // Weights of the corners b and c from the UVs; a takes the rest.
        const float area = (b[0] - a[0]) * (c[1] - a[1]) - (c[0] - a[0]) * (b[1] - a[1]);
        float w1 = 0.0f, w2 = 0.0f;
        if (area != 0.0f) {
            w1 = clamp01(((u - a[0]) * (c[1] - a[1]) - (c[0] - a[0]) * (v - a[1])) / area);
            w2 = clamp01(((b[0] - a[0]) * (v - a[1]) - (u - a[0]) * (b[1] - a[1])) / area);
        }
        const float w0 = clamp01(1.0f - w1 - w2);
        hit->bary[0] = w0;
        hit->bary[1] = w1;
        hit->bary[2] = w2;

        const zoMeshRecord *m = grid->mesh;
        const float *vert[3];
        for (int i = 0; i < 3; ++i) {
            vert[i] = vertexOf(grid, m->indices[item + i]);
            const Vector3 world = transformPoint(grid->transform, vert[i]);
            zo_point_from_world(&hit->vertices[i], state, &world);
        }
        hit->point = hit->vertices[0] * w0 + hit->vertices[1] * w1 + hit->vertices[2] * w2;
        Vector3 n;
        if (!grid->normalOffset) {
            n = cross(hit->vertices[1] - hit->vertices[0], hit->vertices[2] - hit->vertices[0]);
        } else {
            Vector3 blended = {0, 0, 0};
            const float w[3] = {w0, w1, w2};
            for (int i = 0; i < 3; ++i) {
                const float *vn = vert[i] + grid->normalOffset;
                blended += Vector3{vn[0], vn[1], vn[2]} * w[i];
            }
            const Vector3 world = transformVector(grid->transform, blended);
            zo_vector_from_world(&n, state, &world);
        }
        const float len = length(n);
        hit->normal = len > 0.0f ? n / len : n;
        hit->triangle = static_cast<int32_t>(item / 3);
        hit->face = grid->objectData ? faceWord(grid->objectData, hit->triangle) : 0;
        const float *uv[3] = {a, b, c};
        for (int i = 0; i < 3; ++i) {
            hit->uv[i][0] = uv[i][0];
            hit->uv[i][1] = uv[i][1];
        }
        return true;
    }
    return false;
}

}  // namespace kor
