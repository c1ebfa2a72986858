// The software device as a plain Direct3D 9 or a 9Ex device: the interface
// query that tells them apart, and Reset and ResetEx (what a plain device
// demands before a reset and what it drops, and what a 9Ex device keeps).
#include <cstring>

#include "platform/software/sw_internal.h"

const IID IID_IDirect3DDevice9Ex = {
    0xb18b10ce, 0x2649, 0x405a, {0x87, 0x0f, 0x95, 0xf7, 0x77, 0xd4, 0x31, 0x3a}};

namespace lightvol_sw {

using namespace detail;

namespace {

// What a plain device's Reset demands be released first: default-pool
// resources and, as Direct3D 9's documentation of Reset lists them too, state
// blocks.
bool blocks_reset(const SwObject* o) {
    if (dynamic_cast<const SwStateBlock*>(o)) return true;
    if (const auto* s = dynamic_cast<const SwSurface*>(o)) return s->desc().Pool == D3DPOOL_DEFAULT;
    if (const auto* t = dynamic_cast<const SwTexture*>(o))
        return t->level(0) && t->level(0)->desc().Pool == D3DPOOL_DEFAULT;
    if (const auto* c = dynamic_cast<const SwCubeTexture*>(o))
        return c->surface(0) && c->surface(0)->desc().Pool == D3DPOOL_DEFAULT;
    if (const auto* v = dynamic_cast<const SwVertexBuffer*>(o)) return v->pool() == D3DPOOL_DEFAULT;
    return false;
}

}  // namespace

HRESULT SoftwareDevice::QueryInterface(REFIID riid, void** ppvObject) {
    if (!ppvObject) return E_INVALIDARG;
    *ppvObject = nullptr;
    if (!answers_ex_query_ || std::memcmp(&riid, &IID_IDirect3DDevice9Ex, sizeof(IID)) != 0)
        return E_NOINTERFACE;
    AddRef();
    *ppvObject = this;
    return S_OK;
}

bool SoftwareDevice::reset_blocker_alive() const {
    for (const SwObject* o : objects_)
        if (!o->implicit() && o->external_refs() > 0 && blocks_reset(o)) return true;
    return false;
}

HRESULT SoftwareDevice::reset() { return reset_device(false); }

HRESULT SoftwareDevice::reset_ex() { return reset_device(true); }

HRESULT SoftwareDevice::reset_device(bool ex_call) {
    HRESULT hr = enter(ex_call ? Op::ResetEx : Op::Reset);
    if (FAILED(hr)) return hr;
    if (ex_call && !ex_mode_) return leave(D3DERR_INVALIDCALL);
    if (!ex_mode_ && reset_blocker_alive()) return leave(D3DERR_INVALIDCALL);

    bind_render_target(back_buffer_);
    bind_depth_stencil(depth_buffer_);
    const float min_z = ex_mode_ ? viewport_.MinZ : 0.0f;
    const float max_z = ex_mode_ ? viewport_.MaxZ : 1.0f;
    viewport_ = D3DVIEWPORT9{0, 0, back_buffer_->width(), back_buffer_->height(), min_z, max_z};
    if (ex_mode_) return S_OK;

    // A plain device loses its state (and ends a scene it was in).
    in_scene_ = false;
    for (UINT i = 0; i < kStreams; ++i) bind_stream(i, nullptr, 0, 0);
    bind_vertex_declaration(nullptr);
    rebind_object(indices_, static_cast<SwObject*>(nullptr));
    bind_shaders(nullptr, nullptr);
    return S_OK;
}

}  // namespace lightvol_sw
