#include "bench/scene.h"

#include <algorithm>
#include <random>

#include "device/device_context.h"

namespace bench {
namespace {

constexpr int32_t kWorldWidthCells = 3 * kLayerSize;

lightvol_sw::SoftwareDevice* g_stage_device = nullptr;

// The host's render-state setter.
int32_t set_render_state(int32_t state, int32_t value) {
    if (g_stage_device)
        g_stage_device->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state),
                                       static_cast<DWORD>(value));
    return 0;
}

}  // namespace

std::vector<LightParams> make_lights(const SceneConfig& config) {
    std::mt19937 rng(20240611u + static_cast<uint32_t>(config.lights));
    std::uniform_real_distribution<float> x(0.0f, kWorldWidthCells * kCellSize);
    std::uniform_real_distribution<float> y(0.0f, kLayerSize * kCellSize);
    std::uniform_real_distribution<float> z(config.min_z_cells * kCellSize,
                                            config.max_z_cells * kCellSize);
    std::uniform_real_distribution<float> r(config.min_radius_cells * kCellSize,
                                            config.max_radius_cells * kCellSize);
    std::uniform_real_distribution<float> c(0.0f, 1.0f);
    std::vector<LightParams> out(static_cast<size_t>(config.lights));
    for (LightParams& p : out) {
        p.position = {x(rng), y(rng), z(rng)};
        p.radius = r(rng);
        p.color = {c(rng), c(rng), c(rng)};
    }
    return out;
}

FocusPath::FocusPath() : step_(0.37f * kCellSize), sway_(0.3f) {
    focus = {0.5f * kWorldWidthCells * kCellSize, 0.5f * kLayerSize * kCellSize, 0.0f};
    update_box();
}

void FocusPath::advance() {
    const float half = 0.5f * kLayerSize * kCellSize;
    const float next = focus.x + step_;
    if (next - half < 0.0f || next + half > kWorldWidthCells * kCellSize) step_ = -step_;
    focus.x += step_;
    // A slight sway in y keeps the snapping busy on both axes.
    sway_ = -sway_;
    focus.y = half + sway_ * kCellSize;
    update_box();
}

void FocusPath::update_box() {
    const float half = 0.5f * kLayerSize * kCellSize;
    box_min = {focus.x - half, focus.y - half, 0.0f};
    box_max = {focus.x + half, focus.y + half, 0.0f};
    movement[0] = step_;
    movement[1] = sway_;
}

Stage::Stage(int32_t depth, bool null_mode) {
    g_stage_device = &device;
    device.set_recording(false);
    device.BeginScene();
    system = create_ILightingSystem();
    system->init(&device, set_render_state);
    system->set_volume(kLayerSize, kLayerSize, depth, kCellSize);
    system->set_base_layer(0);
    device.set_null_mode(null_mode);
}

Stage::~Stage() {
    device.set_null_mode(false);
    system->release();
    device.EndScene();
    g_stage_device = nullptr;
}

void Stage::add_lights(const std::vector<LightParams>& params) {
    std::vector<PointLight*> made;
    made.reserve(params.size());
    for (size_t i = 0; i < params.size(); ++i)
        made.push_back(static_cast<PointLight*>(system->create_point_light()));
    std::sort(made.begin(), made.end());
    assign_in_order(made, params);
}

}  // namespace bench
