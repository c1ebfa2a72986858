#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "device/light_program_code.h"
#include "device/pass_states.h"
#include "support/counting_allocator.h"
#include "support/system_fixture.h"

namespace {

using lightvol_sw::SoftwareDevice;
using test_support::calls_starting;
using test_support::op_names;
using test_support::SystemTest;

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A frame's opening, by operation name: the host's bindings read (the render
// targets and samplers the device has) and the state block captured, the
// light map and its depth surface bound, the pinned states set, the clear.
std::vector<std::string> frame_opening(size_t targets = 4, size_t samplers = sampler_stage_count) {
    std::vector<std::string> ops(targets, "GetRenderTarget");
    ops = concat(ops, {"GetDepthStencilSurface", "GetVertexDeclaration", "GetStreamSource",
                       "GetIndices", "GetVertexShader", "GetPixelShader"});
    ops.insert(ops.end(), samplers, "GetTexture");
    ops = concat(ops, {"IDirect3DStateBlock9::Capture", "SetRenderTarget", "SetDepthStencilSurface"});
    ops.insert(ops.end(), pinned_state_count, "SetRenderState");
    return concat(ops, {"SetStreamSourceFreq", "Clear"});
}

// A frame's close on the fixture's device: everything given back.
const std::vector<std::string> kRestore = {"SetRenderTarget(0,BackBuffer)",
                                           "SetDepthStencilSurface(DepthBuffer)",
                                           "SetVertexDeclaration(null)",
                                           "SetStreamSource(0,null,0,0)",
                                           "SetIndices(null)",
                                           "SetVertexShader(null)",
                                           "SetPixelShader(null)",
                                           "IDirect3DStateBlock9::Apply()"};

class RenderPass : public SystemTest {};

// Both ways of drawing the light: the compiled effect, and the built-in
// shaders a D3DX that cannot compile the effect text leaves the module with.
class LightPath : public SystemTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        if (programs()) dev.fail_effect_creation(0, D3DXERR_INVALIDDATA, "no techniques here");
        SystemTest::SetUp();
        ASSERT_TRUE(test_support::message_texts().empty());
    }
    bool programs() const { return GetParam(); }

    // The calls that open the pass, upload a batch of n lights, and close it.
    // Entries without arguments are compared by operation name only.
    std::vector<std::string> pass_begin() const {
        if (!programs())
            return {"ID3DXEffect::SetTechnique(Render)", "ID3DXEffect::Begin(0)",
                    "ID3DXEffect::BeginPass(0)", "ID3DXEffect::SetFloatArray(world2scr,4)"};
        return {"SetVertexShader", "SetPixelShader", "SetVertexShaderConstantF(0,1)"};
    }
    std::vector<std::string> batch(int n) const {
        const std::string count = std::to_string(programs() ? n : 3 * n);
        if (!programs())
            return {"ID3DXEffect::SetFloatArray(light_info," + count + ")",
                    "ID3DXEffect::SetFloatArray(light_color," + count + ")",
                    "ID3DXEffect::CommitChanges()"};
        return {"SetVertexShaderConstantF(1," + count + ")",
                "SetVertexShaderConstantF(101," + count + ")"};
    }
    std::vector<std::string> pass_end() const {
        if (!programs()) return {"ID3DXEffect::EndPass()", "ID3DXEffect::End()"};
        return {};
    }
};

INSTANTIATE_TEST_SUITE_P(Paths, LightPath, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "BuiltInShaders" : "Effect");
                         });

TEST_F(RenderPass, WithoutVisibleLightsOnlySavesClearsAndRestores) {
    sys->set_volume(4, 4, 3, 1);
    sys->set_base_layer(0);
    light({100, 100, 1}, 1);  // far outside
    dev.clear_calls();
    render_box(4, 4);
    const auto& calls = dev.calls();
    const size_t opening = frame_opening().size();
    ASSERT_EQ(calls.size(), opening + kRestore.size()) << test_support::joined(calls);
    EXPECT_EQ(op_names({calls.begin(), calls.begin() + opening}), frame_opening());
    EXPECT_EQ(calls[opening - 1], "Clear(0,null,1,0,1,0)");
    EXPECT_EQ(std::vector<std::string>(calls.begin() + opening, calls.end()), kRestore);
    // No render state goes through the callback.
    EXPECT_EQ(calls_starting(dev, "SetRenderState").size(), pinned_state_count);
    // The light map is black.
    IDirect3DTexture9* map = sys->get_light_map()->texture;
    for (uint32_t texel : SoftwareDevice::read_pixels(map)) EXPECT_EQ(texel & 0xFFFFFFu, 0u);
}

// The frame asks a device only for the render targets and samplers its caps
// say it has, and none of its calls is refused.
TEST_F(RenderPass, FrameAsksOnlyForWhatTheDeviceHas) {
    struct Kind {
        const char* name;
        DWORD targets;
        bool vertex_textures;
        bool displacement_map;
        std::vector<DWORD> samplers;  // past 0..15
    };
    const Kind kinds[] = {
        {"one target", 1, true, true, {256, 257, 258, 259, 260}},
        {"two targets, no displacement map", 2, true, false, {257, 258, 259, 260}},
        {"vertex shader model 2", 4, false, true, {256}},
        {"one target, neither", 1, false, false, {}},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        sys->release();
        dev.set_render_target_count(kind.targets);
        dev.set_vertex_textures(kind.vertex_textures);
        dev.set_displacement_map(kind.displacement_map);
        sys = create_ILightingSystem();
        sys->init(&dev, test_support::set_render_state_on_device);
        sys->set_volume(4, 4, 2, 1);
        sys->set_base_layer(0);
        light({2, 2, 0}, 1);
        dev.clear_calls();
        dev.set_strict(true);
        render_box(4, 4);
        dev.set_strict(false);
        const auto& calls = dev.calls();
        const std::vector<std::string> opening =
            frame_opening(kind.targets, 16 + kind.samplers.size());
        ASSERT_GT(calls.size(), opening.size());
        EXPECT_EQ(op_names({calls.begin(), calls.begin() + opening.size()}), opening);
        std::vector<std::string> high;
        for (const std::string& c : calls_starting(dev, "GetTexture(2"))
            if (c.size() > 14) high.push_back(c);
        std::vector<std::string> expected;
        for (DWORD stage : kind.samplers)
            expected.push_back("GetTexture(" + std::to_string(stage) + ")");
        EXPECT_EQ(high, expected);
        EXPECT_FALSE(calls_starting(dev, "DrawPrimitive").empty());
    }
}

// The state block holds the shader constants a frame may write, as far as the
// device has them: on the effect path every register of vs_2_0 and ps_2_0
// (the effect does not say where it put its parameters), on the built-in
// shaders' path their own registers.
TEST_P(LightPath, StateBlockHoldsTheConstantsTheDeviceHas) {
    struct Registers {
        UINT vertex;
        UINT pixel;
    };
    const Registers devices[] = {{256, 224}, {256, 32}, {96, 8}, {200, 224}};
    for (const Registers& r : devices) {
        SCOPED_TRACE(testing::Message() << r.vertex << " vertex, " << r.pixel << " pixel");
        sys->release();
        dev.set_constant_registers(r.vertex, r.pixel);
        dev.clear_calls();
        dev.set_strict(true);
        sys = create_ILightingSystem();
        sys->init(&dev, test_support::set_render_state_on_device);
        dev.set_strict(false);
        std::vector<std::string> recorded;
        bool recording = false;
        for (const std::string& call : dev.calls()) {
            recording = (recording || call == "BeginStateBlock()") && call != "EndStateBlock()";
            if (recording && call.find("ShaderConstantF(") != std::string::npos)
                recorded.push_back(call);
        }
        const UINT vertex = std::min(r.vertex, programs() ? light_program_registers : 256u);
        std::vector<std::string> expected = {"SetVertexShaderConstantF(0," +
                                             std::to_string(vertex) + ")"};
        if (!programs())
            expected.push_back("SetPixelShaderConstantF(0," +
                               std::to_string(std::min(r.pixel, 32u)) + ")");
        EXPECT_EQ(recorded, expected);
        EXPECT_TRUE(sys->get_light_map()->texture == nullptr);  // no volume yet
    }
}

TEST_P(LightPath, DrawsLayerByLayerInTheDocumentedOrder) {
    sys->set_volume(4, 4, 3, 1);
    sys->set_base_layer(0);
    light({2, 2, 0}, 0.5f, {1, 0, 0});  // layer 0 only
    light({2, 2, 2}, 0.5f, {0, 1, 0});  // layer 2 only
    dev.clear_calls();
    render_box(4, 4);
    std::vector<std::string> calls = dev.calls();
    const size_t opening = frame_opening().size();
    ASSERT_GT(calls.size(), opening);
    EXPECT_EQ(op_names({calls.begin(), calls.begin() + opening}), frame_opening());
    calls.erase(calls.begin(), calls.begin() + opening);
    const std::vector<std::string> batch = concat(this->batch(1), {"DrawPrimitive(4,0,2)"});
    std::vector<std::string> expected = {"SetRenderState(7,0)",  "SetRenderState(14,0)",
                                         "SetRenderState(27,1)", "SetRenderState(171,5)",
                                         "SetRenderState(19,2)", "SetRenderState(20,2)",
                                         "SetRenderState(22,3)"};
    // Stream source and declaration carry labels; compared by name below.
    expected.push_back("SetStreamSource");
    expected.push_back("SetVertexDeclaration");
    expected = concat(expected, pass_begin());
    expected.push_back("SetViewport(0,0,4,4,0,1)");
    expected = concat(expected, batch);
    expected.push_back("SetViewport(4,0,4,4,0,1)");
    expected.push_back("SetViewport(8,0,4,4,0,1)");
    expected = concat(expected, batch);
    expected = concat(expected, pass_end());
    expected = concat(expected, {"SetRenderState(7,1)", "SetRenderState(14,1)",
                                 "SetRenderState(171,1)", "SetRenderState(27,0)"});
    expected = concat(expected, kRestore);
    ASSERT_EQ(calls.size(), expected.size()) << test_support::joined(calls);
    for (size_t i = 0; i < calls.size(); ++i) {
        if (expected[i].find('(') == std::string::npos)
            EXPECT_EQ(op_names({calls[i]})[0], expected[i]);
        else
            EXPECT_EQ(calls[i], expected[i]) << i;
    }
    EXPECT_NE(calls[7].find(",0,12)"), std::string::npos) << calls[7];
}

TEST_P(LightPath, OneHundredFiftyLightsOnOneLayer) {
    sys->set_volume(8, 8, 1, 1);
    sys->set_base_layer(0);
    for (int i = 0; i < 150; ++i) light({4, 4, 0}, 0.5f);
    dev.clear_calls();
    render_box(8, 8);
    std::vector<std::string> uploads;
    for (const std::string& c : dev.calls())
        if (c.find("light_") != std::string::npos || c.find("CommitChanges") != std::string::npos ||
            c.rfind("SetVertexShaderConstantF(1", 0) == 0 || c.rfind("DrawPrimitive", 0) == 0)
            uploads.push_back(c);
    EXPECT_EQ(uploads, concat(concat(batch(100), {"DrawPrimitive(4,0,200)"}),
                              concat(batch(50), {"DrawPrimitive(4,0,100)"})));
}

TEST_P(LightPath, HostTargetDepthViewportAndShadersSurviveEveryFrame) {
    sys->set_volume(8, 8, 4, 0.5f);
    sys->set_base_layer(-2);
    for (int i = 0; i < 30; ++i) light({float(i % 4), 1, float(i % 3) - 1}, 1);
    IDirect3DSurface9* host_target = nullptr;
    IDirect3DSurface9* host_depth = nullptr;
    ASSERT_EQ(dev.CreateRenderTarget(32, 16, D3DFMT_X8R8G8B8, D3DMULTISAMPLE_NONE, 0, FALSE,
                                     &host_target, nullptr),
              S_OK);
    ASSERT_EQ(dev.CreateDepthStencilSurface(32, 16, D3DFMT_D24X8, D3DMULTISAMPLE_NONE, 0, TRUE,
                                            &host_depth, nullptr),
              S_OK);
    dev.SetRenderTarget(0, host_target);
    dev.SetDepthStencilSurface(host_depth);
    const D3DVIEWPORT9 host_viewport{3, 2, 20, 10, 0.25f, 0.75f};
    dev.SetViewport(&host_viewport);
    const ULONG target_refs = SoftwareDevice::ref_count(host_target);
    const ULONG depth_refs = SoftwareDevice::ref_count(host_depth);
    // The host's own shaders and constants in the registers the light uses.
    IDirect3DVertexShader9* host_vs = nullptr;
    IDirect3DPixelShader9* host_ps = nullptr;
    ASSERT_EQ(dev.CreateVertexShader(light_vertex_program, &host_vs), S_OK);
    ASSERT_EQ(dev.CreatePixelShader(light_pixel_program, &host_ps), S_OK);
    dev.SetVertexShader(host_vs);
    dev.SetPixelShader(host_ps);
    float host_constants[256][4];
    for (int r = 0; r < 256; ++r)
        for (int c = 0; c < 4; ++c) host_constants[r][c] = float(r * 4 + c);
    dev.SetVertexShaderConstantF(0, host_constants[0], 256);
    const ULONG vs_refs = SoftwareDevice::ref_count(host_vs);
    for (int frame = 0; frame < 3; ++frame) {
        render_box(4, 4);
        IDirect3DVertexShader9* vs = nullptr;
        IDirect3DPixelShader9* ps = nullptr;
        dev.GetVertexShader(&vs);
        dev.GetPixelShader(&ps);
        EXPECT_EQ(vs, host_vs);
        EXPECT_EQ(ps, host_ps);
        vs->Release();
        ps->Release();
        EXPECT_EQ(SoftwareDevice::ref_count(host_vs), vs_refs);
        for (UINT r = 0; r < 256; ++r)
            ASSERT_EQ(0, std::memcmp(dev.vertex_shader_constant(r), host_constants[r], 16)) << r;
        IDirect3DSurface9* t = nullptr;
        IDirect3DSurface9* d = nullptr;
        dev.GetRenderTarget(0, &t);
        dev.GetDepthStencilSurface(&d);
        EXPECT_EQ(t, host_target);
        EXPECT_EQ(d, host_depth);
        t->Release();
        d->Release();
        D3DVIEWPORT9 vp{};
        dev.GetViewport(&vp);
        EXPECT_EQ(0, std::memcmp(&vp, &host_viewport, sizeof vp));
        EXPECT_EQ(SoftwareDevice::ref_count(host_target), target_refs);
        EXPECT_EQ(SoftwareDevice::ref_count(host_depth), depth_refs);
    }
    EXPECT_GT(dev.draw_calls(), 0u);
    dev.SetRenderTarget(0, dev.back_buffer());
    dev.SetDepthStencilSurface(dev.depth_buffer());
    dev.SetVertexShader(nullptr);
    dev.SetPixelShader(nullptr);
    host_target->Release();
    host_depth->Release();
    host_vs->Release();
    host_ps->Release();
}

// The built-in shaders, run from their bytecode, draw the effect's picture:
// layers, strips, fading discs, maximum blending, batches across 100 lights.
TEST_F(RenderPass, BuiltInShadersDrawTheEffectsPicture) {
    auto draw = [&](bool programs) {
        if (sys) sys->release();
        dev.clear_failures();
        if (programs) dev.fail_effect_creation(0, E_FAIL, nullptr);
        sys = create_ILightingSystem();
        sys->init(&dev, test_support::set_render_state_on_device);
        sys->set_volume(16, 12, 4, 0.5f);
        sys->set_base_layer(-1);
        for (int i = 0; i < 130; ++i)
            light({float(i % 9) * 0.9f, float(i % 7) * 0.8f, float(i % 5) * 0.4f - 0.6f},
                  0.3f + float(i % 4) * 0.5f,
                  {float(i % 3) / 2, float(i % 5) / 4, 1 - float(i % 7) / 6});
        render_box(8, 6);
        return SoftwareDevice::read_pixels(sys->get_light_map()->texture);
    };
    const std::vector<uint32_t> effect = draw(false);
    const std::vector<uint32_t> programs = draw(true);
    EXPECT_TRUE(test_support::message_texts().empty());
    ASSERT_EQ(effect.size(), programs.size());
    size_t lit = 0;
    for (size_t i = 0; i < effect.size(); ++i) {
        if (effect[i] & 0xFFFFFFu) ++lit;
        for (int shift = 0; shift < 24; shift += 8) {
            const int a = int(effect[i] >> shift & 0xFF), b = int(programs[i] >> shift & 0xFF);
            ASSERT_LE(std::abs(a - b), 1) << "texel " << i;
        }
    }
    EXPECT_GT(lit, effect.size() / 4);
}

TEST_F(RenderPass, DisabledOrUnsizedSystemsMakeNoCallAndKeepTheirRecord) {
    light({2, 2, 0}, 1);
    dev.clear_calls();
    render_box(4, 4);  // no light map yet
    EXPECT_TRUE(dev.calls().empty());

    sys->set_volume(4, 4, 2, 1);
    sys->set_base_layer(0);
    render_box(4, 4);
    LightMapInfo before;
    std::memcpy(&before, sys->get_light_map(), sizeof before);
    const auto pixels = SoftwareDevice::read_pixels(before.texture);
    sys->set_enabled(false);
    dev.clear_calls();
    const Vec3 focus{100, 100, 0}, lo{90, 90, 0}, hi{120, 120, 0};
    const float movement[2] = {-1, -1};
    sys->render(&focus, movement, &lo, &hi);
    EXPECT_TRUE(dev.calls().empty());
    EXPECT_EQ(0, std::memcmp(&before, sys->get_light_map(), sizeof before));
    EXPECT_EQ(SoftwareDevice::read_pixels(before.texture), pixels);
    sys->set_enabled(true);
    sys->render(&focus, movement, &lo, &hi);
    EXPECT_FALSE(dev.calls().empty());
    EXPECT_NE(0, std::memcmp(&before, sys->get_light_map(), sizeof before));
}

TEST_F(RenderPass, MissingEffectClearsButNeverCallsThroughIt) {
    sys->release();
    sys = nullptr;
    dev.fail_effect_creation(0, E_FAIL, "effect(1): error: refused");
    dev.fail("CreateVertexShader", 0, D3DERR_INVALIDCALL);
    sys = create_ILightingSystem();
    sys->init(&dev, test_support::set_render_state_on_device);
    EXPECT_EQ(test_support::message_texts(),
              (std::vector<std::string>{"effect(1): error: refused"}));
    sys->set_volume(4, 4, 1, 1);
    sys->set_base_layer(0);
    light({2, 2, 0}, 1);
    dev.clear_calls();
    render_box(4, 4);
    const auto& calls = dev.calls();
    const size_t opening = frame_opening().size();
    ASSERT_EQ(calls.size(), opening + kRestore.size()) << test_support::joined(calls);
    EXPECT_EQ(op_names({calls.begin(), calls.begin() + opening}), frame_opening());
}

TEST_F(RenderPass, TargetsWithoutSurfacesNeverTouchTheHostTarget) {
    dev.fail("CreateTexture", 1, D3DERR_OUTOFVIDEOMEMORY);
    sys->set_volume(4, 4, 2, 1);
    EXPECT_EQ(sys->get_light_map()->texture, nullptr);
    sys->set_base_layer(0);
    light({2, 2, 0}, 1);
    dev.clear_calls();
    render_box(4, 4);
    EXPECT_TRUE(dev.calls().empty()) << test_support::joined(dev.calls());
    // Lost device: the same until the reset.
    sys->set_volume(4, 4, 2, 1);
    sys->on_lost_device();
    dev.clear_calls();
    render_box(4, 4);
    EXPECT_TRUE(dev.calls().empty());
    sys->on_reset_device();
    render_box(4, 4);
    EXPECT_FALSE(calls_starting(dev, "DrawPrimitive").empty());
}

// Device loss and reset leave the shaders as they are: the frame after a reset
// draws the same picture and nothing is made again but the targets.
TEST_P(LightPath, FrameAfterLossAndResetDrawsTheSamePicture) {
    sys->set_volume(8, 8, 2, 1);
    sys->set_base_layer(0);
    light({3, 4, 0}, 2.5f, {1, 0.5f, 0});
    light({5, 3, 1}, 1.5f, {0, 0.5f, 1});
    render_box(8, 8);
    const auto before = SoftwareDevice::read_pixels(sys->get_light_map()->texture);
    dev.clear_calls();
    sys->on_lost_device();
    sys->on_reset_device();
    // Besides the targets, only the caps are read and the state block is
    // recorded again.
    bool recording = false;
    for (const std::string& call : dev.calls()) {
        recording = recording || call == "BeginStateBlock()";
        EXPECT_TRUE(recording || call.rfind("CreateTexture", 0) == 0 ||
                    call.rfind("CreateDepth", 0) == 0 ||
                    call.rfind("IDirect3DTexture9::GetSurfaceLevel", 0) == 0 ||
                    call.rfind("ID3DXEffect::On", 0) == 0 || call == "GetDeviceCaps()" ||
                    call == "GetCreationParameters()")
            << call;
        recording = recording && call != "EndStateBlock()";
    }
    render_box(8, 8);
    EXPECT_EQ(SoftwareDevice::read_pixels(sys->get_light_map()->texture), before);
    EXPECT_FALSE(calls_starting(dev, "DrawPrimitive").empty());
}

TEST_P(LightPath, SteadyStateFrameAllocatesNothing) {
    sys->set_volume(16, 16, 8, 1);
    sys->set_base_layer(0);
    for (int i = 0; i < 500; ++i) light({float(i % 16), float(i / 16 % 16), float(i % 8)}, 1.5f);
    dev.set_null_mode(true);
    render_box(16, 16);
    render_box(16, 16);
    alloc_probe::Scope scope;
    for (int f = 0; f < 5; ++f) render_box(16, 16);
    EXPECT_EQ(scope.count(), 0u);
    dev.set_null_mode(false);
}

// A host moving the focus to and fro over a field of lights: after one
// round trip every later frame reuses the storage of earlier ones.
TEST_P(LightPath, MovingFocusAllocatesNothingOnceTheRouteIsKnown) {
    sys->set_volume(16, 16, 12, 1);
    sys->set_base_layer(-2);
    for (int i = 0; i < 3000; ++i)
        light({float(i % 61) * 0.8f, float(i / 61 % 17), float(i % 13) - 2.5f},
              0.5f + float(i % 7) * 0.5f);
    dev.set_null_mode(true);
    auto drive = [&] {
        for (int f = 0; f < 60; ++f) {
            const float x = 8 + 30 * float(f < 30 ? f : 60 - f) / 30;
            const Vec3 focus{x, 8, 0};
            const float movement[2] = {f < 30 ? 1.0f : -1.0f, 1};
            const Vec3 lo{x - 8, 0, 0}, hi{x + 8, 16, 0};
            sys->render(&focus, movement, &lo, &hi);
        }
    };
    drive();
    const uint64_t draws = dev.draw_calls();
    alloc_probe::Scope scope;
    drive();
    EXPECT_EQ(scope.count(), 0u);
    EXPECT_GT(dev.draw_calls(), draws);
    dev.set_null_mode(false);
}

}  // namespace
