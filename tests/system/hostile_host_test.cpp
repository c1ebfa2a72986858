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
#include "lightvol_engine_states.h"
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

// Three lights in a 8 x 8 x 2 volume of 0.5 cells on `dev`.
ILightingSystem* lit_system(SoftwareDevice& dev, RenderStateCallback set_render_state) {
    ILightingSystem* sys = create_ILightingSystem();
    sys->init(&dev, set_render_state);
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
    return sys;
}

void render_scene(ILightingSystem* sys) {
    const Vec3 focus{2, 2, 0}, lo{0, 0, 0}, hi{4, 4, 0};
    const float movement[2] = {1, 1};
    sys->render(&focus, movement, &lo, &hi);
}

// How the host's device was made and what it has.
struct DeviceKind {
    const char* name;
    DWORD flags;
    DWORD render_targets;
    bool vertex_textures;  // and displacement maps
};

const DeviceKind kMixed{"mixed", D3DCREATE_MIXED_VERTEXPROCESSING, 4, true};

// One frame of a small scene on a fresh device of `kind`, with `rows` set
// before render (or, with after_pinning, from inside the callback). A frame
// whose state is set before render runs strict: any call of the frame that
// Direct3D 9 would refuse is a misuse.
FrameResult frame(const std::vector<const Hostile*>& rows, bool after_pinning,
                  const DeviceKind& kind = kMixed) {
    SoftwareDevice dev{64, 64};
    dev.set_creation_flags(kind.flags);
    dev.set_render_target_count(kind.render_targets);
    dev.set_vertex_textures(kind.vertex_textures);
    dev.set_displacement_map(kind.vertex_textures);
    g_device = &dev;
    test_support::callback_device() = &dev;
    IDirect3DSurface9* second = nullptr;
    dev.CreateRenderTarget(32, 32, D3DFMT_X8R8G8B8, D3DMULTISAMPLE_NONE, 0, FALSE, &second,
                           nullptr);

    ILightingSystem* sys = lit_system(dev, callback);
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
    dev.clear_misuses();
    dev.set_strict(!after_pinning);
    render_scene(sys);
    dev.set_strict(false);
    if (!after_pinning) {
        EXPECT_TRUE(dev.misuses().empty()) << test_support::joined(dev.misuses());
    }
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

// A pure device refuses the state getters; a device with one render target
// refuses the others; one without vertex textures or displacement maps
// refuses those samplers. Every such frame draws all the same, makes no call
// the device refuses, and gives every state back; rows the device cannot
// have (a second target, software vertex processing) are left out.
TEST(HostileHost, EveryKindOfDeviceDrawsAndKeepsTheWholeState) {
    const DWORD pure = D3DCREATE_PUREDEVICE | D3DCREATE_HARDWARE_VERTEXPROCESSING;
    const DeviceKind kinds[] = {
        {"pure", pure, 4, true},
        {"one render target", D3DCREATE_MIXED_VERTEXPROCESSING, 1, true},
        {"no vertex textures or displacement maps", D3DCREATE_MIXED_VERTEXPROCESSING, 4, false},
        {"pure, one target, no vertex textures", pure, 1, false},
    };
    const FrameResult clean = frame({}, false);
    for (const DeviceKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        std::vector<const Hostile*> all;
        for (const Hostile& row : hostile_states()) {
            const std::string name = row.name;
            if (name == "software vertex processing" && (kind.flags & D3DCREATE_PUREDEVICE))
                continue;
            if (name == "second render target" && kind.render_targets < 2) continue;
            all.push_back(&row);
        }
        EXPECT_EQ(frame({}, false, kind).light_map, clean.light_map);
        const FrameResult left = frame(all, false, kind);
        EXPECT_GT(left.draws, 0u);
        EXPECT_EQ(left.light_map, clean.light_map);
        EXPECT_EQ(left.state_changes, "");
    }
}

// An engine that caches materials, not states, wraps render in the shipped
// EngineRenderStates: the callback is told its eleven calls as ever, and the
// device ends the frame with the engine's own values of the seven states, on
// a pure device too. Its block is released before every Reset (the device
// refuses a Reset while it lives) and made again after.
class EngineStates : public ::testing::TestWithParam<DWORD> {};

int callback_calls = 0;
int32_t counting_callback(int32_t state, int32_t value) {
    ++callback_calls;
    return test_support::set_render_state_on_device(state, value);
}

TEST_P(EngineStates, TheEnginesSevenStatesEndTheFrameAcrossResets) {
    SoftwareDevice dev{64, 64};
    dev.set_creation_flags(GetParam());
    g_device = &dev;
    test_support::callback_device() = &dev;
    ILightingSystem* sys = lit_system(dev, counting_callback);
    // The engine's material: values none of the callback's calls leave.
    const DWORD engine_values[EngineRenderStates::state_count] = {
        FALSE, FALSE, TRUE, D3DBLENDOP_REVSUBTRACT, D3DBLEND_SRCALPHA, D3DBLEND_INVSRCALPHA,
        D3DCULL_NONE};
    auto frame = [&](EngineRenderStates* states) {
        for (int i = 0; i < EngineRenderStates::state_count; ++i)
            dev.SetRenderState(EngineRenderStates::states()[i], engine_values[i]);
        const std::vector<std::string> before = dev.state_lines();
        callback_calls = 0;
        dev.BeginScene();
        if (states) {
            EXPECT_TRUE(states->capture());
        }
        render_scene(sys);
        if (states) states->apply();
        dev.EndScene();
        EXPECT_EQ(callback_calls, 11);
        const std::vector<std::string> after = dev.state_lines();
        std::string changes;
        for (size_t i = 0; i < before.size() && i < after.size(); ++i)
            if (before[i] != after[i])  // "RS 7 = 1 (1.4e-45)": the value as an integer
                changes += before[i].substr(0, before[i].find(" (")) + " -> " +
                           after[i].substr(0, after[i].find(" (")) + "; ";
        return changes;
    };

    // Without it, the seven are what the callback was told.
    EXPECT_EQ(frame(nullptr),
              "RS 7 = 0 -> RS 7 = 1; RS 14 = 0 -> RS 14 = 1; RS 19 = 5 -> RS 19 = 2; "
              "RS 20 = 6 -> RS 20 = 2; RS 22 = 1 -> RS 22 = 3; RS 27 = 1 -> RS 27 = 0; "
              "RS 171 = 3 -> RS 171 = 1; ");
    const std::vector<uint32_t> light_map = SoftwareDevice::read_pixels(sys->get_light_map()->texture);

    EngineRenderStates states;
    ASSERT_TRUE(states.create(&dev));
    for (int cycle = 0; cycle < 2; ++cycle) {
        SCOPED_TRACE(cycle);
        EXPECT_EQ(frame(&states), "");
        EXPECT_EQ(SoftwareDevice::read_pixels(sys->get_light_map()->texture), light_map);
        sys->on_lost_device();
        EXPECT_EQ(dev.reset(), D3DERR_INVALIDCALL);  // the block still lives
        states.release();
        EXPECT_FALSE(states.ready());
        ASSERT_EQ(dev.reset(), D3D_OK);
        sys->on_reset_device();
        ASSERT_TRUE(states.create(&dev));
    }
    EXPECT_TRUE(test_support::calls_starting(dev, "GetRenderState").empty());
    states.release();
    states.release();
    sys->release();
    EXPECT_EQ(dev.live_object_count(), 0u);
    EXPECT_EQ(dev.over_releases(), 0);
    EXPECT_TRUE(dev.misuses().empty());
    g_device = nullptr;
    test_support::callback_device() = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Devices, EngineStates,
                         ::testing::Values(DWORD{D3DCREATE_MIXED_VERTEXPROCESSING},
                                           DWORD{D3DCREATE_PUREDEVICE |
                                                 D3DCREATE_HARDWARE_VERTEXPROCESSING}));

}  // namespace
