// Host-side sampling of the light map: the light at a world point, computed
// from LightMapInfo and the light map's texels as a host reads them back.
//
// Where a texel's value lives in the world
// ----------------------------------------
// lightvol draws with Direct3D 9 rasterization rules: the pixel in column i
// and row j of a layer is shaded at the integer screen position (i, j). With
// the layer spanning volume_min.x .. volume_max.x and volume_max.y ..
// volume_min.y (top row first), texel (i, j) of layer L therefore holds the
// light at the world point
//
//     (volume_min.x + i * cell, volume_max.y - j * cell, volume_min.z + L * cell)
//
// that is, at the minimum-x / maximum-y corner of the cell it covers, not at
// the cell's centre. In LightMapInfo terms, with t = (origin - p) * scale and
// the texture W texels wide and H high:
//
//     texel column within the layer  x = t.x * W      (texel i at x = i)
//     texel row                      y = t.y * H      (texel j at y = j)
//     layer                          z = t.z          (layer L at z = L)
//
// A Direct3D 9 sampler keeps texel i's value at u = (i + 0.5) / W, so a shader
// that samples the texture adds half a texel to (t.x, t.y) before it reads;
// docs/sampling.hlsl does exactly what LightSampler does here.
//
// Filtering: bilinear within a layer, with x clamped to the layer's first and
// last column and y to the first and last row, so no value comes from a
// neighbouring layer's strip; linear between the two nearest layers, clamped
// at the bottom and top layer. Points outside the volume get the value of the
// nearest point on its boundary.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lightvol.h"

namespace lightvol_sampling {

struct Rgb {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
};

// The light map as read back (GetRenderTargetData + LockRect): X8R8G8B8
// texels, `width` (layer width * depth) by `height`, rows `pitch` bytes apart.
struct LightMapPixels {
    const void* bits = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t pitch = 0;  // bytes from one row to the next
};

// Where a world point falls, in texel units (see the header comment).
struct TexelPosition {
    float x = 0.0f;      // column within a layer
    float y = 0.0f;      // row
    float layer = 0.0f;  // layer coordinate
};

class LightSampler {
public:
    // The number of layers is taken from layer_step (-1 / depth). The sampler
    // is invalid (valid() false, every sample black) when the info has not
    // been filled by a render yet, or when the texture's width is not a
    // whole number of layers.
    LightSampler(const LightMapInfo& info, const LightMapPixels& pixels);

    bool valid() const { return valid_; }
    int32_t depth() const { return depth_; }
    int32_t layer_width() const { return layer_width_; }
    int32_t height() const { return pixels_.height; }

    // The filtered light at world point p: sample_at(locate(p)), as
    // sample_light(p) is sample_light_at(light_map_coord(p)) in the shader.
    Rgb sample(const Vec3& p) const;

    // The filtered light at a position in texel units.
    Rgb sample_at(const TexelPosition& at) const;

    // The unfiltered position of p in texel units, not clamped.
    TexelPosition locate(const Vec3& p) const;

    // One texel of one layer, channels in 0..1; x and y must lie in the layer.
    Rgb texel(int32_t layer, int32_t x, int32_t y) const;

private:
    Rgb sample_layer(int32_t layer, float x, float y) const;

    LightMapInfo info_{};
    LightMapPixels pixels_{};
    int32_t depth_ = 0;
    int32_t layer_width_ = 0;
    bool valid_ = false;
};

// Unpacks an X8R8G8B8 texel into channels in 0..1.
Rgb unpack_texel(uint32_t texel);

// How far a device's sample of the light map at p (docs/sampling.hlsl on the
// read-back texels) may lie from sample(p), per channel in 1/255 steps:
//   0.5 + 0.5  bilinear filtering as a blend along x, then one along y, each
//              rounded to 8 bits (llvmpipe filters 8-bit textures so);
//   0.5        the shader's result, a blend of two such values between layers,
//              rounded to the 8-bit target;
//   (gx + gy) / 256
//              filter weights with only 8 bits of fraction, each off by up to
//              1/256, times the largest difference between neighbouring
//              texels along that axis around the point (gx, gy, in the one or
//              two layers it reads);
//   0.02       float arithmetic (coordinates, the layer blend).
// Between layers the result is a convex blend of two filtered values, so the
// larger of the two layers' bounds holds.
void sample_tolerance(const LightSampler& sampler, const Vec3& p, float bound[3]);

}  // namespace lightvol_sampling
