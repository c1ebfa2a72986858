// Test-only D3DX effect provider: a d3dx9_43.dll that serves D3DXCreateEffect for
// the light effect alone, running hand-written vs_2_0/ps_2_0 translations of its
// shaders on the caller's device. Wine's own D3DX cannot compile that effect.
//
// It behaves as a compiled D3DX effect does where the module relies on it:
//  - parameters are addressed by name; a float3 array takes three floats per
//    element, one element per constant register;
//  - BeginPass sets both shaders and uploads every parameter; inside a pass a
//    parameter change reaches the device only through CommitChanges;
//  - Begin with flags 0 saves the current shaders and End restores them;
//  - GetPassDesc hands out no shader functions (null pointers) for an effect
//    made with D3DXFX_NOT_CLONEABLE, as Microsoft's D3DX does, and otherwise
//    shader code whose constant tables name the parameters' registers;
//  - the effect holds one reference on its device until its last Release.
// Calls out of order, or with names the effect does not have, fail and are
// counted, so the test host can see them.
// clang-format off
#include <windows.h>
#include <d3d9.h>
// This file defines the D3DX interface IDs it answers to in QueryInterface.
#include <initguid.h>
#include <d3dx9.h>
// clang-format on

#include "effect_provider.h"

#include <cstring>
#include <new>

#include "device/light_effect_source.h"
#include "light_effect_shaders.h"

namespace {

EffectProviderStats g_stats;

const char technique_name[] = "Render";
const char pass_name[] = "P0";

HRESULT make_message(const char* text, ID3DXBuffer** out) {
    if (!out) return S_OK;
    const DWORD size = static_cast<DWORD>(std::strlen(text) + 1);
    ID3DXBuffer* buffer = nullptr;
    if (SUCCEEDED(D3DXCreateBuffer(size, &buffer)) && buffer) {
        std::memcpy(buffer->GetBufferPointer(), text, size);
        *out = buffer;
    }
    return S_OK;
}

// One float parameter of the effect, mirrored into consecutive constant
// registers of the vertex shader.
struct Parameter {
    const char* name;
    unsigned elements;  // array elements (1 for a single vector)
    unsigned columns;   // floats per element
    unsigned first_register;
    float (*values)[4];
    bool dirty;
};

class LightEffect final : public ID3DXEffect {
public:
    LightEffect(IDirect3DDevice9* device, IDirect3DVertexShader9* vs, IDirect3DPixelShader9* ps,
                bool cloneable)
        : device_(device), vs_(vs), ps_(ps), cloneable_(cloneable) {
        device_->AddRef();
        std::memset(world2scr_, 0, sizeof world2scr_);
        std::memset(light_info_, 0, sizeof light_info_);
        std::memset(light_color_, 0, sizeof light_color_);
        build_tables();
        ++g_stats.effects_created;
        ++g_stats.effects_alive;
    }

    // --- IUnknown ---
    STDMETHOD(QueryInterface)(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_ID3DXBaseEffect) ||
            IsEqualGUID(riid, IID_ID3DXEffect)) {
            AddRef();
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs_));
    }
    STDMETHOD_(ULONG, Release)() override {
        const LONG left = InterlockedDecrement(&refs_);
        if (left == 0) destroy();
        return static_cast<ULONG>(left);
    }

    // --- ID3DXBaseEffect: description and handles ---
    STDMETHOD(GetDesc)(D3DXEFFECT_DESC* desc) override {
        if (!desc) return misuse();
        desc->Creator = "lightvol test effect provider";
        desc->Parameters = parameter_count;
        desc->Techniques = 1;
        desc->Functions = 0;
        return D3D_OK;
    }
    STDMETHOD(GetParameterDesc)(D3DXHANDLE, D3DXPARAMETER_DESC*) override { return E_NOTIMPL; }
    STDMETHOD(GetTechniqueDesc)(D3DXHANDLE technique, D3DXTECHNIQUE_DESC* desc) override {
        if (!desc || !is_technique(technique)) return misuse();
        desc->Name = technique_name;
        desc->Passes = 1;
        desc->Annotations = 0;
        return D3D_OK;
    }
    STDMETHOD(GetPassDesc)(D3DXHANDLE pass, D3DXPASS_DESC* desc) override {
        if (!desc || !pass || (pass != pass_name && std::strcmp(pass, pass_name) != 0))
            return misuse();
        desc->Name = pass_name;
        desc->Annotations = 0;
        desc->pVertexShaderFunction = cloneable_ ? vertex_table_ : nullptr;
        desc->pPixelShaderFunction = cloneable_ ? pixel_table_ : nullptr;
        return D3D_OK;
    }
    STDMETHOD(GetFunctionDesc)(D3DXHANDLE, D3DXFUNCTION_DESC*) override { return E_NOTIMPL; }
    STDMETHOD_(D3DXHANDLE, GetParameter)(D3DXHANDLE parent, UINT index) override {
        if (parent || index >= parameter_count) return nullptr;
        return parameters()[index].name;
    }
    STDMETHOD_(D3DXHANDLE, GetParameterByName)(D3DXHANDLE parent, const char* name) override {
        if (parent) return nullptr;
        Parameter* p = find_parameter(name);
        return p ? p->name : nullptr;
    }
    STDMETHOD_(D3DXHANDLE, GetParameterBySemantic)(D3DXHANDLE, const char*) override {
        return nullptr;
    }
    STDMETHOD_(D3DXHANDLE, GetParameterElement)(D3DXHANDLE, UINT) override { return nullptr; }
    STDMETHOD_(D3DXHANDLE, GetTechnique)(UINT index) override {
        return index == 0 ? technique_name : nullptr;
    }
    STDMETHOD_(D3DXHANDLE, GetTechniqueByName)(const char* name) override {
        return is_technique(name) ? technique_name : nullptr;
    }
    STDMETHOD_(D3DXHANDLE, GetPass)(D3DXHANDLE technique, UINT index) override {
        return is_technique(technique) && index == 0 ? pass_name : nullptr;
    }
    STDMETHOD_(D3DXHANDLE, GetPassByName)(D3DXHANDLE technique, const char* name) override {
        return is_technique(technique) && name && std::strcmp(name, pass_name) == 0 ? pass_name
                                                                                    : nullptr;
    }
    STDMETHOD_(D3DXHANDLE, GetFunction)(UINT) override { return nullptr; }
    STDMETHOD_(D3DXHANDLE, GetFunctionByName)(const char*) override { return nullptr; }
    STDMETHOD_(D3DXHANDLE, GetAnnotation)(D3DXHANDLE, UINT) override { return nullptr; }
    STDMETHOD_(D3DXHANDLE, GetAnnotationByName)(D3DXHANDLE, const char*) override {
        return nullptr;
    }

    // --- ID3DXBaseEffect: values. Only float arrays are served. ---
    STDMETHOD(SetValue)(D3DXHANDLE, const void*, UINT) override { return unsupported(); }
    STDMETHOD(GetValue)(D3DXHANDLE, void*, UINT) override { return unsupported(); }
    STDMETHOD(SetBool)(D3DXHANDLE, WINBOOL) override { return unsupported(); }
    STDMETHOD(GetBool)(D3DXHANDLE, WINBOOL*) override { return unsupported(); }
    STDMETHOD(SetBoolArray)(D3DXHANDLE, const WINBOOL*, UINT) override { return unsupported(); }
    STDMETHOD(GetBoolArray)(D3DXHANDLE, WINBOOL*, UINT) override { return unsupported(); }
    STDMETHOD(SetInt)(D3DXHANDLE, INT) override { return unsupported(); }
    STDMETHOD(GetInt)(D3DXHANDLE, INT*) override { return unsupported(); }
    STDMETHOD(SetIntArray)(D3DXHANDLE, const INT*, UINT) override { return unsupported(); }
    STDMETHOD(GetIntArray)(D3DXHANDLE, INT*, UINT) override { return unsupported(); }
    STDMETHOD(SetFloat)(D3DXHANDLE, FLOAT) override { return unsupported(); }
    STDMETHOD(GetFloat)(D3DXHANDLE, FLOAT*) override { return unsupported(); }
    STDMETHOD(SetFloatArray)(D3DXHANDLE parameter, const FLOAT* values, UINT count) override {
        Parameter* p = find_parameter(parameter);
        if (!p || !values) return misuse();
        const unsigned capacity = p->elements * p->columns;
        if (count > capacity) count = capacity;
        for (unsigned k = 0; k < count; ++k) p->values[k / p->columns][k % p->columns] = values[k];
        p->dirty = true;
        return D3D_OK;
    }
    STDMETHOD(GetFloatArray)(D3DXHANDLE parameter, FLOAT* values, UINT count) override {
        Parameter* p = find_parameter(parameter);
        if (!p || !values) return misuse();
        const unsigned capacity = p->elements * p->columns;
        if (count > capacity) count = capacity;
        for (unsigned k = 0; k < count; ++k) values[k] = p->values[k / p->columns][k % p->columns];
        return D3D_OK;
    }
    STDMETHOD(SetVector)(D3DXHANDLE, const D3DXVECTOR4*) override { return unsupported(); }
    STDMETHOD(GetVector)(D3DXHANDLE, D3DXVECTOR4*) override { return unsupported(); }
    STDMETHOD(SetVectorArray)(D3DXHANDLE, const D3DXVECTOR4*, UINT) override {
        return unsupported();
    }
    STDMETHOD(GetVectorArray)(D3DXHANDLE, D3DXVECTOR4*, UINT) override { return unsupported(); }
    STDMETHOD(SetMatrix)(D3DXHANDLE, const D3DXMATRIX*) override { return unsupported(); }
    STDMETHOD(GetMatrix)(D3DXHANDLE, D3DXMATRIX*) override { return unsupported(); }
    STDMETHOD(SetMatrixArray)(D3DXHANDLE, const D3DXMATRIX*, UINT) override {
        return unsupported();
    }
    STDMETHOD(GetMatrixArray)(D3DXHANDLE, D3DXMATRIX*, UINT) override { return unsupported(); }
    STDMETHOD(SetMatrixPointerArray)(D3DXHANDLE, const D3DXMATRIX**, UINT) override {
        return unsupported();
    }
    STDMETHOD(GetMatrixPointerArray)(D3DXHANDLE, D3DXMATRIX**, UINT) override {
        return unsupported();
    }
    STDMETHOD(SetMatrixTranspose)(D3DXHANDLE, const D3DXMATRIX*) override { return unsupported(); }
    STDMETHOD(GetMatrixTranspose)(D3DXHANDLE, D3DXMATRIX*) override { return unsupported(); }
    STDMETHOD(SetMatrixTransposeArray)(D3DXHANDLE, const D3DXMATRIX*, UINT) override {
        return unsupported();
    }
    STDMETHOD(GetMatrixTransposeArray)(D3DXHANDLE, D3DXMATRIX*, UINT) override {
        return unsupported();
    }
    STDMETHOD(SetMatrixTransposePointerArray)(D3DXHANDLE, const D3DXMATRIX**, UINT) override {
        return unsupported();
    }
    STDMETHOD(GetMatrixTransposePointerArray)(D3DXHANDLE, D3DXMATRIX**, UINT) override {
        return unsupported();
    }
    STDMETHOD(SetString)(D3DXHANDLE, const char*) override { return unsupported(); }
    STDMETHOD(GetString)(D3DXHANDLE, const char**) override { return unsupported(); }
    STDMETHOD(SetTexture)(D3DXHANDLE, IDirect3DBaseTexture9*) override { return unsupported(); }
    STDMETHOD(GetTexture)(D3DXHANDLE, IDirect3DBaseTexture9**) override { return unsupported(); }
    STDMETHOD(GetPixelShader)(D3DXHANDLE, IDirect3DPixelShader9**) override {
        return unsupported();
    }
    STDMETHOD(GetVertexShader)(D3DXHANDLE, IDirect3DVertexShader9**) override {
        return unsupported();
    }
    STDMETHOD(SetArrayRange)(D3DXHANDLE, UINT, UINT) override { return unsupported(); }

    // --- ID3DXEffect ---
    STDMETHOD(GetPool)(ID3DXEffectPool** pool) override {
        if (!pool) return misuse();
        *pool = nullptr;
        return D3D_OK;
    }
    STDMETHOD(SetTechnique)(D3DXHANDLE technique) override {
        if (!is_technique(technique)) return misuse();
        return D3D_OK;
    }
    STDMETHOD_(D3DXHANDLE, GetCurrentTechnique)() override { return technique_name; }
    STDMETHOD(ValidateTechnique)(D3DXHANDLE technique) override {
        return is_technique(technique) ? D3D_OK : misuse();
    }
    STDMETHOD(FindNextValidTechnique)(D3DXHANDLE technique, D3DXHANDLE* next) override {
        if (!next) return misuse();
        *next = technique ? nullptr : technique_name;
        return D3D_OK;
    }
    STDMETHOD_(WINBOOL, IsParameterUsed)(D3DXHANDLE parameter, D3DXHANDLE) override {
        return find_parameter(parameter) != nullptr;
    }
    STDMETHOD(Begin)(UINT* passes, DWORD flags) override {
        if (phase_ != Phase::idle) return misuse();
        if (passes) *passes = 1;
        saving_ = (flags & (D3DXFX_DONOTSAVESTATE | D3DXFX_DONOTSAVESHADERSTATE)) == 0;
        if (saving_) {
            device_->GetVertexShader(&saved_vs_);
            device_->GetPixelShader(&saved_ps_);
            ++g_stats.begins_saving;
        }
        phase_ = Phase::begun;
        return D3D_OK;
    }
    STDMETHOD(BeginPass)(UINT pass) override {
        if (phase_ != Phase::begun || pass != 0) return misuse();
        device_->SetVertexShader(vs_);
        device_->SetPixelShader(ps_);
        for (Parameter& p : parameters()) upload(p);
        phase_ = Phase::in_pass;
        return D3D_OK;
    }
    STDMETHOD(CommitChanges)() override {
        if (phase_ != Phase::in_pass) return misuse();
        for (Parameter& p : parameters())
            if (p.dirty) upload(p);
        ++g_stats.commits;
        return D3D_OK;
    }
    STDMETHOD(EndPass)() override {
        if (phase_ != Phase::in_pass) return misuse();
        phase_ = Phase::begun;
        return D3D_OK;
    }
    STDMETHOD(End)() override {
        if (phase_ != Phase::begun) return misuse();
        restore_saved_state();
        phase_ = Phase::idle;
        return D3D_OK;
    }
    STDMETHOD(GetDevice)(IDirect3DDevice9** device) override {
        if (!device) return misuse();
        device_->AddRef();
        *device = device_;
        return D3D_OK;
    }
    // Shaders live outside the default pool, so device loss leaves them alone.
    STDMETHOD(OnLostDevice)() override { return D3D_OK; }
    STDMETHOD(OnResetDevice)() override { return D3D_OK; }
    STDMETHOD(SetStateManager)(ID3DXEffectStateManager*) override { return unsupported(); }
    STDMETHOD(GetStateManager)(ID3DXEffectStateManager**) override { return unsupported(); }
    STDMETHOD(BeginParameterBlock)() override { return unsupported(); }
    STDMETHOD_(D3DXHANDLE, EndParameterBlock)() override { return nullptr; }
    STDMETHOD(ApplyParameterBlock)(D3DXHANDLE) override { return unsupported(); }
    STDMETHOD(DeleteParameterBlock)(D3DXHANDLE) override { return unsupported(); }
    STDMETHOD(CloneEffect)(IDirect3DDevice9*, ID3DXEffect**) override { return unsupported(); }
    STDMETHOD(SetRawValue)(D3DXHANDLE, const void*, UINT, UINT) override { return unsupported(); }

private:
    enum class Phase { idle, begun, in_pass };
    static constexpr unsigned parameter_count = 3;

    ~LightEffect() = default;

    void destroy() {
        restore_saved_state();
        vs_->Release();
        ps_->Release();
        device_->Release();
        --g_stats.effects_alive;
        delete this;
    }

    void restore_saved_state() {
        if (!saving_) return;
        device_->SetVertexShader(saved_vs_);
        device_->SetPixelShader(saved_ps_);
        if (saved_vs_) saved_vs_->Release();
        if (saved_ps_) saved_ps_->Release();
        saved_vs_ = nullptr;
        saved_ps_ = nullptr;
        saving_ = false;
    }

    Parameter (&parameters())[parameter_count] { return parameters_; }

    Parameter* find_parameter(const char* name) {
        if (!name) return nullptr;
        for (Parameter& p : parameters_)
            if (name == p.name || std::strcmp(name, p.name) == 0) return &p;
        return nullptr;
    }

    static bool is_technique(const char* name) {
        return name && (name == technique_name || std::strcmp(name, technique_name) == 0);
    }

    // Shader code of a version token, a constant table comment naming every
    // parameter's float4 registers (none for the pixel shader) and the end
    // token. Names are left empty: only the registers are read.
    void build_tables() {
        auto build = [this](DWORD* code, DWORD version, unsigned constants) {
            const DWORD table_dwords = 7 + 5 * constants + 1;  // and one empty name
            DWORD* t = code;
            *t++ = version;
            *t++ = 0xFFFEu | ((table_dwords + 1) << 16);
            *t++ = 'C' | ('T' << 8) | ('A' << 16) | (DWORD{'B'} << 24);
            const DWORD name_offset = (7 + 5 * constants) * 4;
            const DWORD header[7] = {28, name_offset, version, constants, 28, 0, name_offset};
            for (DWORD h : header) *t++ = h;
            for (unsigned i = 0; i < constants; ++i) {
                *t++ = name_offset;
                *t++ = D3DXRS_FLOAT4 | (parameters_[i].first_register << 16);
                *t++ = parameters_[i].elements;
                *t++ = 0;
                *t++ = 0;
            }
            *t++ = 0;  // the empty name
            *t++ = 0x0000FFFFu;
        };
        build(vertex_table_, 0xFFFE0200u, parameter_count);
        build(pixel_table_, 0xFFFF0200u, 0);
    }

    void upload(Parameter& p) {
        device_->SetVertexShaderConstantF(p.first_register, &p.values[0][0], p.elements);
        p.dirty = false;
    }

    static HRESULT misuse() {
        ++g_stats.misuses;
        return D3DERR_INVALIDCALL;
    }
    static HRESULT unsupported() { return misuse(); }

    LONG refs_ = 1;
    IDirect3DDevice9* device_;
    IDirect3DVertexShader9* vs_;
    IDirect3DPixelShader9* ps_;
    bool cloneable_;
    Phase phase_ = Phase::idle;
    bool saving_ = false;
    IDirect3DVertexShader9* saved_vs_ = nullptr;
    IDirect3DPixelShader9* saved_ps_ = nullptr;

    DWORD vertex_table_[3 + 7 + 5 * parameter_count + 1 + 1];
    DWORD pixel_table_[3 + 7 + 1 + 1];
    float world2scr_[1][4];
    float light_info_[provider::batch_capacity][4];
    float light_color_[provider::batch_capacity][4];
    Parameter parameters_[parameter_count] = {
        {"light_info", provider::batch_capacity, 3, provider::light_info_register, light_info_,
         true},
        {"light_color", provider::batch_capacity, 3, provider::light_color_register, light_color_,
         true},
        {"world2scr", 1, 4, provider::world2scr_register, world2scr_, true},
    };
};

// Assembles one shader; on failure the assembler's message goes to *errors.
HRESULT assemble(const char* text, ID3DXBuffer** code, ID3DXBuffer** errors) {
    ID3DXBuffer* messages = nullptr;
    const HRESULT hr = D3DXAssembleShader(text, static_cast<UINT>(std::strlen(text)), nullptr,
                                          nullptr, 0, code, &messages);
    if (FAILED(hr)) {
        if (errors && messages) {
            *errors = messages;
            messages = nullptr;
        } else {
            make_message("effect provider: shader assembly failed", errors);
        }
    }
    if (messages) messages->Release();
    return hr;
}

}  // namespace

extern "C" HRESULT WINAPI D3DXCreateEffect(IDirect3DDevice9* device, const void* srcdata,
                                           UINT srcdatalen, const D3DXMACRO*, ID3DXInclude*,
                                           DWORD flags, ID3DXEffectPool*, ID3DXEffect** effect,
                                           ID3DXBuffer** errors) {
    if (errors) *errors = nullptr;
    if (!device || !srcdata || !effect) return D3DERR_INVALIDCALL;
    *effect = nullptr;

    if (srcdatalen != light_effect_source_length ||
        std::memcmp(srcdata, light_effect_source, light_effect_source_length) != 0) {
        ++g_stats.texts_rejected;
        make_message("effect provider: only the light effect text is served", errors);
        return E_FAIL;
    }

    ID3DXBuffer* vs_code = nullptr;
    ID3DXBuffer* ps_code = nullptr;
    HRESULT hr = assemble(provider::light_vertex_shader_asm, &vs_code, errors);
    if (SUCCEEDED(hr)) hr = assemble(provider::light_pixel_shader_asm, &ps_code, errors);

    IDirect3DVertexShader9* vs = nullptr;
    IDirect3DPixelShader9* ps = nullptr;
    if (SUCCEEDED(hr)) {
        hr =
            device->CreateVertexShader(static_cast<const DWORD*>(vs_code->GetBufferPointer()), &vs);
        if (SUCCEEDED(hr))
            hr = device->CreatePixelShader(static_cast<const DWORD*>(ps_code->GetBufferPointer()),
                                           &ps);
        if (FAILED(hr)) make_message("effect provider: the device refused a shader", errors);
    }
    if (vs_code) vs_code->Release();
    if (ps_code) ps_code->Release();
    if (FAILED(hr)) {
        if (vs) vs->Release();
        if (ps) ps->Release();
        return hr;
    }

    *effect = new (std::nothrow)
        LightEffect(device, vs, ps, (flags & D3DXFX_NOT_CLONEABLE) == 0);
    if (!*effect) {
        vs->Release();
        ps->Release();
        return E_OUTOFMEMORY;
    }
    return D3D_OK;
}

extern "C" void lightvol_effect_provider_stats(EffectProviderStats* out) {
    if (out) *out = g_stats;
}
