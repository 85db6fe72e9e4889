// Access to the records that the host application attaches.
#include "scenedata.h"

#include "shader.h"

KOR_EXPORT SceneData *GetSceneData(RenderState *state) {
    if (!state || !state->options) return nullptr;
    Tag tag = state->options->userdata;
    if (!tag) return nullptr;
    void *record = nullptr;
    if (!zo_query(ZO_Q_DATA_PARAM, nullptr, tag, &record)) return nullptr;
    return static_cast<SceneData *>(record);
}
