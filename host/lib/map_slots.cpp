// The standard material's map slots by name: "maps": {"diffuse": "wood",
// "reflection": {"map": "trace", "amount": 0.35}} becomes the positional
// arrays maps, mapEnabled and mapAmounts, numbered by the channels of the
// material's illumination model.
#include <utility>

#include "jsonloc.h"
#include "session.h"

namespace korhost {

namespace {

using Channels = std::vector<std::pair<const char *, int>>;

// The channels of each illumination model; bump, reflection, refraction
// and displacement follow the model's own channels unless the model places
// them itself.
Channels model_channels(const std::string &model) {
    auto with_slots = [](Channels c, int first) {
        c.insert(c.end(), {{"bump", first},
                           {"reflection", first + 1},
                           {"refraction", first + 2},
                           {"displacement", first + 3}});
        return c;
    };
    if (model == "kor_base_BlinnIllumination" || model == "kor_base_PhongIllumination" ||
        model == "kor_base_ConstantIllumination" || model == "kor_base_MetalIllumination")
        return with_slots({{"ambient", 0},
                           {"diffuse", 1},
                           {"specular", 2},
                           {"specularLevel", 3},
                           {"glossiness", 4},
                           {"selfIllumination", 5},
                           {"opacity", 6},
                           {"filterColor", 7}},
                          8);
    if (model == "kor_base_OrenNayarBlinnIllumination")
        return with_slots({{"ambient", 0},
                           {"diffuse", 1},
                           {"specular", 2},
                           {"glossiness", 3},
                           {"specularLevel", 4},
                           {"selfIllumination", 5},
                           {"opacity", 6},
                           {"filterColor", 7},
                           {"diffuseLevel", 8},
                           {"roughness", 9}},
                          10);
    if (model == "kor_base_AnisotropicIllumination")
        return with_slots({{"ambient", 0},
                           {"diffuse", 1},
                           {"specular", 2},
                           {"diffuseLevel", 3},
                           {"specularLevel", 4},
                           {"glossiness", 5},
                           {"anisotropy", 6},
                           {"orientation", 7},
                           {"selfIllumination", 8},
                           {"opacity", 9},
                           {"filterColor", 10}},
                          11);
    if (model == "kor_base_MultiLayerIllumination")
        return with_slots({{"ambient", 0},
                           {"diffuse", 1},
                           {"diffuseLevel", 2},
                           {"roughness", 3},
                           {"specular1", 4},
                           {"specularLevel1", 5},
                           {"glossiness1", 6},
                           {"anisotropy1", 7},
                           {"orientation1", 8},
                           {"specular2", 9},
                           {"specularLevel2", 10},
                           {"glossiness2", 11},
                           {"anisotropy2", 12},
                           {"orientation2", 13},
                           {"selfIllumination", 14},
                           {"opacity", 15},
                           {"filterColor", 16}},
                          17);
    if (model == "kor_base_StraussIllumination")
        return with_slots({{"color", 0},
                           {"diffuse", 0},
                           {"glossiness", 1},
                           {"metalness", 2},
                           {"opacity", 3},
                           {"filterColor", 4}},
                          5);
    if (model == "kor_base_TranslucentIllumination")
        return with_slots({{"ambient", 0},
                           {"diffuse", 1},
                           {"specular", 2},
                           {"glossiness", 3},
                           {"specularLevel", 4},
                           {"selfIllumination", 5},
                           {"opacity", 6},
                           {"filterColor", 7},
                           {"diffuseLevel", 8},
                           {"translucentColor", 9}},
                          10);
    if (model == "kor_base_WardIllumination")
        return {{"ambient", 0},       {"diffuse", 1},     {"specular", 2},    {"diffuseLevel", 3},
                {"specularLevel", 4}, {"glossinessU", 5}, {"glossinessV", 6}, {"opacity", 7},
                {"filterColor", 8},   {"reflection", 10}, {"refraction", 11}};
    return {};
}

}  // namespace

void expand_named_maps(const Session &s, json &root) {
    if (!root.is_object() || !root.contains("shaders") || !root["shaders"].is_object()) return;
    json &shaders = root["shaders"];
    for (auto &[name, spec] : shaders.items()) {
        if (!spec.is_object() || spec.value("shader", json()) != "kor_StandardMaterial" ||
            !spec.contains("params") || !spec["params"].is_object())
            continue;
        json &params = spec["params"];
        if (!params.contains("maps") || !params["maps"].is_object()) continue;
        const std::string ptr = "/shaders/" + pointer_token(name) + "/params/maps";
        // (a structured binding is copied in: lambdas cannot capture one)
        auto fail = [&, shader = std::string(name)](const std::string &where,
                                                    const std::string &problem) {
            TextPosition p = locate(s.scene_text, where);
            std::string place = s.scene_file;
            if (p.line) place += ":" + std::to_string(p.line) + ":" + std::to_string(p.column);
            throw Error(place + ": shader \"" + shader + "\": " + problem);
        };
        if (params.contains("mapEnabled") || params.contains("mapAmounts"))
            fail(ptr,
                 "maps given by name carry their own amounts; leave out \"mapEnabled\" "
                 "and \"mapAmounts\"");
        // The model: a shader named in "shaders", or one given in place.
        const json *model = params.contains("illumination") ? &params["illumination"] : nullptr;
        if (model && model->is_string() && shaders.contains(model->get<std::string>()))
            model = &shaders[model->get<std::string>()];
        const std::string model_name = model && model->is_object() && (*model)["shader"].is_string()
                                           ? (*model)["shader"].get<std::string>()
                                           : "";
        const Channels channels = model_channels(model_name);
        if (channels.empty())
            fail(ptr,
                 "maps by name need an illumination model of the kor_base_*Illumination "
                 "family in \"illumination\"");
        json maps = json::array(), enabled = json::array(), amounts = json::array();
        for (auto &[slot, entry] : params["maps"].items()) {
            const std::string at = ptr + "/" + slot;
            int channel = -1;
            std::string known;
            for (const auto &[n, c] : channels) {
                if (slot == n) channel = c;
                known += (known.empty() ? "" : ", ") + std::string(n);
            }
            if (channel < 0)
                fail(at, "the " + model_name + " model has no map slot \"" + slot +
                             "\" (known: " + known + ")");
            json map = entry, amount = 1.0, on = true;
            if (entry.is_object()) {
                for (auto &[key, v] : entry.items())
                    if (key != "map" && key != "amount" && key != "enabled")
                        fail(at + "/" + key,
                             "unknown key \"" + key + "\" of a map slot (map, amount, enabled)");
                map = entry.value("map", json());
                amount = entry.value("amount", json(1.0));
                on = entry.value("enabled", json(true));
            }
            if (!map.is_string()) fail(at, "a map slot names a shader, or is {\"map\": NAME, ...}");
            if (!amount.is_number()) fail(at + "/amount", "\"amount\" must be a number");
            if (!on.is_boolean()) fail(at + "/enabled", "\"enabled\" must be true or false");
            while (static_cast<int>(maps.size()) <= channel) {
                maps.push_back(nullptr);
                enabled.push_back(false);
                amounts.push_back(0.0);
            }
            maps[channel] = map;
            enabled[channel] = on;
            amounts[channel] = amount;
        }
        params["maps"] = maps;
        params["mapEnabled"] = enabled;
        params["mapAmounts"] = amounts;
    }
}

}  // namespace korhost
