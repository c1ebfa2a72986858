// The shipped sampler (docs/sampling.hlsl) on the device: world points drawn
// through its compiled code, one pixel each, against LightSampler
// (tools/sampling) on the same light map read back.
//
// A small scene of lights, some so small that half a texel changes what a
// sample reads, some on the texel points of the volume's edges, is lit and the
// light map read back. Then every point of a list goes to the device in a
// vertex buffer with the pixel it belongs to: the vertex shader computes
// light_map_coord and puts the point on that pixel of an offscreen target,
// the pixel shader returns sample_light_at. The constants and sampler states
// are bound as docs/integration.md's light_frame binds them. The points cover
// the volume, its six sides (on them and just outside), below the lowest and
// above the highest layer, the lights' centres, and whole and half layers.
//
// Tolerance, per point and channel: tools/sampling's sample_tolerance. The
// texels are the read-back ones on both sides, so they add no rounding.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "scenarios.h"
#include "shaders/sampler_points_bytecode.h"
#include "tools/sampling/light_sampler.h"

namespace {

using lightvol_sampling::LightMapPixels;
using lightvol_sampling::LightSampler;
using lightvol_sampling::Rgb;
using lightvol_sampling::TexelPosition;

// One COM reference, released when the scope ends.
template <class T>
struct Held {
    T* p = nullptr;
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        if (p) p->Release();
    }
    T** out() { return &p; }
    void reset() {
        if (p) p->Release();
        p = nullptr;
    }
};

constexpr UINT k_target_width = 64;
constexpr UINT k_light_stage = 4;       // light_frame's kLightMapStage
constexpr UINT k_light_constants = 20;  // light_frame's kLightConstants

// Positions in texel units of the light map: x a column within a layer, y a
// row, z the layer coordinate (the sampler's own units).
struct TexelPoint {
    float x, y, z;
};

// The volume in texel units, from the LightMapInfo of a rendered frame.
struct Volume {
    LightMapInfo info{};
    float map_width = 0;  // texture width: layer width * depth
    float map_height = 0;
    int layer_width = 0;
    int depth = 0;

    Vec3 world(const TexelPoint& t) const {
        return Vec3{info.origin.x - t.x / (map_width * info.scale.x),
                    info.origin.y - t.y / (map_height * info.scale.y),
                    info.origin.z - t.z / info.scale.z};
    }
};

struct SceneLight {
    TexelPoint at;
    float radius_cells;
    Vec3 color;
};

// Small lights on texel points (radius 1.2 cells: the centre texel at full
// colour, its neighbours at a sixth), on the volume's edges and in its
// corners, and larger ones off the grid and between layers for gradients.
std::vector<SceneLight> scene_lights(const Volume& v) {
    const float right = static_cast<float>(v.layer_width - 1);
    const float bottom = v.map_height - 1;
    const float top = static_cast<float>(v.depth - 1);
    return {
        {{2, 3, 1}, 1.2f, {1.0f, 0.2f, 0.0f}},
        {{right, 5, 2}, 1.2f, {0.1f, 1.0f, 0.3f}},
        {{0, bottom, 0}, 1.2f, {0.2f, 0.4f, 1.0f}},
        {{10, 0, top}, 1.2f, {0.9f, 0.9f, 0.9f}},
        {{7, 8, 2}, 1.2f, {0.3f, 0.9f, 0.6f}},
        {{right, bottom, top}, 1.5f, {1.0f, 0.6f, 0.1f}},
        {{13.3f, 9.6f, 2.5f}, 3.0f, {0.8f, 0.4f, 1.0f}},
        {{6, 11, 3}, 6.0f, {0.6f, 0.5f, 0.2f}},
        {{18, 4, 1}, 5.0f, {0.1f, 0.7f, 0.9f}},
        {{20.5f, 13, -0.5f}, 3.0f, {1.0f, 1.0f, 0.3f}},
    };
}

std::vector<TexelPoint> sample_points(const Volume& v, const std::vector<SceneLight>& lights) {
    std::vector<TexelPoint> points;
    const float w = static_cast<float>(v.layer_width);
    const float h = v.map_height;
    const float d = static_cast<float>(v.depth);
    // Around each light's centre in its layer, and straight through it on
    // whole layers, half-way between them, below the lowest and above the
    // highest.
    const float offsets[] = {-1.0f, -0.5f, -0.25f, 0.0f, 0.25f, 0.5f, 1.0f};
    for (const SceneLight& l : lights) {
        for (float dx : offsets)
            for (float dy : offsets) points.push_back({l.at.x + dx, l.at.y + dy, l.at.z});
        for (float z = -1.0f; z <= d; z += 0.5f) points.push_back({l.at.x, l.at.y, z});
    }
    // The six sides: the first and last texel points, the volume's boundary,
    // just outside it and well outside, across the other two axes.
    const float xs[] = {-3, -0.01f, 0, w - 1, w - 0.99f, w, w + 0.01f, w + 3};
    const float ys[] = {-3, -0.01f, 0, h - 1, h - 0.99f, h, h + 0.01f, h + 3};
    const float zs[] = {-3, -0.01f, 0, d - 1, d - 0.99f, d, d + 0.01f, d + 3};
    const float across_x[] = {0.5f, 5.25f, w * 0.5f + 0.3f, w - 1.5f};
    const float across_y[] = {0.5f, 3.4f, h * 0.5f + 0.3f, h - 1.5f};
    const float across_z[] = {0, 1.5f, d - 1};
    for (float x : xs)
        for (float y : across_y)
            for (float z : across_z) points.push_back({x, y, z});
    for (float y : ys)
        for (float x : across_x)
            for (float z : across_z) points.push_back({x, y, z});
    for (float z : zs)
        for (float x : across_x)
            for (float y : across_y) points.push_back({x, y, z});
    // Spread over the volume and a cell beyond it (a fixed sequence).
    uint32_t state = 12345;
    auto next = [&state](float lo, float hi) {
        state = state * 1664525u + 1013904223u;
        return lo + (hi - lo) * static_cast<float>(state >> 8) / 16777216.0f;
    };
    for (int i = 0; i < 500; ++i) {
        const float x = next(-1, w + 1), y = next(-1, h + 1), z = next(-1, d);
        points.push_back({x, y, z});
    }
    return points;
}

DWORD float_bits(float f) {
    DWORD d;
    std::memcpy(&d, &f, sizeof d);
    return d;
}

struct PointVertex {
    float world[3];
    float pixel[2];
};

// Draws the points through the compiled sampler into `target` (one pixel
// each, row by row), with the light map bound as light_frame binds it.
bool draw_points(IDirect3DDevice9* device, const LightMapInfo& info, const std::vector<Vec3>& world,
                 IDirect3DSurface9* target, UINT target_height, Outcome& outcome) {
    Held<IDirect3DVertexShader9> vs;
    Held<IDirect3DPixelShader9> ps;
    Held<IDirect3DVertexDeclaration9> decl;
    Held<IDirect3DVertexBuffer9> vb;
    const D3DVERTEXELEMENT9 elements[] = {
        {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
        {0, 12, D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
        D3DDECL_END()};
    const UINT bytes = static_cast<UINT>(world.size() * sizeof(PointVertex));
    HRESULT hr = device->CreateVertexShader(sampler_points_vs, vs.out());
    if (SUCCEEDED(hr)) hr = device->CreatePixelShader(sampler_points_ps, ps.out());
    if (SUCCEEDED(hr)) hr = device->CreateVertexDeclaration(elements, decl.out());
    if (SUCCEEDED(hr))
        hr = device->CreateVertexBuffer(bytes, D3DUSAGE_WRITEONLY, 0, D3DPOOL_DEFAULT, vb.out(),
                                        nullptr);
    void* data = nullptr;
    if (SUCCEEDED(hr)) hr = vb.p->Lock(0, bytes, &data, 0);
    if (FAILED(hr)) {
        outcome.fail(format("creating the point shaders or vertex buffer failed (hr 0x%08lx)",
                            static_cast<unsigned long>(hr)));
        return false;
    }
    auto* vertices = static_cast<PointVertex*>(data);
    for (size_t i = 0; i < world.size(); ++i)
        vertices[i] = {
            {world[i].x, world[i].y, world[i].z},
            {static_cast<float>(i % k_target_width), static_cast<float>(i / k_target_width)}};
    vb.p->Unlock();

    // Everything this draw sets goes back afterwards: the state block holds
    // the device's states, the target and depth surface are put back by hand.
    Held<IDirect3DStateBlock9> saved;
    Held<IDirect3DSurface9> old_target, old_depth;
    if (FAILED(device->CreateStateBlock(D3DSBT_ALL, saved.out()))) {
        outcome.fail("CreateStateBlock(D3DSBT_ALL) failed");
        return false;
    }
    device->GetRenderTarget(0, old_target.out());
    device->GetDepthStencilSurface(old_depth.out());

    device->SetRenderTarget(0, target);
    device->SetDepthStencilSurface(nullptr);
    const D3DVIEWPORT9 viewport{0, 0, k_target_width, target_height, 0.0f, 1.0f};
    device->SetViewport(&viewport);
    device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);
    const std::pair<D3DRENDERSTATETYPE, DWORD> states[] = {
        {D3DRS_ZENABLE, D3DZB_FALSE},        {D3DRS_ZWRITEENABLE, FALSE},
        {D3DRS_ALPHABLENDENABLE, FALSE},     {D3DRS_ALPHATESTENABLE, FALSE},
        {D3DRS_STENCILENABLE, FALSE},        {D3DRS_SCISSORTESTENABLE, FALSE},
        {D3DRS_CLIPPLANEENABLE, 0},          {D3DRS_FOGENABLE, FALSE},
        {D3DRS_SRGBWRITEENABLE, FALSE},      {D3DRS_COLORWRITEENABLE, 0xF},
        {D3DRS_CULLMODE, D3DCULL_NONE},      {D3DRS_FILLMODE, D3DFILL_SOLID},
        {D3DRS_POINTSPRITEENABLE, FALSE},    {D3DRS_POINTSCALEENABLE, FALSE},
        {D3DRS_POINTSIZE, float_bits(1.0f)},
    };
    for (const auto& s : states) device->SetRenderState(s.first, s.second);
    const float pixel_to_clip[4] = {2.0f / k_target_width,
                                    -2.0f / static_cast<float>(target_height), -1.0f, 1.0f};
    device->SetVertexShaderConstantF(0, pixel_to_clip, 1);

    // As light_frame binds the light map.
    D3DSURFACE_DESC desc;
    info.texture->GetLevelDesc(0, &desc);
    const float w = static_cast<float>(desc.Width), h = static_cast<float>(desc.Height);
    // clang-format off
    const float constants[16] = {
        info.layer_step[0], info.layer_step[1], 0, 0,
        info.origin.x,      info.origin.y,      info.origin.z, 0,
        info.scale.x,       info.scale.y,       info.scale.z,  0,
        w,                  h,                  1 / w,         1 / h,
    };
    // clang-format on
    device->SetPixelShaderConstantF(k_light_constants, constants, 4);
    device->SetVertexShaderConstantF(k_light_constants, constants, 4);
    device->SetTexture(k_light_stage, info.texture);
    device->SetSamplerState(k_light_stage, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
    device->SetSamplerState(k_light_stage, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
    device->SetSamplerState(k_light_stage, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
    device->SetSamplerState(k_light_stage, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
    device->SetSamplerState(k_light_stage, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
    device->SetSamplerState(k_light_stage, D3DSAMP_SRGBTEXTURE, FALSE);

    device->SetVertexDeclaration(decl.p);
    device->SetStreamSource(0, vb.p, 0, sizeof(PointVertex));
    device->SetVertexShader(vs.p);
    device->SetPixelShader(ps.p);
    device->BeginScene();
    hr = device->DrawPrimitive(D3DPT_POINTLIST, 0, static_cast<UINT>(world.size()));
    device->EndScene();

    device->SetTexture(k_light_stage, nullptr);
    device->SetRenderTarget(0, old_target.p);
    device->SetDepthStencilSurface(old_depth.p);
    saved.p->Apply();
    if (FAILED(hr)) {
        outcome.fail(
            format("DrawPrimitive(POINTLIST) failed (hr 0x%08lx)", static_cast<unsigned long>(hr)));
        return false;
    }
    return true;
}

}  // namespace

Outcome scenario_sampler(HostContext& ctx) {
    Outcome outcome;
    IDirect3DDevice9* device = ctx.device->device();
    D3DCAPS9 caps{};
    device->GetDeviceCaps(&caps);
    if (caps.VertexShaderVersion < D3DVS_VERSION(3, 0) ||
        caps.PixelShaderVersion < D3DPS_VERSION(3, 0)) {
        outcome.fail("the device has no shader model 3.0");
        return outcome;
    }
    const ULONG device_refs = ref_count(device);
    ILightingSystem* lighting = ctx.create();
    if (!lighting) {
        outcome.fail("create_ILightingSystem returned null");
        return outcome;
    }
    lighting->init(device, &host_set_render_state);
    lighting->set_volume(24, 16, 5, 0.5f);
    lighting->set_base_layer(-1);
    const Vec3 focus{3, 2, 0}, box_min{-3, -2, 0}, box_max{9, 6, 0};
    const float movement[2] = {0.5f, -0.25f};
    auto frame = [&] {
        device->BeginScene();
        lighting->render(&focus, movement, &box_min, &box_max);
        device->EndScene();
    };

    // A first frame places the volume; the lights go where it lies.
    frame();
    const LightMapInfo* info = lighting->get_light_map();
    D3DSURFACE_DESC desc{};
    Volume volume;
    if (info && info->texture && SUCCEEDED(info->texture->GetLevelDesc(0, &desc)) &&
        info->layer_step[0] < 0) {
        volume.info = *info;
        volume.map_width = static_cast<float>(desc.Width);
        volume.map_height = static_cast<float>(desc.Height);
        volume.depth = static_cast<int>(std::lround(-1.0 / info->layer_step[0]));
        volume.layer_width = static_cast<int>(desc.Width) / volume.depth;
    } else {
        outcome.fail("no light map after a frame");
    }

    std::vector<Vec3> world;
    Image map;
    std::string error;
    if (outcome.passed()) {
        const float cell = 1.0f / std::fabs(info->scale.z);
        const std::vector<SceneLight> lights = scene_lights(volume);
        for (const SceneLight& l : lights) {
            IPointLight* light = lighting->create_point_light();
            if (!light) {
                outcome.fail("create_point_light returned null");
                break;
            }
            const Vec3 centre = volume.world(l.at);
            light->set_color(&l.color);
            light->set_position(&centre);
            light->set_radius(l.radius_cells * cell);
        }
        frame();
        for (const SceneLight& l : lights) world.push_back(volume.world(l.at));
        for (const TexelPoint& t : sample_points(volume, lights)) world.push_back(volume.world(t));
        if (!ctx.device->read_texture(info->texture, map, error)) outcome.fail(error);
    }

    const UINT target_height =
        static_cast<UINT>((world.size() + k_target_width - 1) / k_target_width);
    Held<IDirect3DSurface9> target;
    if (outcome.passed() &&
        FAILED(device->CreateRenderTarget(k_target_width, target_height, D3DFMT_A8R8G8B8,
                                          D3DMULTISAMPLE_NONE, 0, FALSE, target.out(), nullptr)))
        outcome.fail("CreateRenderTarget failed");
    Image drawn;
    if (outcome.passed() && draw_points(device, *info, world, target.p, target_height, outcome) &&
        !ctx.device->read_surface(target.p, drawn, error))
        outcome.fail(error);

    if (outcome.passed()) {
        const LightMapPixels pixels{map.texels.data(), static_cast<int32_t>(map.width),
                                    static_cast<int32_t>(map.height),
                                    static_cast<int32_t>(map.width * 4)};
        const LightSampler sampler(volume.info, pixels);
        outcome.expect(sampler.valid(), "LightSampler finds the light map invalid");
        float largest = 0, largest_bound = 0, largest_share = 0;
        size_t wrong = 0, lit = 0;
        for (size_t i = 0; i < world.size() && sampler.valid(); ++i) {
            const uint32_t got = drawn.texels[i];
            if ((got >> 24) != 0xFF) {
                if (wrong++ < 4)
                    outcome.fail(
                        format("point %u was not drawn on its pixel", static_cast<unsigned>(i)));
                continue;
            }
            const Rgb want = sampler.sample(world[i]);
            float bound[3];
            sample_tolerance(sampler, world[i], bound);
            const float expected[3] = {want.r * 255, want.g * 255, want.b * 255};
            const int channel[3] = {static_cast<int>((got >> 16) & 0xFF),
                                    static_cast<int>((got >> 8) & 0xFF),
                                    static_cast<int>(got & 0xFF)};
            lit += expected[0] + expected[1] + expected[2] > 0.5f;
            bool ok = true;
            for (int k = 0; k < 3; ++k) {
                const float diff = std::fabs(static_cast<float>(channel[k]) - expected[k]);
                ok = ok && diff <= bound[k];
                if (diff > largest) largest = diff, largest_bound = bound[k];
                largest_share = std::max(largest_share, diff / bound[k]);
            }
            if (!ok && wrong++ < 4) {
                const TexelPosition t = sampler.locate(world[i]);
                outcome.fail(format(
                    "point %u at texel (%.3f, %.3f, layer %.3f): device (%d, %d, %d), "
                    "LightSampler (%.2f, %.2f, %.2f), bound (%.2f, %.2f, %.2f)",
                    static_cast<unsigned>(i), static_cast<double>(t.x), static_cast<double>(t.y),
                    static_cast<double>(t.layer), channel[0], channel[1], channel[2],
                    static_cast<double>(expected[0]), static_cast<double>(expected[1]),
                    static_cast<double>(expected[2]), static_cast<double>(bound[0]),
                    static_cast<double>(bound[1]), static_cast<double>(bound[2])));
            }
        }
        if (wrong > 4)
            outcome.fail(format("%u points in all undrawn or outside their bound",
                                static_cast<unsigned>(wrong)));
        // Most points must be lit, or a dark light map would pass.
        outcome.expect(lit * 2 > world.size(),
                       format("only %u of %u points are lit", static_cast<unsigned>(lit),
                              static_cast<unsigned>(world.size())));
        outcome.note(
            format("%u points, largest difference %.2f/255 (its bound %.2f/255), "
                   "closest to a bound %.0f%% of it",
                   static_cast<unsigned>(world.size()), static_cast<double>(largest),
                   static_cast<double>(largest_bound), static_cast<double>(largest_share * 100)));
    }

    target.reset();
    lighting->release();
    const ULONG after = ref_count(device);
    outcome.expect(after == device_refs,
                   format("device references %lu before, %lu after release", device_refs, after));
    return outcome;
}
