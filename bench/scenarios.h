// The benchmark scenarios, and the check that the module and the plain frame
// hand the device the same frames in them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/scene.h"

namespace bench {

// A frame scenario: `lights` lights over a 64 x 64 x `depth` volume.
struct FrameScenario {
    std::string family;  // "frame" or "frame_reach3"
    int32_t lights;
    int32_t depth;
    SceneConfig scene() const;
};

// Radii of 1 to 4 cells, heights over the whole volume, at 1,000 / 10,000 /
// 50,000 lights and depths 8 / 32 / 64.
std::vector<FrameScenario> frame_scenarios();
// Lights reaching at most three layers, all within the lowest eight, at
// depths 8 to 64: the cost of extra empty layers.
std::vector<FrameScenario> reach3_scenarios();

// `lights` lights, each reaching all `depth` layers of a 64 x 64 x `depth`
// volume: the frame's working storage at its largest for that many lights.
struct MemoryScenario {
    int32_t lights;
    int32_t depth;
    SceneConfig scene() const;
    // The bound on the planner's storage: 32 bytes per light and 64 KiB.
    double bound_bytes() const { return 32.0 * lights + 65536.0; }
};
std::vector<MemoryScenario> memory_scenarios();
std::string memory_args(const MemoryScenario& s);

// The rasterizer's scenes (drawing on).
std::vector<FrameScenario> fill_scenarios();

// "lights:N/depth:D"
std::string frame_args(const FrameScenario& s);

// Registers every benchmark:
//   frame/..., frame_reach3/...  the module and the plain frame taking turns
//                                in blocks of 8 frames (counters module_us,
//                                plain_us: median frame; speedup; draws per
//                                frame; planner_bytes, frame_bytes: storage
//                                held by the batch planner, and with
//                                visible_lights)
//   depth_doubling/...           the module at depth D and 2D taking turns
//                                (depth_us, double_depth_us, growth)
//   memory/...                   every light reaching every layer (frame_us,
//                                entries, planner_bytes, frame_bytes)
//   churn/module/..., churn/plain/...  destroy one light, create one
//   fill/...                     the software device drawing for real
void register_benchmarks();

// Runs a few frames of every scenario both ways and compares layer starts,
// batches and their floats bit for bit (and, on small scenes, the device call
// logs). Prints what differs and returns false on any difference.
bool verify_scenarios();

}  // namespace bench
