#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "platform/software/shader_program.h"
#include "platform/software/sw_internal.h"

namespace lightvol_sw {

using namespace detail;

namespace {

std::vector<MessageBoxRecord>& message_box_list() {
    static std::vector<MessageBoxRecord> list;
    return list;
}

// Devices alive, in construction order.
std::vector<SoftwareDevice*>& live_devices() {
    static std::vector<SoftwareDevice*> list;
    return list;
}

constexpr UINT kMaxBufferLength = 1u << 28;

D3DSURFACE_DESC surface_desc(UINT w, UINT h, D3DFORMAT f, DWORD usage, D3DPOOL pool) {
    D3DSURFACE_DESC d{};
    d.Format = f;
    d.Type = D3DRTYPE_SURFACE;
    d.Usage = usage;
    d.Pool = pool;
    d.MultiSampleType = D3DMULTISAMPLE_NONE;
    d.MultiSampleQuality = 0;
    d.Width = w;
    d.Height = h;
    return d;
}

UINT full_mip_chain(UINT w, UINT h) {
    UINT levels = 1;
    while (w > 1 || h > 1) {
        w = std::max(1u, w / 2);
        h = std::max(1u, h / 2);
        ++levels;
    }
    return levels;
}

}  // namespace

namespace detail {
void record_message_box(MessageBoxRecord record) {
    message_box_list().push_back(std::move(record));
}
}  // namespace detail

const std::vector<MessageBoxRecord>& message_boxes() { return message_box_list(); }

void clear_message_boxes() { message_box_list().clear(); }

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------
SoftwareDevice::SoftwareDevice(UINT backbuffer_width, UINT backbuffer_height)
    : op_counts_(kOpCount, 0) {
    backbuffer_width = std::max(1u, backbuffer_width);
    backbuffer_height = std::max(1u, backbuffer_height);
    back_buffer_ = new SwSurface(this, "BackBuffer", nullptr, true, 0,
                                 surface_desc(backbuffer_width, backbuffer_height, D3DFMT_X8R8G8B8,
                                              D3DUSAGE_RENDERTARGET, D3DPOOL_DEFAULT),
                                 false);
    depth_buffer_ = new SwSurface(this, "DepthBuffer", nullptr, true, 0,
                                  surface_desc(backbuffer_width, backbuffer_height, D3DFMT_D24X8,
                                               D3DUSAGE_DEPTHSTENCIL, D3DPOOL_DEFAULT),
                                  false);
    bind_render_target(back_buffer_);
    bind_depth_stencil(depth_buffer_);
    viewport_ = D3DVIEWPORT9{0, 0, backbuffer_width, backbuffer_height, 0.0f, 1.0f};
    scissor_ = RECT{0, 0, static_cast<LONG>(backbuffer_width), static_cast<LONG>(backbuffer_height)};
    frequencies_.fill(1);

    // Direct3D 9's defaults for every state a draw here reads.
    const float one = 1.0f;
    DWORD one_bits;
    std::memcpy(&one_bits, &one, sizeof one_bits);
    render_states_[D3DRS_ALPHAFUNC] = D3DCMP_ALWAYS;
    render_states_[D3DRS_DITHERENABLE] = 0;
    render_states_[D3DRS_FOGEND] = one_bits;
    render_states_[D3DRS_FOGDENSITY] = one_bits;
    render_states_[D3DRS_STENCILFUNC] = D3DCMP_ALWAYS;
    render_states_[D3DRS_STENCILMASK] = 0xFFFFFFFFu;
    render_states_[59] = 0xFFFFFFFFu;  // D3DRS_STENCILWRITEMASK
    render_states_[D3DRS_CLIPPING] = 1;
    render_states_[D3DRS_MULTISAMPLEANTIALIAS] = 1;
    render_states_[D3DRS_MULTISAMPLEMASK] = 0xFFFFFFFFu;
    render_states_[D3DRS_COLORWRITEENABLE1] = 0xF;
    render_states_[D3DRS_COLORWRITEENABLE2] = 0xF;
    render_states_[D3DRS_COLORWRITEENABLE3] = 0xF;

    render_states_[D3DRS_ZENABLE] = 1;
    render_states_[8] = 3;  // D3DRS_FILLMODE: solid
    render_states_[9] = 2;  // D3DRS_SHADEMODE: Gouraud
    render_states_[D3DRS_ZWRITEENABLE] = 1;
    render_states_[D3DRS_SRCBLEND] = D3DBLEND_ONE;
    render_states_[D3DRS_DESTBLEND] = D3DBLEND_ZERO;
    render_states_[D3DRS_CULLMODE] = D3DCULL_CCW;
    render_states_[23] = 4;  // D3DRS_ZFUNC: less or equal
    render_states_[D3DRS_ALPHABLENDENABLE] = 0;
    render_states_[168] = 0xF;  // D3DRS_COLORWRITEENABLE: all channels
    render_states_[D3DRS_BLENDOP] = D3DBLENDOP_ADD;

    register_vertex_shader("VS", make_light_vertex_shader());
    register_pixel_shader("PS", make_light_pixel_shader());

    live_devices().push_back(this);
}

SoftwareDevice::~SoftwareDevice() {
    auto& devices = live_devices();
    devices.erase(std::remove(devices.begin(), devices.end(), this), devices.end());

    // Drop every binding; objects nobody references any more go away.
    bind_constants(nullptr);
    bind_shaders(nullptr, nullptr);
    for (UINT i = 0; i < kStreams; ++i) bind_stream(i, nullptr, 0, 0);
    bind_vertex_declaration(nullptr);
    rebind_object(indices_, static_cast<SwObject*>(nullptr));
    bind_render_target(nullptr);
    bind_depth_stencil(nullptr);
    for (SwSurface*& target : extra_targets_)
        rebind_object(target, static_cast<SwSurface*>(nullptr));
    for (size_t i = 0; i < textures_.size(); ++i) bind_texture(i, nullptr);

    // What remains is referenced from outside: cut it loose from the device.
    std::vector<SwObject*> remaining = objects_;
    for (SwObject* o : remaining) o->orphan();
    objects_.clear();
    for (SwObject* o : remaining) {
        if (o->implicit()) delete o;
    }
}

SoftwareDevice* SoftwareDevice::current() {
    auto& devices = live_devices();
    return devices.empty() ? nullptr : devices.back();
}

ULONG SoftwareDevice::AddRef() { return ++refs_; }

ULONG SoftwareDevice::Release() {
    if (refs_ == 0) {
        ++over_releases_;
        return 0;
    }
    return --refs_;
}

ULONG SoftwareDevice::ref_count(IUnknown* object) {
    if (!object) return 0;
    object->AddRef();
    return object->Release();
}

size_t SoftwareDevice::live_object_count() const {
    size_t n = 0;
    for (const SwObject* o : objects_)
        if (!o->implicit() && o->external_refs() > 0) ++n;
    return n;
}

std::vector<std::string> SoftwareDevice::live_objects() const {
    std::vector<std::string> out;
    for (const SwObject* o : objects_)
        if (!o->implicit() && o->external_refs() > 0) out.push_back(o->label());
    return out;
}

// ---------------------------------------------------------------------------
// Bookkeeping
// ---------------------------------------------------------------------------
std::string SoftwareDevice::next_label(const char* kind) {
    return std::string(kind) + "#" + std::to_string(next_id_++);
}

void SoftwareDevice::register_object(SwObject* object) { objects_.push_back(object); }

void SoftwareDevice::unregister_object(SwObject* object) {
    auto it = std::find(objects_.rbegin(), objects_.rend(), object);
    if (it != objects_.rend()) objects_.erase(std::next(it).base());
}

void SoftwareDevice::append_call(std::string&& text) { calls_.push_back(std::move(text)); }

HRESULT SoftwareDevice::leave(HRESULT hr) {
    if (strict_ && FAILED(hr) && hr != D3DERR_NOTFOUND)
        misuses_.push_back(std::string("refused: ") +
                           (last_logged_ && !calls_.empty() ? calls_.back() : op_name(last_op_)));
    if (FAILED(hr) && last_logged_ && !calls_.empty()) {
        calls_.back() += hr == D3DERR_NOTFOUND ? " -> NOTFOUND" : " -> FAILED";
        last_logged_ = false;
    }
    return hr;
}

HRESULT SoftwareDevice::injected_failure(Op op, const char** error_text) {
    ++hresult_calls_;
    const uint32_t n = ++op_counts_[static_cast<size_t>(op)];
    if (fail_nth_ > 0 && hresult_calls_ == fail_nth_) return fail_nth_hr_;
    for (const FailureRule& rule : failures_) {
        if (rule.op == op &&
            (rule.occurrence == 0 || static_cast<uint32_t>(rule.occurrence) == n)) {
            if (rule.with_error_buffer && error_text) *error_text = rule.error_text.c_str();
            return rule.hr;
        }
    }
    return S_OK;
}

void SoftwareDevice::fail(const std::string& op, int occurrence, HRESULT hr) {
    Op id;
    if (!op_from_name(op, &id)) throw std::invalid_argument("unknown operation: " + op);
    if (!op_returns_hresult(id)) throw std::invalid_argument(op + " cannot fail");
    if (SUCCEEDED(hr) || occurrence < 0) throw std::invalid_argument("not a failure");
    failures_.push_back(FailureRule{id, occurrence, hr, false, std::string()});
}

void SoftwareDevice::fail_effect_creation(int occurrence, HRESULT hr, const char* error_text) {
    if (SUCCEEDED(hr) || occurrence < 0) throw std::invalid_argument("not a failure");
    failures_.push_back(FailureRule{Op::D3DXCreateEffect, occurrence, hr, error_text != nullptr,
                                    error_text ? error_text : ""});
}

void SoftwareDevice::fail_nth_hresult_call(int n, HRESULT hr) {
    if (SUCCEEDED(hr)) throw std::invalid_argument("not a failure");
    fail_nth_ = n;
    fail_nth_hr_ = hr;
}

void SoftwareDevice::clear_failures() {
    failures_.clear();
    fail_nth_ = 0;
}

void SoftwareDevice::set_null_mode(bool on) { null_mode_ = on; }

HRESULT SoftwareDevice::check_size(UINT width, UINT height) const {
    if (width == 0 || height == 0 || width > max_texture_size_ || height > max_texture_size_)
        return D3DERR_INVALIDCALL;
    return S_OK;
}

SwSurface* SoftwareDevice::surface_of(IDirect3DSurface9* surface) const {
    auto* s = surface ? dynamic_cast<SwSurface*>(surface) : nullptr;
    return s && s->device() == this ? s : nullptr;
}

// ---------------------------------------------------------------------------
// Bindings (internal references)
// ---------------------------------------------------------------------------
template <class T>
static void rebind(T*& slot, T* object) {
    rebind_object(slot, object);
}

void SoftwareDevice::bind_render_target(SwSurface* surface) { rebind(render_target_, surface); }
void SoftwareDevice::bind_depth_stencil(SwSurface* surface) { rebind(depth_stencil_, surface); }
void SoftwareDevice::bind_vertex_declaration(SwVertexDecl* decl) { rebind(declaration_, decl); }
void SoftwareDevice::bind_constants(SwEffect* effect) { rebind(constants_, effect); }

void SoftwareDevice::bind_stream(UINT index, SwVertexBuffer* buffer, UINT offset, UINT stride) {
    Stream& s = streams_[index];
    rebind(s.buffer, buffer);
    s.offset = offset;
    s.stride = stride;
}

void SoftwareDevice::bind_shaders(std::shared_ptr<VertexShader> vs,
                                  std::shared_ptr<PixelShader> ps) {
    bound_vs_ = std::move(vs);
    bound_ps_ = std::move(ps);
    rebind(vs_object_, static_cast<SwObject*>(nullptr));
    rebind(ps_object_, static_cast<SwObject*>(nullptr));
}

ShaderBinding SoftwareDevice::capture_shaders() {
    ShaderBinding b{bound_vs_, bound_ps_, vs_object_, ps_object_};
    if (b.vs_object) b.vs_object->hold();
    if (b.ps_object) b.ps_object->hold();
    return b;
}

void SoftwareDevice::restore_shaders(ShaderBinding& saved) {
    bound_vs_ = std::move(saved.vs);
    bound_ps_ = std::move(saved.ps);
    rebind(vs_object_, saved.vs_object);
    rebind(ps_object_, saved.ps_object);
    if (saved.vs_object) saved.vs_object->unhold();
    if (saved.ps_object) saved.ps_object->unhold();
    saved = ShaderBinding{};
}

// ---------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------
HRESULT SoftwareDevice::CreateTexture(UINT Width, UINT Height, UINT Levels, DWORD Usage,
                                      D3DFORMAT Format, D3DPOOL Pool, IDirect3DTexture9** ppTexture,
                                      HANDLE* pSharedHandle) {
    HRESULT hr = enter(Op::CreateTexture, Width, Height, Levels, Usage, Format, Pool);
    if (ppTexture) *ppTexture = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppTexture || pSharedHandle) return leave(D3DERR_INVALIDCALL);
    hr = check_size(Width, Height);
    if (FAILED(hr)) return leave(hr);
    const bool rt = (Usage & D3DUSAGE_RENDERTARGET) != 0;
    if ((Usage & ~D3DUSAGE_RENDERTARGET) != 0 || !is_color_format(Format) ||
        Pool > D3DPOOL_SCRATCH || (rt && Pool != D3DPOOL_DEFAULT) ||
        (ex_mode_ && Pool == D3DPOOL_MANAGED))
        return leave(D3DERR_INVALIDCALL);
    const UINT max_levels = full_mip_chain(Width, Height);
    const UINT levels = Levels == 0 ? max_levels : Levels;
    if (levels > max_levels) return leave(D3DERR_INVALIDCALL);

    auto* tex = new SwTexture(this, next_label("Texture"));
    try {
        UINT w = Width, h = Height;
        for (UINT i = 0; i < levels; ++i) {
            auto level = std::make_unique<SwSurface>(this, next_label("Surface"), tex, false, 0,
                                                     surface_desc(w, h, Format, Usage, Pool),
                                                     Pool != D3DPOOL_DEFAULT);
            tex->add_level(level.get());
            level.release();
            w = std::max(1u, w / 2);
            h = std::max(1u, h / 2);
        }
    } catch (const std::bad_alloc&) {
        tex->Release();  // takes the levels made so far with it
        return leave(E_OUTOFMEMORY);
    }
    *ppTexture = tex;
    return S_OK;
}

HRESULT SoftwareDevice::CreateVertexBuffer(UINT Length, DWORD Usage, DWORD FVF, D3DPOOL Pool,
                                           IDirect3DVertexBuffer9** ppVertexBuffer,
                                           HANDLE* pSharedHandle) {
    HRESULT hr = enter(Op::CreateVertexBuffer, Length, Usage, FVF, Pool);
    if (ppVertexBuffer) *ppVertexBuffer = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppVertexBuffer || pSharedHandle || Length == 0 || Pool > D3DPOOL_SCRATCH ||
        (ex_mode_ && Pool == D3DPOOL_MANAGED))
        return leave(D3DERR_INVALIDCALL);
    if (Length > kMaxBufferLength) return leave(D3DERR_OUTOFVIDEOMEMORY);
    try {
        *ppVertexBuffer = new SwVertexBuffer(this, next_label("VertexBuffer"), Length, Usage, Pool);
    } catch (const std::bad_alloc&) {
        return leave(E_OUTOFMEMORY);
    }
    return S_OK;
}

HRESULT SoftwareDevice::CreateRenderTarget(UINT Width, UINT Height, D3DFORMAT Format,
                                           D3DMULTISAMPLE_TYPE MultiSample,
                                           DWORD MultisampleQuality, BOOL Lockable,
                                           IDirect3DSurface9** ppSurface, HANDLE* pSharedHandle) {
    HRESULT hr = enter(Op::CreateRenderTarget, Width, Height, Format, MultiSample,
                       MultisampleQuality, Lockable);
    if (ppSurface) *ppSurface = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppSurface || pSharedHandle || !is_color_format(Format) ||
        MultiSample != D3DMULTISAMPLE_NONE || MultisampleQuality != 0)
        return leave(D3DERR_INVALIDCALL);
    hr = check_size(Width, Height);
    if (FAILED(hr)) return leave(hr);
    *ppSurface =
        new SwSurface(this, next_label("Surface"), nullptr, false, 1,
                      surface_desc(Width, Height, Format, D3DUSAGE_RENDERTARGET, D3DPOOL_DEFAULT),
                      Lockable != FALSE);
    return S_OK;
}

HRESULT SoftwareDevice::CreateDepthStencilSurface(UINT Width, UINT Height, D3DFORMAT Format,
                                                  D3DMULTISAMPLE_TYPE MultiSample,
                                                  DWORD MultisampleQuality, BOOL Discard,
                                                  IDirect3DSurface9** ppSurface,
                                                  HANDLE* pSharedHandle) {
    HRESULT hr = enter(Op::CreateDepthStencilSurface, Width, Height, Format, MultiSample,
                       MultisampleQuality, Discard);
    if (ppSurface) *ppSurface = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppSurface || pSharedHandle || !is_depth_format(Format) ||
        MultiSample != D3DMULTISAMPLE_NONE || MultisampleQuality != 0)
        return leave(D3DERR_INVALIDCALL);
    hr = check_size(Width, Height);
    if (FAILED(hr)) return leave(hr);
    *ppSurface = new SwSurface(
        this, next_label("Surface"), nullptr, false, 1,
        surface_desc(Width, Height, Format, D3DUSAGE_DEPTHSTENCIL, D3DPOOL_DEFAULT), false);
    return S_OK;
}

HRESULT SoftwareDevice::CreateOffscreenPlainSurface(UINT Width, UINT Height, D3DFORMAT Format,
                                                    D3DPOOL Pool, IDirect3DSurface9** ppSurface,
                                                    HANDLE* pSharedHandle) {
    HRESULT hr = enter(Op::CreateOffscreenPlainSurface, Width, Height, Format, Pool);
    if (ppSurface) *ppSurface = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppSurface || pSharedHandle || !is_color_format(Format) || Pool == D3DPOOL_MANAGED ||
        Pool > D3DPOOL_SCRATCH)
        return leave(D3DERR_INVALIDCALL);
    hr = check_size(Width, Height);
    if (FAILED(hr)) return leave(hr);
    *ppSurface = new SwSurface(this, next_label("Surface"), nullptr, false, 1,
                               surface_desc(Width, Height, Format, 0, Pool), true);
    return S_OK;
}

HRESULT SoftwareDevice::CreateVertexDeclaration(const D3DVERTEXELEMENT9* pVertexElements,
                                                IDirect3DVertexDeclaration9** ppDecl) {
    HRESULT hr = enter(Op::CreateVertexDeclaration, ElementsArg{pVertexElements});
    if (ppDecl) *ppDecl = nullptr;
    if (FAILED(hr)) return hr;
    if (!pVertexElements || !ppDecl) return leave(D3DERR_INVALIDCALL);
    std::vector<D3DVERTEXELEMENT9> elements;
    for (size_t i = 0;; ++i) {
        if (i > 64) return leave(D3DERR_INVALIDCALL);  // no end marker
        const D3DVERTEXELEMENT9& e = pVertexElements[i];
        if (e.Stream == 0xFF) break;
        if (e.Stream >= kStreams || e.Type > 16) return leave(D3DERR_INVALIDCALL);
        elements.push_back(e);
    }
    *ppDecl = new SwVertexDecl(this, next_label("Decl"), std::move(elements));
    return S_OK;
}

HRESULT SoftwareDevice::GetRenderTargetData(IDirect3DSurface9* pRenderTarget,
                                            IDirect3DSurface9* pDestSurface) {
    HRESULT hr = enter(Op::GetRenderTargetData, pRenderTarget, pDestSurface);
    if (FAILED(hr)) return hr;
    SwSurface* src = surface_of(pRenderTarget);
    SwSurface* dst = surface_of(pDestSurface);
    if (!src || !dst || !src->is_render_target() || dst->desc().Pool != D3DPOOL_SYSTEMMEM ||
        src->width() != dst->width() || src->height() != dst->height() ||
        src->desc().Format != dst->desc().Format || !is_color_format(src->desc().Format))
        return leave(D3DERR_INVALIDCALL);
    std::memcpy(dst->colors(), src->colors(),
                static_cast<size_t>(src->width()) * src->height() * sizeof(uint32_t));
    return S_OK;
}

// ---------------------------------------------------------------------------
// Frame state
// ---------------------------------------------------------------------------
HRESULT SoftwareDevice::SetRenderTarget(DWORD RenderTargetIndex, IDirect3DSurface9* pRenderTarget) {
    HRESULT hr = enter(Op::SetRenderTarget, RenderTargetIndex, pRenderTarget);
    if (FAILED(hr)) return hr;
    SwSurface* s = surface_of(pRenderTarget);
    if (RenderTargetIndex >= render_target_count_ ||
        (pRenderTarget && (!s || !s->is_render_target())) ||
        (RenderTargetIndex == 0 && !s))
        return leave(D3DERR_INVALIDCALL);
    if (RenderTargetIndex > 0) {
        rebind(extra_targets_[RenderTargetIndex - 1], s);
        return S_OK;
    }
    bind_render_target(s);
    // Target 0 brings its own viewport and scissor rectangle: the whole surface.
    viewport_ = D3DVIEWPORT9{0, 0, s->width(), s->height(), 0.0f, 1.0f};
    scissor_ = RECT{0, 0, static_cast<LONG>(s->width()), static_cast<LONG>(s->height())};
    return S_OK;
}

HRESULT SoftwareDevice::GetRenderTarget(DWORD RenderTargetIndex,
                                        IDirect3DSurface9** ppRenderTarget) {
    HRESULT hr = enter(Op::GetRenderTarget, RenderTargetIndex);
    if (ppRenderTarget) *ppRenderTarget = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppRenderTarget || RenderTargetIndex >= render_target_count_)
        return leave(D3DERR_INVALIDCALL);
    SwSurface* target =
        RenderTargetIndex == 0 ? render_target_ : extra_targets_[RenderTargetIndex - 1];
    if (!target) return leave(D3DERR_NOTFOUND);
    target->add_ref();
    *ppRenderTarget = target;
    return S_OK;
}

HRESULT SoftwareDevice::SetDepthStencilSurface(IDirect3DSurface9* pNewZStencil) {
    HRESULT hr = enter(Op::SetDepthStencilSurface, pNewZStencil);
    if (FAILED(hr)) return hr;
    SwSurface* s = surface_of(pNewZStencil);
    if (pNewZStencil && (!s || !s->is_depth())) return leave(D3DERR_INVALIDCALL);
    bind_depth_stencil(s);
    return S_OK;
}

HRESULT SoftwareDevice::GetDepthStencilSurface(IDirect3DSurface9** ppZStencilSurface) {
    HRESULT hr = enter(Op::GetDepthStencilSurface);
    if (ppZStencilSurface) *ppZStencilSurface = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppZStencilSurface) return leave(D3DERR_INVALIDCALL);
    if (!depth_stencil_) return leave(D3DERR_NOTFOUND);
    depth_stencil_->add_ref();
    *ppZStencilSurface = depth_stencil_;
    return S_OK;
}

HRESULT SoftwareDevice::BeginScene() {
    HRESULT hr = enter(Op::BeginScene);
    if (FAILED(hr)) return hr;
    if (in_scene_) return leave(D3DERR_INVALIDCALL);
    in_scene_ = true;
    return S_OK;
}

HRESULT SoftwareDevice::EndScene() {
    HRESULT hr = enter(Op::EndScene);
    if (FAILED(hr)) return hr;
    if (!in_scene_) return leave(D3DERR_INVALIDCALL);
    in_scene_ = false;
    return S_OK;
}

HRESULT SoftwareDevice::Clear(DWORD Count, const D3DRECT* pRects, DWORD Flags, D3DCOLOR Color,
                              float Z, DWORD Stencil) {
    HRESULT hr = enter(Op::Clear, Count, RectListArg{Count, pRects}, Flags, Color, Z, Stencil);
    if (FAILED(hr)) return hr;
    if ((Count > 0) != (pRects != nullptr)) return leave(D3DERR_INVALIDCALL);
    if (Flags == 0 || (Flags & ~(D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL)) != 0)
        return leave(D3DERR_INVALIDCALL);
    if ((Flags & (D3DCLEAR_ZBUFFER | D3DCLEAR_STENCIL)) && !depth_stencil_)
        return leave(D3DERR_INVALIDCALL);
    if ((Flags & D3DCLEAR_STENCIL) && depth_stencil_->desc().Format != D3DFMT_D24S8)
        return leave(D3DERR_INVALIDCALL);
    if (Flags & D3DCLEAR_ZBUFFER) {
        if (Z < 0.0f || Z > 1.0f) return leave(D3DERR_INVALIDCALL);
    }
    if (null_mode_) return S_OK;
    LONG vx1 = static_cast<LONG>(viewport_.X), vy1 = static_cast<LONG>(viewport_.Y);
    LONG vx2 = static_cast<LONG>(viewport_.X + viewport_.Width);
    LONG vy2 = static_cast<LONG>(viewport_.Y + viewport_.Height);
    if (render_states_[D3DRS_SCISSORTESTENABLE]) {
        vx1 = std::max(vx1, scissor_.left);
        vy1 = std::max(vy1, scissor_.top);
        vx2 = std::min(vx2, scissor_.right);
        vy2 = std::min(vy2, scissor_.bottom);
    }
    if (Count == 0) {
        clear_rect(vx1, vy1, vx2, vy2, Flags, Color, Z);
    } else {
        for (DWORD i = 0; i < Count; ++i) {
            const D3DRECT& r = pRects[i];
            clear_rect(std::max(vx1, r.x1), std::max(vy1, r.y1), std::min(vx2, r.x2),
                       std::min(vy2, r.y2), Flags, Color, Z);
        }
    }
    return S_OK;
}

void SoftwareDevice::clear_rect(LONG x1, LONG y1, LONG x2, LONG y2, DWORD flags, D3DCOLOR color,
                                float z) {
    auto fill = [&](SwSurface* s, auto&& write) {
        const LONG w = static_cast<LONG>(s->width()), h = static_cast<LONG>(s->height());
        const LONG l = std::max<LONG>(0, x1), t = std::max<LONG>(0, y1);
        const LONG r = std::min<LONG>(w, x2), b = std::min<LONG>(h, y2);
        for (LONG y = t; y < b; ++y)
            for (LONG x = l; x < r; ++x) write(static_cast<size_t>(y) * s->width() + x);
    };
    if ((flags & D3DCLEAR_TARGET) && render_target_) {
        uint32_t* c = render_target_->colors();
        const uint32_t v = render_target_->store_value(color);
        fill(render_target_, [&](size_t i) { c[i] = v; });
    }
    if ((flags & D3DCLEAR_ZBUFFER) && depth_stencil_) {
        float* d = depth_stencil_->depths();
        fill(depth_stencil_, [&](size_t i) { d[i] = z; });
    }
}

HRESULT SoftwareDevice::SetViewport(const D3DVIEWPORT9* pViewport) {
    HRESULT hr = enter(Op::SetViewport, ViewportArg{pViewport});
    if (FAILED(hr)) return hr;
    if (!pViewport || !render_target_) return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->viewport = true;
        recording_block_->viewport_value = *pViewport;
        return S_OK;
    }
    const D3DVIEWPORT9& v = *pViewport;
    if (static_cast<uint64_t>(v.X) + v.Width > render_target_->width() ||
        static_cast<uint64_t>(v.Y) + v.Height > render_target_->height())
        return leave(D3DERR_INVALIDCALL);
    viewport_ = v;
    return S_OK;
}

HRESULT SoftwareDevice::GetViewport(D3DVIEWPORT9* pViewport) {
    HRESULT hr = enter(Op::GetViewport);
    if (FAILED(hr)) return hr;
    if (!pViewport) return leave(D3DERR_INVALIDCALL);
    *pViewport = viewport_;
    return S_OK;
}

HRESULT SoftwareDevice::SetRenderState(D3DRENDERSTATETYPE State, DWORD Value) {
    HRESULT hr = enter(Op::SetRenderState, State, Value);
    if (FAILED(hr)) return hr;
    const auto index = static_cast<uint32_t>(State);
    if (index >= kRenderStates) return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->render_state[index] = true;
        recording_block_->render_value[index] = Value;
        return S_OK;
    }
    render_states_[index] = Value;
    return S_OK;
}

HRESULT SoftwareDevice::GetRenderState(D3DRENDERSTATETYPE State, DWORD* pValue) {
    HRESULT hr = enter(Op::GetRenderState, State);
    if (FAILED(hr)) return hr;
    const auto index = static_cast<uint32_t>(State);
    if (!pValue || index >= kRenderStates || pure()) return leave(D3DERR_INVALIDCALL);
    *pValue = render_states_[index];
    return S_OK;
}

// ---------------------------------------------------------------------------
// Drawing
// ---------------------------------------------------------------------------
HRESULT SoftwareDevice::DrawPrimitive(D3DPRIMITIVETYPE PrimitiveType, UINT StartVertex,
                                      UINT PrimitiveCount) {
    HRESULT hr = enter(Op::DrawPrimitive, PrimitiveType, StartVertex, PrimitiveCount);
    if (FAILED(hr)) return hr;
    hr = validate_draw(PrimitiveType, StartVertex, PrimitiveCount);
    bool draw_nothing = false;
    if (SUCCEEDED(hr)) hr = check_draw_state(&draw_nothing);
    if (FAILED(hr)) return leave(hr);
    ++draw_calls_;
    if (!null_mode_ && !draw_nothing && PrimitiveType == D3DPT_TRIANGLELIST && PrimitiveCount > 0)
        rasterize_triangles(StartVertex, PrimitiveCount);
    return S_OK;
}

HRESULT SoftwareDevice::DrawIndexedPrimitive(D3DPRIMITIVETYPE PrimitiveType, INT BaseVertexIndex,
                                             UINT MinVertexIndex, UINT NumVertices, UINT startIndex,
                                             UINT primCount) {
    HRESULT hr = enter(Op::DrawIndexedPrimitive, PrimitiveType, BaseVertexIndex, MinVertexIndex,
                       NumVertices, startIndex, primCount);
    if (FAILED(hr)) return hr;
    // No index buffer can be made on this device, so an indexed draw never
    // has one to read.
    if (refuse_locked_streams()) return leave(D3DERR_INVALIDCALL);
    if (!indices_ || !in_scene_) return leave(D3DERR_INVALIDCALL);
    ++draw_calls_;
    return S_OK;
}

HRESULT SoftwareDevice::SetVertexDeclaration(IDirect3DVertexDeclaration9* pDecl) {
    HRESULT hr = enter(Op::SetVertexDeclaration, pDecl);
    if (FAILED(hr)) return hr;
    auto* d = pDecl ? dynamic_cast<SwVertexDecl*>(pDecl) : nullptr;
    if (pDecl && (!d || d->device() != this)) return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->declaration = true;
        return S_OK;
    }
    bind_vertex_declaration(d);
    return S_OK;
}

HRESULT SoftwareDevice::SetStreamSource(UINT StreamNumber, IDirect3DVertexBuffer9* pStreamData,
                                        UINT OffsetInBytes, UINT Stride) {
    HRESULT hr = enter(Op::SetStreamSource, StreamNumber, pStreamData, OffsetInBytes, Stride);
    if (FAILED(hr)) return hr;
    auto* vb = pStreamData ? dynamic_cast<SwVertexBuffer*>(pStreamData) : nullptr;
    if (StreamNumber >= kStreams || (pStreamData && (!vb || vb->device() != this)))
        return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->stream[StreamNumber] = true;
        return S_OK;
    }
    bind_stream(StreamNumber, vb, OffsetInBytes, Stride);
    return S_OK;
}

HRESULT SoftwareDevice::SetIndices(IDirect3DIndexBuffer9* pIndexData) {
    HRESULT hr = enter(Op::SetIndices, pIndexData);
    if (FAILED(hr)) return hr;
    SwObject* ib = object_from(pIndexData);
    if (pIndexData && (!ib || ib->device() != this)) return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->indices = true;
        return S_OK;
    }
    rebind(indices_, ib);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Shader objects and constants
// ---------------------------------------------------------------------------
HRESULT SoftwareDevice::CreateVertexShader(const DWORD* pFunction,
                                           IDirect3DVertexShader9** ppShader) {
    HRESULT hr = enter(Op::CreateVertexShader, ShaderCodeArg{pFunction});
    if (ppShader) *ppShader = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppShader) return leave(D3DERR_INVALIDCALL);
    try {
        std::shared_ptr<VertexShader> program = decode_vertex_program(pFunction, vs_constants_);
        if (!program) return leave(D3DERR_INVALIDCALL);
        *ppShader = new SwVertexShader(this, next_label("VertexShader"), std::move(program));
    } catch (const std::bad_alloc&) {
        return leave(E_OUTOFMEMORY);
    }
    return S_OK;
}

HRESULT SoftwareDevice::CreatePixelShader(const DWORD* pFunction,
                                          IDirect3DPixelShader9** ppShader) {
    HRESULT hr = enter(Op::CreatePixelShader, ShaderCodeArg{pFunction});
    if (ppShader) *ppShader = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppShader) return leave(D3DERR_INVALIDCALL);
    try {
        std::shared_ptr<PixelShader> program = decode_pixel_program(pFunction);
        if (!program) return leave(D3DERR_INVALIDCALL);
        *ppShader = new SwPixelShader(this, next_label("PixelShader"), std::move(program));
    } catch (const std::bad_alloc&) {
        return leave(E_OUTOFMEMORY);
    }
    return S_OK;
}

HRESULT SoftwareDevice::SetVertexShader(IDirect3DVertexShader9* pShader) {
    HRESULT hr = enter(Op::SetVertexShader, pShader);
    if (FAILED(hr)) return hr;
    auto* vs = pShader ? dynamic_cast<SwVertexShader*>(pShader) : nullptr;
    if (pShader && (!vs || vs->device() != this)) return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->vertex_shader = true;
        return S_OK;
    }
    rebind(vs_object_, static_cast<SwObject*>(vs));
    bound_vs_ = vs ? vs->program() : nullptr;
    return S_OK;
}

HRESULT SoftwareDevice::GetVertexShader(IDirect3DVertexShader9** ppShader) {
    HRESULT hr = enter(Op::GetVertexShader);
    if (ppShader) *ppShader = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppShader) return leave(D3DERR_INVALIDCALL);
    if (auto* vs = dynamic_cast<SwVertexShader*>(vs_object_)) {
        vs->add_ref();
        *ppShader = vs;
    }
    return S_OK;
}

HRESULT SoftwareDevice::SetPixelShader(IDirect3DPixelShader9* pShader) {
    HRESULT hr = enter(Op::SetPixelShader, pShader);
    if (FAILED(hr)) return hr;
    auto* ps = pShader ? dynamic_cast<SwPixelShader*>(pShader) : nullptr;
    if (pShader && (!ps || ps->device() != this)) return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->pixel_shader = true;
        return S_OK;
    }
    rebind(ps_object_, static_cast<SwObject*>(ps));
    bound_ps_ = ps ? ps->program() : nullptr;
    return S_OK;
}

HRESULT SoftwareDevice::GetPixelShader(IDirect3DPixelShader9** ppShader) {
    HRESULT hr = enter(Op::GetPixelShader);
    if (ppShader) *ppShader = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppShader) return leave(D3DERR_INVALIDCALL);
    if (auto* ps = dynamic_cast<SwPixelShader*>(ps_object_)) {
        ps->add_ref();
        *ppShader = ps;
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// Pixels
// ---------------------------------------------------------------------------
static SwSurface* any_surface(IDirect3DSurface9* surface) {
    return surface ? dynamic_cast<SwSurface*>(surface) : nullptr;
}

std::vector<uint32_t> SoftwareDevice::read_pixels(IDirect3DSurface9* surface) {
    SwSurface* s = any_surface(surface);
    if (!s || s->is_depth()) return {};
    const uint32_t* c = s->colors();
    return std::vector<uint32_t>(c, c + static_cast<size_t>(s->width()) * s->height());
}

std::vector<uint32_t> SoftwareDevice::read_pixels(IDirect3DTexture9* texture, UINT level) {
    auto* t = texture ? dynamic_cast<SwTexture*>(texture) : nullptr;
    return t && t->level(level) ? read_pixels(t->level(level)) : std::vector<uint32_t>();
}

uint32_t SoftwareDevice::read_pixel(IDirect3DSurface9* surface, UINT x, UINT y) {
    SwSurface* s = any_surface(surface);
    if (!s || s->is_depth() || x >= s->width() || y >= s->height()) return 0;
    return s->colors()[static_cast<size_t>(y) * s->width() + x];
}

std::vector<float> SoftwareDevice::read_depth(IDirect3DSurface9* surface) {
    SwSurface* s = any_surface(surface);
    if (!s || !s->is_depth()) return {};
    const float* d = s->depths();
    return std::vector<float>(d, d + static_cast<size_t>(s->width()) * s->height());
}

bool SoftwareDevice::write_pixels(IDirect3DSurface9* surface, const std::vector<uint32_t>& texels) {
    SwSurface* s = any_surface(surface);
    if (!s || s->is_depth() || texels.size() != static_cast<size_t>(s->width()) * s->height())
        return false;
    uint32_t* c = s->colors();
    for (size_t i = 0; i < texels.size(); ++i) c[i] = s->store_value(texels[i]);
    return true;
}

IDirect3DSurface9* SoftwareDevice::back_buffer() const { return back_buffer_; }
IDirect3DSurface9* SoftwareDevice::depth_buffer() const { return depth_buffer_; }

// ---------------------------------------------------------------------------
// Shaders and effects
// ---------------------------------------------------------------------------
void SoftwareDevice::register_vertex_shader(const std::string& name,
                                            std::shared_ptr<VertexShader> shader) {
    vertex_shaders_[name] = std::move(shader);
}

void SoftwareDevice::register_pixel_shader(const std::string& name,
                                           std::shared_ptr<PixelShader> shader) {
    pixel_shaders_[name] = std::move(shader);
}

void SoftwareDevice::unregister_shader(const std::string& name) {
    vertex_shaders_.erase(name);
    pixel_shaders_.erase(name);
}

std::shared_ptr<VertexShader> SoftwareDevice::vertex_shader(const std::string& name) const {
    auto it = vertex_shaders_.find(name);
    return it == vertex_shaders_.end() ? nullptr : it->second;
}

std::shared_ptr<PixelShader> SoftwareDevice::pixel_shader(const std::string& name) const {
    auto it = pixel_shaders_.find(name);
    return it == pixel_shaders_.end() ? nullptr : it->second;
}

std::vector<float> SoftwareDevice::effect_parameter(ID3DXEffect* effect, const std::string& name) {
    auto* e = effect ? dynamic_cast<SwEffect*>(effect) : nullptr;
    const EffectParameter* p = e ? e->find_parameter(name.c_str()) : nullptr;
    return p ? p->values : std::vector<float>();
}

}  // namespace lightvol_sw
