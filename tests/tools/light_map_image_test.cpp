// What the module draws, read back from the software device's rasterizer as
// a host reads it: discs, blending, strips and culling.
#include "host_test_support.h"

namespace {

using namespace tools_test;

// Every picture through the compiled effect and through the built-in shaders.
class LightMapImage : public HostTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        HostTest::SetUp();
        builtin_shaders = GetParam();
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, LightMapImage, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "BuiltInShaders" : "Effect");
                         });

TEST_P(LightMapImage, OneLightIsAFadingDiscInEveryLayerItReaches) {
    // Unit and half cells, the light between layers and on one.
    struct Case {
        float cell;
        int32_t base_layer;
        Vec3 position;
        float radius;
    };
    const Case cases[] = {{1.0f, 0, {7, 5, 3.5f}, 3.2f},
                          {0.5f, -4, {3, 2.5f, -1}, 1.6f},
                          {0.25f, 2, {2, 1.5f, 1.0f}, 0.9f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cell " << c.cell);
        start(16, 12, 8, c.cell, c.base_layer);
        add(c.position, c.radius, {1.0f, 0.5f, 0.25f});
        const LightMapReadback map = render(frame_at(0, 0, 16, 12, c.cell));
        const LightMapInfo& info = host->info();
        EXPECT_EQ(compare_with_discs(map, info, lights, width, depth, cell), "");

        // The centre texel holds the full colour in every layer the disc
        // covers it; layers out of reach stay black.
        const int32_t ci = static_cast<int32_t>(std::lround((c.position.x - info.origin.x) / cell));
        const int32_t cj = static_cast<int32_t>(std::lround((info.origin.y - c.position.y) / cell));
        int lit_layers = 0;
        for (int32_t layer = 0; layer < depth; ++layer) {
            const float z = info.origin.z + static_cast<float>(layer) * cell;
            const uint32_t centre = texel_at(map, width, layer, ci, cj);
            if (chord_in_layer(lights[0], z) > cell) {
                EXPECT_EQ(centre, 0xFF8040u) << "layer " << layer;
                ++lit_layers;
            } else if (chord_in_layer(lights[0], z) == 0.0f) {
                for (int32_t j = 0; j < height; ++j)
                    for (int32_t i = 0; i < width; ++i)
                        ASSERT_EQ(texel_at(map, width, layer, i, j), 0u) << "layer " << layer;
            }
        }
        EXPECT_GE(lit_layers, 3);
        TearDown();
        lights.clear();
    }
}

TEST_P(LightMapImage, OverlappingLightsKeepTheLargerValuePerChannel) {
    start(16, 16, 2, 1.0f, 0);
    add({6, 8, 0}, 5, {0.8f, 0.3f, 0.0f});
    add({10, 8, 0}, 5, {0.4f, 0.6f, 0.2f});
    const LightMapReadback map = render(frame_at(0, 0, 16, 16, 1.0f));
    ASSERT_EQ(host->info().origin.x, 0.0f);
    ASSERT_EQ(host->info().origin.y, 16.0f);
    EXPECT_EQ(compare_with_discs(map, host->info(), lights, width, depth, cell), "");
    // Half way between the centres each light gives 1 - 2 / 5 = 0.6 of its
    // colour, (0.48, 0.18, 0) and (0.24, 0.36, 0.12): the maximum is
    // (0.48, 0.36, 0.12), where a sum would read (0.72, 0.54, 0.12).
    EXPECT_EQ(texel_at(map, width, 0, 8, 8), rgb_bytes(0.48f, 0.36f, 0.12f));
    // At the first centre the second light still gives the larger blue.
    EXPECT_EQ(texel_at(map, width, 0, 6, 8), rgb_bytes(0.8f, 0.3f, 0.2f * 0.2f));
    EXPECT_EQ(texel_at(map, width, 0, 10, 8), rgb_bytes(0.4f, 0.6f, 0.2f));
}

TEST_P(LightMapImage, EveryLayerStaysInItsOwnStrip) {
    // Discs centred on the first and the last column reach well past the
    // layer's edges; the viewport must cut them at the strip's border.
    start(12, 10, 4, 1.0f, 0);
    add({0, 5, 1}, 4.5f, {1, 0, 0});
    add({11, 4, 2}, 4.5f, {0, 0, 1});
    const LightMapReadback map = render(frame_at(0, 0, 12, 10, 1.0f));
    ASSERT_EQ(host->info().origin.x, 0.0f);
    EXPECT_EQ(compare_with_discs(map, host->info(), lights, width, depth, cell), "");
    for (int32_t layer = 0; layer < depth; ++layer) {
        // The red disc's centre column is lit in every layer; the column left
        // of it belongs to the previous layer's strip and has no red, and the
        // blue disc leaves no blue in the next strip's first columns.
        EXPECT_NE(texel_at(map, width, layer, 0, 5) & 0xFF0000u, 0u) << layer;
        EXPECT_NE(texel_at(map, width, layer, 11, 6) & 0x0000FFu, 0u) << layer;
        for (int32_t j = 0; j < height; ++j) {
            for (int32_t i = 0; i < 3; ++i)
                EXPECT_EQ(texel_at(map, width, layer, i, j) & 0x0000FFu, 0u)
                    << "blue in layer " << layer << " column " << i;
            for (int32_t i = width - 3; i < width; ++i)
                EXPECT_EQ(texel_at(map, width, layer, i, j) & 0xFF0000u, 0u)
                    << "red in layer " << layer << " column " << i;
        }
    }
}

// The host's callback turns the module's CCW culling into CW culling: the
// light quads, wound clockwise on screen, are then discarded.
int32_t set_state_culling_clockwise(int32_t state, int32_t value) {
    if (state == D3DRS_CULLMODE && value == D3DCULL_CCW) value = D3DCULL_CW;
    ModuleHost::current_device()->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state),
                                                 static_cast<DWORD>(value));
    return 0;
}

int32_t set_state_culling_none(int32_t state, int32_t value) {
    if (state == D3DRS_CULLMODE) value = D3DCULL_NONE;
    ModuleHost::current_device()->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state),
                                                 static_cast<DWORD>(value));
    return 0;
}

TEST_P(LightMapImage, LightQuadsFaceTheCameraAndCounterClockwiseOnesAreCulled) {
    auto lit_texels = [&](RenderStateCallback callback) {
        start(8, 8, 2, 1.0f, 0, callback);
        add({4, 4, 0}, 3, {1, 1, 1});
        const LightMapReadback map = render(frame_at(0, 0, 8, 8, 1.0f));
        const int lit = static_cast<int>(std::count_if(
            map.texels.begin(), map.texels.end(), [](uint32_t t) { return (t & 0xFFFFFFu) != 0; }));
        TearDown();
        lights.clear();
        return lit;
    };
    const int normal = lit_texels(nullptr);
    EXPECT_GT(normal, 20);
    EXPECT_EQ(lit_texels(set_state_culling_none), normal);
    EXPECT_EQ(lit_texels(set_state_culling_clockwise), 0);
}

TEST_P(LightMapImage, EachFrameRedrawsTheWholeMap) {
    // A moving light leaves no trail; a disabled system keeps the last frame.
    start(16, 8, 1, 1.0f, 0);
    IPointLight* l = add({4, 4, 0}, 3, {0, 1, 0});
    render(frame_at(0, 0, 16, 8, 1.0f));
    const Vec3 moved{12, 4, 0};
    l->set_position(&moved);
    lights[0].position = moved;
    const LightMapReadback map = render(frame_at(0, 0, 16, 8, 1.0f));
    EXPECT_EQ(compare_with_discs(map, host->info(), lights, width, depth, cell), "");
    host->system().set_enabled(false);
    const LightMapReadback kept = render(frame_at(4, 0, 16, 8, 1.0f));
    EXPECT_EQ(kept.texels, map.texels);
}

}  // namespace
