// A scene of the picture comparison and the light map the software device drew
// for it, as a text file written by the native reference tool and read by the
// test host under Wine. Floats travel as the hexadecimal bits of the 32-bit
// value, so both sides use exactly the same numbers.
//
//   lightvol-scene 1
//   name <word>
//   volume <width> <height> <depth> <cell_size>
//   base_layer <layer>
//   light <x> <y> <z> <radius> <red> <green> <blue> <visible 0|1> <auto_cull 0|1>
//   frame <focus x y z> <movement x y> <box_min x y z> <box_max x y z>
//   reference <width> <height>
//   <height lines of width texels, 8 hexadecimal digits each, 0xXXRRGGBB>
//   end
//
// Lights are created in file order; the frames are rendered in file order and
// the reference is the light map after the last one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace scene_file {

struct Light {
    float position[3] = {0, 0, 0};
    float radius = 0;
    float color[3] = {0, 0, 0};
    bool visible = true;
    bool auto_cull = true;
};

struct Frame {
    float focus[3] = {0, 0, 0};
    float movement[2] = {0, 0};
    float box_min[3] = {0, 0, 0};
    float box_max[3] = {0, 0, 0};
};

struct Scene {
    std::string name;
    int32_t width = 1;
    int32_t height = 1;
    int32_t depth = 1;
    float cell_size = 1;
    int32_t base_layer = 0;
    std::vector<Light> lights;
    std::vector<Frame> frames;
    // The expected light map, `reference_width` by `reference_height` texels.
    uint32_t reference_width = 0;
    uint32_t reference_height = 0;
    std::vector<uint32_t> reference;
};

std::string write(const Scene& scene);
// False with a message in `error` when the text is not a scene file.
bool read(const std::string& text, Scene& scene, std::string& error);

}  // namespace scene_file
