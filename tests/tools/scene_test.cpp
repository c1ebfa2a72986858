// Scene files of the preview tool: what a good one means, how a bad one is
// reported, and the tool run end to end.
#include "tools/preview/scene.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/preview/preview.h"

namespace {

using lightvol_preview::parse_scene;
using lightvol_preview::Scene;
namespace fs = std::filesystem;

const char kVolume[] = R"("volume": {"width": 8, "height": 6, "depth": 4, "cell_size": 0.5})";
const char kLight[] = R"({"position": [1, 2, 0.5], "radius": 1.5, "color": [1, 0.5, 0]})";
const char kFrame[] = R"({"focus": [2, 1.5, 0], "box_min": [0, 0, 0], "box_max": [4, 3, 0]})";

std::string scene_text(const std::string& volume = kVolume, const std::string& light = kLight,
                       const std::string& frame = kFrame, const std::string& extra = "") {
    return "{" + volume + R"(, "lights": [)" + light + R"(], "frames": [)" + frame + "]" + extra +
           "}";
}

TEST(SceneFile, AGoodSceneWithItsDefaults) {
    Scene s;
    std::string error;
    ASSERT_TRUE(parse_scene(scene_text(), s, error)) << error;
    EXPECT_EQ(s.width, 8);
    EXPECT_EQ(s.height, 6);
    EXPECT_EQ(s.depth, 4);
    EXPECT_EQ(s.cell_size, 0.5f);
    EXPECT_EQ(s.base_layer, 0);
    EXPECT_EQ(s.view_height, 0.75f);  // the middle of layers 0 to 3, at 0.5 apart
    ASSERT_EQ(s.lights.size(), 1u);
    EXPECT_EQ(s.lights[0].position.z, 0.5f);
    EXPECT_EQ(s.lights[0].radius, 1.5f);
    EXPECT_EQ(s.lights[0].color.y, 0.5f);
    EXPECT_TRUE(s.lights[0].auto_cull);
    EXPECT_TRUE(s.lights[0].visible);
    ASSERT_EQ(s.frames.size(), 1u);
    EXPECT_EQ(s.frames[0].movement[0], 0.0f);
    EXPECT_EQ(s.frames[0].box_max.x, 4.0f);
}

TEST(SceneFile, FramesFollowTheFocus) {
    // box_extent centres the box on each focus; a frame without a box keeps
    // the previous one's; movement defaults to the focus's step.
    const std::string frames =
        R"({"focus": [10, 20, 0], "box_extent": [8, 6]},
           {"focus": [11, 19.5, 3]},
           {"focus": [11, 19.5, 0], "movement": [-1, 0], "box_min": [0, 0, 0], "box_max": [4, 4, 0]},
           {"focus": [12, 19.5, 0]})";
    Scene s;
    std::string error;
    ASSERT_TRUE(parse_scene(
        scene_text(kVolume, kLight, frames, R"(, "view_height": -2, "description": "x")"), s,
        error))
        << error;
    ASSERT_EQ(s.frames.size(), 4u);
    EXPECT_EQ(s.frames[0].box_min.x, 6.0f);
    EXPECT_EQ(s.frames[0].box_max.y, 23.0f);
    EXPECT_EQ(s.frames[1].box_min.x, 7.0f);
    EXPECT_EQ(s.frames[1].box_max.y, 22.5f);
    EXPECT_EQ(s.frames[1].movement[0], 1.0f);
    EXPECT_EQ(s.frames[1].movement[1], -0.5f);
    EXPECT_EQ(s.frames[2].movement[0], -1.0f);
    EXPECT_EQ(s.frames[3].box_max.x, 4.0f);  // the absolute box is kept as it is
    EXPECT_EQ(s.view_height, -2.0f);
    EXPECT_EQ(s.description, "x");
}

TEST(SceneFile, BadScenesNameTheFieldAndTheFault) {
    const std::string v = R"("volume": {"width": 8, "height": 6, "depth": 4, "cell_size": 0.5)";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"{", "not valid JSON: parse error at line 1, column 2"},
        {"[]", "scene: expected an object, got an array"},
        {R"({"lights": [], "frames": []})", "volume: missing"},
        {scene_text(R"("volume": {"width": 8, "height": 6, "depth": 4})"),
         "volume.cell_size: missing"},
        {scene_text(R"("volume": {"width": "8", "height": 6, "depth": 4, "cell_size": 1})"),
         "volume.width: expected an integer, got a string"},
        {scene_text(R"("volume": {"width": 8.5, "height": 6, "depth": 4, "cell_size": 1})"),
         "volume.width: expected an integer, got 8.5"},
        {scene_text(R"("volume": {"width": 8, "height": 0, "depth": 4, "cell_size": 1})"),
         "volume.height: must be at least 1, got 0"},
        {scene_text(R"("volume": {"width": 8, "height": 6, "depth": 5000000000, "cell_size": 1})"),
         "volume.depth: 5000000000 is out of the 32-bit integer range"},
        {scene_text(R"("volume": {"width": 8, "height": 6, "depth": 4, "cell_size": 0.001})"),
         "volume.cell_size: must be at least 0.01, got 0.001"},
        {scene_text(v + R"(, "base_layer": true})"),
         "volume.base_layer: expected an integer, got a boolean"},
        {scene_text(v + R"(, "layers": 3})"), "volume.layers: unknown field"},
        {scene_text(kVolume, R"({"position": [1, 2], "radius": 1, "color": [1, 1, 1]})"),
         "lights[0].position: expected an array of 3 numbers, got an array of 2"},
        {scene_text(kVolume, R"({"position": [1, 2, 3], "radius": "big", "color": [1, 1, 1]})"),
         "lights[0].radius: expected a number, got a string"},
        {scene_text(kVolume, R"({"position": [1, 2, 3], "radius": -1, "color": [1, 1, 1]})"),
         "lights[0].radius: must not be negative, got -1"},
        {scene_text(kVolume, R"({"position": [1, 2, 3], "radius": 1})"),
         "lights[0].color: missing"},
        {scene_text(kVolume, std::string(kLight) + R"(, {"position": [1, 2, 3], "radius": 1,
                                 "color": [1e39, 0, 0]})"),
         "lights[1].color[0]: 1e+39 is not a finite 32-bit float"},
        {scene_text(kVolume, R"({"position": [1, 2, 1e400], "radius": 1, "color": [1, 1, 1]})"),
         "not valid JSON: a number is out of range"},
        {scene_text(kVolume, R"({"position": [1, 2, NaN], "radius": 1, "color": [1, 1, 1]})"),
         "not valid JSON: parse error"},
        {scene_text(kVolume, R"({"position": [1, 2, 3], "radius": 1, "color": [1, 1, 1],
                                 "auto_cull": 1})"),
         "lights[0].auto_cull: expected true or false, got 1"},
        {scene_text(kVolume, R"({"position": [1, 2, 3], "radius": 1, "colour": [1, 1, 1]})"),
         "lights[0].colour: unknown field"},
        {"{" + std::string(kVolume) + R"(, "lights": {}, "frames": []})",
         "lights: expected an array, got an object"},
        {"{" + std::string(kVolume) + R"(, "lights": [], "frames": []})",
         "frames: needs at least one frame"},
        {scene_text(kVolume, kLight, R"({"focus": [0, 0, 0]})"),
         "frames[0]: needs a requested box: box_min and box_max, or box_extent"},
        {scene_text(kVolume, kLight, R"({"box_extent": [2, 2]})"), "frames[0].focus: missing"},
        {scene_text(kVolume, kLight, R"({"focus": [0, 0, 0], "box_min": [0, 0, 0]})"),
         "frames[0].box_max: missing"},
        {scene_text(kVolume, kLight,
                    R"({"focus": [0, 0, 0], "box_min": [0, 0, 0], "box_max": [4, 0, 0]})"),
         "frames[0]: box_max must exceed box_min in x and in y"},
        {scene_text(kVolume, kLight,
                    std::string(kFrame) + R"(, {"focus": [0, 0, 0], "box_extent": [2, 2],
                                               "box_min": [0, 0, 0], "box_max": [1, 1, 1]})"),
         "frames[1]: give either box_min and box_max or box_extent, not both"},
        {scene_text(kVolume, kLight, R"({"focus": [0, 0, 0], "box_extent": [0, 2]})"),
         "frames[0].box_extent: both sides must be greater than 0"},
        {scene_text(kVolume, kLight,
                    R"({"focus": [0, 0, 0], "box_extent": [2, 2], "movement": [1]})"),
         "frames[0].movement: expected an array of 2 numbers, got an array of 1"},
        {scene_text(kVolume, kLight, kFrame, R"(, "view_height": null)"),
         "view_height: expected a number, got null"},
    };
    for (const auto& c : cases) {
        Scene s;
        s.width = 99;
        std::string error;
        EXPECT_FALSE(parse_scene(c.text, s, error)) << c.text;
        EXPECT_EQ(error.substr(0, c.message.size()), c.message) << c.text;
        EXPECT_EQ(s.width, 99) << "a failed parse leaves the scene alone";
    }
}

TEST(SceneFile, SizesTheDeviceRefusesAreReportedWithTheModulesMessage) {
    Scene s;
    std::string error;
    // 8 layers of 2048 texels make a texture wider than the device allows.
    ASSERT_TRUE(parse_scene(scene_text(R"("volume": {"width": 2048, "height": 4, "depth": 8,
                                                    "cell_size": 1})"),
                            s, error))
        << error;
    std::vector<lightvol_preview::PreviewFrame> frames;
    EXPECT_FALSE(lightvol_preview::render_preview(s, {}, frames, error));
    EXPECT_NE(
        error.find(
            "the device refused the light map (8 layers of 2048 x 4 texels, a 16384 x 4 texture)"),
        std::string::npos)
        << error;
    EXPECT_NE(error.find("\"error\": w:16384, h:4, fmt:22, type:1"), std::string::npos) << error;
    EXPECT_TRUE(frames.empty());

    // An atlas width beyond 32 bits.
    ASSERT_TRUE(parse_scene(scene_text(R"("volume": {"width": 1073741824, "height": 4, "depth": 4,
                                                    "cell_size": 1})"),
                            s, error));
    EXPECT_FALSE(lightvol_preview::render_preview(s, {}, frames, error));
    EXPECT_NE(error.find("w:-1, h:4, fmt:22, type:1"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------
// The tool itself
// ---------------------------------------------------------------------------

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class PreviewTool : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("lightvol_preview_test_" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path write(const std::string& name, const std::string& text) {
        const fs::path p = dir / name;
        std::ofstream(p) << text;
        return p;
    }

    ToolRun run(const std::string& args) {
        const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        const std::string command = std::string("'") + LIGHTVOL_PREVIEW_EXE + "' " + args + " >'" +
                                    out.string() + "' 2>'" + err.string() + "'";
        ToolRun r;
        const int status = std::system(command.c_str());
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = read_file(out);
        r.err = read_file(err);
        return r;
    }

    fs::path dir;
};

// Decodes an RGB PNG file.
bool read_png(const fs::path& p, png_image& image, std::vector<uint8_t>& rgb) {
    image = {};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, p.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    rgb.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0;
}

TEST_F(PreviewTool, WritesTheAtlasAndTheViewOfEveryFrame) {
    const fs::path scene = write("lamp.json", R"({
        // comments are allowed
        "volume": {"width": 8, "height": 6, "depth": 3, "cell_size": 1, "base_layer": -1},
        "view_height": 0,
        "lights": [{"position": [3, 2, 0], "radius": 2.5, "color": [1, 0.5, 0]}],
        "frames": [{"focus": [4, 3, 0], "movement": [1, 1], "box_min": [0, 0, 0], "box_max": [8, 6, 0]},
                   {"focus": [5, 3, 0]}]
    })");
    const ToolRun r = run("'" + scene.string() + "' '" + (dir / "out").string() +
                          "' --atlas-scale 2 --view-scale 3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const fs::path out = dir / "out";
    EXPECT_EQ(r.out, (out / "lamp-atlas-000.png").string() + "\n" +
                         (out / "lamp-view-000.png").string() + "\n" +
                         (out / "lamp-atlas-001.png").string() + "\n" +
                         (out / "lamp-view-001.png").string() + "\n");

    png_image image;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(read_png(out / "lamp-atlas-000.png", image, rgb));
    EXPECT_EQ(image.width, 8u * 3 * 2);
    EXPECT_EQ(image.height, 6u * 2);
    // The light sits on layer 1 (z = 0 with base layer -1) at texel (3, 4):
    // full orange in a 2 x 2 block at (2 * (8 + 3), 2 * 4).
    auto pixel = [&](uint32_t x, uint32_t y) {
        const uint8_t* p = &rgb[(y * image.width + x) * 3];
        return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    };
    EXPECT_EQ(pixel(22, 8), 0xFF8000u);
    EXPECT_EQ(pixel(23, 9), 0xFF8000u);
    EXPECT_EQ(pixel(0, 0), 0u);

    ASSERT_TRUE(read_png(out / "lamp-view-000.png", image, rgb));
    EXPECT_EQ(image.width, 8u * 3);
    EXPECT_EQ(image.height, 6u * 3);
    // View pixel (9, 12) is sampled at world (3.1667, 1.8333): near the light.
    EXPECT_GT(pixel(9, 12) >> 16, 0xC0u);
    EXPECT_EQ(pixel(23, 0), 0u);
}

TEST_F(PreviewTool, WritesTheSideViewAndThePlacementDiagramWhenAsked) {
    const fs::path scene = write("lamp.json", R"({
        "volume": {"width": 8, "height": 6, "depth": 3, "cell_size": 1, "base_layer": -1},
        "lights": [{"position": [3, 2, 0], "radius": 2.5, "color": [1, 0.5, 0]}],
        "frames": [{"focus": [4, 3, 0], "movement": [1, 1], "box_min": [0, 0, 0], "box_max": [8, 6, 0]}]
    })");
    const fs::path out = dir / "out";
    const ToolRun r = run("'" + scene.string() + "' '" + out.string() +
                          "' --view-scale 3 --side-y 2 --placement-scale 10");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find((out / "lamp-side-000.png").string()), std::string::npos);
    EXPECT_NE(r.out.find((out / "lamp-placement-000.png").string()), std::string::npos);

    png_image image;
    std::vector<uint8_t> rgb;
    auto pixel = [&](uint32_t x, uint32_t y) {
        const uint8_t* p = &rgb[(y * image.width + x) * 3];
        return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    };
    // x 0..8 across, z 2 (top) down to -1; pixel (8, 5) is sampled at
    // (2.83, 2, 0.17), beside the light's centre.
    ASSERT_TRUE(read_png(out / "lamp-side-000.png", image, rgb));
    EXPECT_EQ(image.width, 8u * 3);
    EXPECT_EQ(image.height, 3u * 3);
    EXPECT_GT(pixel(8, 5) >> 16, 0xC0u);
    EXPECT_EQ(pixel(23, 0), 0u);

    // The world from (-1, -1) to (9, 7) at 10 pixels per cell, 44 pixels of
    // numbers at the left, 20 below, 10 above and at the right; the focus
    // (4, 3) is a red cross.
    ASSERT_TRUE(read_png(out / "lamp-placement-000.png", image, rgb));
    EXPECT_EQ(image.width, 10u * 10 + 44 + 10 + 1);
    EXPECT_EQ(image.height, 8u * 10 + 20 + 10 + 1);
    EXPECT_EQ(pixel(44 + 5 * 10, 10 + 4 * 10), 0xC81919u);
}

TEST_F(PreviewTool, BadInputIsReportedAndNothingIsWritten) {
    const fs::path out = dir / "out";
    struct Case {
        std::string args;
        int status;
        std::string message;
    };
    const fs::path bad =
        write("bad.json", R"({"volume": {"width": 8}, "lights": [], "frames": []})");
    const fs::path refused =
        write("huge.json",
              R"({"volume": {"width": 9000, "height": 2, "depth": 1, "cell_size": 1},
            "lights": [], "frames": [{"focus": [0, 0, 0], "box_extent": [4, 4]}]})");
    const std::string o = " '" + out.string() + "'";
    const Case cases[] = {
        {"'" + bad.string() + "'" + o, 1,
         "lightvol-preview: error: " + bad.string() + ": volume.height: missing\n"},
        {"'" + (dir / "none.json").string() + "'" + o, 1,
         "lightvol-preview: error: " + (dir / "none.json").string() + ": cannot open the file\n"},
        {"'" + refused.string() + "'" + o, 1,
         "lightvol-preview: error: " + refused.string() +
             ": the device refused the light map (1 layer of 9000 x 2 texels, a 9000 x 2 texture)"},
        {"'" + bad.string() + "'", 2,
         "lightvol-preview: expected a scene file and an output folder\n"},
        {"'" + bad.string() + "'" + o + " --atlas-scale 0", 2,
         "lightvol-preview: --atlas-scale needs a whole number from 1 to 4096\n"},
        {"'" + bad.string() + "'" + o + " --frobnicate", 2,
         "lightvol-preview: unknown option '--frobnicate'\n"},
    };
    for (const Case& c : cases) {
        const ToolRun r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_FALSE(fs::exists(out)) << c.args;
    }
    const ToolRun help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: lightvol-preview SCENE.json OUTDIR"), std::string::npos);
}

TEST_F(PreviewTool, TheExampleScenesAreValid) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(LIGHTVOL_EXAMPLES_DIR)) {
        if (entry.path().extension() != ".json") continue;
        Scene s;
        std::string error;
        EXPECT_TRUE(lightvol_preview::load_scene(entry.path().string(), s, error)) << error;
        ++count;
    }
    EXPECT_GE(count, 2);
}

}  // namespace
