// Native versions of the light effect's shaders:
//
//   VS: info = light_info[pos.z]; world = pos.xy * info.x + info.yz;
//       scr = (world - world2scr.xy) * world2scr.zw;
//       position = (scr, 0.5, 1); color = (light_color[pos.z], 1); info = pos.xy
//   PS: color * (1 - length(info))
#include <cmath>

#include "platform/software/software_device.h"

namespace lightvol_sw {

namespace {

// Varying layout shared by the two shaders.
constexpr int kColor = 0;  // 4 floats
constexpr int kInfo = 4;   // 2 floats

class LightVertexShader final : public VertexShader {
public:
    bool begin_draw(const ParameterSource& params) override {
        info_ = params.parameter("light_info", &info_floats_);
        color_ = params.parameter("light_color", &color_floats_);
        size_t n = 0;
        world2scr_ = params.parameter("world2scr", &n);
        return info_ && color_ && world2scr_ && n >= 4;
    }

    void run(const float input[4], VertexOutput& out) const override {
        // Constant-register indexing (mova) rounds to the nearest integer;
        // reads beyond the array yield zero.
        const long index = std::lround(input[2]);
        const float* info = fetch3(info_, info_floats_, index);
        const float* color = fetch3(color_, color_floats_, index);
        const float wx = input[0] * info[0] + info[1];
        const float wy = input[1] * info[0] + info[2];
        out.position[0] = (wx - world2scr_[0]) * world2scr_[2];
        out.position[1] = (wy - world2scr_[1]) * world2scr_[3];
        out.position[2] = 0.5f;
        out.position[3] = 1.0f;
        out.varyings[kColor + 0] = color[0];
        out.varyings[kColor + 1] = color[1];
        out.varyings[kColor + 2] = color[2];
        out.varyings[kColor + 3] = 1.0f;
        out.varyings[kInfo + 0] = input[0];
        out.varyings[kInfo + 1] = input[1];
    }

    int varying_count() const override { return 6; }

private:
    static const float* fetch3(const float* array, size_t floats, long index) {
        static const float kZero[3] = {0.0f, 0.0f, 0.0f};
        if (index < 0 || static_cast<size_t>(index) * 3 + 3 > floats) return kZero;
        return array + index * 3;
    }

    const float* info_ = nullptr;
    const float* color_ = nullptr;
    const float* world2scr_ = nullptr;
    size_t info_floats_ = 0;
    size_t color_floats_ = 0;
};

class LightPixelShader final : public PixelShader {
public:
    bool begin_draw(const ParameterSource&) override { return true; }

    void run(const float* v, float color[4]) const override {
        const float x = v[kInfo + 0], y = v[kInfo + 1];
        const float fade = 1.0f - std::sqrt(x * x + y * y);
        for (int i = 0; i < 4; ++i) color[i] = v[kColor + i] * fade;
    }
};

}  // namespace

std::shared_ptr<VertexShader> make_light_vertex_shader() {
    return std::make_shared<LightVertexShader>();
}

std::shared_ptr<PixelShader> make_light_pixel_shader() {
    return std::make_shared<LightPixelShader>();
}

}  // namespace lightvol_sw
