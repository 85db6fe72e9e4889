// Shared definitions of the library's shaders: the export macros of the
// calling contract and the evaluated-parameter rule.
#ifndef KORSHADERS_FRAME_SHADER_H
#define KORSHADERS_FRAME_SHADER_H

#include <korshaders/host.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <type_traits>

#define KOR_EXPORT extern "C" __attribute__((visibility("default")))

// Signatures of the calling contract.
#define KOR_SHADER_INIT(name) \
    KOR_EXPORT void name##_init(RenderState *state, void *params, zoBoolean *request)
#define KOR_SHADER_EXIT(name) KOR_EXPORT void name##_exit(RenderState *state, void *params)

namespace kor {

constexpr Color kBlack = {0.0f, 0.0f, 0.0f, 0.0f};

// Reads a parameter by the evaluated-parameter rule: when the running
// shader's record carries a ghost offset and the connection word of the
// parameter is non-zero, the value is what zo_phen_eval hands back;
// otherwise the parameter is read where it stands.
template <typename T>
inline const T &eval(RenderState *state, const T *param) {
    const zoShaderRecord *shader = state ? state->shader : nullptr;
    if (shader && shader->ghost_offset) {
        const char *ghost = reinterpret_cast<const char *>(param) + shader->ghost_offset;
        if (*reinterpret_cast<const int32_t *>(ghost) != 0) {
            if (void *value = zo_phen_eval(state, const_cast<T *>(param)))
                return *static_cast<const T *>(value);
        }
    }
    return *param;
}

// True when nothing is connected to any parameter of the running shader's
// record `record` of `size` bytes: the record carries no ghost offset, or
// every connection word of its ghost area is zero. Such a record is read
// as it stands.
inline bool unconnected(RenderState *state, const void *record, size_t size) {
    const zoShaderRecord *shader = state ? state->shader : nullptr;
    if (!shader || !shader->ghost_offset) return true;
    const char *ghost = static_cast<const char *>(record) + shader->ghost_offset;
    uint32_t any = 0;
    for (size_t i = 0; i + 4 <= size; i += 4) {
        uint32_t word;
        memcpy(&word, ghost + i, sizeof word);
        any |= word;
    }
    return any == 0;
}

// At an instance's init: `record` when it is the running record and the
// first `size` bytes of it have no connections, else null. Connections are
// made with the scene and stay as they are, so an instance may keep the
// answer and read such a record as it stands at every call.
template <typename T>
inline const T *plainRecordAtInit(RenderState *state, const T *record, size_t size = sizeof(T)) {
    return state && state->shader && state->shader->params == record &&
                   unconnected(state, record, size)
               ? record
               : nullptr;
}

template <typename T>
inline T eval_value(RenderState *state, const T *param) {
    return eval(state, param);
}

// Element `index` of an array whose storage begins at byte `offset` of
// `record`. Arrays of the host's form reach past their one declared slot;
// the address is formed from the record, not from the slot, so that the
// compiler does not take the slot's declared size for a bound.
template <typename T, typename R>
inline T *arrayElement(R *record, size_t offset, int index) {
    using Byte = typename std::conditional<std::is_const<R>::value, const char, char>::type;
    using Element = typename std::conditional<std::is_const<R>::value, const T, T>::type;
    return const_cast<T *>(reinterpret_cast<Element *>(reinterpret_cast<Byte *>(record) + offset) +
                           index);
}

// A parameter array in the host's form: start index, count, then the
// storage; element k is storage element start + k. Index it with [], never
// through `storage` directly.
template <typename T>
struct ParamArray {
    int32_t start;
    int32_t count;
    T storage[1];

    T &operator[](int index) {
        return *arrayElement<T>(this, offsetof(ParamArray, storage), index);
    }
    const T &operator[](int index) const {
        return *arrayElement<T>(this, offsetof(ParamArray, storage), index);
    }
};

// The call type of the call in progress, 0 when the host cannot tell.
inline int call_type(RenderState *state) {
    int type = 0;
    if (!zo_query(ZO_Q_FUNC_CALLTYPE, state, 0, &type)) return 0;
    return type;
}

// The running shader's name for messages ("" when unknown).
inline const char *shader_name(RenderState *state) {
    const char *name = nullptr;
    if (!zo_query(ZO_Q_FUNC_NAME, state, 0, &name) || !name) return "";
    return name;
}

// The address of the running instance's user-pointer slot, or null.
inline void **user_slot(RenderState *state) {
    void **slot = nullptr;
    if (!zo_query(ZO_Q_FUNC_USERPTR, state, 0, &slot)) return nullptr;
    return slot;
}

// The calling thread's block of `size` bytes for the running shader
// instance, allocated zero-filled on the thread's first call. Null when the
// host keeps no thread pointers.
inline void *thread_block(RenderState *state, const char *module, int line, int size) {
    void *block = nullptr;
    if (!zo_query(ZO_Q_FUNC_TLS_GET, state, 0, &block)) return nullptr;
    if (!block) {
        block = zo_mem_int_allocate(module, line, size);
        if (block && !zo_query(ZO_Q_FUNC_TLS_SET, state, 0, &block)) {
            zo_mem_int_release(module, line, block);
            return nullptr;
        }
    }
    return block;
}

// Calls `release(block)` for every thread block of the running instance and
// empties the host's thread pointers (used in _exit).
template <typename F>
inline void for_each_thread_block(RenderState *state, F release) {
    void **blocks = nullptr;
    int count = 0;
    if (!zo_query(ZO_Q_FUNC_TLS_GETALL, state, 0, &blocks, &count) || !blocks) return;
    for (int i = 0; i < count; ++i) {
        if (blocks[i]) release(blocks[i]);
        blocks[i] = nullptr;
    }
}

}  // namespace kor

#endif
