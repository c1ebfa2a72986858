// What the benchmarks draw: lights scattered over a world three volumes wide,
// a host focus moving back and forth across it, and a software device with an
// initialised lighting system to draw them on.
#pragma once

#include <cstdint>
#include <vector>

#include "lighting/lighting_system.h"
#include "lightvol.h"
#include "platform/software/software_device.h"

namespace bench {

// Every volume is 64 x 64 texels per layer, cells of half a world unit.
constexpr int32_t kLayerSize = 64;
constexpr float kCellSize = 0.5f;

struct LightParams {
    Vec3 position;
    float radius;
    Vec3 color;
};

struct SceneConfig {
    int32_t lights;
    // Radii drawn uniformly from this range, in cells.
    float min_radius_cells;
    float max_radius_cells;
    // Heights drawn uniformly from this range, in cells above the lowest layer.
    float min_z_cells;
    float max_z_cells;
};

// x over three volume widths, y over one: with the focus path below, about a
// third of the lights overlap the volume in every frame. Fixed seed.
std::vector<LightParams> make_lights(const SceneConfig& config);

// The host's per-frame request: a box one volume wide around a focus that
// moves along x by a fraction of a cell per frame, turning at the world's
// edges, with the movement's sign following the direction.
class FocusPath {
public:
    FocusPath();
    void advance();

    Vec3 focus;
    Vec3 box_min;
    Vec3 box_max;
    float movement[2];

private:
    void update_box();
    float step_;
    float sway_;
};

// A software device (null mode unless asked otherwise) inside a scene, and a
// lighting system initialised on it over a 64 x 64 x depth volume with its
// lowest layer at z = 0. The module's device context is global: one stage at
// a time.
class Stage {
public:
    explicit Stage(int32_t depth, bool null_mode = true);
    ~Stage();
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    // Creates one light per entry through the public interface; the k-th
    // light in address order gets params[k].
    void add_lights(const std::vector<LightParams>& params);
    // One frame through the public interface.
    void render(const FocusPath& path) {
        system->render(&path.focus, path.movement, &path.box_min, &path.box_max);
    }
    LightingSystem& internals() { return *static_cast<LightingSystem*>(system); }

    lightvol_sw::SoftwareDevice device{64, 64};
    ILightingSystem* system = nullptr;
};

// Gives params[k] to the k-th light of `lights`, which must be in ascending
// address order and as many as params.
template <typename Lights>
void assign_in_order(const Lights& lights, const std::vector<LightParams>& params) {
    size_t k = 0;
    for (PointLight* light : lights) {
        const LightParams& p = params[k++];
        light->set_position(&p.position);
        light->set_radius(p.radius);
        light->set_color(&p.color);
    }
}

}  // namespace bench
