// Test doubles for the bump, normal, displacement and environment shaders:
// the bump-state query (142) and object, camera and world spaces turned against internal space for
// the vector and normal conversions.
#pragma once

#include <korshaders/host.h>

struct TestBumpHost {
    // query 142; fails unless `answer_bump_state` is set
    bool answer_bump_state = false;
    int bump_state = 0;
    // When `turn_spaces` is set, zo_vector_to_* and zo_normal_to_* give
    // v * R and zo_vector_from_* and zo_normal_from_* give v * transpose(R)
    // with R the rotation (row-major 3x3, row vectors) of the space; points
    // stay where they are. Otherwise all spaces coincide.
    bool turn_spaces = false;
    float world[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    float camera[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    float object[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

    void reset() { *this = TestBumpHost{}; }
};

extern "C" TestBumpHost *testhost_bump();

// Answers query 142 (reached from the scene queries).
zoBoolean testhost_bump_query(int code, RenderState *state, Tag tag, void *result);
// A vector or normal into (`into`) or out of space 0 world, 1 camera,
// 2 object (used by the space doubles).
void testhost_turn(int space, bool into, Vector3 *out, const Vector3 *in);
