// kor_Bricks: rows of bricks separated by mortar, with shifted rows,
// rough edges, per-brick colour and fade variation, holes and custom rows
// and columns.
#include <math.h>

#include "kor_support.h"
#include "kor_vector.h"
#include "maps/tex_pattern.h"

namespace {

using namespace kor;

struct BricksSample {
    BricksParams p;
    PatternSide mortar, brick;
    RenderState *state;
    int *sideMode;
};

// Where one brick cell is hit: the fraction of the footprint covered by
// brick, and the brick's identifier.
struct BrickHit {
    float coverage;
    float id;
};

// Length of [0, x] that lies on brick, when each unit cell holds brick
// between `gap` and 1 - `gap`.
inline float brickLength(float x, float gap) {
    const float f = floorf(x);
    float r = x - f - gap;
    const float width = 1.0f - 2.0f * gap;
    if (r < 0.0f) r = 0.0f;
    if (r > width) r = width;
    return f * width + r;
}

// The brick share of the box of width w (cell units) around cell position x.
float axisCoverage(float x, float w, float gap) {
    if (gap >= 0.5f) return 0.0f;
    if (w >= 1.0f) return 1.0f - 2.0f * gap;
    if (!(w > 0.0f)) {
        const float f = x - floorf(x);
        return f >= gap && f < 1.0f - gap ? 1.0f : 0.0f;
    }
    return (brickLength(x + 0.5f * w, gap) - brickLength(x - 0.5f * w, gap)) / w;
}

inline bool customIndex(int index, int interval) {
    if (interval <= 0) return false;
    int m = (index + 1) % interval;
    return m == 0;
}

BrickHit brickAt(const BricksParams &p, float u, float v, float du, float dv) {
    const float hGap = p.horizontalGap / 100.0f, vGap = p.verticalGap / 100.0f;
    float cellW = 1.0f / (p.horizontalCount + hGap);
    const float cellH = 1.0f / (p.verticalCount + vGap);
    if (!(cellW > 0.0f) || !isfinite(cellW) || !(cellH > 0.0f) || !isfinite(cellH))
        return BrickHit{0.0f, 0.5f};

    // rough edges
    if (p.roughness != 0.0f) {
        const float n = noise2(u / (cellW / 17.0f), v / (cellH / 17.0f)) * p.roughness * 0.001f;
        u += n;
        v += n;
    }
    const float y = v / cellH;
    if (!(fabsf(y) < 1.0e8f)) return BrickHit{0.0f, 0.5f};
    const int rowIndex = static_cast<int>(floorf(y));
    if (customIndex(rowIndex, p.rowInterval) && p.rowChange > 0.0f) cellW *= p.rowChange;

    // odd rows are shifted by the line shift, each row by its random shift
    float shift = 0.0f;
    if (rowIndex % 2 != 0) shift += p.lineShift + 0.5f;
    shift += p.randomShift * (noise1(float(rowIndex)) - 0.5f);
    const float x = u / cellW + shift;
    if (!(fabsf(x) < 1.0e8f)) return BrickHit{0.0f, 0.5f};
    const int column = static_cast<int>(floorf(x));

    float fy = y, height = cellH;
    if (customIndex(column, p.columnInterval) && p.columnChange > 0.0f) {
        height = cellH * p.columnChange;
        fy = (v - float(rowIndex) * cellH) / height;
    }
    const float gapU = hGap / cellW, gapV = vGap / cellH;
    float coverage = axisCoverage(x, du / cellW, gapU) * axisCoverage(fy, dv / height, gapV);
    if (fy != y && (fy < 0.0f || fy >= 1.0f)) coverage = 0.0f;

    const uint32_t hash =
        (static_cast<uint32_t>(rowIndex) * 7919u + static_cast<uint32_t>(column) * 104729u) % 1021u;
    const float id = float(hash) + float(p.seed % 4096) + 0.5f;

    if (p.holes >= 100.0f) {
        coverage = 0.0f;
    } else if (p.holes > 0.0f) {
        float n = noise1(id);
        if (n < 0.0f) n = n * n;
        if (linearStep(0.0f, 1.0f / (p.holes + 1.0f), n) >= 1.0f) coverage = 0.0f;
    }
    return BrickHit{coverage, id};
}

Color *bricksRead(Color *out, BricksSample *s, float u, float v, float du, float dv) {
    const BrickHit hit = brickAt(s->p, u, v, du, dv);
    if (hit.coverage <= 0.0f) {
        *out = sideColour(s->state, &s->mortar, s->sideMode);
        return out;
    }
    Color brick = sideColour(s->state, &s->brick, s->sideMode);
    const float n = noise1(hit.id);
    float fade = 1.0f + n * s->p.fadeVariance;
    if (fade < 0.0f) fade = 0.0f;
    const float k = (1.0f + n * s->p.colorVariance) * fade;
    brick.r *= k;
    brick.g *= k;
    brick.b *= k;
    if (hit.coverage >= 1.0f) {
        *out = brick;
        return out;
    }
    *out = lerp(sideColour(s->state, &s->mortar, s->sideMode), brick, hit.coverage);
    return out;
}

constexpr UVPointLookup bricksPoint = patternPoint<BricksSample, bricksRead>;
constexpr UVFilteredLookup bricksFiltered = patternFiltered<BricksSample, bricksRead>;

void evaluate(RenderState *state, const BricksParams *in, BricksParams *p) {
    evalFields(state, in, p, &BricksParams::mortarColor, &BricksParams::brickColor,
               &BricksParams::mortarMap, &BricksParams::brickMap, &BricksParams::mortarMapOn,
               &BricksParams::brickMapOn, &BricksParams::horizontalCount,
               &BricksParams::verticalCount, &BricksParams::horizontalGap,
               &BricksParams::verticalGap, &BricksParams::colorVariance,
               &BricksParams::fadeVariance, &BricksParams::lineShift, &BricksParams::randomShift,
               &BricksParams::roughness, &BricksParams::holes, &BricksParams::seed,
               &BricksParams::rowInterval, &BricksParams::rowChange, &BricksParams::columnInterval,
               &BricksParams::columnChange, &BricksParams::coords, &BricksParams::output,
               &BricksParams::gbufferId);
}

}  // namespace

KOR_EXPORT zoBoolean kor_Bricks(Color *result, RenderState *state, BricksParams *params,
                                int *mode) {
    BricksSample s;
    zoBoolean answer;
    if (!patternBegin(result, state, params, mode, evaluate, &s, &answer)) return answer;
    sideInit(&s.mortar, s.p.mortarColor, s.p.mortarMap, s.p.mortarMapOn);
    sideInit(&s.brick, s.p.brickColor, s.p.brickMap, s.p.brickMapOn);
    if (!isBumpMode(mode))
        return patternColour(result, state, mode, &s, bricksPoint, bricksFiltered);

    // Bump: the generator's intensity gradient, scaled down, and the
    // sub-maps' own relief weighted by the brick coverage at the point.
    const bool subMaps = s.mortar.mapActive || s.brick.mapActive;
    sideTakeGrey(state, &s.mortar, mode);
    sideTakeGrey(state, &s.brick, mode);
    s.sideMode = mode;
    CoordQuery query;
    Vector3 vector = runUVGradient(state, s.p.coords, bricksPoint, bricksFiltered, &s.p, nullptr,
                                   mode, &s, kQueryBasis | kQueryUVW | kQueryDUVW, 0.02f, &query);
    if (subMaps) {
        const float c =
            brickAt(s.p, query.slots[6], query.slots[7], query.slots[9], query.slots[10]).coverage;
        if (s.mortar.mapActive) vector += callMapBump(state, s.mortar.map, mode) * (1.0f - c);
        if (s.brick.mapActive) vector += callMapBump(state, s.brick.map, mode) * c;
    }
    finishVector(result, state, s.p.output, mode, vector, 1.0f);
    return 1;
}

KOR_SHADER_INIT(kor_Bricks) {
    if (params) return;
    if (request) *request = 1;
    kor::noiseInit(state);
}
