// Fitting the light volume to the host's request, and the constants that tie
// world positions to the light map. Every step is rounded to float, in the
// order written; the build disables floating-point contraction.
#include <cmath>

#include "lighting/lighting_system.h"

void snap_to_grid(float& lo, float& hi, float move, float cell_size) {
    float edge;
    float k;
    if (move > 0.0f) {
        edge = lo;
        const float q = lo / cell_size;
        k = q >= 0.0f ? std::trunc(q) : std::trunc(q - 1.0f);
    } else {
        edge = hi;
        const float q = hi / cell_size;
        k = q >= 0.0f ? std::trunc(q + 1.0f) : std::trunc(q);
    }
    const float on_grid = k * cell_size;
    const float d = on_grid - edge;
    lo = lo + d;
    hi = hi + d;
}

namespace {

// Scales [lo, hi] about focus so that it spans cells * cell_size.
void scale_about(float& lo, float& hi, float box_lo, float box_hi, float focus, int32_t cells,
                 float cell_size) {
    const float extent = static_cast<float>(cells) * cell_size;
    const float s = extent / (box_hi - box_lo);
    lo = (box_lo - focus) * s + focus;
    hi = (box_hi - focus) * s + focus;
}

}  // namespace

void LightingSystem::place_volume(const Vec3& focus, const float movement[2], const Vec3& box_min,
                                  const Vec3& box_max) {
    volume_min = box_min;
    volume_max = box_max;
    scale_about(volume_min.x, volume_max.x, box_min.x, box_max.x, focus.x, width, cell_size);
    scale_about(volume_min.y, volume_max.y, box_min.y, box_max.y, focus.y, height, cell_size);

    snap_to_grid(volume_min.x, volume_max.x, movement[0], cell_size);
    snap_to_grid(volume_min.y, volume_max.y, movement[1], cell_size);

    const float layers = static_cast<float>(depth);
    volume_min.z = static_cast<float>(base_layer) * cell_size;
    const float thickness = layers * cell_size;
    volume_max.z = volume_min.z + thickness;

    light_map_info.layer_step[0] = -1.0f / layers;
    light_map_info.layer_step[1] = 0.0f;

    const float wx = volume_max.x - volume_min.x;
    const float wy = volume_max.y - volume_min.y;

    const float inv_wx = -1.0f / wx;
    light_map_info.scale.x = inv_wx / layers;
    light_map_info.scale.y = 1.0f / wy;
    light_map_info.scale.z = -1.0f / cell_size;

    const float top_offset = 1.0f / light_map_info.scale.y;
    light_map_info.origin.x = volume_min.x;
    light_map_info.origin.y = volume_min.y + top_offset;
    light_map_info.origin.z = volume_min.z;

    const float hx = 0.5f * wx;
    const float hy = 0.5f * wy;
    world2scr[0] = volume_min.x + hx;
    world2scr[1] = volume_min.y + hy;
    world2scr[2] = 1.0f / hx;
    world2scr[3] = 1.0f / hy;
}
