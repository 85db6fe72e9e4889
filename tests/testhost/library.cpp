#include "testhost/library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kortest {

namespace {
void *open_or_die(const char *path) {
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        std::abort();
    }
    return handle;
}
}  // namespace

void *library() {
    static void *handle = open_or_die(KOR_LIBRARY_PATH);
    return handle;
}

void *host_module(char which) {
    static void *a = open_or_die(KOR_TESTHOST_A);
    static void *b = open_or_die(KOR_TESTHOST_B);
    return which == 'a' ? a : b;
}

TestHostControl &host(char which) {
    auto control =
        reinterpret_cast<TestHostControl *(*)()>(dlsym(host_module(which), "testhost_control"));
    return *control();
}

void bind(char which) {
    auto set = reinterpret_cast<void (*)(void *)>(dlsym(library(), "zoSetModuleHandle"));
    set(which ? host_module(which) : nullptr);
}

void *symbol(const char *name) {
    void *s = dlsym(library(), name);
    EXPECT_NE(s, nullptr) << name << " is not exported";
    return s;
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    char path[] = "/tmp/korstderrXXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    saved_ = dup(2);
    dup2(file_, 2);
}

std::string StderrCapture::text() {
    if (!done_) {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        lseek(file_, 0, SEEK_SET);
        char buffer[4096];
        ssize_t n;
        while ((n = read(file_, buffer, sizeof buffer)) > 0) text_.append(buffer, n);
        close(file_);
        done_ = true;
    }
    return text_;
}

StderrCapture::~StderrCapture() { text(); }

}  // namespace kortest
