// The wind that drifts the noise of volume fog and volume light: one of
// the six axis directions, by the parameters' wind direction 0 to 5.
#ifndef KORSHADERS_ATMOSPHERE_ATM_WIND_H
#define KORSHADERS_ATMOSPHERE_ATM_WIND_H

#include <korshaders/host.h>

namespace kor {

// 0 -Y, 1 +Y, 2 -X, 3 +X, 4 +Z, 5 -Z; anything else: no wind.
inline Vector3 windVector(int direction) {
    switch (direction) {
        case 0: return {0.0f, -1.0f, 0.0f};
        case 1: return {0.0f, 1.0f, 0.0f};
        case 2: return {-1.0f, 0.0f, 0.0f};
        case 3: return {1.0f, 0.0f, 0.0f};
        case 4: return {0.0f, 0.0f, 1.0f};
        case 5: return {0.0f, 0.0f, -1.0f};
        default: return {0.0f, 0.0f, 0.0f};
    }
}

}  // namespace kor

#endif
