// ID3DXEffect, D3DXCreateEffect, D3DXCreateCubeTexture and MessageBoxA.
#include <algorithm>
#include <cstring>

#include "platform/software/effect_parser.h"
#include "platform/software/sw_internal.h"

namespace lightvol_sw {
namespace detail {

namespace {

// A shader as D3DXPASS_DESC hands it out: version token, a constant table
// comment naming every parameter's float4 registers, end token.
std::vector<DWORD> shader_code(DWORD version, const std::vector<EffectParameter>& params) {
    // D3DXSHADER_CONSTANTTABLE (7 DWORDs), then 5 DWORDs per constant, then
    // the names; offsets count from the table's first byte.
    std::vector<DWORD> table = {28, 0, version, static_cast<DWORD>(params.size()), 28, 0, 0};
    const size_t names_at = table.size() + 5 * params.size();
    std::vector<DWORD> names;
    for (const EffectParameter& p : params) {
        const DWORD name_offset = static_cast<DWORD>((names_at + names.size()) * 4);
        table.push_back(name_offset);
        table.push_back(D3DXRS_FLOAT4 | (p.first_register << 16));  // RegisterSet, RegisterIndex
        table.push_back(p.registers);                              // RegisterCount, Reserved
        table.push_back(0);                                        // TypeInfo
        table.push_back(0);                                        // DefaultValue
        std::vector<char> bytes(p.name.begin(), p.name.end());
        bytes.resize((bytes.size() / 4 + 1) * 4, '\0');
        for (size_t i = 0; i < bytes.size(); i += 4) {
            DWORD word = 0;
            std::memcpy(&word, &bytes[i], 4);
            names.push_back(word);
        }
    }
    table.insert(table.end(), names.begin(), names.end());
    std::vector<DWORD> code = {version};
    code.push_back(0xFFFEu | (static_cast<DWORD>(table.size() + 1) << 16));  // comment token
    code.push_back('C' | ('T' << 8) | ('A' << 16) | (DWORD{'B'} << 24));
    code.insert(code.end(), table.begin(), table.end());
    code.push_back(0x0000FFFFu);
    return code;
}

}  // namespace

SwEffect::SwEffect(SoftwareDevice* device, std::string label, std::vector<EffectParameter> params,
                   std::vector<EffectTechnique> techniques, DWORD flags)
    : SwObject(device, std::move(label), nullptr, false, 1),
      params_(std::move(params)),
      techniques_(std::move(techniques)),
      technique_(techniques_.empty() ? -1 : 0) {
    if (flags & D3DXFX_NOT_CLONEABLE) return;
    vertex_code_ = shader_code(0xFFFE0200u, params_);
    pixel_code_ = shader_code(0xFFFF0200u, {});
}

D3DXHANDLE SwEffect::GetPass(D3DXHANDLE hTechnique, UINT Index) {
    enter(Op::FxGetPass, hTechnique, Index);
    if (!hTechnique) return nullptr;
    for (const EffectTechnique& t : techniques_)
        if (t.name == hTechnique && Index < t.passes.size()) return t.passes[Index].name.c_str();
    return nullptr;
}

HRESULT SwEffect::GetPassDesc(D3DXHANDLE hPass, D3DXPASS_DESC* pDesc) {
    HRESULT hr = enter(Op::FxGetPassDesc, hPass);
    if (FAILED(hr)) return hr;
    if (!pDesc || !hPass) return leave(D3DERR_INVALIDCALL);
    for (const EffectTechnique& t : techniques_) {
        for (const EffectPass& p : t.passes) {
            if (p.name.c_str() != hPass && p.name != hPass) continue;
            // Empty (null) for an effect made with D3DXFX_NOT_CLONEABLE.
            *pDesc = D3DXPASS_DESC{p.name.c_str(), 0,
                                   vertex_code_.empty() ? nullptr : vertex_code_.data(),
                                   pixel_code_.empty() ? nullptr : pixel_code_.data()};
            return S_OK;
        }
    }
    return leave(D3DERR_INVALIDCALL);
}

SwEffect::~SwEffect() {
    // An effect released between Begin and End drops what it saved.
    if (saved_.vs_object) saved_.vs_object->unhold();
    if (saved_.ps_object) saved_.ps_object->unhold();
}

EffectParameter* SwEffect::find(const char* name) {
    if (!name) return nullptr;
    for (EffectParameter& p : params_)
        if (p.name == name) return &p;
    return nullptr;
}

const EffectParameter* SwEffect::find_parameter(const char* name) const {
    return const_cast<SwEffect*>(this)->find(name);
}

const float* SwEffect::parameter(const char* name, size_t* float_count) const {
    const EffectParameter* p = find_parameter(name);
    if (!p) return nullptr;
    if (float_count) *float_count = p->floats;
    return p->committed.data();
}

void SwEffect::commit() {
    if (device() && device()->null_mode()) return;
    for (EffectParameter& p : params_) {
        std::copy(p.values.begin(), p.values.end(), p.committed.begin());
        // The effect's own uploads into its registers, one register per
        // element of up to four floats.
        if (!device() || p.registers == 0) continue;
        const size_t per_element = p.floats / p.registers;
        float registers[256][4] = {};
        for (UINT r = 0; r < p.registers && r < 256; ++r)
            for (size_t c = 0; c < per_element && c < 4; ++c)
                registers[r][c] = p.values[r * per_element + c];
        device()->write_vertex_constants(p.first_register, registers[0], p.registers);
    }
}

HRESULT SwEffect::SetFloatArray(D3DXHANDLE hParameter, const FLOAT* pf, UINT Count) {
    HRESULT hr = enter(Op::FxSetFloatArray, hParameter, Count);
    if (FAILED(hr)) return hr;
    if (device() && device()->null_mode()) return S_OK;
    EffectParameter* p = find(hParameter);
    if (!p || (!pf && Count > 0) || Count > p->floats) return leave(D3DERR_INVALIDCALL);
    if (Count > 0) std::memcpy(p->values.data(), pf, Count * sizeof(float));
    return S_OK;
}

HRESULT SwEffect::SetTechnique(D3DXHANDLE hTechnique) {
    HRESULT hr = enter(Op::FxSetTechnique, hTechnique);
    if (FAILED(hr)) return hr;
    if (!hTechnique) return leave(D3DERR_INVALIDCALL);
    for (size_t i = 0; i < techniques_.size(); ++i) {
        if (techniques_[i].name == hTechnique) {
            technique_ = static_cast<int>(i);
            return S_OK;
        }
    }
    return leave(D3DERR_INVALIDCALL);
}

HRESULT SwEffect::Begin(UINT* pPasses, DWORD Flags) {
    HRESULT hr = enter(Op::FxBegin, Flags);
    if (pPasses) *pPasses = 0;
    if (FAILED(hr)) return hr;
    if (begun_ || technique_ < 0 || !device()) return leave(D3DERR_INVALIDCALL);
    begun_ = true;
    // D3DXFX_DONOTSAVESTATE (1) and D3DXFX_DONOTSAVESHADERSTATE (2) skip the save.
    restore_at_end_ = (Flags & 3u) == 0;
    if (restore_at_end_) saved_ = device()->capture_shaders();
    if (pPasses) *pPasses = static_cast<UINT>(techniques_[technique_].passes.size());
    return S_OK;
}

HRESULT SwEffect::BeginPass(UINT Pass) {
    HRESULT hr = enter(Op::FxBeginPass, Pass);
    if (FAILED(hr)) return hr;
    if (!begun_ || active_pass_ >= 0 || !device() || Pass >= techniques_[technique_].passes.size())
        return leave(D3DERR_INVALIDCALL);
    active_pass_ = static_cast<int>(Pass);
    const EffectPass& pass = techniques_[technique_].passes[Pass];
    device()->bind_shaders(pass.vs, pass.ps);
    device()->bind_constants(this);
    commit();
    return S_OK;
}

HRESULT SwEffect::CommitChanges() {
    HRESULT hr = enter(Op::FxCommitChanges);
    if (FAILED(hr)) return hr;
    // Outside a pass there is nothing to commit to.
    if (active_pass_ >= 0) commit();
    return S_OK;
}

HRESULT SwEffect::EndPass() {
    HRESULT hr = enter(Op::FxEndPass);
    if (FAILED(hr)) return hr;
    if (active_pass_ < 0) return leave(D3DERR_INVALIDCALL);
    active_pass_ = -1;
    return S_OK;
}

HRESULT SwEffect::End() {
    HRESULT hr = enter(Op::FxEnd);
    if (FAILED(hr)) return hr;
    if (!begun_) return leave(D3DERR_INVALIDCALL);
    begun_ = false;
    active_pass_ = -1;
    if (restore_at_end_ && device()) device()->restore_shaders(saved_);
    restore_at_end_ = false;
    return S_OK;
}

HRESULT SwEffect::OnLostDevice() { return enter(Op::FxOnLostDevice); }

HRESULT SwEffect::OnResetDevice() { return enter(Op::FxOnResetDevice); }

}  // namespace detail
}  // namespace lightvol_sw

using lightvol_sw::SoftwareDevice;
using namespace lightvol_sw::detail;

HRESULT WINAPI D3DXCreateEffect(IDirect3DDevice9* device, const void* srcdata, UINT srcdatalen,
                                const D3DXMACRO* defines, ID3DXInclude* include, DWORD flags,
                                ID3DXEffectPool* pool, ID3DXEffect** effect,
                                ID3DXBuffer** compilation_errors) {
    (void)include;
    (void)pool;
    if (effect) *effect = nullptr;
    if (compilation_errors) *compilation_errors = nullptr;
    auto* dev = device ? dynamic_cast<SoftwareDevice*>(device) : nullptr;
    if (!dev) return D3DERR_INVALIDCALL;

    const char* injected_text = nullptr;
    const HRESULT injected = dev->injected_failure(Op::D3DXCreateEffect, &injected_text);
    if (dev->logging()) {
        std::string text = format_call(Op::D3DXCreateEffect, srcdatalen, flags);
        if (FAILED(injected)) text += " -> FAILED";
        dev->append_call(std::move(text));
    }
    dev->last_logged_ = dev->logging() && SUCCEEDED(injected);
    if (FAILED(injected)) {
        if (injected_text && compilation_errors) {
            auto* buffer = new SwBuffer(dev, dev->next_label("Buffer"), injected_text);
            *compilation_errors = buffer;
        }
        return injected;
    }
    if (!srcdata || srcdatalen == 0 || !effect) return dev->leave(D3DERR_INVALIDCALL);

    std::vector<Macro> macros;
    for (const D3DXMACRO* m = defines; m && m->Name; ++m)
        macros.push_back({m->Name, m->Definition ? m->Definition : ""});

    ParsedEffect parsed;
    std::string error;
    bool ok = parse_effect(static_cast<const char*>(srcdata), srcdatalen, macros, parsed, error);

    std::vector<EffectTechnique> techniques;
    if (ok) {
        auto function_defined = [&](const std::string& name) {
            for (const ParsedFunction& f : parsed.functions)
                if (f.name == name) return true;
            return false;
        };
        auto check = [&](const ParsedShaderRef& ref, bool vertex) -> bool {
            const char* kind = vertex ? "vertex" : "pixel";
            const std::string prefix = vertex ? "vs_" : "ps_";
            const std::string where = "effect(" + std::to_string(ref.line) + "): error: ";
            if (ref.profile.compare(0, 3, prefix) != 0) {
                error = where + "'" + ref.profile + "' is not a " + kind + " shader profile";
                return false;
            }
            if (!function_defined(ref.entry)) {
                error = where + "entry point '" + ref.entry + "' is not defined";
                return false;
            }
            const bool registered = vertex ? dev->vertex_shader(ref.entry) != nullptr
                                           : dev->pixel_shader(ref.entry) != nullptr;
            if (!registered) {
                error = where + "no " + kind + " shader implementation for entry point '" +
                        ref.entry + "'";
                return false;
            }
            return true;
        };
        for (const ParsedTechnique& t : parsed.techniques) {
            EffectTechnique tech;
            tech.name = t.name;
            for (const ParsedPass& p : t.passes) {
                EffectPass pass;
                pass.name = p.name;
                if (!p.vertex_shader.entry.empty()) {
                    if (!check(p.vertex_shader, true)) {
                        ok = false;
                        break;
                    }
                    pass.vs = dev->vertex_shader(p.vertex_shader.entry);
                }
                if (!p.pixel_shader.entry.empty()) {
                    if (!check(p.pixel_shader, false)) {
                        ok = false;
                        break;
                    }
                    pass.ps = dev->pixel_shader(p.pixel_shader.entry);
                }
                tech.passes.push_back(std::move(pass));
            }
            if (!ok) break;
            techniques.push_back(std::move(tech));
        }
    }
    if (!ok) {
        if (compilation_errors)
            *compilation_errors = new SwBuffer(dev, dev->next_label("Buffer"), error);
        return dev->leave(D3DXERR_INVALIDDATA);
    }

    // Registers are the effect compiler's choice. This one leaves c0..c3
    // free and takes the parameters in their order from c4 on, so a frame
    // that assumed the built-in programs' layout (from c0) would be caught.
    std::vector<EffectParameter> params;
    UINT next_register = 4;
    for (const ParsedParameter& p : parsed.parameters) {
        EffectParameter ep;
        ep.name = p.name;
        ep.floats = p.floats_per_element * p.elements;
        ep.registers = p.floats_per_element <= 4 ? static_cast<UINT>(p.elements) : 0;
        ep.first_register = next_register;
        next_register += ep.registers;
        ep.values.assign(ep.floats, 0.0f);
        ep.committed.assign(ep.floats, 0.0f);
        params.push_back(std::move(ep));
    }
    *effect = new SwEffect(dev, dev->next_label("Effect"), std::move(params), std::move(techniques),
                           flags);
    return S_OK;
}

HRESULT WINAPI D3DXCreateCubeTexture(IDirect3DDevice9* device, UINT size, UINT miplevels,
                                     DWORD usage, D3DFORMAT format, D3DPOOL pool,
                                     IDirect3DCubeTexture9** cube) {
    if (cube) *cube = nullptr;
    auto* dev = device ? dynamic_cast<SoftwareDevice*>(device) : nullptr;
    if (!dev) return D3DERR_INVALIDCALL;
    HRESULT hr = dev->enter(Op::D3DXCreateCubeTexture, size, miplevels, usage, format, pool);
    if (FAILED(hr)) return hr;
    if (!cube) return dev->leave(D3DERR_INVALIDCALL);
    hr = dev->check_size(size, size);
    if (FAILED(hr)) return dev->leave(hr);
    if (!is_color_format(format) || (usage & ~D3DUSAGE_RENDERTARGET) != 0 ||
        ((usage & D3DUSAGE_RENDERTARGET) && pool != D3DPOOL_DEFAULT) || pool > D3DPOOL_SCRATCH ||
        (dev->ex_mode() && pool == D3DPOOL_MANAGED))
        return dev->leave(D3DERR_INVALIDCALL);
    UINT max_levels = 1;
    for (UINT s = size; s > 1; s >>= 1) ++max_levels;
    const UINT levels = miplevels == 0 ? max_levels : miplevels;
    if (levels > max_levels) return dev->leave(D3DERR_INVALIDCALL);

    auto* tex = new SwCubeTexture(dev, dev->next_label("CubeTexture"), levels);
    for (UINT face = 0; face < 6; ++face) {
        UINT edge = size;
        for (UINT level = 0; level < levels; ++level) {
            D3DSURFACE_DESC d{};
            d.Format = format;
            d.Type = D3DRTYPE_SURFACE;
            d.Usage = usage;
            d.Pool = pool;
            d.Width = edge;
            d.Height = edge;
            tex->add_surface(new SwSurface(dev, dev->next_label("Surface"), tex, false, 0, d,
                                           pool != D3DPOOL_DEFAULT));
            edge = std::max(1u, edge / 2);
        }
    }
    *cube = tex;
    return S_OK;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    (void)hWnd;
    lightvol_sw::MessageBoxRecord record;
    record.caption = lpCaption ? lpCaption : "";
    record.text = lpText ? lpText : "";
    record.flags = uType;
    SoftwareDevice* dev = SoftwareDevice::current();
    if (dev) dev->enter(Op::MessageBoxA, record.caption, record.text, uType);
    lightvol_sw::detail::record_message_box(std::move(record));
    return 1;  // IDOK
}
