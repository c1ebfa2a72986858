// lightvol-preview: renders a scene file through lightvol on the software
// Direct3D 9 device and writes the light map and a top-down view as PNG files.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/preview/png_writer.h"
#include "tools/preview/preview.h"
#include "tools/preview/scene.h"

namespace {

const char kUsage[] =
    "usage: lightvol-preview SCENE.json OUTDIR [options]\n"
    "\n"
    "Renders SCENE.json through lightvol and writes, for every frame N of the scene,\n"
    "  OUTDIR/NAME-atlas-N.png  the light map as the device holds it: the layers side\n"
    "                           by side, the lowest at the left\n"
    "  OUTDIR/NAME-view-N.png   the world seen from above at the view height, sampled\n"
    "                           through LightMapInfo (bilinear in a layer, linear\n"
    "                           between layers), covering the placed volume\n"
    "  OUTDIR/NAME-side-N.png   with --side-view: the x-z slice through the volume at\n"
    "                           one y, sampled like the view, the lowest layer at the\n"
    "                           bottom\n"
    "  OUTDIR/NAME-placement-N.png  with --placement: the frame's requested box,\n"
    "                           focus and movement, the box scaled about the focus,\n"
    "                           the placed volume with its cells and texel points,\n"
    "                           and world coordinates\n"
    "NAME is the scene file's name without its extension; N counts from 000. The\n"
    "paths written are printed, one a line. Nothing is written when the scene is\n"
    "bad or the device refuses it.\n"
    "\n"
    "options:\n"
    "  --atlas-scale N   draw each light map texel as N x N pixels (default 1)\n"
    "  --view-scale N    view pixels per cell (default: about 512 pixels across)\n"
    "  --view-height Z   height of the top-down view (default: the scene's\n"
    "                    view_height, else the middle layer)\n"
    "  --side-view       also write the side view\n"
    "  --side-y Y        world y of the side view (default: the volume's middle row)\n"
    "  --placement       also write the placement diagram\n"
    "  --placement-scale N  diagram pixels per cell (default 32)\n"
    "  --name NAME       file name prefix instead of the scene file's name\n"
    "  --help            this text\n"
    "\n"
    "The scene file format is described in the README (section Preview).\n";

int usage_error(const std::string& message) {
    std::cerr << "lightvol-preview: " << message << "\n"
              << "Try 'lightvol-preview --help'.\n";
    return 2;
}

bool parse_positive(const char* text, int32_t& out) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 4096) return false;
    out = static_cast<int32_t>(v);
    return true;
}

bool parse_finite(const char* text, float& out) {
    errno = 0;
    char* end = nullptr;
    const float v = std::strtof(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace lightvol_preview;
    std::vector<std::string> positional;
    PreviewOptions options;
    std::string name;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // The option's argument, or null when it is missing.
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--atlas-scale") {
            const char* v = value();
            if (!v || !parse_positive(v, options.atlas_scale))
                return usage_error("--atlas-scale needs a whole number from 1 to 4096");
        } else if (arg == "--view-scale") {
            const char* v = value();
            if (!v || !parse_positive(v, options.view_scale))
                return usage_error("--view-scale needs a whole number from 1 to 4096");
        } else if (arg == "--view-height") {
            const char* v = value();
            if (!v || !parse_finite(v, options.view_height))
                return usage_error("--view-height needs a finite number");
            options.override_view_height = true;
        } else if (arg == "--side-view") {
            options.side_view = true;
        } else if (arg == "--side-y") {
            const char* v = value();
            if (!v || !parse_finite(v, options.side_y))
                return usage_error("--side-y needs a finite number");
            options.override_side_y = true;
            options.side_view = true;
        } else if (arg == "--placement") {
            options.placement = true;
        } else if (arg == "--placement-scale") {
            const char* v = value();
            if (!v || !parse_positive(v, options.placement_scale))
                return usage_error("--placement-scale needs a whole number from 1 to 4096");
            options.placement = true;
        } else if (arg == "--name") {
            const char* v = value();
            if (!v || !*v || std::strchr(v, '/')) return usage_error("--name needs a file name");
            name = v;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option '" + arg + "'");
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) return usage_error("expected a scene file and an output folder");
    const std::string scene_path = positional[0];
    const std::filesystem::path out_dir = positional[1];
    if (name.empty()) name = std::filesystem::path(scene_path).stem().string();
    if (name.empty()) name = "scene";

    Scene scene;
    std::string error;
    if (!load_scene(scene_path, scene, error)) {
        std::cerr << "lightvol-preview: error: " << error << "\n";
        return 1;
    }
    std::vector<PreviewFrame> frames;
    if (!render_preview(scene, options, frames, error)) {
        std::cerr << "lightvol-preview: error: " << scene_path << ": " << error << "\n";
        return 1;
    }

    // Everything is encoded before the first file is written.
    struct Output {
        std::filesystem::path path;
        std::vector<uint8_t> bytes;
    };
    std::vector<Output> outputs;
    for (size_t i = 0; i < frames.size(); ++i) {
        char index[24];
        std::snprintf(index, sizeof index, "%03zu", i);
        const std::pair<const char*, const RgbImage*> pictures[4] = {
            {"atlas", &frames[i].atlas},
            {"view", &frames[i].view},
            {"side", &frames[i].side},
            {"placement", &frames[i].placement}};
        for (const auto& [kind, image] : pictures) {
            if (image->width == 0) continue;
            Output out;
            out.path = out_dir / (name + "-" + kind + "-" + index + ".png");
            if (!encode_png(*image, out.bytes, error)) {
                std::cerr << "lightvol-preview: error: " << error << "\n";
                return 1;
            }
            outputs.push_back(std::move(out));
        }
    }

    std::error_code ec;
    std::filesystem::create_directories(out_dir, ec);
    if (ec || !std::filesystem::is_directory(out_dir)) {
        std::cerr << "lightvol-preview: error: cannot create the folder " << out_dir.string()
                  << (ec ? ": " + ec.message() : std::string()) << "\n";
        return 1;
    }
    for (const Output& out : outputs) {
        std::ofstream file(out.path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(out.bytes.data()),
                   static_cast<std::streamsize>(out.bytes.size()));
        file.close();
        if (!file) {
            std::cerr << "lightvol-preview: error: cannot write " << out.path.string() << "\n";
            return 1;
        }
        std::cout << out.path.string() << "\n";
    }
    return 0;
}
