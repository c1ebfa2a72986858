// Checks the pictures of the Irrlicht sample (examples/irrlicht).
//
//   lightvol_irrlicht_check same SHOT.ppm ALONE.ppm [ALONE2.ppm]
//       Irrlicht's picture with lightvol in its frame against Irrlicht alone
//       (a second picture of Irrlicht alone from another run where Irrlicht
//       alone does not draw the same twice): prints "N pixels differ, up to
//       M/255" for the closer one and exits 0 only when N is 0.
//   lightvol_irrlicht_check lit SHOT.ppm LIGHT.bin
//       The plane lit through the light map against tools/sampling's
//       LightSampler on the light map read back: each pixel is cast onto the
//       plane y = 0 through the camera of LIGHT.bin (Direct3D 9 shades pixel
//       (i, j) at the integer screen position), the point swizzled from
//       Irrlicht's y-up world to lightvol's (x, z, y), and compared within
//       sample_tolerance. Pixels within 0.25 m of the plane's edge are left
//       out. Prints the points compared and the largest difference; exits 0
//       only when every point is within its bound.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "interface/lightvol.h"
#include "tools/sampling/light_sampler.h"

namespace {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

bool read_ppm(const char* path, Picture& p) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    int max = 0;
    const bool header = std::fscanf(f, "P6 %d %d %d", &p.width, &p.height, &max) == 3 &&
                        max == 255 && std::fgetc(f) != EOF && p.width > 0 && p.height > 0;
    if (header) p.rgb.resize(size_t(p.width) * size_t(p.height) * 3);
    const bool ok = header && std::fread(p.rgb.data(), 1, p.rgb.size(), f) == p.rgb.size();
    std::fclose(f);
    return ok;
}

struct Difference {
    size_t pixels = 0;
    int largest = 0;
};

Difference compare(const Picture& a, const Picture& b) {
    Difference d;
    if (a.width != b.width || a.height != b.height) return {size_t(-1), 255};
    for (size_t i = 0; i < a.rgb.size(); i += 3) {
        int most = 0;
        for (int k = 0; k < 3; ++k)
            most = std::max(most, std::abs(int(a.rgb[i + k]) - int(b.rgb[i + k])));
        d.pixels += most > 0;
        d.largest = std::max(d.largest, most);
    }
    return d;
}

int same(int count, char** paths) {
    Picture shot;
    if (!read_ppm(paths[0], shot)) {
        std::printf("cannot read %s\n", paths[0]);
        return 2;
    }
    Difference best{size_t(-1), 255};
    for (int i = 1; i < count; ++i) {
        Picture alone;
        if (!read_ppm(paths[i], alone)) {
            std::printf("cannot read %s\n", paths[i]);
            return 2;
        }
        const Difference d = compare(shot, alone);
        if (d.pixels < best.pixels) best = d;
    }
    if (best.pixels == size_t(-1)) {
        std::printf("the pictures' sizes differ\n");
        return 1;
    }
    std::printf("%zu pixels differ, up to %d/255\n", best.pixels, best.largest);
    return best.pixels == 0 ? 0 : 1;
}

int lit(const char* shot_path, const char* light_path) {
    Picture shot;
    FILE* f = std::fopen(light_path, "rb");
    float floats[8];
    int32_t size[2];
    std::vector<uint32_t> texels;
    float vp[16];
    bool ok = f && read_ppm(shot_path, shot) && std::fread(floats, sizeof floats, 1, f) == 1 &&
              std::fread(size, sizeof size, 1, f) == 1 && size[0] > 0 && size[1] > 0;
    if (ok) {
        texels.resize(size_t(size[0]) * size_t(size[1]));
        ok = std::fread(texels.data(), 4, texels.size(), f) == texels.size() &&
             std::fread(vp, sizeof vp, 1, f) == 1;
    }
    if (f) std::fclose(f);
    if (!ok) {
        std::printf("cannot read %s or %s\n", shot_path, light_path);
        return 2;
    }
    LightMapInfo info{};
    std::memcpy(info.layer_step, floats, 2 * sizeof(float));
    info.origin = {floats[2], floats[3], floats[4]};
    info.scale = {floats[5], floats[6], floats[7]};
    const lightvol_sampling::LightMapPixels pixels{texels.data(), size[0], size[1], size[0] * 4};
    const lightvol_sampling::LightSampler sampler(info, pixels);
    if (!sampler.valid()) {
        std::printf("the light map's record is not filled\n");
        return 1;
    }
    // Irrlicht's matrix transforms row vectors: clip_j = x m[j] + y m[4+j] +
    // z m[8+j] + m[12+j]. On the plane y = 0, each pixel's (ndc_x, ndc_y)
    // gives two linear equations in x and z.
    auto row = [&](int j) { return std::vector<double>{vp[j], vp[8 + j], vp[12 + j]}; };
    const std::vector<double> cx = row(0), cy = row(1), cw = row(3);
    size_t compared = 0, failed = 0;
    double largest = 0, largest_share = 0;
    for (int py = 0; py < shot.height; ++py)
        for (int px = 0; px < shot.width; ++px) {
            const double nx = 2.0 * px / shot.width - 1, ny = 1 - 2.0 * py / shot.height;
            double a[2][3];
            for (int k = 0; k < 3; ++k) {
                a[0][k] = cx[k] - nx * cw[k];
                a[1][k] = cy[k] - ny * cw[k];
            }
            const double det = a[0][0] * a[1][1] - a[0][1] * a[1][0];
            if (std::fabs(det) < 1e-12) continue;
            const double x = (-a[0][2] * a[1][1] + a[0][1] * a[1][2]) / det;
            const double z = (-a[0][0] * a[1][2] + a[0][2] * a[1][0]) / det;
            if (std::fabs(x) > 9.75 || std::fabs(z) > 9.75) continue;
            const Vec3 p{float(x), float(z), 0.0f};
            const lightvol_sampling::Rgb want = sampler.sample(p);
            float bound[3];
            lightvol_sampling::sample_tolerance(sampler, p, bound);
            const float w[3] = {want.r * 255, want.g * 255, want.b * 255};
            const uint8_t* got = &shot.rgb[(size_t(py) * shot.width + px) * 3];
            bool bad = false;
            for (int k = 0; k < 3; ++k) {
                const double d = std::fabs(double(got[k]) - w[k]);
                largest = std::max(largest, d);
                largest_share = std::max(largest_share, d / bound[k]);
                bad = bad || d > bound[k];
            }
            ++compared;
            failed += bad;
        }
    std::printf("%zu points on the lit plane, %zu outside their bound, largest difference "
                "%.2f/255 (%.2f of its bound)\n",
                compared, failed, largest, largest_share);
    return compared > 0 && failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "same") == 0)
        return same(argc - 2, argv + 2);
    if (argc == 4 && std::strcmp(argv[1], "lit") == 0) return lit(argv[2], argv[3]);
    std::fprintf(stderr, "usage: lightvol_irrlicht_check same SHOT.ppm ALONE.ppm [ALONE2.ppm] | "
                         "lit SHOT.ppm LIGHT.bin\n");
    return 2;
}
