// The record through which a light shader tells the illumination model
// how the sample it just delivered should be used ("KEY_5").
#ifndef KORSHADERS_LIGHTS_KOR_LIGHTREC_H
#define KORSHADERS_LIGHTS_KOR_LIGHTREC_H

#include <stdint.h>

struct LightIllumRecord {
    int32_t filled;         // the light wrote this record
    float diffuseFactor;    // factor on the diffuse contribution
    int32_t ambientOnly;    // the light adds to the ambient component only
    int32_t affectBits;     // 1 affects diffuse, 2 affects specular
};
static_assert(sizeof(LightIllumRecord) == 16, "the light record is four words");

enum : int32_t { kAffectDiffuse = 1, kAffectSpecular = 2 };

#define KOR_KEY_LIGHT_ILLUM "KEY_5"

#endif
