// What the software device draws: coverage, culling, blending, clipping and
// the light effect's shaders.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/software/software_device.h"

using lightvol_sw::SoftwareDevice;

namespace {

// Passes (x, y, z) through as a clip-space position with w = 1.
class PassThroughVS final : public lightvol_sw::VertexShader {
public:
    bool begin_draw(const lightvol_sw::ParameterSource&) override { return true; }
    void run(const float in[4], lightvol_sw::VertexOutput& out) const override {
        out.position[0] = in[0];
        out.position[1] = in[1];
        out.position[2] = in[2];
        out.position[3] = 1.0f;
        out.varyings[0] = in[0];
    }
    int varying_count() const override { return 1; }
};

// Outputs the effect parameter "color".
class ColorPS final : public lightvol_sw::PixelShader {
public:
    bool begin_draw(const lightvol_sw::ParameterSource& params) override {
        size_t n = 0;
        color_ = params.parameter("color", &n);
        return color_ && n == 4;
    }
    void run(const float*, float color[4]) const override {
        std::memcpy(color, color_, 4 * sizeof(float));
    }

private:
    const float* color_ = nullptr;
};

const D3DVERTEXELEMENT9 kPositionOnly[] = {
    {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0}, D3DDECL_END()};

const char kFlatEffect[] =
    "float4 color;\n"
    "float4 Pass(float3 p : POSITION) : POSITION { return float4(p, 1); }\n"
    "float4 Flat() : COLOR { return color; }\n"
    "technique Flat { pass P0 { VertexShader = compile vs_2_0 Pass(); "
    "PixelShader = compile ps_2_0 Flat(); } }\n";

struct Vertex {
    float x, y, z;
};

// A render-target texture bound on a device, a vertex buffer, the
// position-only declaration and an effect pass, inside a scene.
class RasterTest : public ::testing::Test {
protected:
    void SetUp() override { set_up(target_width(), 8, kFlatEffect); }
    virtual UINT target_width() const { return 8; }

    void set_up(UINT w, UINT h, const char* effect_text) {
        dev.register_vertex_shader("Pass", std::make_shared<PassThroughVS>());
        dev.register_pixel_shader("Flat", std::make_shared<ColorPS>());
        ASSERT_EQ(dev.CreateTexture(w, h, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8,
                                    D3DPOOL_DEFAULT, &target, nullptr),
                  S_OK);
        target->GetSurfaceLevel(0, &surface);
        dev.SetRenderTarget(0, surface);
        dev.SetRenderState(D3DRS_ZENABLE, 0);
        dev.SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
        dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
        dev.CreateVertexBuffer(12 * 600, 0, 0, D3DPOOL_MANAGED, &vb, nullptr);
        dev.CreateVertexDeclaration(kPositionOnly, &decl);
        dev.SetVertexDeclaration(decl);
        dev.SetStreamSource(0, vb, 0, 12);
        ASSERT_EQ(D3DXCreateEffect(&dev, effect_text, static_cast<UINT>(std::strlen(effect_text)),
                                   nullptr, nullptr, 0, nullptr, &fx, nullptr),
                  S_OK);
        UINT passes = 0;
        fx->Begin(&passes, 0);
        fx->BeginPass(0);
        dev.BeginScene();
    }

    void TearDown() override {
        dev.EndScene();
        fx->EndPass();
        fx->End();
        fx->Release();
        dev.SetRenderTarget(0, dev.back_buffer());
        decl->Release();
        vb->Release();
        surface->Release();
        target->Release();
        EXPECT_EQ(dev.live_object_count(), 0u);
        EXPECT_EQ(SoftwareDevice::ref_count(&dev), 1u);
    }

    void set_color(float r, float g, float b, float a = 1.0f) {
        const float c[4] = {r, g, b, a};
        fx->SetFloatArray("color", c, 4);
        fx->CommitChanges();
    }

    // Draws triangles given in screen pixels of a w by h viewport at (0, 0).
    void draw_screen(std::initializer_list<Vertex> screen, float w = 8, float h = 8) {
        std::vector<Vertex> clip;
        for (const Vertex& v : screen) clip.push_back({v.x / (w / 2) - 1, 1 - v.y / (h / 2), v.z});
        draw_clip(clip);
    }

    void draw_clip(const std::vector<Vertex>& clip) {
        void* p = nullptr;
        ASSERT_EQ(vb->Lock(0, 0, &p, 0), S_OK);
        std::memcpy(p, clip.data(), clip.size() * sizeof(Vertex));
        vb->Unlock();
        ASSERT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, static_cast<UINT>(clip.size() / 3)),
                  S_OK);
    }

    // A rectangle from (x0, y0) to (x1, y1) in screen pixels, as two clockwise
    // triangles sharing the diagonal.
    void draw_rect(float x0, float y0, float x1, float y1) {
        draw_screen({{x0, y0, 0.5f},
                     {x1, y0, 0.5f},
                     {x1, y1, 0.5f},
                     {x0, y0, 0.5f},
                     {x1, y1, 0.5f},
                     {x0, y1, 0.5f}});
    }

    uint32_t rgb(UINT x, UINT y) const {
        return SoftwareDevice::read_pixel(surface, x, y) & 0xFFFFFFu;
    }

    // The texels as a picture: '.' for black, '#' otherwise.
    std::string picture() const {
        D3DSURFACE_DESC d{};
        surface->GetDesc(&d);
        std::string out;
        for (UINT y = 0; y < d.Height; ++y) {
            for (UINT x = 0; x < d.Width; ++x)
                out += rgb(x, y) ? (rgb(x, y) == 1 ? '1' : '#') : '.';
            out += '\n';
        }
        return out;
    }

    SoftwareDevice dev{16, 16};
    IDirect3DTexture9* target = nullptr;
    IDirect3DSurface9* surface = nullptr;
    IDirect3DVertexBuffer9* vb = nullptr;
    IDirect3DVertexDeclaration9* decl = nullptr;
    ID3DXEffect* fx = nullptr;
};

}  // namespace

TEST_F(RasterTest, PixelsAreSampledAtIntegerPositionsWithTheTopLeftRule) {
    // Additive blending of 1/255 counts how often each pixel is hit.
    dev.SetRenderState(D3DRS_ALPHABLENDENABLE, 1);
    dev.SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ONE);
    dev.SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ONE);
    set_color(0, 0, 1.0f / 255);

    // Edges on integer positions: left and top edges are in, right and bottom out.
    draw_rect(2, 1, 6, 5);
    EXPECT_EQ(picture(),
              "........\n"
              "..1111..\n"
              "..1111..\n"
              "..1111..\n"
              "..1111..\n"
              "........\n"
              "........\n"
              "........\n");
    EXPECT_EQ(dev.pixels_shaded(), 16u);

    // Half-way edges: the pixel at 1.5 is outside, the one at 5.5 inside
    // (Direct3D 10 would take 1 and leave 5).
    dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    draw_rect(1.5f, 0.5f, 5.5f, 2.5f);
    EXPECT_EQ(picture(),
              "........\n"
              "..1111..\n"
              "..1111..\n"
              "........\n"
              "........\n"
              "........\n"
              "........\n"
              "........\n");

    // The whole target, drawn as two triangles: every pixel exactly once,
    // none twice along the shared diagonal.
    dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    draw_clip(
        {{-1, 1, 0.5f}, {1, 1, 0.5f}, {1, -1, 0.5f}, {-1, 1, 0.5f}, {1, -1, 0.5f}, {-1, -1, 0.5f}});
    std::string all_once;
    for (int row = 0; row < 8; ++row) all_once += "11111111\n";
    EXPECT_EQ(picture(), all_once);
}

TEST_F(RasterTest, CullModeDiscardsByScreenWinding) {
    set_color(1, 1, 1);
    const std::initializer_list<Vertex> clockwise = {{0, 0, 0.5f}, {8, 0, 0.5f}, {8, 8, 0.5f}};
    const std::initializer_list<Vertex> counter = {{0, 0, 0.5f}, {0, 8, 0.5f}, {8, 8, 0.5f}};

    dev.SetRenderState(D3DRS_CULLMODE, D3DCULL_CCW);
    draw_screen(clockwise);
    draw_screen(counter);
    EXPECT_EQ(rgb(7, 1), 0xFFFFFFu);
    EXPECT_EQ(rgb(1, 7), 0u);

    dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    dev.SetRenderState(D3DRS_CULLMODE, D3DCULL_CW);
    draw_screen(clockwise);
    draw_screen(counter);
    EXPECT_EQ(rgb(7, 1), 0u);
    EXPECT_EQ(rgb(1, 7), 0xFFFFFFu);

    dev.SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
    draw_screen(clockwise);
    EXPECT_EQ(rgb(7, 1), 0xFFFFFFu);
    EXPECT_EQ(dev.triangles_rasterized(), 3u);
}

TEST_F(RasterTest, BlendOperationsClampingAndRounding) {
    auto draw_full = [&] { draw_rect(0, 0, 8, 8); };

    // Without blending the colour is clamped to 0..1 and rounded to nearest.
    set_color(1.5f, 0.5f, 0.2f);
    draw_full();
    EXPECT_EQ(rgb(3, 3), 0xFF8033u);  // 255, 127.5 -> 128, 51
    set_color(-0.5f, 100.0f / 255, 0.499f / 255);
    draw_full();
    EXPECT_EQ(rgb(3, 3), 0x006400u);

    dev.SetRenderState(D3DRS_ALPHABLENDENABLE, 1);
    dev.SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ONE);
    dev.SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ONE);
    dev.SetRenderState(D3DRS_BLENDOP, D3DBLENDOP_MAX);
    set_color(0.8f, 0.1f, -2.0f);
    draw_full();
    EXPECT_EQ(rgb(3, 3), 0xCC6400u);  // per channel max; negative leaves it

    dev.SetRenderState(D3DRS_BLENDOP, D3DBLENDOP_MIN);
    set_color(0.5f, 0.5f, 0.5f);
    draw_full();
    EXPECT_EQ(rgb(3, 3), 0x806400u);

    dev.SetRenderState(D3DRS_BLENDOP, D3DBLENDOP_ADD);
    set_color(0.9f, 0.2f, 1.0f / 255);
    draw_full();
    EXPECT_EQ(rgb(3, 3), 0xFF9701u);  // 128 + 229.5 saturates; 100 + 51; 0 + 1

    dev.SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ZERO);
    set_color(0.25f, 0, 0);
    draw_full();
    EXPECT_EQ(rgb(3, 3), 0x400000u);
}

TEST_F(RasterTest, ParametersReachTheShaderOnlyWhenCommitted) {
    set_color(1, 0, 0);
    const float blue[4] = {0, 0, 1, 1};
    fx->SetFloatArray("color", blue, 4);  // not committed
    draw_rect(0, 0, 8, 8);
    EXPECT_EQ(rgb(0, 0), 0xFF0000u);
    fx->CommitChanges();
    draw_rect(0, 0, 8, 8);
    EXPECT_EQ(rgb(0, 0), 0x0000FFu);
}

class WideRasterTest : public RasterTest {
protected:
    UINT target_width() const override { return 24; }
};

TEST_F(WideRasterTest, ViewportClipsAndGetRenderTargetDataReadsBack) {
    set_color(0, 1, 0);
    const D3DVIEWPORT9 strip = {8, 0, 8, 8, 0.0f, 1.0f};
    dev.SetViewport(&strip);
    // Far larger than the strip on every side.
    draw_clip(
        {{-3, 3, 0.5f}, {3, 3, 0.5f}, {3, -3, 0.5f}, {-3, 3, 0.5f}, {3, -3, 0.5f}, {-3, -3, 0.5f}});

    IDirect3DSurface9* sys = nullptr;
    ASSERT_EQ(
        dev.CreateOffscreenPlainSurface(24, 8, D3DFMT_X8R8G8B8, D3DPOOL_SYSTEMMEM, &sys, nullptr),
        S_OK);
    ASSERT_EQ(dev.GetRenderTargetData(surface, sys), S_OK);
    D3DLOCKED_RECT lr{};
    ASSERT_EQ(sys->LockRect(&lr, nullptr, D3DLOCK_READONLY), S_OK);
    for (UINT y = 0; y < 8; ++y) {
        const auto* row =
            reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(lr.pBits) + y * lr.Pitch);
        for (UINT x = 0; x < 24; ++x) {
            const bool inside = x >= 8 && x < 16;
            EXPECT_EQ(row[x] & 0xFFFFFFu, inside ? 0x00FF00u : 0u) << x << "," << y;
        }
    }
    sys->UnlockRect();
    sys->Release();
}

TEST_F(RasterTest, DepthTestAndClipping) {
    dev.SetRenderState(D3DRS_ZENABLE, 1);
    IDirect3DSurface9* ds = nullptr;
    dev.CreateDepthStencilSurface(8, 8, D3DFMT_D24X8, D3DMULTISAMPLE_NONE, 0, TRUE, &ds, nullptr);
    dev.SetDepthStencilSurface(ds);
    dev.Clear(0, nullptr, D3DCLEAR_ZBUFFER, 0, 1.0f, 0);
    set_color(1, 0, 0);
    draw_rect(0, 0, 8, 8);  // z 0.5
    set_color(0, 1, 0);
    draw_screen({{0, 0, 0.7f}, {8, 0, 0.7f}, {8, 8, 0.7f}});  // behind: hidden
    EXPECT_EQ(rgb(7, 1), 0xFF0000u);
    EXPECT_FLOAT_EQ(SoftwareDevice::read_depth(ds)[1 * 8 + 7], 0.5f);
    // Beyond the far plane: clipped away whatever the depth test says.
    dev.SetRenderState(D3DRS_ZENABLE, 0);
    draw_screen({{0, 0, 1.5f}, {8, 0, 1.5f}, {8, 8, 1.5f}});
    EXPECT_EQ(rgb(7, 1), 0xFF0000u);
    dev.SetDepthStencilSurface(dev.depth_buffer());
    ds->Release();
}

// The light effect's native shaders draw a disc fading from the centre.
TEST(SwDeviceLightEffect, DrawsADiscFadingToTheRim) {
    static const char kLight[] =
        "#define BATCH_NUM 100 \n"
        "float3 light_info[BATCH_NUM]; \nfloat3 light_color[BATCH_NUM]; \nfloat4 world2scr; \n"
        "float4 VS(float3 p : POSITION) : POSITION { return 0; }\n"
        "float4 PS() : COLOR { return 0; }\n"
        "technique Render { pass P0 { VertexShader = compile vs_2_0 VS(); "
        "PixelShader  = compile ps_2_0 PS(); } }";
    SoftwareDevice dev(16, 8);
    ID3DXEffect* fx = nullptr;
    ASSERT_EQ(D3DXCreateEffect(&dev, kLight, sizeof kLight - 1, nullptr, nullptr, 0, nullptr, &fx,
                               nullptr),
              S_OK);
    // Quad 0 and quad 1 of the light mesh, clockwise, z = quad index.
    std::vector<Vertex> mesh;
    for (int q = 0; q < 2; ++q) {
        const float z = static_cast<float>(q);
        mesh.insert(mesh.end(),
                    {{-1, 1, z}, {1, 1, z}, {1, -1, z}, {-1, 1, z}, {1, -1, z}, {-1, -1, z}});
    }
    IDirect3DVertexBuffer9* vb = nullptr;
    dev.CreateVertexBuffer(static_cast<UINT>(mesh.size() * sizeof(Vertex)), 0, 0, D3DPOOL_MANAGED,
                           &vb, nullptr);
    void* p = nullptr;
    vb->Lock(0, 0, &p, 0);
    std::memcpy(p, mesh.data(), mesh.size() * sizeof(Vertex));
    vb->Unlock();
    IDirect3DVertexDeclaration9* decl = nullptr;
    dev.CreateVertexDeclaration(kPositionOnly, &decl);

    dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    dev.SetRenderState(D3DRS_ZENABLE, 0);
    dev.SetRenderState(D3DRS_ALPHABLENDENABLE, 1);
    dev.SetRenderState(D3DRS_BLENDOP, D3DBLENDOP_MAX);
    dev.SetRenderState(D3DRS_SRCBLEND, D3DBLEND_ONE);
    dev.SetRenderState(D3DRS_DESTBLEND, D3DBLEND_ONE);
    dev.SetRenderState(D3DRS_CULLMODE, D3DCULL_CCW);
    dev.SetStreamSource(0, vb, 0, 12);
    dev.SetVertexDeclaration(decl);
    // World x 0..16 and y 0..8 onto the back buffer (y up).
    const float w2s[4] = {8, 4, 1.0f / 8, 1.0f / 4};
    // Light 0: radius 2 at (4, 4); light 1: radius 2 at (12, 4), dimmer.
    const float info[6] = {2, 4, 4, 2, 12, 4};
    const float color[6] = {1, 0.5f, 0.25f, 0.5f, 0.5f, 0.5f};
    UINT passes = 0;
    dev.BeginScene();
    fx->SetTechnique("Render");
    fx->Begin(&passes, 0);
    fx->BeginPass(0);
    fx->SetFloatArray("world2scr", w2s, 4);
    fx->SetFloatArray("light_info", info, 6);
    fx->SetFloatArray("light_color", color, 6);
    fx->CommitChanges();
    ASSERT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, 4), S_OK);
    fx->EndPass();
    fx->End();
    auto rgb = [&](UINT x, UINT y) {
        return SoftwareDevice::read_pixel(dev.back_buffer(), x, y) & 0xFFFFFFu;
    };
    // Screen (4, 4) is world (4, 4): the centre.
    EXPECT_EQ(rgb(4, 4), 0xFF8040u);
    EXPECT_EQ(rgb(5, 4), 0x804020u);  // half way: 0.5, 0.25, 0.125
    EXPECT_EQ(rgb(4, 3), 0x804020u);
    EXPECT_EQ(rgb(6, 4), 0u);         // on the rim
    EXPECT_EQ(rgb(5, 3), 0x4B2513u);  // 1 - sqrt(0.5) = 0.2929
    EXPECT_EQ(rgb(12, 4), 0x808080u);
    EXPECT_EQ(rgb(2, 2), 0u);  // corner of the quad: negative, left alone
    EXPECT_EQ(rgb(8, 4), 0u);

    // End restored the shaders that were bound before Begin (none): the same
    // draw now changes nothing.
    dev.Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    const uint64_t shaded = dev.pixels_shaded();
    ASSERT_EQ(dev.DrawPrimitive(D3DPT_TRIANGLELIST, 0, 4), S_OK);
    EXPECT_EQ(dev.pixels_shaded(), shaded);
    dev.EndScene();

    decl->Release();
    vb->Release();
    fx->Release();
    EXPECT_EQ(dev.live_object_count(), 0u);
}
