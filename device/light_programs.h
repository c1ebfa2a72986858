// The light effect's shaders made on the host's device from their built-in
// bytecode, for a D3DX that cannot compile the effect text. A frame drawn
// through them binds, uploads and restores what the effect's Begin, BeginPass,
// CommitChanges and End would: the host's vertex and pixel shaders and the
// vertex shader constants the frame overwrites are as they were afterwards.
//
// Shaders are not pool resources: they survive IDirect3DDevice9::Reset, and
// references to the host's shaders are held only inside a frame, so device
// loss and reset need nothing from this object.
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

    // Saves the host's shaders and the constant registers the programs read,
    // then binds the programs and uploads world2scr. False, with nothing
    // changed or held, when that state cannot be read back: a frame that could
    // not restore it draws no light.
    bool begin(const float world2scr[4]);
    // Uploads one batch of n lights, three floats per light in each array, into
    // the registers of light_info and light_color.
    void upload_batch(const float* light_info, const float* light_color, int32_t n);
    // Puts back what begin saved and drops the saved references.
    void end();

    // One owned reference each, or null.
    IDirect3DVertexShader9* vertex_shader = nullptr;
    IDirect3DPixelShader9* pixel_shader = nullptr;

private:
    IDirect3DVertexShader9* saved_vertex_shader_ = nullptr;
    IDirect3DPixelShader9* saved_pixel_shader_ = nullptr;
    float saved_constants_[light_program_registers][4] = {};
    float registers_[BATCH_NUM][4] = {};
};
