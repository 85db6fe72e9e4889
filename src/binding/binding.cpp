// Lazy binding of the host renderer's entry points.
//
// The host hands over the handle of the module that defines its functions
// through zoSetModuleHandle. Every forwarding function looks its own name up
// in that module on first use and caches the entry point in its slot; the
// forwarders themselves are generated in assembly from host_functions.def.
// The few forwarders that must adapt the call (message expansion, extra
// argument words) are the C functions below.

#include "binding.h"

#include <dlfcn.h>
#include <errno.h>
#include <korshaders/host.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define KOR_EXPORT extern "C" __attribute__((visibility("default")))

void *kor_binding_slots[ZO_SLOT_COUNT];

namespace {

void *module_handle;  // the host module; set before any shader runs

const char *const slot_names[ZO_SLOT_COUNT] = {
#define ZO_FORWARD(slot, name) #name,
#define ZO_FORWARD_C(slot, name) #name,
#include "host_functions.def"
#undef ZO_FORWARD
#undef ZO_FORWARD_C
};

// Slots of the forwarders written in C.
enum : unsigned {
#define ZO_FORWARD(slot, name)
#define ZO_FORWARD_C(slot, name) slot_##name = slot,
#include "host_functions.def"
#undef ZO_FORWARD
#undef ZO_FORWARD_C
};

// True when `entry` lies in this library: a global lookup handle could
// find our own forwarder, and forwarding to it would never end.
bool is_own_function(void *entry) {
    Dl_info self, found;
    if (!dladdr(reinterpret_cast<void *>(&kor_binding_resolve), &self)) return false;
    if (!dladdr(entry, &found)) return false;
    return self.dli_fbase == found.dli_fbase;
}

}  // namespace

void *kor_binding_resolve(unsigned slot) {
    const char *name = slot < ZO_SLOT_COUNT ? slot_names[slot] : nullptr;
    if (!name) return nullptr;
    void *handle = __atomic_load_n(&module_handle, __ATOMIC_ACQUIRE);
    if (!handle) fputs("DYNLOAD: dl_handle null\n", stderr);
    // An empty handle finds nothing (on this platform a null handle would
    // mean a global search, which is never what the host handed over).
    dlerror();
    void *entry = handle ? dlsym(handle, name) : nullptr;
    // the lookup reports no number of its own: an empty handle is an invalid
    // argument, a name the module does not have is absent
    const int error = handle ? ENOENT : EINVAL;
    if (entry && is_own_function(entry)) entry = nullptr;
    __atomic_store_n(&kor_binding_slots[slot], entry, __ATOMIC_RELEASE);
    if (!entry) {
        fprintf(stderr, "dlsym failed on \"%s\" (handle: %08x error: %d)\n", name,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)), error);
    }
    return entry;
}

KOR_EXPORT void zoSetModuleHandle(void *handle) {
    __atomic_store_n(&module_handle, handle, __ATOMIC_RELEASE);
    for (auto &slot : kor_binding_slots) __atomic_store_n(&slot, nullptr, __ATOMIC_RELEASE);
}

// ---------------------------------------------------------------------------
// Message forwarders: the format is expanded here into one text of at most
// 1023 characters; percent signs in it are doubled so that a host which
// takes its argument for a format shows the text unchanged.

namespace {

constexpr size_t kMessageBuffer = 1024;

void expand_message(char (&text)[kMessageBuffer], const char *format, va_list args) {
    char expanded[kMessageBuffer];
    if (!format) format = "";
    int n = vsnprintf(expanded, sizeof expanded, format, args);
    if (n < 0) expanded[0] = '\0';
    size_t out = 0;
    for (const char *p = expanded; *p; ++p) {
        size_t need = *p == '%' ? 2 : 1;
        if (out + need > kMessageBuffer - 1) break;
        text[out++] = *p;
        if (*p == '%') text[out++] = '%';
    }
    text[out] = '\0';
}

using MessageFn = void (*)(const char *, ...);
using NumberedMessageFn = void (*)(int, const char *, ...);

void forward_message(unsigned slot, const char *format, va_list args) {
    char text[kMessageBuffer];
    expand_message(text, format, args);
    if (auto fn = reinterpret_cast<MessageFn>(kor_binding_entry(slot))) fn(text);
}

void forward_numbered(unsigned slot, int number, const char *format, va_list args) {
    char text[kMessageBuffer];
    expand_message(text, format, args);
    if (auto fn = reinterpret_cast<NumberedMessageFn>(kor_binding_entry(slot))) fn(number, text);
}

}  // namespace

#define KOR_MESSAGE_FORWARDER(name)                 \
    KOR_EXPORT void name(const char *format, ...) { \
        va_list args;                               \
        va_start(args, format);                     \
        forward_message(slot_##name, format, args); \
        va_end(args);                               \
    }
#define KOR_NUMBERED_FORWARDER(name)                            \
    KOR_EXPORT void name(int number, const char *format, ...) { \
        va_list args;                                           \
        va_start(args, format);                                 \
        forward_numbered(slot_##name, number, format, args);    \
        va_end(args);                                           \
    }

KOR_MESSAGE_FORWARDER(zo_fatal)
KOR_MESSAGE_FORWARDER(zo_error)
KOR_MESSAGE_FORWARDER(zo_warning)
KOR_MESSAGE_FORWARDER(zo_info)
KOR_MESSAGE_FORWARDER(zo_progress)
KOR_MESSAGE_FORWARDER(zo_debug)
KOR_MESSAGE_FORWARDER(zo_vdebug)
KOR_NUMBERED_FORWARDER(zo_nfatal)
KOR_NUMBERED_FORWARDER(zo_nerror)
KOR_NUMBERED_FORWARDER(zo_nwarning)

// ---------------------------------------------------------------------------
// zo_scene_create: the object type decides how many argument words follow.

KOR_EXPORT void *zo_scene_create(void *first, int type, ...) {
    using W = uintptr_t;
    using CreateFn = void *(*)(void *, int, ...);
    auto fn = reinterpret_cast<CreateFn>(kor_binding_entry(slot_zo_scene_create));
    if (!fn) return nullptr;
    const int count = type == 40 ? 9 : type == 51 ? 4 : 8;
    W w[9] = {};
    va_list args;
    va_start(args, type);
    for (int i = 0; i < count; ++i) w[i] = va_arg(args, W);
    va_end(args);
    switch (count) {
        case 4: return fn(first, type, w[0], w[1], w[2], w[3]);
        case 9: return fn(first, type, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8]);
        default: return fn(first, type, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7]);
    }
}
