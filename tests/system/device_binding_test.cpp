#include <gtest/gtest.h>

#include "device/device_obj.h"
#include "support/system_fixture.h"

namespace {

using lightvol_sw::SoftwareDevice;
using test_support::calls_starting;
using test_support::message_texts;
using test_support::op_names;
using test_support::SystemTest;

class DeviceBinding : public SystemTest {};

TEST_F(DeviceBinding, InitMakesDeclarationMeshAndEffectInOrder) {
    // SetUp ran init: declaration, light mesh, effect.
    const auto creations = [&] {
        std::vector<std::string> out;
        for (const std::string& c : op_names(dev.calls()))
            if (c.rfind("Create", 0) == 0 || c.rfind("D3DXCreate", 0) == 0) out.push_back(c);
        return out;
    }();
    EXPECT_EQ(creations, (std::vector<std::string>{"CreateVertexDeclaration", "CreateVertexBuffer",
                                                   "D3DXCreateEffect"}));
    EXPECT_EQ(g_device_objects.size(), 2u);  // declaration and effect; the mesh is not listed
    EXPECT_NE(g_point_light_mesh, nullptr);
    EXPECT_EQ(sys->get_light_map()->texture, nullptr);
    // A second init is ignored rather than orphaning the first one's objects.
    dev.clear_calls();
    sys->init(&dev, test_support::set_render_state_on_device);
    EXPECT_TRUE(dev.calls().empty());
}

TEST_F(DeviceBinding, SetVolumeReplacesBothTargets) {
    sys->set_volume(4, 8, 3, 1);
    EXPECT_EQ(calls_starting(dev, "CreateTexture"),
              (std::vector<std::string>{"CreateTexture(12,8,1,1,22,0)"}));
    EXPECT_EQ(calls_starting(dev, "CreateDepthStencilSurface"),
              (std::vector<std::string>{"CreateDepthStencilSurface(12,8,77,0,0,1)"}));
    IDirect3DTexture9* first = sys->get_light_map()->texture;
    ASSERT_NE(first, nullptr);
    D3DSURFACE_DESC desc{};
    first->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, 12u);
    EXPECT_EQ(desc.Height, 8u);
    EXPECT_EQ(desc.Format, D3DFMT_X8R8G8B8);
    EXPECT_EQ(desc.Usage, D3DUSAGE_RENDERTARGET);
    EXPECT_EQ(desc.Pool, D3DPOOL_DEFAULT);
    const size_t registered = g_device_objects.size();
    const size_t live = dev.live_object_count();

    sys->set_volume(2, 2, 2, 1);
    EXPECT_EQ(g_device_objects.size(), registered);
    EXPECT_EQ(dev.live_object_count(), live);  // the old targets are gone
    IDirect3DTexture9* second = sys->get_light_map()->texture;
    ASSERT_NE(second, nullptr);
    second->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, 4u);
}

// Sizes at or below 1 clamp to a volume of one texel: a 1 x 1 light map and
// depth surface that a frame draws into.
TEST_F(DeviceBinding, TheClampedOneTexelVolumeIsMadeAndDrawn) {
    sys->set_volume(0, -7, 1, 1);
    EXPECT_EQ(calls_starting(dev, "CreateTexture"),
              (std::vector<std::string>{"CreateTexture(1,1,1,1,22,0)"}));
    EXPECT_EQ(calls_starting(dev, "CreateDepthStencilSurface"),
              (std::vector<std::string>{"CreateDepthStencilSurface(1,1,77,0,0,1)"}));
    EXPECT_TRUE(message_texts().empty());
    IDirect3DTexture9* map = sys->get_light_map()->texture;
    ASSERT_NE(map, nullptr);
    D3DSURFACE_DESC desc{};
    map->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, 1u);
    EXPECT_EQ(desc.Height, 1u);
    sys->set_base_layer(0);
    light({0.5f, 0.5f, 0}, 2, {1, 0.5f, 0.25f});
    render_box(1, 1);
    EXPECT_EQ(calls_starting(dev, "DrawPrimitive").size(), 1u);
    const std::vector<uint32_t> texel = SoftwareDevice::read_pixels(map);
    ASSERT_EQ(texel.size(), 1u);
    EXPECT_NE(texel[0] & 0xFF0000u, 0u) << std::hex << texel[0];  // red, near the centre
}

TEST_F(DeviceBinding, LostAndResetRebuildTargetsAndRefreshTheTexture) {
    sys->on_reset_device();  // before any set_volume
    EXPECT_EQ(sys->get_light_map()->texture, nullptr);
    sys->set_volume(4, 4, 2, 1);
    const LightMapInfo* info = sys->get_light_map();
    sys->on_lost_device();
    EXPECT_EQ(info->texture, nullptr);
    // Only managed and device-independent objects remain: mesh buffer,
    // declaration, effect.
    EXPECT_EQ(dev.live_object_count(), 3u) << test_support::joined(dev.live_objects());
    EXPECT_EQ(calls_starting(dev, "ID3DXEffect::OnLostDevice").size(), 1u);
    dev.clear_calls();
    sys->on_reset_device();
    EXPECT_EQ(sys->get_light_map(), info);
    ASSERT_NE(info->texture, nullptr);
    EXPECT_EQ(calls_starting(dev, "CreateTexture"),
              (std::vector<std::string>{"CreateTexture(8,4,1,1,22,0)"}));
    EXPECT_EQ(calls_starting(dev, "ID3DXEffect::OnResetDevice").size(), 1u);
    D3DSURFACE_DESC desc{};
    info->texture->GetLevelDesc(0, &desc);
    EXPECT_EQ(desc.Width, 8u);
}

TEST_F(DeviceBinding, OverflowingAtlasWidthIsRefusedWithoutADeviceCall) {
    dev.clear_calls();
    sys->set_volume(65536, 4, 65536, 1);
    EXPECT_TRUE(calls_starting(dev, "CreateTexture").empty());
    EXPECT_TRUE(calls_starting(dev, "CreateDepthStencilSurface").empty());
    EXPECT_EQ(message_texts(),
              (std::vector<std::string>{"w:-1, h:4, fmt:22, type:1", "w:-1, h:4, fmt:77, type:0"}));
    EXPECT_EQ(sys->get_light_map()->texture, nullptr);
    sys->set_base_layer(0);
    light({1, 1, 0}, 1);
    dev.clear_calls();
    render_box(4, 4);
    EXPECT_TRUE(dev.calls().empty());
    // At the type limits: refused by the module, or by the device (past its
    // largest texture) with the size in the message; frames do nothing.
    lightvol_sw::clear_message_boxes();
    sys->set_volume(INT32_MAX, INT32_MAX, INT32_MAX, 3.4e38f);
    sys->set_volume(1, INT32_MAX, INT32_MAX, 1);
    EXPECT_EQ(message_texts(),
              (std::vector<std::string>{"w:-1, h:2147483647, fmt:22, type:1",
                                        "w:-1, h:2147483647, fmt:77, type:0",
                                        "w:2147483647, h:2147483647, fmt:22, type:1",
                                        "w:2147483647, h:2147483647, fmt:77, type:0"}));
    render_box(4, 4);
    EXPECT_TRUE(calls_starting(dev, "Clear").empty());
    sys->set_volume(4, 4, 2, 1);  // still usable
    EXPECT_NE(sys->get_light_map()->texture, nullptr);
}

TEST_F(DeviceBinding, RefusedLightMeshBufferIsReportedAndDrawsNothing) {
    sys->release();
    dev.fail("CreateVertexBuffer", 0, D3DERR_OUTOFVIDEOMEMORY);
    sys = create_ILightingSystem();
    sys->init(&dev, test_support::set_render_state_on_device);
    EXPECT_EQ(message_texts(),
              (std::vector<std::string>{
                  "D3D9RenderEngine::create_vertex_buffer(Length:7200, Usage:0, Pool:1)"}));
    sys->set_volume(4, 4, 1, 1);
    sys->set_base_layer(0);
    light({2, 2, 0}, 1);
    dev.clear_calls();
    render_box(4, 4);
    EXPECT_TRUE(calls_starting(dev, "DrawPrimitive").empty());
    // Stream 0 is only given back to the host's (empty) binding.
    EXPECT_EQ(calls_starting(dev, "SetStreamSource("),
              std::vector<std::string>{"SetStreamSource(0,null,0,0)"});
}

// The light map is published only when a frame can draw it: a refused light
// map, depth surface, surface level or state block leaves texture null and
// frames untouched until a later set_volume or reset makes what was missing.
TEST_F(DeviceBinding, TextureIsNullWheneverTheMapCannotBeDrawn) {
    struct Refusal {
        const char* op;
        std::vector<std::string> messages;
    };
    const Refusal refusals[] = {
        {"CreateTexture", {"w:8, h:4, fmt:22, type:1"}},
        {"CreateDepthStencilSurface", {"w:8, h:4, fmt:77, type:0"}},
        {"IDirect3DTexture9::GetSurfaceLevel", {}},
        {"BeginStateBlock", {}},
        {"SetScissorRect", {}},  // a call recorded into the block
    };
    light({1, 1, 0}, 1);
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.op);
        lightvol_sw::clear_message_boxes();
        sys->on_lost_device();
        dev.fail(r.op, 0, E_FAIL);
        sys->on_reset_device();
        sys->set_volume(4, 4, 2, 1);
        EXPECT_EQ(sys->get_light_map()->texture, nullptr);
        EXPECT_EQ(message_texts().size() > 0, !r.messages.empty());
        if (!r.messages.empty()) {
            EXPECT_EQ(message_texts().back(), r.messages.back());
        }
        dev.clear_calls();
        render_box(4, 4);
        EXPECT_TRUE(dev.calls().empty()) << test_support::joined(dev.calls());
        dev.clear_failures();
        sys->set_volume(4, 4, 2, 1);
        EXPECT_NE(sys->get_light_map()->texture, nullptr);
        render_box(4, 4);
        EXPECT_FALSE(calls_starting(dev, "DrawPrimitive").empty());
    }
    // No recording is left running after a refused end.
    EXPECT_TRUE(dev.misuses().empty()) << test_support::joined(dev.misuses());
    lightvol_sw::clear_message_boxes();
}

TEST_F(DeviceBinding, ReleaseFreesEverythingAndASecondSystemStartsClean) {
    sys->set_volume(4, 4, 2, 1);
    for (int i = 0; i < 10; ++i) light({float(i), 0, 0}, 1);
    sys->release();
    sys = nullptr;
    EXPECT_TRUE(g_device_objects.empty());
    EXPECT_EQ(g_point_light_mesh, nullptr);
    EXPECT_EQ(dev.live_object_count(), 0u);
    // Created and released without init: nothing to free.
    ILightingSystem* idle = create_ILightingSystem();
    idle->release();
    sys = create_ILightingSystem();
    sys->init(&dev, test_support::set_render_state_on_device);
    EXPECT_EQ(g_device_objects.size(), 2u);
}

}  // namespace
