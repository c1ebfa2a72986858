// lightvol inside Irrlicht 1.8's Direct3D 9 driver: an Irrlicht scene (a
// textured fogged floor, an animated mesh, a wireframe cube, alpha-channel,
// alpha-ref and additive billboards, a user clip plane on some frames, a GUI)
// with lightvol rendering 80 lights into a 64 x 64 x 8 light volume inside
// Irrlicht's frame, as docs/integration.md ("Living inside an engine") says.
//
//   irrlicht_lit.exe [--render off|first|after|node] [--plain] [--lit hlsl|asm]
//                    [--frames N] [--resize-at F] [--shots F1,F2,...] [--out DIR]
//                    [--media DIR]
//
// --render: off (Irrlicht alone), first (right after beginScene), after
// (between drawAll and the GUI, the default), node (from a scene node in the
// transparent pass). --plain leaves out EngineRenderStates, so the seven
// states stay as the render-state callback set them. --lit draws only a
// plane whose material samples the light map (HLSL through the shipped
// sampler, or the same in shader assembly) and writes the light map beside
// each screenshot. The window is resized through Irrlicht's own reset before
// frame --resize-at. Screenshots: DIR/shot_<F>.ppm from the back buffer;
// with --lit also DIR/light_<F>.bin (LightMapInfo, the map's size, its
// texels, and the camera's view-projection matrix).
#include <windows.h>
#include <d3d9.h>

#include <irrlicht.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lightvol.h"
#include "lightvol_engine_states.h"

using namespace irr;

namespace {

enum class RenderAt { off, first, after, node };

struct Options {
    RenderAt render = RenderAt::after;
    bool plain = false;
    std::string lit;  // "", "hlsl" or "asm"
    int frames = 48;
    int resize_at = 24;
    std::vector<int> shots;
    std::string out = ".";
    std::string media = "media";
};

IDirect3DDevice9* g_device = nullptr;
ILightingSystem* g_lights = nullptr;
EngineRenderStates g_states;
bool g_keep_states = true;

// Irrlicht sets render states on the device itself; the callback does too.
int32_t LIGHTVOL_CDECL set_render_state(int32_t state, int32_t value) {
    g_device->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state), static_cast<DWORD>(value));
    return 0;
}

// Irrlicht's world is y-up, lightvol's z-up.
Vec3 to_lightvol(const core::vector3df& p) { return {p.X, p.Z, p.Y}; }

// The volume: 64 x 64 cells of 0.5 m around the scene's centre, 8 layers.
const float kCell = 0.5f;
const core::vector3df kFocus(0, 0, 0);

void render_light() {
    if (!g_lights) return;
    const Vec3 focus = to_lightvol(kFocus);
    const float half = 64 * kCell / 2;
    const Vec3 lo{focus.x - half, focus.y - half, 0}, hi{focus.x + half, focus.y + half, 0};
    const float movement[2] = {0, 0};
    if (g_keep_states) g_states.capture();
    g_lights->render(&focus, movement, &lo, &hi);
    if (g_keep_states) g_states.apply();
}

// lightvol's frame from the middle of Irrlicht's transparent pass: Irrlicht
// sorts transparent nodes far to near, and this one sits among them.
class LightvolNode : public scene::ISceneNode {
public:
    LightvolNode(scene::ISceneManager* smgr, const core::vector3df& at)
        : ISceneNode(smgr->getRootSceneNode(), smgr, -1, at) {
        setAutomaticCulling(scene::EAC_OFF);
    }
    void OnRegisterSceneNode() override {
        if (IsVisible) SceneManager->registerNodeForRendering(this, scene::ESNRP_TRANSPARENT);
        ISceneNode::OnRegisterSceneNode();
    }
    void render() override { render_light(); }
    const core::aabbox3d<f32>& getBoundingBox() const override { return box_; }

private:
    core::aabbox3d<f32> box_{-1, -1, -1, 1, 1, 1};
};

// --- Engine resets: lightvol lets go before Irrlicht's Reset, from a hook on
// its window procedure, and comes back after device->run().
WNDPROC g_engine_proc = nullptr;
bool g_lost = false;

LRESULT CALLBACK window_hook(HWND window, UINT message, WPARAM w, LPARAM l) {
    if ((message == WM_SIZE || message == WM_DISPLAYCHANGE) && g_lights && !g_lost) {
        g_device->SetTexture(4, nullptr);
        g_states.release();
        g_lights->on_lost_device();
        g_lost = true;
    }
    return CallWindowProcA(g_engine_proc, window, message, w, l);
}

void after_engine_events() {
    if (!g_lost || g_device->TestCooperativeLevel() != D3D_OK) return;
    g_lights->on_reset_device();
    g_states.create(g_device);
    g_lost = false;
}

// --- The material that samples the light map (the plane of --lit).
const char* const kMaterialHlsl = R"(
float4x4 world_view_proj : register(c0);
float4 world_row_x : register(c4);
float4 world_row_y : register(c5);
float4 world_row_z : register(c6);
struct VsOut { float4 pos : POSITION; float3 t : TEXCOORD0; };
VsOut main_vs(float4 pos : POSITION) {
    VsOut o;
    o.pos = mul(pos, world_view_proj);
    float3 world = float3(dot(pos, world_row_x), dot(pos, world_row_y), dot(pos, world_row_z));
    o.t = light_map_coord(world.xzy);  // y-up to lightvol's z-up
    return o;
}
float4 main_ps(float3 t : TEXCOORD0) : COLOR { return float4(sample_light_at(t), 1); }
)";

// The same in assembly, for a D3DX that cannot compile the sampler (Wine 8's).
const char* const kMaterialVsAsm = R"(vs_3_0
dcl_position v0
dcl_position o0
dcl_texcoord0 o1.xyz
dp4 o0.x, v0, c0
dp4 o0.y, v0, c1
dp4 o0.z, v0, c2
dp4 o0.w, v0, c3
dp4 r0.x, v0, c4
dp4 r0.y, v0, c6
dp4 r0.z, v0, c5
add r1.xyz, c21, -r0
mul o1.xyz, r1, c22
)";
// sample_light_at of docs/sampling.hlsl, step by step.
const char* const kMaterialPsAsm = R"(ps_3_0
def c30, 0.5, 1.0, 0.0, 0.0
dcl_texcoord0 v0.xyz
dcl_2d s4
rcp r0.x, c20.x
add r0.y, -r0.x, c30.x
frc r0.z, r0.y
add r0.y, r0.y, -r0.z
add r0.y, r0.y, -c30.y
max r1.x, v0.z, c30.z
min r1.x, r1.x, r0.y
frc r1.y, r1.x
add r1.z, r1.x, -r1.y
add r1.w, r1.z, c30.y
min r1.w, r1.w, r0.y
mul r2.xy, c23.zw, c30.x
add r3.xy, v0.xy, r2.xy
add r2.z, -c20.x, -r2.x
max r3.x, r3.x, r2.x
min r3.x, r3.x, r2.z
add r2.w, c30.y, -r2.y
max r3.y, r3.y, r2.y
min r3.y, r3.y, r2.w
mad r4.xy, -r1.z, c20.xy, r3.xy
mad r5.xy, -r1.w, c20.xy, r3.xy
mov r4.zw, c30.z
mov r5.zw, c30.z
texld r4, r4, s4
texld r5, r5, s4
lrp r6.xyz, r1.y, r5, r4
mov r6.w, c30.y
mov oC0, r6
)";

// Per draw: the matrices, and the light map bound again (Irrlicht rewrites
// sampler states when materials change).
class LitMaterialConstants : public video::IShaderConstantSetCallBack {
public:
    explicit LitMaterialConstants(video::IVideoDriver* driver) : driver_(driver) {}
    void OnSetConstants(video::IMaterialRendererServices* services, s32) override {
        // Irrlicht's matrices transform row vectors; transposed, each register
        // holds one output's coefficients (dp4, or mul(pos, m) in HLSL).
        core::matrix4 wvp = driver_->getTransform(video::ETS_PROJECTION);
        wvp *= driver_->getTransform(video::ETS_VIEW);
        wvp *= driver_->getTransform(video::ETS_WORLD);
        wvp = wvp.getTransposed();
        const core::matrix4 world = driver_->getTransform(video::ETS_WORLD).getTransposed();
        services->setVertexShaderConstant(wvp.pointer(), 0, 4);
        services->setVertexShaderConstant(world.pointer(), 4, 3);
        bind_light_map();
    }
    static void bind_light_map() {
        const LightMapInfo* info = g_lights ? g_lights->get_light_map() : nullptr;
        if (!info || !info->texture) return;
        D3DSURFACE_DESC desc;
        info->texture->GetLevelDesc(0, &desc);
        const float w = float(desc.Width), h = float(desc.Height);
        const float c[16] = {info->layer_step[0], info->layer_step[1], 0, 0,
                             info->origin.x, info->origin.y, info->origin.z, 0,
                             info->scale.x, info->scale.y, info->scale.z, 0,
                             w, h, 1 / w, 1 / h};
        g_device->SetVertexShaderConstantF(20, c, 4);
        g_device->SetPixelShaderConstantF(20, c, 4);
        g_device->SetTexture(4, info->texture);
        g_device->SetSamplerState(4, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
        g_device->SetSamplerState(4, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
        g_device->SetSamplerState(4, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
        g_device->SetSamplerState(4, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
        g_device->SetSamplerState(4, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
        g_device->SetSamplerState(4, D3DSAMP_SRGBTEXTURE, FALSE);
    }

private:
    video::IVideoDriver* driver_;
};

std::string read_file(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

// --- Pictures read back from the device: `write` gets the open file and the
// texels of a system-memory copy of `source`.
template <class Write>
bool write_surface(IDirect3DSurface9* source, const std::string& path, Write write) {
    D3DSURFACE_DESC desc;
    source->GetDesc(&desc);
    IDirect3DSurface9* copy = nullptr;
    if (FAILED(g_device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format,
                                                     D3DPOOL_SYSTEMMEM, &copy, nullptr)))
        return false;
    D3DLOCKED_RECT locked;
    bool ok = SUCCEEDED(g_device->GetRenderTargetData(source, copy)) &&
              SUCCEEDED(copy->LockRect(&locked, nullptr, D3DLOCK_READONLY));
    if (ok) {
        FILE* f = std::fopen(path.c_str(), "wb");
        ok = f != nullptr;
        if (f) {
            write(f, desc, locked);
            std::fclose(f);
        }
        copy->UnlockRect();
    }
    copy->Release();
    return ok;
}

const uint32_t* texel_row(const D3DLOCKED_RECT& locked, UINT y) {
    return reinterpret_cast<const uint32_t*>(static_cast<const char*>(locked.pBits) +
                                             y * locked.Pitch);
}

bool write_back_buffer(const std::string& path) {
    IDirect3DSurface9* back = nullptr;
    if (FAILED(g_device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back))) return false;
    const bool ok = write_surface(back, path, [](FILE* f, const D3DSURFACE_DESC& desc,
                                                 const D3DLOCKED_RECT& locked) {
        std::fprintf(f, "P6\n%u %u\n255\n", desc.Width, desc.Height);
        std::vector<unsigned char> row(desc.Width * 3);
        for (UINT y = 0; y < desc.Height; ++y) {
            const uint32_t* texel = texel_row(locked, y);
            for (UINT x = 0; x < desc.Width; ++x) {
                row[x * 3] = (texel[x] >> 16) & 0xFF;
                row[x * 3 + 1] = (texel[x] >> 8) & 0xFF;
                row[x * 3 + 2] = texel[x] & 0xFF;
            }
            std::fwrite(row.data(), 1, row.size(), f);
        }
    });
    back->Release();
    return ok;
}

// The light map as the scene sampled it, its LightMapInfo and the camera.
bool write_light_map(const std::string& path, const core::matrix4& view_proj) {
    const LightMapInfo* info = g_lights->get_light_map();
    IDirect3DSurface9* level = nullptr;
    if (!info->texture || FAILED(info->texture->GetSurfaceLevel(0, &level))) return false;
    const bool ok = write_surface(level, path, [&](FILE* f, const D3DSURFACE_DESC& desc,
                                                  const D3DLOCKED_RECT& locked) {
        const float floats[8] = {info->layer_step[0], info->layer_step[1], info->origin.x,
                                 info->origin.y,      info->origin.z,      info->scale.x,
                                 info->scale.y,       info->scale.z};
        const int32_t size[2] = {int32_t(desc.Width), int32_t(desc.Height)};
        std::fwrite(floats, sizeof floats, 1, f);
        std::fwrite(size, sizeof size, 1, f);
        for (UINT y = 0; y < desc.Height; ++y) std::fwrite(texel_row(locked, y), 4, desc.Width, f);
        std::fwrite(view_proj.pointer(), sizeof(f32), 16, f);
    });
    level->Release();
    return ok;
}

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--plain") {
            o->plain = true;
            continue;
        }
        if (!v) return false;
        ++i;
        if (a == "--render") {
            const std::string r = v;
            o->render = r == "off" ? RenderAt::off : r == "first" ? RenderAt::first
                      : r == "node" ? RenderAt::node : RenderAt::after;
        } else if (a == "--lit") {
            o->lit = v;
        } else if (a == "--frames") {
            o->frames = std::atoi(v);
        } else if (a == "--resize-at") {
            o->resize_at = std::atoi(v);
        } else if (a == "--out") {
            o->out = v;
        } else if (a == "--media") {
            o->media = v;
        } else if (a == "--shots") {
            for (const char* p = v; *p;) {
                o->shots.push_back(std::atoi(p));
                while (*p && *p != ',') ++p;
                if (*p) ++p;
            }
        } else {
            return false;
        }
    }
    return true;
}

// The scene: Irrlicht's own media and materials of many kinds.
void build_scene(IrrlichtDevice* device, const Options& o, bool lit_only) {
    video::IVideoDriver* driver = device->getVideoDriver();
    scene::ISceneManager* smgr = device->getSceneManager();
    gui::IGUIEnvironment* gui = device->getGUIEnvironment();
    auto media = [&](const char* name) { return driver->getTexture((o.media + "/" + name).c_str()); };
    smgr->addCameraSceneNode(0, core::vector3df(0, 9, -14), core::vector3df(0, 0, 0));
    if (lit_only) return;
    driver->setFog(video::SColor(0, 110, 120, 140), video::EFT_FOG_LINEAR, 8, 30);

    scene::IAnimatedMesh* plane = smgr->addHillPlaneMesh(
        "floor", core::dimension2df(2, 2), core::dimension2du(12, 12), 0, 0,
        core::dimension2df(0, 0), core::dimension2df(6, 6));
    scene::ISceneNode* floor = smgr->addMeshSceneNode(plane->getMesh(0));
    floor->setMaterialTexture(0, media("wall.bmp"));
    floor->setMaterialFlag(video::EMF_LIGHTING, false);
    floor->setMaterialFlag(video::EMF_FOG_ENABLE, true);

    if (scene::IAnimatedMesh* mesh = smgr->getMesh((o.media + "/faerie.md2").c_str())) {
        scene::IAnimatedMeshSceneNode* faerie = smgr->addAnimatedMeshSceneNode(mesh);
        faerie->setMD2Animation(scene::EMAT_RUN);
        faerie->setMaterialTexture(0, media("faerie2.bmp"));
        faerie->setMaterialFlag(video::EMF_LIGHTING, false);
        faerie->setScale(core::vector3df(0.06f, 0.06f, 0.06f));
        faerie->setPosition(core::vector3df(-3, 1.5f, 0));
    }
    scene::ISceneNode* cube = smgr->addCubeSceneNode(2, 0, -1, core::vector3df(3, 1, 0));
    cube->setMaterialTexture(0, media("wall.bmp"));
    cube->setMaterialFlag(video::EMF_LIGHTING, false);
    cube->setMaterialFlag(video::EMF_WIREFRAME, true);

    struct Board {
        const char* texture;
        video::E_MATERIAL_TYPE type;
        core::vector3df at;
        bool depth_test;
    };
    const Board boards[] = {
        {"irrlichtlogoalpha2.tga", video::EMT_TRANSPARENT_ALPHA_CHANNEL, {0, 2, 3}, true},
        {"Particle.tga", video::EMT_TRANSPARENT_ALPHA_CHANNEL_REF, {-4, 1.5f, 3}, true},
        {"fire.bmp", video::EMT_TRANSPARENT_ADD_COLOR, {2, 1.2f, -2}, true},
        {"fire.bmp", video::EMT_TRANSPARENT_ADD_COLOR, {-1, 1.5f, -3}, false},
        {"fireball.bmp", video::EMT_TRANSPARENT_ADD_COLOR, {4, 2, 2}, false},
    };
    for (const Board& b : boards) {
        scene::IBillboardSceneNode* node =
            smgr->addBillboardSceneNode(0, core::dimension2df(3, 2), b.at);
        node->setMaterialTexture(0, media(b.texture));
        node->setMaterialType(b.type);
        node->setMaterialFlag(video::EMF_LIGHTING, false);
        node->setMaterialFlag(video::EMF_ZBUFFER, b.depth_test);
    }
    if (o.render == RenderAt::node) new LightvolNode(smgr, core::vector3df(0.5f, 1.5f, 0.5f));

    gui->addStaticText(L"lightvol inside Irrlicht", core::rect<s32>(10, 10, 200, 28), true);
    gui->addButton(core::rect<s32>(10, 34, 110, 60), 0, -1, L"A button");
    gui->addImage(media("irrlichtlogo.BMP"), core::position2d<s32>(10, 66));
}

void add_lights(ILightingSystem* ls) {
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return float(seed >> 8) / float(1u << 24);
    };
    for (int i = 0; i < 80; ++i) {
        IPointLight* light = ls->create_point_light();
        const core::vector3df at(next() * 24 - 12, next() * 3.5f, next() * 24 - 12);
        const Vec3 position = to_lightvol(at);
        const Vec3 colour{next(), next(), next()};
        light->set_position(&position);
        light->set_radius(1.5f + next() * 1.5f);
        light->set_color(&colour);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "irrlicht_lit: bad arguments\n");
        return 2;
    }
    g_keep_states = !o.plain;
    IrrlichtDevice* device = createDevice(video::EDT_DIRECT3D9, core::dimension2du(640, 360), 32);
    if (!device) {
        std::fprintf(stderr, "irrlicht_lit: no Direct3D 9 device\n");
        return 1;
    }
    device->getTimer()->stop();  // fixed time steps: every run draws the same frames
    video::IVideoDriver* driver = device->getVideoDriver();
    scene::ISceneManager* smgr = device->getSceneManager();
    const video::SExposedVideoData& exposed = driver->getExposedVideoData();
    g_device = exposed.D3D9.D3DDev9;
    HWND window = static_cast<HWND>(exposed.D3D9.HWnd);
    const bool lit = !o.lit.empty();
    build_scene(device, o, lit);

    if (o.render != RenderAt::off || lit) {
        g_lights = create_ILightingSystem();
        g_lights->init(g_device, &set_render_state);
        g_lights->set_volume(64, 64, 8, kCell);
        g_lights->set_base_layer(0);
        add_lights(g_lights);
        g_states.create(g_device);
        g_engine_proc = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
            window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&window_hook)));
    }
    LitMaterialConstants constants(driver);
    if (lit) {
        video::IGPUProgrammingServices* gpu = driver->getGPUProgrammingServices();
        s32 material = -1;
        if (o.lit == "hlsl") {
            const std::string source = read_file(o.media + "/sampling.hlsl") + kMaterialHlsl;
            material = gpu->addHighLevelShaderMaterial(source.c_str(), "main_vs", video::EVST_VS_3_0,
                                                       source.c_str(), "main_ps", video::EPST_PS_3_0,
                                                       &constants);
        } else {
            material = gpu->addShaderMaterial(kMaterialVsAsm, kMaterialPsAsm, &constants);
        }
        if (material < 0) {
            std::fprintf(stderr, "irrlicht_lit: the %s material was refused\n", o.lit.c_str());
            return 1;
        }
        scene::IAnimatedMesh* plane = smgr->addHillPlaneMesh(
            "lit", core::dimension2df(1, 1), core::dimension2du(20, 20));
        scene::ISceneNode* node = smgr->addMeshSceneNode(plane->getMesh(0));
        node->setMaterialType(video::E_MATERIAL_TYPE(material));
        node->setMaterialFlag(video::EMF_LIGHTING, false);
    }

    int shots = 0;
    for (int frame = 0; frame < o.frames && device->run(); ++frame) {
        after_engine_events();
        if (frame == o.resize_at) {
            // The engine resets the device inside its next run(), from WM_SIZE.
            RECT r{0, 0, 512, 288};
            AdjustWindowRect(&r, GetWindowLongA(window, GWL_STYLE), FALSE);
            SetWindowPos(window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                         SWP_NOMOVE | SWP_NOZORDER);
            if (!device->run()) break;
            after_engine_events();
        }
        device->getTimer()->setTime(u32(frame) * 40);
        // A user clip plane on frames 8 to 15, 24 to 31, ...: the far half is cut.
        driver->setClipPlane(0, core::plane3df(core::vector3df(0, 0, 2), core::vector3df(0, 0, -1)),
                             !lit && (frame / 8) % 2 == 1);
        if (!driver->beginScene(true, true, video::SColor(255, 40, 44, 52))) continue;
        if (o.render == RenderAt::first || lit) render_light();
        smgr->drawAll();
        if (o.render == RenderAt::after) render_light();
        if (!lit) device->getGUIEnvironment()->drawAll();
        for (int shot : o.shots) {
            if (shot != frame) continue;
            const std::string name = o.out + "/shot_" + std::to_string(frame);
            bool ok = write_back_buffer(name + ".ppm");
            if (lit) {
                core::matrix4 view_proj = driver->getTransform(video::ETS_PROJECTION);
                view_proj *= driver->getTransform(video::ETS_VIEW);
                ok = write_light_map(o.out + "/light_" + std::to_string(frame) + ".bin",
                                     view_proj) && ok;
            }
            if (!ok) std::fprintf(stderr, "irrlicht_lit: screenshot %d failed\n", frame);
            shots += ok;
        }
        driver->endScene();
    }
    const bool light_back = !g_lights || g_lights->get_light_map()->texture != nullptr;
    if (g_lights) {
        SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_engine_proc));
        g_device->SetTexture(4, nullptr);
        g_states.release();
        g_lights->release();
    }
    device->drop();
    std::printf("irrlicht_lit wrote %d screenshots%s\n", shots,
                light_back ? "" : "; the light map is missing");
    return shots == int(o.shots.size()) && light_back ? 0 : 1;
}
