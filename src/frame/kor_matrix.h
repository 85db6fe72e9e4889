// Affine 3-D transforms for texture space. Points are row vectors:
// p' = p * M, the rows 0-2 hold the linear part and row 3 the translation.
// Building operations multiply on the right, so they apply in the order
// they are called.
#ifndef KORSHADERS_FRAME_KOR_MATRIX_H
#define KORSHADERS_FRAME_KOR_MATRIX_H

#include <korshaders/host.h>
#include <math.h>

namespace kor {

struct Matrix34 {
    float m[4][3];
};

inline Matrix34 matrixIdentity() {
    return Matrix34{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}}};
}

// a * b (apply a, then b)
inline Matrix34 matrixMultiply(const Matrix34 &a, const Matrix34 &b) {
    Matrix34 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) {
            float s = i == 3 ? b.m[3][j] : 0.0f;
            for (int k = 0; k < 3; ++k) s += a.m[i][k] * b.m[k][j];
            r.m[i][j] = s;
        }
    return r;
}

// Rotation by `angle` radians about axis 0 (X), 1 (Y) or 2 (Z), turning
// the second axis of the plane toward the first: about Z, (1, 0, 0) goes
// to (cos, -sin, 0).
inline Matrix34 matrixRotation(int axis, float angle) {
    const float c = cosf(angle), s = sinf(angle);
    Matrix34 r = matrixIdentity();
    const int a = (axis + 1) % 3, b = (axis + 2) % 3;
    r.m[a][a] = c;
    r.m[a][b] = -s;
    r.m[b][a] = s;
    r.m[b][b] = c;
    return r;
}

inline Matrix34 matrixTranslation(Vector3 t) {
    Matrix34 r = matrixIdentity();
    r.m[3][0] = t.x;
    r.m[3][1] = t.y;
    r.m[3][2] = t.z;
    return r;
}

inline Matrix34 matrixScale(Vector3 s) {
    Matrix34 r = matrixIdentity();
    r.m[0][0] = s.x;
    r.m[1][1] = s.y;
    r.m[2][2] = s.z;
    return r;
}

inline Vector3 transformVector(const Matrix34 &M, Vector3 v) {
    return {v.x * M.m[0][0] + v.y * M.m[1][0] + v.z * M.m[2][0],
            v.x * M.m[0][1] + v.y * M.m[1][1] + v.z * M.m[2][1],
            v.x * M.m[0][2] + v.y * M.m[1][2] + v.z * M.m[2][2]};
}

inline Vector3 transformPoint(const Matrix34 &M, Vector3 p) {
    const Vector3 v = transformVector(M, p);
    return {v.x + M.m[3][0], v.y + M.m[3][1], v.z + M.m[3][2]};
}

// Footprint widths through the linear part: each output is the sum of the
// absolute matrix entries times the input widths.
inline Vector3 transformWidths(const Matrix34 &M, Vector3 w) {
    return {w.x * fabsf(M.m[0][0]) + w.y * fabsf(M.m[1][0]) + w.z * fabsf(M.m[2][0]),
            w.x * fabsf(M.m[0][1]) + w.y * fabsf(M.m[1][1]) + w.z * fabsf(M.m[2][1]),
            w.x * fabsf(M.m[0][2]) + w.y * fabsf(M.m[1][2]) + w.z * fabsf(M.m[2][2])};
}

inline Vector3 matrixRow(const Matrix34 &M, int row) {
    return {M.m[row][0], M.m[row][1], M.m[row][2]};
}

// Inverse of the linear part by cofactors (a zero determinant uses 1e7 as
// its reciprocal); the translation is inverted with it.
inline Matrix34 matrixInverse(const Matrix34 &M) {
    const float(*a)[3] = M.m;
    Matrix34 r{};
    r.m[0][0] = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    r.m[0][1] = a[0][2] * a[2][1] - a[0][1] * a[2][2];
    r.m[0][2] = a[0][1] * a[1][2] - a[0][2] * a[1][1];
    r.m[1][0] = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    r.m[1][1] = a[0][0] * a[2][2] - a[0][2] * a[2][0];
    r.m[1][2] = a[0][2] * a[1][0] - a[0][0] * a[1][2];
    r.m[2][0] = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    r.m[2][1] = a[0][1] * a[2][0] - a[0][0] * a[2][1];
    r.m[2][2] = a[0][0] * a[1][1] - a[0][1] * a[1][0];
    const float det = a[0][0] * r.m[0][0] + a[0][1] * r.m[1][0] + a[0][2] * r.m[2][0];
    const float inv = det != 0.0f ? 1.0f / det : 1e7f;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r.m[i][j] *= inv;
    const Vector3 t = transformVector(r, Vector3{-a[3][0], -a[3][1], -a[3][2]});
    r.m[3][0] = t.x;
    r.m[3][1] = t.y;
    r.m[3][2] = t.z;
    return r;
}

}  // namespace kor

#endif
