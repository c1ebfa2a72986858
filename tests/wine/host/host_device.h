// The test host's side of Direct3D 9: a HAL device on a hidden window (made by
// Direct3DCreate9 / CreateDevice, or as a 9Ex device by Direct3DCreate9Ex /
// CreateDeviceEx), the
// host's own render target and depth surface, the render-state callback that
// lightvol calls, and read-back of render targets.
#pragma once

#include <d3d9.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Texels of one X8R8G8B8 or A8R8G8B8 surface, row by row, as 0xAARRGGBB.
struct Image {
    UINT width = 0;
    UINT height = 0;
    std::vector<uint32_t> texels;

    uint32_t at(UINT x, UINT y) const { return texels[static_cast<size_t>(y) * width + x]; }
};

class HostDevice {
public:
    static constexpr UINT backbuffer_size = 64;

    ~HostDevice() { destroy(); }

    // ex: a Direct3D 9Ex device.
    bool create(std::string& error, bool ex = false);
    void destroy();
    bool ex() const { return device_ex_ != nullptr; }

    // IDirect3DDevice9::Reset with the parameters the device was created with.
    HRESULT reset();
    // IDirect3DDevice9Ex::ResetEx likewise (windowed: no display mode); fails
    // with D3DERR_INVALIDCALL on a plain device.
    HRESULT reset_ex();

    // Brings a device left lost by an earlier failure back to a usable state
    // with the host's targets in place; false (with the reason) if it cannot.
    bool recover(std::string& error);

    IDirect3DDevice9* device() const { return device_; }

    // The host's own frame target: a 64x64 A8R8G8B8 render-target texture and a
    // matching depth surface, both in the default pool, so they must be
    // released around a reset.
    bool create_host_targets(std::string& error);
    void release_host_targets();
    IDirect3DSurface9* host_target() const { return host_surface_; }
    IDirect3DSurface9* host_depth() const { return host_depth_; }

    // Binds the host's target and depth surface with a viewport that is not the
    // whole target, and clears the target to `color`.
    void bind_host_targets(D3DCOLOR color);

    bool read_surface(IDirect3DSurface9* surface, Image& out, std::string& error) const;
    bool read_texture(IDirect3DTexture9* texture, Image& out, std::string& error) const;

private:
    HWND window_ = nullptr;
    IDirect3D9* d3d_ = nullptr;
    IDirect3DDevice9* device_ = nullptr;
    IDirect3DDevice9Ex* device_ex_ = nullptr;  // the same device, when it is a 9Ex one
    D3DPRESENT_PARAMETERS params_{};
    IDirect3DTexture9* host_texture_ = nullptr;
    IDirect3DSurface9* host_surface_ = nullptr;
    IDirect3DSurface9* host_depth_ = nullptr;
};

// The current COM reference count of an object (AddRef, then Release).
ULONG ref_count(IUnknown* object);

// The viewport the host sets on its own target before calling into lightvol.
D3DVIEWPORT9 host_viewport();

// lightvol's render-state callback: sets the state on the current device and
// counts the calls.
int32_t host_set_render_state(int32_t state, int32_t value);
void set_render_state_device(IDirect3DDevice9* device);
long render_state_calls();
