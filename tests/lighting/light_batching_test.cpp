#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <utility>

#include "lighting/lighting_system.h"
#include "support/batch_recorder.h"
#include "support/reference_frame.h"

namespace {

// A lighting system placed over [0, size * cell] in x and y (already on the
// grid) with its lowest layer at z = base * cell, and helpers to add lights and
// run one frame's batching.
class Batching : public ::testing::Test {
protected:
    void SetUp() override { configure(100, 5, 1.0f, 0); }

    void configure(int32_t size, int32_t depth, float cell, int32_t base) {
        sys.set_volume(size, size, depth, cell);
        sys.set_base_layer(base);
    }
    void place() {
        const float movement[2] = {1, 1};
        const float extent = static_cast<float>(sys.width) * sys.cell_size;
        sys.place_volume({0, 0, 0}, movement, {0, 0, 0}, {extent, extent, 0});
    }
    PointLight* add(Vec3 pos, float radius, Vec3 color = {1, 1, 1}) {
        auto* l = static_cast<PointLight*>(sys.create_point_light());
        l->set_position(&pos);
        l->set_radius(radius);
        l->set_color(&color);
        return l;
    }
    BatchRecorder frame() {
        place();
        sys.collect_visible_lights();
        BatchRecorder out;
        sys.batch_layers(out);
        sys.visible_lights.clear();
        return out;
    }
    std::vector<size_t> sizes(const BatchRecorder& r, int32_t layer) {
        std::vector<size_t> n;
        for (const auto& b : r.batches)
            if (b.layer == layer) n.push_back(b.info.size() / 3);
        return n;
    }

    LightingSystem sys;
};

TEST_F(Batching, ChordsOfARadiusTwoLightAcrossFiveLayers) {
    add({3, 4, 2}, 2, {0.25f, 0.5f, 0.75f});
    const BatchRecorder r = frame();
    EXPECT_EQ(r.layers, (std::vector<int32_t>{0, 1, 2, 3, 4}));
    ASSERT_EQ(r.batches.size(), 5u);
    const float expected[] = {0, std::sqrt(3.0f), 2, std::sqrt(3.0f), 0};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(r.batches[i].layer, i);
        EXPECT_EQ(r.batches[i].info, (std::vector<float>{expected[i], 3, 4}));
        EXPECT_EQ(r.batches[i].color, (std::vector<float>{0.25f, 0.5f, 0.75f}));
    }
    EXPECT_FLOAT_EQ(r.batches[1].info[0], 1.7320508f);
}

TEST_F(Batching, BatchesOfAHundredNeverSpanLayers) {
    // Radius 0.5 at z = 0: reaches layer 0 only (layer 1 is beyond the
    // sphere). Counts per layer: 100, 101, then 250 and 30.
    for (int i = 0; i < 100; ++i) add({float(i % 10), 0, 0}, 0.5f);
    EXPECT_EQ(sizes(frame(), 0), (std::vector<size_t>{100}));
    add({0, 0, 0}, 0.5f);
    EXPECT_EQ(sizes(frame(), 0), (std::vector<size_t>{100, 1}));
    for (int i = 0; i < 149; ++i) add({1, 1, 0}, 0.5f);
    for (int i = 0; i < 30; ++i) add({1, 1, 1}, 0.5f);
    const BatchRecorder r = frame();
    EXPECT_EQ(sizes(r, 0), (std::vector<size_t>{100, 100, 50}));
    EXPECT_EQ(sizes(r, 1), (std::vector<size_t>{30}));
    EXPECT_EQ(sizes(r, 2), (std::vector<size_t>{}));
    EXPECT_EQ(r.layers.size(), 5u);  // every layer is started, reached or not
}

TEST_F(Batching, ReachIsStrictAndChordsAreAlwaysReal) {
    // Layers at z = 0..4. A light at z = 0.25 with radius 0.5 is within reach
    // (dz < radius + cell) of layer 1 (dz 0.75) but its sphere misses the plane:
    // no entry there. A light at 2 with radius 1 touches layers 1 and 3
    // exactly (chord 0) and misses layers 0 and 4 (dz = radius + cell).
    add({0, 0, 0.25f}, 0.5f);
    add({5, 0, 2}, 1);
    const BatchRecorder r = frame();
    std::vector<std::vector<float>> chords(5);
    for (const auto& b : r.batches)
        for (size_t k = 0; k < b.info.size(); k += 3) chords[b.layer].push_back(b.info[k]);
    EXPECT_EQ(chords[0], (std::vector<float>{std::sqrt(0.1875f)}));
    EXPECT_EQ(chords[1], (std::vector<float>{0}));
    EXPECT_EQ(chords[2], (std::vector<float>{1}));
    EXPECT_EQ(chords[3], (std::vector<float>{0}));
    EXPECT_TRUE(chords[4].empty());
}

TEST_F(Batching, CullingByBoxOrByVisibleFlag) {
    add({100.5f, 1, 1}, 0.5f);    // shares the face x = 100: culled
    add({100.499f, 1, 2}, 0.5f);  // reaches just inside
    PointLight* far = add({500, 0, 3}, 0.5f);
    far->set_auto_cull(false);
    far->set_visible(true);  // drawn wherever it is
    PointLight* hidden = add({0, 0, 4}, 0.5f);
    hidden->set_auto_cull(false);  // neither auto-culled nor visible
    const BatchRecorder r = frame();
    ASSERT_EQ(r.batches.size(), 2u);
    EXPECT_EQ(r.batches[0].layer, 2);
    EXPECT_EQ(r.batches[1].layer, 3);
    EXPECT_EQ(r.batches[1].info[1], 500);
}

TEST_F(Batching, LightsAreVisitedInAddressOrderWhateverTheCreationOrder) {
    for (int pass = 0; pass < 2; ++pass) {
        sys.clear_point_lights();
        PointLight* a = add({1, 0, 0}, 0.5f);
        PointLight* b = add({2, 0, 0}, 0.5f);
        if (pass == 1) {  // re-create both: freed slots come back in reverse
            sys.destroy_point_light(a);
            sys.destroy_point_light(b);
            a = add({1, 0, 0}, 0.5f);
            b = add({2, 0, 0}, 0.5f);
            EXPECT_LT(b, a);
        }
        const BatchRecorder r = frame();
        ASSERT_EQ(r.batches.size(), 1u);
        const float first_x = a < b ? 1 : 2;
        EXPECT_EQ(r.batches[0].info[1], first_x);
        EXPECT_EQ(r.batches[0].info[4], 3 - first_x);
    }
}

// The module's batching equals the plain all-layers scan bit for bit over
// random scenes: layer boundaries, negative base layers, NaN fields, lights
// with auto_cull off, radii below and beyond a cell.
TEST_F(Batching, MatchesThePlainScanOverRandomScenes) {
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> unit(0, 1);
    ReferenceFrame reference;
    for (int scene = 0; scene < 200; ++scene) {
        const int32_t depth = 1 + static_cast<int32_t>(rng() % 40);
        const float cells[] = {1.0f, 0.5f, 0.3f, 0.01f, 2.5f};
        const float cell = cells[rng() % 5];
        const int32_t base = static_cast<int32_t>(rng() % 21) - 10;
        configure(16, depth, cell, base);
        sys.clear_point_lights();
        std::set<PointLight*> ordered;
        const int count = static_cast<int>(rng() % 400);
        for (int i = 0; i < count; ++i) {
            const float z_lo = base * cell - 3 * cell, z_span = (depth + 6) * cell;
            float z = z_lo + unit(rng) * z_span;
            if (rng() % 4 == 0) z = (base + static_cast<int>(rng() % (depth + 2))) * cell;
            float radius = unit(rng) * 4 * cell;
            if (rng() % 10 == 0) radius = static_cast<float>(rng() % 4) * cell;
            if (rng() % 50 == 0) radius = -radius;
            Vec3 pos{(unit(rng) - 0.5f) * 20 * cell, (unit(rng) - 0.5f) * 20 * cell, z};
            if (rng() % 60 == 0) pos.z = NAN;
            if (rng() % 60 == 0) radius = NAN;
            PointLight* l = add(pos, radius, {unit(rng), unit(rng), unit(rng)});
            if (rng() % 5 == 0) {
                l->set_auto_cull(false);
                l->set_visible(rng() % 2 == 0);
            }
            ordered.insert(l);
        }
        const BatchRecorder ours = frame();
        BatchRecorder plain;
        reference.run(ordered, {sys.volume_min, sys.volume_max, sys.depth, sys.cell_size}, plain);
        ASSERT_TRUE(ours.same_as(plain)) << "scene " << scene;
    }
}

// The same over lights that reach far past the volume or sit far outside it:
// radii of many cells, infinite and huge values, heights beyond the top and
// the bottom, exact multiples of the cell, and deep volumes.
TEST_F(Batching, MatchesThePlainScanWithFarReachingAndOutlyingLights) {
    std::mt19937 rng(4242);
    std::uniform_real_distribution<float> unit(0, 1);
    ReferenceFrame reference;
    for (int scene = 0; scene < 120; ++scene) {
        const int32_t depth = 1 + static_cast<int32_t>(rng() % 80);
        const float cells[] = {1.0f, 0.25f, 0.7f, 3.0f};
        const float cell = cells[rng() % 4];
        const int32_t base = static_cast<int32_t>(rng() % 41) - 20;
        configure(8, depth, cell, base);
        sys.clear_point_lights();
        std::set<PointLight*> ordered;
        const int count = static_cast<int>(rng() % 200);
        for (int i = 0; i < count; ++i) {
            const float bottom = base * cell;
            float z = bottom + (unit(rng) * 3 - 1) * depth * cell;
            float radius = unit(rng) * 40 * cell;
            switch (rng() % 12) {
                case 0:
                    radius = INFINITY;
                    break;
                case 1:
                    radius = 1e30f;
                    break;
                case 2:
                    z = (rng() % 2 ? 1e30f : -1e30f);
                    break;
                case 3:
                    z = bottom + static_cast<float>(rng() % (depth + 1)) * cell;
                    break;
                case 4:
                    radius = static_cast<float>(rng() % 6) * cell;
                    break;
                case 5:
                    radius = -unit(rng) * 3 * cell;
                    break;
                case 6:
                    z = INFINITY;
                    break;
                default:
                    break;
            }
            PointLight* l = add({unit(rng) * 8 * cell, unit(rng) * 8 * cell, z}, radius);
            if (rng() % 3 == 0) {  // drawn however far it reaches
                l->set_auto_cull(false);
                l->set_visible(true);
            }
            ordered.insert(l);
        }
        const BatchRecorder ours = frame();
        BatchRecorder plain;
        reference.run(ordered, {sys.volume_min, sys.volume_max, sys.depth, sys.cell_size}, plain);
        ASSERT_TRUE(ours.same_as(plain)) << "scene " << scene;
    }
}

// Deep volumes (past the 256-layer blocks the planner counts at a time) and
// layers crowded past its window buffer (more than 2,048 + 5/6 of the lights),
// against the plain scan.
TEST_F(Batching, MatchesThePlainScanInDeepAndCrowdedVolumes) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> unit(0, 1);
    ReferenceFrame reference;
    for (int scene = 0; scene < 8; ++scene) {
        const bool deep = scene < 5;
        const int32_t depth = deep ? 250 + static_cast<int32_t>(rng() % 600) : 2 + scene;
        configure(4, depth, 1.0f, -3);
        sys.clear_point_lights();
        std::set<PointLight*> ordered;
        const int count = deep ? 300 : 13000 + scene;
        for (int i = 0; i < count; ++i) {
            float z = -3 + unit(rng) * static_cast<float>(depth);
            float radius = deep ? unit(rng) * 40 : 0.5f + unit(rng) * 3;
            if (deep && rng() % 8 == 0) radius = 1e4f;  // every layer
            if (!deep && rng() % 3 == 0) z = -2;        // all on one layer
            if (scene == 5) radius = 100;               // all on every layer
            ordered.insert(
                add({unit(rng) * 4, unit(rng) * 4, z}, radius, {unit(rng), unit(rng), unit(rng)}));
        }
        const BatchRecorder ours = frame();
        BatchRecorder plain;
        reference.run(ordered, {sys.volume_min, sys.volume_max, sys.depth, sys.cell_size}, plain);
        ASSERT_TRUE(ours.same_as(plain)) << "scene " << scene;
    }
}

// Runs placed at the edges of the planner's windows, against the plain scan.
// Windows take up to 256 layers from where the sweep stands: from layer 0
// while every block holds a run, else from the next run's first layer. Each
// volume puts a run's first or last layer at a window's first and last layer
// and one layer either side, alone (a block with no run is skipped), beside a
// low run (the block above it is then counted afresh), or among crowds that
// keep every block busy or cut windows short of 256 layers.
TEST_F(Batching, MatchesThePlainScanAtTheWindowEdges) {
    struct Volume {
        int32_t depth;
        int32_t base;
        float cell;
    };
    const Volume volumes[] = {{255, 0, 1.0f}, {256, -3, 1.0f}, {257, 0, 1.0f}, {512, 0, 0.5f},
                              {513, 5, 1.0f}, {700, 0, 1.0f},  {769, -1, 1.0f}};
    // Runs as layers relative to an edge e (kLow: a run on layers 0 and 1),
    // alone or among other lights.
    constexpr int32_t kLow = 1 << 20;
    enum Crowd { kAlone, kScattered, kEveryLayer };
    struct Run {
        int32_t first;
        int32_t last;
    };
    struct Scene {
        std::vector<Run> runs;
        Crowd crowd;
    };
    const Scene scenes[] = {
        {{{0, 0}}, kAlone},
        {{{0, 3}}, kAlone},
        {{{-3, 0}}, kAlone},
        {{{kLow, 0}, {0, 2}}, kAlone},
        {{{kLow, 0}, {-2, 0}}, kAlone},
        {{{0, 0}, {254, 255}}, kAlone},
        {{{0, 0}, {255, 256}}, kAlone},
        {{{0, 0}, {256, 257}}, kAlone},
        {{{0, 0}}, kScattered},
        {{{-3, 0}, {0, 3}}, kScattered},
        {{{0, 0}}, kEveryLayer},
        {{{-3, 0}, {0, 3}}, kEveryLayer},
    };
    ReferenceFrame reference;
    const auto matches = [&](const Volume& v, int32_t e, const Scene& scene) {
        configure(4, v.depth, v.cell, v.base);
        sys.clear_point_lights();
        std::set<PointLight*> ordered;
        // A light entering exactly layers [first, last].
        const auto run = [&](int32_t first, int32_t last) {
            const float mid = static_cast<float>(v.base) + 0.5f * static_cast<float>(first + last);
            ordered.insert(add({v.cell, v.cell, mid * v.cell},
                               0.5f * static_cast<float>(last - first) * v.cell,
                               {float(first), float(last), 1}));
        };
        for (const Run& r : scene.runs) r.first == kLow ? run(0, 1) : run(e + r.first, e + r.last);
        if (scene.crowd == kScattered)
            for (int32_t j = 0; j < 30; ++j) run(j * 37 % v.depth, j * 37 % v.depth + j % 9);
        // 33 lights on every layer: windows of 60 layers, where a 61st would
        // fill the buffer to its last entry and leave no spare (no scene holds
        // more than 35 lights, so the buffer keeps room for 2,073 entries).
        if (scene.crowd == kEveryLayer)
            for (int32_t j = 0; j < 33; ++j) run(-1, v.depth);
        const BatchRecorder ours = frame();
        BatchRecorder plain;
        reference.run(ordered, {sys.volume_min, sys.volume_max, sys.depth, sys.cell_size}, plain);
        return ours.same_as(plain);
    };
    for (const Volume& v : volumes) {
        std::set<int32_t> edges{0, v.depth - 1};
        for (int32_t w = 256; w <= v.depth; w += 256) edges.insert({w - 1, w});
        for (int32_t edge : edges)
            for (int32_t e = edge - 1; e <= edge + 1; ++e)
                for (const Scene& scene : scenes)
                    ASSERT_TRUE(matches(v, e, scene))
                        << "depth " << v.depth << ", edge " << e << ", scene " << &scene - scenes;
    }
}

// Lights of radius 0 on a layer's plane in deep volumes, where their height
// in layers rounds off that layer in float (83,886.125 x 100 to one layer
// below, 3,145,731.25 / 0.3 to two above), which they miss: their runs are
// found by walking from the estimate towards them.
TEST_F(Batching, ARunOffItsEstimatedLayerIsFound) {
    struct Case {
        int32_t layer;
        float cell;
    };
    for (const Case c : {Case{8388613, 0.01f}, Case{10485770, 0.3f}}) {
        configure(4, c.layer + 8, c.cell, 0);
        sys.clear_point_lights();
        add({c.cell, c.cell, layer_height(c.layer, c.cell, 0.0f)}, 0.0f);
        place();
        sys.collect_visible_lights();
        ASSERT_EQ(sys.visible_lights.size(), 1u);
        sys.plan_batches();
        struct Entries final : BatchConsumer {
            void begin_layer(int32_t l) override {
                current = l;
                ++layers;
            }
            void flush_batch(const float* info, const float*, int32_t n) override {
                for (int32_t k = 0; k < n; ++k) found.push_back({current, info[3 * k]});
            }
            int32_t current = -1;
            int32_t layers = 0;
            std::vector<std::pair<int32_t, float>> found;
        } out;
        sys.emit_batches(out);
        sys.visible_lights.clear();
        EXPECT_EQ(out.layers, c.layer + 8);
        EXPECT_EQ(out.found, (std::vector<std::pair<int32_t, float>>{{c.layer, 0.0f}})) << c.layer;
    }
}

// 87,381 lights each reaching all 16,384 layers of a one-texel-wide volume:
// 1.43e9 entries, 4.3e9 floats per array, more than 32 bits can count. The
// planner's storage stays within 32 bytes per light and 64 KiB, and the layers
// come out whole (the first three are checked, then the frame is cut short).
TEST_F(Batching, EntriesBeyondThirtyTwoBitsNeverFormASize) {
    configure(1, 16384, 1.0f, 0);
    const int count = 87381;
    for (int i = 0; i < count; ++i) add({0.5f, 0.5f, 8192.0f}, 1e5f, {1, 0, 0});
    place();
    sys.collect_visible_lights();
    ASSERT_EQ(sys.visible_lights.size(), static_cast<size_t>(count));
    sys.plan_batches();
    EXPECT_LE(sys.batch_planner_bytes(), 32u * count + 65536u);

    struct FirstLayers final : BatchConsumer {
        void begin_layer(int32_t layer) override {
            if (layer == 3) throw std::runtime_error("enough");
            current = layer;
        }
        void flush_batch(const float* info, const float*, int32_t n) override {
            sizes.push_back(n);
            for (int32_t k = 0; k < n; ++k) {
                const float dz = 8192.0f - static_cast<float>(current);
                ok = ok && info[3 * k] == std::sqrt(1e10f - dz * dz) && info[3 * k + 1] == 0.5f;
            }
        }
        int32_t current = -1;
        bool ok = true;
        std::vector<int32_t> sizes;
    } out;
    EXPECT_THROW(sys.emit_batches(out), std::runtime_error);
    sys.visible_lights.clear();
    EXPECT_TRUE(out.ok);
    std::vector<int32_t> layer(873, 100);
    layer.push_back(81);
    std::vector<int32_t> expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), layer.begin(), layer.end());
    EXPECT_EQ(out.sizes, expected);
}

// The deepest volume a 32-bit depth allows: runs are found at both ends
// without overflow (the sanitizer build checks), and the lowest layers come
// out as the plain test gives them.
TEST_F(Batching, TheDeepestVolumePlansWithoutOverflow) {
    configure(1, INT32_MAX, 1.0f, 0);
    add({0.5f, 0.5f, 1}, 1.5f);
    add({0.5f, 0.5f, 2.1e9f}, 1e6f);  // near the top, far from every estimate
    add({0.5f, 0.5f, 3e9f}, 1e9f);    // above the top, reaching into it
    place();
    sys.collect_visible_lights();
    sys.plan_batches();
    struct Bottom final : BatchConsumer {
        void begin_layer(int32_t layer) override {
            if (layer == 4) throw std::runtime_error("enough");
        }
        void flush_batch(const float* info, const float*, int32_t n) override {
            chords.push_back(n == 1 ? info[0] : -1);
        }
        std::vector<float> chords;
    } out;
    EXPECT_THROW(sys.emit_batches(out), std::runtime_error);
    sys.visible_lights.clear();
    EXPECT_EQ(out.chords, (std::vector<float>{std::sqrt(1.25f), 1.5f, std::sqrt(1.25f)}));
}

// Storage sizes are computed so that they cannot wrap: in 32-bit arithmetic
// (as on the 32-bit DLL) a size past the type's range is refused, and a count
// an array cannot hold is std::bad_alloc, never a shorter array.
template <typename T>
struct SmallAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = SmallAllocator<U>;
    };
    SmallAllocator() = default;
    template <typename U>
    SmallAllocator(const SmallAllocator<U>&) {}
    size_t max_size() const { return 1000; }
};

TEST(BatchStorage, SizesPastTheirTypeAreRefusedNotWrapped) {
    using Size32 = uint32_t;
    const Size32 max32 = std::numeric_limits<Size32>::max();
    // 6 x (2,048 + 5/6 x 2^32) wraps a 32-bit size; 64 bits hold it.
    EXPECT_EQ(LayerBatcher::window_floats<Size32>(max32, max32), 0u);
    EXPECT_GT(LayerBatcher::window_floats<uint64_t>(max32, std::numeric_limits<uint64_t>::max()),
              uint64_t{max32});
    // The largest count that fits is given exactly; one step more is refused.
    EXPECT_EQ(LayerBatcher::window_floats<Size32>(6, 6 * 2053 + 2), 6u * 2053 + 2);
    EXPECT_EQ(LayerBatcher::window_floats<Size32>(12, 6 * 2053 + 2), 0u);
    EXPECT_EQ(LayerBatcher::window_floats<Size32>(0, 1), 0u);
    // A largest 32-bit request: (2^32 - 1 - 2) / 6 entries at most.
    const Size32 lights = ((max32 - 2) / 6 - 2048) / 5 * 6;
    const Size32 floats = LayerBatcher::window_floats<Size32>(lights, max32);
    EXPECT_NE(floats, 0u);
    EXPECT_LE(floats, max32);
    EXPECT_EQ(floats % 6, 2u);

    std::vector<int, SmallAllocator<int>> array(10, 7);
    EXPECT_THROW(size_for_lights(array, 1001, 1001), std::bad_alloc);
    EXPECT_EQ(array.size(), 10u);
    size_for_lights(array, 1000, 5000);  // room beyond the limit: exactly the count
    EXPECT_EQ(array.size(), 1000u);
    EXPECT_EQ(array.capacity(), 1000u);
}

}  // namespace
