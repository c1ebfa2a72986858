#include "lighting/lighting_system.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <new>

#include "support/batch_recorder.h"
#include "support/counting_allocator.h"

namespace {

TEST(LightingSystem, NewObjectState) {
    ILightingSystem* sys = create_ILightingSystem();
    EXPECT_TRUE(sys->is_enabled());
    const LightMapInfo* info = sys->get_light_map();
    const LightMapInfo zero{};
    EXPECT_EQ(0, std::memcmp(info, &zero, sizeof zero));
    EXPECT_EQ(static_cast<LightingSystem*>(sys)->lights.size(), 0u);
    sys->release();
}

TEST(LightingSystem, SetVolumeClampsSizesAndCellSize) {
    LightingSystem sys;
    sys.set_volume(0, -3, 1, 0.0f);
    EXPECT_EQ(sys.width, 1);
    EXPECT_EQ(sys.height, 1);
    EXPECT_EQ(sys.depth, 1);
    EXPECT_EQ(sys.cell_size, 0.01f);
    sys.set_volume(2, 2, 2, NAN);
    EXPECT_EQ(sys.width, 2);
    EXPECT_EQ(sys.depth, 2);
    EXPECT_EQ(sys.cell_size, 0.01f);
    sys.set_volume(4, 8, 3, 0.5f);
    EXPECT_EQ(sys.cell_size, 0.5f);
    // The float nearest 0.01 lies below the double 0.01, so it is raised to
    // itself; the next float up is kept.
    sys.set_volume(1, 1, 1, 0.01f);
    EXPECT_EQ(sys.cell_size, 0.01f);
    const float above = std::nextafter(0.01f, 1.0f);
    sys.set_volume(1, 1, 1, above);
    EXPECT_EQ(sys.cell_size, above);
    sys.set_volume(1, 1, 1, -INFINITY);
    EXPECT_EQ(sys.cell_size, 0.01f);
}

TEST(LightingSystem, BaseLayerAndEnabledAreStoredAsGiven) {
    LightingSystem sys;
    sys.set_base_layer(-2);
    EXPECT_EQ(sys.base_layer, -2);
    sys.set_enabled(false);
    EXPECT_FALSE(sys.is_enabled());
    const LightMapInfo* before = sys.get_light_map();
    sys.set_volume(3, 3, 3, 1);
    EXPECT_EQ(before, sys.get_light_map());
}

TEST(LightingSystem, DestroyFreesOnlyLiveLightsOfThisSystem) {
    LightingSystem a, b;
    IPointLight* la = a.create_point_light();
    IPointLight* lb = b.create_point_light();
    a.destroy_point_light(nullptr);
    a.destroy_point_light(lb);  // foreign
    PointLight on_stack;
    a.destroy_point_light(&on_stack);
    EXPECT_EQ(a.lights.size(), 1u);
    EXPECT_EQ(b.lights.size(), 1u);
    a.destroy_point_light(reinterpret_cast<IPointLight*>(reinterpret_cast<char*>(la) + 4));
    EXPECT_EQ(a.lights.size(), 1u);  // an address inside a light
    a.destroy_point_light(la);
    a.destroy_point_light(la);  // stale
    EXPECT_EQ(a.lights.size(), 0u);
    // A freed slot goes to the next light made: the stale pointer then names
    // that live light, and destroying it destroys the new light.
    IPointLight* reused = a.create_point_light();
    EXPECT_EQ(reused, la);
    a.destroy_point_light(la);
    EXPECT_EQ(a.lights.size(), 0u);
    a.clear_point_lights();
    b.clear_point_lights();
    b.destroy_point_light(lb);  // cleared
    EXPECT_EQ(b.lights.size(), 0u);
    // The store is usable after all of it.
    IPointLight* again = a.create_point_light();
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(a.lights.size(), 1u);
}

TEST(LightingSystem, FailedLightCreationAddsNothing) {
    LightingSystem sys;
    for (int i = 0; i < 256; ++i) sys.create_point_light();  // fill the first block
    alloc_probe::start();
    alloc_probe::fail_at(1);
    EXPECT_THROW(sys.create_point_light(), std::bad_alloc);
    alloc_probe::stop();
    EXPECT_EQ(sys.lights.size(), 256u);
    EXPECT_NE(sys.create_point_light(), nullptr);
    EXPECT_EQ(sys.lights.size(), 257u);
}

class NullConsumer final : public BatchConsumer {
public:
    void begin_layer(int32_t) override {}
    void flush_batch(const float*, const float*, int32_t n) override { drawn += n; }
    int drawn = 0;
};

TEST(LightingSystem, SteadyStateFrameAllocatesNothing) {
    LightingSystem sys;
    sys.set_volume(32, 32, 16, 1);
    sys.set_base_layer(0);
    for (int i = 0; i < 700; ++i) {
        IPointLight* l = sys.create_point_light();
        const Vec3 p{float(i % 32), float(i / 32 % 32), float(i % 16)};
        l->set_position(&p);
        l->set_radius(1.5f);
    }
    auto frame = [&](float shift) {
        const float movement[2] = {1, -1};
        sys.place_volume({16 + shift, 16, 0}, movement, {shift, 0, 0}, {32 + shift, 32, 0});
        sys.collect_visible_lights();
        NullConsumer out;
        sys.batch_layers(out);
        sys.visible_lights.clear();
        return out.drawn;
    };
    frame(0);  // grows the working storage to its largest size
    frame(1);
    alloc_probe::Scope scope;
    int drawn = 0;
    for (int f = 0; f < 10; ++f) drawn += frame(static_cast<float>(f % 2));
    EXPECT_GT(drawn, 0);
    EXPECT_EQ(scope.count(), 0u);
}

}  // namespace
