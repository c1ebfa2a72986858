#include "device/device_caps.h"

namespace {

// The version tokens' major number (D3DSHADER_VERSION_MAJOR).
DWORD major_version(DWORD version) { return (version >> 8) & 0xFF; }

}  // namespace

DeviceCaps read_device_caps(IDirect3DDevice9* device) {
    DeviceCaps out;
    D3DCAPS9 caps{};
    if (!device || FAILED(device->GetDeviceCaps(&caps))) return out;
    out.render_targets = caps.NumSimultaneousRTs < 1   ? 1
                         : caps.NumSimultaneousRTs > 4 ? 4
                                                       : caps.NumSimultaneousRTs;
    out.vertex_textures = major_version(caps.VertexShaderVersion) >= 3;
    out.displacement_map =
        (caps.DevCaps2 & (D3DDEVCAPS2_DMAPNPATCH | D3DDEVCAPS2_PRESAMPLEDDMAPNPATCH)) != 0;
    out.vertex_constants = caps.MaxVertexShaderConst;
    const DWORD pixel_model = major_version(caps.PixelShaderVersion);
    out.pixel_constants = pixel_model >= 3 ? 224 : pixel_model == 2 ? 32 : pixel_model == 1 ? 8 : 0;
    return out;
}
