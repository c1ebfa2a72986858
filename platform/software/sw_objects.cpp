#include <algorithm>
#include <cstring>

#include "platform/software/sw_internal.h"

namespace lightvol_sw {
namespace detail {

namespace {

struct OpInfo {
    const char* name;
    bool returns_hresult;
};

constexpr OpInfo kOps[] = {
#define LIGHTVOL_SW_OP_INFO(id, name, hr) {name, hr},
    LIGHTVOL_SW_OPS(LIGHTVOL_SW_OP_INFO)
#undef LIGHTVOL_SW_OP_INFO
};

static_assert(sizeof(kOps) / sizeof(kOps[0]) == kOpCount, "operation table out of step");

const std::string kNull = "null";
const std::string kForeign = "foreign";

}  // namespace

const char* op_name(Op op) { return kOps[static_cast<size_t>(op)].name; }

bool op_returns_hresult(Op op) { return kOps[static_cast<size_t>(op)].returns_hresult; }

bool op_from_name(const std::string& name, Op* op) {
    for (size_t i = 0; i < kOpCount; ++i) {
        if (name == kOps[i].name) {
            *op = static_cast<Op>(i);
            return true;
        }
    }
    return false;
}

SwObject* object_from(IUnknown* p) { return p ? dynamic_cast<SwObject*>(p) : nullptr; }

void put_label(std::string& s, const SwObject* object, bool is_null) {
    if (is_null) {
        s += kNull;
    } else if (object) {
        s += object->label();
    } else {
        s += kForeign;
    }
}

void put_float(std::string& s, double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    s += buf;
}

void put_signed(std::string& s, long long v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%lld", v);
    s += buf;
}

void put_unsigned(std::string& s, unsigned long long v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llu", v);
    s += buf;
}

void put_arg(std::string& s, const RectArg& a) {
    if (!a.rect) {
        s += kNull;
        return;
    }
    s += '[';
    put_signed(s, a.rect->left);
    s += ',';
    put_signed(s, a.rect->top);
    s += ',';
    put_signed(s, a.rect->right);
    s += ',';
    put_signed(s, a.rect->bottom);
    s += ']';
}

void put_arg(std::string& s, const RectListArg& a) {
    if (!a.rects) {
        s += kNull;
        return;
    }
    s += '[';
    for (DWORD i = 0; i < a.count; ++i) {
        if (i) s += ';';
        const D3DRECT& r = a.rects[i];
        put_signed(s, r.x1);
        s += ',';
        put_signed(s, r.y1);
        s += ',';
        put_signed(s, r.x2);
        s += ',';
        put_signed(s, r.y2);
    }
    s += ']';
}

void put_arg(std::string& s, const ViewportArg& a) {
    if (!a.viewport) {
        s += kNull;
        return;
    }
    const D3DVIEWPORT9& v = *a.viewport;
    put_unsigned(s, v.X);
    s += ',';
    put_unsigned(s, v.Y);
    s += ',';
    put_unsigned(s, v.Width);
    s += ',';
    put_unsigned(s, v.Height);
    s += ',';
    put_float(s, v.MinZ);
    s += ',';
    put_float(s, v.MaxZ);
}

void put_arg(std::string& s, const ShaderCodeArg& a) {
    if (!a.tokens) {
        s += kNull;
        return;
    }
    const DWORD version = a.tokens[0];
    const bool vertex = (version >> 16) == 0xFFFEu, pixel = (version >> 16) == 0xFFFFu;
    if (!vertex && !pixel) {
        s += "invalid";
        return;
    }
    s += vertex ? "vs_" : "ps_";
    put_unsigned(s, (version >> 8) & 0xFFu);
    s += '_';
    put_unsigned(s, version & 0xFFu);
}

void put_arg(std::string& s, const ElementsArg& a) {
    if (!a.elements) {
        s += kNull;
        return;
    }
    bool first = true;
    for (const D3DVERTEXELEMENT9* e = a.elements; e->Stream != 0xFF; ++e) {
        if (!first) s += ';';
        first = false;
        s += '[';
        put_unsigned(s, e->Stream);
        s += ',';
        put_unsigned(s, e->Offset);
        s += ',';
        put_unsigned(s, e->Type);
        s += ',';
        put_unsigned(s, e->Method);
        s += ',';
        put_unsigned(s, e->Usage);
        s += ',';
        put_unsigned(s, e->UsageIndex);
        s += ']';
        if (e - a.elements >= 64) break;  // no end marker: stop somewhere sane
    }
}

bool is_color_format(D3DFORMAT f) { return f == D3DFMT_A8R8G8B8 || f == D3DFMT_X8R8G8B8; }

bool is_depth_format(D3DFORMAT f) {
    return f == D3DFMT_D24S8 || f == D3DFMT_D24X8 || f == D3DFMT_D16;
}

// ---------------------------------------------------------------------------
// SwObject
// ---------------------------------------------------------------------------
SwObject::SwObject(SoftwareDevice* device, std::string label, SwObject* container, bool implicit,
                   ULONG initial_refs)
    : device_(device),
      label_(std::move(label)),
      container_(container),
      implicit_(implicit),
      external_(initial_refs) {
    if (device_) device_->register_object(this);
    if (external_ > 0) family_up();
}

SwObject::~SwObject() {
    // Still counted only when a derived constructor threw after the object
    // took its first reference: give the device's reference back.
    if (device_ && !container_ && family_ > 0) device_->Release();
    if (device_) device_->unregister_object(this);
}

ULONG SwObject::add_ref() {
    if (++external_ == 1) family_up();
    return external_;
}

ULONG SwObject::release() {
    if (external_ == 0) {
        if (device_) ++device_->over_releases_;
        return 0;
    }
    const ULONG left = --external_;
    if (left == 0) family_down();  // may destroy this object
    return left;
}

void SwObject::hold() {
    if (container_) {
        container_->hold();
        return;
    }
    ++internal_;
}

void SwObject::unhold() {
    if (container_) {
        container_->unhold();
        return;
    }
    --internal_;
    maybe_destroy();
}

void SwObject::family_up() {
    if (container_) {
        container_->family_up();
        return;
    }
    if (family_++ == 0 && device_) device_->AddRef();
}

void SwObject::family_down() {
    if (container_) {
        container_->family_down();
        return;
    }
    if (--family_ == 0) {
        if (device_) device_->Release();
        maybe_destroy();
    }
}

void SwObject::maybe_destroy() {
    if (family_ == 0 && internal_ == 0 && !implicit_) delete this;
}

HRESULT SwObject::get_device(Op op, IDirect3DDevice9** out) {
    HRESULT hr = enter(op);
    if (out) *out = nullptr;
    if (FAILED(hr)) return hr;
    if (!out || !device_) return leave(D3DERR_INVALIDCALL);
    device_->AddRef();
    *out = device_;
    return S_OK;
}

// ---------------------------------------------------------------------------
// SwSurface
// ---------------------------------------------------------------------------
SwSurface::SwSurface(SoftwareDevice* device, std::string label, SwObject* container, bool implicit,
                     ULONG initial_refs, const D3DSURFACE_DESC& desc, bool lockable)
    : SwObject(device, std::move(label), container, implicit, initial_refs),
      desc_(desc),
      lockable_(lockable) {}

HRESULT SwSurface::GetDevice(IDirect3DDevice9** ppDevice) {
    return get_device(Op::SurfGetDevice, ppDevice);
}

D3DRESOURCETYPE SwSurface::GetType() {
    enter(Op::SurfGetType);
    return D3DRTYPE_SURFACE;
}

HRESULT SwSurface::GetDesc(D3DSURFACE_DESC* pDesc) {
    HRESULT hr = enter(Op::SurfGetDesc);
    if (FAILED(hr)) return hr;
    if (!pDesc) return leave(D3DERR_INVALIDCALL);
    *pDesc = desc_;
    return S_OK;
}

HRESULT SwSurface::LockRect(D3DLOCKED_RECT* pLockedRect, const RECT* pRect, DWORD Flags) {
    HRESULT hr = enter(Op::SurfLockRect, RectArg{pRect}, Flags);
    if (pLockedRect) {
        pLockedRect->pBits = nullptr;
        pLockedRect->Pitch = 0;
    }
    if (FAILED(hr)) return hr;
    if (!pLockedRect || !lockable_ || locked_ || !is_color_format(desc_.Format))
        return leave(D3DERR_INVALIDCALL);
    UINT x = 0, y = 0;
    if (pRect) {
        if (pRect->left < 0 || pRect->top < 0 || pRect->right <= pRect->left ||
            pRect->bottom <= pRect->top || static_cast<UINT>(pRect->right) > desc_.Width ||
            static_cast<UINT>(pRect->bottom) > desc_.Height)
            return leave(D3DERR_INVALIDCALL);
        x = static_cast<UINT>(pRect->left);
        y = static_cast<UINT>(pRect->top);
    }
    uint32_t* texels = colors();
    pLockedRect->Pitch = static_cast<INT>(desc_.Width * 4);
    pLockedRect->pBits = texels + static_cast<size_t>(y) * desc_.Width + x;
    locked_ = true;
    return S_OK;
}

HRESULT SwSurface::UnlockRect() {
    HRESULT hr = enter(Op::SurfUnlockRect);
    if (FAILED(hr)) return hr;
    if (!locked_) return leave(D3DERR_INVALIDCALL);
    locked_ = false;
    // Keep the unused byte of X8R8G8B8 as the device stores it.
    if (desc_.Format == D3DFMT_X8R8G8B8)
        for (uint32_t& t : colors_) t |= 0xFF000000u;
    return S_OK;
}

uint32_t* SwSurface::colors() {
    if (colors_.empty() && !is_depth())
        colors_.assign(static_cast<size_t>(desc_.Width) * desc_.Height, store_value(0));
    return colors_.empty() ? nullptr : colors_.data();
}

float* SwSurface::depths() {
    if (depths_.empty() && is_depth())
        depths_.assign(static_cast<size_t>(desc_.Width) * desc_.Height, 1.0f);
    return depths_.empty() ? nullptr : depths_.data();
}

// ---------------------------------------------------------------------------
// SwTexture
// ---------------------------------------------------------------------------
SwTexture::SwTexture(SoftwareDevice* device, std::string label)
    : SwObject(device, std::move(label), nullptr, false, 1) {}

SwTexture::~SwTexture() {
    for (SwSurface* s : levels_) delete s;
}

HRESULT SwTexture::GetDevice(IDirect3DDevice9** ppDevice) {
    return get_device(Op::TexGetDevice, ppDevice);
}

D3DRESOURCETYPE SwTexture::GetType() {
    enter(Op::TexGetType);
    return D3DRTYPE_TEXTURE;
}

DWORD SwTexture::GetLevelCount() {
    enter(Op::TexGetLevelCount);
    return static_cast<DWORD>(levels_.size());
}

HRESULT SwTexture::GetLevelDesc(UINT Level, D3DSURFACE_DESC* pDesc) {
    HRESULT hr = enter(Op::TexGetLevelDesc, Level);
    if (FAILED(hr)) return hr;
    if (!pDesc || Level >= levels_.size()) return leave(D3DERR_INVALIDCALL);
    *pDesc = levels_[Level]->desc();
    return S_OK;
}

HRESULT SwTexture::GetSurfaceLevel(UINT Level, IDirect3DSurface9** ppSurfaceLevel) {
    HRESULT hr = enter(Op::TexGetSurfaceLevel, Level);
    if (ppSurfaceLevel) *ppSurfaceLevel = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppSurfaceLevel || Level >= levels_.size()) return leave(D3DERR_INVALIDCALL);
    levels_[Level]->add_ref();
    *ppSurfaceLevel = levels_[Level];
    return S_OK;
}

// ---------------------------------------------------------------------------
// SwCubeTexture
// ---------------------------------------------------------------------------
SwCubeTexture::SwCubeTexture(SoftwareDevice* device, std::string label, UINT levels)
    : SwObject(device, std::move(label), nullptr, false, 1), levels_(levels) {}

SwCubeTexture::~SwCubeTexture() {
    for (SwSurface* s : surfaces_) delete s;
}

HRESULT SwCubeTexture::GetDevice(IDirect3DDevice9** ppDevice) {
    return get_device(Op::CubeGetDevice, ppDevice);
}

D3DRESOURCETYPE SwCubeTexture::GetType() {
    enter(Op::CubeGetType);
    return D3DRTYPE_CUBETEXTURE;
}

DWORD SwCubeTexture::GetLevelCount() {
    enter(Op::CubeGetLevelCount);
    return levels_;
}

HRESULT SwCubeTexture::GetLevelDesc(UINT Level, D3DSURFACE_DESC* pDesc) {
    HRESULT hr = enter(Op::CubeGetLevelDesc, Level);
    if (FAILED(hr)) return hr;
    if (!pDesc || Level >= levels_) return leave(D3DERR_INVALIDCALL);
    *pDesc = surfaces_[Level]->desc();
    return S_OK;
}

HRESULT SwCubeTexture::GetCubeMapSurface(D3DCUBEMAP_FACES FaceType, UINT Level,
                                         IDirect3DSurface9** ppCubeMapSurface) {
    HRESULT hr = enter(Op::CubeGetCubeMapSurface, FaceType, Level);
    if (ppCubeMapSurface) *ppCubeMapSurface = nullptr;
    if (FAILED(hr)) return hr;
    const UINT face = static_cast<UINT>(FaceType);
    if (!ppCubeMapSurface || face >= 6 || Level >= levels_) return leave(D3DERR_INVALIDCALL);
    SwSurface* s = surfaces_[face * levels_ + Level];
    s->add_ref();
    *ppCubeMapSurface = s;
    return S_OK;
}

// ---------------------------------------------------------------------------
// SwVertexBuffer
// ---------------------------------------------------------------------------
SwVertexBuffer::SwVertexBuffer(SoftwareDevice* device, std::string label, UINT length, DWORD usage,
                               D3DPOOL pool)
    : SwObject(device, std::move(label), nullptr, false, 1),
      data_(length, 0),
      usage_(usage),
      pool_(pool) {}

HRESULT SwVertexBuffer::GetDevice(IDirect3DDevice9** ppDevice) {
    return get_device(Op::VbGetDevice, ppDevice);
}

D3DRESOURCETYPE SwVertexBuffer::GetType() {
    enter(Op::VbGetType);
    return D3DRTYPE_VERTEXBUFFER;
}

HRESULT SwVertexBuffer::Lock(UINT OffsetToLock, UINT SizeToLock, void** ppbData, DWORD Flags) {
    HRESULT hr = enter(Op::VbLock, OffsetToLock, SizeToLock, Flags);
    if (ppbData) *ppbData = nullptr;
    if (FAILED(hr)) return hr;
    const size_t size =
        SizeToLock == 0 ? data_.size() - std::min<size_t>(OffsetToLock, data_.size()) : SizeToLock;
    if (!ppbData || static_cast<size_t>(OffsetToLock) + size > data_.size())
        return leave(D3DERR_INVALIDCALL);
    if (locks_ > 0 && device()) device()->misuses_.push_back(label() + " locked while locked");
    ++locks_;
    *ppbData = data_.data() + OffsetToLock;
    return S_OK;
}

ULONG SwVertexBuffer::Release() {
    if (external_refs() == 1 && locks_ > 0 && device())
        device()->misuses_.push_back(label() + " released while locked");
    return release();
}

HRESULT SwVertexBuffer::Unlock() {
    HRESULT hr = enter(Op::VbUnlock);
    if (FAILED(hr)) return hr;
    if (locks_ == 0) return leave(D3DERR_INVALIDCALL);
    --locks_;
    return S_OK;
}

// ---------------------------------------------------------------------------
// SwVertexDecl
// ---------------------------------------------------------------------------
SwVertexDecl::SwVertexDecl(SoftwareDevice* device, std::string label,
                           std::vector<D3DVERTEXELEMENT9> elements)
    : SwObject(device, std::move(label), nullptr, false, 1), elements_(std::move(elements)) {}

HRESULT SwVertexDecl::GetDevice(IDirect3DDevice9** ppDevice) {
    return get_device(Op::DeclGetDevice, ppDevice);
}

// ---------------------------------------------------------------------------
// SwBuffer
// ---------------------------------------------------------------------------
SwBuffer::SwBuffer(SoftwareDevice* device, std::string label, const std::string& text)
    : SwObject(device, std::move(label), nullptr, false, 1), bytes_(text.begin(), text.end()) {
    bytes_.push_back('\0');
}

LPVOID SwBuffer::GetBufferPointer() {
    enter(Op::BufGetBufferPointer);
    return bytes_.data();
}

DWORD SwBuffer::GetBufferSize() {
    enter(Op::BufGetBufferSize);
    return static_cast<DWORD>(bytes_.size());
}

}  // namespace detail
}  // namespace lightvol_sw
