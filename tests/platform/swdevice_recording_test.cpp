// The software device's call log, failure injection, null mode and message
// boxes.
#include <gtest/gtest.h>

#include "platform/software/software_device.h"

using lightvol_sw::SoftwareDevice;

namespace {

using Calls = std::vector<std::string>;

const D3DVERTEXELEMENT9 kPositionOnly[] = {
    {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0}, D3DDECL_END()};

}  // namespace

TEST(SwDeviceLog, RecordsCallsWithLabelsAndExpandedArguments) {
    SoftwareDevice dev;
    IDirect3DTexture9* tex = nullptr;
    dev.CreateTexture(12, 8, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &tex,
                      nullptr);
    IDirect3DSurface9* level = nullptr;
    tex->GetSurfaceLevel(0, &level);
    IDirect3DVertexBuffer9* vb = nullptr;
    dev.CreateVertexBuffer(7200, 0, 0, D3DPOOL_MANAGED, &vb, nullptr);
    void* p = nullptr;
    vb->Lock(0, 7200, &p, 0);
    vb->Unlock();
    IDirect3DVertexDeclaration9* decl = nullptr;
    dev.CreateVertexDeclaration(kPositionOnly, &decl);
    IDirect3DSurface9* saved = nullptr;
    dev.GetRenderTarget(0, &saved);
    dev.SetRenderTarget(0, level);
    const D3DVIEWPORT9 vp = {0, 0, 12, 8, 0.0f, 1.0f};
    dev.SetViewport(&vp);
    dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    dev.SetRenderState(D3DRS_ZENABLE, 0);
    dev.SetStreamSource(0, vb, 0, 12);
    dev.SetIndices(nullptr);
    dev.SetVertexDeclaration(decl);
    dev.SetRenderTarget(0, saved);
    const D3DVIEWPORT9 half = {0, 0, 32, 64, 0.25f, 0.5f};
    dev.SetViewport(&half);
    const D3DRECT r = {1, 2, 3, 4};
    dev.Clear(1, &r, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER, 0xFF000000u, 0.5f, 0);

    const Calls expected = {
        "CreateTexture(12,8,1,1,22,0)",
        "IDirect3DTexture9::GetSurfaceLevel(0)",
        "CreateVertexBuffer(7200,0,0,1)",
        "IDirect3DVertexBuffer9::Lock(0,7200,0)",
        "IDirect3DVertexBuffer9::Unlock()",
        "CreateVertexDeclaration([0,0,2,0,0,0])",
        "GetRenderTarget(0)",
        "SetRenderTarget(0,Surface#2)",
        "SetViewport(0,0,12,8,0,1)",
        "Clear(0,null,1,0,1,0)",
        "SetRenderState(7,0)",
        "SetStreamSource(0,VertexBuffer#3,0,12)",
        "SetIndices(null)",
        "SetVertexDeclaration(Decl#4)",
        "SetRenderTarget(0,BackBuffer)",
        "SetViewport(0,0,32,64,0.25,0.5)",
        "Clear(1,[1,2,3,4],3,4278190080,0.5,0)",
    };
    EXPECT_EQ(dev.calls(), expected);

    // AddRef and Release leave no trace; recording can be switched off.
    dev.clear_calls();
    saved->Release();
    dev.set_recording(false);
    dev.SetRenderState(D3DRS_ZENABLE, 1);
    dev.set_recording(true);
    EXPECT_TRUE(dev.calls().empty());

    dev.SetDepthStencilSurface(dev.depth_buffer());
    dev.SetRenderTarget(0, level);  // for the log only
    dev.SetRenderTarget(0, dev.back_buffer());
    EXPECT_EQ(dev.calls(),
              (Calls{"SetDepthStencilSurface(DepthBuffer)", "SetRenderTarget(0,Surface#2)",
                     "SetRenderTarget(0,BackBuffer)"}));
    decl->Release();
    vb->Release();
    level->Release();
    tex->Release();
}

TEST(SwDeviceLog, FailedCallsAreMarked) {
    SoftwareDevice dev;
    IDirect3DTexture9* tex = nullptr;
    dev.CreateTexture(0, 8, 1, 1, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &tex, nullptr);
    dev.fail("SetRenderState", 1, E_FAIL);
    dev.SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    dev.SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    EXPECT_EQ(dev.calls(), (Calls{"CreateTexture(0,8,1,1,22,0) -> FAILED",
                                  "SetRenderState(22,1) -> FAILED", "SetRenderState(22,1)"}));
}

TEST(SwDeviceFailures, NamedOperationFailsAtItsOccurrenceWithoutSideEffects) {
    SoftwareDevice dev;
    dev.fail("CreateVertexBuffer", 2, D3DERR_OUTOFVIDEOMEMORY);
    dev.fail("IDirect3DVertexBuffer9::Lock", 0, E_FAIL);
    IDirect3DVertexBuffer9* first = nullptr;
    IDirect3DVertexBuffer9* second = reinterpret_cast<IDirect3DVertexBuffer9*>(&dev);
    EXPECT_EQ(dev.CreateVertexBuffer(12, 0, 0, D3DPOOL_DEFAULT, &first, nullptr), S_OK);
    EXPECT_EQ(dev.CreateVertexBuffer(12, 0, 0, D3DPOOL_DEFAULT, &second, nullptr),
              D3DERR_OUTOFVIDEOMEMORY);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(dev.live_object_count(), 1u);
    EXPECT_EQ(SoftwareDevice::ref_count(&dev), 2u);
    ASSERT_EQ(dev.CreateVertexBuffer(12, 0, 0, D3DPOOL_DEFAULT, &second, nullptr), S_OK);

    void* p = &dev;
    EXPECT_EQ(first->Lock(0, 12, &p, 0), E_FAIL);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(second->Lock(0, 12, &p, 0), E_FAIL);
    dev.clear_failures();
    EXPECT_EQ(second->Lock(0, 12, &p, 0), S_OK);
    second->Unlock();

    // A failed binding leaves the old one in place.
    const D3DVIEWPORT9 small = {1, 1, 2, 2, 0.0f, 1.0f};
    dev.fail("SetViewport", 0, D3DERR_INVALIDCALL);
    dev.SetViewport(&small);
    D3DVIEWPORT9 vp{};
    dev.GetViewport(&vp);
    EXPECT_EQ(vp.X, 0u);
    EXPECT_EQ(vp.Width, 64u);
    dev.fail("GetRenderTarget", 0, E_FAIL);
    IDirect3DSurface9* rt = dev.back_buffer();
    EXPECT_EQ(dev.GetRenderTarget(0, &rt), E_FAIL);
    EXPECT_EQ(rt, nullptr);
    EXPECT_EQ(SoftwareDevice::ref_count(dev.back_buffer()), 0u);

    EXPECT_THROW(dev.fail("NoSuchCall", 1, E_FAIL), std::invalid_argument);
    EXPECT_THROW(dev.fail("IDirect3DTexture9::GetLevelCount", 1, E_FAIL), std::invalid_argument);
    first->Release();
    second->Release();
}

TEST(SwDeviceFailures, SweepFailsEachHresultCallInTurn) {
    static const char kEffect[] =
        "float4 k; float4 VS() : POSITION { return k; } float4 PS() : COLOR { return k; }\n"
        "technique T { pass P { VertexShader = compile vs_2_0 VS(); "
        "PixelShader = compile ps_2_0 PS(); } }";
    // A host sequence that checks what it must and releases what it got.
    auto run = [](SoftwareDevice& dev) {
        IDirect3DTexture9* tex = nullptr;
        if (SUCCEEDED(
                dev.CreateTexture(8, 8, 1, 1, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &tex, nullptr))) {
            IDirect3DSurface9* level = nullptr;
            IDirect3DSurface9* saved = nullptr;
            tex->GetSurfaceLevel(0, &level);
            dev.GetRenderTarget(0, &saved);
            if (level) dev.SetRenderTarget(0, level);
            dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
            if (saved) dev.SetRenderTarget(0, saved);
            if (saved) saved->Release();
            if (level) level->Release();
            tex->Release();
        }
        ID3DXEffect* fx = nullptr;
        ID3DXBuffer* errors = nullptr;
        D3DXCreateEffect(&dev, kEffect, sizeof kEffect - 1, nullptr, nullptr, 0, nullptr, &fx,
                         &errors);
        if (errors) errors->Release();
        if (fx) {
            UINT passes = 0;
            fx->SetTechnique("T");
            fx->Begin(&passes, 0);
            fx->BeginPass(0);
            fx->EndPass();
            fx->End();
            fx->Release();
        }
    };

    SoftwareDevice probe;
    run(probe);
    const int total = probe.hresult_call_count();
    ASSERT_EQ(total, 12);
    ASSERT_EQ(probe.calls().size(), 12u);

    for (int n = 1; n <= total; ++n) {
        SoftwareDevice dev;
        dev.fail_nth_hresult_call(n, E_FAIL);
        run(dev);
        int failed = 0;
        for (const std::string& call : dev.calls()) {
            const size_t mark = call.find(" -> FAILED");
            if (mark == std::string::npos) continue;
            // The injected failure comes first; later ones follow from it.
            if (failed++ == 0) {
                EXPECT_EQ(call.substr(0, mark), probe.calls()[n - 1]) << n;
            }
        }
        EXPECT_GE(failed, 1) << "n = " << n;
        EXPECT_EQ(dev.live_object_count(), 0u) << "n = " << n;
        EXPECT_EQ(SoftwareDevice::ref_count(&dev), 1u) << "n = " << n;
        EXPECT_EQ(dev.over_releases(), 0);
    }
}

TEST(SwDeviceNullMode, BindsButRecordsAndDrawsNothing) {
    SoftwareDevice dev;
    IDirect3DVertexBuffer9* vb = nullptr;
    dev.CreateVertexBuffer(36, 0, 0, D3DPOOL_MANAGED, &vb, nullptr);
    IDirect3DVertexDeclaration9* decl = nullptr;
    dev.CreateVertexDeclaration(kPositionOnly, &decl);
    dev.clear_calls();
    dev.set_null_mode(true);

    dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0x00FFFFFF, 1.0f, 0);
    dev.BeginScene();
    dev.SetVertexDeclaration(decl);
    dev.SetStreamSource(0, vb, 0, 12);
    EXPECT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, 1), S_OK);
    dev.EndScene();
    IDirect3DSurface9* rt = nullptr;
    dev.GetRenderTarget(0, &rt);  // state still works
    EXPECT_EQ(rt, dev.back_buffer());
    rt->Release();
    EXPECT_TRUE(dev.calls().empty());
    EXPECT_EQ(SoftwareDevice::read_pixel(dev.back_buffer(), 0, 0) & 0xFFFFFFu, 0u);
    EXPECT_EQ(dev.draw_calls(), 1u);
    EXPECT_EQ(dev.pixels_shaded(), 0u);

    dev.set_null_mode(false);
    decl->Release();
    vb->Release();
    EXPECT_EQ(dev.live_object_count(), 0u);
}

TEST(SwDeviceMessageBox, RecordsAndLogsToTheNewestDevice) {
    lightvol_sw::clear_message_boxes();
    SoftwareDevice older;
    {
        SoftwareDevice newer;
        EXPECT_EQ(MessageBoxA(nullptr, "w:0, h:8", "error", MB_OK), 1);
        EXPECT_EQ(newer.calls(), Calls{"MessageBoxA(error,w:0, h:8,0)"});
    }
    EXPECT_EQ(MessageBoxA(nullptr, "again", "error", MB_OK), 1);
    EXPECT_EQ(older.calls(), Calls{"MessageBoxA(error,again,0)"});
    ASSERT_EQ(lightvol_sw::message_boxes().size(), 2u);
    EXPECT_EQ(lightvol_sw::message_boxes()[0].caption, "error");
    EXPECT_EQ(lightvol_sw::message_boxes()[0].text, "w:0, h:8");
    EXPECT_EQ(lightvol_sw::message_boxes()[1].flags, MB_OK);
    lightvol_sw::clear_message_boxes();
    EXPECT_TRUE(lightvol_sw::message_boxes().empty());
}
