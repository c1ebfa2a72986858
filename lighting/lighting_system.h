// The object behind ILightingSystem.
#pragma once

#include <cstdint>
#include <vector>

#include "device/host_state.h"
#include "lighting/light_batching.h"
#include "lighting/light_store.h"
#include "lighting/point_light.h"
#include "lightvol.h"

class Effect;
class RenderTarget;

// Where one frame puts the volume: its box, and the constants that describe it
// (the texture field of info is not set).
struct VolumePlacement {
    Vec3 volume_min;
    Vec3 volume_max;
    float world2scr[4];
    LightMapInfo info;
};

class LightingSystem final : public ILightingSystem {
public:
    LightingSystem() = default;
    LightingSystem(const LightingSystem&) = delete;
    LightingSystem& operator=(const LightingSystem&) = delete;

    // Device binding.
    void init(IDirect3DDevice9* device, RenderStateCallback set_render_state) override;
    void release() override;
    void on_lost_device() override;
    void on_reset_device() override;

    void render(const Vec3* focus, const float* movement, const Vec3* box_min,
                const Vec3* box_max) override;
    const LightMapInfo* get_light_map() override { return &light_map_info; }

    IPointLight* create_point_light() override;
    void destroy_point_light(IPointLight* light) override;
    void clear_point_lights() override;

    void set_volume(int32_t width, int32_t height, int32_t depth, float cell_size) override;
    void set_base_layer(int32_t layer) override { base_layer = layer; }
    void set_enabled(bool on) override { enabled = on; }
    bool is_enabled() override { return enabled; }

    // Fits the volume to the requested box and computes world2scr and the
    // eight floats of light_map_info: compute_placement, then apply_placement.
    // render applies a placement only to a frame that redraws the light map.
    void place_volume(const Vec3& focus, const float movement[2], const Vec3& box_min,
                      const Vec3& box_max);
    VolumePlacement compute_placement(const Vec3& focus, const float movement[2],
                                      const Vec3& box_min, const Vec3& box_max) const;
    void apply_placement(const VolumePlacement& placement);
    // Fills visible_lights with the lights that take part in a frame whose
    // volume is [lo, hi] (by default the placed one).
    void collect_visible_lights() { collect_visible_lights(volume_min, volume_max); }
    void collect_visible_lights(const Vec3& lo, const Vec3& hi);
    // Hands the frame's layers and batches to out: plan_batches, then
    // emit_batches. Planning is where a frame may allocate, so render plans
    // before its first device call.
    void batch_layers(BatchConsumer& out);
    void plan_batches() { plan_batches(volume_min.z); }
    void plan_batches(float volume_min_z);
    void emit_batches(BatchConsumer& out);
    // Bytes the frame's working storage holds: the batch planner's and
    // visible_lights'.
    size_t batch_planner_bytes() const { return batcher_.bytes_held(); }
    size_t frame_bytes() const {
        return batcher_.bytes_held() + visible_lights.capacity() * sizeof(PointLight*);
    }

    int32_t width = 1;
    int32_t height = 1;
    int32_t depth = 1;
    int32_t base_layer = 0;
    float cell_size = 1.0f;
    Vec3 volume_min{1e8f, 1e8f, 1e8f};
    Vec3 volume_max{-1e8f, -1e8f, -1e8f};
    float world2scr[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    LightMapInfo light_map_info{nullptr, {0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}};
    LightStore lights;
    std::vector<PointLight*> visible_lights;
    Effect* effect = nullptr;
    RenderTarget* light_map = nullptr;
    RenderTarget* depth_target = nullptr;
    // The host's state around a frame; its block exists from init (or
    // on_reset_device) to on_lost_device (or release).
    HostState host_state;
    bool enabled = true;

private:
    // Device half of set_volume: replaces both targets.
    void rebuild_targets();
    // Sets light_map_info.texture: the light map when a frame can draw it (the
    // texture, its surface, the depth surface and the state block all exist),
    // else null.
    void publish_light_map();

    LayerBatcher batcher_;
};

// Snaps one axis of the box onto the grid of cell_size: by its minimum edge
// when move > 0, else by its maximum edge. The interval keeps its length.
void snap_to_grid(float& lo, float& hi, float move, float cell_size);

// The clamp of set_volume for a size: values not greater than 1 give 1.
inline int32_t clamp_volume_size(int32_t n) { return n > 1 ? n : 1; }
// The clamp of set_volume for the cell size, against the double 0.01; NaN
// gives 0.01.
inline float clamp_cell_size(float c) {
    return static_cast<double>(c) > 0.01 ? c : static_cast<float>(0.01);
}
