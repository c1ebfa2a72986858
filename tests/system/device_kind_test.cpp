// The two kinds of device a host may hand to init: a plain Direct3D 9 device and
// a Direct3D 9Ex one (no managed pool; resets keep default-pool resources).
#include <gtest/gtest.h>

#include "device/device_obj.h"
#include "support/system_fixture.h"

namespace {

using lightvol_sw::SoftwareDevice;
using test_support::calls_starting;
using test_support::message_texts;
using test_support::SystemTest;

// A 9Ex device, answering QueryInterface for IDirect3DDevice9Ex or not (as a
// wrapper around one may not).
class ExDevice : public SystemTest, public ::testing::WithParamInterface<bool> {
protected:
    bool ex_device() const override { return true; }
    bool answers_ex_query() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Query, ExDevice, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Answered" : "Unanswered");
                         });

TEST_P(ExDevice, InitMakesTheLightMeshInTheDefaultPoolWithoutAMessage) {
    // Asked for the default pool at once, or after the managed pool's refusal.
    const std::vector<std::string> answered{"CreateVertexBuffer(7200,8,0,0)"};
    const std::vector<std::string> refused{"CreateVertexBuffer(7200,0,0,1) -> FAILED",
                                           "CreateVertexBuffer(7200,8,0,0)"};
    EXPECT_EQ(calls_starting(dev, "CreateVertexBuffer"), GetParam() ? answered : refused);
    EXPECT_TRUE(message_texts().empty());
    ASSERT_NE(g_point_light_mesh, nullptr);
    EXPECT_NE(g_point_light_mesh->vertex_buffer, nullptr);
    EXPECT_EQ(g_point_light_mesh->vertex_pool, D3DPOOL_DEFAULT);
    EXPECT_EQ(g_point_light_mesh->vertex_usage, D3DUSAGE_WRITEONLY);
    // Listed beside declaration and effect, so that loss and reset reach it.
    EXPECT_EQ(g_device_objects.size(), 3u);
    EXPECT_EQ(g_device_objects.count(g_point_light_mesh), 1u);
}

// How a host goes through a reset of its device.
enum class Protocol {
    guide_reset,       // on_lost_device, Reset, on_reset_device
    guide_reset_ex,    // on_lost_device, ResetEx, on_reset_device
    bare_reset_ex,     // ResetEx alone
    bare_reset,        // Reset alone
};

struct ResetCase {
    bool ex;
    Protocol protocol;
    bool reset_succeeds;
    bool answers_query;  // of a 9Ex device
};

class ResetProtocols : public SystemTest, public ::testing::WithParamInterface<ResetCase> {
protected:
    bool ex_device() const override { return GetParam().ex; }
    bool answers_ex_query() const override { return GetParam().answers_query; }

    // The host's reset, outside its scene as a host makes it.
    HRESULT host_reset(Protocol protocol) {
        dev.EndScene();
        const bool guide = protocol == Protocol::guide_reset || protocol == Protocol::guide_reset_ex;
        const bool ex_call =
            protocol == Protocol::guide_reset_ex || protocol == Protocol::bare_reset_ex;
        if (guide) sys->on_lost_device();
        const HRESULT hr = ex_call ? dev.reset_ex() : dev.reset();
        if (guide && SUCCEEDED(hr)) sys->on_reset_device();
        dev.BeginScene();
        return hr;
    }
    std::vector<uint32_t> frame() {
        render_box(8, 4);
        IDirect3DTexture9* map = sys->get_light_map()->texture;
        return map ? SoftwareDevice::read_pixels(map) : std::vector<uint32_t>{};
    }
};

TEST_P(ResetProtocols, FramesKeepTheirLightAcrossResets) {
    const ResetCase c = GetParam();
    sys->set_volume(8, 4, 3, 1);
    sys->set_base_layer(0);
    light({2, 2, 1}, 1.5f, {1, 0.5f, 0.25f});
    light({6, 1, 0}, 2, {0, 1, 0});
    const std::vector<uint32_t> before = frame();
    size_t lit = 0;
    for (uint32_t texel : before) lit += (texel & 0xFFFFFFu) != 0;
    ASSERT_GT(lit, 0u);

    for (int cycle = 0; cycle < 2; ++cycle) {
        dev.clear_calls();
        const HRESULT hr = host_reset(c.protocol);
        EXPECT_EQ(SUCCEEDED(hr), c.reset_succeeds) << "cycle " << cycle;
        if (!c.reset_succeeds) return;
        EXPECT_EQ(frame(), before) << "cycle " << cycle;
        // What the guide's protocol remakes: the light map and its depth
        // surface, and on a 9Ex device the default-pool light mesh.
        const bool guide =
            c.protocol == Protocol::guide_reset || c.protocol == Protocol::guide_reset_ex;
        EXPECT_EQ(calls_starting(dev, "CreateVertexBuffer"),
                  guide && c.ex ? std::vector<std::string>{"CreateVertexBuffer(7200,8,0,0)"}
                                : std::vector<std::string>{});
        EXPECT_EQ(calls_starting(dev, "CreateTexture").size(), guide ? 1u : 0u);
    }
    EXPECT_TRUE(message_texts().empty());
}

const ResetCase kResetCases[] = {
    {false, Protocol::guide_reset, true, false},
    // A plain device refuses a reset while the light map lives, and has no ResetEx.
    {false, Protocol::bare_reset, false, false},
    {false, Protocol::guide_reset_ex, false, false},
    {true, Protocol::guide_reset, true, true},
    {true, Protocol::guide_reset_ex, true, true},
    {true, Protocol::bare_reset_ex, true, true},
    {true, Protocol::bare_reset, true, true},
    {true, Protocol::guide_reset, true, false},
    {true, Protocol::bare_reset_ex, true, false},
};

std::string reset_case_name(const ::testing::TestParamInfo<ResetCase>& info) {
    static const char* const names[] = {"GuideReset", "GuideResetEx", "BareResetEx", "BareReset"};
    return std::string(info.param.ex ? (info.param.answers_query ? "Ex" : "ExUnanswered")
                                     : "Plain") +
           names[static_cast<int>(info.param.protocol)];
}

INSTANTIATE_TEST_SUITE_P(Kinds, ResetProtocols, ::testing::ValuesIn(kResetCases), reset_case_name);

// A 9Ex device that refuses the default-pool buffer as well: the message names
// that request, frames draw no lights, and every on_reset_device tries again.
TEST_P(ExDevice, RefusedDefaultPoolMeshIsReportedAndMadeAgainAtReset) {
    sys->release();
    dev.fail("CreateVertexBuffer", 0, D3DERR_INVALIDCALL);
    sys = create_ILightingSystem();
    sys->init(&dev, test_support::set_render_state_on_device);
    EXPECT_EQ(message_texts(),
              (std::vector<std::string>{
                  "D3D9RenderEngine::create_vertex_buffer(Length:7200, Usage:8, Pool:0)"}));
    sys->set_volume(4, 4, 1, 1);
    sys->set_base_layer(0);
    light({2, 2, 0}, 1);
    render_box(4, 4);
    EXPECT_TRUE(calls_starting(dev, "DrawPrimitive").empty());
    dev.clear_failures();
    sys->on_lost_device();
    sys->on_reset_device();
    ASSERT_NE(g_point_light_mesh->vertex_buffer, nullptr);
    dev.clear_calls();
    render_box(4, 4);
    EXPECT_EQ(calls_starting(dev, "DrawPrimitive").size(), 1u);
}

}  // namespace
