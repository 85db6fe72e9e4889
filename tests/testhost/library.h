// Loads the shader library and the test host modules the way a host
// renderer does (RTLD_LOCAL), and binds the library to a test host.
#pragma once

#include <dlfcn.h>

#include <string>

#include "testhost.h"

namespace kortest {

void *library();                 // libkorshaders, loaded once
void *host_module(char which);   // 'a' or 'b'
TestHostControl &host(char which = 'a');

// zoSetModuleHandle(host module `which`), or an empty handle for 0.
void bind(char which);

// A symbol of the shader library; fails the test when it is missing.
void *symbol(const char *name);

template <typename F>
F fn(const char *name) {
    return reinterpret_cast<F>(symbol(name));
}

// Captures what is written to the standard error stream (file descriptor
// 2) between construction and text().
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string text();

private:
    int saved_ = -1;
    int file_ = -1;
    bool done_ = false;
    std::string text_;
};

}  // namespace kortest
