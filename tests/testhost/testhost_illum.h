// Illumination doubles of the test host: scripted light samples per light
// tag (with the "KEY_5" record a light would write), traced transparency,
// reflection and refraction, continued rays, average radiance and light
// map editing.
#pragma once

#include <korshaders/host.h>

#include <map>
#include <vector>

// One sample that zo_sample_light hands out.
struct TestLightSample {
    Color color{0, 0, 0, 0};
    Vector3 dir{0, 0, 1};
    float dot_nl = 1.0f;
    // the "KEY_5" record the light writes before it returns the sample
    bool writes_record = false;
    int32_t filled = 1;
    float diffuse_factor = 1.0f;
    int32_t ambient_only = 0;
    int32_t affect_bits = 3;
};

struct TestLightScript {
    std::vector<TestLightSample> samples;
    // used instead when the state's inverted-normal flag is set (if not empty)
    std::vector<TestLightSample> back;
};

// One zo_sample_light call that returned a sample.
struct TestLightCall {
    Tag light;
    int index;            // sample index within the pass
    Vector3 normal;       // state->normal during the call
    int32_t inv_normal;   // state->inv_normal during the call
    bool record_present;  // "KEY_5" was set
    int32_t record[4];    // its four words as the light found them
};

struct TestIllumHost {
    std::map<Tag, TestLightScript> lights;
    std::vector<TestLightCall> light_calls;
    long light_loops = 0;  // zo_sample_light calls that ended a loop (returned false)
    // runs before a sample is returned (e.g. a shadow ray that measures thickness)
    void (*on_sample)(RenderState *state, Tag light, int index, void *data) = nullptr;
    void *hook_data = nullptr;

    // zo_trace_transparent
    zoBoolean transparent_ok = 1;
    Color transparent_color{0, 0, 0, 0};
    std::vector<int32_t> transparent_depths;  // state->trace_depth during each call
    std::vector<bool> transparent_key1;       // "KEY_1" present during each call
    std::vector<std::vector<int32_t>> key1_words;

    // zo_trace_reflection, zo_trace_refraction, zo_trace_continue
    zoBoolean trace_ok = 1;
    Color trace_color{0, 0, 0, 0};
    long reflection_traces = 0, refraction_traces = 0, continue_traces = 0;
    // zo_reflection_dir, zo_refraction_dir
    Vector3 reflection_dir{0, 0, 1};
    Vector3 refraction_dir{0, 0, -1};
    zoBoolean refraction_ok = 1;

    // zo_compute_avg_radiance
    zoBoolean radiance_ok = 1;
    Color radiance{0, 0, 0, 0};
    long radiance_calls = 0;

    // zo_lightmap_edit: images by texture tag (pixels Color[width * height])
    std::map<Tag, zoImage *> lightmaps;
    long edits = 0, edit_ends = 0;
    long pixel_writes = 0;

    void reset() { *this = TestIllumHost{}; }
};

extern "C" TestIllumHost *testhost_illum();
