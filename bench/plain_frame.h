// The frame written the plain way, kept as the benchmarks' baseline: lights
// are separate heap objects in an address-ordered std::set, culling walks the
// set, and every layer tests every visible light. It makes the same device,
// effect and callback calls as LightingSystem::render and hands the effect the
// same batches, using the lighting system's placement, targets and effect.
#pragma once

#include <set>
#include <vector>

#include "device/batch_num.h"
#include "lighting/lighting_system.h"
#include "platform/d3d9_api.h"

namespace bench {

class PlainFrame {
public:
    PlainFrame() = default;
    PlainFrame(const PlainFrame&) = delete;
    PlainFrame& operator=(const PlainFrame&) = delete;
    ~PlainFrame() { clear(); }

    PointLight* create();
    void destroy(PointLight* light);
    void clear();
    const std::set<PointLight*>& lights() const { return lights_; }

    // One frame on `system`'s device objects. `tap`, when given, also receives
    // every layer start and batch.
    void render(LightingSystem& system, const Vec3& focus, const float movement[2],
                const Vec3& box_min, const Vec3& box_max, BatchConsumer* tap = nullptr);

private:
    void flush(ID3DXEffect* fx, int32_t n, BatchConsumer* tap);

    std::set<PointLight*> lights_;
    std::vector<PointLight*> visible_;
    float light_info_[BATCH_NUM * 3];
    float light_color_[BATCH_NUM * 3];
};

}  // namespace bench
