// The bake lens's grid over the UV square of the working model: about one
// cell per triangle, each cell listing the triangles whose UV bounds touch
// it, in one flat array indexed by prefix sums.
#ifndef KORSHADERS_ELEMENTS_RTTGRIDACCELERATOR_H
#define KORSHADERS_ELEMENTS_RTTGRIDACCELERATOR_H

#include <korshaders/host.h>
#include <stdint.h>

#include "kor_rtt.h"
#include "scenedata.h"

struct RTTGridAccelerator {
    float transform[16];   // the working instance's object-to-world transformation
    Tag objectTag;         // the working model's mesh (database type ZO_DB_MESH)
    int32_t uvChannel;     // texture space of the UVs
    int32_t uvOffset;      // float position of that space inside a vertex
    uint8_t normalOffset;  // float position of the vertex normal; 0: none
    Tag selectionTag;      // optional triangle selection (bit array user data)
    unsigned resolution;   // N, cells per axis
    unsigned *cellStart;   // N * N + 1 entries: start of each cell's run in items
    unsigned cellCount;    // N * N + 1
    unsigned *items;       // per cell, the triangles' first-vertex indices
    unsigned itemCount;
    uint8_t built;
    const zoMeshRecord *mesh;      // pinned while the grid lives
    const ObjectData *objectData;  // the face values, or null
};

namespace kor {

// Fills the grid's setup from the working instance (transformation, mesh,
// object data); the UV channel is a texture-space index. False when the
// instance does not place an object holding a mesh.
bool rttGridSetup(RTTGridAccelerator *grid, Tag instance, int uvChannel, Tag selection);

// Builds the cells (once); reports the structure or the failure.
bool rttGridBuild(RTTGridAccelerator *grid, RenderState *state);

// Releases the arrays and unpins the mesh.
void rttGridRelease(RTTGridAccelerator *grid);

// Cell number of (u, v) in a grid of n x n cells: each of n u and n v is
// truncated towards zero and taken as unsigned; values of n and above
// (negative ones among them) land in cell n - 1 of their axis.
unsigned rttGridCell(unsigned n, float u, float v);

// The point against the UV triangle a, b, c: all three edge functions >= 0
// (counter-clockwise triangles, edges inclusive).
bool rttInsideTriangle(const float a[2], const float b[2], const float c[2], float px, float py);

// Finds the triangle under (u, v) and fills the hit; false on a miss (and
// for a grid that was not built).
bool rttGridLookup(const RTTGridAccelerator *grid, RenderState *state, float u, float v,
                   RttSurfaceHit *hit);

}  // namespace kor

#endif
