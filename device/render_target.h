// A drawable Direct3D resource that follows device loss and reset: a
// depth-stencil surface, a render-target texture, or a render-target cube.
#pragma once

#include <cstdint>

#include "device/com_ref.h"
#include "device/device_obj.h"
#include "platform/d3d9_api.h"

enum class TargetKind : int32_t { depth_stencil = 0, texture = 1, cube_texture = 2 };

class RenderTarget : public DeviceObj {
public:
    ~RenderTarget() override;
    void on_lost_device() override;
    void on_reset_device() override;

    // Makes the target's resources unless it already holds both texture and
    // surface. A size that is not positive is refused without a device call.
    void init_target(int width, int height, D3DFORMAT format, TargetKind kind);
    // Binds the surface as depth-stencil surface or render target 0. Returns
    // the device's result, or S_OK when there was nothing to bind.
    HRESULT bind();

    // One owned reference each, or null.
    IDirect3DBaseTexture9* texture = nullptr;
    IDirect3DSurface9* surface = nullptr;
    D3DFORMAT format = D3DFMT_A8R8G8B8;
    int width = 0;
    int height = 0;
    TargetKind kind = TargetKind::texture;
    // When set, on_reset_device leaves the target without resources. Every path
    // that creates resources clears it.
    bool restore_disabled = false;
};

// A new, empty target entered in the device object registry.
RenderTarget* new_render_target();

// Releases *surface and *texture, then creates the resource of the given kind
// into them. A refused creation is reported in a message box.
void create_target_resources(IDirect3DBaseTexture9** texture, D3DFORMAT format,
                             IDirect3DSurface9** surface, int width, int height, TargetKind kind);
