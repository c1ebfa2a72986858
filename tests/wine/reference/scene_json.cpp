#include "scene_json.h"

#if defined(LIGHTVOL_REFERENCE_JSON)
#include "tools/preview/scene.h"
#endif

namespace {

std::string stem(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    for (char& c : name)
        if (c == ' ') c = '_';
    return name;
}

}  // namespace

bool load_json_scenes(const std::string& path, std::vector<scene_file::Scene>& scenes,
                      std::string& error) {
#if defined(LIGHTVOL_REFERENCE_JSON)
    // Read with the preview tool's own loader, so both tools mean the same
    // scene by the same file.
    lightvol_preview::Scene parsed;
    if (!lightvol_preview::load_scene(path, parsed, error)) return false;
    scene_file::Scene scene;
    scene.name = "example_" + stem(path);
    scene.width = parsed.width;
    scene.height = parsed.height;
    scene.depth = parsed.depth;
    scene.cell_size = parsed.cell_size;
    scene.base_layer = parsed.base_layer;
    for (const lightvol_preview::SceneLight& l : parsed.lights) {
        scene_file::Light light;
        light.position[0] = l.position.x;
        light.position[1] = l.position.y;
        light.position[2] = l.position.z;
        light.radius = l.radius;
        light.color[0] = l.color.x;
        light.color[1] = l.color.y;
        light.color[2] = l.color.z;
        light.visible = l.visible;
        light.auto_cull = l.auto_cull;
        scene.lights.push_back(light);
    }
    for (const lightvol_preview::SceneFrame& f : parsed.frames) {
        scene_file::Frame frame;
        frame.focus[0] = f.focus.x;
        frame.focus[1] = f.focus.y;
        frame.focus[2] = f.focus.z;
        frame.movement[0] = f.movement[0];
        frame.movement[1] = f.movement[1];
        frame.box_min[0] = f.box_min.x;
        frame.box_min[1] = f.box_min.y;
        frame.box_min[2] = f.box_min.z;
        frame.box_max[0] = f.box_max.x;
        frame.box_max[1] = f.box_max.y;
        frame.box_max[2] = f.box_max.z;
        scene.frames.push_back(frame);
    }
    scenes.push_back(std::move(scene));
    return true;
#else
    (void)scenes;
    error = "cannot read " + stem(path) +
            ": built without the preview tool's scene reader (needs nlohmann-json3-dev)";
    return false;
#endif
}
