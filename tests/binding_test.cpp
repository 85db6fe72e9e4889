// The binding layer: lazy resolution, rebinding, the two stderr messages,
// argument passing through the forwarders and the adapting forwarders.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "testhost/library.h"

using kortest::bind;
using kortest::fn;
using kortest::host;
using kortest::StderrCapture;

namespace {

const char *const kHostFunctions[] = {
#define ZO_FORWARD(slot, name) #name,
#define ZO_FORWARD_C(slot, name) #name,
#include "../src/binding/host_functions.def"
#undef ZO_FORWARD
#undef ZO_FORWARD_C
};

std::string handle_text(void *handle) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

class Binding : public ::testing::Test {
  protected:
    void SetUp() override {
        host('a').reset();
        host('b').reset();
        bind('a');
    }
    void TearDown() override { bind('a'); }
};

TEST(BindingExports, EveryHostFunctionHasAForwarder) {
    EXPECT_EQ(sizeof kHostFunctions / sizeof *kHostFunctions, 653u);
    for (const char *name : kHostFunctions)
        EXPECT_NE(dlsym(kortest::library(), name), nullptr) << name;
    EXPECT_NE(dlsym(kortest::library(), "zoSetModuleHandle"), nullptr);
}

TEST_F(Binding, ResolvesOnFirstCallAndStaysQuietAfterwards) {
    auto nthreads = fn<int (*)()>("zo_par_nthreads");
    EXPECT_EQ(nthreads(), 1);
    StderrCapture capture;
    for (int i = 0; i < 100; ++i) ASSERT_EQ(nthreads(), 1);
    EXPECT_EQ(capture.text(), "");
}

TEST_F(Binding, RebindingResolvesEveryFunctionAgainInTheNewModule) {
    auto nthreads = fn<int (*)()>("zo_par_nthreads");
    EXPECT_EQ(nthreads(), 1);
    bind('b');
    EXPECT_EQ(nthreads(), 2);
    // the C-written forwarders rebind too
    auto error = fn<void (*)(const char *, ...)>("zo_error");
    error("to b");
    EXPECT_EQ(host('b').messages.size(), 1u);
    EXPECT_TRUE(host('a').messages.empty());
    bind('a');
    EXPECT_EQ(nthreads(), 1);
    error("to a");
    EXPECT_EQ(host('a').messages.size(), 1u);
}

TEST_F(Binding, CallBeforeAnyHandleWritesBothMessagesInOrder) {
    bind(0);
    auto nthreads = fn<int (*)()>("zo_par_nthreads");
    StderrCapture capture;
    EXPECT_EQ(nthreads(), 0);  // no entry point: a zero result
    EXPECT_EQ(capture.text(),
              "DYNLOAD: dl_handle null\n"
              "dlsym failed on \"zo_par_nthreads\" (handle: 00000000 error: 22)\n");
}

TEST_F(Binding, MissingFunctionIsReportedOnEveryCallAndReturnsZero) {
    auto missing = fn<int (*)(int)>("zo_kdtree_create");
    std::string expected =
        "dlsym failed on \"zo_kdtree_create\" (handle: " + handle_text(kortest::host_module('a')) +
        " error: 2)";
    StderrCapture capture;
    EXPECT_EQ(missing(5), 0);
    EXPECT_EQ(missing(5), 0);
    std::string text = capture.text();
    EXPECT_EQ(text.find("DYNLOAD"), std::string::npos);
    size_t first = text.find(expected);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find(expected, first + 1), std::string::npos) << "second call reports again";
}

TEST_F(Binding, AHandleThatFindsTheLibraryItselfNeverForwardsToItself) {
    auto set = fn<void (*)(void *)>("zoSetModuleHandle");
    set(kortest::library());
    auto nthreads = fn<int (*)()>("zo_par_nthreads");
    StderrCapture capture;
    EXPECT_EQ(nthreads(), 0);
    EXPECT_NE(capture.text().find("dlsym failed on \"zo_par_nthreads\""), std::string::npos);
}

TEST_F(Binding, ArgumentsPassUnchangedThroughResolutionAndAfter) {
    auto schlick = fn<float (*)(const Vector3 *, const Vector3 *, float)>("zo_schlick_scatter");
    Vector3 d{1, 2, 3}, l{4, 5, 6};
    for (int call = 0; call < 2; ++call) EXPECT_FLOAT_EQ(schlick(&d, &l, 0.25f), 32.25f);

    // nine integer words: six in registers, three on the stack
    auto grow =
        fn<long (*)(long, long, long, long, long, long, long, long, long)>("zo_scene_growedit");
    for (int call = 0; call < 2; ++call) EXPECT_EQ(grow(1, 1, 1, 1, 1, 1, 1, 1, 1), 45);
    EXPECT_EQ(grow(9, 8, 7, 6, 5, 4, 3, 2, 1), 9 + 16 + 21 + 24 + 25 + 24 + 21 + 16 + 9);

    // a variadic host function: the vector-register count survives
    auto vsum = fn<double (*)(int, ...)>("zo_api_debug");
    for (int call = 0; call < 2; ++call) EXPECT_DOUBLE_EQ(vsum(3, 1.5, 2.5, 3.0), 7.0);
}

TEST_F(Binding, ConcurrentFirstCallsAllReachTheHost) {
    auto nthreads = fn<int (*)()>("zo_par_nthreads");
    for (char which : {'b', 'a'}) {
        bind(which);
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 2000; ++i)
                    if (nthreads() != (which == 'a' ? 1 : 2)) ++wrong;
            });
        for (auto &t : threads) t.join();
        EXPECT_EQ(wrong.load(), 0);
    }
}

TEST_F(Binding, MessagesReachTheHostAsOneFinishedText) {
    auto error = fn<void (*)(const char *, ...)>("zo_error");
    auto warning = fn<void (*)(const char *, ...)>("zo_warning");
    auto nwarning = fn<void (*)(int, const char *, ...)>("zo_nwarning");
    error("\"%s\" requires %s shader (%d)", "kor_Bitmap", "uv", 3);
    warning("%d%% done, %.2f left", 50, 0.5);
    nwarning(7, "n=%d", 3);
    const TestHostControl &h = host('a');
    ASSERT_EQ(h.messages.size(), 3u);
    EXPECT_EQ(h.messages[0], "error: \"kor_Bitmap\" requires uv shader (3)");
    EXPECT_EQ(h.raw[0], "\"kor_Bitmap\" requires uv shader (3)");
    // a percent sign in the finished text is shown as it stands
    EXPECT_EQ(h.raw[1], "50%% done, 0.50 left");
    EXPECT_EQ(h.messages[1], "warning: 50% done, 0.50 left");
    EXPECT_EQ(h.messages[2], "warning: n=3");
    EXPECT_EQ(h.message_numbers[2], 7);
}

TEST_F(Binding, LongMessagesAreCutToTheBuffer) {
    auto info = fn<void (*)(const char *, ...)>("zo_info");
    std::string long_text(3000, 'x');
    info("%s!", long_text.c_str());
    info("%s", (std::string(1022, 'y') + "%").c_str());
    const TestHostControl &h = host('a');
    ASSERT_EQ(h.raw.size(), 2u);
    EXPECT_EQ(h.raw[0], std::string(1023, 'x'));
    // a doubled percent sign that does not fit is left out whole
    EXPECT_EQ(h.raw[1], std::string(1022, 'y'));
}

TEST_F(Binding, QueryHandsOnTheFifthArgumentForCodes15And127Only) {
    auto query = fn<zoBoolean (*)(int, RenderState *, Tag, void *, ...)>("zo_query");
    RenderState state{};
    int count = 0;
    void *answer = nullptr;
    EXPECT_TRUE(query(127, &state, 9, &answer, &count));
    EXPECT_EQ(answer, &count);
    EXPECT_TRUE(query(15, &state, 9, &answer, &state));
    EXPECT_EQ(answer, &state);
    int type = -1;
    EXPECT_TRUE(query(ZO_Q_FUNC_CALLTYPE, &state, 4, &type));
    EXPECT_EQ(type, ZO_CALL_MATERIAL);
    const auto &q = host('a').queries;
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].code, 127);
    EXPECT_EQ(q[0].state, &state);
    EXPECT_EQ(q[0].tag, 9u);
    EXPECT_EQ(q[0].extra, &count);
    EXPECT_EQ(q[2].code, ZO_Q_FUNC_CALLTYPE);
    EXPECT_EQ(q[2].tag, 4u);
    EXPECT_EQ(q[2].result, &type);
}

TEST_F(Binding, SceneCreateHandsOnTheWordsItsTypeTakes) {
    auto create = fn<void *(*)(void *, int, ...)>("zo_scene_create");
    int first = 0;
    const std::vector<std::pair<int, size_t>> cases = {{40, 9}, {51, 4}, {7, 8}};
    for (auto [type, words] : cases) {
        EXPECT_EQ(create(&first, type, uintptr_t(11), uintptr_t(12), uintptr_t(13), uintptr_t(14),
                         uintptr_t(15), uintptr_t(16), uintptr_t(17), uintptr_t(18), uintptr_t(19)),
                  &first);
        const auto &got = host('a').scene_create_words;
        ASSERT_EQ(got.size(), words) << "type " << type;
        for (size_t i = 0; i < words; ++i) EXPECT_EQ(got[i], 11 + i) << "type " << type;
    }
}

}  // namespace
