#include "lighting/lighting_system.h"

IPointLight* LightingSystem::create_point_light() { return lights.create(); }

void LightingSystem::destroy_point_light(IPointLight* light) {
    // Only a live light of this system is freed; null, foreign or stale
    // pointers change nothing.
    lights.destroy(static_cast<const void*>(light));
}

void LightingSystem::clear_point_lights() { lights.clear(); }

void LightingSystem::set_volume(int32_t new_width, int32_t new_height, int32_t new_depth,
                                float new_cell_size) {
    width = clamp_volume_size(new_width);
    height = clamp_volume_size(new_height);
    depth = clamp_volume_size(new_depth);
    cell_size = clamp_cell_size(new_cell_size);
    rebuild_targets();
}
