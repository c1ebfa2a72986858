// Renders a scene through lightvol and turns each frame into two pictures:
// the light map atlas as the device holds it, and a top-down view of the
// world at one height, sampled through LightMapInfo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lightvol.h"
#include "tools/preview/png_writer.h"
#include "tools/preview/scene.h"
#include "tools/sampling/light_sampler.h"

namespace lightvol_preview {

struct PreviewOptions {
    int32_t atlas_scale = 1;  // each texel drawn as a scale x scale block
    int32_t view_scale = 0;   // view pixels per cell; 0 picks about 512 pixels across
    bool override_view_height = false;
    float view_height = 0.0f;
    bool side_view = false;  // also the x-z slice at side_y
    bool override_side_y = false;
    float side_y = 0.0f;          // default: the placed volume's middle row
    bool placement = false;       // also the placement diagram
    int32_t placement_scale = 0;  // diagram pixels per cell; 0 picks 32
};

struct PreviewFrame {
    LightMapInfo info{};  // as read after the frame (texture not usable afterwards)
    RgbImage atlas;
    RgbImage view;
    RgbImage side;       // empty unless asked for
    RgbImage placement;  // empty unless asked for
};

// View pixels per cell that `options` asks for on this scene.
int32_t view_pixels_per_cell(const Scene& scene, const PreviewOptions& options);

// The top-down view at height z over the placed volume: `width` by `height`
// cells, `pixels_per_cell` pixels each, every pixel sampled at its centre.
RgbImage top_down_view(const lightvol_sampling::LightSampler& sampler, const LightMapInfo& info,
                       int32_t width, int32_t height, float cell_size, float z,
                       int32_t pixels_per_cell);

// The side view at world y: x across the placed volume (`width` cells), z
// from the volume's bottom (picture bottom) up `depth` cells, every pixel
// sampled at its centre.
RgbImage side_view(const lightvol_sampling::LightSampler& sampler, const LightMapInfo& info,
                   int32_t width, int32_t depth, float cell_size, float y, int32_t pixels_per_cell);

// Renders every frame of `scene`. False with a message when the options do
// not fit the scene or the device refuses the volume.
bool render_preview(const Scene& scene, const PreviewOptions& options,
                    std::vector<PreviewFrame>& frames, std::string& error);

}  // namespace lightvol_preview
