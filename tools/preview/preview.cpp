#include "tools/preview/preview.h"

#include <algorithm>
#include <cmath>

#include "tools/preview/module_host.h"
#include "tools/preview/placement_diagram.h"

namespace lightvol_preview {

namespace {

// Largest picture side and pixel count the tool writes.
constexpr int64_t kMaxSide = 32768;
constexpr int64_t kMaxPixels = int64_t{1} << 28;

bool picture_fits(int64_t w, int64_t h, const char* what, std::string& error) {
    if (w <= kMaxSide && h <= kMaxSide && w * h <= kMaxPixels) return true;
    error = std::string("the ") + what + " would be " + std::to_string(w) + " x " +
            std::to_string(h) + " pixels; use a smaller scale";
    return false;
}

uint8_t to_byte(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 255;
    return static_cast<uint8_t>(v * 255.0f + 0.5f);
}

}  // namespace

int32_t view_pixels_per_cell(const Scene& scene, const PreviewOptions& options) {
    if (options.view_scale > 0) return options.view_scale;
    const int32_t longer = std::max(scene.width, scene.height);
    return std::clamp(512 / longer, 1, 16);
}

namespace {

// A columns x rows picture, pixel (px, py) showing the light sampled at
// world_at(px + 0.5, py + 0.5), the pixel's centre in pixel units.
template <typename WorldAt>
RgbImage sampled_picture(const lightvol_sampling::LightSampler& sampler, int32_t columns,
                         int32_t rows, WorldAt world_at) {
    RgbImage image;
    image.width = columns;
    image.height = rows;
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    uint8_t* out = image.rgb.data();
    for (int32_t py = 0; py < image.height; ++py) {
        for (int32_t px = 0; px < image.width; ++px) {
            const lightvol_sampling::Rgb c = sampler.sample(
                world_at(static_cast<float>(px) + 0.5f, static_cast<float>(py) + 0.5f));
            *out++ = to_byte(c.r);
            *out++ = to_byte(c.g);
            *out++ = to_byte(c.b);
        }
    }
    return image;
}

}  // namespace

RgbImage top_down_view(const lightvol_sampling::LightSampler& sampler, const LightMapInfo& info,
                       int32_t width, int32_t height, float cell_size, float z,
                       int32_t pixels_per_cell) {
    // origin.x is the volume's minimum x and origin.y its maximum y: the
    // picture's top-left corner, with y growing downwards in the picture.
    const float step = cell_size / static_cast<float>(pixels_per_cell);
    return sampled_picture(sampler, width * pixels_per_cell, height * pixels_per_cell,
                           [&](float u, float v) {
                               return Vec3{info.origin.x + u * step,
                                                               info.origin.y - v * step, z};
                           });
}

RgbImage side_view(const lightvol_sampling::LightSampler& sampler, const LightMapInfo& info,
                   int32_t width, int32_t depth, float cell_size, float y,
                   int32_t pixels_per_cell) {
    // origin.z is the volume's bottom; the picture's top row is its top.
    const float step = cell_size / static_cast<float>(pixels_per_cell);
    const float top = info.origin.z + static_cast<float>(depth) * cell_size;
    return sampled_picture(sampler, width * pixels_per_cell, depth * pixels_per_cell,
                           [&](float u, float v) {
                               return Vec3{info.origin.x + u * step, y,
                                                               top - v * step};
                           });
}

bool render_preview(const Scene& scene, const PreviewOptions& options,
                    std::vector<PreviewFrame>& frames, std::string& error) {
    if (options.atlas_scale < 1 || options.view_scale < 0 || options.placement_scale < 0) {
        error = "scales must be positive";
        return false;
    }
    ModuleHost host;
    if (!host.set_volume(scene.width, scene.height, scene.depth, scene.cell_size, scene.base_layer,
                         error))
        return false;
    const int32_t ppc = view_pixels_per_cell(scene, options);
    if (!picture_fits(static_cast<int64_t>(scene.width) * scene.depth * options.atlas_scale,
                      static_cast<int64_t>(scene.height) * options.atlas_scale, "atlas picture",
                      error) ||
        !picture_fits(static_cast<int64_t>(scene.width) * ppc,
                      static_cast<int64_t>(scene.height) * ppc, "view picture", error) ||
        (options.side_view &&
         !picture_fits(static_cast<int64_t>(scene.width) * ppc,
                       static_cast<int64_t>(scene.depth) * ppc, "side view", error)))
        return false;
    const int32_t placement_ppc = options.placement_scale > 0 ? options.placement_scale : 32;
    const float view_z = options.override_view_height ? options.view_height : scene.view_height;
    for (const SceneLight& light : scene.lights) host.add_light(light);

    std::vector<PreviewFrame> rendered;
    LightMapReadback readback;
    for (const SceneFrame& frame : scene.frames) {
        host.render(frame);
        if (!host.read_light_map(readback)) {
            error = "the light map could not be read back from the device";
            return false;
        }
        PreviewFrame out;
        out.info = host.info();
        out.info.texture = nullptr;
        out.atlas = image_from_texels(readback.texels, readback.width, readback.height,
                                      options.atlas_scale);
        const lightvol_sampling::LightSampler sampler(out.info, readback.pixels());
        if (!sampler.valid()) {
            error = "the light map does not match its LightMapInfo";
            return false;
        }
        out.view = top_down_view(sampler, out.info, scene.width, scene.height, scene.cell_size,
                                 view_z, ppc);
        if (options.side_view) {
            // The middle row's world y unless the options name one.
            const float side_y =
                options.override_side_y
                    ? options.side_y
                    : out.info.origin.y - static_cast<float>(scene.height / 2) * scene.cell_size;
            out.side = side_view(sampler, out.info, scene.width, scene.depth, scene.cell_size,
                                 side_y, ppc);
        }
        if (options.placement) {
            const PlacementWindow w = placement_window(frame, out.info, scene.width, scene.height,
                                                       scene.cell_size, placement_ppc);
            if (!picture_fits(w.width, w.height, "placement picture", error)) return false;
            out.placement = placement_diagram(frame, out.info, scene.width, scene.height,
                                              scene.cell_size, placement_ppc);
        }
        rendered.push_back(std::move(out));
    }
    frames = std::move(rendered);
    return true;
}

}  // namespace lightvol_preview
