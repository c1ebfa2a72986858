#include "device/render_target.h"

#include <cstdio>
#include <memory>

#include "device/device_context.h"

RenderTarget* new_render_target() {
    auto target = std::make_unique<RenderTarget>();
    register_device_obj(target.get());
    return target.release();
}

RenderTarget::~RenderTarget() { on_lost_device(); }

void RenderTarget::on_lost_device() {
    release_ref(surface);
    release_ref(texture);
}

void RenderTarget::on_reset_device() {
    if (restore_disabled) return;
    init_target(width, height, format, kind);
}

void RenderTarget::init_target(int new_width, int new_height, D3DFORMAT new_format,
                               TargetKind new_kind) {
    if (texture && surface) return;
    restore_disabled = false;
    height = new_height;
    kind = new_kind;
    format = new_format;
    width = new_width;
    create_target_resources(&texture, format, &surface, width, height, kind);
}

HRESULT RenderTarget::bind() {
    if (!surface && !texture) return S_OK;
    switch (kind) {
        case TargetKind::depth_stencil:
            if (surface) return g_device->SetDepthStencilSurface(surface);
            break;
        case TargetKind::texture:
            if (surface) return g_device->SetRenderTarget(0, surface);
            break;
        case TargetKind::cube_texture:
            if (texture) {
                IDirect3DSurface9* face = nullptr;
                static_cast<IDirect3DCubeTexture9*>(texture)->GetCubeMapSurface(
                    D3DCUBEMAP_FACE_POSITIVE_X, 0, &face);
                if (face) {
                    const HRESULT hr = g_device->SetRenderTarget(0, face);
                    face->Release();
                    return hr;
                }
            }
            break;
    }
    return S_OK;
}

namespace {

HRESULT create_resource(IDirect3DBaseTexture9** texture, D3DFORMAT format,
                        IDirect3DSurface9** surface, int width, int height, TargetKind kind) {
    // A size that is not positive (including a width product beyond 32 bits)
    // never reaches the device as a wrapped unsigned value. A cube has only
    // its edge.
    if (width <= 0 || (kind != TargetKind::cube_texture && height <= 0)) return D3DERR_INVALIDCALL;
    const UINT w = static_cast<UINT>(width);
    const UINT h = static_cast<UINT>(height);
    switch (kind) {
        case TargetKind::depth_stencil:
            return g_device->CreateDepthStencilSurface(w, h, format, D3DMULTISAMPLE_NONE, 0, TRUE,
                                                       surface, nullptr);
        case TargetKind::texture: {
            IDirect3DTexture9* created = nullptr;
            const HRESULT hr = g_device->CreateTexture(w, h, 1, D3DUSAGE_RENDERTARGET, format,
                                                       D3DPOOL_DEFAULT, &created, nullptr);
            if (created) {
                created->GetSurfaceLevel(0, surface);
                *texture = created;
            }
            return hr;
        }
        case TargetKind::cube_texture: {
            IDirect3DCubeTexture9* created = nullptr;
            const HRESULT hr = D3DXCreateCubeTexture(g_device, w, 1, D3DUSAGE_RENDERTARGET, format,
                                                     D3DPOOL_DEFAULT, &created);
            if (created) *texture = created;
            return hr;
        }
    }
    return S_OK;  // an unknown kind creates nothing and reports nothing
}

}  // namespace

void create_target_resources(IDirect3DBaseTexture9** texture, D3DFORMAT format,
                             IDirect3DSurface9** surface, int width, int height, TargetKind kind) {
    release_ref(*surface);
    release_ref(*texture);
    if (FAILED(create_resource(texture, format, surface, width, height, kind))) {
        char text[96];
        std::snprintf(text, sizeof text, "w:%i, h:%i, fmt:%i, type:%i", width, height,
                      static_cast<int>(format), static_cast<int>(kind));
        show_error_message(text);
    }
}
