#include "picture_compare.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Share of texels allowed to differ by more than 2/255, all at disc rims.
constexpr double max_share_over_two = 0.01;

int channel(uint32_t texel, int shift) { return static_cast<int>((texel >> shift) & 0xFF); }

int texel_diff(uint32_t a, uint32_t b) {
    int worst = 0;
    for (int shift : {0, 8, 16})
        worst = std::max(worst, std::abs(channel(a, shift) - channel(b, shift)));
    return worst;
}

bool black(uint32_t texel) { return (texel & 0x00FFFFFFu) == 0; }

// A texel next to (or on) the edge between lit and unlit texels.
bool at_rim(const std::vector<uint32_t>& image, uint32_t width, uint32_t height, uint32_t x,
            uint32_t y) {
    bool any_black = false, any_lit = false;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            const int nx = static_cast<int>(x) + dx, ny = static_cast<int>(y) + dy;
            if (nx < 0 || ny < 0 || nx >= static_cast<int>(width) || ny >= static_cast<int>(height))
                continue;
            if (black(image[static_cast<size_t>(ny) * width + static_cast<size_t>(nx)]))
                any_black = true;
            else
                any_lit = true;
        }
    return any_black && any_lit;
}

void write_ppm(const std::string& path, const std::vector<uint32_t>& texels, uint32_t width,
               uint32_t height, int gain) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return;
    std::fprintf(f, "P6\n%lu %lu\n255\n", static_cast<unsigned long>(width),
                 static_cast<unsigned long>(height));
    for (uint32_t t : texels) {
        const unsigned char rgb[3] = {
            static_cast<unsigned char>(std::min(255, channel(t, 16) * gain)),
            static_cast<unsigned char>(std::min(255, channel(t, 8) * gain)),
            static_cast<unsigned char>(std::min(255, channel(t, 0) * gain))};
        std::fwrite(rgb, 1, 3, f);
    }
    std::fclose(f);
}

}  // namespace

PictureDiff compare_pictures(const std::vector<uint32_t>& wine,
                             const std::vector<uint32_t>& reference, uint32_t width,
                             uint32_t height) {
    PictureDiff diff;
    diff.texels = width * height;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const size_t i = static_cast<size_t>(y) * width + x;
            const int d = texel_diff(wine[i], reference[i]);
            const bool rim =
                at_rim(wine, width, height, x, y) || at_rim(reference, width, height, x, y);
            if (rim) ++diff.rim_texels;
            if (d > 0) ++diff.differing;
            if (d > 2) ++diff.over_two;
            if (d > diff.max_diff) {
                diff.max_diff = d;
                diff.worst_x = x;
                diff.worst_y = y;
                diff.worst_wine = wine[i] & 0x00FFFFFFu;
                diff.worst_reference = reference[i] & 0x00FFFFFFu;
            }
            if (!rim) {
                diff.max_diff_off_rim = std::max(diff.max_diff_off_rim, d);
                if (d > 2) ++diff.over_two_off_rim;
            }
        }
    return diff;
}

std::string describe(const PictureDiff& diff) {
    char buffer[512];
    const double n = diff.texels ? static_cast<double>(diff.texels) : 1.0;
    std::snprintf(
        buffer, sizeof buffer,
        "max diff %d/255 (at %lu,%lu: wine %06lx, reference %06lx); of %lu texels "
        "%.3f%% differ, %.3f%% by more than 2/255; away from disc rims max %d/255, "
        "%lu texels over 2/255 (%lu rim texels)",
        diff.max_diff, static_cast<unsigned long>(diff.worst_x),
        static_cast<unsigned long>(diff.worst_y), static_cast<unsigned long>(diff.worst_wine),
        static_cast<unsigned long>(diff.worst_reference), static_cast<unsigned long>(diff.texels),
        100.0 * diff.differing / n, 100.0 * diff.over_two / n, diff.max_diff_off_rim,
        static_cast<unsigned long>(diff.over_two_off_rim),
        static_cast<unsigned long>(diff.rim_texels));
    return buffer;
}

bool pictures_agree(const PictureDiff& diff, std::string& why) {
    if (diff.max_diff_off_rim > 2) {
        why = "differences away from disc rims: " + describe(diff);
        return false;
    }
    if (diff.texels && static_cast<double>(diff.over_two) / diff.texels > max_share_over_two) {
        why = "too many texels differ: " + describe(diff);
        return false;
    }
    return true;
}

void dump_pictures(const std::string& dir, const std::string& name,
                   const std::vector<uint32_t>& wine, const std::vector<uint32_t>& reference,
                   uint32_t width, uint32_t height) {
    const std::string base = dir + "/" + name;
    write_ppm(base + ".wine.ppm", wine, width, height, 1);
    write_ppm(base + ".reference.ppm", reference, width, height, 1);
    std::vector<uint32_t> diff(wine.size());
    for (size_t i = 0; i < wine.size(); ++i) {
        uint32_t t = 0;
        for (int shift : {0, 8, 16})
            t |= static_cast<uint32_t>(
                     std::abs(channel(wine[i], shift) - channel(reference[i], shift)))
                 << shift;
        diff[i] = t;
    }
    write_ppm(base + ".diff.ppm", diff, width, height, 32);
}
