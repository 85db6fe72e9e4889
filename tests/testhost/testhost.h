// A stand-in host renderer for the library's unit tests: a module that
// exports zo_* test doubles, records what the library asks of it and
// answers from values a test sets beforehand.
#pragma once

#include <korshaders/host.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

struct TestQuery {
    int code;
    RenderState *state;
    Tag tag;
    void *result;
    void *extra;  // the fifth argument of codes 15 and 127
};

struct TestShaderCall {
    std::string function;  // "zo_call_shader", "zo_call_material", ...
    int type;              // shader or call type where the function takes one
    Tag tag;
    Tag state_material;    // state->material during the call
    Tag state_environment; // state->environment during the call
    Tag state_volume;
};

struct TestShaderBehaviour {
    zoBoolean ok = 1;
    bool writes = true;
    Color color = {0, 0, 0, 0};
};

// A call made through zo_call_shader_x and the first two words of its
// argument record as they stood during the call.
struct TestCallArgument {
    int type;
    Tag tag;
    const void *arg;
    int32_t words[2];
};

struct TestHostControl {
    std::string id;
    std::mutex mutex;

    // recorded
    std::vector<std::string> messages;  // "severity: text" as the host shows it
    std::vector<std::string> raw;       // the text argument as received
    std::vector<int> message_numbers;
    std::vector<TestQuery> queries;
    std::vector<TestShaderCall> calls;
    std::vector<uintptr_t> scene_create_words;
    long allocations = 0, releases = 0;

    // answers
    int call_type = ZO_CALL_MATERIAL;
    const char *shader_name = "test_shader";
    void **user_slot = nullptr;  // query 51; null: the query fails
    std::map<Tag, void *> data_blocks;  // query 105
    std::map<Tag, int> db_types;
    std::map<int, std::map<Tag, Tag>> material_shaders;  // code 43..50, 146 -> material -> shader
    std::map<Tag, TestShaderBehaviour> shaders;  // zo_call_shader by tag
    TestShaderBehaviour material_call;            // zo_call_*_material
    std::map<std::string, TestShaderBehaviour> material_calls;  // by function name
    std::map<const void *, const void *> evaluated;  // zo_phen_eval: parameter -> value

    // support-library doubles (host_support.cpp)
    long locks = 0, unlocks = 0;              // zo_lock, zo_unlock
    std::vector<TestCallArgument> arguments;  // zo_call_shader_x; answers from `shaders`
    int argument_words = 1;  // words of the argument record recorded (1 or 2)
    // queries 124, 126 and 127 keep thread pointers per instance (the tag of
    // state->shader) and thread (state->thread) when set; otherwise 124 and
    // 126 fail and 127 echoes its fifth argument
    bool thread_pointers = false;
    std::map<Tag, std::vector<void *>> thread_slots;
    TestShaderBehaviour irradiance;            // zo_compute_irradiance
    std::vector<Vector3> irradiance_normals;   // state->normal during each call
    std::map<Tag, zoImage *> images;           // zo_db_access; pixels: Color[width * height]
    std::vector<std::pair<int, int>> pixel_reads;  // zo_img_get_color
    std::vector<Vector3> texture_coords;  // zo_lookup_color_texture; answers from `shaders`

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        messages.clear();
        raw.clear();
        message_numbers.clear();
        queries.clear();
        calls.clear();
        scene_create_words.clear();
        allocations = releases = 0;
        call_type = ZO_CALL_MATERIAL;
        shader_name = "test_shader";
        user_slot = nullptr;
        data_blocks.clear();
        db_types.clear();
        material_shaders.clear();
        shaders.clear();
        material_call = TestShaderBehaviour{};
        material_calls.clear();
        evaluated.clear();
        locks = unlocks = 0;
        arguments.clear();
        argument_words = 1;
        thread_pointers = false;
        thread_slots.clear();
        irradiance = TestShaderBehaviour{};
        irradiance_normals.clear();
        images.clear();
        pixel_reads.clear();
        texture_coords.clear();
    }
};

extern "C" TestHostControl *testhost_control();
