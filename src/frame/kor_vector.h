// Small inline vector arithmetic on the interface's Vector3.
#ifndef KORSHADERS_FRAME_KOR_VECTOR_H
#define KORSHADERS_FRAME_KOR_VECTOR_H

#include <emmintrin.h>
#include <korshaders/host.h>
#include <math.h>
#include <smmintrin.h>

inline Vector3 operator+(Vector3 a, Vector3 b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vector3 operator-(Vector3 a, Vector3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vector3 operator-(Vector3 a) {
    return {-a.x, -a.y, -a.z};
}
inline Vector3 operator*(Vector3 a, float s) {
    return {a.x * s, a.y * s, a.z * s};
}
inline Vector3 operator*(float s, Vector3 a) {
    return {a.x * s, a.y * s, a.z * s};
}
inline Vector3 operator/(Vector3 a, float s) {
    return {a.x / s, a.y / s, a.z / s};
}
inline Vector3 &operator+=(Vector3 &a, Vector3 b) {
    return a = a + b;
}

namespace kor {

inline float dot(Vector3 a, Vector3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vector3 cross(Vector3 a, Vector3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float length(Vector3 a) {
    return sqrtf(dot(a, a));
}
inline Vector3 abs(Vector3 a) {
    return {fabsf(a.x), fabsf(a.y), fabsf(a.z)};
}
inline float component(Vector3 a, int axis) {
    return axis == 0 ? a.x : axis == 1 ? a.y : a.z;
}
// a normalised copy; the zero vector stays zero
inline Vector3 unit(Vector3 a) {
    const float l = length(a);
    return l > 0 ? a / l : a;
}

constexpr Vector3 kZero = {0.0f, 0.0f, 0.0f};

// A colour's four lanes. Lane arithmetic takes the operations of the
// scalar form on each component, and rounds as it does.
__attribute__((always_inline)) inline __m128 colourLanes(const Color &c) {
    return _mm_loadu_ps(&c.r);
}
// Lanes r, g and b of `rgb` with lane alpha of `alpha`.
__attribute__((always_inline)) inline __m128 rgbWithAlphaLane(__m128 rgb, __m128 alpha) {
#ifdef __SSE4_1__
    return _mm_blend_ps(rgb, alpha, 0x8);
#else
    const __m128 mask = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0));
    return _mm_or_ps(_mm_and_ps(mask, rgb), _mm_andnot_ps(mask, alpha));
#endif
}

}  // namespace kor

#endif
