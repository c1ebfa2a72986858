// The sample program's scene and screenshot writer: what a CPU rendering of
// its frames relies on.
#include <png.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "examples/lit_room/png_file.h"
#include "examples/lit_room/scene.h"

namespace {

using namespace lit_room;

// A pixel's ray, traced into the room and projected back with the shader's
// matrix, lands on that pixel, for both back-buffer sizes and frames all
// through the test run.
TEST(LitRoomScene, PixelRaysAndTheViewProjectionAgree) {
    int hits = 0;
    for (int frame : {0, kResizeFrame - 1, kResizeFrame, kFrameCount - 1}) {
        const Camera camera = camera_at(frame);
        const Size size = back_buffer_size(frame);
        float m[16];
        view_projection(camera, size.width, size.height, m);
        for (int j = 0; j < size.height; j += 37)
            for (int i = 0; i < size.width; i += 41) {
                Hit hit;
                if (!trace(pixel_ray(camera, size.width, size.height, i, j), &hit)) continue;
                ++hits;
                const float p[4] = {hit.point.x, hit.point.y, hit.point.z, 1.0f};
                float clip[4] = {0, 0, 0, 0};
                for (int c = 0; c < 4; ++c)
                    for (int r = 0; r < 4; ++r) clip[c] += p[r] * m[r * 4 + c];
                const float x = (clip[0] / clip[3] + 1.0f) * 0.5f * static_cast<float>(size.width);
                const float y = (1.0f - clip[1] / clip[3]) * 0.5f * static_cast<float>(size.height);
                EXPECT_NEAR(x, static_cast<float>(i), 0.01f) << "frame " << frame;
                EXPECT_NEAR(y, static_cast<float>(j), 0.01f) << "frame " << frame;
                EXPECT_GT(clip[2] / clip[3], 0.0f);
                EXPECT_LT(clip[2] / clip[3], 1.0f);
                const Box& box = room_boxes()[static_cast<size_t>(hit.box)];
                const float lo[3] = {box.min.x, box.min.y, box.min.z};
                const float hi[3] = {box.max.x, box.max.y, box.max.z};
                const float n[3] = {hit.normal.x, hit.normal.y, hit.normal.z};
                const float at[3] = {hit.point.x, hit.point.y, hit.point.z};
                for (int k = 0; k < 3; ++k) {
                    if (n[k] != 0.0f) {
                        EXPECT_NEAR(at[k], n[k] > 0 ? hi[k] : lo[k], 1e-3f);
                    }
                }
            }
    }
    EXPECT_GT(hits, 100);
}

// Wherever the camera goes, the volume's texel points (the box moved by up
// to a cell, less up to two cells on a side) cover the whole room, and the
// lights stay inside it.
TEST(LitRoomScene, TheVolumeCoversTheRoomAndHoldsTheLights) {
    const float margin = 2.0f * kVolume.cell_size;
    const Box& floor = room_boxes()[0];
    Light lights[kLightCount];
    for (int frame = -1; frame < 1200; frame += 7) {
        const VolumeRequest r = volume_request(frame);
        EXPECT_LE(r.box_min.x + margin, floor.min.x) << frame;
        EXPECT_LE(r.box_min.y + margin, floor.min.y) << frame;
        EXPECT_GE(r.box_max.x - margin, floor.max.x) << frame;
        EXPECT_GE(r.box_max.y - margin, floor.max.y) << frame;
        lights_at(frame, lights);
        for (const Light& light : lights) {
            EXPECT_GT(light.position.x, 0.0f);
            EXPECT_LT(light.position.x, 16.0f);
            EXPECT_GT(light.position.y, 0.0f);
            EXPECT_LT(light.position.y, 12.0f);
            EXPECT_GT(light.position.z + light.radius,
                      static_cast<float>(kVolume.base_layer) * kVolume.cell_size);
        }
    }
}

TEST(LitRoomScene, ScreenshotsDecodeToTheirPixels) {
    // Taller than one stored deflate block (65535 bytes) holds.
    const int32_t width = 97, height = 301;
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const std::string path = ::testing::TempDir() + "lit_room_png_test.png";
    ASSERT_TRUE(write_png(path.c_str(), width, height, rgb.data()));

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    image.format = PNG_FORMAT_RGB;
    EXPECT_EQ(image.width, static_cast<uint32_t>(width));
    EXPECT_EQ(image.height, static_cast<uint32_t>(height));
    std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr)) << image.message;
    EXPECT_EQ(decoded, rgb);
    std::remove(path.c_str());
}

}  // namespace
