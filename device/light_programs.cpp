#include "device/light_programs.h"

#include "device/com_ref.h"
#include "device/device_context.h"

LightPrograms::~LightPrograms() {
    release_ref(vertex_shader);
    release_ref(pixel_shader);
}

bool LightPrograms::create() {
    release_ref(vertex_shader);
    release_ref(pixel_shader);
    if (!g_device) return false;
    if (SUCCEEDED(g_device->CreateVertexShader(light_vertex_program, &vertex_shader)) &&
        SUCCEEDED(g_device->CreatePixelShader(light_pixel_program, &pixel_shader)) && ready())
        return true;
    // A refused creation may still have written its output.
    release_ref(vertex_shader);
    release_ref(pixel_shader);
    return false;
}

bool LightPrograms::begin(const float world2scr[4]) {
    if (!ready()) return false;
    g_device->SetVertexShader(vertex_shader);
    g_device->SetPixelShader(pixel_shader);
    g_device->SetVertexShaderConstantF(light_world2scr_register, world2scr, 1);
    return true;
}

void LightPrograms::upload_batch(const float* light_info, const float* light_color, int32_t n) {
    if (n <= 0) return;
    if (n > BATCH_NUM) n = BATCH_NUM;
    // Each float3 element takes a whole register, as in the compiled effect;
    // the fourth components stay zero.
    auto upload = [&](UINT first_register, const float* values) {
        for (int32_t i = 0; i < n; ++i) {
            registers_[i][0] = values[3 * i];
            registers_[i][1] = values[3 * i + 1];
            registers_[i][2] = values[3 * i + 2];
        }
        g_device->SetVertexShaderConstantF(first_register, &registers_[0][0], static_cast<UINT>(n));
    };
    upload(light_info_register, light_info);
    upload(light_color_register, light_color);
}
