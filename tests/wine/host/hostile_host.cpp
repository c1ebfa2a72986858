// The hostile host: an engine that calls render with whatever its last draw
// left on the device. Each state is set singly and then all at once; the light
// map must be within 1/255 of a clean device's, the host must read its own
// values back after render, and a Reset right after such a frame must succeed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scenarios.h"

namespace {

DWORD bits(float f) {
    DWORD d;
    std::memcpy(&d, &f, sizeof d);
    return d;
}

struct StateValue {
    D3DRENDERSTATETYPE state;
    DWORD value;
};

// One thing a host leaves behind. Besides render states: a user clip plane,
// a scissor rectangle, a second render target, the light map on a sampler,
// an instancing frequency on stream 0.
struct Hostile {
    const char* name;
    std::vector<StateValue> states;
    bool clip_plane = false;
    bool scissor = false;
    bool second_target = false;
    bool light_map_sampled = false;
    bool frequency = false;
};

const DWORD nvdb = 'N' | ('V' << 8) | ('D' << 16) | (DWORD{'B'} << 24);

const std::vector<Hostile>& hostile_states() {
    static const std::vector<Hostile> rows = {
        {"colour write 0", {{D3DRS_COLORWRITEENABLE, 0}}},
        {"colour write red", {{D3DRS_COLORWRITEENABLE, D3DCOLORWRITEENABLE_RED}}},
        {"sRGB write", {{D3DRS_SRGBWRITEENABLE, TRUE}}},
        {"alpha test",
         {{D3DRS_ALPHATESTENABLE, TRUE}, {D3DRS_ALPHAFUNC, D3DCMP_GREATER}, {D3DRS_ALPHAREF, 0x80}}},
        {"table fog",
         {{D3DRS_FOGENABLE, TRUE},
          {D3DRS_FOGTABLEMODE, D3DFOG_LINEAR},
          {D3DRS_FOGCOLOR, 0x00FF00FF},
          {D3DRS_FOGSTART, bits(0.0f)},
          {D3DRS_FOGEND, bits(1.0f)}}},
        {"wireframe", {{D3DRS_FILLMODE, D3DFILL_WIREFRAME}}},
        {"user clip plane", {{D3DRS_CLIPPLANEENABLE, D3DCLIPPLANE0}}, true},
        {"stencil never",
         {{D3DRS_STENCILENABLE, TRUE}, {D3DRS_STENCILFUNC, D3DCMP_NEVER}, {D3DRS_STENCILREF, 1}}},
        {"scissor", {{D3DRS_SCISSORTESTENABLE, TRUE}}, false, true},
        {"texture coordinate wrap", {{D3DRS_WRAP1, D3DWRAP_U | D3DWRAP_V}}},
        {"dither", {{D3DRS_DITHERENABLE, TRUE}}},
        {"flat shading", {{D3DRS_SHADEMODE, D3DSHADE_FLAT}}},
        {"separate alpha blend",
         {{D3DRS_SEPARATEALPHABLENDENABLE, TRUE}, {D3DRS_SRCBLENDALPHA, D3DBLEND_ZERO}}},
        {"multisample mask", {{D3DRS_MULTISAMPLEMASK, 0}}},
        {"depth bounds",
         {{D3DRS_ADAPTIVETESS_X, nvdb},
          {D3DRS_ADAPTIVETESS_Z, bits(0.25f)},
          {D3DRS_ADAPTIVETESS_W, bits(0.5f)}}},
        {"second render target", {}, false, false, true},
        {"light map on a sampler", {}, false, false, false, true},
        {"instancing frequency", {}, false, false, false, false, true},
    };
    return rows;
}

const float k_plane[4] = {0, 0, 0, -1};
const RECT k_scissor{0, 0, 2, 2};
const UINT k_frequency = D3DSTREAMSOURCE_INDEXEDDATA | 3;

// The host's constants in every register a pass may touch: c0..c255 of the
// vertex shader, c0..c31 of the pixel shader.
float host_constant(int r, int c) { return float(r) * 0.5f - float(c); }
constexpr int pixel_registers = 32;

class HostileFrame {
public:
    HostileFrame(HostContext& ctx, ILightingSystem* system, IDirect3DSurface9* second)
        : ctx_(ctx), device_(ctx.device->device()), system_(system), second_(second) {}

    // Binds the host's targets, leaves the rows' states and renders.
    void run(const std::vector<const Hostile*>& rows) {
        ctx_.device->bind_host_targets(D3DCOLOR_XRGB(0, 0, 64));
        float constants[256][4];
        for (int r = 0; r < 256; ++r)
            for (int c = 0; c < 4; ++c) constants[r][c] = host_constant(r, c);
        device_->SetVertexShaderConstantF(0, constants[0], 256);
        device_->SetPixelShaderConstantF(0, constants[0], pixel_registers);
        saved_.clear();
        for (const Hostile* row : rows) {
            for (const StateValue& s : row->states) {
                DWORD old = 0;
                device_->GetRenderState(s.state, &old);
                saved_.push_back({s.state, old});
                device_->SetRenderState(s.state, s.value);
            }
            if (row->clip_plane) device_->SetClipPlane(0, k_plane);
            if (row->scissor) device_->SetScissorRect(&k_scissor);
            if (row->second_target) device_->SetRenderTarget(1, second_);
            if (row->light_map_sampled)
                device_->SetTexture(0, system_->get_light_map()->texture);
            if (row->frequency) device_->SetStreamSourceFreq(0, k_frequency);
        }
        const Vec3 focus{4, 4, 0}, lo{0, 0, 0}, hi{8, 8, 0};
        const float movement[2] = {1, 1};
        device_->BeginScene();
        system_->render(&focus, movement, &lo, &hi);
        device_->EndScene();
    }

    // What the host reads back is what it left; then its defaults are put back.
    void check_and_undo(const std::vector<const Hostile*>& rows, Outcome& outcome,
                        const std::string& when) {
        // The value each state was left with: the last row setting it wins.
        DWORD left[256] = {};
        bool set[256] = {};
        for (const Hostile* row : rows)
            for (const StateValue& s : row->states) {
                left[s.state & 0xFF] = s.value;
                set[s.state & 0xFF] = true;
            }
        for (int state = 0; state < 256; ++state) {
            if (!set[state]) continue;
            DWORD now = 0;
            device_->GetRenderState(static_cast<D3DRENDERSTATETYPE>(state), &now);
            char text[160];
            std::snprintf(text, sizeof text, "%s: render state %d is %lu after render, %lu before",
                          when.c_str(), state, now, left[state]);
            outcome.expect(now == left[state], text);
        }
        for (const Hostile* row : rows) {
            if (row->scissor) {
                RECT r{};
                device_->GetScissorRect(&r);
                outcome.expect(std::memcmp(&r, &k_scissor, sizeof r) == 0,
                               when + ": scissor rectangle not the host's");
            }
            if (row->clip_plane) {
                float p[4] = {};
                device_->GetClipPlane(0, p);
                outcome.expect(std::memcmp(p, k_plane, sizeof p) == 0,
                               when + ": clip plane not the host's");
            }
            if (row->second_target) {
                IDirect3DSurface9* t = nullptr;
                device_->GetRenderTarget(1, &t);
                outcome.expect(t == second_, when + ": render target 1 not the host's");
                if (t) t->Release();
                device_->SetRenderTarget(1, nullptr);
            }
            if (row->light_map_sampled) {
                IDirect3DBaseTexture9* t = nullptr;
                device_->GetTexture(0, &t);
                outcome.expect(t == system_->get_light_map()->texture,
                               when + ": the light map is not on sampler 0 any more");
                if (t) t->Release();
                device_->SetTexture(0, nullptr);
            }
            if (row->frequency) {
                UINT f = 0;
                device_->GetStreamSourceFreq(0, &f);
                outcome.expect(f == k_frequency, when + ": stream 0 frequency not the host's");
                device_->SetStreamSourceFreq(0, 1);
            }
        }
        D3DVIEWPORT9 vp{};
        device_->GetViewport(&vp);
        const D3DVIEWPORT9 host = host_viewport();
        outcome.expect(vp.X == host.X && vp.Y == host.Y && vp.Width == host.Width &&
                           vp.Height == host.Height && vp.MinZ == host.MinZ && vp.MaxZ == host.MaxZ,
                       when + ": viewport not the host's");
        float constants[256][4];
        device_->GetVertexShaderConstantF(0, constants[0], 256);
        bool same = true;
        for (int r = 0; r < 256; ++r)
            for (int c = 0; c < 4; ++c) same = same && constants[r][c] == host_constant(r, c);
        outcome.expect(same, when + ": vertex shader constants not the host's");
        device_->GetPixelShaderConstantF(0, constants[0], pixel_registers);
        same = true;
        for (int r = 0; r < pixel_registers; ++r)
            for (int c = 0; c < 4; ++c) same = same && constants[r][c] == host_constant(r, c);
        outcome.expect(same, when + ": pixel shader constants not the host's");
        device_->SetRenderState(D3DRS_CLIPPLANEENABLE, 0);
        for (size_t i = saved_.size(); i-- > 0;)
            device_->SetRenderState(saved_[i].state, saved_[i].value);
        saved_.clear();
    }

private:
    HostContext& ctx_;
    IDirect3DDevice9* device_;
    ILightingSystem* system_;
    IDirect3DSurface9* second_;
    std::vector<StateValue> saved_;
};

bool read_map(HostContext& ctx, ILightingSystem* system, Image& out, Outcome& outcome,
              const std::string& when) {
    const LightMapInfo* info = system->get_light_map();
    std::string error;
    if (!info->texture || !ctx.device->read_texture(info->texture, out, error)) {
        outcome.fail(when + ": cannot read the light map: " + error);
        return false;
    }
    return true;
}

// The largest channel difference between two pictures of one size.
int largest_difference(const Image& a, const Image& b) {
    if (a.texels.size() != b.texels.size()) return 256;
    int largest = 0;
    for (size_t i = 0; i < a.texels.size(); ++i)
        for (int shift = 0; shift < 24; shift += 8) {
            const int d = std::abs(int(a.texels[i] >> shift & 0xFF) - int(b.texels[i] >> shift & 0xFF));
            if (d > largest) largest = d;
        }
    return largest;
}

}  // namespace

Outcome scenario_hostile_host(HostContext& ctx) {
    Outcome outcome;
    IDirect3DDevice9* device = ctx.device->device();
    ILightingSystem* system = ctx.create();
    if (!system) {
        outcome.fail("create_ILightingSystem returned null");
        return outcome;
    }
    system->init(device, &host_set_render_state);
    system->set_volume(16, 16, 4, 0.5f);
    system->set_base_layer(0);
    const Vec3 positions[4] = {{2, 2, 0.5f}, {4.5f, 3, 1}, {6, 6, 0}, {3, 5.5f, 1.5f}};
    for (int i = 0; i < 4; ++i) {
        IPointLight* light = system->create_point_light();
        const Vec3 colour{1, 0.25f + 0.25f * float(i), 1 - 0.2f * float(i)};
        light->set_position(&positions[i]);
        light->set_radius(1.5f + 0.25f * float(i));
        light->set_color(&colour);
    }
    IDirect3DSurface9* second = nullptr;
    if (FAILED(device->CreateRenderTarget(HostDevice::backbuffer_size, HostDevice::backbuffer_size,
                                          D3DFMT_A8R8G8B8, D3DMULTISAMPLE_NONE, 0, FALSE, &second,
                                          nullptr)))
        outcome.fail("CreateRenderTarget of the second target refused");

    HostileFrame frame(ctx, system, second);
    Image clean;
    frame.run({});
    if (!read_map(ctx, system, clean, outcome, "clean")) {
        system->release();
        if (second) second->Release();
        return outcome;
    }
    bool lit = false;
    for (uint32_t t : clean.texels) lit = lit || (t & 0xFFFFFFu) != 0;
    outcome.expect(lit, "the clean frame draws nothing");

    std::vector<const Hostile*> all;
    for (const Hostile& row : hostile_states()) {
        all.push_back(&row);
        frame.run({&row});
        Image map;
        if (read_map(ctx, system, map, outcome, row.name)) {
            const int d = largest_difference(map, clean);
            outcome.expect(d <= 1, std::string(row.name) + ": light map " + std::to_string(d) +
                                       "/255 off the clean device's");
        }
        frame.check_and_undo({&row}, outcome, row.name);
    }
    frame.run(all);
    Image map;
    if (read_map(ctx, system, map, outcome, "all at once")) {
        const int d = largest_difference(map, clean);
        outcome.expect(d <= 1, "all at once: light map " + std::to_string(d) +
                                   "/255 off the clean device's");
    }
    // The host's values are back; it then drops its bindings and default-pool
    // objects for a Reset right after such a frame, and lightvol its own.
    frame.check_and_undo(all, outcome, "all at once");
    if (second) second->Release();
    system->on_lost_device();
    ctx.device->release_host_targets();
    const HRESULT hr = ctx.device->reset();
    std::string error;
    outcome.expect(SUCCEEDED(hr), "Reset right after a hostile frame failed");
    if (SUCCEEDED(hr) && !ctx.device->create_host_targets(error)) outcome.fail(error);
    system->on_reset_device();
    outcome.expect(system->get_light_map()->texture != nullptr, "no light map after the reset");
    system->release();
    return outcome;
}
