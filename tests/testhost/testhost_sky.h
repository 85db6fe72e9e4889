// Sky and sun doubles of the test host: the light record of query 5 that
// a sky light reads its sun direction from (host_sky.cpp).
#pragma once

#include <korshaders/host.h>

#include <vector>

struct TestSky {
    // query 5: the light record of the state's light instance (or of the
    // tag asked for); the query fails while `has_light_record` is false
    bool has_light_record = false;
    zoLightRecord light_record{};
    std::vector<Tag> record_queries;  // the light instance each query 5 named

    void reset() { *this = TestSky{}; }
};

extern "C" TestSky *testhost_sky();
