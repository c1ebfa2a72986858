// The light effect's shaders made on the host's device from their built-in
// bytecode, for a D3DX that cannot compile the effect text. A frame drawn
// through them binds and uploads what the effect's BeginPass and
// CommitChanges would; the host's shaders and the constant registers
// c0 .. light_program_registers - 1 are given back by the frame (HostState).
//
// Shaders are not pool resources: they survive IDirect3DDevice9::Reset, so
// device loss and reset need nothing from this object.
#pragma once

#include <cstdint>

#include "device/batch_num.h"
#include "device/light_program_code.h"
#include "platform/d3d9_api.h"

class LightPrograms {
public:
    LightPrograms() = default;
    LightPrograms(const LightPrograms&) = delete;
    LightPrograms& operator=(const LightPrograms&) = delete;
    ~LightPrograms();

    // Makes both shaders through g_device. When either is refused nothing is
    // kept and the result is false.
    bool create();
    bool ready() const { return vertex_shader && pixel_shader; }

    // Binds the programs and uploads world2scr; false, with nothing changed,
    // without both shaders.
    bool begin(const float world2scr[4]);
    // Uploads one batch of n lights, three floats per light in each array, into
    // the registers of light_info and light_color.
    void upload_batch(const float* light_info, const float* light_color, int32_t n);

    // One owned reference each, or null.
    IDirect3DVertexShader9* vertex_shader = nullptr;
    IDirect3DPixelShader9* pixel_shader = nullptr;

private:
    float registers_[BATCH_NUM][4] = {};
};
