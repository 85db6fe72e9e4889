// Parameter records of the host test shaders that tests inspect.
#pragma once

#include <korshaders/host.h>

// The record of test_layout, as a C compiler lays it out.
struct LayoutInner {
    int32_t a;
    void *p;
};
struct LayoutParams {
    int32_t flag;
    float scale;
    Vector3 v;
    Color c;
    LayoutInner inner;
    struct {
        int32_t start, count;
        float storage[1];
    } values;
    Tag shader;
};
