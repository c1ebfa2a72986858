// PNG encoding of 8-bit RGB pictures, into memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lightvol_preview {

struct RgbImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3 bytes, row by row, top first
};

// The X8R8G8B8 texels of a surface as an RGB picture, each texel drawn as a
// `scale` by `scale` block.
RgbImage image_from_texels(const std::vector<uint32_t>& texels, int32_t width, int32_t height,
                           int32_t scale);

// Encodes `image` as a PNG file's bytes; false with a message on failure.
bool encode_png(const RgbImage& image, std::vector<uint8_t>& out, std::string& error);

}  // namespace lightvol_preview
