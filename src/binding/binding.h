/* Binding layer internals: the entry-point table and its resolver. */
#ifndef KORSHADERS_BINDING_H
#define KORSHADERS_BINDING_H

#ifdef __cplusplus
extern "C" {
#endif

/* Slots reserved in the entry-point table (one per host function, with room
 * to grow). */
#define ZO_SLOT_COUNT 680

#define KOR_HIDDEN __attribute__((visibility("hidden")))

/* The entry-point table. Written by the resolver and by zoSetModuleHandle
 * only; every slot is one aligned pointer written in a single store. */
extern KOR_HIDDEN void *kor_binding_slots[ZO_SLOT_COUNT];

/* Looks the host function of `slot` up in the module handle, stores the
 * result in its slot (also when empty) and returns it. Writes the two
 * binding messages to standard error as they apply. */
KOR_HIDDEN void *kor_binding_resolve(unsigned slot);

/* The entry point of `slot`: the cached one, or a fresh lookup. */
static inline void *kor_binding_entry(unsigned slot) {
    void *entry = __atomic_load_n(&kor_binding_slots[slot], __ATOMIC_ACQUIRE);
    return entry ? entry : kor_binding_resolve(slot);
}

#ifdef __cplusplus
}
#endif

#endif
