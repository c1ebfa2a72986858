// The preview tool's scene: a light volume, its lights and the frames to
// render, read from a JSON file.
//
//   {
//     "description": "optional text",
//     "volume": { "width": 32, "height": 32, "depth": 8,
//                 "cell_size": 0.5, "base_layer": -2 },
//     "view_height": 0.25,
//     "lights": [
//       { "position": [1, 2, 0.5], "radius": 3, "color": [1, 0.5, 0.2],
//         "auto_cull": true, "visible": true }
//     ],
//     "frames": [
//       { "focus": [0, 0, 0], "movement": [1, 0],
//         "box_min": [-8, -8, 0], "box_max": [8, 8, 0] },
//       { "focus": [2, 0, 0] }
//     ]
//   }
//
// Required: volume.width, volume.height, volume.depth (integers >= 1),
// volume.cell_size (>= 0.01), lights (may be empty; each with position,
// radius >= 0 and color), frames (at least one, each with focus).
// Optional: volume.base_layer (0), view_height (the middle layer's height),
// auto_cull (true), visible (true), description.
// A frame's requested box is either box_min and box_max (world coordinates)
// or box_extent [x, y] (a box of that size centred on the focus); a frame
// without either keeps the previous frame's. Its movement defaults to the
// focus's step from the previous frame ([0, 0] for the first).
// Every number must be finite as a 32-bit float; unknown fields are errors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lightvol.h"

namespace lightvol_preview {

struct SceneLight {
    Vec3 position{0, 0, 0};
    float radius = 0.0f;
    Vec3 color{0, 0, 0};
    bool auto_cull = true;
    bool visible = true;
};

struct SceneFrame {
    Vec3 focus{0, 0, 0};
    float movement[2] = {0, 0};
    Vec3 box_min{0, 0, 0};
    Vec3 box_max{0, 0, 0};
};

struct Scene {
    int32_t width = 1;
    int32_t height = 1;
    int32_t depth = 1;
    float cell_size = 1.0f;
    int32_t base_layer = 0;
    float view_height = 0.0f;
    std::string description;
    std::vector<SceneLight> lights;
    std::vector<SceneFrame> frames;
};

// Parses a scene from JSON text. On failure returns false and sets `error` to
// a message naming the offending field, e.g.
// "lights[2].radius: expected a number, got a string".
bool parse_scene(const std::string& text, Scene& scene, std::string& error);

// Reads and parses a scene file; errors name the file.
bool load_scene(const std::string& path, Scene& scene, std::string& error);

}  // namespace lightvol_preview
