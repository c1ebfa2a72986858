#include "tools/sampling/light_sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lightvol_sampling {

namespace {

// Clamps to [lo, hi]; not-a-number becomes lo.
float clamp_to(float v, float lo, float hi) {
    if (!(v >= lo)) return lo;
    if (v > hi) return hi;
    return v;
}

Rgb lerp(const Rgb& a, const Rgb& b, float f) {
    return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

}  // namespace

Rgb unpack_texel(uint32_t texel) {
    return {static_cast<float>((texel >> 16) & 0xFFu) / 255.0f,
            static_cast<float>((texel >> 8) & 0xFFu) / 255.0f,
            static_cast<float>(texel & 0xFFu) / 255.0f};
}

LightSampler::LightSampler(const LightMapInfo& info, const LightMapPixels& pixels)
    : info_(info), pixels_(pixels) {
    if (!pixels.bits || pixels.width <= 0 || pixels.height <= 0 || pixels.pitch < pixels.width * 4)
        return;
    const float step = info.layer_step[0];
    if (!(step < 0.0f) || !std::isfinite(1.0f / step)) return;
    const double layers = std::round(-1.0 / static_cast<double>(step));
    if (!(layers >= 1.0) || layers > static_cast<double>(pixels.width)) return;
    depth_ = static_cast<int32_t>(layers);
    if (pixels.width % depth_ != 0) return;
    layer_width_ = pixels.width / depth_;
    valid_ = std::isfinite(info.scale.x) && std::isfinite(info.scale.y) &&
             std::isfinite(info.scale.z) && info.scale.x != 0.0f && info.scale.y != 0.0f &&
             info.scale.z != 0.0f;
}

TexelPosition LightSampler::locate(const Vec3& p) const {
    const float tx = (info_.origin.x - p.x) * info_.scale.x;
    const float ty = (info_.origin.y - p.y) * info_.scale.y;
    const float tz = (info_.origin.z - p.z) * info_.scale.z;
    return {tx * static_cast<float>(pixels_.width), ty * static_cast<float>(pixels_.height), tz};
}

Rgb LightSampler::texel(int32_t layer, int32_t x, int32_t y) const {
    const auto* row = static_cast<const uint8_t*>(pixels_.bits) +
                      static_cast<size_t>(y) * static_cast<size_t>(pixels_.pitch);
    uint32_t value = 0;
    std::memcpy(&value, row + (static_cast<size_t>(layer) * layer_width_ + x) * 4, 4);
    return unpack_texel(value);
}

Rgb LightSampler::sample_layer(int32_t layer, float x, float y) const {
    const int32_t x0 = static_cast<int32_t>(x);
    const int32_t y0 = static_cast<int32_t>(y);
    const int32_t x1 = x0 + 1 < layer_width_ ? x0 + 1 : x0;
    const int32_t y1 = y0 + 1 < pixels_.height ? y0 + 1 : y0;
    const float fx = x - static_cast<float>(x0);
    const float fy = y - static_cast<float>(y0);
    const Rgb top = lerp(texel(layer, x0, y0), texel(layer, x1, y0), fx);
    const Rgb bottom = lerp(texel(layer, x0, y1), texel(layer, x1, y1), fx);
    return lerp(top, bottom, fy);
}

Rgb LightSampler::sample(const Vec3& p) const { return sample_at(locate(p)); }

Rgb LightSampler::sample_at(const TexelPosition& at) const {
    if (!valid_) return {};
    // Clamped to the first and last texel of the layer's own strip: the
    // bilinear footprint never reaches a neighbouring layer.
    const float x = clamp_to(at.x, 0.0f, static_cast<float>(layer_width_ - 1));
    const float y = clamp_to(at.y, 0.0f, static_cast<float>(pixels_.height - 1));
    const float z = clamp_to(at.layer, 0.0f, static_cast<float>(depth_ - 1));
    const int32_t l0 = static_cast<int32_t>(z);
    const int32_t l1 = l0 + 1 < depth_ ? l0 + 1 : l0;
    const float fz = z - static_cast<float>(l0);
    const Rgb below = sample_layer(l0, x, y);
    if (l1 == l0 || fz == 0.0f) return below;
    return lerp(below, sample_layer(l1, x, y), fz);
}

namespace {

// The largest differences between neighbouring texels along x and along y,
// per channel in 1/255 steps, around a filter footprint at (x, y) of a layer
// (one texel beyond it on each side).
void neighbour_differences(const LightSampler& s, int layer, float x, float y, float gx[3],
                           float gy[3]) {
    const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    const int w = s.layer_width(), h = s.height();
    auto at = [&](int i, int j) {
        return s.texel(layer, std::min(std::max(i, 0), w - 1), std::min(std::max(j, 0), h - 1));
    };
    for (int j = y0 - 1; j <= y0 + 2; ++j)
        for (int i = x0 - 1; i <= x0 + 2; ++i) {
            const Rgb c = at(i, j), right = at(i + 1, j), below = at(i, j + 1);
            const float dx[3] = {right.r - c.r, right.g - c.g, right.b - c.b};
            const float dy[3] = {below.r - c.r, below.g - c.g, below.b - c.b};
            for (int k = 0; k < 3; ++k) {
                gx[k] = std::max(gx[k], std::fabs(dx[k]) * 255.0f);
                gy[k] = std::max(gy[k], std::fabs(dy[k]) * 255.0f);
            }
        }
}

}  // namespace

void sample_tolerance(const LightSampler& s, const Vec3& p, float bound[3]) {
    const TexelPosition t = s.locate(p);
    const float x = clamp_to(t.x, 0, static_cast<float>(s.layer_width() - 1));
    const float y = clamp_to(t.y, 0, static_cast<float>(s.height() - 1));
    const float z = clamp_to(t.layer, 0, static_cast<float>(s.depth() - 1));
    const int below = static_cast<int>(z);
    const int above = std::min(below + 1, s.depth() - 1);
    float gx[3] = {0, 0, 0}, gy[3] = {0, 0, 0};
    neighbour_differences(s, below, x, y, gx, gy);
    if (above != below) neighbour_differences(s, above, x, y, gx, gy);
    for (int k = 0; k < 3; ++k) bound[k] = 1.5f + (gx[k] + gy[k]) / 256.0f + 0.02f;
}

}  // namespace lightvol_sampling
