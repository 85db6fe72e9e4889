// Records exchanged between maps and their coordinate generators.
#ifndef KORSHADERS_MAPS_KOR_STDUV_H
#define KORSHADERS_MAPS_KOR_STDUV_H

#include <korshaders/host.h>
#include <stdint.h>

// What UV and XYZ coordinate shaders return: the coordinate and its
// filter footprint (one non-negative width per axis, blur applied).
struct CoordinateRecord {
    Vector3 uvw;
    Vector3 duvw;
};

// Parameters of the UV generator and the UV coordinate shader (every field
// evaluated). The defaults are the declaration's.
struct UVGeneratorParams {
    int32_t mappingKind = 0;      // 0 texture, 1 environment
    int32_t environmentType = 0;  // 1 spherical, 2 cylindrical, 3 shrink-wrap, 4 screen, 5 region
    int32_t mapChannel = 1;
    int32_t textureSource = 0;  // 0 map channel, 1 object XYZ, 2 vertex colour, 3 world XYZ
    zoBoolean showMapOnBack = 1;
    float uOffset = 0.0f;
    float uTiling = 1.0f;
    zoBoolean uTile = 1;
    zoBoolean uMirror = 0;
    float vOffset = 0.0f;
    float vTiling = 1.0f;
    zoBoolean vTile = 1;
    zoBoolean vMirror = 0;
    float uAngle = 0.0f;
    float vAngle = 0.0f;
    float wAngle = 0.0f;
    int32_t axis = 0;  // 0 UV, 1 VW, 2 WU
    zoBoolean wrapLookup = 1;
    float blur = 1.0f;
    float blurOffset = 0.0f;
    zoBoolean noiseOn = 0;
    zoBoolean noiseAnimate = 0;
    float noiseAmount = 1.0f;
    float noiseSize = 1.0f;
    int32_t noiseLevels = 1;
    float noisePhase = 0.0f;
    zoBoolean realWorldScale = 0;
    int32_t regionWidth = 0;
    int32_t regionHeight = 0;
};

constexpr int32_t kUVLookupMagic = 0x09165200;

struct UVLookupRequest;

// Reads the map at (u, v) inside the unit tile.
typedef Color *(*UVPointLookup)(Color *out, RenderState *state, UVLookupRequest *request, float u,
                                float v);
// Reads the map averaged over the box of widths du, dv centred on (u, v).
typedef Color *(*UVFilteredLookup)(Color *out, RenderState *state, UVLookupRequest *request,
                                   float u, float v, float du, float dv);

// The fourth argument with which a 2-D map calls its UV generator: the
// generator tiles, mirrors and filters, and calls back for texel reads.
struct UVLookupRequest {
    int32_t magic;  // kUVLookupMagic
    UVPointLookup pointLookup;
    UVFilteredLookup filteredLookup;
    void *mapParams;  // owned by the map
    void *mapData;    // owned by the map
    const int *mode;  // null, 0 or 1: colour; any other value: bump gradient
    zoBoolean filtered;
    void *lookupData;  // handed back to the callbacks
};

// A question a caller places in the state's user-data slot (size 56)
// before calling a generator.
constexpr int32_t kCoordQueryUV = 0x0C20;
constexpr int32_t kCoordQueryXYZ = 0x0C30;
constexpr int32_t kCoordQuerySize = 56;

struct CoordQuery {
    int32_t magic;
    int32_t flags;    // low 16 bits are read
    float slots[12];  // slot k of the description is slots[k - 1]
};
static_assert(sizeof(CoordQuery) == kCoordQuerySize, "coordinate query is 56 bytes");

// UV query flags.
enum : int32_t { kQueryBasis = 1, kQueryUVW = 2, kQueryDUVW = 4 };
// XYZ query flags.
enum : int32_t { kQueryFootprint = 1, kQueryRows = 2 };

#endif
