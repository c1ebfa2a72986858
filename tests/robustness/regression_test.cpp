// Cases the sweeps and the fuzzer found, each pinned down on its own, and the
// replay of the fuzz corpus: every saved input must still run clean.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "device/pass_states.h"
#include "fuzz/call_sequence.h"
#include "lighting/lighting_system.h"
#include "robustness/invariants.h"

namespace {

using lightvol_sw::SoftwareDevice;

std::string test_support_calls(const SoftwareDevice& dev) {
    std::string out;
    for (const std::string& call : dev.calls()) out += call + "\n";
    return out;
}
using namespace robustness;

class HostFrame : public ::testing::Test {
protected:
    void SetUp() override {
        lightvol_sw::clear_message_boxes();
        callback_target() = &dev;
        dev.SetViewport(&host_viewport);
        sys = create_ILightingSystem();
        sys->init(&dev, host_set_render_state);
        add_scene();
    }
    // A 4 x 4 x 2 volume with one white light of radius 2 on layer 0.
    void add_scene() {
        sys->set_volume(4, 4, 2, 1);
        sys->set_base_layer(0);
        IPointLight* light = sys->create_point_light();
        const Vec3 p{2, 2, 0}, c{1, 1, 1};
        light->set_position(&p);
        light->set_radius(2);
        light->set_color(&c);
    }
    void TearDown() override {
        sys->release();
        EXPECT_EQ(check_released(dev, 1), "");
        callback_target() = nullptr;
        g_device = nullptr;
    }
    // One frame inside the host's scene; returns what changed of the host's state.
    std::string frame() {
        const HostSnapshot before = capture_host_state(dev);
        dev.BeginScene();
        const Vec3 focus{2, 2, 0}, lo{0, 0, 0}, hi{4, 4, 0};
        const float movement[2] = {1, 1};
        sys->render(&focus, movement, &lo, &hi);
        dev.EndScene();
        return compare_host_state(before, capture_host_state(dev));
    }
    size_t lit_texels() {
        size_t lit = 0;
        for (uint32_t t : SoftwareDevice::read_pixels(sys->get_light_map()->texture))
            lit += (t & 0xFFFFFFu) != 0;
        return lit;
    }

    int calls_of(const std::string& op) const {
        int n = 0;
        for (const std::string& call : dev.calls())
            n += call.compare(0, op.size() + 1, op + "(") == 0;
        return n;
    }

    SoftwareDevice dev{64, 64};
    const D3DVIEWPORT9 host_viewport{3, 5, 40, 50, 0.25f, 0.75f};
    ILightingSystem* sys = nullptr;
};

// A refused restore at the end of a frame is made once more, so the host
// never goes on drawing into the light map.
TEST_F(HostFrame, RefusedRestoreIsMadeAgain) {
    for (const char* op : {"SetRenderTarget", "SetDepthStencilSurface", "SetVertexShader",
                           "IDirect3DStateBlock9::Apply"}) {
        SCOPED_TRACE(op);
        const int before = calls_of(op);
        ASSERT_EQ(frame(), "");
        const int per_frame = calls_of(op) - before;
        // The frame's last call of the kind is its restore.
        dev.fail(op, calls_of(op) + per_frame, E_FAIL);
        EXPECT_EQ(frame(), "");
        EXPECT_EQ(calls_of(op) - before, 2 * per_frame + 1);  // the retry
        dev.clear_failures();
    }
    EXPECT_GT(lit_texels(), 0u);
}

// A depth surface that cannot be read cannot be put back: the frame is
// skipped, and the render target taken for it is given back.
TEST_F(HostFrame, RefusedDepthQuerySkipsTheFrame) {
    // The host's own reading of its state comes first.
    dev.fail("GetDepthStencilSurface", calls_of("GetDepthStencilSurface") + 2, E_FAIL);
    dev.clear_calls();
    EXPECT_EQ(frame(), "");
    for (const std::string& call : dev.calls()) {
        EXPECT_NE(call.rfind("Clear", 0), 0u) << call;
        EXPECT_NE(call.rfind("SetRenderTarget", 0), 0u) << call;
    }
    EXPECT_EQ(frame(), "");  // the next frame draws
    EXPECT_GT(lit_texels(), 0u);
}

// A refused read of a render target past 0 or of a sampler the device may
// lack (displacement map, vertex textures) is nothing bound there: the frame
// draws. One of samplers 0..15 might hold the light map: the frame is skipped.
TEST_F(HostFrame, RefusedReadsOfWhatADeviceMayLackAreNothingBound) {
    struct Refusal {
        const char* what;
        const char* op;
        int nth_in_frame;  // the host's snapshot reads render target 0 first
        bool draws;
    };
    const Refusal refusals[] = {
        {"render target 1", "GetRenderTarget", 3, true},
        {"render target 3", "GetRenderTarget", 5, true},
        {"displacement map", "GetTexture", 17, true},
        {"vertex texture 3", "GetTexture", 21, true},
        {"sampler 3", "GetTexture", 4, false},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        dev.fail(r.op, calls_of(r.op) + r.nth_in_frame, D3DERR_INVALIDCALL);
        const int clears = calls_of("Clear");
        EXPECT_EQ(frame(), "");
        EXPECT_EQ(calls_of("Clear") - clears, r.draws ? 1 : 0);
        dev.clear_failures();
    }
    // A device that will not tell its caps is asked for everything, and what
    // it refuses of that is nothing bound.
    sys->release();
    dev.set_render_target_count(1);
    dev.set_vertex_textures(false);
    dev.set_displacement_map(false);
    dev.fail("GetDeviceCaps", 0, D3DERR_INVALIDCALL);
    sys = create_ILightingSystem();
    sys->init(&dev, host_set_render_state);
    add_scene();
    dev.clear_calls();
    EXPECT_EQ(frame(), "");
    EXPECT_EQ(calls_of("GetRenderTarget"), 4 + 2);  // and the host's two snapshots
    EXPECT_GT(lit_texels(), 0u);
}

// A host without a depth surface (the device answers D3DERR_NOTFOUND) gets
// its lights drawn and still has no depth surface afterwards.
TEST_F(HostFrame, HostWithoutDepthSurfaceKeepsNone) {
    dev.SetDepthStencilSurface(nullptr);
    EXPECT_EQ(frame(), "");
    IDirect3DSurface9* depth = nullptr;
    EXPECT_EQ(dev.GetDepthStencilSurface(&depth), D3DERR_NOTFOUND);
    EXPECT_EQ(depth, nullptr);
    EXPECT_GT(lit_texels(), 0u);
}

// Every frame that does not redraw the light map leaves its record as it
// was: LightMapInfo byte for byte, world2scr and the texels, whatever moved.
TEST_F(HostFrame, SkippedFramesKeepTheLightMapRecord) {
    const LightingSystem& internals = *static_cast<LightingSystem*>(sys);
    auto frame_at = [&](float x) {
        dev.BeginScene();
        const Vec3 focus{x, 2, 0}, lo{x - 2, 0, 0}, hi{x + 2, 4, 0};
        const float movement[2] = {1, 1};
        sys->render(&focus, movement, &lo, &hi);
        dev.EndScene();
    };
    // Each refusal falls on the module's first call of its kind in a frame.
    const std::vector<std::pair<std::string, std::function<void()>>> skips = {
        {"host state not captured",
         [&] {
             dev.fail("IDirect3DStateBlock9::Capture",
                      calls_of("IDirect3DStateBlock9::Capture") + 1, E_FAIL);
         }},
        {"host target unread",
         [&] { dev.fail("GetRenderTarget", calls_of("GetRenderTarget") + 1, E_FAIL); }},
        {"host depth unread",
         [&] {
             dev.fail("GetDepthStencilSurface", calls_of("GetDepthStencilSurface") + 1, E_FAIL);
         }},
        {"light map bind refused",
         [&] { dev.fail("SetRenderTarget", calls_of("SetRenderTarget") + 1, E_FAIL); }},
        {"device lost", [&] { sys->on_lost_device(); }},
    };
    for (const auto& skip : skips) {
        SCOPED_TRACE(skip.first);
        frame_at(2);
        skip.second();
        LightMapInfo info;
        std::memcpy(&info, sys->get_light_map(), sizeof info);
        float world2scr[4];
        std::memcpy(world2scr, internals.world2scr, sizeof world2scr);
        const auto texels = SoftwareDevice::read_pixels(sys->get_light_map()->texture);
        frame_at(10);
        EXPECT_EQ(std::memcmp(&info, sys->get_light_map(), sizeof info), 0);
        EXPECT_EQ(std::memcmp(world2scr, internals.world2scr, sizeof world2scr), 0);
        EXPECT_EQ(SoftwareDevice::read_pixels(sys->get_light_map()->texture), texels);
        dev.clear_failures();
        sys->on_reset_device();
        frame_at(10);
        EXPECT_NE(std::memcmp(&info, sys->get_light_map(), sizeof info), 0);
    }
}

// Rows of the README's bad-input table that the sweeps and the fuzzer only
// survive, checked for what the table says happens.
TEST_F(HostFrame, BadInputRowsDoWhatTheReadmeSays) {
    const Vec3 focus{2, 2, 0}, lo{0, 0, 0}, hi{4, 4, 0};
    const float movement[2] = {1, 1};
    dev.clear_calls();
    // render with a null argument does nothing.
    for (int k = 0; k < 4; ++k) {
        const Vec3* p[3] = {&focus, &lo, &hi};
        if (k < 3) p[k] = nullptr;
        sys->render(p[0], k == 3 ? nullptr : movement, p[1], p[2]);
    }
    EXPECT_TRUE(dev.calls().empty()) << test_support_calls(dev);

    // A refused GetSurfaceLevel leaves the light map without a surface:
    // frames are skipped until the target is made again.
    dev.fail("IDirect3DTexture9::GetSurfaceLevel", 0, E_FAIL);
    sys->set_volume(4, 4, 2, 1);
    dev.clear_failures();
    dev.clear_calls();
    EXPECT_EQ(frame(), "");
    EXPECT_EQ(calls_of("Clear"), 0);
    sys->set_volume(4, 4, 2, 1);
    EXPECT_EQ(frame(), "");
    EXPECT_EQ(calls_of("Clear"), 1);

    sys->release();
    // Before init, or after init(nullptr, ...): set_volume stores the clamped
    // sizes and makes no targets; the other calls make no device call.
    dev.clear_calls();
    ILightingSystem* other = create_ILightingSystem();
    other->init(nullptr, host_set_render_state);
    other->set_volume(0, 3, -2, -std::numeric_limits<float>::infinity());
    const auto& fresh = *static_cast<LightingSystem*>(other);
    EXPECT_EQ(fresh.width, 1);
    EXPECT_EQ(fresh.depth, 1);
    EXPECT_EQ(fresh.cell_size, 0.01f);
    other->render(&focus, movement, &lo, &hi);
    other->on_lost_device();
    other->on_reset_device();
    EXPECT_EQ(other->get_light_map()->texture, nullptr);
    other->release();
    EXPECT_TRUE(dev.calls().empty()) << test_support_calls(dev);

    // A null render-state callback: frames still draw, setting only the
    // states the pass sets directly.
    sys = create_ILightingSystem();
    sys->init(&dev, nullptr);
    add_scene();
    dev.clear_calls();
    EXPECT_EQ(frame(), "");
    EXPECT_EQ(calls_of("SetRenderState"), static_cast<int>(pinned_state_count));
    EXPECT_GT(calls_of("DrawPrimitive"), 0);
    EXPECT_GT(lit_texels(), 0u);
}

// Every saved fuzz input replays without a failed check.
TEST(FuzzCorpus, EverySavedInputRunsClean) {
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(LIGHTVOL_FUZZ_CORPUS)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                         std::istreambuf_iterator<char>()};
        ++inputs;
        EXPECT_EQ(call_sequence::run(bytes.data(), bytes.size()), "") << entry.path();
    }
    EXPECT_GT(inputs, 0u);
}

}  // namespace
