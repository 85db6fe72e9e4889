// Helpers shared by the host functions' files (api.cpp, api_images.cpp,
// api_spaces.cpp): database lookups by tag, messages, output parameters.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "session.h"

#define HOST_API extern "C" __attribute__((visibility("default")))

namespace korhost {
namespace api {

inline HostRecord *running(RenderState *state) {
    return state && state->shader ? reinterpret_cast<HostRecord *>(state->shader) : nullptr;
}

inline DbItem *item(Tag tag) {
    Session *s = session();
    return s ? s->item(tag) : nullptr;
}

inline const zoInstanceRecord *instance_record(Tag tag) {
    DbItem *it = item(tag);
    if (!it || it->type != ZO_DB_INSTANCE) return nullptr;
    return static_cast<const zoInstanceRecord *>(it->record);
}

inline const ObjectEntry *object_of(Tag tag) {
    DbItem *it = item(tag);
    if (!it) return nullptr;
    if (it->type == ZO_DB_INSTANCE && it->object_instance)
        return static_cast<const InstanceEntry *>(it->owner)->object;
    if (it->type == ZO_DB_OBJECT || it->type == ZO_DB_MESH)
        return static_cast<const ObjectEntry *>(it->owner);
    return nullptr;
}

inline const LightEntry *light_of(Tag tag) {
    DbItem *it = item(tag);
    if (!it || !it->owner) return nullptr;
    if (it->type == ZO_DB_LIGHT || (it->type == ZO_DB_INSTANCE && !it->object_instance))
        return static_cast<const LightEntry *>(it->owner);
    return nullptr;
}

inline const MaterialEntry *material_of(Tag tag) {
    DbItem *it = item(tag);
    if (!it || (it->type != ZO_DB_MATERIAL && it->type != ZO_DB_MATERIAL_PHENOMENON))
        return nullptr;
    return static_cast<const MaterialEntry *>(it->record);
}

inline void vmessage(int severity, const char *format, va_list args) {
    char text[4096];
    vsnprintf(text, sizeof text, format ? format : "", args);
    message(severity, text);
}

template <typename T>
inline bool put(void *out, const T &value) {
    if (!out) return false;
    memcpy(out, &value, sizeof(T));
    return true;
}

inline constexpr uint32_t kBlockMagic = 0x6b6d656d;  // "kmem"
struct BlockHeader {
    uint32_t magic;
    int32_t line;
    uint64_t size;
    const char *module;
    uint64_t pad;
};
static_assert(sizeof(BlockHeader) == 32, "allocation header keeps 16-byte alignment");

}  // namespace api
}  // namespace korhost
