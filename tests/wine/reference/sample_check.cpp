// Compares the lit_room sample's screenshots with a CPU rendering of the same
// frames. lightvol draws the frames' light maps on the software device, with
// the calls lit_room makes (the same lights and render arguments from frame 0
// on); every pixel is then ray-cast against the room's boxes and shaded by the
// scene's rule with tools/sampling's LightSampler.
//
//   lightvol_sample_check <screenshot dir> [<output dir>]
//
// Reads <screenshot dir>/lit_room_<frame>.png for each of lit_room's shot
// frames and prints one PASS or FAIL line per frame; with an output dir it
// writes the CPU rendering (expected_<frame>.png), the differences, eight
// times amplified, with masked pixels blue (difference_<frame>.png), and the
// screenshot itself, compressed (screenshot_<frame>.png).
//
// Tolerance. Pixels next to a geometry edge (a different box or face, or
// nothing, within one pixel) are not compared: rasterization and a ray through
// the pixel centre may disagree there. Elsewhere both sides compute the same
// light from the same formula; they differ by the light maps (the device's
// texels may differ from the software device's by 1/255), the device's
// filtering (bilinear weights of 8 fractional bits on some devices), the
// interpolation of the light-map coordinate across triangles and the final
// rounding to 8 bits. With albedos below 0.9 that stays within 4/255 per
// channel; a pixel differing by more fails the frame.
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "interface/lightvol.h"
#include "platform/software/software_device.h"
#include "scene.h"
#include "tools/sampling/light_sampler.h"

namespace {

constexpr int kTolerance = 4;  // in 1/255, per channel

lightvol_sw::SoftwareDevice* g_device = nullptr;

int32_t set_render_state(int32_t state, int32_t value) {
    return g_device->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state),
                                    static_cast<DWORD>(value));
}

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

bool read_png(const std::string& path, Picture& picture) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    picture.width = static_cast<int>(image.width);
    picture.height = static_cast<int>(image.height);
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr) != 0;
}

void write_png(const std::string& path, const Picture& picture) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(picture.width);
    image.height = static_cast<png_uint_32>(picture.height);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, picture.rgb.data(), 0, nullptr))
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
}

// The light map lit_room has after drawing frames 0 .. last, read back.
struct LightMap {
    LightMapInfo info{};
    std::vector<uint32_t> texels;
    UINT width = 0;
    UINT height = 0;
};

bool draw_light_map(int last, LightMap& map) {
    using namespace lit_room;
    lightvol_sw::SoftwareDevice device(64, 64);
    device.set_recording(false);
    g_device = &device;
    ILightingSystem* system = create_ILightingSystem();
    system->init(&device, &set_render_state);
    system->set_volume(kVolume.width, kVolume.height, kVolume.depth, kVolume.cell_size);
    system->set_base_layer(kVolume.base_layer);
    std::vector<IPointLight*> lamps(kLightCount);
    for (IPointLight*& lamp : lamps) lamp = system->create_point_light();
    std::vector<Light> lights(kLightCount);
    for (int frame = 0; frame <= last; ++frame) {
        lights_at(frame, lights.data());
        for (int i = 0; i < kLightCount; ++i) {
            lamps[i]->set_position(&lights[i].position);
            lamps[i]->set_color(&lights[i].color);
            lamps[i]->set_radius(lights[i].radius);
        }
        const VolumeRequest request = volume_request(frame);
        device.BeginScene();
        system->render(&request.focus, request.movement, &request.box_min, &request.box_max);
        device.EndScene();
    }
    const LightMapInfo* info = system->get_light_map();
    D3DSURFACE_DESC desc{};
    const bool ok = info->texture && SUCCEEDED(info->texture->GetLevelDesc(0, &desc));
    if (ok) {
        map.info = *info;
        map.info.texture = nullptr;
        map.width = desc.Width;
        map.height = desc.Height;
        map.texels = lightvol_sw::SoftwareDevice::read_pixels(info->texture);
    }
    system->release();
    g_device = nullptr;
    return ok && map.texels.size() == static_cast<size_t>(map.width) * map.height;
}

uint8_t to_byte(float v) { return static_cast<uint8_t>(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f); }

// Checks one screenshot; prints its PASS or FAIL line.
bool check_frame(int frame, const std::string& dir, const std::string& out_dir) {
    using namespace lit_room;
    const std::string name = "lit_room frame " + std::to_string(frame);
    const std::string path = dir + "/lit_room_" + std::to_string(frame) + ".png";
    Picture shot;
    if (!read_png(path, shot)) {
        std::printf("FAIL %s: cannot read %s\n", name.c_str(), path.c_str());
        return false;
    }
    const Size size = back_buffer_size(frame);
    if (shot.width != size.width || shot.height != size.height) {
        std::printf("FAIL %s: %dx%d, not the back buffer's %dx%d\n", name.c_str(), shot.width,
                    shot.height, size.width, size.height);
        return false;
    }
    LightMap map;
    if (!draw_light_map(frame, map)) {
        std::printf("FAIL %s: the software device drew no light map\n", name.c_str());
        return false;
    }
    const lightvol_sampling::LightMapPixels pixels{map.texels.data(), static_cast<int32_t>(map.width),
                                                   static_cast<int32_t>(map.height),
                                                   static_cast<int32_t>(map.width * 4)};
    const lightvol_sampling::LightSampler sampler(map.info, pixels);

    // What each pixel sees: the box and face (-1 for nothing), and its colour.
    const Camera camera = camera_at(frame);
    const int w = shot.width, h = shot.height;
    std::vector<int> surface(static_cast<size_t>(w) * h, -1);
    Picture expected{w, h, std::vector<uint8_t>(shot.rgb.size())};
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const size_t p = static_cast<size_t>(j) * w + i;
            Hit hit{};
            Vec3 colour = kClearColor;
            if (trace(pixel_ray(camera, w, h, i, j), &hit)) {
                const lightvol_sampling::Rgb l = sampler.sample(hit.point);
                colour = shade(room_boxes()[hit.box].albedo, hit.normal, Vec3{l.r, l.g, l.b});
                const int face = (hit.normal.x != 0 ? 0 : hit.normal.y != 0 ? 2 : 4) +
                                 (hit.normal.x + hit.normal.y + hit.normal.z > 0);
                surface[p] = hit.box * 6 + face;
            }
            expected.rgb[p * 3] = to_byte(colour.x);
            expected.rgb[p * 3 + 1] = to_byte(colour.y);
            expected.rgb[p * 3 + 2] = to_byte(colour.z);
        }

    int compared = 0, masked = 0, over = 0, largest = 0;
    Picture difference{w, h, std::vector<uint8_t>(shot.rgb.size())};
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const size_t p = static_cast<size_t>(j) * w + i;
            bool edge = false;
            for (int dj = -1; dj <= 1; ++dj)
                for (int di = -1; di <= 1; ++di) {
                    const int x = std::clamp(i + di, 0, w - 1), y = std::clamp(j + dj, 0, h - 1);
                    edge = edge || surface[static_cast<size_t>(y) * w + x] != surface[p];
                }
            if (edge) {
                ++masked;
                difference.rgb[p * 3 + 2] = 160;
                continue;
            }
            int worst = 0;
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(shot.rgb[p * 3 + c] - expected.rgb[p * 3 + c]));
            ++compared;
            largest = std::max(largest, worst);
            over += worst > kTolerance;
            const uint8_t v = static_cast<uint8_t>(std::min(255, worst * 8));
            difference.rgb[p * 3] = v;
            difference.rgb[p * 3 + 1] = v;
        }
    if (!out_dir.empty()) {
        write_png(out_dir + "/expected_" + std::to_string(frame) + ".png", expected);
        write_png(out_dir + "/difference_" + std::to_string(frame) + ".png", difference);
        write_png(out_dir + "/screenshot_" + std::to_string(frame) + ".png", shot);
    }
    const bool ok = over == 0 && compared > w * h / 2;
    std::printf("%s %s (%dx%d) against a CPU ray cast: %d pixels compared, %d masked at edges, "
                "largest difference %d/255, %d over %d/255\n",
                ok ? "PASS" : "FAIL", name.c_str(), w, h, compared, masked, largest, over,
                kTolerance);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <screenshot dir> [<output dir>]\n", argv[0]);
        return 2;
    }
    const std::string out_dir = argc > 2 ? argv[2] : "";
    int failures = 0;
    for (int frame : lit_room::kShotFrames) failures += !check_frame(frame, argv[1], out_dir);
    return failures ? 1 : 0;
}
