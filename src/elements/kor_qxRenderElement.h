// Stored render elements: the component record that architectural-family
// materials publish per eye sample, the named colour stores of phenomena,
// and the element shader that reads either of them back.
#ifndef KORSHADERS_ELEMENTS_KOR_QXRENDERELEMENT_H
#define KORSHADERS_ELEMENTS_KOR_QXRENDERELEMENT_H

#include <korshaders/host.h>
#include <stddef.h>
#include <stdint.h>

// Shader-state key of the material component record.
#define KOR_KEY_MATERIAL_COMPONENTS "zoXMST"
// Named stores live under this prefix followed by the store's name.
#define KOR_STORE_KEY_PREFIX "krE:"

constexpr int32_t kComponentRecordSize = 416;
constexpr int kComponentChannels = 24;  // 0 .. 22 colours, 23 a scalar

// "zoXMST": the shading components of the material that shaded the sample
// at (rasterX, rasterY). Laid out by byte offset; `size` tells the layout.
struct MaterialComponentRecord {
    int32_t size;    // 0: kComponentRecordSize
    int32_t filled;  // 4: the material wrote its components
    int32_t reserved8;
    float channels[23][4];  // 12 + 16 k: channel k, r g b a
    float scalar;           // 380: channel 23
    int32_t reserved384[4];
    float rasterX;  // 400: -1 when created
    float rasterY;  // 404
    int32_t reserved408[2];
};
static_assert(offsetof(MaterialComponentRecord, channels) == 12, "component record layout");
static_assert(offsetof(MaterialComponentRecord, scalar) == 380, "component record layout");
static_assert(offsetof(MaterialComponentRecord, rasterX) == 400, "component record layout");
static_assert(sizeof(MaterialComponentRecord) == kComponentRecordSize, "component record size");

// Channels the material wrapper reads.
enum ComponentChannel : int {
    kComponentColor = 0,             // offset 12
    kComponentDiffuse = 1,           // 28
    kComponentDiffuseColor = 3,      // 60
    kComponentSpecular = 4,          // 76
    kComponentReflection = 7,        // 124
    kComponentMap9 = 9,              // 156
    kComponentRefraction = 10,       // 172
    kComponentRefractionColor = 12,  // 204
    kComponentMap15 = 15,            // 252
    kComponentAmbient = 16,          // 268
    kComponentSelfIllum = 20,        // 332
    kComponentOpacity = 23,          // 380, the scalar
};

// A named store: the colour and the raster position of the sample that
// stored it.
struct NamedStore {
    Color value;
    float rasterX;
    float rasterY;
};
static_assert(sizeof(NamedStore) == 24, "named store is 24 bytes");

namespace kor {
// Channel k of the record as element passes see it: channels 0, 10, 11, 17,
// 20, 21 and 22 with their own alpha, the others with alpha 1, channel 23 as
// grey with alpha 1. Black with alpha 0 for k outside 0 .. 23.
Color componentChannel(const MaterialComponentRecord &record, int k);
// Arms the library-wide one-time check of the record's version again (the
// library arms it once when it is loaded).
void armComponentVersionCheck();
}  // namespace kor

#endif
