// Draws the picture scenes of the Wine tier with the module on the software
// device and writes one scene file (scene + expected light map) per scene.
//
//   lightvol_wine_reference <output dir> [<scene.json>...]
//
// Without JSON arguments the scenes defined in builtin_scenes.cpp are written;
// with them, the scenes of those files as well.
#include <cstdio>
#include <string>
#include <vector>

#include "builtin_scenes.h"
#include "interface/lightvol.h"
#include "platform/software/software_device.h"
#include "scene_json.h"

namespace {

lightvol_sw::SoftwareDevice* g_render_state_device = nullptr;

int32_t set_render_state(int32_t state, int32_t value) {
    return g_render_state_device->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state),
                                                 static_cast<DWORD>(value));
}

bool draw_reference(scene_file::Scene& scene, std::string& error) {
    lightvol_sw::SoftwareDevice device(64, 64);
    device.set_recording(false);
    g_render_state_device = &device;
    lightvol_sw::clear_message_boxes();

    ILightingSystem* system = create_ILightingSystem();
    system->init(&device, &set_render_state);
    system->set_volume(scene.width, scene.height, scene.depth, scene.cell_size);
    system->set_base_layer(scene.base_layer);
    for (const scene_file::Light& l : scene.lights) {
        IPointLight* light = system->create_point_light();
        const Vec3 position{l.position[0], l.position[1], l.position[2]};
        const Vec3 color{l.color[0], l.color[1], l.color[2]};
        light->set_color(&color);
        light->set_position(&position);
        light->set_radius(l.radius);
        light->set_visible(l.visible);
        light->set_auto_cull(l.auto_cull);
    }
    for (const scene_file::Frame& f : scene.frames) {
        const Vec3 focus{f.focus[0], f.focus[1], f.focus[2]};
        const Vec3 box_min{f.box_min[0], f.box_min[1], f.box_min[2]};
        const Vec3 box_max{f.box_max[0], f.box_max[1], f.box_max[2]};
        device.BeginScene();
        system->render(&focus, f.movement, &box_min, &box_max);
        device.EndScene();
    }

    const LightMapInfo* info = system->get_light_map();
    D3DSURFACE_DESC desc{};
    bool ok = info->texture && SUCCEEDED(info->texture->GetLevelDesc(0, &desc));
    if (ok) {
        scene.reference_width = desc.Width;
        scene.reference_height = desc.Height;
        scene.reference = lightvol_sw::SoftwareDevice::read_pixels(info->texture);
        // The unused byte is not compared; store it as zero.
        for (uint32_t& texel : scene.reference) texel &= 0x00FFFFFFu;
        ok = scene.reference.size() == static_cast<size_t>(desc.Width) * desc.Height;
    }
    if (!ok) error = "no light map was drawn";
    for (const lightvol_sw::MessageBoxRecord& box : lightvol_sw::message_boxes()) {
        ok = false;
        error = "message box \"" + box.caption + "\": " + box.text;
    }
    system->release();
    g_render_state_device = nullptr;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output dir> [<scene.json>...]\n", argv[0]);
        return 2;
    }
    const std::string out_dir = argv[1];
    std::vector<scene_file::Scene> scenes = builtin_scenes();
    for (int i = 2; i < argc; ++i) {
        std::string error;
        if (!load_json_scenes(argv[i], scenes, error)) {
            std::fprintf(stderr, "%s: %s\n", argv[i], error.c_str());
            return 1;
        }
    }

    for (scene_file::Scene& scene : scenes) {
        std::string error;
        if (!draw_reference(scene, error)) {
            std::fprintf(stderr, "scene %s: %s\n", scene.name.c_str(), error.c_str());
            return 1;
        }
        const std::string path = out_dir + "/" + scene.name + ".scene";
        FILE* f = std::fopen(path.c_str(), "wb");
        const std::string text = scene_file::write(scene);
        if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            if (f) std::fclose(f);
            return 1;
        }
        std::fclose(f);
        std::printf("%s: %u x %u texels, %zu lights\n", path.c_str(), scene.reference_width,
                    scene.reference_height, scene.lights.size());
    }
    return 0;
}
