// The frame written the plain way: the lights walked in address order for
// culling, then every layer scanning every visible light. Tests compare the
// module's batching with it; the benchmarks use it as their baseline.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "device/batch_num.h"
#include "lighting/light_batching.h"
#include "lighting/point_light.h"

struct ReferenceVolume {
    Vec3 volume_min;
    Vec3 volume_max;
    int32_t depth;
    float cell_size;
};

class ReferenceFrame {
public:
    void run(const std::set<PointLight*>& lights, const ReferenceVolume& v, BatchConsumer& out) {
        visible_.clear();
        for (PointLight* light : lights) {
            if (light->auto_cull ? boxes_overlap(v.volume_min, v.volume_max, light->bounds_min,
                                                 light->bounds_max)
                                 : light->visible)
                visible_.push_back(light);
        }
        for (int32_t i = 0; i < v.depth; ++i) {
            out.begin_layer(i);
            const float z = static_cast<float>(i) * v.cell_size + v.volume_min.z;
            int32_t n = 0;
            for (const PointLight* light : visible_) {
                const float dz = std::fabs(light->position.z - z);
                if (!(dz < light->radius + v.cell_size)) continue;
                const float chord_sq = light->radius_sq - dz * dz;
                if (!(chord_sq >= 0.0f)) continue;
                info_[3 * n] = std::sqrt(chord_sq);
                info_[3 * n + 1] = light->position.x;
                info_[3 * n + 2] = light->position.y;
                color_[3 * n] = light->color.x;
                color_[3 * n + 1] = light->color.y;
                color_[3 * n + 2] = light->color.z;
                if (++n == BATCH_NUM) {
                    out.flush_batch(info_, color_, n);
                    n = 0;
                }
            }
            if (n > 0) out.flush_batch(info_, color_, n);
        }
        visible_.clear();
    }

private:
    std::vector<PointLight*> visible_;
    float info_[BATCH_NUM * 3];
    float color_[BATCH_NUM * 3];
};
