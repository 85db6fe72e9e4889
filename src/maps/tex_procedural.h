// What the solid procedural maps share: the point and footprint their XYZ
// generator reports, the two sides (colour or sub-map) a pattern blends,
// the bump gradient sampled around the point, the Output shader and the
// G-buffer identifier, and the table noise of wood and dent.
#ifndef KORSHADERS_MAPS_TEX_PROCEDURAL_H
#define KORSHADERS_MAPS_TEX_PROCEDURAL_H

#include <korshaders/host.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "kor_support.h"
#include "kor_vector.h"
#include "shader.h"

namespace kor {

// The output mode of a map call (null counts as colour).
inline int procMode(const int *mode) {
    return mode ? *mode : 0;
}
inline bool procIsBump(int mode) {
    return mode != kMapColor && mode != kMapGrey;
}

// Where a solid map is evaluated: the generator's point, its footprint and
// (for bump requests) the generator's three normalised rows.
struct ProcPoint {
    Vector3 p;
    Vector3 footprint;
    Vector3 rows[3];
    bool hasGenerator;
};

// Asks the XYZ generator `coords` for the point, with a coordinate query in
// the state's user-data slot: the footprint when `footprint` (a pattern
// that does not filter leaves it out and sees (0, 0, 0); the generator then
// spares the work), the rows too when `bump`. Without a generator the point
// is the origin, the footprint (1, 1, 1) and the rows the unit axes; a
// failed call gives the origin.
void procCoordinates(RenderState *state, Tag coords, bool bump, ProcPoint *out,
                     bool footprint = true);

// Reports the missing XYZ generator once per `warned` word.
void procRequireXYZ(RenderState *state, int32_t *warned);

// On eye samples a non-zero identifier goes into frame buffer 0.
void procGBuffer(RenderState *state, int32_t id);

// One side of a blend: a colour that an active sub-map replaces.
struct ProcSide {
    Color color;
    Tag map;
    zoBoolean on;
    bool active() const { return map != 0 && on != 0; }
};

// The side's colour: the sub-map's answer in `kind` (0 on failure) when
// the sub-map is active, else the colour.
Color procSideColor(RenderState *state, const ProcSide &side, int kind = kMapColor);

// c1 (1 - v) + c2 v. With `hardEnds` the first side alone answers for
// v <= 0.0005 and the second alone for v >= 0.9995, without calling the
// other side.
Color procBlend(RenderState *state, const ProcSide &s1, const ProcSide &s2, float v, int kind,
                bool hardEnds);

// The same blend in 8-bit fixed point: channels as bytes, weights in
// 1/4096, the result divided by 255.
Color procBlendFixed(const Color &c1, const Color &c2, float v);
Color procBlendFixed(RenderState *state, const ProcSide &s1, const ProcSide &s2, float v, int kind);

// Runs the Output shader (when set) on a colour result with the caller's
// mode pointer.
void procOutput(RenderState *state, Tag output, const int *mode, Color *result);

// A scalar pattern of the generator point (the map scales it itself).
typedef float (*ProcPattern)(const void *data, const Vector3 &p, const Vector3 &footprint);

// The forward differences g_i = (f(p + h b_i) - f(p)) / h along the
// generator's rows; *f0 receives f(p).
Vector3 procGradient(ProcPattern f, const void *data, const ProcPoint &pt, float h, float *f0);

// Finishes a bump answer from the pattern gradient `g` and the pattern
// value `v` at the point: g is turned by the state's internal-space matrix
// (rows normalised), then weighted by the two sides' intensities (and, for
// sides with a sub-map, blended with their own bump vectors), handed to
// the Output shader as (g, 0), and written as (x, y, z, 1).
void procBumpResult(RenderState *state, Vector3 g, float v, const ProcSide &s1, const ProcSide &s2,
                    Tag output, const int *mode, Color *result);

// How a member turns its pattern value into a colour.
enum ProcBlendKind { kProcLinear = 0, kProcHardEnds = 1, kProcFixed = 2 };

// The common shading step of a member with two sides and a scalar pattern:
// colour (and mono) requests blend the sides by f(p) and run the Output
// shader; bump requests sample f around p with step h, scale the gradient
// by `bumpScale` and finish it with procBumpResult. Returns true.
zoBoolean procShade(Color *result, RenderState *state, const int *mode, const ProcPoint &pt,
                    ProcPattern f, const void *data, const ProcSide &s1, const ProcSide &s2,
                    Tag output, ProcBlendKind blend, float h = 0.1f, float bumpScale = 1.0f);

// The neutral answer for calls that cannot be served.
void procNeutral(Color *result, int mode);

// A point with every non-finite component replaced by 0.
Vector3 procFinite(Vector3 p);

// The size parameter as the maps divide by it: 0 becomes 0.0001.
inline float procSize(float size) {
    return size == 0.0f ? 0.0001f : size;
}

// ---------------------------------------------------------------------------
// The record and entry of a two-colour map.

// The leading fields of every two-colour map record: the two colours, the
// sub-maps that replace them and the sub-maps' switches.
struct ProcTwoColor {
    Color color1;
    Color color2;
    Tag map1;
    Tag map2;
    zoBoolean map1On;
    zoBoolean map2On;

    ProcSide side1() const { return {color1, map1, map1On}; }
    ProcSide side2() const { return {color2, map2, map2On}; }
};
static_assert(offsetof(ProcTwoColor, color2) == 16 && offsetof(ProcTwoColor, map1) == 32 &&
                  offsetof(ProcTwoColor, map2) == 36 && offsetof(ProcTwoColor, map1On) == 40 &&
                  offsetof(ProcTwoColor, map2On) == 44 && sizeof(ProcTwoColor) == 48,
              "the two-colour prefix is laid out by the shader declarations");

// Evaluates the six prefix fields of `raw` into `p`, in declaration order.
void procEvalTwoColor(RenderState *state, const ProcTwoColor *raw, ProcTwoColor *p);

// Copies the record `raw` into `p` and evaluates `fields` in the order
// given.
template <typename P, typename... T>
inline void procEvalFields(RenderState *state, const P *raw, P *p, T P::*...fields) {
    memcpy(p, raw, sizeof *p);
    ((p->*fields = eval(state, &(raw->*fields))), ...);
}

// Copies the record `raw` (whose first member is `sides`) into `p` and
// evaluates its two-colour prefix, then `fields` in the order given (a
// record with no connections is taken as it stands).
template <typename P, typename... T>
inline void procEvaluate(RenderState *state, const P *raw, P *p, T P::*...fields) {
    memcpy(p, raw, sizeof *p);
    // nothing connected: the copy is the evaluated record
    if (unconnected(state, raw, sizeof *raw)) return;
    procEvalTwoColor(state, &raw->sides, &p->sides);
    ((p->*fields = eval(state, &(raw->*fields))), ...);
}

// The start of a map's entry. False when the call cannot be served (with
// the neutral answer when there is a result to write); else the record
// evaluated into *p and its G-buffer identifier written.
template <typename P>
inline bool procBegin(Color *result, RenderState *state, const P *params, const int *mode,
                      void (*evaluate)(RenderState *, const P *, P *), P *p) {
    if (!result) return false;
    if (!state || !params) {
        procNeutral(result, procMode(mode));
        return false;
    }
    evaluate(state, params, p);
    procGBuffer(state, p->gbufferId);
    return true;
}

// Asks the record's generator for the point and shades the record's two
// sides by f there (see procShade). The members shaded this way do not
// filter: the generator is not asked for the footprint, and f sees
// (0, 0, 0).
template <typename P>
inline zoBoolean procShadeRecord(Color *result, RenderState *state, const int *mode, const P &p,
                                 ProcPattern f, const void *data, ProcBlendKind blend,
                                 float h = 0.1f, float bumpScale = 1.0f) {
    ProcPoint pt;
    procCoordinates(state, p.coords, procIsBump(procMode(mode)), &pt, false);
    return procShade(result, state, mode, pt, f, data, p.sides.side1(), p.sides.side2(), p.output,
                     blend, h, bumpScale);
}

// The whole entry of a two-colour map whose pattern reads the evaluated
// record alone (and no footprint, as for procShadeRecord).
template <typename P>
inline zoBoolean procMap(Color *result, RenderState *state, const P *params, const int *mode,
                         void (*evaluate)(RenderState *, const P *, P *), ProcPattern f,
                         ProcBlendKind blend, float h = 0.1f, float bumpScale = 1.0f) {
    P p;
    if (!procBegin(result, state, params, mode, evaluate, &p)) return 0;
    return procShadeRecord(result, state, mode, p, f, &p, blend, h, bumpScale);
}

// The instance part of a map's init: the record in the running instance's
// user slot (if any) released and a new one of `size` bytes from the host
// allocator put there, which is returned (null when the allocation fails).
// Null, touching nothing, when the host keeps no user slot.
void *procNewInstance(RenderState *state, const char *module, int line, int size);
template <typename I>
inline I *procNewInstance(RenderState *state, const char *module, int line) {
    return static_cast<I *>(procNewInstance(state, module, line, static_cast<int>(sizeof(I))));
}

// A map's instance exit: the record in the user slot released and the slot
// emptied. Nothing for the class exit (null `params`).
void procFreeInstance(RenderState *state, const void *params, const char *module, int line);

// The class part of a map's init: when `params` is null, asks for instance
// inits and readies the solid noise (and the table noise when
// `tableNoise`). True for that class call.
bool procClassInit(RenderState *state, const void *params, zoBoolean *request,
                   bool tableNoise = false);

// ---------------------------------------------------------------------------
// Table noise: smoothly interpolated random values from a fixed-seed table,
// each table entry a draw of the 15-bit generator scaled by 1/32768.

constexpr int kTableNoiseSize = 256;

// Builds the table once per process (after noiseInit, whose permutation
// the solid form uses), under the host's global lock.
void tableNoiseInit(RenderState *state);
// The 1-D form: linear between entries, period kTableNoiseSize, in [0, 1).
float tableNoise1(float x);
// The 3-D form: lattice values hashed through the noise permutation,
// blended with the cubic weight t^2 (3 - 2t), in [0, 1).
float tableNoise3(const Vector3 &p);
// The table entries (scaled), for tests.
const float *tableNoiseValues();

}  // namespace kor

#endif
