#include "scenarios.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../effect_provider/light_effect_shaders.h"
#include "picture_compare.h"

extern const char light_effect_source[];
extern const size_t light_effect_source_length;
extern const DWORD light_vertex_program[];
extern const size_t light_vertex_program_tokens;
extern const DWORD light_pixel_program[];
extern const size_t light_pixel_program_tokens;

// The part of ID3DXBuffer the host reads. Objects of it come from D3DX, so it
// must not live in an anonymous namespace: the compiler would take this
// declaration for the only one and turn the calls into pure-virtual traps.
struct MessageBuffer : IUnknown {
    virtual LPVOID STDMETHODCALLTYPE GetBufferPointer() = 0;
    virtual DWORD STDMETHODCALLTYPE GetBufferSize() = 0;

protected:
    ~MessageBuffer() = default;
};

typedef HRESULT(WINAPI* CreateEffectFn)(IDirect3DDevice9*, const void*, UINT, const void*, void*,
                                        DWORD, void*, IUnknown**, MessageBuffer**);

std::string format(const char* fmt, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

namespace {

constexpr DWORD D3DXFX_NOT_CLONEABLE_VALUE = 1u << 11;

// --- Small helpers -----------------------------------------------------------

std::string hex(uint32_t value) { return format("0x%08lx", static_cast<unsigned long>(value)); }

// One lighting system from the DLL, released when the scope ends.
class Lighting {
public:
    explicit Lighting(CreateLightingSystemFn create) : system_(create()) {}
    ~Lighting() { release(); }
    Lighting(const Lighting&) = delete;
    Lighting& operator=(const Lighting&) = delete;

    ILightingSystem* operator->() const { return system_; }
    ILightingSystem* get() const { return system_; }
    explicit operator bool() const { return system_ != nullptr; }
    void release() {
        if (system_) system_->release();
        system_ = nullptr;
    }

private:
    ILightingSystem* system_;
};

struct Frame {
    Vec3 focus;
    float movement[2];
    Vec3 box_min;
    Vec3 box_max;
};

// The placement example: 64 x 64 x 8 cells of 1 unit, focus (10, 20), moving
// +x and -y. The volume becomes (-23, -11, 0) .. (41, 53, 8).
constexpr int32_t k_width = 64;
constexpr int32_t k_height = 64;
constexpr int32_t k_depth = 8;
const Frame k_frame{{10, 20, 5}, {1, -1}, {-22, -12, 0}, {42, 52, 8}};
constexpr float k_volume_min_x = -23;
constexpr float k_volume_max_y = 53;

Frame frame_of(const scene_file::Frame& f) {
    return Frame{{f.focus[0], f.focus[1], f.focus[2]},
                 {f.movement[0], f.movement[1]},
                 {f.box_min[0], f.box_min[1], f.box_min[2]},
                 {f.box_max[0], f.box_max[1], f.box_max[2]}};
}

// A frame as the host draws one: lightvol's pass inside the host's scene.
void render(HostContext& ctx, ILightingSystem* system, const Frame& frame) {
    IDirect3DDevice9* device = ctx.device->device();
    device->BeginScene();
    system->render(&frame.focus, frame.movement, &frame.box_min, &frame.box_max);
    device->EndScene();
}

IPointLight* add_light(ILightingSystem* system, Vec3 position, float radius, Vec3 color) {
    IPointLight* light = system->create_point_light();
    if (!light) return nullptr;
    light->set_color(&color);
    light->set_position(&position);
    light->set_radius(radius);
    return light;
}

bool read_light_map(HostContext& ctx, ILightingSystem* system, Image& out, Outcome& outcome) {
    const LightMapInfo* info = system->get_light_map();
    if (!info || !info->texture) {
        outcome.fail("no light map texture to read");
        return false;
    }
    std::string error;
    if (!ctx.device->read_texture(info->texture, out, error)) {
        outcome.fail(error);
        return false;
    }
    return true;
}

// Texel of world point (x, y) in layer `layer`, located through LightMapInfo
// as a host shader would: t = (origin - p) * scale, moved into the layer's
// strip by layer_step, then scaled to texels. Direct3D 9 samples pixel i at
// the integer position i, so the nearest whole texel is the one.
struct Texel {
    int x;
    int y;
};
Texel texel_of(const LightMapInfo& info, const Image& image, float x, float y, int layer) {
    const float tx =
        (info.origin.x - x) * info.scale.x - static_cast<float>(layer) * info.layer_step[0];
    const float ty =
        (info.origin.y - y) * info.scale.y - static_cast<float>(layer) * info.layer_step[1];
    return Texel{static_cast<int>(std::lround(tx * static_cast<float>(image.width))),
                 static_cast<int>(std::lround(ty * static_cast<float>(image.height)))};
}

// Expects the texel near `expected` (each channel 0..255, within `tolerance`).
void expect_texel(Outcome& outcome, const Image& image, Texel t, int r, int g, int b,
                  const char* what, int tolerance = 2) {
    if (t.x < 0 || t.y < 0 || t.x >= static_cast<int>(image.width) ||
        t.y >= static_cast<int>(image.height)) {
        outcome.fail(format("%s: texel (%d, %d) lies outside the light map", what, t.x, t.y));
        return;
    }
    const uint32_t texel = image.at(static_cast<UINT>(t.x), static_cast<UINT>(t.y));
    const int tr = (texel >> 16) & 0xFF, tg = (texel >> 8) & 0xFF, tb = texel & 0xFF;
    if (std::abs(tr - r) > tolerance || std::abs(tg - g) > tolerance ||
        std::abs(tb - b) > tolerance)
        outcome.fail(format("%s: texel (%d, %d) is (%d, %d, %d), expected (%d, %d, %d)", what, t.x,
                            t.y, tr, tg, tb, r, g, b));
}

bool all_black(const Image& image) {
    return std::all_of(image.texels.begin(), image.texels.end(),
                       [](uint32_t t) { return (t & 0x00FFFFFFu) == 0; });
}

bool all_equal(const Image& image, uint32_t value) {
    return !image.texels.empty() && std::all_of(image.texels.begin(), image.texels.end(),
                                                [value](uint32_t t) { return t == value; });
}

// After release the device holds exactly the references it had before init.
void expect_device_refs_back(IDirect3DDevice9* device, ULONG before_init, Outcome& outcome) {
    const ULONG after = ref_count(device);
    outcome.expect(
        after == before_init,
        format("device references %lu before init, %lu after release", before_init, after));
}

void expect_no_boxes(HostContext& ctx, Outcome& outcome) {
    for (const MessageBoxSeen& box : ctx.boxes->take())
        outcome.fail("unexpected message box \"" + box.caption + "\": " + box.text);
}

bool same_viewport(const D3DVIEWPORT9& a, const D3DVIEWPORT9& b) {
    return a.X == b.X && a.Y == b.Y && a.Width == b.Width && a.Height == b.Height &&
           a.MinZ == b.MinZ && a.MaxZ == b.MaxZ;
}

// The host's render target 0, depth surface, viewport and shaders at one
// moment, and the reference counts of its two surfaces.
struct HostState {
    IDirect3DSurface9* target = nullptr;
    IDirect3DSurface9* depth = nullptr;
    D3DVIEWPORT9 viewport{};
    ULONG target_refs = 0;
    ULONG depth_refs = 0;
    IDirect3DVertexShader9* vertex_shader = nullptr;
    IDirect3DPixelShader9* pixel_shader = nullptr;
};

HostState capture_host_state(HostContext& ctx) {
    IDirect3DDevice9* device = ctx.device->device();
    HostState state;
    device->GetRenderTarget(0, &state.target);
    device->GetDepthStencilSurface(&state.depth);
    device->GetViewport(&state.viewport);
    device->GetVertexShader(&state.vertex_shader);
    device->GetPixelShader(&state.pixel_shader);
    // Counted without the references just taken.
    if (state.target) state.target->Release();
    if (state.depth) state.depth->Release();
    if (state.vertex_shader) state.vertex_shader->Release();
    if (state.pixel_shader) state.pixel_shader->Release();
    state.target_refs = ref_count(ctx.device->host_target());
    state.depth_refs = ref_count(ctx.device->host_depth());
    return state;
}

void expect_same_host_state(Outcome& outcome, const HostState& before, const HostState& after,
                            const char* when) {
    outcome.expect(after.target == before.target,
                   format("%s: render target 0 is not the host's any more", when));
    outcome.expect(after.depth == before.depth,
                   format("%s: depth surface is not the host's any more", when));
    outcome.expect(
        same_viewport(after.viewport, before.viewport),
        format("%s: viewport changed to (%lu, %lu, %lu, %lu, %g, %g)", when, after.viewport.X,
               after.viewport.Y, after.viewport.Width, after.viewport.Height,
               static_cast<double>(after.viewport.MinZ), static_cast<double>(after.viewport.MaxZ)));
    outcome.expect(after.target_refs == before.target_refs,
                   format("%s: host target references %lu -> %lu", when, before.target_refs,
                          after.target_refs));
    outcome.expect(
        after.depth_refs == before.depth_refs,
        format("%s: host depth references %lu -> %lu", when, before.depth_refs, after.depth_refs));
    outcome.expect(
        after.vertex_shader == before.vertex_shader && after.pixel_shader == before.pixel_shader,
        format("%s: the host's shaders were not restored", when));
}

// Releases the host's default-pool surfaces, resets the device and makes them
// again; false when the reset failed.
bool host_reset(HostContext& ctx, Outcome& outcome, HRESULT* result = nullptr) {
    ctx.device->release_host_targets();
    const HRESULT hr = ctx.device->reset();
    if (result) *result = hr;
    std::string error;
    if (SUCCEEDED(hr) && !ctx.device->create_host_targets(error)) outcome.fail(error);
    return SUCCEEDED(hr);
}

bool texture_desc(IDirect3DTexture9* texture, D3DSURFACE_DESC& desc) {
    return texture && SUCCEEDED(texture->GetLevelDesc(0, &desc));
}

void expect_light_map_desc(Outcome& outcome, IDirect3DTexture9* texture, UINT width, UINT height,
                           const char* when) {
    D3DSURFACE_DESC desc{};
    if (!texture_desc(texture, desc)) {
        outcome.fail(format("%s: no light map texture", when));
        return;
    }
    outcome.expect(desc.Width == width && desc.Height == height,
                   format("%s: light map is %u x %u, expected %u x %u", when, desc.Width,
                          desc.Height, width, height));
    outcome.expect(desc.Format == D3DFMT_X8R8G8B8,
                   format("%s: light map format %d, expected X8R8G8B8 (22)", when,
                          static_cast<int>(desc.Format)));
    outcome.expect(desc.Usage == D3DUSAGE_RENDERTARGET,
                   format("%s: light map usage %lu, expected RENDERTARGET", when, desc.Usage));
    outcome.expect(desc.Pool == D3DPOOL_DEFAULT, format("%s: light map pool %d, expected DEFAULT",
                                                        when, static_cast<int>(desc.Pool)));
    outcome.expect(texture->GetLevelCount() == 1, format("%s: light map has %lu levels, expected 1",
                                                         when, texture->GetLevelCount()));
    outcome.expect(texture->GetType() == D3DRTYPE_TEXTURE,
                   format("%s: light map is not a texture", when));
}

// A lighting system ready to draw the placement example.
bool start_example(HostContext& ctx, Lighting& lighting, Outcome& outcome) {
    if (!lighting) {
        outcome.fail("create_ILightingSystem returned null");
        return false;
    }
    lighting->init(ctx.device->device(), &host_set_render_state);
    lighting->set_volume(k_width, k_height, k_depth, 1.0f);
    lighting->set_base_layer(0);
    return true;
}

}  // namespace

std::string Outcome::reasons() const {
    std::string out;
    for (const std::string& f : failures_) {
        if (!out.empty()) out += "; ";
        out += f;
    }
    return out;
}

// --- ABI ------------------------------------------------------------------------

Outcome scenario_abi(HostContext& ctx) {
    Outcome outcome;
    Lighting lighting(ctx.create);
    if (!lighting) {
        outcome.fail("create_ILightingSystem returned null");
        return outcome;
    }

    const LightMapInfo* info = lighting->get_light_map();
    if (!info) {
        outcome.fail("get_light_map returned null");
        return outcome;
    }
    outcome.expect(!info->texture && info->layer_step[0] == 0 && info->layer_step[1] == 0 &&
                       info->origin.x == 0 && info->origin.y == 0 && info->origin.z == 0 &&
                       info->scale.x == 0 && info->scale.y == 0 && info->scale.z == 0,
                   "a new system's LightMapInfo is not all zero");
    outcome.expect(lighting->is_enabled(), "a new system is not enabled");

    lighting->init(ctx.device->device(), &host_set_render_state);
    lighting->set_volume(k_width, k_height, k_depth, 1.0f);
    lighting->set_base_layer(0);
    outcome.expect(lighting->get_light_map() == info, "get_light_map moved after set_volume");
    expect_light_map_desc(outcome, info->texture, k_width * k_depth, k_height, "set_volume");

    IPointLight* a = add_light(lighting.get(), Vec3{10, 20, 3}, 6, Vec3{1, 0.5f, 0.25f});
    if (!a) {
        outcome.fail("create_point_light returned null");
        return outcome;
    }
    render(ctx, lighting.get(), k_frame);

    // LightMapInfo is read in place: field order and widths as the host sees them.
    outcome.expect(
        info->layer_step[0] == -0.125f && info->layer_step[1] == 0.0f,
        format("layer_step (%g, %g), expected (-0.125, 0)",
               static_cast<double>(info->layer_step[0]), static_cast<double>(info->layer_step[1])));
    outcome.expect(
        info->origin.x == k_volume_min_x && info->origin.y == k_volume_max_y &&
            info->origin.z == 0.0f,
        format("origin (%g, %g, %g), expected (-23, 53, 0)", static_cast<double>(info->origin.x),
               static_cast<double>(info->origin.y), static_cast<double>(info->origin.z)));
    outcome.expect(
        info->scale.x == -0.001953125f && info->scale.y == 0.015625f && info->scale.z == -1.0f,
        format("scale (%g, %g, %g), expected (-0.001953125, 0.015625, -1)",
               static_cast<double>(info->scale.x), static_cast<double>(info->scale.y),
               static_cast<double>(info->scale.z)));

    Image map;
    if (!read_light_map(ctx, lighting.get(), map, outcome)) return outcome;
    // set_color, set_position, set_radius: full colour at the centre of the
    // disc in the light's own layer, half of it 3 cells out (radius 6).
    expect_texel(outcome, map, texel_of(*info, map, 10, 20, 3), 255, 128, 64, "disc centre");
    expect_texel(outcome, map, texel_of(*info, map, 13, 20, 3), 128, 64, 32,
                 "3 cells from the centre");
    expect_texel(outcome, map, texel_of(*info, map, 17, 20, 3), 0, 0, 0, "outside the disc");

    a->set_radius(12);
    render(ctx, lighting.get(), k_frame);
    if (read_light_map(ctx, lighting.get(), map, outcome))
        expect_texel(outcome, map, texel_of(*info, map, 13, 20, 3), 191, 96, 48,
                     "set_radius(12): 3 cells from the centre");

    const Vec3 moved{0, 30, 3};
    a->set_position(&moved);
    a->set_radius(2);
    render(ctx, lighting.get(), k_frame);
    if (read_light_map(ctx, lighting.get(), map, outcome)) {
        expect_texel(outcome, map, texel_of(*info, map, 10, 20, 3), 0, 0, 0,
                     "set_position: the old centre");
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 3), 255, 128, 64,
                     "set_position: the new centre");
        // Radius 2 at z = 3 reaches the layers at z = 2, 3, 4 (chord 0 at 1 and 5).
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 1), 0, 0, 0, "layer 1");
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 4), 255, 128, 64, "layer 4");
    }

    a->set_auto_cull(false);
    a->set_visible(false);
    render(ctx, lighting.get(), k_frame);
    if (read_light_map(ctx, lighting.get(), map, outcome))
        outcome.expect(all_black(map), "set_visible(false) without auto cull still draws");
    a->set_visible(true);
    render(ctx, lighting.get(), k_frame);
    if (read_light_map(ctx, lighting.get(), map, outcome))
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 3), 255, 128, 64,
                     "set_visible(true) without auto cull");
    a->set_auto_cull(true);
    a->set_visible(false);
    render(ctx, lighting.get(), k_frame);
    if (read_light_map(ctx, lighting.get(), map, outcome))
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 3), 255, 128, 64,
                     "set_auto_cull(true) ignores visible");

    // set_enabled / is_enabled: a disabled system leaves the light map alone.
    lighting->set_enabled(false);
    outcome.expect(!lighting->is_enabled(), "is_enabled after set_enabled(false)");
    const Vec3 blue{0, 0, 1};
    a->set_color(&blue);
    render(ctx, lighting.get(), k_frame);
    if (read_light_map(ctx, lighting.get(), map, outcome))
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 3), 255, 128, 64,
                     "disabled: the light map keeps the last frame");
    lighting->set_enabled(true);
    outcome.expect(lighting->is_enabled(), "is_enabled after set_enabled(true)");
    render(ctx, lighting.get(), k_frame);
    if (read_light_map(ctx, lighting.get(), map, outcome))
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 3), 0, 0, 255,
                     "enabled again: set_color");

    // set_base_layer: the volume now starts at z = 2, so z = 3 is layer 1.
    lighting->set_base_layer(2);
    render(ctx, lighting.get(), k_frame);
    outcome.expect(info->origin.z == 2.0f, "set_base_layer(2): origin.z is not 2");
    if (read_light_map(ctx, lighting.get(), map, outcome)) {
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 0), 0, 0, 255,
                     "base 2, layer 0 (z 2)");
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 1), 0, 0, 255,
                     "base 2, layer 1 (z 3)");
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 3), 0, 0, 0,
                     "base 2, layer 3 (z 5)");
    }
    lighting->set_base_layer(0);

    // destroy_point_light and clear_point_lights.
    IPointLight* b = add_light(lighting.get(), Vec3{20, 40, 3}, 4, Vec3{0, 1, 0});
    lighting->destroy_point_light(a);
    lighting->destroy_point_light(nullptr);
    render(ctx, lighting.get(), k_frame);
    if (b && read_light_map(ctx, lighting.get(), map, outcome)) {
        expect_texel(outcome, map, texel_of(*info, map, 0, 30, 3), 0, 0, 0, "destroyed light");
        expect_texel(outcome, map, texel_of(*info, map, 20, 40, 3), 0, 255, 0, "remaining light");
    }
    add_light(lighting.get(), Vec3{-10, 0, 4}, 3, Vec3{1, 1, 1});
    lighting->clear_point_lights();
    render(ctx, lighting.get(), k_frame);
    if (read_light_map(ctx, lighting.get(), map, outcome))
        outcome.expect(all_black(map), "clear_point_lights left light in the map");

    // on_lost_device / on_reset_device around a real reset.
    lighting->on_lost_device();
    if (!host_reset(ctx, outcome)) outcome.fail("Reset after on_lost_device failed");
    lighting->on_reset_device();
    outcome.expect(lighting->get_light_map() == info, "get_light_map moved after on_reset_device");
    expect_light_map_desc(outcome, info->texture, k_width * k_depth, k_height, "on_reset_device");

    lighting.release();
    expect_no_boxes(ctx, outcome);
    return outcome;
}

// --- Resources ------------------------------------------------------------------

Outcome scenario_resources(HostContext& ctx) {
    Outcome outcome;
    Lighting lighting(ctx.create);
    if (!lighting) {
        outcome.fail("create_ILightingSystem returned null");
        return outcome;
    }
    lighting->init(ctx.device->device(), &host_set_render_state);
    const LightMapInfo* info = lighting->get_light_map();

    outcome.expect(info->texture == nullptr, "a light map exists before set_volume");
    lighting->set_volume(8, 4, 3, 0.5f);
    expect_light_map_desc(outcome, info->texture, 24, 4, "set_volume(8, 4, 3, 0.5)");
    lighting->set_volume(0, -3, 1, 0.0f);
    expect_light_map_desc(outcome, info->texture, 1, 1, "set_volume(0, -3, 1, 0)");
    lighting->set_volume(5, 7, 2, 1.0f);
    expect_light_map_desc(outcome, info->texture, 10, 7, "set_volume(5, 7, 2, 1)");

    lighting.release();
    expect_no_boxes(ctx, outcome);
    return outcome;
}

// --- Failure messages -----------------------------------------------------------

Outcome scenario_failure_messages(HostContext& ctx) {
    Outcome outcome;
    Lighting lighting(ctx.create);
    if (!start_example(ctx, lighting, outcome)) return outcome;
    add_light(lighting.get(), Vec3{10, 20, 3}, 6, Vec3{1, 1, 1});
    const LightMapInfo* info = lighting->get_light_map();

    // A light map wider than any texture the device can make. The depth
    // surface of that size may be refused too (Wine makes it), so its message
    // is allowed but not required.
    lighting->set_volume(100000, 4, 1, 1.0f);
    const std::vector<MessageBoxSeen> boxes = ctx.boxes->take();
    const std::string texture_text = "w:100000, h:4, fmt:22, type:1";
    const std::string depth_text = "w:100000, h:4, fmt:77, type:0";
    bool texture_box = false;
    for (const MessageBoxSeen& box : boxes) {
        outcome.expect(box.caption == "error",
                       "a failure message has the caption \"" + box.caption + "\"");
        if (box.text == texture_text) {
            outcome.expect(!texture_box, "the texture failure was shown twice");
            texture_box = true;
        } else if (box.text != depth_text) {
            outcome.fail("unexpected failure message: " + box.text);
        }
    }
    outcome.expect(texture_box, "no message \"" + texture_text + "\" for the refused light map");
    outcome.expect(info->texture == nullptr, "LightMapInfo names a texture that was refused");

    // Drawing without a light map leaves the host's frame alone.
    ctx.device->bind_host_targets(0xFF102030);
    const HostState before = capture_host_state(ctx);
    render(ctx, lighting.get(), k_frame);
    const HostState after = capture_host_state(ctx);
    expect_same_host_state(outcome, before, after, "render without a light map");
    Image host_image;
    std::string error;
    if (ctx.device->read_surface(ctx.device->host_target(), host_image, error))
        outcome.expect(all_equal(host_image, 0xFF102030),
                       "render without a light map drew into the host's target");
    else
        outcome.fail(error);

    // A later set_volume the device accepts brings the light map back.
    lighting->set_volume(k_width, k_height, k_depth, 1.0f);
    expect_light_map_desc(outcome, info->texture, k_width * k_depth, k_height,
                          "set_volume after a refusal");
    render(ctx, lighting.get(), k_frame);
    Image map;
    if (read_light_map(ctx, lighting.get(), map, outcome))
        expect_texel(outcome, map, texel_of(*info, map, 10, 20, 3), 255, 255, 255,
                     "after the refusal");
    lighting.release();
    expect_no_boxes(ctx, outcome);
    return outcome;
}

// --- Device loss ----------------------------------------------------------------

Outcome scenario_device_loss(HostContext& ctx) {
    Outcome outcome;
    Lighting lighting(ctx.create);
    if (!start_example(ctx, lighting, outcome)) return outcome;
    add_light(lighting.get(), Vec3{10, 20, 3}, 6, Vec3{1, 0.5f, 0.25f});
    add_light(lighting.get(), Vec3{-5, 40, 5.5f}, 9, Vec3{0.2f, 0.9f, 0.4f});
    const LightMapInfo* info = lighting->get_light_map();

    render(ctx, lighting.get(), k_frame);
    Image before;
    if (!read_light_map(ctx, lighting.get(), before, outcome)) return outcome;

    // While lightvol holds its default-pool light map, the device refuses to reset.
    HRESULT hr = S_OK;
    outcome.expect(!host_reset(ctx, outcome, &hr),
                   "Reset succeeded while the light map was alive: the check below proves nothing");

    lighting->on_lost_device();
    if (!host_reset(ctx, outcome, &hr)) {
        outcome.fail("Reset after on_lost_device failed (hr " + hex(static_cast<uint32_t>(hr)) +
                     "): a default-pool resource is still alive");
        return outcome;
    }
    lighting->on_reset_device();
    expect_light_map_desc(outcome, info->texture, k_width * k_depth, k_height, "on_reset_device");

    render(ctx, lighting.get(), k_frame);
    Image after;
    if (read_light_map(ctx, lighting.get(), after, outcome)) {
        outcome.expect(!all_black(after), "the first frame after the reset is black");
        outcome.expect(after.texels == before.texels,
                       "the first frame after the reset differs from the frame before it");
    }

    // A second cycle, with the host drawing into its own target in between.
    lighting->on_lost_device();
    if (!host_reset(ctx, outcome)) outcome.fail("second Reset after on_lost_device failed");
    lighting->on_reset_device();
    render(ctx, lighting.get(), k_frame);
    if (read_light_map(ctx, lighting.get(), after, outcome))
        outcome.expect(after.texels == before.texels, "the frame after a second reset differs");

    lighting.release();
    expect_no_boxes(ctx, outcome);
    return outcome;
}

// --- Direct3D 9Ex devices --------------------------------------------------------

Outcome scenario_ex_init(HostContext& ctx) {
    Outcome outcome;
    IDirect3DDevice9* device = ctx.device->device();
    if (!ctx.device->ex()) {
        outcome.fail("the device is not a Direct3D 9Ex device");
        return outcome;
    }
    // Printed for the log: whether this implementation has a managed pool on
    // a 9Ex device (Windows and wined3d do not).
    IDirect3DVertexBuffer9* probe = nullptr;
    const HRESULT managed = device->CreateVertexBuffer(16, 0, 0, D3DPOOL_MANAGED, &probe, nullptr);
    if (probe) probe->Release();
    std::printf("9ex device: managed pool %s\n",
                SUCCEEDED(managed)
                    ? "accepted"
                    : ("refused (hr " + hex(static_cast<uint32_t>(managed)) + ")").c_str());
    ctx.boxes->take();

    const ULONG device_refs = ref_count(device);
    {
        Lighting lighting(ctx.create);
        if (!start_example(ctx, lighting, outcome)) return outcome;
        for (const MessageBoxSeen& box : ctx.boxes->take())
            outcome.fail("init or set_volume showed a message box \"" + box.caption +
                         "\": " + box.text);
        add_light(lighting.get(), Vec3{10, 20, 3}, 6, Vec3{1, 0.5f, 0.25f});
        render(ctx, lighting.get(), k_frame);
        const LightMapInfo* info = lighting->get_light_map();
        Image map;
        if (read_light_map(ctx, lighting.get(), map, outcome))
            expect_texel(outcome, map, texel_of(*info, map, 10, 20, 3), 255, 128, 64,
                         "disc centre");
    }
    expect_device_refs_back(device, device_refs, outcome);
    expect_no_boxes(ctx, outcome);
    return outcome;
}

Outcome scenario_ex_resets(HostContext& ctx, bool reset_ex, bool lost_and_reset) {
    Outcome outcome;
    if (!ctx.device->ex()) {
        outcome.fail("the device is not a Direct3D 9Ex device");
        return outcome;
    }
    Lighting lighting(ctx.create);
    if (!start_example(ctx, lighting, outcome)) return outcome;
    add_light(lighting.get(), Vec3{10, 20, 3}, 6, Vec3{1, 0.5f, 0.25f});
    add_light(lighting.get(), Vec3{-5, 40, 5.5f}, 9, Vec3{0.2f, 0.9f, 0.4f});
    const LightMapInfo* info = lighting->get_light_map();
    const char* kind = reset_ex ? "ResetEx" : "Reset";

    render(ctx, lighting.get(), k_frame);
    Image before;
    if (!read_light_map(ctx, lighting.get(), before, outcome)) return outcome;
    outcome.expect(!all_black(before), "the frame before any reset is black");

    for (int cycle = 1; cycle <= 2; ++cycle) {
        if (lost_and_reset) lighting->on_lost_device();
        // The host's own targets go and come back as the guide asks; without
        // the protocol the host resets with everything alive, as 9Ex allows.
        if (lost_and_reset) ctx.device->release_host_targets();
        const HRESULT hr = reset_ex ? ctx.device->reset_ex() : ctx.device->reset();
        std::string error;
        if (lost_and_reset && SUCCEEDED(hr) && !ctx.device->create_host_targets(error))
            outcome.fail(error);
        if (FAILED(hr)) {
            outcome.fail(format("%s %d failed (hr %s)", kind, cycle,
                                hex(static_cast<uint32_t>(hr)).c_str()));
            return outcome;
        }
        if (lost_and_reset) {
            lighting->on_reset_device();
            expect_light_map_desc(outcome, info->texture, k_width * k_depth, k_height,
                                  "on_reset_device");
        }
        render(ctx, lighting.get(), k_frame);
        Image after;
        if (read_light_map(ctx, lighting.get(), after, outcome)) {
            outcome.expect(!all_black(after),
                           format("the frame after %s %d is black", kind, cycle));
            outcome.expect(
                after.texels == before.texels,
                format("the frame after %s %d differs from the frame before", kind, cycle));
        }
    }
    lighting.release();
    expect_no_boxes(ctx, outcome);
    return outcome;
}

// --- Host state -----------------------------------------------------------------

Outcome scenario_host_state(HostContext& ctx) {
    Outcome outcome;
    Lighting lighting(ctx.create);
    if (!start_example(ctx, lighting, outcome)) return outcome;
    for (int i = 0; i < 150; ++i)
        add_light(lighting.get(),
                  Vec3{static_cast<float>(-20 + (i * 7) % 60),
                       static_cast<float>(-8 + (i * 13) % 60), static_cast<float>(i % 8)},
                  2.0f + static_cast<float>(i % 5), Vec3{0.5f, 0.25f, 1});

    const D3DCOLOR host_color = 0xFF405060;
    ctx.device->bind_host_targets(host_color);
    IDirect3DDevice9* device = ctx.device->device();
    // The host's own shaders and vertex shader constants.
    IDirect3DVertexShader9* host_vs = nullptr;
    IDirect3DPixelShader9* host_ps = nullptr;
    device->CreateVertexShader(light_vertex_program, &host_vs);
    device->CreatePixelShader(light_pixel_program, &host_ps);
    outcome.expect(host_vs && host_ps, "the device refused the built-in shaders");
    device->SetVertexShader(host_vs);
    device->SetPixelShader(host_ps);
    constexpr UINT registers = 256;
    float constants[registers][4];
    for (UINT r = 0; r < registers; ++r)
        for (int c = 0; c < 4; ++c) constants[r][c] = static_cast<float>(r) + 0.25f * c;
    device->SetVertexShaderConstantF(0, constants[0], registers);
    const ULONG host_vs_refs = ref_count(host_vs);
    IDirect3DVertexShader9* vs_before = nullptr;
    IDirect3DPixelShader9* ps_before = nullptr;
    device->GetVertexShader(&vs_before);
    device->GetPixelShader(&ps_before);

    const HostState before = capture_host_state(ctx);
    const long calls_before = render_state_calls();
    render(ctx, lighting.get(), k_frame);
    const HostState after = capture_host_state(ctx);
    expect_same_host_state(outcome, before, after, "render with 150 lights");
    outcome.expect(render_state_calls() - calls_before == 11,
                   format("the render-state callback was called %ld times in a frame, expected 11",
                          render_state_calls() - calls_before));

    IDirect3DVertexShader9* vs_after = nullptr;
    IDirect3DPixelShader9* ps_after = nullptr;
    device->GetVertexShader(&vs_after);
    device->GetPixelShader(&ps_after);
    outcome.expect(vs_after == vs_before && ps_after == ps_before,
                   "the host's shaders were not restored after the pass");
    outcome.expect(vs_before == host_vs && ps_before == host_ps,
                   "GetVertexShader/GetPixelShader did not return the host's shaders");
    // The test effect provider restores shaders only; D3DX's state saving and
    // the built-in shaders restore the constants as well.
    if (!ctx.provider_stats) {
        float after_constants[registers][4];
        device->GetVertexShaderConstantF(0, after_constants[0], registers);
        UINT changed = 0;
        for (UINT r = 0; r < registers; ++r)
            if (std::memcmp(after_constants[r], constants[r], sizeof constants[r]) != 0) ++changed;
        outcome.expect(changed == 0,
                       format("%u vertex shader constant registers changed in a frame", changed));
    }
    for (IUnknown* s : {static_cast<IUnknown*>(vs_before), static_cast<IUnknown*>(ps_before),
                        static_cast<IUnknown*>(vs_after), static_cast<IUnknown*>(ps_after)})
        if (s) s->Release();
    outcome.expect(ref_count(host_vs) == host_vs_refs,
                   "a frame changed the host vertex shader's reference count");

    Image host_image;
    std::string error;
    if (ctx.device->read_surface(ctx.device->host_target(), host_image, error))
        outcome.expect(all_equal(host_image, host_color),
                       "lightvol drew into or cleared the host's target");
    else
        outcome.fail(error);

    // A frame without visible lights restores the same state and sets no render state.
    ctx.device->bind_host_targets(host_color);
    lighting->clear_point_lights();
    const HostState before_empty = capture_host_state(ctx);
    const long calls_before_empty = render_state_calls();
    render(ctx, lighting.get(), k_frame);
    expect_same_host_state(outcome, before_empty, capture_host_state(ctx), "render without lights");
    outcome.expect(render_state_calls() == calls_before_empty,
                   "the render-state callback was called in a frame without lights");
    device->SetVertexShader(nullptr);
    device->SetPixelShader(nullptr);
    if (host_vs) host_vs->Release();
    if (host_ps) host_ps->Release();

    lighting.release();
    expect_no_boxes(ctx, outcome);
    return outcome;
}

// --- Pictures -------------------------------------------------------------------

Outcome scenario_picture(HostContext& ctx, const scene_file::Scene& scene, std::string& figures) {
    Outcome outcome;
    Lighting lighting(ctx.create);
    if (!lighting) {
        outcome.fail("create_ILightingSystem returned null");
        return outcome;
    }
    lighting->init(ctx.device->device(), &host_set_render_state);
    lighting->set_volume(scene.width, scene.height, scene.depth, scene.cell_size);
    lighting->set_base_layer(scene.base_layer);
    for (const scene_file::Light& l : scene.lights) {
        IPointLight* light =
            add_light(lighting.get(), Vec3{l.position[0], l.position[1], l.position[2]}, l.radius,
                      Vec3{l.color[0], l.color[1], l.color[2]});
        if (!light) continue;
        light->set_visible(l.visible);
        light->set_auto_cull(l.auto_cull);
    }
    for (const scene_file::Frame& f : scene.frames) {
        const HostState before = capture_host_state(ctx);
        render(ctx, lighting.get(), frame_of(f));
        expect_same_host_state(outcome, before, capture_host_state(ctx), "a frame of the scene");
    }

    Image map;
    if (read_light_map(ctx, lighting.get(), map, outcome)) {
        if (map.width != scene.reference_width || map.height != scene.reference_height) {
            outcome.fail(format("light map is %u x %u, the reference %lu x %lu", map.width,
                                map.height, static_cast<unsigned long>(scene.reference_width),
                                static_cast<unsigned long>(scene.reference_height)));
        } else {
            // A black reference would let a black picture pass: every scene
            // is meant to show light.
            outcome.expect(!std::all_of(scene.reference.begin(), scene.reference.end(),
                                        [](uint32_t t) { return (t & 0x00FFFFFFu) == 0; }),
                           "the reference light map is black: the scene shows no light");
            const PictureDiff diff =
                compare_pictures(map.texels, scene.reference, map.width, map.height);
            figures = describe(diff);
            std::string why;
            outcome.expect(pictures_agree(diff, why), why);
            if (!ctx.dump_dir.empty())
                dump_pictures(ctx.dump_dir, scene.name, map.texels, scene.reference, map.width,
                              map.height);
        }
        if (ctx.plain_pictures && !ctx.device->ex()) {
            (*ctx.plain_pictures)[scene.name] = map.texels;
        } else if (ctx.plain_pictures) {
            const auto plain = ctx.plain_pictures->find(scene.name);
            if (plain == ctx.plain_pictures->end() || plain->second.size() != map.texels.size()) {
                outcome.fail("no light map of the plain device to compare with");
            } else {
                size_t differ = 0;
                for (size_t i = 0; i < map.texels.size(); ++i)
                    differ += (map.texels[i] & 0x00FFFFFFu) != (plain->second[i] & 0x00FFFFFFu);
                outcome.expect(differ == 0,
                               format("%lu texels differ from the plain device's light map",
                                      static_cast<unsigned long>(differ)));
            }
        }
    }
    lighting.release();
    expect_no_boxes(ctx, outcome);
    return outcome;
}

// --- Leaks ----------------------------------------------------------------------

Outcome scenario_leaks(HostContext& ctx) {
    Outcome outcome;
    IDirect3DDevice9* device = ctx.device->device();
    const ULONG device_refs = ref_count(device);
    {
        Lighting lighting(ctx.create);
        if (!start_example(ctx, lighting, outcome)) return outcome;
        for (int i = 0; i < 120; ++i)
            add_light(lighting.get(),
                      Vec3{static_cast<float>(i % 40), static_cast<float>(i / 3), 4}, 3,
                      Vec3{1, 0, 0});
        render(ctx, lighting.get(), k_frame);
        lighting->set_volume(16, 16, 2, 2.0f);
        render(ctx, lighting.get(), k_frame);
        lighting->on_lost_device();
        if (!host_reset(ctx, outcome)) outcome.fail("Reset after on_lost_device failed");
        lighting->on_reset_device();
        render(ctx, lighting.get(), k_frame);
        outcome.expect(ref_count(device) > device_refs,
                       "the device's count did not rise while lightvol held resources");
    }
    expect_device_refs_back(device, device_refs, outcome);
    if (ctx.provider_stats) {
        EffectProviderStats stats{};
        ctx.provider_stats(&stats);
        outcome.expect(
            stats.effects_alive == 0,
            format("%ld effect objects are still alive after release", stats.effects_alive));
    }
    expect_no_boxes(ctx, outcome);
    return outcome;
}

// --- Effect use -----------------------------------------------------------------

Outcome scenario_effect_use(HostContext& ctx) {
    Outcome outcome;
    if (!ctx.provider_stats) {
        outcome.fail("the test effect provider is not the loaded d3dx9_43.dll");
        return outcome;
    }
    EffectProviderStats stats{};
    ctx.provider_stats(&stats);
    outcome.expect(stats.effects_created > 0, "no effect was created");
    outcome.expect(stats.texts_rejected == 0,
                   format("lightvol asked for %ld effect texts other than the light effect",
                          stats.texts_rejected));
    outcome.expect(
        stats.misuses == 0,
        format("%ld effect calls were refused (unknown name or wrong order)", stats.misuses));
    outcome.expect(stats.begins_saving > 0, "Begin never saved the device state (flags 0)");
    outcome.expect(stats.commits > 0, "CommitChanges was never called inside a pass");

    // The provider serves the light effect and nothing else, so a picture that
    // matches cannot come from some other effect text.
    std::string text(light_effect_source, light_effect_source_length);
    text[text.find("1 - length")] = '2';
    HMODULE d3dx = GetModuleHandleA("d3dx9_43.dll");
    auto create = reinterpret_cast<CreateEffectFn>(
        reinterpret_cast<void*>(GetProcAddress(d3dx, "D3DXCreateEffect")));
    IUnknown* effect = nullptr;
    MessageBuffer* errors = nullptr;
    const HRESULT hr =
        create ? create(ctx.device->device(), text.data(), static_cast<UINT>(text.size()), nullptr,
                        nullptr, D3DXFX_NOT_CLONEABLE_VALUE, nullptr, &effect, &errors)
               : E_FAIL;
    outcome.expect(FAILED(hr) && !effect, "the provider accepted an effect text it does not serve");
    outcome.expect(errors != nullptr, "the provider's refusal came without a message");
    if (effect) effect->Release();
    if (errors) errors->Release();
    return outcome;
}

// --- Built-in shader bytecode -----------------------------------------------------

typedef HRESULT(WINAPI* AssembleShaderFn)(const char*, UINT, const void*, void*, DWORD,
                                          MessageBuffer**, MessageBuffer**);

namespace {

// Assembles `text` and compares the tokens with the module's `tokens`.
void expect_assembles_to(Outcome& outcome, AssembleShaderFn assemble, const char* name,
                         const char* text, const DWORD* tokens, size_t count) {
    MessageBuffer* code = nullptr;
    MessageBuffer* errors = nullptr;
    const HRESULT hr =
        assemble(text, static_cast<UINT>(std::strlen(text)), nullptr, nullptr, 0, &code, &errors);
    if (FAILED(hr) || !code) {
        outcome.fail(format("%s: D3DXAssembleShader failed (hr %s): %s", name,
                            hex(static_cast<uint32_t>(hr)).c_str(),
                            errors ? static_cast<const char*>(errors->GetBufferPointer()) : ""));
    } else {
        const DWORD* assembled = static_cast<const DWORD*>(code->GetBufferPointer());
        const size_t assembled_count = code->GetBufferSize() / sizeof(DWORD);
        size_t first_difference = 0;
        while (first_difference < count && first_difference < assembled_count &&
               assembled[first_difference] == tokens[first_difference])
            ++first_difference;
        if (assembled_count != count || first_difference != count)
            outcome.fail(
                format("%s: %u assembled tokens, %u built in; first difference at token "
                       "%u (assembled %s, built in %s)",
                       name, static_cast<unsigned>(assembled_count), static_cast<unsigned>(count),
                       static_cast<unsigned>(first_difference),
                       first_difference < assembled_count ? hex(assembled[first_difference]).c_str()
                                                          : "none",
                       first_difference < count ? hex(tokens[first_difference]).c_str() : "none"));
    }
    if (code) code->Release();
    if (errors) errors->Release();
}

}  // namespace

Outcome scenario_builtin_bytecode(HostContext&) {
    Outcome outcome;
    HMODULE d3dx = LoadLibraryA("d3dx9_42.dll");
    auto assemble = d3dx ? reinterpret_cast<AssembleShaderFn>(
                               reinterpret_cast<void*>(GetProcAddress(d3dx, "D3DXAssembleShader")))
                         : nullptr;
    if (!assemble) {
        outcome.fail("Wine's d3dx9_42.dll with D3DXAssembleShader could not be loaded");
    } else {
        expect_assembles_to(outcome, assemble, "vertex program", provider::light_vertex_shader_asm,
                            light_vertex_program, light_vertex_program_tokens);
        expect_assembles_to(outcome, assemble, "pixel program", provider::light_pixel_shader_asm,
                            light_pixel_program, light_pixel_program_tokens);
    }
    if (d3dx) FreeLibrary(d3dx);
    return outcome;
}

// --- Wine's own D3DX ------------------------------------------------------------

namespace {

// Whether the loaded D3DX compiles the light effect; its message when not.
bool compiles_light_effect(HostContext& ctx, std::string& message, Outcome& outcome) {
    HMODULE d3dx = GetModuleHandleA("d3dx9_43.dll");
    auto create = d3dx ? reinterpret_cast<CreateEffectFn>(
                             reinterpret_cast<void*>(GetProcAddress(d3dx, "D3DXCreateEffect")))
                       : nullptr;
    if (!create) {
        outcome.fail("d3dx9_43.dll is not loaded, or has no D3DXCreateEffect");
        return false;
    }
    IUnknown* effect = nullptr;
    MessageBuffer* errors = nullptr;
    const HRESULT hr = create(ctx.device->device(), light_effect_source,
                              static_cast<UINT>(light_effect_source_length), nullptr, nullptr,
                              D3DXFX_NOT_CLONEABLE_VALUE, nullptr, &effect, &errors);
    if (effect) effect->Release();
    message.clear();
    if (errors) {
        const char* text = static_cast<const char*>(errors->GetBufferPointer());
        // Bounded by the buffer's size, in case the text lacks its NUL.
        const DWORD size = errors->GetBufferSize();
        DWORD length = 0;
        while (text && length < size && text[length]) ++length;
        if (text) message.assign(text, length);
        errors->Release();
    }
    return SUCCEEDED(hr);
}

}  // namespace

Outcome scenario_init_without_message(HostContext& ctx) {
    Outcome outcome;
    std::string message;
    const bool compiles = compiles_light_effect(ctx, message, outcome);
    if (!outcome.passed()) return outcome;
    // Printed for the log: what this D3DX makes of the light effect.
    std::printf(
        "wine d3dx: %s\n",
        compiles ? "compiles the light effect"
                 : ("refuses the light effect: " + message.substr(0, message.find('\n'))).c_str());
    ctx.boxes->take();

    IDirect3DDevice9* device = ctx.device->device();
    const ULONG device_refs = ref_count(device);
    {
        Lighting lighting(ctx.create);
        if (!lighting) {
            outcome.fail("create_ILightingSystem returned null");
            return outcome;
        }
        lighting->init(device, &host_set_render_state);
        for (const MessageBoxSeen& box : ctx.boxes->take())
            outcome.fail("init showed a message box \"" + box.caption + "\": " + box.text);
        outcome.expect(ref_count(device) > device_refs,
                       "init made no device object: the light shaders are missing");
    }
    expect_device_refs_back(device, device_refs, outcome);
    expect_no_boxes(ctx, outcome);
    return outcome;
}
