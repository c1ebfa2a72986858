#include "device/render_target.h"

#include <gtest/gtest.h>

#include "support/device_fixture.h"

namespace {

using lightvol_sw::SoftwareDevice;
using test_support::calls_starting;
using test_support::DeviceTest;
using test_support::message_texts;

class RenderTargets : public DeviceTest {
protected:
    void TearDown() override {
        release_device_objs();
        DeviceTest::TearDown();
    }
};

TEST_F(RenderTargets, NewTargetIsEmptyAndRegistered) {
    RenderTarget* t = new_render_target();
    EXPECT_EQ(g_device_objects.count(t), 1u);
    EXPECT_EQ(t->texture, nullptr);
    EXPECT_EQ(t->surface, nullptr);
    EXPECT_EQ(t->format, D3DFMT_A8R8G8B8);
    EXPECT_EQ(t->kind, TargetKind::texture);
    dev.clear_calls();
    t->bind();
    EXPECT_TRUE(dev.calls().empty());
}

TEST_F(RenderTargets, TextureTargetMakesOneLevelAndKeepsIt) {
    RenderTarget* t = new_render_target();
    t->init_target(12, 8, D3DFMT_X8R8G8B8, TargetKind::texture);
    EXPECT_EQ(calls_starting(dev, "CreateTexture"),
              (std::vector<std::string>{"CreateTexture(12,8,1,1,22,0)"}));
    ASSERT_NE(t->surface, nullptr);
    D3DSURFACE_DESC desc{};
    t->surface->GetDesc(&desc);
    EXPECT_EQ(desc.Width, 12u);
    EXPECT_EQ(desc.Height, 8u);
    // Holding both, a second init changes nothing, not even the size.
    IDirect3DSurface9* before = t->surface;
    t->init_target(99, 99, D3DFMT_A8R8G8B8, TargetKind::depth_stencil);
    EXPECT_EQ(t->surface, before);
    EXPECT_EQ(t->width, 12);
    dev.clear_calls();
    t->bind();
    EXPECT_EQ(dev.calls().size(), 1u);
    EXPECT_EQ(dev.calls()[0].rfind("SetRenderTarget(0,", 0), 0u);
}

TEST_F(RenderTargets, LostAndResetRecreateWithTheSameDescription) {
    RenderTarget* depth = new_render_target();
    depth->init_target(16, 4, D3DFMT_D24X8, TargetKind::depth_stencil);
    EXPECT_EQ(depth->texture, nullptr);
    ASSERT_NE(depth->surface, nullptr);
    notify_lost_device();
    EXPECT_EQ(depth->surface, nullptr);
    EXPECT_EQ(dev.live_object_count(), 0u);
    dev.clear_calls();
    notify_reset_device();
    EXPECT_EQ(dev.calls(), (std::vector<std::string>{"CreateDepthStencilSurface(16,4,77,0,0,1)"}));
    // A depth target never holds a texture, so each reset makes a new surface.
    notify_reset_device();
    EXPECT_EQ(calls_starting(dev, "CreateDepthStencilSurface").size(), 2u);
    EXPECT_EQ(dev.live_object_count(), 1u);
}

TEST_F(RenderTargets, RestoreDisabledStillReleasesButStaysEmpty) {
    RenderTarget* t = new_render_target();
    t->init_target(4, 4, D3DFMT_X8R8G8B8, TargetKind::texture);
    t->restore_disabled = true;
    notify_lost_device();
    notify_reset_device();
    EXPECT_EQ(t->texture, nullptr);
    EXPECT_EQ(t->surface, nullptr);
}

TEST_F(RenderTargets, RefusedCreationsShowTheirDescription) {
    dev.fail("CreateDepthStencilSurface", 1, D3DERR_OUTOFVIDEOMEMORY);
    dev.fail("CreateTexture", 1, D3DERR_OUTOFVIDEOMEMORY);
    RenderTarget* depth = new_render_target();
    depth->init_target(2048, 64, D3DFMT_D24X8, TargetKind::depth_stencil);
    RenderTarget* tex = new_render_target();
    tex->init_target(2048, 64, D3DFMT_X8R8G8B8, TargetKind::texture);
    RenderTarget* bad = new_render_target();
    bad->init_target(-1, 64, D3DFMT_X8R8G8B8, TargetKind::texture);  // never reaches the device
    EXPECT_EQ(message_texts(), (std::vector<std::string>{"w:2048, h:64, fmt:77, type:0",
                                                         "w:2048, h:64, fmt:22, type:1",
                                                         "w:-1, h:64, fmt:22, type:1"}));
    for (const auto& box : lightvol_sw::message_boxes()) {
        EXPECT_EQ(box.caption, "error");
        EXPECT_EQ(box.flags, MB_OK);
    }
    EXPECT_EQ(calls_starting(dev, "CreateTexture").size(), 1u);
    EXPECT_EQ(depth->surface, nullptr);
    EXPECT_EQ(tex->texture, nullptr);
    // The next reset tries again.
    notify_reset_device();
    EXPECT_NE(depth->surface, nullptr);
    EXPECT_NE(tex->surface, nullptr);
}

TEST_F(RenderTargets, CubeTargetBindsFaceZeroWithoutKeepingIt) {
    RenderTarget* cube = new_render_target();
    cube->init_target(8, 0, D3DFMT_X8R8G8B8, TargetKind::cube_texture);
    ASSERT_NE(cube->texture, nullptr);
    EXPECT_EQ(cube->surface, nullptr);
    EXPECT_EQ(calls_starting(dev, "D3DXCreateCubeTexture"),
              (std::vector<std::string>{"D3DXCreateCubeTexture(8,1,1,22,0)"}));
    IDirect3DSurface9* face = nullptr;
    static_cast<IDirect3DCubeTexture9*>(cube->texture)
        ->GetCubeMapSurface(D3DCUBEMAP_FACE_POSITIVE_X, 0, &face);
    const ULONG refs = SoftwareDevice::ref_count(face);
    cube->bind();
    EXPECT_EQ(SoftwareDevice::ref_count(face), refs);
    face->Release();
    IDirect3DSurface9* bound = nullptr;
    dev.GetRenderTarget(0, &bound);
    EXPECT_EQ(bound, face);
    bound->Release();
    dev.SetRenderTarget(0, dev.back_buffer());
}

}  // namespace
