#include "scene_file.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace scene_file {
namespace {

uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float float_of(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void put_floats(std::string& out, const float* values, int count) {
    char buffer[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(buffer, sizeof buffer, " %08" PRIx32, bits_of(values[i]));
        out += buffer;
    }
}

bool get_floats(std::istringstream& in, float* values, int count) {
    for (int i = 0; i < count; ++i) {
        std::string word;
        if (!(in >> word) || word.size() != 8) return false;
        char* end = nullptr;
        const unsigned long bits = std::strtoul(word.c_str(), &end, 16);
        if (*end) return false;
        values[i] = float_of(static_cast<uint32_t>(bits));
    }
    return true;
}

}  // namespace

std::string write(const Scene& scene) {
    std::string out = "lightvol-scene 1\nname " + scene.name + "\n";
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "volume %" PRId32 " %" PRId32 " %" PRId32, scene.width,
                  scene.height, scene.depth);
    out += buffer;
    put_floats(out, &scene.cell_size, 1);
    std::snprintf(buffer, sizeof buffer, "\nbase_layer %" PRId32 "\n", scene.base_layer);
    out += buffer;
    for (const Light& light : scene.lights) {
        out += "light";
        put_floats(out, light.position, 3);
        put_floats(out, &light.radius, 1);
        put_floats(out, light.color, 3);
        out += light.visible ? " 1" : " 0";
        out += light.auto_cull ? " 1\n" : " 0\n";
    }
    for (const Frame& frame : scene.frames) {
        out += "frame";
        put_floats(out, frame.focus, 3);
        put_floats(out, frame.movement, 2);
        put_floats(out, frame.box_min, 3);
        put_floats(out, frame.box_max, 3);
        out += "\n";
    }
    std::snprintf(buffer, sizeof buffer, "reference %" PRIu32 " %" PRIu32 "\n",
                  scene.reference_width, scene.reference_height);
    out += buffer;
    for (uint32_t y = 0; y < scene.reference_height; ++y) {
        for (uint32_t x = 0; x < scene.reference_width; ++x) {
            std::snprintf(buffer, sizeof buffer, x ? " %08" PRIx32 : "%08" PRIx32,
                          scene.reference[static_cast<size_t>(y) * scene.reference_width + x]);
            out += buffer;
        }
        out += "\n";
    }
    out += "end\n";
    return out;
}

bool read(const std::string& text, Scene& scene, std::string& error) {
    scene = Scene{};
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != "lightvol-scene 1") {
        error = "not a lightvol scene file";
        return false;
    }
    bool have_reference = false;
    int line_number = 1;
    while (std::getline(in, line)) {
        ++line_number;
        std::istringstream words(line);
        std::string key;
        if (!(words >> key)) continue;
        bool ok = true;
        if (key == "name") {
            ok = static_cast<bool>(words >> scene.name);
        } else if (key == "volume") {
            ok = (words >> scene.width >> scene.height >> scene.depth) &&
                 get_floats(words, &scene.cell_size, 1);
        } else if (key == "base_layer") {
            ok = static_cast<bool>(words >> scene.base_layer);
        } else if (key == "light") {
            Light light;
            int visible = 0, auto_cull = 0;
            ok = get_floats(words, light.position, 3) && get_floats(words, &light.radius, 1) &&
                 get_floats(words, light.color, 3) && (words >> visible >> auto_cull);
            light.visible = visible != 0;
            light.auto_cull = auto_cull != 0;
            scene.lights.push_back(light);
        } else if (key == "frame") {
            Frame frame;
            ok = get_floats(words, frame.focus, 3) && get_floats(words, frame.movement, 2) &&
                 get_floats(words, frame.box_min, 3) && get_floats(words, frame.box_max, 3);
            scene.frames.push_back(frame);
        } else if (key == "reference") {
            ok = static_cast<bool>(words >> scene.reference_width >> scene.reference_height);
            scene.reference.clear();
            scene.reference.reserve(static_cast<size_t>(scene.reference_width) *
                                    scene.reference_height);
            for (uint32_t y = 0; ok && y < scene.reference_height; ++y) {
                std::string row;
                ok = static_cast<bool>(std::getline(in, row));
                ++line_number;
                std::istringstream texels(row);
                for (uint32_t x = 0; ok && x < scene.reference_width; ++x) {
                    std::string word;
                    ok = (texels >> word) && word.size() == 8;
                    if (ok)
                        scene.reference.push_back(
                            static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 16)));
                }
            }
            have_reference = ok;
        } else if (key == "end") {
            if (!have_reference || scene.frames.empty() || scene.name.empty()) {
                error = "scene file lacks a name, a frame or its reference";
                return false;
            }
            return true;
        } else {
            ok = false;
        }
        if (!ok) {
            error = "scene file: bad line " + std::to_string(line_number) + " (" + key + ")";
            return false;
        }
    }
    error = "scene file: no end line";
    return false;
}

}  // namespace scene_file
