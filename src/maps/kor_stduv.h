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

constexpr int32_t kUVLookupMagic = 0x09165200;

struct UVLookupRequest;

// Reads the map at (u, v) inside the unit tile.
typedef Color *(*UVPointLookup)(Color *out, RenderState *state, UVLookupRequest *request,
                                float u, float v);
// Reads the map averaged over the box of widths du, dv centred on (u, v).
typedef Color *(*UVFilteredLookup)(Color *out, RenderState *state, UVLookupRequest *request,
                                   float u, float v, float du, float dv);

// The fourth argument with which a 2-D map calls its UV generator: the
// generator tiles, mirrors and filters, and calls back for texel reads.
struct UVLookupRequest {
    int32_t magic;  // kUVLookupMagic
    UVPointLookup pointLookup;
    UVFilteredLookup filteredLookup;
    void *mapParams;   // owned by the map
    void *mapData;     // owned by the map
    const int *mode;   // null, 0 or 1: colour; any other value: bump gradient
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
    int32_t flags;     // low 16 bits are read
    float slots[12];   // slot k of the description is slots[k - 1]
};
static_assert(sizeof(CoordQuery) == kCoordQuerySize, "coordinate query is 56 bytes");

// UV query flags.
enum : int32_t { kQueryBasis = 1, kQueryUVW = 2, kQueryDUVW = 4 };
// XYZ query flags.
enum : int32_t { kQueryFootprint = 1, kQueryRows = 2 };

#endif
