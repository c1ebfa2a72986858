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

VolumePlacement LightingSystem::compute_placement(const Vec3& focus, const float movement[2],
                                                  const Vec3& box_min, const Vec3& box_max) const {
    VolumePlacement p;
    Vec3& lo = p.volume_min;
    Vec3& hi = p.volume_max;
    lo = box_min;
    hi = box_max;
    scale_about(lo.x, hi.x, box_min.x, box_max.x, focus.x, width, cell_size);
    scale_about(lo.y, hi.y, box_min.y, box_max.y, focus.y, height, cell_size);

    snap_to_grid(lo.x, hi.x, movement[0], cell_size);
    snap_to_grid(lo.y, hi.y, movement[1], cell_size);

    const float layers = static_cast<float>(depth);
    lo.z = static_cast<float>(base_layer) * cell_size;
    const float thickness = layers * cell_size;
    hi.z = lo.z + thickness;

    LightMapInfo& info = p.info;
    info.layer_step[0] = -1.0f / layers;
    info.layer_step[1] = 0.0f;

    const float wx = hi.x - lo.x;
    const float wy = hi.y - lo.y;

    const float inv_wx = -1.0f / wx;
    info.scale.x = inv_wx / layers;
    info.scale.y = 1.0f / wy;
    info.scale.z = -1.0f / cell_size;

    const float top_offset = 1.0f / info.scale.y;
    info.origin.x = lo.x;
    info.origin.y = lo.y + top_offset;
    info.origin.z = lo.z;

    const float hx = 0.5f * wx;
    const float hy = 0.5f * wy;
    p.world2scr[0] = lo.x + hx;
    p.world2scr[1] = lo.y + hy;
    p.world2scr[2] = 1.0f / hx;
    p.world2scr[3] = 1.0f / hy;
    return p;
}

void LightingSystem::apply_placement(const VolumePlacement& p) {
    volume_min = p.volume_min;
    volume_max = p.volume_max;
    light_map_info.layer_step[0] = p.info.layer_step[0];
    light_map_info.layer_step[1] = p.info.layer_step[1];
    light_map_info.origin = p.info.origin;
    light_map_info.scale = p.info.scale;
    for (int i = 0; i < 4; ++i) world2scr[i] = p.world2scr[i];
}

void LightingSystem::place_volume(const Vec3& focus, const float movement[2], const Vec3& box_min,
                                  const Vec3& box_max) {
    apply_placement(compute_placement(focus, movement, box_min, box_max));
}
