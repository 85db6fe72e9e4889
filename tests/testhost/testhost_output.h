// Output-shader doubles of the test host: the frame buffers that
// zo_output_image_open hands out and the texture coordinates that
// zo_texture_interpolate answers.
#pragma once

#include <korshaders/host.h>

#include <map>
#include <vector>

struct TestOutputHost {
    std::map<int, zoImage *> images;  // by buffer number; pixels Color[width * height]
    std::vector<int> opened, closed;  // buffer numbers
    // zo_texture_interpolate: coordinates by texture space; fails for others
    std::map<int, Vector3> texture_spaces;
    std::vector<int> interpolated;  // spaces asked for

    void reset() { *this = TestOutputHost{}; }
};

extern "C" TestOutputHost *testhost_output();
