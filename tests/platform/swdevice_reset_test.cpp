// The software device's two kinds: a plain Direct3D 9 device and a 9Ex one
// (no managed pool; Reset and ResetEx keep default-pool resources and state).
#include <gtest/gtest.h>

#include <functional>

#include "platform/software/software_device.h"

using lightvol_sw::SoftwareDevice;

namespace {

struct Creation {
    const char* what;
    std::function<HRESULT(SoftwareDevice&, D3DPOOL, IUnknown**)> make;
};

const Creation kCreations[] = {
    {"texture",
     [](SoftwareDevice& d, D3DPOOL pool, IUnknown** out) {
         IDirect3DTexture9* t = nullptr;
         const HRESULT hr = d.CreateTexture(4, 4, 1, 0, D3DFMT_X8R8G8B8, pool, &t, nullptr);
         *out = t;
         return hr;
     }},
    {"vertex buffer",
     [](SoftwareDevice& d, D3DPOOL pool, IUnknown** out) {
         IDirect3DVertexBuffer9* vb = nullptr;
         const HRESULT hr = d.CreateVertexBuffer(48, 0, 0, pool, &vb, nullptr);
         *out = vb;
         return hr;
     }},
    {"cube texture",
     [](SoftwareDevice& d, D3DPOOL pool, IUnknown** out) {
         IDirect3DCubeTexture9* c = nullptr;
         const HRESULT hr = D3DXCreateCubeTexture(&d, 4, 1, 0, D3DFMT_X8R8G8B8, pool, &c);
         *out = c;
         return hr;
     }},
};

TEST(SwDeviceKinds, OnlyAPlainDeviceHasTheManagedPool) {
    for (const bool ex : {false, true}) {
        for (const Creation& c : kCreations) {
            SoftwareDevice dev;
            dev.set_ex_mode(ex);
            for (const D3DPOOL pool : {D3DPOOL_MANAGED, D3DPOOL_DEFAULT, D3DPOOL_SYSTEMMEM}) {
                IUnknown* object = nullptr;
                const HRESULT hr = c.make(dev, pool, &object);
                const bool refused = ex && pool == D3DPOOL_MANAGED;
                EXPECT_EQ(hr, refused ? D3DERR_INVALIDCALL : S_OK)
                    << c.what << " in pool " << pool << (ex ? " on 9Ex" : " on plain");
                EXPECT_EQ(object == nullptr, refused) << c.what;
                if (object) object->Release();
            }
            EXPECT_EQ(dev.live_object_count(), 0u);
        }
    }
}

TEST(SwDeviceKinds, OnlyAnAnsweringExDeviceAnswersTheExQuery) {
    struct Case {
        bool ex;
        bool answers;
    };
    for (const Case c : {Case{false, true}, Case{true, true}, Case{true, false}}) {
        SoftwareDevice dev;
        dev.set_ex_mode(c.ex, c.answers);
        void* out = &dev;
        const HRESULT hr = dev.QueryInterface(IID_IDirect3DDevice9Ex, &out);
        const bool answered = c.ex && c.answers;
        EXPECT_EQ(hr, answered ? S_OK : E_NOINTERFACE);
        EXPECT_EQ(out, answered ? static_cast<void*>(&dev) : nullptr);
        EXPECT_EQ(SoftwareDevice::ref_count(&dev), answered ? 2u : 1u);
        if (answered) dev.Release();
        const IID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
        EXPECT_EQ(dev.QueryInterface(other, &out), E_NOINTERFACE);
        EXPECT_TRUE(dev.calls().empty());
    }
}

TEST(SwDeviceKinds, ResetRules) {
    struct Case {
        bool ex;
        bool ex_call;
        bool resource_alive;  // a default-pool surface held by the host
        HRESULT expected;
    };
    const Case cases[] = {
        {false, false, true, D3DERR_INVALIDCALL}, {false, false, false, S_OK},
        {false, true, false, D3DERR_INVALIDCALL}, {true, false, true, S_OK},
        {true, true, true, S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.ex ? "9Ex " : "plain ")
                                        << (c.ex_call ? "ResetEx" : "Reset")
                                        << (c.resource_alive ? " with a resource alive" : ""));
        SoftwareDevice dev(32, 16);
        dev.set_ex_mode(c.ex);
        IDirect3DTexture9* target = nullptr;
        ASSERT_EQ(dev.CreateTexture(8, 8, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8,
                                    D3DPOOL_DEFAULT, &target, nullptr),
                  S_OK);
        IDirect3DSurface9* level = nullptr;
        target->GetSurfaceLevel(0, &level);
        target->Release();  // the level keeps the texture alive
        IDirect3DVertexBuffer9* vb = nullptr;
        dev.CreateVertexBuffer(48, 0, 0, D3DPOOL_SYSTEMMEM, &vb, nullptr);
        dev.SetRenderTarget(0, level);
        dev.SetStreamSource(0, vb, 0, 12);
        if (!c.resource_alive) {
            dev.SetRenderTarget(0, dev.back_buffer());
            level->Release();
            level = nullptr;
        }
        const D3DVIEWPORT9 host{1, 2, 4, 4, 0.25f, 0.75f};
        dev.SetViewport(&host);
        dev.clear_calls();
        const HRESULT hr = c.ex_call ? dev.reset_ex() : dev.reset();
        EXPECT_EQ(hr, c.expected);
        EXPECT_EQ(dev.calls(), std::vector<std::string>{std::string(c.ex_call ? "ResetEx()"
                                                                              : "Reset()") +
                                                        (FAILED(hr) ? " -> FAILED" : "")});

        IDirect3DSurface9* rt = nullptr;
        dev.GetRenderTarget(0, &rt);
        D3DVIEWPORT9 vp{};
        dev.GetViewport(&vp);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(rt, dev.back_buffer());
            EXPECT_EQ(vp.Width, 32u);
            EXPECT_EQ(vp.Height, 16u);
            // A 9Ex device keeps the depth range and the other state.
            EXPECT_EQ(vp.MinZ, c.ex ? 0.25f : 0.0f);
            EXPECT_EQ(vp.MaxZ, c.ex ? 0.75f : 1.0f);
            dev.SetStreamSource(0, nullptr, 0, 0);
        } else {
            // A refused reset changes nothing.
            EXPECT_EQ(rt, c.resource_alive ? level : dev.back_buffer());
            EXPECT_EQ(vp.X, 1u);
        }
        if (rt) rt->Release();
        dev.SetRenderTarget(0, dev.back_buffer());
        dev.SetStreamSource(0, nullptr, 0, 0);
        if (level) level->Release();
        vb->Release();
        EXPECT_EQ(dev.live_object_count(), 0u);
    }
}

}  // namespace

// What each kind of device has and refuses: its caps, the getters a pure
// device refuses, the targets and samplers it lacks. Strict mode reports each
// refusal (but not a D3DERR_NOTFOUND answer) as a misuse.
TEST(SwDeviceKinds, CapsSayWhatTheDeviceHasAndItRefusesTheRest) {
    struct Probe {
        const char* name;
        std::function<HRESULT(SoftwareDevice&)> call;
    };
    static float values[4];
    static IDirect3DBaseTexture9* texture;
    static IDirect3DSurface9* surface;
    static IDirect3DVertexBuffer9* vb;
    static IUnknown* any;
    static UINT u;
    static DWORD d;
    static RECT r;
    static D3DVIEWPORT9 vp;
    auto out = [](auto** p) {
        if (*p) (*p)->Release();
        *p = nullptr;
    };
    const Probe probes[] = {
        {"GetRenderState",
         [](SoftwareDevice& dev) { return dev.GetRenderState(D3DRS_ZENABLE, &d); }},
        {"GetScissorRect", [](SoftwareDevice& dev) { return dev.GetScissorRect(&r); }},
        {"GetClipPlane", [](SoftwareDevice& dev) { return dev.GetClipPlane(0, values); }},
        {"GetStreamSourceFreq", [](SoftwareDevice& dev) { return dev.GetStreamSourceFreq(0, &u); }},
        {"GetVertexShaderConstantF",
         [](SoftwareDevice& dev) { return dev.GetVertexShaderConstantF(0, values, 1); }},
        {"GetPixelShaderConstantF",
         [](SoftwareDevice& dev) { return dev.GetPixelShaderConstantF(0, values, 1); }},
        {"GetViewport", [](SoftwareDevice& dev) { return dev.GetViewport(&vp); }},
        {"GetStreamSource",
         [](SoftwareDevice& dev) { return dev.GetStreamSource(0, &vb, &u, &u); }},
        {"GetIndices",
         [](SoftwareDevice& dev) {
             return dev.GetIndices(reinterpret_cast<IDirect3DIndexBuffer9**>(&any));
         }},
        {"GetVertexDeclaration",
         [](SoftwareDevice& dev) {
             return dev.GetVertexDeclaration(reinterpret_cast<IDirect3DVertexDeclaration9**>(&any));
         }},
        {"GetVertexShader",
         [](SoftwareDevice& dev) {
             return dev.GetVertexShader(reinterpret_cast<IDirect3DVertexShader9**>(&any));
         }},
        {"GetPixelShader",
         [](SoftwareDevice& dev) {
             return dev.GetPixelShader(reinterpret_cast<IDirect3DPixelShader9**>(&any));
         }},
        {"GetRenderTarget(0)",
         [](SoftwareDevice& dev) { return dev.GetRenderTarget(0, &surface); }},
        {"GetRenderTarget(1)",
         [](SoftwareDevice& dev) { return dev.GetRenderTarget(1, &surface); }},
        {"GetRenderTarget(3)",
         [](SoftwareDevice& dev) { return dev.GetRenderTarget(3, &surface); }},
        {"SetRenderTarget(1)",
         [](SoftwareDevice& dev) { return dev.SetRenderTarget(1, nullptr); }},
        {"GetTexture(15)", [](SoftwareDevice& dev) { return dev.GetTexture(15, &texture); }},
        {"GetTexture(dmap)",
         [](SoftwareDevice& dev) { return dev.GetTexture(D3DDMAPSAMPLER, &texture); }},
        {"SetTexture(dmap)",
         [](SoftwareDevice& dev) { return dev.SetTexture(D3DDMAPSAMPLER, nullptr); }},
        {"GetTexture(vertex 3)",
         [](SoftwareDevice& dev) { return dev.GetTexture(D3DVERTEXTEXTURESAMPLER3, &texture); }},
        {"SetTexture(vertex 0)",
         [](SoftwareDevice& dev) { return dev.SetTexture(D3DVERTEXTEXTURESAMPLER0, nullptr); }},
    };
    struct Kind {
        const char* name;
        std::function<void(SoftwareDevice&)> make;
        DWORD targets;
        DWORD vertex_shader;
        DWORD dev_caps2;
        std::vector<std::string> refused;
    };
    const Kind kinds[] = {
        {"default", [](SoftwareDevice&) {}, 4, D3DVS_VERSION(3, 0), D3DDEVCAPS2_DMAPNPATCH, {}},
        {"pure",
         [](SoftwareDevice& dev) {
             dev.set_creation_flags(D3DCREATE_PUREDEVICE | D3DCREATE_HARDWARE_VERTEXPROCESSING);
         },
         4,
         D3DVS_VERSION(3, 0),
         D3DDEVCAPS2_DMAPNPATCH,
         {"GetRenderState", "GetScissorRect", "GetClipPlane", "GetStreamSourceFreq",
          "GetVertexShaderConstantF", "GetPixelShaderConstantF"}},
        {"one render target", [](SoftwareDevice& dev) { dev.set_render_target_count(1); }, 1,
         D3DVS_VERSION(3, 0), D3DDEVCAPS2_DMAPNPATCH,
         {"GetRenderTarget(1)", "GetRenderTarget(3)", "SetRenderTarget(1)"}},
        {"two render targets", [](SoftwareDevice& dev) { dev.set_render_target_count(2); }, 2,
         D3DVS_VERSION(3, 0), D3DDEVCAPS2_DMAPNPATCH, {"GetRenderTarget(3)"}},
        {"no vertex textures, no displacement map",
         [](SoftwareDevice& dev) {
             dev.set_vertex_textures(false);
             dev.set_displacement_map(false);
         },
         4,
         D3DVS_VERSION(2, 0),
         0,
         {"GetTexture(dmap)", "SetTexture(dmap)", "GetTexture(vertex 3)", "SetTexture(vertex 0)"}},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        SoftwareDevice dev;
        kind.make(dev);
        D3DCAPS9 caps{};
        ASSERT_EQ(dev.GetDeviceCaps(&caps), S_OK);
        EXPECT_EQ(caps.NumSimultaneousRTs, kind.targets);
        EXPECT_EQ(caps.VertexShaderVersion, kind.vertex_shader);
        EXPECT_EQ(caps.DevCaps2, kind.dev_caps2);
        EXPECT_EQ(caps.MaxVertexShaderConst, 256u);
        dev.set_strict(true);
        std::vector<std::string> refused;
        for (const Probe& probe : probes) {
            const HRESULT hr = probe.call(dev);
            out(&texture);
            out(&surface);
            out(&vb);
            out(&any);
            // Nothing is bound at targets 1..3: an answer, not a refusal.
            if (hr == D3DERR_INVALIDCALL) refused.push_back(probe.name);
            else EXPECT_TRUE(hr == S_OK || hr == D3DERR_NOTFOUND) << probe.name;
        }
        EXPECT_EQ(refused, kind.refused);
        EXPECT_EQ(dev.misuses().size(), kind.refused.size());
        dev.clear_misuses();
    }
}
