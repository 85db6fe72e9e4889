// Compound-material doubles of the test host: material shader functions
// that zo_call_shader runs for real (so that sub-materials can change the
// state and the render element results), and the opacity a material
// reports with zo_opacity_set.
#pragma once

#include <korshaders/host.h>

#include <map>
#include <mutex>
#include <vector>

#include "host_bitmap.h"

struct TestCompoundHost {
    std::mutex mutex;
    // zo_call_shader runs these by tag before its scripted answers
    std::map<Tag, TestShaderEntry> materials;
    std::vector<Color> opacities;  // zo_opacity_set

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        materials.clear();
        opacities.clear();
    }
};

extern "C" TestCompoundHost *testhost_compound();

// Used by zo_call_shader of testhost.cpp.
const TestShaderEntry *testhost_material_function(Tag tag);
