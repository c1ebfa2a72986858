// What the host's device has, from its D3DCAPS9: which render targets and
// samplers a frame may ask about, and how many shader constant registers a
// state block may name. Read at init and after every reset
// (IDirect3DDevice9::GetDeviceCaps answers on a pure device too).
#pragma once

#include "platform/d3d9_api.h"

struct DeviceCaps {
    // NumSimultaneousRTs, 1..4: GetRenderTarget past them is an invalid call.
    DWORD render_targets = 4;
    // A vertex shader model 3 device (VertexShaderVersion 3.0 or later) has
    // the four vertex texture samplers D3DVERTEXTEXTURESAMPLER0..3.
    bool vertex_textures = true;
    // D3DDEVCAPS2_DMAPNPATCH or D3DDEVCAPS2_PRESAMPLEDDMAPNPATCH: the device
    // samples displacement maps, bound at D3DDMAPSAMPLER.
    bool displacement_map = true;
    // Float constant registers: MaxVertexShaderConst; and those of the pixel
    // shader model (8 for 1.x, 32 for 2.x, 224 for 3.0).
    UINT vertex_constants = 256;
    UINT pixel_constants = 224;
};

// The caps of device. When the device does not answer, everything a Direct3D
// 9 device can have: the caller then asks for all of it and takes a refused
// read of a target or a vertex-side sampler as nothing bound there.
DeviceCaps read_device_caps(IDirect3DDevice9* device);
