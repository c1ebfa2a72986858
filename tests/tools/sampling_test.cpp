// Sampling the light map through LightMapInfo: on hand-made texels, and on
// what the module draws.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host_test_support.h"
#include "tools/sampling/light_sampler.h"

namespace {

using lightvol_sampling::LightMapPixels;
using lightvol_sampling::LightSampler;
using lightvol_sampling::Rgb;
using lightvol_sampling::TexelPosition;
using namespace tools_test;

// The record the module fills for a volume whose minimum corner is vmin.
LightMapInfo info_for(Vec3 vmin, int32_t width, int32_t height, int32_t depth, float cell) {
    const float wx = static_cast<float>(width) * cell;
    const float wy = static_cast<float>(height) * cell;
    LightMapInfo info{};
    info.layer_step[0] = -1.0f / static_cast<float>(depth);
    info.scale = {-1.0f / wx / static_cast<float>(depth), 1.0f / wy, -1.0f / cell};
    info.origin = {vmin.x, vmin.y + 1.0f / info.scale.y, vmin.z};
    return info;
}

// 4 x 3 texels per layer, 2 layers. Every texel's red holds its column
// within the layer x 10 + row, green its layer x 100; the first column of
// layer 1 and the last of layer 0 carry blue 255, so that any reach across
// the border between them shows.
class SamplerOnKnownTexels : public ::testing::Test {
protected:
    void SetUp() override {
        texels.resize(8 * 3);
        for (int32_t layer = 0; layer < 2; ++layer)
            for (int32_t j = 0; j < 3; ++j)
                for (int32_t i = 0; i < 4; ++i) {
                    const bool border = (layer == 0 && i == 3) || (layer == 1 && i == 0);
                    texels[j * 8 + layer * 4 + i] =
                        0xFF000000u | static_cast<uint32_t>(i * 10 + j) << 16 |
                        static_cast<uint32_t>(layer * 100) << 8 | (border ? 0xFFu : 0u);
                }
    }
    LightSampler sampler() const { return LightSampler(info, {texels.data(), 8, 3, 8 * 4}); }
    static float byte(float v) { return v * 255.0f; }

    std::vector<uint32_t> texels;
    // Volume from (10, 20, 5), cells of 2: texel (i, j) of layer L holds the
    // light at (10 + 2 i, 26 - 2 j, 5 + 2 L).
    LightMapInfo info = info_for({10, 20, 5}, 4, 3, 2, 2.0f);
};

TEST_F(SamplerOnKnownTexels, TexelValuesSitAtTheCellsMinimumCorner) {
    const LightSampler s = sampler();
    ASSERT_TRUE(s.valid());
    EXPECT_EQ(s.depth(), 2);
    EXPECT_EQ(s.layer_width(), 4);
    for (int32_t layer = 0; layer < 2; ++layer)
        for (int32_t j = 0; j < 3; ++j)
            for (int32_t i = 0; i < 4; ++i) {
                const Vec3 p{10.0f + 2.0f * i, 26.0f - 2.0f * j, 5.0f + 2.0f * layer};
                const Rgb c = s.sample(p);
                EXPECT_NEAR(byte(c.r), i * 10 + j, 1e-3) << i << "," << j << "," << layer;
                EXPECT_NEAR(byte(c.g), layer * 100, 1e-3);
            }
}

TEST_F(SamplerOnKnownTexels, BilinearInALayerLinearBetweenLayers) {
    const LightSampler s = sampler();
    // A quarter of the way from column 1 to 2 and half way from row 0 to 1.
    Rgb c = s.sample({12.5f, 25.0f, 5.0f});
    EXPECT_NEAR(byte(c.r), 12.5f + 0.5f, 1e-3);  // 10 * 1.25 + 0.5
    // A quarter of the way from layer 0 to layer 1.
    c = s.sample({12.0f, 26.0f, 5.5f});
    EXPECT_NEAR(byte(c.r), 10, 1e-3);
    EXPECT_NEAR(byte(c.g), 25, 1e-3);
    // Below the lowest and above the highest layer: clamped.
    EXPECT_NEAR(byte(s.sample({12.0f, 26.0f, -40.0f}).g), 0, 1e-3);
    EXPECT_NEAR(byte(s.sample({12.0f, 26.0f, 40.0f}).g), 100, 1e-3);
}

TEST_F(SamplerOnKnownTexels, NothingComesFromANeighbouringStrip) {
    const LightSampler s = sampler();
    // Past layer 0's last column (x = 16) and before layer 1's first: the
    // edge column alone, never a blend with the next strip's first texel.
    for (float x : {16.0f, 16.9f, 17.999f, 30.0f}) {
        const Rgb c = s.sample({x, 26.0f, 5.0f});
        EXPECT_NEAR(byte(c.r), 30, 1e-3) << x;
        EXPECT_NEAR(byte(c.g), 0, 1e-3) << x;  // layer 1 has green 100
        EXPECT_NEAR(byte(c.b), 255, 1e-3) << x;
    }
    // Left of layer 1's first column: that column, not layer 0's last.
    const Rgb c = s.sample({9.0f, 26.0f, 7.0f});
    EXPECT_NEAR(byte(c.r), 0, 1e-3);
    EXPECT_NEAR(byte(c.g), 100, 1e-3);
    // Between columns 2 and 3 of layer 0 the border's blue comes in as a blend.
    EXPECT_NEAR(byte(s.sample({15.0f, 26.0f, 5.0f}).b), 127.5f, 1e-3);
    // Above the top row and below the bottom row: clamped to them.
    EXPECT_NEAR(byte(s.sample({10.0f, 90.0f, 5.0f}).r), 0, 1e-3);
    EXPECT_NEAR(byte(s.sample({10.0f, -90.0f, 5.0f}).r), 2, 1e-3);
}

TEST_F(SamplerOnKnownTexels, UnfilledRecordsAndOddPointsGiveBlackOrAnEdge) {
    // Before the first render every float of the record is zero.
    const LightSampler empty(LightMapInfo{}, {texels.data(), 8, 3, 32});
    EXPECT_FALSE(empty.valid());
    EXPECT_EQ(empty.sample({12, 26, 5}).r, 0.0f);
    // A record for three layers does not fit an 8-texel-wide map.
    EXPECT_FALSE(LightSampler(info_for({0, 0, 0}, 4, 3, 3, 1), {texels.data(), 8, 3, 32}).valid());
    // Not-a-number points read an edge texel rather than anything undefined.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Rgb c = sampler().sample({nan, nan, nan});
    EXPECT_TRUE(std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b));
}

// docs/sampling.hlsl reads its registers where docs/integration.md's host code
// (light_frame) binds them: the light map on stage kLightMapStage, and each
// constant in the row of the host's constants[16] that holds it, counted
// from kLightConstants.
TEST(ShippedSampler, TheGuidesHostCodeBindsTheFilesRegisters) {
    auto read = [](const char* name) {
        std::ifstream in(std::string(LIGHTVOL_DOCS_DIR) + "/" + name);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    const std::string hlsl = read("sampling.hlsl");
    const std::string guide = read("integration.md");
    ASSERT_FALSE(hlsl.empty());
    ASSERT_FALSE(guide.empty());

    // The register each variable is declared in, through its macro's default:
    // "#define LIGHTVOL_..._REGISTER c20" and "float2 name : register(LIGHTVOL_..._REGISTER);".
    std::map<std::string, std::string> defaults, registers;
    std::istringstream lines(hlsl);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first, second, third, fourth;
        words >> first >> second >> third >> fourth;
        if (first == "#define" && second.rfind("LIGHTVOL_", 0) == 0) defaults[second] = third;
        const std::string open = "register(";
        if (third == ":" && fourth.rfind(open, 0) == 0)
            registers[second] = defaults[fourth.substr(open.size(), fourth.find(')') - open.size())];
    }

    // The host's stage, first constant register and the four rows of its constants.
    auto number_after = [&](const std::string& text) {
        const size_t at = guide.find(text);
        return at == std::string::npos ? -1 : std::stoi(guide.substr(at + text.size()));
    };
    const int stage = number_after("kLightMapStage = ");
    const int first_constant = number_after("kLightConstants = ");
    ASSERT_GE(stage, 0);
    ASSERT_GE(first_constant, 0);
    std::vector<std::string> rows;
    const std::string table = "constants[16] = {\n";
    const size_t at = guide.find(table);
    ASSERT_NE(at, std::string::npos);
    std::istringstream block(guide.substr(at + table.size()));
    for (std::string row; rows.size() < 4 && std::getline(block, row);) rows.push_back(row);

    struct Expected {
        const char* variable;
        const char* host_row;  // what the host's row holds, or null for the sampler
    };
    const Expected expected[] = {{"light_map", nullptr},
                                 {"light_layer_step", "info->layer_step[0]"},
                                 {"light_origin", "info->origin.x"},
                                 {"light_scale", "info->scale.x"},
                                 {"light_map_size", "1 / w"}};
    EXPECT_EQ(registers.size(), 5u);
    for (const Expected& e : expected) {
        std::string bound = "s" + std::to_string(stage);
        if (e.host_row) {
            const auto row = std::find_if(rows.begin(), rows.end(), [&](const std::string& r) {
                return r.find(e.host_row) != std::string::npos;
            });
            ASSERT_NE(row, rows.end()) << e.host_row;
            bound = "c" + std::to_string(first_constant + (row - rows.begin()));
        }
        EXPECT_EQ(registers[e.variable], bound) << e.variable;
    }
}

// On the module's own light maps: a light centred on a texel reads back its
// colour at its centre, whatever the cell size, base layer and focus.
class SamplingThroughTheModule : public HostTest {};

TEST_F(SamplingThroughTheModule, ALightsCentreReadsItsColour) {
    struct Case {
        float cell;
        int32_t base_layer;
    };
    for (const Case& c : {Case{1.0f, 0}, Case{0.5f, -6}, Case{0.25f, -1}, Case{2.0f, 3}}) {
        SCOPED_TRACE(testing::Message() << "cell " << c.cell << ", base layer " << c.base_layer);
        const float cell = c.cell;
        start(24, 20, 6, cell, c.base_layer);
        // On the world grid: x and y whole cells, z on a layer's plane;
        // far enough apart that no disc reaches another light's centre.
        const float z0 = static_cast<float>(c.base_layer) * cell;
        const Vec3 colors[3] = {{1.0f, 0.5f, 0.25f}, {0.2f, 0.9f, 0.4f}, {0.6f, 0.3f, 1.0f}};
        const Vec3 centres[3] = {{9 * cell, 8 * cell, z0 + 1 * cell},
                                 {17 * cell, 13 * cell, z0 + 4 * cell},
                                 {12 * cell, 17 * cell, z0 + 2 * cell}};
        for (int k = 0; k < 3; ++k) add(centres[k], 3.5f * cell, colors[k]);

        // A focus that moves both ways by fractions of a cell; the requested
        // box is larger than the volume, so it is also scaled about the focus.
        for (int step = 0; step < 5; ++step) {
            SceneFrame f;
            const float t = static_cast<float>(step);
            f.focus = {(13.3f + 0.7f * t) * cell, (12.6f - 0.45f * t) * cell, 0};
            f.movement[0] = 1;
            f.movement[1] = -1;
            f.box_min = {f.focus.x - 14 * cell, f.focus.y - 9 * cell, 0};
            f.box_max = {f.focus.x + 16 * cell, f.focus.y + 16 * cell, 0};
            const LightMapReadback map = render(f);
            const LightSampler sampler(host->info(), map.pixels());
            ASSERT_TRUE(sampler.valid());
            for (int k = 0; k < 3; ++k) {
                const Rgb got = sampler.sample(centres[k]);
                EXPECT_NEAR(got.r, colors[k].x, 2.0f / 255) << "light " << k << ", frame " << step;
                EXPECT_NEAR(got.g, colors[k].y, 2.0f / 255) << "light " << k << ", frame " << step;
                EXPECT_NEAR(got.b, colors[k].z, 2.0f / 255) << "light " << k << ", frame " << step;
            }
            // Half a cell to the side the light has faded by half a cell's worth.
            const float radius = 3.5f * cell;
            const Rgb side =
                sampler.sample({centres[0].x + 0.5f * cell, centres[0].y, centres[0].z});
            EXPECT_NEAR(side.r, 1.0f - 0.5f * cell / radius, 2.0f / 255);
        }
        TearDown();
        lights.clear();
    }
}

// The worked numbers of docs/integration.md, through the public interface.
TEST_F(SamplingThroughTheModule, TheIntegrationGuidesPlacementExamples) {
    struct Case {
        SceneFrame frame;
        Vec3 origin;
        Vec3 point;  // a world point, and its column, row and layer
        Vec3 texel;
    };
    // set_volume(8, 8, 4, 0.5), base layer -1: scaled by 0.5 about the focus
    // in x, then snapped down (movement +x); y keeps its size, and its
    // maximum edge, already on the grid, goes up a cell.
    start(8, 8, 4, 0.5f, -1);
    const Case example{{{3.25f, 1.75f, 0.8f}, {1, 0}, {0, 0, 0}, {8, 4, 0}},
                       {1.5f, 4.5f, -0.5f},
                       {3.5f, 2.5f, 0},
                       {4, 4, 1}};
    // set_volume(32, 24, 6, 0.5) and a 16 x 12 room's own box: with no
    // movement both maximum edges go up a cell; moving towards +x and +y the
    // box stays; a focus far outside the box changes nothing, as a box of
    // the volume's size is not scaled.
    const Case room[] = {
        {{{8, 6, 0}, {0, 0}, {0, 0, 0}, {16, 12, 0}}, {0.5f, 12.5f, 0}, {16, 1, 0}, {31, 23, 0}},
        {{{8, 6, 0}, {1, 1}, {0, 0, 0}, {16, 12, 0}}, {0, 12, 0}, {0, 12, 0}, {0, 0, 0}},
        {{{20, 6, 0}, {0, 0}, {0, 0, 0}, {16, 12, 0}},
         {0.5f, 12.5f, 0},
         {0.5f, 12.5f, 0},
         {0, 0, 0}},
    };
    auto check = [&](const Case& c, Vec3 scale, float step) {
        const LightMapReadback map = render(c.frame);
        const LightMapInfo& info = host->info();
        EXPECT_EQ(info.layer_step[0], step);
        EXPECT_EQ(info.layer_step[1], 0.0f);
        EXPECT_EQ(info.origin.x, c.origin.x);
        EXPECT_EQ(info.origin.y, c.origin.y);
        EXPECT_EQ(info.origin.z, c.origin.z);
        EXPECT_EQ(info.scale.x, scale.x);
        EXPECT_EQ(info.scale.y, scale.y);
        EXPECT_EQ(info.scale.z, scale.z);
        const TexelPosition at = LightSampler(info, map.pixels()).locate(c.point);
        EXPECT_FLOAT_EQ(at.x, c.texel.x);
        EXPECT_FLOAT_EQ(at.y, c.texel.y);
        EXPECT_FLOAT_EQ(at.layer, c.texel.z);
    };
    check(example, {-0.0625f, 0.25f, -2}, -0.25f);
    TearDown();
    start(32, 24, 6, 0.5f, 0);
    for (const Case& c : room) check(c, {-1.0f / 16 / 6, 1.0f / 12, -2}, -1.0f / 6);
}

// The coverage table of docs/integration.md: with a requested box of the
// volume's size centred on the camera, how many cells of the box lie beyond
// the outermost texel points (columns 0..width-1 from the volume's minimum x,
// rows 0..height-1 down from its maximum y), at most, on each side, for each
// movement; every bound is reached by some camera.
TEST_F(SamplingThroughTheModule, TheTexelPointsCoverTheBoxLessAtMostTheseCells) {
    struct Bound {
        float movement;
        float x_min, x_max, y_min, y_max;
    };
    const Bound bounds[] = {{1, 0, 2, 1, 1}, {0, 1, 1, 2, 0}, {-1, 1, 1, 2, 0}};
    const int32_t w = 8, h = 6;
    const float cell = 0.5f;
    start(w, h, 2, cell, 0);
    std::vector<uint32_t> texels(static_cast<size_t>(w) * 2 * h);
    for (const Bound& b : bounds) {
        float worst[4] = {};
        // Cameras on the grid lines and between them, so that the box's
        // edges lie on negative and non-negative grid lines and off them.
        for (int k = -40; k <= 40; ++k) {
            const float c = static_cast<float>(k) * cell / 8;
            SceneFrame f;
            f.focus = {c, c, 0};
            f.movement[0] = f.movement[1] = b.movement;
            f.box_min = {c - w * cell / 2, c - h * cell / 2, 0};
            f.box_max = {c + w * cell / 2, c + h * cell / 2, 0};
            host->render(f);
            const LightSampler s(host->info(), {texels.data(), w * 2, h, w * 2 * 4});
            const TexelPosition lo = s.locate(f.box_min), hi = s.locate(f.box_max);
            const float lost[4] = {-lo.x, hi.x - static_cast<float>(w - 1),
                                   lo.y - static_cast<float>(h - 1), -hi.y};
            const float bound[4] = {b.x_min, b.x_max, b.y_min, b.y_max};
            for (int side = 0; side < 4; ++side) {
                EXPECT_LE(lost[side], bound[side] + 1e-4f)
                    << "side " << side << ", camera " << c << ", movement " << b.movement;
                worst[side] = std::max(worst[side], lost[side]);
            }
        }
        EXPECT_NEAR(worst[0], b.x_min, 1e-4f) << "movement " << b.movement;
        EXPECT_NEAR(worst[1], b.x_max, 1e-4f) << "movement " << b.movement;
        EXPECT_NEAR(worst[2], b.y_min, 1e-4f) << "movement " << b.movement;
        EXPECT_NEAR(worst[3], b.y_max, 1e-4f) << "movement " << b.movement;
    }
}

TEST_F(SamplingThroughTheModule, TheIntegrationGuidesLightModel) {
    // Radius 1.25 at z = 1.5: the plane z = 2.25 (dz = 0.75) gets a disc of
    // radius 1, full colour at its centre, half at 0.5 from it, 0 at 1; the
    // planes at dz = 1.25 get nothing.
    start(48, 8, 16, 0.25f, 0);
    add({3, 1, 1.5f}, 1.25f, {0.8f, 0.4f, 0});
    const LightMapReadback map = render(frame_at(0, 0, 48, 8, 0.25f));
    const LightSampler sampler(host->info(), map.pixels());
    auto expect = [&](Vec3 p, float r, float g) {
        const Rgb c = sampler.sample(p);
        EXPECT_NEAR(c.r, r, 1.0f / 255) << p.x << ", " << p.z;
        EXPECT_NEAR(c.g, g, 1.0f / 255) << p.x << ", " << p.z;
        EXPECT_EQ(c.b, 0.0f);
    };
    expect({3, 1, 2.25f}, 0.8f, 0.4f);
    expect({3.5f, 1, 2.25f}, 0.4f, 0.2f);
    expect({2.5f, 1, 2.25f}, 0.4f, 0.2f);
    expect({4, 1, 2.25f}, 0, 0);
    // No fall-off with height: the centre has the full colour in every plane
    // the light reaches, and nothing beyond.
    expect({3, 1, 0.5f}, 0.8f, 0.4f);
    expect({3, 1, 2.5f}, 0.8f, 0.4f);
    expect({3, 1, 0.25f}, 0, 0);
    expect({3, 1, 2.75f}, 0, 0);
}

}  // namespace
