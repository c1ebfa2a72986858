// The batch planner built for a 32-bit target (size_t of 32 bits, as in the
// 32-bit DLL) and checked without a test framework: sizes near the 32-bit
// limits are refused, never wrapped; 1.43e9 entries plan within 32 bytes per
// light and 64 KiB; random and crowded scenes match the plain scan bit for bit.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "lighting/lighting_system.h"
#include "support/batch_recorder.h"
#include "support/reference_frame.h"

namespace {

int g_failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++g_failures;
}

PointLight* add(LightingSystem& sys, Vec3 pos, float radius, Vec3 color) {
    auto* light = static_cast<PointLight*>(sys.create_point_light());
    light->set_position(&pos);
    light->set_radius(radius);
    light->set_color(&color);
    return light;
}

void place(LightingSystem& sys) {
    const float movement[2] = {1, 1};
    const float extent = static_cast<float>(sys.width) * sys.cell_size;
    sys.place_volume({0, 0, 0}, movement, {0, 0, 0}, {extent, extent, 0});
}

bool matches_plain_scan(LightingSystem& sys, const std::set<PointLight*>& lights) {
    place(sys);
    sys.collect_visible_lights();
    BatchRecorder ours;
    sys.batch_layers(ours);
    sys.visible_lights.clear();
    BatchRecorder plain;
    ReferenceFrame reference;
    reference.run(lights, {sys.volume_min, sys.volume_max, sys.depth, sys.cell_size}, plain);
    return ours.same_as(plain);
}

void sizes_at_the_limit() {
    const size_t max = std::numeric_limits<size_t>::max();
    check(LayerBatcher::window_floats<size_t>(max, max) == 0,
          "a window buffer past 32 bits is refused");
    std::vector<float> floats;
    check(LayerBatcher::window_floats<size_t>(max / 8, floats.max_size()) == 0,
          "a window buffer past the array's limit is refused");
    std::vector<PointLight*> pointers;
    bool bad_alloc = false;
    try {
        size_for_lights(pointers, pointers.max_size() + 1, 0);
    } catch (const std::bad_alloc&) {
        bad_alloc = true;
    }
    check(bad_alloc && pointers.empty(), "an unholdable count is std::bad_alloc");
}

void entries_beyond_32_bits() {
    // 87,381 lights each reaching all 16,384 layers: 1.43e9 entries, whose
    // floats 32 bits cannot count.
    LightingSystem sys;
    sys.set_volume(1, 1, 16384, 1);
    sys.set_base_layer(0);
    const int count = 87381;
    for (int i = 0; i < count; ++i) add(sys, {0.5f, 0.5f, 8192}, 1e5f, {1, 0, 0});
    place(sys);
    sys.collect_visible_lights();
    sys.plan_batches();
    check(sys.batch_planner_bytes() <= 32u * count + 65536u,
          "1.43e9 entries plan within 32 bytes per light and 64 KiB");
    struct FirstLayers final : BatchConsumer {
        void begin_layer(int32_t layer) override {
            if (layer == 3) throw std::runtime_error("enough");
            current = layer;
        }
        void flush_batch(const float* info, const float*, int32_t n) override {
            batches += 1;
            entries += n;
            const float dz = 8192.0f - static_cast<float>(current);
            for (int32_t k = 0; k < n; ++k) ok = ok && info[3 * k] == std::sqrt(1e10f - dz * dz);
        }
        int32_t current = -1;
        long batches = 0;
        long entries = 0;
        bool ok = true;
    } out;
    try {
        sys.emit_batches(out);
    } catch (const std::runtime_error&) {
    }
    sys.visible_lights.clear();
    check(out.ok && out.batches == 3 * 874 && out.entries == 3L * count,
          "the first layers of that frame come out whole");
}

void random_scenes() {
    std::mt19937 rng(32);
    std::uniform_real_distribution<float> unit(0, 1);
    bool all = true;
    for (int scene = 0; scene < 40 && all; ++scene) {
        LightingSystem sys;
        const int32_t depth = 1 + static_cast<int32_t>(rng() % 400);
        const float cell = scene % 2 ? 0.5f : 1.0f;
        const int32_t base = static_cast<int32_t>(rng() % 21) - 10;
        sys.set_volume(8, 8, depth, cell);
        sys.set_base_layer(base);
        std::set<PointLight*> lights;
        const int count = scene % 10 == 9 ? 13000 : static_cast<int>(rng() % 400);
        for (int i = 0; i < count; ++i) {
            const float z =
                (static_cast<float>(base) + unit(rng) * static_cast<float>(depth)) * cell;
            float radius = unit(rng) * 6 * cell;
            if (rng() % 9 == 0) radius = 1e4f;
            lights.insert(add(sys, {unit(rng) * 8 * cell, unit(rng) * 8 * cell, z}, radius,
                              {unit(rng), unit(rng), unit(rng)}));
        }
        all = matches_plain_scan(sys, lights);
    }
    check(all, "random, deep and crowded scenes match the plain scan bit for bit");
}

}  // namespace

int main() {
    check(sizeof(size_t) == 4 && sizeof(void*) == 4, "built for a 32-bit target");
    sizes_at_the_limit();
    entries_beyond_32_bits();
    random_scenes();
    std::printf("%s\n",
                g_failures == 0 ? "32-bit planner check passed" : "32-bit planner check FAILED");
    return g_failures == 0 ? 0 : 1;
}
