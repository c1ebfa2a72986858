// Shared pieces of the tools tests: a host fixture that checks the device is
// left clean, and the light map a set of lights should produce.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tools/preview/module_host.h"

namespace tools_test {

using lightvol_preview::LightMapReadback;
using lightvol_preview::ModuleHost;
using lightvol_preview::SceneFrame;
using lightvol_preview::SceneLight;

// A frame whose requested box is the placed volume itself for a positive
// movement: [x0, x0 + width * cell] by [y0, y0 + height * cell], x0 and y0 on
// the grid, so the volume's minimum corner is (x0, y0).
inline SceneFrame frame_at(float x0, float y0, int32_t width, int32_t height, float cell) {
    SceneFrame f;
    f.box_min = {x0, y0, 0};
    f.box_max = {x0 + static_cast<float>(width) * cell, y0 + static_cast<float>(height) * cell, 0};
    f.focus = {(f.box_min.x + f.box_max.x) * 0.5f, (f.box_min.y + f.box_max.y) * 0.5f, 0};
    f.movement[0] = 1;
    f.movement[1] = 1;
    return f;
}

inline std::string test_misuses(const lightvol_sw::SoftwareDevice& dev) {
    std::string out;
    for (const std::string& line : dev.misuses()) out += line + "\n";
    return out;
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { lightvol_sw::clear_message_boxes(); }
    void TearDown() override {
        if (!host) return;
        lightvol_sw::SoftwareDevice& dev = host->device();
        host->release_system();
        EXPECT_EQ(dev.live_object_count(), 0u);
        EXPECT_EQ(dev.over_releases(), 0);
        EXPECT_TRUE(dev.misuses().empty()) << test_misuses(dev);
        EXPECT_EQ(lightvol_sw::SoftwareDevice::ref_count(&dev), 1u);
        host.reset();
        lightvol_sw::clear_message_boxes();
    }

    void start(int32_t width, int32_t height, int32_t depth, float cell, int32_t base_layer,
               RenderStateCallback callback = nullptr) {
        this->width = width;
        this->height = height;
        this->depth = depth;
        this->cell = cell;
        host = std::make_unique<ModuleHost>(callback, builtin_shaders);
        std::string error;
        ASSERT_TRUE(host->set_volume(width, height, depth, cell, base_layer, error)) << error;
    }

    IPointLight* add(Vec3 position, float radius, Vec3 color) {
        SceneLight l;
        l.position = position;
        l.radius = radius;
        l.color = color;
        lights.push_back(l);
        return host->add_light(l);
    }

    LightMapReadback render(const SceneFrame& frame) {
        host->render(frame);
        LightMapReadback out;
        EXPECT_TRUE(host->read_light_map(out));
        EXPECT_EQ(out.width, width * depth);
        EXPECT_EQ(out.height, height);
        return out;
    }

    std::unique_ptr<ModuleHost> host;
    // Draw through the module's built-in shaders instead of the effect.
    bool builtin_shaders = false;
    std::vector<SceneLight> lights;
    int32_t width = 0, height = 0, depth = 0;
    float cell = 1;
};

inline uint32_t channel(uint32_t texel, int c) { return (texel >> (16 - 8 * c)) & 0xFFu; }

inline float component(const Vec3& v, int c) { return c == 0 ? v.x : c == 1 ? v.y : v.z; }

// The disc radius of a light in the layer plane at height layer_z, 0 when
// the light does not reach the plane.
inline float chord_in_layer(const SceneLight& l, float layer_z) {
    const float dz = std::fabs(l.position.z - layer_z);
    const float chord_sq = l.radius * l.radius - dz * dz;
    return chord_sq > 0.0f ? std::sqrt(chord_sq) : 0.0f;
}

// Compares every texel of every layer with the picture the lights should
// give: each light a disc of its chord radius around its centre, fading
// linearly from its colour to black at the rim, lights combined per channel
// by maximum, each layer clipped to its own strip. Texel (i, j) of layer L
// holds the light at (origin.x + i * cell, origin.y - j * cell,
// origin.z + L * cell). Values agree within 1/255; within one texel of a rim
// a texel may take any value the disc has within one texel of it. Returns a
// description of the first mismatches, empty when all agree.
inline std::string compare_with_discs(const LightMapReadback& map, const LightMapInfo& info,
                                      const std::vector<SceneLight>& lights, int32_t width,
                                      int32_t depth, float cell) {
    std::ostringstream report;
    int mismatches = 0;
    for (int32_t layer = 0; layer < depth; ++layer) {
        const float layer_z = info.origin.z + static_cast<float>(layer) * cell;
        std::vector<float> chords;
        for (const SceneLight& l : lights) chords.push_back(chord_in_layer(l, layer_z));
        for (int32_t j = 0; j < map.height; ++j) {
            for (int32_t i = 0; i < width; ++i) {
                const double x = info.origin.x + static_cast<double>(i) * cell;
                const double y = info.origin.y - static_cast<double>(j) * cell;
                const uint32_t texel = map.texels[static_cast<size_t>(j) * map.width +
                                                  static_cast<size_t>(layer) * width + i];
                for (int c = 0; c < 3; ++c) {
                    double lo = 0, hi = 0;
                    for (size_t k = 0; k < lights.size(); ++k) {
                        const double r = chords[k];
                        if (r <= 0) continue;
                        const double d =
                            std::hypot(x - lights[k].position.x, y - lights[k].position.y);
                        const double slack = std::fabs(d - r) <= cell ? cell : 0.0;
                        auto value = [&](double dist) {
                            return 255.0 * component(lights[k].color, c) *
                                   std::max(0.0, 1.0 - std::max(0.0, dist) / r);
                        };
                        lo = std::max(lo, value(d + slack));
                        hi = std::max(hi, value(d - slack));
                    }
                    const double got = channel(texel, c);
                    if (got < std::min(lo, 255.0) - 1.0 || got > std::min(hi, 255.0) + 1.0) {
                        if (++mismatches <= 8)
                            report << "layer " << layer << " texel (" << i << ", " << j
                                   << ") channel " << c << ": " << got << ", expected " << lo
                                   << (hi != lo ? " to " + std::to_string(hi) : std::string())
                                   << "\n";
                    }
                }
            }
        }
    }
    if (mismatches > 8) report << "... " << mismatches << " mismatches in all\n";
    return report.str();
}

// The texel of layer `layer` at column i, row j, colour bits only.
inline uint32_t texel_at(const LightMapReadback& map, int32_t width, int32_t layer, int32_t i,
                         int32_t j) {
    return map.texels[static_cast<size_t>(j) * map.width + static_cast<size_t>(layer) * width + i] &
           0xFFFFFFu;
}

inline uint32_t rgb_bytes(float r, float g, float b) {
    auto byte = [](float v) { return static_cast<uint32_t>(std::floor(v * 255.0f + 0.5f)); };
    return byte(r) << 16 | byte(g) << 8 | byte(b);
}

}  // namespace tools_test
