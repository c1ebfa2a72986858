// Comparison of a light map read back under Wine with the software device's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PictureDiff {
    uint32_t texels = 0;
    int max_diff = 0;          // largest per-channel difference, in 1/255
    uint32_t differing = 0;    // texels that differ at all
    uint32_t over_two = 0;     // texels with a channel differing by more than 2/255
    uint32_t rim_texels = 0;   // texels at a lit/unlit edge in either picture
    int max_diff_off_rim = 0;  // largest difference away from those edges
    uint32_t over_two_off_rim = 0;
    // Where the largest difference is, and the two texels there.
    uint32_t worst_x = 0, worst_y = 0, worst_wine = 0, worst_reference = 0;
};

// Both pictures are `width` x `height` X8R8G8B8 texels; the unused byte is ignored.
PictureDiff compare_pictures(const std::vector<uint32_t>& wine,
                             const std::vector<uint32_t>& reference, uint32_t width,
                             uint32_t height);
std::string describe(const PictureDiff& diff);
// Agreement: at most 2/255 away from disc rims, and few texels beyond 2/255.
bool pictures_agree(const PictureDiff& diff, std::string& why);
// Writes <dir>/<name>.wine.ppm, .reference.ppm and .diff.ppm (differences x 32).
void dump_pictures(const std::string& dir, const std::string& name,
                   const std::vector<uint32_t>& wine, const std::vector<uint32_t>& reference,
                   uint32_t width, uint32_t height);
