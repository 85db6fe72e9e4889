// Small inline vector arithmetic on the interface's Vector3.
#ifndef KORSHADERS_FRAME_KOR_VECTOR_H
#define KORSHADERS_FRAME_KOR_VECTOR_H

#include <korshaders/host.h>
#include <math.h>

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

}  // namespace kor

#endif
