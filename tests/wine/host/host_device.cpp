#include "host_device.h"

#include <cstring>

namespace {

IDirect3DDevice9* g_state_device = nullptr;
long g_state_calls = 0;

std::string hresult_text(const char* what, HRESULT hr) {
    char buffer[128];
    wsprintfA(buffer, "%s failed (hr 0x%08lx)", what, static_cast<unsigned long>(hr));
    return buffer;
}

}  // namespace

ULONG ref_count(IUnknown* object) {
    if (!object) return 0;
    object->AddRef();
    return object->Release();
}

D3DVIEWPORT9 host_viewport() { return D3DVIEWPORT9{3, 5, 40, 30, 0.25f, 0.75f}; }

int32_t host_set_render_state(int32_t state, int32_t value) {
    ++g_state_calls;
    if (!g_state_device) return -1;
    return static_cast<int32_t>(g_state_device->SetRenderState(
        static_cast<D3DRENDERSTATETYPE>(state), static_cast<DWORD>(value)));
}

void set_render_state_device(IDirect3DDevice9* device) { g_state_device = device; }

long render_state_calls() { return g_state_calls; }

bool HostDevice::create(std::string& error, bool ex) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "lightvol_wine_host";
    RegisterClassA(&wc);
    // Never shown: the device renders off screen only.
    window_ =
        CreateWindowA(wc.lpszClassName, "lightvol wine host", WS_OVERLAPPEDWINDOW, 0, 0,
                      backbuffer_size, backbuffer_size, nullptr, nullptr, wc.hInstance, nullptr);
    if (!window_) {
        error = "CreateWindow failed";
        return false;
    }
    IDirect3D9Ex* d3d_ex = nullptr;
    if (ex) {
        const HRESULT hr = Direct3DCreate9Ex(D3D_SDK_VERSION, &d3d_ex);
        if (FAILED(hr) || !d3d_ex) {
            error = hresult_text("Direct3DCreate9Ex", hr);
            return false;
        }
        d3d_ = d3d_ex;
    } else {
        d3d_ = Direct3DCreate9(D3D_SDK_VERSION);
    }
    if (!d3d_) {
        error = "Direct3DCreate9 failed";
        return false;
    }
    params_ = D3DPRESENT_PARAMETERS{};
    params_.BackBufferWidth = backbuffer_size;
    params_.BackBufferHeight = backbuffer_size;
    params_.BackBufferFormat = D3DFMT_X8R8G8B8;
    params_.BackBufferCount = 1;
    params_.SwapEffect = D3DSWAPEFFECT_DISCARD;
    params_.hDeviceWindow = window_;
    params_.Windowed = TRUE;
    params_.EnableAutoDepthStencil = TRUE;
    params_.AutoDepthStencilFormat = D3DFMT_D24S8;
    params_.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
    D3DPRESENT_PARAMETERS params = params_;
    HRESULT hr;
    if (d3d_ex) {
        hr = d3d_ex->CreateDeviceEx(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window_,
                                    D3DCREATE_HARDWARE_VERTEXPROCESSING, &params, nullptr,
                                    &device_ex_);
        device_ = device_ex_;
    } else {
        hr = d3d_->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window_,
                                D3DCREATE_HARDWARE_VERTEXPROCESSING, &params, &device_);
    }
    if (FAILED(hr) || !device_) {
        device_ = nullptr;
        device_ex_ = nullptr;
        error = hresult_text(d3d_ex ? "CreateDeviceEx(HAL)" : "CreateDevice(HAL)", hr);
        return false;
    }
    set_render_state_device(device_);
    return true;
}

void HostDevice::destroy() {
    release_host_targets();
    set_render_state_device(nullptr);
    // device_ex_ is the same object as device_, with no reference of its own.
    if (device_) device_->Release();
    device_ = nullptr;
    device_ex_ = nullptr;
    if (d3d_) d3d_->Release();
    d3d_ = nullptr;
    if (window_) DestroyWindow(window_);
    window_ = nullptr;
}

HRESULT HostDevice::reset() {
    D3DPRESENT_PARAMETERS params = params_;
    return device_->Reset(&params);
}

HRESULT HostDevice::reset_ex() {
    if (!device_ex_) return D3DERR_INVALIDCALL;
    D3DPRESENT_PARAMETERS params = params_;
    return device_ex_->ResetEx(&params, nullptr);
}

bool HostDevice::recover(std::string& error) {
    if (!device_) {
        error = "no device";
        return false;
    }
    HRESULT hr = device_->TestCooperativeLevel();
    if (hr == D3DERR_DEVICENOTRESET) {
        release_host_targets();
        hr = reset();
        if (FAILED(hr)) {
            error = hresult_text("Reset of the device left lost by an earlier scenario", hr) +
                    ": a default-pool resource is still alive";
            return false;
        }
    } else if (FAILED(hr)) {
        error = hresult_text("TestCooperativeLevel", hr);
        return false;
    }
    return create_host_targets(error);
}

bool HostDevice::create_host_targets(std::string& error) {
    if (host_surface_) return true;
    HRESULT hr = device_->CreateTexture(backbuffer_size, backbuffer_size, 1, D3DUSAGE_RENDERTARGET,
                                        D3DFMT_A8R8G8B8, D3DPOOL_DEFAULT, &host_texture_, nullptr);
    if (SUCCEEDED(hr)) hr = host_texture_->GetSurfaceLevel(0, &host_surface_);
    if (SUCCEEDED(hr))
        hr = device_->CreateDepthStencilSurface(backbuffer_size, backbuffer_size, D3DFMT_D24S8,
                                                D3DMULTISAMPLE_NONE, 0, FALSE, &host_depth_,
                                                nullptr);
    if (FAILED(hr)) {
        error = hresult_text("creating the host's target", hr);
        release_host_targets();
        return false;
    }
    return true;
}

void HostDevice::release_host_targets() {
    if (device_ && (host_surface_ || host_depth_)) {
        // Unbind first: a bound surface keeps a device-side reference.
        IDirect3DSurface9* back = nullptr;
        if (SUCCEEDED(device_->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back)) && back) {
            device_->SetRenderTarget(0, back);
            back->Release();
        }
        device_->SetDepthStencilSurface(nullptr);
    }
    if (host_depth_) host_depth_->Release();
    host_depth_ = nullptr;
    if (host_surface_) host_surface_->Release();
    host_surface_ = nullptr;
    if (host_texture_) host_texture_->Release();
    host_texture_ = nullptr;
}

void HostDevice::bind_host_targets(D3DCOLOR color) {
    if (!host_surface_ || !host_depth_) return;
    device_->SetRenderTarget(0, host_surface_);
    device_->SetDepthStencilSurface(host_depth_);
    device_->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, color, 1.0f, 0);
    const D3DVIEWPORT9 viewport = host_viewport();
    device_->SetViewport(&viewport);
}

bool HostDevice::read_surface(IDirect3DSurface9* surface, Image& out, std::string& error) const {
    if (!surface) {
        error = "no surface to read";
        return false;
    }
    D3DSURFACE_DESC desc;
    HRESULT hr = surface->GetDesc(&desc);
    if (FAILED(hr)) {
        error = hresult_text("GetDesc", hr);
        return false;
    }
    IDirect3DSurface9* copy = nullptr;
    hr = device_->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format,
                                              D3DPOOL_SYSTEMMEM, &copy, nullptr);
    if (SUCCEEDED(hr)) hr = device_->GetRenderTargetData(surface, copy);
    D3DLOCKED_RECT locked{};
    if (SUCCEEDED(hr)) hr = copy->LockRect(&locked, nullptr, D3DLOCK_READONLY);
    if (FAILED(hr)) {
        if (copy) copy->Release();
        error = hresult_text("reading back a render target", hr);
        return false;
    }
    out.width = desc.Width;
    out.height = desc.Height;
    out.texels.resize(static_cast<size_t>(desc.Width) * desc.Height);
    for (UINT y = 0; y < desc.Height; ++y)
        std::memcpy(&out.texels[static_cast<size_t>(y) * desc.Width],
                    static_cast<const BYTE*>(locked.pBits) + static_cast<size_t>(y) * locked.Pitch,
                    desc.Width * sizeof(uint32_t));
    copy->UnlockRect();
    copy->Release();
    return true;
}

bool HostDevice::read_texture(IDirect3DTexture9* texture, Image& out, std::string& error) const {
    if (!texture) {
        error = "no texture to read";
        return false;
    }
    IDirect3DSurface9* level = nullptr;
    const HRESULT hr = texture->GetSurfaceLevel(0, &level);
    if (FAILED(hr) || !level) {
        error = hresult_text("GetSurfaceLevel(0)", hr);
        return false;
    }
    const bool ok = read_surface(level, out, error);
    level->Release();
    return ok;
}
