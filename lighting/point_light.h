// A point light: a coloured sphere with a bounding box kept up to date.
#pragma once

#include "lightvol.h"

class PointLight final : public IPointLight {
public:
    void set_color(const Vec3* color) override;
    void set_position(const Vec3* position) override;
    void set_radius(float radius) override;
    void set_visible(bool visible) override;
    void set_auto_cull(bool auto_cull) override;

    // bounds = position -/+ radius on every axis, each rounded to float.
    void update_bounds();

    Vec3 bounds_min{1e8f, 1e8f, 1e8f};
    Vec3 bounds_max{-1e8f, -1e8f, -1e8f};
    Vec3 color{0.0f, 0.0f, 0.0f};
    Vec3 position{0.0f, 0.0f, 0.0f};
    float radius = 0.0f;
    float radius_sq = 0.0f;
    bool visible = false;
    bool auto_cull = true;
};

// Strict overlap of box A and box B, each given by its minimum and maximum
// corners: boxes that only touch do not overlap, and a comparison with a NaN
// never rejects.
bool boxes_overlap(const Vec3& a_min, const Vec3& a_max, const Vec3& b_min, const Vec3& b_max);

// Whether a light takes part in a frame whose placed volume is (volume_min,
// volume_max): by its box while auto_cull is set, by its visible flag otherwise.
inline bool light_takes_part(const PointLight& light, const Vec3& volume_min,
                             const Vec3& volume_max) {
    return light.auto_cull
               ? boxes_overlap(volume_min, volume_max, light.bounds_min, light.bounds_max)
               : light.visible;
}
