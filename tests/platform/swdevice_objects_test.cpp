// Objects of the software device: reference counts, lifetimes, creation
// limits, pixel storage and device state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "platform/software/software_device.h"

using lightvol_sw::SoftwareDevice;

namespace {

ULONG refs(IUnknown* o) { return SoftwareDevice::ref_count(o); }

IDirect3DTexture9* make_rt_texture(SoftwareDevice& dev, UINT w, UINT h) {
    IDirect3DTexture9* tex = nullptr;
    EXPECT_EQ(dev.CreateTexture(w, h, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT,
                                &tex, nullptr),
              S_OK);
    return tex;
}

// def c0, 1, 0, 0, 0; mov oC0, c0 as ps_2_0.
const DWORD kPixelShader[] = {0xFFFF0200, 0x05000051, 0xA00F0000, 0x3F800000, 0,         0,
                              0,          0x02000001, 0x800F0800, 0xA0E40000, 0x0000FFFF};

}  // namespace

TEST(SwDeviceRefs, CreatedObjectsHoldTheDeviceUntilReleased) {
    SoftwareDevice dev;
    EXPECT_EQ(refs(&dev), 1u);

    IDirect3DVertexBuffer9* vb = nullptr;
    ASSERT_EQ(dev.CreateVertexBuffer(96, 0, 0, D3DPOOL_MANAGED, &vb, nullptr), S_OK);
    IDirect3DSurface9* ds = nullptr;
    ASSERT_EQ(dev.CreateDepthStencilSurface(8, 8, D3DFMT_D24X8, D3DMULTISAMPLE_NONE, 0, TRUE, &ds,
                                            nullptr),
              S_OK);
    EXPECT_EQ(refs(vb), 1u);
    EXPECT_EQ(refs(&dev), 3u);
    EXPECT_EQ(dev.live_object_count(), 2u);

    EXPECT_EQ(vb->AddRef(), 2u);
    EXPECT_EQ(vb->Release(), 1u);
    EXPECT_EQ(vb->Release(), 0u);
    EXPECT_EQ(refs(&dev), 2u);
    EXPECT_EQ(dev.live_objects(), std::vector<std::string>{"Surface#2"});

    IDirect3DDevice9* got = nullptr;
    ASSERT_EQ(ds->GetDevice(&got), S_OK);
    EXPECT_EQ(got, &dev);
    EXPECT_EQ(refs(&dev), 3u);
    got->Release();
    ds->Release();
    EXPECT_EQ(refs(&dev), 1u);
    EXPECT_EQ(dev.live_object_count(), 0u);
    EXPECT_EQ(dev.over_releases(), 0);
}

TEST(SwDeviceRefs, LevelSurfacesShareTheTexturesLifetime) {
    SoftwareDevice dev;
    IDirect3DTexture9* tex = make_rt_texture(dev, 16, 4);
    ASSERT_NE(tex, nullptr);
    IDirect3DSurface9* level = nullptr;
    ASSERT_EQ(tex->GetSurfaceLevel(0, &level), S_OK);
    EXPECT_EQ(refs(level), 1u);
    EXPECT_EQ(refs(tex), 1u);
    // A texture and its surfaces hold the device once.
    EXPECT_EQ(refs(&dev), 2u);
    EXPECT_EQ(dev.live_objects(), (std::vector<std::string>{"Texture#1", "Surface#2"}));

    // The texture goes first: the level surface keeps the storage alive.
    EXPECT_EQ(tex->Release(), 0u);
    EXPECT_EQ(dev.live_objects(), std::vector<std::string>{"Surface#2"});
    EXPECT_EQ(refs(&dev), 2u);
    D3DSURFACE_DESC desc{};
    ASSERT_EQ(level->GetDesc(&desc), S_OK);
    EXPECT_EQ(desc.Width, 16u);
    EXPECT_EQ(desc.Height, 4u);
    EXPECT_EQ(desc.Format, D3DFMT_X8R8G8B8);
    EXPECT_EQ(desc.Usage, D3DUSAGE_RENDERTARGET);
    EXPECT_EQ(desc.Pool, D3DPOOL_DEFAULT);

    EXPECT_EQ(level->Release(), 0u);
    EXPECT_EQ(refs(&dev), 1u);
    EXPECT_EQ(dev.live_object_count(), 0u);
}

TEST(SwDeviceRefs, BindingsDoNotCountButKeepStorageAlive) {
    SoftwareDevice dev;
    IDirect3DTexture9* tex = make_rt_texture(dev, 8, 8);
    IDirect3DSurface9* level = nullptr;
    tex->GetSurfaceLevel(0, &level);
    ASSERT_EQ(dev.SetRenderTarget(0, level), S_OK);
    EXPECT_EQ(refs(level), 1u);

    level->Release();
    tex->Release();
    EXPECT_EQ(dev.live_object_count(), 0u);
    EXPECT_EQ(refs(&dev), 1u);

    // Still bound: clearing and reading back work on the orphaned target.
    ASSERT_EQ(dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0x00112233, 1.0f, 0), S_OK);
    IDirect3DSurface9* current = nullptr;
    ASSERT_EQ(dev.GetRenderTarget(0, &current), S_OK);
    EXPECT_EQ(current, level);
    EXPECT_EQ(SoftwareDevice::read_pixel(current, 7, 7), 0xFF112233u);
    EXPECT_EQ(dev.live_object_count(), 1u);
    current->Release();

    ASSERT_EQ(dev.SetRenderTarget(0, dev.back_buffer()), S_OK);  // frees the texture
    EXPECT_EQ(dev.live_object_count(), 0u);
    EXPECT_EQ(dev.over_releases(), 0);
}

TEST(SwDeviceRefs, OverReleaseIsCountedNotCrashing) {
    SoftwareDevice dev;
    IDirect3DVertexBuffer9* vb = nullptr;
    dev.CreateVertexBuffer(12, 0, 0, D3DPOOL_MANAGED, &vb, nullptr);
    dev.SetStreamSource(0, vb, 0, 12);  // keeps the storage
    vb->Release();
    EXPECT_EQ(vb->Release(), 0u);
    EXPECT_EQ(dev.over_releases(), 1);
    EXPECT_EQ(refs(&dev), 1u);
    dev.SetStreamSource(0, nullptr, 0, 0);
}

TEST(SwDeviceRefs, ImplicitSurfacesAreReturnedWithAReference) {
    SoftwareDevice dev(32, 16);
    IDirect3DSurface9* rt = nullptr;
    IDirect3DSurface9* ds = nullptr;
    ASSERT_EQ(dev.GetRenderTarget(0, &rt), S_OK);
    ASSERT_EQ(dev.GetDepthStencilSurface(&ds), S_OK);
    EXPECT_EQ(rt, dev.back_buffer());
    EXPECT_EQ(ds, dev.depth_buffer());
    EXPECT_EQ(refs(rt), 1u);
    EXPECT_EQ(refs(&dev), 3u);
    EXPECT_EQ(dev.live_object_count(), 0u);  // implicit ones are not listed

    D3DSURFACE_DESC d{};
    rt->GetDesc(&d);
    EXPECT_EQ(d.Width, 32u);
    EXPECT_EQ(d.Format, D3DFMT_X8R8G8B8);
    ds->GetDesc(&d);
    EXPECT_EQ(d.Height, 16u);
    EXPECT_EQ(d.Format, D3DFMT_D24X8);
    rt->Release();
    ds->Release();
    EXPECT_EQ(refs(&dev), 1u);

    // Unbound implicit surfaces survive and can be bound again.
    ASSERT_EQ(dev.SetDepthStencilSurface(nullptr), S_OK);
    EXPECT_EQ(dev.GetDepthStencilSurface(&ds), D3DERR_NOTFOUND);
    EXPECT_EQ(ds, nullptr);
    EXPECT_EQ(dev.SetDepthStencilSurface(dev.depth_buffer()), S_OK);
}

TEST(SwDeviceRefs, ObjectsOutlivingTheDeviceCanStillBeReleased) {
    IDirect3DVertexBuffer9* vb = nullptr;
    {
        SoftwareDevice dev;
        dev.CreateVertexBuffer(12, 0, 0, D3DPOOL_MANAGED, &vb, nullptr);
        dev.SetStreamSource(0, vb, 0, 12);
    }
    EXPECT_EQ(vb->Release(), 0u);
}

TEST(SwDeviceRefs, CubeFacesAreSubObjects) {
    SoftwareDevice dev;
    IDirect3DCubeTexture9* cube = nullptr;
    ASSERT_EQ(D3DXCreateCubeTexture(&dev, 8, 1, D3DUSAGE_RENDERTARGET, D3DFMT_A8R8G8B8,
                                    D3DPOOL_DEFAULT, &cube),
              S_OK);
    IDirect3DSurface9* below = nullptr;
    ASSERT_EQ(cube->GetCubeMapSurface(D3DCUBEMAP_FACE_NEGATIVE_Y, 0, &below), S_OK);
    EXPECT_EQ(dev.live_objects(), (std::vector<std::string>{"CubeTexture#1", "Surface#5"}));
    IDirect3DSurface9* face = below;
    EXPECT_EQ(cube->GetCubeMapSurface(static_cast<D3DCUBEMAP_FACES>(6), 0, &face),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(face, nullptr);
    ASSERT_EQ(cube->GetCubeMapSurface(D3DCUBEMAP_FACE_POSITIVE_X, 0, &face), S_OK);
    EXPECT_EQ(dev.SetRenderTarget(0, face), S_OK);
    D3DVIEWPORT9 vp{};
    dev.GetViewport(&vp);
    EXPECT_EQ(vp.Width, 8u);
    face->Release();
    below->Release();
    cube->Release();
    EXPECT_EQ(dev.live_object_count(), 0u);
    dev.SetRenderTarget(0, dev.back_buffer());
    EXPECT_EQ(refs(&dev), 1u);
}

TEST(SwDeviceCreate, RejectsWhatD3D9Rejects) {
    SoftwareDevice dev;
    dev.set_max_texture_size(256);
    IDirect3DTexture9* tex = reinterpret_cast<IDirect3DTexture9*>(&dev);
    EXPECT_EQ(dev.CreateTexture(0, 8, 1, 1, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &tex, nullptr),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(tex, nullptr);
    EXPECT_EQ(dev.CreateTexture(257, 8, 1, 1, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &tex, nullptr),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.CreateTexture(256, 256, 1, 1, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &tex, nullptr),
              S_OK);
    tex->Release();
    // Render targets live in the default pool only; a mip chain has a limit.
    EXPECT_EQ(dev.CreateTexture(8, 8, 1, 1, D3DFMT_X8R8G8B8, D3DPOOL_MANAGED, &tex, nullptr),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.CreateTexture(8, 8, 5, 0, D3DFMT_X8R8G8B8, D3DPOOL_MANAGED, &tex, nullptr),
              D3DERR_INVALIDCALL);
    ASSERT_EQ(dev.CreateTexture(8, 2, 0, 0, D3DFMT_A8R8G8B8, D3DPOOL_MANAGED, &tex, nullptr), S_OK);
    EXPECT_EQ(tex->GetLevelCount(), 4u);
    D3DSURFACE_DESC d{};
    tex->GetLevelDesc(3, &d);
    EXPECT_EQ(d.Width, 1u);
    EXPECT_EQ(d.Height, 1u);
    tex->Release();
    // Depth formats make depth surfaces, not textures.
    EXPECT_EQ(dev.CreateTexture(8, 8, 1, 1, D3DFMT_D24X8, D3DPOOL_DEFAULT, &tex, nullptr),
              D3DERR_INVALIDCALL);

    IDirect3DSurface9* s = nullptr;
    EXPECT_EQ(dev.CreateDepthStencilSurface(8, 0, D3DFMT_D24X8, D3DMULTISAMPLE_NONE, 0, TRUE, &s,
                                            nullptr),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.CreateDepthStencilSurface(8, 8, D3DFMT_X8R8G8B8, D3DMULTISAMPLE_NONE, 0, TRUE, &s,
                                            nullptr),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(D3DXCreateCubeTexture(&dev, 512, 1, 1, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, nullptr),
              D3DERR_INVALIDCALL);
    IDirect3DCubeTexture9* cube = nullptr;
    EXPECT_EQ(D3DXCreateCubeTexture(&dev, 512, 1, 1, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &cube),
              D3DERR_INVALIDCALL);
    IDirect3DVertexBuffer9* vb = nullptr;
    EXPECT_EQ(dev.CreateVertexBuffer(0, 0, 0, D3DPOOL_MANAGED, &vb, nullptr), D3DERR_INVALIDCALL);
    HANDLE shared = nullptr;
    EXPECT_EQ(dev.CreateVertexBuffer(12, 0, 0, D3DPOOL_MANAGED, &vb, &shared), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.live_object_count(), 0u);
    EXPECT_EQ(refs(&dev), 1u);
}

TEST(SwDeviceCreate, VertexBuffersAndDeclarationsKeepTheirContents) {
    SoftwareDevice dev;
    IDirect3DVertexBuffer9* vb = nullptr;
    ASSERT_EQ(dev.CreateVertexBuffer(24, 0, 0, D3DPOOL_DEFAULT, &vb, nullptr), S_OK);
    void* p = nullptr;
    ASSERT_EQ(vb->Lock(0, 24, &p, 0), S_OK);
    const float v[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(p, v, sizeof v);
    ASSERT_EQ(vb->Unlock(), S_OK);
    EXPECT_EQ(vb->Unlock(), D3DERR_INVALIDCALL);
    ASSERT_EQ(vb->Lock(12, 0, &p, D3DLOCK_READONLY), S_OK);  // 0: to the end
    EXPECT_EQ(static_cast<float*>(p)[2], 6.0f);
    vb->Unlock();
    EXPECT_EQ(vb->Lock(12, 16, &p, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(p, nullptr);
    vb->Release();

    const D3DVERTEXELEMENT9 elements[] = {
        {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0}, D3DDECL_END()};
    IDirect3DVertexDeclaration9* decl = nullptr;
    ASSERT_EQ(dev.CreateVertexDeclaration(elements, &decl), S_OK);
    EXPECT_EQ(dev.SetVertexDeclaration(decl), S_OK);
    decl->Release();
    EXPECT_EQ(dev.live_object_count(), 0u);
}

TEST(SwDevicePixels, SystemMemorySurfacesLockAndReceiveRenderTargetData) {
    SoftwareDevice dev;
    IDirect3DTexture9* tex = make_rt_texture(dev, 4, 2);
    IDirect3DSurface9* level = nullptr;
    tex->GetSurfaceLevel(0, &level);
    // Render targets in the default pool cannot be locked.
    D3DLOCKED_RECT lr{};
    EXPECT_EQ(level->LockRect(&lr, nullptr, 0), D3DERR_INVALIDCALL);

    dev.SetRenderTarget(0, level);
    const D3DRECT right_half = {2, 0, 4, 2};
    dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0x00000010, 1.0f, 0);
    dev.Clear(1, &right_half, D3DCLEAR_TARGET, 0x00A0B0C0, 1.0f, 0);

    IDirect3DSurface9* sys = nullptr;
    ASSERT_EQ(
        dev.CreateOffscreenPlainSurface(4, 2, D3DFMT_X8R8G8B8, D3DPOOL_SYSTEMMEM, &sys, nullptr),
        S_OK);
    ASSERT_EQ(dev.GetRenderTargetData(level, sys), S_OK);
    ASSERT_EQ(sys->LockRect(&lr, nullptr, D3DLOCK_READONLY), S_OK);
    EXPECT_EQ(lr.Pitch, 16);
    const auto* row = static_cast<const uint32_t*>(lr.pBits);
    EXPECT_EQ(row[1] & 0xFFFFFFu, 0x000010u);
    EXPECT_EQ(row[2] & 0xFFFFFFu, 0xA0B0C0u);
    EXPECT_EQ(sys->LockRect(&lr, nullptr, 0), D3DERR_INVALIDCALL);  // already locked
    ASSERT_EQ(sys->UnlockRect(), S_OK);
    const RECT one = {3, 1, 4, 2};
    ASSERT_EQ(sys->LockRect(&lr, &one, 0), S_OK);
    EXPECT_EQ(*static_cast<const uint32_t*>(lr.pBits) & 0xFFFFFFu, 0xA0B0C0u);
    sys->UnlockRect();
    EXPECT_EQ(SoftwareDevice::read_pixels(tex), SoftwareDevice::read_pixels(sys));

    // Size, format and pool must match.
    IDirect3DSurface9* wrong = nullptr;
    dev.CreateOffscreenPlainSurface(4, 3, D3DFMT_X8R8G8B8, D3DPOOL_SYSTEMMEM, &wrong, nullptr);
    EXPECT_EQ(dev.GetRenderTargetData(level, wrong), D3DERR_INVALIDCALL);
    wrong->Release();
    dev.CreateOffscreenPlainSurface(4, 2, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &wrong, nullptr);
    EXPECT_EQ(dev.GetRenderTargetData(level, wrong), D3DERR_INVALIDCALL);
    wrong->Release();
    dev.CreateOffscreenPlainSurface(4, 2, D3DFMT_X8R8G8B8, D3DPOOL_DEFAULT, &wrong, nullptr);
    EXPECT_EQ(dev.GetRenderTargetData(level, wrong), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.GetRenderTargetData(sys, wrong), D3DERR_INVALIDCALL);
    wrong->Release();

    sys->Release();
    level->Release();
    tex->Release();
    dev.SetRenderTarget(0, dev.back_buffer());
    EXPECT_EQ(dev.live_object_count(), 0u);
}

TEST(SwDeviceState, DefaultsAndRenderTargetBinding) {
    SoftwareDevice dev(40, 30);
    DWORD v = 0;
    const std::pair<D3DRENDERSTATETYPE, DWORD> defaults[] = {
        {D3DRS_ZENABLE, 1},  {D3DRS_ZWRITEENABLE, 1}, {D3DRS_ALPHABLENDENABLE, 0},
        {D3DRS_SRCBLEND, 2}, {D3DRS_DESTBLEND, 1},    {D3DRS_CULLMODE, 3},
        {D3DRS_BLENDOP, 1}};
    for (const auto& [state, value] : defaults) {
        ASSERT_EQ(dev.GetRenderState(state, &v), S_OK);
        EXPECT_EQ(v, value) << state;
    }
    dev.SetRenderState(D3DRS_BLENDOP, D3DBLENDOP_MAX);
    dev.GetRenderState(D3DRS_BLENDOP, &v);
    EXPECT_EQ(v, 5u);

    D3DVIEWPORT9 vp{};
    dev.GetViewport(&vp);
    EXPECT_EQ(vp.Width, 40u);
    EXPECT_EQ(vp.Height, 30u);
    EXPECT_EQ(vp.MaxZ, 1.0f);

    IDirect3DTexture9* tex = make_rt_texture(dev, 24, 8);
    IDirect3DSurface9* level = nullptr;
    tex->GetSurfaceLevel(0, &level);
    const D3DVIEWPORT9 strip = {8, 0, 8, 8, 0.0f, 1.0f};
    EXPECT_EQ(dev.SetViewport(&strip), S_OK);
    ASSERT_EQ(dev.SetRenderTarget(0, level), S_OK);
    dev.GetViewport(&vp);  // binding a target covers it whole
    EXPECT_EQ(vp.X, 0u);
    EXPECT_EQ(vp.Width, 24u);
    EXPECT_EQ(vp.Height, 8u);
    ASSERT_EQ(dev.SetViewport(&strip), S_OK);
    const D3DVIEWPORT9 too_wide = {20, 0, 8, 8, 0.0f, 1.0f};
    EXPECT_EQ(dev.SetViewport(&too_wide), D3DERR_INVALIDCALL);
    dev.GetViewport(&vp);
    EXPECT_EQ(vp.X, 8u);

    // Only colour render targets bind as target 0; only depth surfaces as depth.
    IDirect3DSurface9* ds = nullptr;
    dev.CreateDepthStencilSurface(24, 8, D3DFMT_D24X8, D3DMULTISAMPLE_NONE, 0, TRUE, &ds, nullptr);
    EXPECT_EQ(dev.SetRenderTarget(0, ds), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.SetRenderTarget(0, nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.SetRenderTarget(4, level), D3DERR_INVALIDCALL);  // targets 0..3 only
    EXPECT_EQ(dev.SetRenderTarget(1, ds), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.SetDepthStencilSurface(level), D3DERR_INVALIDCALL);
    ASSERT_EQ(dev.SetDepthStencilSurface(ds), S_OK);
    ASSERT_EQ(dev.Clear(0, nullptr, D3DCLEAR_ZBUFFER, 0, 0.25f, 0), S_OK);
    const std::vector<float> depth = SoftwareDevice::read_depth(ds);
    EXPECT_EQ(depth[0], 1.0f);   // left of the viewport strip
    EXPECT_EQ(depth[8], 0.25f);  // inside it
    EXPECT_EQ(depth[16], 1.0f);
    EXPECT_EQ(dev.Clear(0, nullptr, D3DCLEAR_STENCIL, 0, 1.0f, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.Clear(1, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0), D3DERR_INVALIDCALL);

    dev.SetRenderTarget(0, dev.back_buffer());
    dev.SetDepthStencilSurface(dev.depth_buffer());
    ds->Release();
    level->Release();
    tex->Release();
    EXPECT_EQ(refs(&dev), 1u);
}

// Snapshots differ in exactly the items a host changed, named with both
// values; they name what was bound even once it is gone, and floats differ
// by their bits.
TEST(SwDeviceState, SnapshotsNameEachItemThatDiffers) {
    struct Row {
        std::function<void(SoftwareDevice&)> change;
        const char* differences;
    };
    const float plane[4] = {-0.0f, 1, 0.5f, std::numeric_limits<float>::infinity()};
    const float last[4] = {1, 2, 3, 4};
    const Row rows[] = {
        {[](SoftwareDevice& d) { d.SetRenderState(D3DRS_ALPHAREF, 0x3F800000); },
         "RS 24 = 0 (0)  ->  RS 24 = 1065353216 (1)\n"},
        {[](SoftwareDevice& d) {
             IDirect3DSurface9* rt = nullptr;
             d.CreateRenderTarget(64, 64, D3DFMT_X8R8G8B8, D3DMULTISAMPLE_NONE, 0, FALSE, &rt,
                                  nullptr);
             d.SetRenderTarget(3, rt);
             rt->Release();
             d.SetDepthStencilSurface(nullptr);
         },
         "RT3 = null  ->  RT3 = Surface#1\nDS = DepthBuffer  ->  DS = null\n"},
        {[](SoftwareDevice& d) {
             const D3DVIEWPORT9 vp{1, 2, 3, 4, 0.25f, 0.5f};
             const RECT sc{5, 6, 7, 8};
             d.SetViewport(&vp);
             d.SetScissorRect(&sc);
         },
         "Viewport = 0,0,64,64,0,1  ->  Viewport = 1,2,3,4,0.25,0.5\n"
         "Scissor = [0,0,64,64]  ->  Scissor = [5,6,7,8]\n"},
        {[&](SoftwareDevice& d) { d.SetClipPlane(5, plane); },
         "ClipPlane 5 = 0,0,0,0  ->  ClipPlane 5 = -0,1,0.5,inf\n"},
        {[](SoftwareDevice& d) {
             IDirect3DTexture9* t = make_rt_texture(d, 4, 4);
             d.SetTexture(D3DVERTEXTEXTURESAMPLER3, t);
             t->Release();
         },
         "Texture 20 = null  ->  Texture 20 = Texture#1\n"},
        {[](SoftwareDevice& d) {
             IDirect3DVertexBuffer9* vb = nullptr;
             d.CreateVertexBuffer(48, 0, 0, D3DPOOL_MANAGED, &vb, nullptr);
             d.SetStreamSource(15, vb, 4, 12);
             vb->Release();
             d.SetStreamSourceFreq(15, D3DSTREAMSOURCE_INDEXEDDATA | 2);
         },
         "Stream 15 = null,0,0 freq 1  ->  Stream 15 = VertexBuffer#1,4,12 freq 1073741826\n"},
        {[](SoftwareDevice& d) {
             const D3DVERTEXELEMENT9 elements[] = {
                 {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
                 D3DDECL_END()};
             IDirect3DVertexDeclaration9* decl = nullptr;
             d.CreateVertexDeclaration(elements, &decl);
             d.SetVertexDeclaration(decl);
             decl->Release();
             IDirect3DPixelShader9* ps = nullptr;
             d.CreatePixelShader(kPixelShader, &ps);
             d.SetPixelShader(ps);
             ps->Release();
         },
         "Decl = null  ->  Decl = Decl#1\nPS = null  ->  PS = PixelShader#2\n"},
        {[&](SoftwareDevice& d) {
             d.SetVertexShaderConstantF(255, last, 1);
             d.SetPixelShaderConstantF(223, last, 1);
         },
         "VSC 255 = 0,0,0,0  ->  VSC 255 = 1,2,3,4\nPSC 223 = 0,0,0,0  ->  PSC 223 = 1,2,3,4\n"},
        {[](SoftwareDevice& d) { d.SetSoftwareVertexProcessing(TRUE); },
         "SoftwareVertexProcessing = 0  ->  SoftwareVertexProcessing = 1\n"},
    };
    for (const Row& row : rows) {
        SoftwareDevice dev;
        dev.set_creation_flags(D3DCREATE_MIXED_VERTEXPROCESSING);
        const lightvol_sw::StateSnapshot before = dev.state_snapshot();
        row.change(dev);
        const lightvol_sw::StateSnapshot after = dev.state_snapshot();
        EXPECT_EQ(lightvol_sw::describe_differences(before, after), row.differences);
        EXPECT_EQ(lightvol_sw::describe_differences(after, dev.state_snapshot()), "");
    }

    // What was bound is named after it is gone; ignored render states and a
    // limit on the items described.
    SoftwareDevice dev;
    IDirect3DTexture9* t = make_rt_texture(dev, 4, 4);
    dev.SetTexture(0, t);
    t->Release();
    const lightvol_sw::StateSnapshot bound = dev.state_snapshot();
    dev.SetTexture(0, nullptr);
    float ramp[20][4] = {};
    for (int r = 0; r < 20; ++r) ramp[r][0] = float(r + 1);
    dev.SetVertexShaderConstantF(0, ramp[0], 20);
    dev.SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    std::bitset<256> cull;
    cull.set(D3DRS_CULLMODE);
    EXPECT_EQ(lightvol_sw::describe_differences(bound, dev.state_snapshot(), cull, "; ", 2),
              "Texture 0 = Texture#1  ->  Texture 0 = null; "
              "VSC 0 = 0,0,0,0  ->  VSC 0 = 1,0,0,0; and 19 more differing items; ");
    // The listing shows every item the same way.
    const std::vector<std::string> lines = dev.state_lines();
    ASSERT_EQ(lines.size(), lightvol_sw::StateSnapshot::kItems);
    EXPECT_EQ(lines[D3DRS_CULLMODE], "RS 22 = 1 (1.4013e-45)");
    EXPECT_EQ(lines.back(), "SoftwareVertexProcessing = 0");
}

TEST(SwDeviceState, DrawsAreValidatedAgainstSceneAndStreams) {
    SoftwareDevice dev;
    IDirect3DVertexBuffer9* vb = nullptr;
    dev.CreateVertexBuffer(36, 0, 0, D3DPOOL_MANAGED, &vb, nullptr);
    const D3DVERTEXELEMENT9 elements[] = {
        {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0}, D3DDECL_END()};
    IDirect3DVertexDeclaration9* decl = nullptr;
    dev.CreateVertexDeclaration(elements, &decl);
    dev.SetVertexDeclaration(decl);
    dev.SetStreamSource(0, vb, 0, 12);

    EXPECT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, 1), D3DERR_INVALIDCALL);  // no scene
    ASSERT_EQ(dev.BeginScene(), S_OK);
    EXPECT_EQ(dev.BeginScene(), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, 1), S_OK);
    EXPECT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 1, 1), D3DERR_INVALIDCALL);  // past the end
    EXPECT_EQ(dev.DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, 3, 0, 1), D3DERR_INVALIDCALL);
    // A locked stream is refused as misuse, as is a second lock and the last
    // release of a locked buffer.
    void* data = nullptr;
    ASSERT_EQ(vb->Lock(0, 0, &data, 0), S_OK);
    EXPECT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(vb->Lock(0, 0, &data, 0), S_OK);
    EXPECT_EQ(vb->Unlock(), S_OK);
    EXPECT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, 1), D3DERR_INVALIDCALL);  // still locked
    EXPECT_EQ(vb->Unlock(), S_OK);
    EXPECT_EQ(vb->Unlock(), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, 1), S_OK);
    dev.SetStreamSource(0, nullptr, 0, 0);
    EXPECT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, 1), D3DERR_INVALIDCALL);
    ASSERT_EQ(dev.EndScene(), S_OK);
    EXPECT_EQ(dev.EndScene(), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.draw_calls(), 2u);
    decl->Release();
    vb->Lock(0, 0, &data, 0);
    vb->AddRef();
    vb->Release();  // not the last reference
    vb->Release();
    EXPECT_EQ(dev.misuses(),
              (std::vector<std::string>{"draw from VertexBuffer#1 while it is locked",
                                        "VertexBuffer#1 locked while locked",
                                        "draw from VertexBuffer#1 while it is locked",
                                        "VertexBuffer#1 released while locked"}));
}

// Shader objects: bytecode the device cannot validate is refused; bound
// shaders are held by the device like other bindings; constants are checked
// against the 256 registers of vs_2_0.
TEST(SwDeviceShaders, CreationBindingAndConstants) {
    // kPixelShader with an opcode the device does not run (texld), and as a
    // vertex program.
    const DWORD* pixel = kPixelShader;
    DWORD unsupported[11];
    std::copy(std::begin(kPixelShader), std::end(kPixelShader), unsupported);
    unsupported[7] = 0x03000042;
    SoftwareDevice dev;
    IDirect3DPixelShader9* ps = nullptr;
    IDirect3DVertexShader9* vs = nullptr;
    EXPECT_EQ(dev.CreatePixelShader(unsupported, &ps), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.CreateVertexShader(pixel, &vs), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.CreatePixelShader(nullptr, &ps), D3DERR_INVALIDCALL);
    EXPECT_EQ(vs, nullptr);
    ASSERT_EQ(dev.CreatePixelShader(pixel, &ps), S_OK);
    EXPECT_EQ(dev.calls().back(), "CreatePixelShader(ps_2_0)");
    EXPECT_EQ(dev.live_object_count(), 1u);

    ASSERT_EQ(dev.SetPixelShader(ps), S_OK);
    EXPECT_EQ(refs(ps), 1u);
    IDirect3DPixelShader9* got = nullptr;
    ASSERT_EQ(dev.GetPixelShader(&got), S_OK);
    EXPECT_EQ(got, ps);
    EXPECT_EQ(refs(ps), 2u);
    got->Release();
    ps->Release();  // still bound: alive for the device, gone for the host
    EXPECT_EQ(dev.live_object_count(), 0u);
    EXPECT_EQ(dev.SetPixelShader(nullptr), S_OK);
    EXPECT_EQ(dev.GetPixelShader(&got), S_OK);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(dev.over_releases(), 0);

    float values[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(dev.SetVertexShaderConstantF(254, values, 2), S_OK);
    EXPECT_EQ(dev.SetVertexShaderConstantF(255, values, 2), D3DERR_INVALIDCALL);
    EXPECT_EQ(dev.calls().back(), "SetVertexShaderConstantF(255,2) -> FAILED");
    float back[8] = {};
    EXPECT_EQ(dev.GetVertexShaderConstantF(254, back, 2), S_OK);
    EXPECT_EQ(0, std::memcmp(back, values, sizeof values));
    EXPECT_EQ(dev.GetVertexShaderConstantF(0, nullptr, 1), D3DERR_INVALIDCALL);
}

// IDirect3DDevice9::BeginStateBlock records the object bindings too: the
// setters are accepted while recording and change nothing; Capture takes the
// device's objects (held by the block until it goes) and Apply binds them.
TEST(SwDeviceState, StateBlocksRecordObjectBindings) {
    const DWORD pixel[] = {0xFFFF0200, 0x05000051, 0xA00F0000, 0x3F800000, 0,
                           0,          0,          0x02000001, 0x800F0800, 0xA0E40000,
                           0x0000FFFF};
    SoftwareDevice dev;
    dev.set_strict(true);
    IDirect3DVertexBuffer9* vb = nullptr;
    ASSERT_EQ(dev.CreateVertexBuffer(48, 0, 0, D3DPOOL_MANAGED, &vb, nullptr), S_OK);
    const D3DVERTEXELEMENT9 elements[] = {
        {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0}, D3DDECL_END()};
    IDirect3DVertexDeclaration9* decl = nullptr;
    ASSERT_EQ(dev.CreateVertexDeclaration(elements, &decl), S_OK);
    IDirect3DPixelShader9* ps = nullptr;
    ASSERT_EQ(dev.CreatePixelShader(pixel, &ps), S_OK);

    ASSERT_EQ(dev.BeginStateBlock(), S_OK);
    EXPECT_EQ(dev.SetStreamSource(0, vb, 0, 12), S_OK);
    EXPECT_EQ(dev.SetVertexDeclaration(decl), S_OK);
    EXPECT_EQ(dev.SetIndices(nullptr), S_OK);
    EXPECT_EQ(dev.SetVertexShader(nullptr), S_OK);
    EXPECT_EQ(dev.SetPixelShader(ps), S_OK);
    IDirect3DStateBlock9* block = nullptr;
    ASSERT_EQ(dev.EndStateBlock(&block), S_OK);
    const std::vector<std::string> unbound = dev.state_lines();

    // The host's bindings, captured; the block holds them.
    dev.SetStreamSource(0, vb, 12, 12);
    dev.SetVertexDeclaration(decl);
    dev.SetPixelShader(ps);
    const std::vector<std::string> host = dev.state_lines();
    ASSERT_NE(host, unbound);
    ASSERT_EQ(block->Capture(), S_OK);
    dev.SetStreamSource(0, nullptr, 0, 0);
    dev.SetVertexDeclaration(nullptr);
    dev.SetPixelShader(nullptr);
    EXPECT_EQ(dev.state_lines(), unbound);
    vb->Release();
    decl->Release();
    ps->Release();
    EXPECT_EQ(dev.live_object_count(), 1u);  // the block alone
    ASSERT_EQ(block->Apply(), S_OK);
    EXPECT_EQ(dev.state_lines(), host);

    dev.SetStreamSource(0, nullptr, 0, 0);
    dev.SetVertexDeclaration(nullptr);
    dev.SetPixelShader(nullptr);
    EXPECT_EQ(block->Release(), 0u);
    EXPECT_EQ(dev.live_object_count(), 0u);
    EXPECT_EQ(dev.over_releases(), 0);
    EXPECT_TRUE(dev.misuses().empty());
}
