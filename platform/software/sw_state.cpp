// Host-settable state beyond targets and shaders: scissor rectangle, clip
// planes, textures, stream frequencies, pixel shader constants, vertex
// processing mode, creation flags and state blocks.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/software/shader_program.h"
#include "platform/software/sw_internal.h"

namespace lightvol_sw {

using namespace detail;

size_t SoftwareDevice::sampler_slot(DWORD stage) {
    if (stage < 16) return stage;
    if (stage >= D3DDMAPSAMPLER && stage <= D3DVERTEXTEXTURESAMPLER3)
        return 16 + (stage - D3DDMAPSAMPLER);
    return kSamplers;
}

bool SoftwareDevice::has_sampler(size_t slot) const {
    if (slot < 16) return true;
    if (slot == 16) return displacement_map_;
    return slot < kSamplers && vertex_textures_;
}

void SoftwareDevice::set_render_target_count(DWORD count) {
    render_target_count_ = std::min<DWORD>(std::max<DWORD>(count, 1), 4);
    // Targets past the count cannot stay bound.
    for (DWORD i = render_target_count_; i < 4; ++i)
        rebind_object(extra_targets_[i - 1], static_cast<SwSurface*>(nullptr));
}

void SoftwareDevice::set_constant_registers(UINT vertex, UINT pixel) {
    vertex_constant_count_ = std::min<UINT>(vertex, kVertexConstantRegisters);
    pixel_constant_count_ = pixel >= kPixelConstants ? kPixelConstants : pixel >= 32 ? 32 : 8;
}

HRESULT SoftwareDevice::GetDeviceCaps(D3DCAPS9* pCaps) {
    HRESULT hr = enter(Op::GetDeviceCaps);
    if (FAILED(hr)) return hr;
    if (!pCaps) return leave(D3DERR_INVALIDCALL);
    *pCaps = D3DCAPS9{};
    pCaps->DeviceType = D3DDEVTYPE_HAL;
    pCaps->DevCaps2 = displacement_map_ ? D3DDEVCAPS2_DMAPNPATCH : 0;
    pCaps->NumSimultaneousRTs = render_target_count_;
    pCaps->VertexShaderVersion = vertex_textures_ ? D3DVS_VERSION(3, 0) : D3DVS_VERSION(2, 0);
    pCaps->MaxVertexShaderConst = vertex_constant_count_;
    pCaps->PixelShaderVersion = pixel_constant_count_ >= kPixelConstants ? D3DPS_VERSION(3, 0)
                                : pixel_constant_count_ >= 32         ? D3DPS_VERSION(2, 0)
                                                                      : D3DPS_VERSION(1, 4);
    pCaps->MaxTextureWidth = max_texture_size_;
    pCaps->MaxTextureHeight = max_texture_size_;
    return S_OK;
}

void SoftwareDevice::set_creation_flags(DWORD flags) {
    creation_flags_ = flags;
    if (flags & D3DCREATE_SOFTWARE_VERTEXPROCESSING)
        software_processing_ = true;
    else if (!(flags & D3DCREATE_MIXED_VERTEXPROCESSING))
        software_processing_ = false;
}

void SoftwareDevice::bind_texture(size_t slot, SwObject* texture) {
    bound_textures_ += (texture != nullptr) - (textures_[slot] != nullptr);
    rebind_object(textures_[slot], texture);
}

bool SoftwareDevice::write_vertex_constants(UINT first, const float* values, UINT count) {
    if (uint64_t{first} + count > kVertexConstantRegisters) return false;
    if (count) std::memcpy(vs_constants_[first], values, count * 4 * sizeof(float));
    return true;
}

HRESULT SoftwareDevice::GetCreationParameters(D3DDEVICE_CREATION_PARAMETERS* pParameters) {
    HRESULT hr = enter(Op::GetCreationParameters);
    if (FAILED(hr)) return hr;
    if (!pParameters) return leave(D3DERR_INVALIDCALL);
    *pParameters = D3DDEVICE_CREATION_PARAMETERS{0, D3DDEVTYPE_HAL, nullptr, creation_flags_};
    return S_OK;
}

HRESULT SoftwareDevice::SetScissorRect(const RECT* pRect) {
    HRESULT hr = enter(Op::SetScissorRect, RectArg{pRect});
    if (FAILED(hr)) return hr;
    if (!pRect) return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->scissor = true;
        recording_block_->scissor_value = *pRect;
        return S_OK;
    }
    scissor_ = *pRect;
    return S_OK;
}

HRESULT SoftwareDevice::GetScissorRect(RECT* pRect) {
    HRESULT hr = enter(Op::GetScissorRect);
    if (FAILED(hr)) return hr;
    if (!pRect || pure()) return leave(D3DERR_INVALIDCALL);
    *pRect = scissor_;
    return S_OK;
}

HRESULT SoftwareDevice::SetClipPlane(DWORD Index, const float* pPlane) {
    HRESULT hr = enter(Op::SetClipPlane, Index);
    if (FAILED(hr)) return hr;
    if (!pPlane || Index >= 6) return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->clip_plane[Index] = true;
        std::copy(pPlane, pPlane + 4, recording_block_->clip_value[Index]);
        return S_OK;
    }
    std::copy(pPlane, pPlane + 4, clip_planes_[Index]);
    return S_OK;
}

HRESULT SoftwareDevice::GetClipPlane(DWORD Index, float* pPlane) {
    HRESULT hr = enter(Op::GetClipPlane, Index);
    if (FAILED(hr)) return hr;
    if (!pPlane || Index >= 6 || pure()) return leave(D3DERR_INVALIDCALL);
    std::copy(clip_planes_[Index], clip_planes_[Index] + 4, pPlane);
    return S_OK;
}

HRESULT SoftwareDevice::SetTexture(DWORD Stage, IDirect3DBaseTexture9* pTexture) {
    HRESULT hr = enter(Op::SetTexture, Stage, pTexture);
    if (FAILED(hr)) return hr;
    const size_t slot = sampler_slot(Stage);
    SwObject* t = object_from(pTexture);
    if (!has_sampler(slot) || (pTexture && (!t || t->device() != this)))
        return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        // Held from Capture on; the recorded value itself is not kept.
        recording_block_->texture[slot] = true;
        return S_OK;
    }
    bind_texture(slot, t);
    return S_OK;
}

HRESULT SoftwareDevice::GetTexture(DWORD Stage, IDirect3DBaseTexture9** ppTexture) {
    HRESULT hr = enter(Op::GetTexture, Stage);
    if (ppTexture) *ppTexture = nullptr;
    if (FAILED(hr)) return hr;
    const size_t slot = sampler_slot(Stage);
    if (!ppTexture || !has_sampler(slot)) return leave(D3DERR_INVALIDCALL);
    if (SwObject* t = textures_[slot]) {
        t->add_ref();
        *ppTexture = dynamic_cast<IDirect3DBaseTexture9*>(t);
    }
    return S_OK;
}

HRESULT SoftwareDevice::SetSoftwareVertexProcessing(BOOL bSoftware) {
    HRESULT hr = enter(Op::SetSoftwareVertexProcessing, bSoftware);
    if (FAILED(hr)) return hr;
    if (!(creation_flags_ & D3DCREATE_MIXED_VERTEXPROCESSING)) return leave(D3DERR_INVALIDCALL);
    software_processing_ = bSoftware != FALSE;
    return S_OK;
}

BOOL SoftwareDevice::GetSoftwareVertexProcessing() {
    enter(Op::GetSoftwareVertexProcessing);
    return software_processing_ ? TRUE : FALSE;
}

HRESULT SoftwareDevice::BeginStateBlock() {
    HRESULT hr = enter(Op::BeginStateBlock);
    if (FAILED(hr)) return hr;
    if (recording_block_) return leave(D3DERR_INVALIDCALL);
    try {
        recording_block_ = std::make_unique<RecordedState>();
    } catch (const std::bad_alloc&) {
        return leave(E_OUTOFMEMORY);
    }
    return S_OK;
}

HRESULT SoftwareDevice::EndStateBlock(IDirect3DStateBlock9** ppSB) {
    HRESULT hr = enter(Op::EndStateBlock);
    if (ppSB) *ppSB = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppSB || !recording_block_) return leave(D3DERR_INVALIDCALL);
    try {
        *ppSB = new SwStateBlock(this, next_label("StateBlock"), std::move(recording_block_));
    } catch (const std::bad_alloc&) {
        recording_block_.reset();
        return leave(E_OUTOFMEMORY);
    }
    return S_OK;
}

HRESULT SoftwareDevice::GetVertexDeclaration(IDirect3DVertexDeclaration9** ppDecl) {
    HRESULT hr = enter(Op::GetVertexDeclaration);
    if (ppDecl) *ppDecl = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppDecl) return leave(D3DERR_INVALIDCALL);
    if (declaration_) {
        declaration_->add_ref();
        *ppDecl = declaration_;
    }
    return S_OK;
}

HRESULT SoftwareDevice::GetStreamSource(UINT StreamNumber, IDirect3DVertexBuffer9** ppStreamData,
                                        UINT* pOffsetInBytes, UINT* pStride) {
    HRESULT hr = enter(Op::GetStreamSource, StreamNumber);
    if (ppStreamData) *ppStreamData = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppStreamData || !pOffsetInBytes || !pStride || StreamNumber >= kStreams)
        return leave(D3DERR_INVALIDCALL);
    const Stream& s = streams_[StreamNumber];
    if (s.buffer) {
        s.buffer->add_ref();
        *ppStreamData = s.buffer;
    }
    *pOffsetInBytes = s.offset;
    *pStride = s.stride;
    return S_OK;
}

HRESULT SoftwareDevice::SetStreamSourceFreq(UINT StreamNumber, UINT Setting) {
    HRESULT hr = enter(Op::SetStreamSourceFreq, StreamNumber, Setting);
    if (FAILED(hr)) return hr;
    if (StreamNumber >= kStreams || Setting == 0) return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        recording_block_->frequency[StreamNumber] = true;
        recording_block_->frequency_value[StreamNumber] = Setting;
        return S_OK;
    }
    frequencies_[StreamNumber] = Setting;
    return S_OK;
}

HRESULT SoftwareDevice::GetStreamSourceFreq(UINT StreamNumber, UINT* pSetting) {
    HRESULT hr = enter(Op::GetStreamSourceFreq, StreamNumber);
    if (FAILED(hr)) return hr;
    if (!pSetting || StreamNumber >= kStreams || pure()) return leave(D3DERR_INVALIDCALL);
    *pSetting = frequencies_[StreamNumber];
    return S_OK;
}

HRESULT SoftwareDevice::GetIndices(IDirect3DIndexBuffer9** ppIndexData) {
    HRESULT hr = enter(Op::GetIndices);
    if (ppIndexData) *ppIndexData = nullptr;
    if (FAILED(hr)) return hr;
    if (!ppIndexData) return leave(D3DERR_INVALIDCALL);
    // No index buffer can be made here, so none is ever bound.
    return S_OK;
}

template <size_t N>
HRESULT SoftwareDevice::set_constants(detail::Op op, UINT start, const float* data, UINT count,
                                      float (&registers)[N][4], UINT has,
                                      std::array<bool, N> detail::RecordedState::*recorded) {
    HRESULT hr = enter(op, start, count);
    if (FAILED(hr)) return hr;
    if (!data || uint64_t{start} + count > std::min<uint64_t>(N, has))
        return leave(D3DERR_INVALIDCALL);
    if (recording_block_) {
        for (UINT i = 0; i < count; ++i) ((*recording_block_).*recorded)[start + i] = true;
        return S_OK;
    }
    if (null_mode_) return S_OK;
    std::memcpy(registers[start], data, count * 4 * sizeof(float));
    return S_OK;
}

template <size_t N>
HRESULT SoftwareDevice::get_constants(detail::Op op, UINT start, float* data, UINT count,
                                      const float (&registers)[N][4], UINT has) {
    HRESULT hr = enter(op, start, count);
    if (FAILED(hr)) return hr;
    if (!data || uint64_t{start} + count > std::min<uint64_t>(N, has) || pure())
        return leave(D3DERR_INVALIDCALL);
    std::memcpy(data, registers[start], count * 4 * sizeof(float));
    return S_OK;
}

HRESULT SoftwareDevice::SetVertexShaderConstantF(UINT StartRegister, const float* pConstantData,
                                                 UINT Vector4fCount) {
    return set_constants(detail::Op::SetVertexShaderConstantF, StartRegister, pConstantData,
                         Vector4fCount, vs_constants_, vertex_constant_count_,
                         &detail::RecordedState::vs_constant);
}

HRESULT SoftwareDevice::GetVertexShaderConstantF(UINT StartRegister, float* pConstantData,
                                                 UINT Vector4fCount) {
    return get_constants(detail::Op::GetVertexShaderConstantF, StartRegister, pConstantData,
                         Vector4fCount, vs_constants_, vertex_constant_count_);
}

HRESULT SoftwareDevice::SetPixelShaderConstantF(UINT StartRegister, const float* pConstantData,
                                                UINT Vector4fCount) {
    return set_constants(detail::Op::SetPixelShaderConstantF, StartRegister, pConstantData,
                         Vector4fCount, ps_constants_, pixel_constant_count_,
                         &detail::RecordedState::ps_constant);
}

HRESULT SoftwareDevice::GetPixelShaderConstantF(UINT StartRegister, float* pConstantData,
                                                UINT Vector4fCount) {
    return get_constants(detail::Op::GetPixelShaderConstantF, StartRegister, pConstantData,
                         Vector4fCount, ps_constants_, pixel_constant_count_);
}

// ---------------------------------------------------------------------------
// State blocks
// ---------------------------------------------------------------------------
namespace detail {

SwStateBlock::SwStateBlock(SoftwareDevice* device, std::string label,
                           std::unique_ptr<RecordedState> state)
    : SwObject(device, std::move(label), nullptr, false, 1), state_(std::move(state)) {
    const RecordedState& s = *state_;
    for (uint16_t i = 0; i < s.render_state.size(); ++i)
        if (s.render_state[i]) render_states_.push_back(i);
    for (uint16_t i = 0; i < s.vs_constant.size(); ++i)
        if (s.vs_constant[i]) vs_registers_.push_back(i);
    for (uint16_t i = 0; i < s.ps_constant.size(); ++i)
        if (s.ps_constant[i]) ps_registers_.push_back(i);
}

SwStateBlock::~SwStateBlock() {
    RecordedState& s = *state_;
    for (SwObject*& t : s.texture_value) rebind_object(t, static_cast<SwObject*>(nullptr));
    for (SwObject*& b : s.stream_value) rebind_object(b, static_cast<SwObject*>(nullptr));
    for (SwObject** o : {&s.declaration_value, &s.indices_value, &s.vertex_shader_value,
                         &s.pixel_shader_value})
        rebind_object(*o, static_cast<SwObject*>(nullptr));
}

HRESULT SwStateBlock::Capture() {
    HRESULT hr = enter(Op::SbCapture);
    if (FAILED(hr)) return hr;
    SoftwareDevice* dev = device();
    if (!dev || dev->recording_block_) return leave(D3DERR_INVALIDCALL);
    RecordedState& s = *state_;
    for (uint16_t i : render_states_) s.render_value[i] = dev->render_states_[i];
    if (s.viewport) s.viewport_value = dev->viewport_;
    if (s.scissor) s.scissor_value = dev->scissor_;
    for (size_t i = 0; i < 6; ++i)
        if (s.clip_plane[i]) std::copy(dev->clip_planes_[i], dev->clip_planes_[i] + 4, s.clip_value[i]);
    for (size_t i = 0; i < s.texture.size(); ++i)
        if (s.texture[i]) rebind_object(s.texture_value[i], dev->textures_[i]);
    for (size_t i = 0; i < s.frequency.size(); ++i)
        if (s.frequency[i]) s.frequency_value[i] = dev->frequencies_[i];
    for (size_t i = 0; i < s.stream.size(); ++i) {
        if (!s.stream[i]) continue;
        rebind_object(s.stream_value[i], static_cast<SwObject*>(dev->streams_[i].buffer));
        s.stream_offset[i] = dev->streams_[i].offset;
        s.stream_stride[i] = dev->streams_[i].stride;
    }
    if (s.declaration)
        rebind_object(s.declaration_value, static_cast<SwObject*>(dev->declaration_));
    if (s.indices) rebind_object(s.indices_value, dev->indices_);
    if (s.vertex_shader) rebind_object(s.vertex_shader_value, dev->vs_object_);
    if (s.pixel_shader) rebind_object(s.pixel_shader_value, dev->ps_object_);
    for (uint16_t i : vs_registers_)
        std::copy(dev->vs_constants_[i], dev->vs_constants_[i] + 4, s.vs_value[i]);
    for (uint16_t i : ps_registers_)
        std::copy(dev->ps_constants_[i], dev->ps_constants_[i] + 4, s.ps_value[i]);
    return S_OK;
}

HRESULT SwStateBlock::Apply() {
    HRESULT hr = enter(Op::SbApply);
    if (FAILED(hr)) return hr;
    SoftwareDevice* dev = device();
    if (!dev || dev->recording_block_) return leave(D3DERR_INVALIDCALL);
    const RecordedState& s = *state_;
    for (uint16_t i : render_states_) dev->render_states_[i] = s.render_value[i];
    if (s.viewport) dev->viewport_ = s.viewport_value;
    if (s.scissor) dev->scissor_ = s.scissor_value;
    for (size_t i = 0; i < 6; ++i)
        if (s.clip_plane[i]) std::copy(s.clip_value[i], s.clip_value[i] + 4, dev->clip_planes_[i]);
    for (size_t i = 0; i < s.texture.size(); ++i)
        if (s.texture[i]) dev->bind_texture(i, s.texture_value[i]);
    for (size_t i = 0; i < s.frequency.size(); ++i)
        if (s.frequency[i]) dev->frequencies_[i] = s.frequency_value[i];
    for (size_t i = 0; i < s.stream.size(); ++i)
        if (s.stream[i])
            dev->bind_stream(static_cast<UINT>(i), dynamic_cast<SwVertexBuffer*>(s.stream_value[i]),
                             s.stream_offset[i], s.stream_stride[i]);
    if (s.declaration)
        dev->bind_vertex_declaration(dynamic_cast<SwVertexDecl*>(s.declaration_value));
    if (s.indices) rebind_object(dev->indices_, s.indices_value);
    if (s.vertex_shader) {
        rebind_object(dev->vs_object_, s.vertex_shader_value);
        auto* vs = dynamic_cast<SwVertexShader*>(s.vertex_shader_value);
        dev->bound_vs_ = vs ? vs->program() : nullptr;
    }
    if (s.pixel_shader) {
        rebind_object(dev->ps_object_, s.pixel_shader_value);
        auto* ps = dynamic_cast<SwPixelShader*>(s.pixel_shader_value);
        dev->bound_ps_ = ps ? ps->program() : nullptr;
    }
    for (uint16_t i : vs_registers_)
        std::copy(s.vs_value[i], s.vs_value[i] + 4, dev->vs_constants_[i]);
    for (uint16_t i : ps_registers_)
        std::copy(s.ps_value[i], s.ps_value[i] + 4, dev->ps_constants_[i]);
    return S_OK;
}

}  // namespace detail

}  // namespace lightvol_sw
