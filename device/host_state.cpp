#include "device/host_state.h"

#include "device/com_ref.h"
#include "device/device_context.h"

namespace {

// Values recorded into the block; Capture replaces them with the host's.
const float zero_registers[256][4] = {};

// The part of range within the first `registers` registers (and within
// zero_registers).
RegisterRange within(RegisterRange range, UINT registers) {
    if (registers > 256) registers = 256;
    if (range.first >= registers) return RegisterRange{range.first, 0};
    const UINT room = registers - range.first;
    return RegisterRange{range.first, range.count < room ? range.count : room};
}

// A refused restore is made once more: the host must not be left drawing into
// the light map, or with the pass's states.
template <class Call>
void twice_if_refused(Call call) {
    if (FAILED(call())) call();
}

}  // namespace

bool HostState::create(RegisterRange vertex, RegisterRange pixel) {
    release();
    vertex_ = vertex;
    pixel_ = pixel;
    if (!g_device) return false;
    caps_ = read_device_caps(g_device);
    D3DDEVICE_CREATION_PARAMETERS creation{};
    mixed_ = SUCCEEDED(g_device->GetCreationParameters(&creation)) &&
             (creation.BehaviorFlags & D3DCREATE_MIXED_VERTEXPROCESSING) != 0;

    if (FAILED(g_device->BeginStateBlock())) return false;
    // While recording, these calls change nothing on the device.
    bool recorded = true;
    auto record = [&](HRESULT hr) { recorded = recorded && SUCCEEDED(hr); };
    for (size_t i = 0; i < pinned_state_count; ++i)
        record(g_device->SetRenderState(pinned_states[i].state, pinned_states[i].value));
    const D3DVIEWPORT9 viewport{0, 0, 1, 1, 0.0f, 1.0f};
    record(g_device->SetViewport(&viewport));
    const RECT scissor{0, 0, 1, 1};
    record(g_device->SetScissorRect(&scissor));
    record(g_device->SetStreamSourceFreq(0, 1));
    const RegisterRange vertex_held = within(vertex_, caps_.vertex_constants);
    const RegisterRange pixel_held = within(pixel_, caps_.pixel_constants);
    if (vertex_held.count > 0)
        record(g_device->SetVertexShaderConstantF(vertex_held.first, zero_registers[0],
                                                  vertex_held.count));
    if (pixel_held.count > 0)
        record(g_device->SetPixelShaderConstantF(pixel_held.first, zero_registers[0],
                                                 pixel_held.count));
    // Recording always ends, whatever was refused: a device left recording
    // would swallow the host's own state changes. A refused end is made once
    // more, and a block it hands back then is not used.
    IDirect3DStateBlock9* block = nullptr;
    if (SUCCEEDED(g_device->EndStateBlock(&block)) && recorded && block) {
        block_ = block;
        return true;
    }
    if (!block) g_device->EndStateBlock(&block);
    release_ref(block);
    return false;
}

void HostState::release() {
    drop();
    release_ref(block_);
}

bool HostState::save(IDirect3DBaseTexture9* light_map) {
    if (!block_) return false;
    drop();
    bool ok = SUCCEEDED(g_device->GetRenderTarget(0, &targets_[0])) && targets_[0];
    // Only the targets the device has; one it refuses all the same (a device
    // whose caps could not be read) has nothing bound there.
    for (DWORD i = 1; ok && i < caps_.render_targets; ++i)
        if (FAILED(g_device->GetRenderTarget(i, &targets_[i]))) release_ref(targets_[i]);
    if (ok) {
        // A host without a depth surface (D3DERR_NOTFOUND) gets none back.
        const HRESULT hr = g_device->GetDepthStencilSurface(&depth_);
        ok = SUCCEEDED(hr) || hr == D3DERR_NOTFOUND;
    }
    ok = ok && SUCCEEDED(g_device->GetVertexDeclaration(&declaration_)) &&
         SUCCEEDED(g_device->GetStreamSource(0, &stream_, &stream_offset_, &stream_stride_)) &&
         SUCCEEDED(g_device->GetIndices(&indices_)) &&
         SUCCEEDED(g_device->GetVertexShader(&vertex_shader_)) &&
         SUCCEEDED(g_device->GetPixelShader(&pixel_shader_));
    light_map_ = light_map;
    for (size_t i = 0; ok && i < sampler_stage_count; ++i) {
        if (!has_sampler(i)) continue;
        IDirect3DBaseTexture9* bound = nullptr;
        const bool read = SUCCEEDED(g_device->GetTexture(sampler_stages[i], &bound));
        // Samplers 0..15 exist on every device: one that cannot be read
        // might hold the light map. A vertex-side one may not exist.
        ok = read || sampler_stages[i] >= D3DDMAPSAMPLER;
        if (read && light_map && bound == light_map) light_map_samplers_ |= 1u << i;
        release_ref(bound);
    }
    if (ok && mixed_) software_processing_ = g_device->GetSoftwareVertexProcessing() != FALSE;
    ok = ok && SUCCEEDED(block_->Capture());
    if (!ok) drop();
    return ok;
}

bool HostState::has_sampler(size_t i) const {
    if (sampler_stages[i] < D3DDMAPSAMPLER) return true;
    if (sampler_stages[i] == D3DDMAPSAMPLER) return caps_.displacement_map;
    return caps_.vertex_textures;
}

void HostState::pin() {
    for (DWORD i = 1; i < 4; ++i)
        if (targets_[i]) g_device->SetRenderTarget(i, nullptr);
    for (size_t i = 0; i < sampler_stage_count; ++i)
        if (light_map_samplers_ & (1u << i)) g_device->SetTexture(sampler_stages[i], nullptr);
    for (size_t i = 0; i < pinned_state_count; ++i)
        g_device->SetRenderState(pinned_states[i].state, pinned_states[i].value);
    g_device->SetStreamSourceFreq(0, 1);
    if (software_processing_) g_device->SetSoftwareVertexProcessing(FALSE);
}

void HostState::restore() {
    IDirect3DDevice9* const d = g_device;
    twice_if_refused([&] { return d->SetRenderTarget(0, targets_[0]); });
    for (DWORD i = 1; i < 4; ++i)
        if (targets_[i]) twice_if_refused([&] { return d->SetRenderTarget(i, targets_[i]); });
    twice_if_refused([&] { return d->SetDepthStencilSurface(depth_); });
    twice_if_refused([&] { return d->SetVertexDeclaration(declaration_); });
    twice_if_refused(
        [&] { return d->SetStreamSource(0, stream_, stream_offset_, stream_stride_); });
    twice_if_refused([&] { return d->SetIndices(indices_); });
    twice_if_refused([&] { return d->SetVertexShader(vertex_shader_); });
    twice_if_refused([&] { return d->SetPixelShader(pixel_shader_); });
    for (size_t i = 0; i < sampler_stage_count; ++i)
        if (light_map_samplers_ & (1u << i))
            twice_if_refused([&] { return d->SetTexture(sampler_stages[i], light_map_); });
    twice_if_refused([&] { return block_->Apply(); });
    if (software_processing_) twice_if_refused([&] { return d->SetSoftwareVertexProcessing(TRUE); });
    drop();
}

void HostState::drop() {
    for (IDirect3DSurface9*& target : targets_) release_ref(target);
    release_ref(depth_);
    release_ref(declaration_);
    release_ref(stream_);
    stream_offset_ = 0;
    stream_stride_ = 0;
    release_ref(indices_);
    release_ref(vertex_shader_);
    release_ref(pixel_shader_);
    light_map_ = nullptr;
    light_map_samplers_ = 0;
    software_processing_ = false;
}
