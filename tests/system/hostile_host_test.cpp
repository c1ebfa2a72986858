// Whatever state a host leaves on its device, a frame draws the light map of
// a clean device and leaves the whole device state as it found it (but for
// the seven states the host's callback is told of). Each state the software
// device models is also shown to spoil the frame when it is set where the
// pass cannot pin it: from inside the callback, after the pinning.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/device_context.h"
#include "lightvol.h"
#include "platform/software/software_device.h"
#include "robustness/invariants.h"
#include "support/device_fixture.h"

namespace {

using lightvol_sw::SoftwareDevice;

DWORD bits(float f) {
    DWORD d;
    std::memcpy(&d, &f, sizeof d);
    return d;
}

// What a host has besides its device: a second target of another size than
// the light map, and the light map itself once it exists.
struct Host {
    SoftwareDevice& dev;
    IDirect3DSurface9* second_target;
    IDirect3DBaseTexture9* light_map;
};

struct Hostile {
    const char* name;
    // The software device draws differently with this state: set after the
    // pinning, it must spoil the frame.
    bool spoils;
    std::function<void(Host&)> set;
};

void rs(Host& h, D3DRENDERSTATETYPE state, DWORD value) { h.dev.SetRenderState(state, value); }

const std::vector<Hostile>& hostile_states() {
    static const std::vector<Hostile> rows = {
        {"no colour written", true, [](Host& h) { rs(h, D3DRS_COLORWRITEENABLE, 0); }},
        {"red only", true,
         [](Host& h) { rs(h, D3DRS_COLORWRITEENABLE, D3DCOLORWRITEENABLE_RED); }},
        {"sRGB write", true, [](Host& h) { rs(h, D3DRS_SRGBWRITEENABLE, TRUE); }},
        {"alpha test", true,
         [](Host& h) {
             rs(h, D3DRS_ALPHATESTENABLE, TRUE);
             rs(h, D3DRS_ALPHAFUNC, D3DCMP_GREATER);
             rs(h, D3DRS_ALPHAREF, 0x80);
         }},
        {"table fog", true,
         [](Host& h) {
             rs(h, D3DRS_FOGENABLE, TRUE);
             rs(h, D3DRS_FOGTABLEMODE, D3DFOG_LINEAR);
             rs(h, D3DRS_FOGCOLOR, 0x00FF00FF);
             rs(h, D3DRS_FOGSTART, bits(0.0f));
             rs(h, D3DRS_FOGEND, bits(1.0f));
         }},
        {"wireframe", true, [](Host& h) { rs(h, D3DRS_FILLMODE, D3DFILL_WIREFRAME); }},
        {"user clip plane", true,
         [](Host& h) {
             const float plane[4] = {0, 0, 0, -1};
             h.dev.SetClipPlane(0, plane);
             rs(h, D3DRS_CLIPPLANEENABLE, D3DCLIPPLANE0);
         }},
        {"scissor", true,
         [](Host& h) {
             const RECT corner{0, 0, 2, 2};
             h.dev.SetScissorRect(&corner);
             rs(h, D3DRS_SCISSORTESTENABLE, TRUE);
         }},
        {"stencil never", true,
         [](Host& h) {
             rs(h, D3DRS_STENCILENABLE, TRUE);
             rs(h, D3DRS_STENCILFUNC, D3DCMP_NEVER);
         }},
        {"depth bounds", true,
         [](Host& h) {
             rs(h, D3DRS_ADAPTIVETESS_X, 'N' | ('V' << 8) | ('D' << 16) | (DWORD{'B'} << 24));
             rs(h, D3DRS_ADAPTIVETESS_Z, bits(0.25f));
             rs(h, D3DRS_ADAPTIVETESS_W, bits(0.5f));
         }},
        {"dither", true, [](Host& h) { rs(h, D3DRS_DITHERENABLE, TRUE); }},
        {"texture coordinate wrap", true,
         [](Host& h) { rs(h, D3DRS_WRAP1, D3DWRAP_U | D3DWRAP_V); }},
        {"second render target", true,
         [](Host& h) { h.dev.SetRenderTarget(1, h.second_target); }},
        {"light map on a sampler", true,
         [](Host& h) {
             h.dev.SetTexture(3, h.light_map);
             h.dev.SetTexture(D3DVERTEXTEXTURESAMPLER0, h.light_map);
         }},
        {"software vertex processing", true,
         [](Host& h) { h.dev.SetSoftwareVertexProcessing(TRUE); }},
        // Given back, though this device draws the same with them.
        {"instancing frequency", false,
         [](Host& h) { h.dev.SetStreamSourceFreq(0, D3DSTREAMSOURCE_INDEXEDDATA | 3); }},
        {"flat shading, masks 1..3, separate alpha, multisampling, clipping off", false,
         [](Host& h) {
             rs(h, D3DRS_SHADEMODE, D3DSHADE_FLAT);
             rs(h, D3DRS_COLORWRITEENABLE1, 0);
             rs(h, D3DRS_SEPARATEALPHABLENDENABLE, TRUE);
             rs(h, D3DRS_MULTISAMPLEMASK, 0);
             rs(h, D3DRS_MULTISAMPLEANTIALIAS, FALSE);
             rs(h, D3DRS_CLIPPING, FALSE);
         }},
        {"host constants and viewport", false,
         [](Host& h) {
             float constants[256][4];
             for (int r = 0; r < 256; ++r)
                 for (int c = 0; c < 4; ++c) constants[r][c] = float(r) - float(c) / 8;
             h.dev.SetVertexShaderConstantF(0, constants[0], 256);
             h.dev.SetPixelShaderConstantF(0, constants[0], 224);
             const D3DVIEWPORT9 viewport{1, 2, 30, 40, 0.125f, 0.5f};
             h.dev.SetViewport(&viewport);
         }},
    };
    return rows;
}

// The state set inside the callback, on its first call.
std::function<void()>& inside_callback() {
    static std::function<void()> set;
    return set;
}

int32_t callback(int32_t state, int32_t value) {
    if (inside_callback()) {
        auto set = std::move(inside_callback());
        inside_callback() = nullptr;
        set();
    }
    return test_support::set_render_state_on_device(state, value);
}

struct FrameResult {
    std::vector<uint32_t> light_map;
    std::string state_changes;
    uint64_t draws = 0;
};

// One frame of a small scene on a fresh device created with `flags`, with
// `rows` set before render (or, with after_pinning, from inside the callback).
FrameResult frame(const std::vector<const Hostile*>& rows, bool after_pinning,
                  DWORD flags = D3DCREATE_MIXED_VERTEXPROCESSING) {
    SoftwareDevice dev{64, 64};
    dev.set_creation_flags(flags);
    g_device = &dev;
    test_support::callback_device() = &dev;
    IDirect3DSurface9* second = nullptr;
    dev.CreateRenderTarget(32, 32, D3DFMT_X8R8G8B8, D3DMULTISAMPLE_NONE, 0, FALSE, &second,
                           nullptr);

    ILightingSystem* sys = create_ILightingSystem();
    sys->init(&dev, callback);
    sys->set_volume(8, 8, 2, 0.5f);
    sys->set_base_layer(0);
    const Vec3 positions[3] = {{1, 1, 0}, {2.5f, 2, 0.5f}, {3, 3.25f, 0}};
    for (int i = 0; i < 3; ++i) {
        IPointLight* l = sys->create_point_light();
        const Vec3 colour{1, 0.5f + 0.25f * float(i), 0.25f};
        l->set_position(&positions[i]);
        l->set_radius(1.25f);
        l->set_color(&colour);
    }
    Host host{dev, second, sys->get_light_map()->texture};
    auto set_all = [&] {
        for (const Hostile* row : rows) row->set(host);
    };
    if (after_pinning)
        inside_callback() = set_all;
    else
        set_all();

    FrameResult result;
    const lightvol_sw::StateSnapshot before = dev.state_snapshot();
    dev.BeginScene();
    const Vec3 focus{2, 2, 0}, lo{0, 0, 0}, hi{4, 4, 0};
    const float movement[2] = {1, 1};
    sys->render(&focus, movement, &lo, &hi);
    dev.EndScene();
    result.state_changes = robustness::device_state_changes(before, dev.state_snapshot(), "\n");
    result.light_map = SoftwareDevice::read_pixels(sys->get_light_map()->texture);
    result.draws = dev.draw_calls();
    inside_callback() = nullptr;

    // The host lets go of what it bound before the lighting system goes.
    dev.SetRenderTarget(1, nullptr);
    for (DWORD stage : {DWORD{3}, DWORD{D3DVERTEXTEXTURESAMPLER0}}) dev.SetTexture(stage, nullptr);
    second->Release();
    sys->release();
    EXPECT_EQ(dev.live_object_count(), 0u);
    g_device = nullptr;
    test_support::callback_device() = nullptr;
    return result;
}

TEST(HostileHost, EveryStateTheHostLeavesIsPinnedAndGivenBack) {
    const FrameResult clean = frame({}, false);
    ASSERT_EQ(clean.state_changes, "");
    size_t lit = 0;
    for (uint32_t texel : clean.light_map) lit += (texel & 0xFFFFFFu) != 0;
    ASSERT_GT(lit, clean.light_map.size() / 4);

    std::vector<const Hostile*> all;
    for (const Hostile& row : hostile_states()) {
        SCOPED_TRACE(row.name);
        all.push_back(&row);
        const FrameResult left = frame({&row}, false);
        EXPECT_EQ(left.light_map, clean.light_map);
        EXPECT_EQ(left.state_changes, "");
        if (row.spoils) {
            EXPECT_NE(frame({&row}, true).light_map, clean.light_map);
        }
    }
    SCOPED_TRACE("all at once");
    const FrameResult everything = frame(all, false);
    EXPECT_EQ(everything.light_map, clean.light_map);
    EXPECT_EQ(everything.state_changes, "");
}

// A pure device refuses the state getters; the frame draws all the same and
// gives every state back.
TEST(HostileHost, PureDeviceDrawsAndKeepsTheWholeState) {
    const FrameResult clean = frame({}, false);
    std::vector<const Hostile*> all;
    for (const Hostile& row : hostile_states())
        if (std::string(row.name) != "software vertex processing") all.push_back(&row);
    const FrameResult pure =
        frame(all, false, D3DCREATE_PUREDEVICE | D3DCREATE_HARDWARE_VERTEXPROCESSING);
    EXPECT_GT(pure.draws, 0u);
    EXPECT_EQ(pure.light_map, clean.light_map);
    EXPECT_EQ(pure.state_changes, "");
}

}  // namespace
