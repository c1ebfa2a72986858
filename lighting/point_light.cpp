#include "lighting/point_light.h"

// A null address carries no value and is ignored.
void PointLight::set_color(const Vec3* c) {
    if (c) color = *c;
}

void PointLight::set_position(const Vec3* p) {
    if (!p) return;
    position = *p;
    update_bounds();
}

void PointLight::set_radius(float r) {
    radius = r;
    radius_sq = r * r;
    update_bounds();
}

void PointLight::set_visible(bool v) { visible = v; }

void PointLight::set_auto_cull(bool a) { auto_cull = a; }

void PointLight::update_bounds() {
    bounds_min.x = position.x - radius;
    bounds_min.y = position.y - radius;
    bounds_min.z = position.z - radius;
    bounds_max.x = position.x + radius;
    bounds_max.y = position.y + radius;
    bounds_max.z = position.z + radius;
}

bool boxes_overlap(const Vec3& a_min, const Vec3& a_max, const Vec3& b_min, const Vec3& b_max) {
    if (b_max.x <= a_min.x) return false;
    if (b_max.y <= a_min.y) return false;
    if (b_max.z <= a_min.z) return false;
    if (b_min.x >= a_max.x) return false;
    if (b_min.y >= a_max.y) return false;
    if (b_min.z >= a_max.z) return false;
    return true;
}
