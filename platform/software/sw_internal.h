// Internals of the software device: the operation table, call formatting and
// the objects the device creates. Not part of the library's interface.
#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/software/software_device.h"

namespace lightvol_sw {
namespace detail {

// Every logged operation: identifier, logged name, whether it returns an
// HRESULT (only those are counted and can be made to fail).
#define LIGHTVOL_SW_OPS(X)                                                     \
    X(CreateTexture, "CreateTexture", true)                                    \
    X(CreateVertexBuffer, "CreateVertexBuffer", true)                          \
    X(CreateRenderTarget, "CreateRenderTarget", true)                          \
    X(CreateDepthStencilSurface, "CreateDepthStencilSurface", true)            \
    X(CreateOffscreenPlainSurface, "CreateOffscreenPlainSurface", true)        \
    X(CreateVertexDeclaration, "CreateVertexDeclaration", true)                \
    X(GetRenderTargetData, "GetRenderTargetData", true)                        \
    X(SetRenderTarget, "SetRenderTarget", true)                                \
    X(GetRenderTarget, "GetRenderTarget", true)                                \
    X(SetDepthStencilSurface, "SetDepthStencilSurface", true)                  \
    X(GetDepthStencilSurface, "GetDepthStencilSurface", true)                  \
    X(BeginScene, "BeginScene", true)                                          \
    X(EndScene, "EndScene", true)                                              \
    X(Reset, "Reset", true)                                                    \
    X(ResetEx, "ResetEx", true)                                                \
    X(Clear, "Clear", true)                                                    \
    X(SetViewport, "SetViewport", true)                                        \
    X(GetViewport, "GetViewport", true)                                        \
    X(SetRenderState, "SetRenderState", true)                                  \
    X(GetRenderState, "GetRenderState", true)                                  \
    X(DrawPrimitive, "DrawPrimitive", true)                                    \
    X(DrawIndexedPrimitive, "DrawIndexedPrimitive", true)                      \
    X(SetVertexDeclaration, "SetVertexDeclaration", true)                      \
    X(SetStreamSource, "SetStreamSource", true)                                \
    X(SetIndices, "SetIndices", true)                                          \
    X(CreateVertexShader, "CreateVertexShader", true)                          \
    X(SetVertexShader, "SetVertexShader", true)                                \
    X(GetVertexShader, "GetVertexShader", true)                                \
    X(SetVertexShaderConstantF, "SetVertexShaderConstantF", true)              \
    X(GetVertexShaderConstantF, "GetVertexShaderConstantF", true)              \
    X(CreatePixelShader, "CreatePixelShader", true)                            \
    X(SetPixelShader, "SetPixelShader", true)                                  \
    X(GetPixelShader, "GetPixelShader", true)                                  \
    X(SetPixelShaderConstantF, "SetPixelShaderConstantF", true)                \
    X(GetPixelShaderConstantF, "GetPixelShaderConstantF", true)                \
    X(GetCreationParameters, "GetCreationParameters", true)                    \
    X(GetDeviceCaps, "GetDeviceCaps", true)                                    \
    X(SetScissorRect, "SetScissorRect", true)                                  \
    X(GetScissorRect, "GetScissorRect", true)                                  \
    X(SetClipPlane, "SetClipPlane", true)                                      \
    X(GetClipPlane, "GetClipPlane", true)                                      \
    X(SetTexture, "SetTexture", true)                                          \
    X(GetTexture, "GetTexture", true)                                          \
    X(SetSoftwareVertexProcessing, "SetSoftwareVertexProcessing", true)        \
    X(GetSoftwareVertexProcessing, "GetSoftwareVertexProcessing", false)       \
    X(BeginStateBlock, "BeginStateBlock", true)                                \
    X(EndStateBlock, "EndStateBlock", true)                                    \
    X(GetVertexDeclaration, "GetVertexDeclaration", true)                      \
    X(GetStreamSource, "GetStreamSource", true)                                \
    X(SetStreamSourceFreq, "SetStreamSourceFreq", true)                        \
    X(GetStreamSourceFreq, "GetStreamSourceFreq", true)                        \
    X(GetIndices, "GetIndices", true)                                          \
    X(SbGetDevice, "IDirect3DStateBlock9::GetDevice", true)                    \
    X(SbCapture, "IDirect3DStateBlock9::Capture", true)                        \
    X(SbApply, "IDirect3DStateBlock9::Apply", true)                            \
    X(SurfGetDevice, "IDirect3DSurface9::GetDevice", true)                     \
    X(SurfGetType, "IDirect3DSurface9::GetType", false)                        \
    X(SurfGetDesc, "IDirect3DSurface9::GetDesc", true)                         \
    X(SurfLockRect, "IDirect3DSurface9::LockRect", true)                       \
    X(SurfUnlockRect, "IDirect3DSurface9::UnlockRect", true)                   \
    X(TexGetDevice, "IDirect3DTexture9::GetDevice", true)                      \
    X(TexGetType, "IDirect3DTexture9::GetType", false)                         \
    X(TexGetLevelCount, "IDirect3DTexture9::GetLevelCount", false)             \
    X(TexGetLevelDesc, "IDirect3DTexture9::GetLevelDesc", true)                \
    X(TexGetSurfaceLevel, "IDirect3DTexture9::GetSurfaceLevel", true)          \
    X(CubeGetDevice, "IDirect3DCubeTexture9::GetDevice", true)                 \
    X(CubeGetType, "IDirect3DCubeTexture9::GetType", false)                    \
    X(CubeGetLevelCount, "IDirect3DCubeTexture9::GetLevelCount", false)        \
    X(CubeGetLevelDesc, "IDirect3DCubeTexture9::GetLevelDesc", true)           \
    X(CubeGetCubeMapSurface, "IDirect3DCubeTexture9::GetCubeMapSurface", true) \
    X(VbGetDevice, "IDirect3DVertexBuffer9::GetDevice", true)                  \
    X(VbGetType, "IDirect3DVertexBuffer9::GetType", false)                     \
    X(VbLock, "IDirect3DVertexBuffer9::Lock", true)                            \
    X(VbUnlock, "IDirect3DVertexBuffer9::Unlock", true)                        \
    X(DeclGetDevice, "IDirect3DVertexDeclaration9::GetDevice", true)           \
    X(VsGetDevice, "IDirect3DVertexShader9::GetDevice", true)                  \
    X(PsGetDevice, "IDirect3DPixelShader9::GetDevice", true)                   \
    X(BufGetBufferPointer, "ID3DXBuffer::GetBufferPointer", false)             \
    X(BufGetBufferSize, "ID3DXBuffer::GetBufferSize", false)                   \
    X(FxSetFloatArray, "ID3DXEffect::SetFloatArray", true)                     \
    X(FxGetPass, "ID3DXEffect::GetPass", false)                                \
    X(FxGetPassDesc, "ID3DXEffect::GetPassDesc", true)                         \
    X(FxSetTechnique, "ID3DXEffect::SetTechnique", true)                       \
    X(FxBegin, "ID3DXEffect::Begin", true)                                     \
    X(FxBeginPass, "ID3DXEffect::BeginPass", true)                             \
    X(FxCommitChanges, "ID3DXEffect::CommitChanges", true)                     \
    X(FxEndPass, "ID3DXEffect::EndPass", true)                                 \
    X(FxEnd, "ID3DXEffect::End", true)                                         \
    X(FxOnLostDevice, "ID3DXEffect::OnLostDevice", true)                       \
    X(FxOnResetDevice, "ID3DXEffect::OnResetDevice", true)                     \
    X(D3DXCreateEffect, "D3DXCreateEffect", true)                              \
    X(D3DXCreateCubeTexture, "D3DXCreateCubeTexture", true)                    \
    X(MessageBoxA, "MessageBoxA", false)

enum class Op : uint16_t {
#define LIGHTVOL_SW_OP_ENUM(id, name, hr) id,
    LIGHTVOL_SW_OPS(LIGHTVOL_SW_OP_ENUM)
#undef LIGHTVOL_SW_OP_ENUM
        Count
};

constexpr size_t kOpCount = static_cast<size_t>(Op::Count);

const char* op_name(Op op);
bool op_returns_hresult(Op op);
// Op of a logged name; false if there is none.
bool op_from_name(const std::string& name, Op* op);

void record_message_box(MessageBoxRecord record);

struct FailureRule {
    Op op;
    int occurrence;  // 1-based; 0: every call
    HRESULT hr;
    bool with_error_buffer;
    std::string error_text;
};

// ---------------------------------------------------------------------------
// Argument formatting
// ---------------------------------------------------------------------------
struct RectArg {
    const RECT* rect;
};
struct RectListArg {
    DWORD count;
    const D3DRECT* rects;
};
struct ViewportArg {
    const D3DVIEWPORT9* viewport;
};
struct ElementsArg {
    const D3DVERTEXELEMENT9* elements;
};
// Shader bytecode, printed as its version ("vs_2_0") or "invalid".
struct ShaderCodeArg {
    const DWORD* tokens;
};

void put_label(std::string& s, const SwObject* object, bool is_null);
SwObject* object_from(IUnknown* p);
void put_float(std::string& s, double v);
void put_signed(std::string& s, long long v);
void put_unsigned(std::string& s, unsigned long long v);
void put_arg(std::string& s, const RectArg& a);
void put_arg(std::string& s, const RectListArg& a);
void put_arg(std::string& s, const ViewportArg& a);
void put_arg(std::string& s, const ElementsArg& a);
void put_arg(std::string& s, const ShaderCodeArg& a);
inline void put_arg(std::string& s, const char* text) { s += text ? text : "null"; }
inline void put_arg(std::string& s, char* text) { put_arg(s, static_cast<const char*>(text)); }
inline void put_arg(std::string& s, const std::string& text) { s += text; }
inline void put_arg(std::string& s, std::nullptr_t) { s += "null"; }

template <class T>
void put_arg(std::string& s, const T& v) {
    if constexpr (std::is_enum_v<T>) {
        put_signed(s, static_cast<long long>(v));
    } else if constexpr (std::is_same_v<T, bool>) {
        put_signed(s, v ? 1 : 0);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        put_signed(s, static_cast<long long>(v));
    } else if constexpr (std::is_integral_v<T>) {
        put_unsigned(s, static_cast<unsigned long long>(v));
    } else if constexpr (std::is_floating_point_v<T>) {
        put_float(s, static_cast<double>(v));
    } else if constexpr (std::is_pointer_v<T>) {
        using Pointee = std::remove_cv_t<std::remove_pointer_t<T>>;
        static_assert(std::is_base_of_v<IUnknown, Pointee>, "unformattable pointer argument");
        IUnknown* p = const_cast<Pointee*>(v);
        put_label(s, object_from(p), p == nullptr);
    } else {
        static_assert(sizeof(T) == 0, "unformattable argument");
    }
}

template <class... Args>
std::string format_call(Op op, const Args&... args) {
    std::string s;
    s.reserve(48);
    s += op_name(op);
    s += '(';
    [[maybe_unused]] bool first = true;
    ((s += (first ? "" : ","), first = false, put_arg(s, args)), ...);
    s += ')';
    return s;
}

// ---------------------------------------------------------------------------
// Objects
// ---------------------------------------------------------------------------
// Bookkeeping shared by every object the device creates.
//
// `external_` is the COM count. A container (texture, cube texture) and its
// sub-surfaces form a family that is alive while any member has COM
// references; a live family holds one reference on the device. `internal_`
// counts the device's bindings; a family's storage goes away once it is
// neither alive nor bound. Sub-surfaces forward bindings to their container
// and are destroyed with it. Implicit objects (back buffer, depth buffer) are
// destroyed by the device only.
class SwObject {
public:
    SwObject(SoftwareDevice* device, std::string label, SwObject* container, bool implicit,
             ULONG initial_refs);
    virtual ~SwObject();
    SwObject(const SwObject&) = delete;
    SwObject& operator=(const SwObject&) = delete;

    ULONG add_ref();
    ULONG release();
    void hold();
    void unhold();

    ULONG external_refs() const { return external_; }
    const std::string& label() const { return label_; }
    SoftwareDevice* device() const { return device_; }
    bool implicit() const { return implicit_; }
    bool is_child() const { return container_ != nullptr; }
    SwObject* container() const { return container_; }
    // The device is gone; later calls only count references.
    void orphan() { device_ = nullptr; }

protected:
    template <class... Args>
    HRESULT enter(Op op, const Args&... args) {
        return device_ ? device_->enter(op, args...) : S_OK;
    }
    HRESULT leave(HRESULT hr) { return device_ ? device_->leave(hr) : hr; }
    HRESULT get_device(Op op, IDirect3DDevice9** out);

private:
    void family_up();
    void family_down();
    void maybe_destroy();

    SoftwareDevice* device_;
    std::string label_;
    SwObject* container_;
    bool implicit_;
    ULONG external_;
    ULONG internal_ = 0;
    ULONG family_ = 0;  // containers and top-level objects only
};

// Points a binding slot at object (or null), holding the new object before
// the old one is let go.
template <class T>
void rebind_object(T*& slot, T* object) {
    if (slot == object) return;
    T* old = slot;
    if (object) object->hold();
    slot = object;
    if (old) old->unhold();
}

bool is_color_format(D3DFORMAT f);
bool is_depth_format(D3DFORMAT f);

class SwSurface final : public IDirect3DSurface9, public SwObject {
public:
    SwSurface(SoftwareDevice* device, std::string label, SwObject* container, bool implicit,
              ULONG initial_refs, const D3DSURFACE_DESC& desc, bool lockable);

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;
    D3DRESOURCETYPE STDMETHODCALLTYPE GetType() override;
    HRESULT STDMETHODCALLTYPE GetDesc(D3DSURFACE_DESC* pDesc) override;
    HRESULT STDMETHODCALLTYPE LockRect(D3DLOCKED_RECT* pLockedRect, const RECT* pRect,
                                       DWORD Flags) override;
    HRESULT STDMETHODCALLTYPE UnlockRect() override;

    const D3DSURFACE_DESC& desc() const { return desc_; }
    UINT width() const { return desc_.Width; }
    UINT height() const { return desc_.Height; }
    bool is_depth() const { return is_depth_format(desc_.Format); }
    bool is_render_target() const { return (desc_.Usage & D3DUSAGE_RENDERTARGET) != 0; }
    // Texel storage, allocated on first use.
    uint32_t* colors();
    float* depths();
    // Stored form of an A8R8G8B8 value for this surface's format.
    uint32_t store_value(uint32_t argb) const {
        return desc_.Format == D3DFMT_X8R8G8B8 ? (argb | 0xFF000000u) : argb;
    }

private:
    D3DSURFACE_DESC desc_;
    bool lockable_;
    bool locked_ = false;
    std::vector<uint32_t> colors_;
    std::vector<float> depths_;
};

class SwTexture final : public IDirect3DTexture9, public SwObject {
public:
    SwTexture(SoftwareDevice* device, std::string label);
    ~SwTexture() override;
    // Makes the level surfaces; called once right after construction.
    void add_level(SwSurface* level) { levels_.push_back(level); }

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;
    D3DRESOURCETYPE STDMETHODCALLTYPE GetType() override;
    DWORD STDMETHODCALLTYPE GetLevelCount() override;
    HRESULT STDMETHODCALLTYPE GetLevelDesc(UINT Level, D3DSURFACE_DESC* pDesc) override;
    HRESULT STDMETHODCALLTYPE GetSurfaceLevel(UINT Level,
                                              IDirect3DSurface9** ppSurfaceLevel) override;

    SwSurface* level(UINT i) const { return i < levels_.size() ? levels_[i] : nullptr; }

private:
    std::vector<SwSurface*> levels_;
};

class SwCubeTexture final : public IDirect3DCubeTexture9, public SwObject {
public:
    SwCubeTexture(SoftwareDevice* device, std::string label, UINT levels);
    ~SwCubeTexture() override;
    void add_surface(SwSurface* s) { surfaces_.push_back(s); }  // face-major
    SwSurface* surface(size_t i) const { return i < surfaces_.size() ? surfaces_[i] : nullptr; }

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;
    D3DRESOURCETYPE STDMETHODCALLTYPE GetType() override;
    DWORD STDMETHODCALLTYPE GetLevelCount() override;
    HRESULT STDMETHODCALLTYPE GetLevelDesc(UINT Level, D3DSURFACE_DESC* pDesc) override;
    HRESULT STDMETHODCALLTYPE GetCubeMapSurface(D3DCUBEMAP_FACES FaceType, UINT Level,
                                                IDirect3DSurface9** ppCubeMapSurface) override;

private:
    UINT levels_;
    std::vector<SwSurface*> surfaces_;
};

class SwVertexBuffer final : public IDirect3DVertexBuffer9, public SwObject {
public:
    SwVertexBuffer(SoftwareDevice* device, std::string label, UINT length, DWORD usage,
                   D3DPOOL pool);

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;
    D3DRESOURCETYPE STDMETHODCALLTYPE GetType() override;
    HRESULT STDMETHODCALLTYPE Lock(UINT OffsetToLock, UINT SizeToLock, void** ppbData,
                                   DWORD Flags) override;
    HRESULT STDMETHODCALLTYPE Unlock() override;

    bool locked() const { return locks_ > 0; }
    const uint8_t* data() const { return data_.data(); }
    size_t size() const { return data_.size(); }
    DWORD usage() const { return usage_; }
    D3DPOOL pool() const { return pool_; }

private:
    std::vector<uint8_t> data_;
    DWORD usage_;
    D3DPOOL pool_;
    int locks_ = 0;
};

class SwVertexDecl final : public IDirect3DVertexDeclaration9, public SwObject {
public:
    SwVertexDecl(SoftwareDevice* device, std::string label,
                 std::vector<D3DVERTEXELEMENT9> elements);

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;

    const std::vector<D3DVERTEXELEMENT9>& elements() const { return elements_; }

private:
    std::vector<D3DVERTEXELEMENT9> elements_;
};

class SwBuffer final : public ID3DXBuffer, public SwObject {
public:
    SwBuffer(SoftwareDevice* device, std::string label, const std::string& text);

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    LPVOID STDMETHODCALLTYPE GetBufferPointer() override;
    DWORD STDMETHODCALLTYPE GetBufferSize() override;

private:
    std::vector<char> bytes_;
};

class SwVertexShader final : public IDirect3DVertexShader9, public SwObject {
public:
    SwVertexShader(SoftwareDevice* device, std::string label, std::shared_ptr<VertexShader> program)
        : SwObject(device, std::move(label), nullptr, false, 1), program_(std::move(program)) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override {
        return get_device(Op::VsGetDevice, ppDevice);
    }

    const std::shared_ptr<VertexShader>& program() const { return program_; }

private:
    std::shared_ptr<VertexShader> program_;
};

class SwPixelShader final : public IDirect3DPixelShader9, public SwObject {
public:
    SwPixelShader(SoftwareDevice* device, std::string label, std::shared_ptr<PixelShader> program)
        : SwObject(device, std::move(label), nullptr, false, 1), program_(std::move(program)) {}

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override {
        return get_device(Op::PsGetDevice, ppDevice);
    }

    const std::shared_ptr<PixelShader>& program() const { return program_; }

private:
    std::shared_ptr<PixelShader> program_;
};

// What a state block recorded, and the values its Capture took. Only render
// states, viewport, scissor rectangle, clip planes, texture stages, stream
// frequencies and float shader constants are recorded by this device; the
// other Set calls made while recording are refused and reported as misuse.
struct RecordedState {
    std::array<bool, 256> render_state{};
    std::array<DWORD, 256> render_value{};
    bool viewport = false;
    D3DVIEWPORT9 viewport_value{};
    bool scissor = false;
    RECT scissor_value{};
    std::array<bool, 6> clip_plane{};
    float clip_value[6][4] = {};
    std::array<bool, 21> texture{};
    std::array<SwObject*, 21> texture_value{};  // held while captured
    std::array<bool, 16> frequency{};
    std::array<UINT, 16> frequency_value{};
    std::array<bool, 256> vs_constant{};
    float vs_value[256][4] = {};
    std::array<bool, 224> ps_constant{};
    float ps_value[224][4] = {};
    // Object bindings, held from Capture on like the textures.
    bool declaration = false;
    SwObject* declaration_value = nullptr;
    std::array<bool, 16> stream{};
    std::array<SwObject*, 16> stream_value{};
    std::array<UINT, 16> stream_offset{};
    std::array<UINT, 16> stream_stride{};
    bool indices = false;
    SwObject* indices_value = nullptr;
    bool vertex_shader = false;
    SwObject* vertex_shader_value = nullptr;
    bool pixel_shader = false;
    SwObject* pixel_shader_value = nullptr;
};

class SwStateBlock final : public IDirect3DStateBlock9, public SwObject {
public:
    SwStateBlock(SoftwareDevice* device, std::string label, std::unique_ptr<RecordedState> state);
    ~SwStateBlock() override;

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override {
        return get_device(Op::SbGetDevice, ppDevice);
    }
    HRESULT STDMETHODCALLTYPE Capture() override;
    HRESULT STDMETHODCALLTYPE Apply() override;

private:
    std::unique_ptr<RecordedState> state_;
    // The recorded render states and constant registers, listed once.
    std::vector<uint16_t> render_states_;
    std::vector<uint16_t> vs_registers_;
    std::vector<uint16_t> ps_registers_;
};

struct EffectParameter {
    std::string name;
    size_t floats = 0;             // whole parameter
    UINT first_register = 0;       // float4 registers, one or more per element
    UINT registers = 0;
    std::vector<float> values;     // as set
    std::vector<float> committed;  // as the shaders see it
};

struct EffectPass {
    std::string name;
    std::shared_ptr<VertexShader> vs;
    std::shared_ptr<PixelShader> ps;
};

struct EffectTechnique {
    std::string name;
    std::vector<EffectPass> passes;
};

class SwEffect final : public ID3DXEffect, public SwObject, public ParameterSource {
public:
    // flags: those of D3DXCreateEffect; with D3DXFX_NOT_CLONEABLE the effect
    // keeps no shader functions, and GetPassDesc hands out null pointers.
    SwEffect(SoftwareDevice* device, std::string label, std::vector<EffectParameter> params,
             std::vector<EffectTechnique> techniques, DWORD flags);
    ~SwEffect() override;

    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
    D3DXHANDLE STDMETHODCALLTYPE GetPass(D3DXHANDLE hTechnique, UINT Index) override;
    HRESULT STDMETHODCALLTYPE GetPassDesc(D3DXHANDLE hPass, D3DXPASS_DESC* pDesc) override;
    HRESULT STDMETHODCALLTYPE SetFloatArray(D3DXHANDLE hParameter, const FLOAT* pf,
                                            UINT Count) override;
    HRESULT STDMETHODCALLTYPE SetTechnique(D3DXHANDLE hTechnique) override;
    HRESULT STDMETHODCALLTYPE Begin(UINT* pPasses, DWORD Flags) override;
    HRESULT STDMETHODCALLTYPE BeginPass(UINT Pass) override;
    HRESULT STDMETHODCALLTYPE CommitChanges() override;
    HRESULT STDMETHODCALLTYPE EndPass() override;
    HRESULT STDMETHODCALLTYPE End() override;
    HRESULT STDMETHODCALLTYPE OnLostDevice() override;
    HRESULT STDMETHODCALLTYPE OnResetDevice() override;

    const float* parameter(const char* name, size_t* float_count) const override;
    const EffectParameter* find_parameter(const char* name) const;

private:
    EffectParameter* find(const char* name);
    void commit();

    std::vector<EffectParameter> params_;
    std::vector<EffectTechnique> techniques_;
    int technique_ = -1;
    // Shader code as D3DXPASS_DESC hands it out: a version token, the
    // constant table comment and the end token (every pass runs the same
    // native shaders, so one pair serves them all); empty for an effect made
    // with D3DXFX_NOT_CLONEABLE.
    std::vector<DWORD> vertex_code_;
    std::vector<DWORD> pixel_code_;
    bool begun_ = false;
    int active_pass_ = -1;
    bool restore_at_end_ = false;
    ShaderBinding saved_;
};

}  // namespace detail

// ---------------------------------------------------------------------------
// SoftwareDevice::enter
// ---------------------------------------------------------------------------
template <class... Args>
HRESULT SoftwareDevice::enter(detail::Op op, const Args&... args) {
    const char* unused = nullptr;
    HRESULT hr = S_OK;
    last_op_ = op;
    if (detail::op_returns_hresult(op)) hr = injected_failure(op, &unused);
    if (logging()) {
        std::string text = detail::format_call(op, args...);
        if (FAILED(hr)) text += " -> FAILED";
        append_call(std::move(text));
        last_logged_ = SUCCEEDED(hr);
    } else {
        last_logged_ = false;
    }
    return hr;
}

}  // namespace lightvol_sw
