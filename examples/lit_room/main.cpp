// lit_room: a room lit by a hundred moving coloured lights through lightvol,
// drawn with Direct3D 9 and the engine's own shaders sampling the light map.
//
//   lit_room                                   interactive, until the window closes
//   lit_room --frames N --shots F1,F2,... --out DIR
//                                              N fixed steps, screenshots
//                                              DIR/lit_room_<F>.png, exit 0
//
// scene.h holds everything that decides a frame; this file is the engine's
// side: window, device, lightvol's calls, the draw, the device reset.
#include <windows.h>

#include <d3d9.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lightvol.h"
#include "png_file.h"
#include "scene.h"
#include "shaders_bytecode.h"

using namespace lit_room;

namespace {

// Where lit_room.hlsl's sampling.hlsl reads the light map: s4 and c20..c23.
const DWORD kLightMapStage = 4;
const UINT kLightConstants = 20;

struct Vertex {
    float position[3];
    float material[4];  // albedo, ambient
};

IDirect3DDevice9* g_device = nullptr;
Size g_client_size{0, 0};  // the window's client area, from WM_SIZE

int fail(const char* what, HRESULT hr = S_OK) {
    if (hr != S_OK)
        std::fprintf(stderr, "lit_room: %s failed (hr 0x%08lx)\n", what,
                     static_cast<unsigned long>(hr));
    else
        std::fprintf(stderr, "lit_room: %s\n", what);
    return 1;
}

// lightvol's render-state setter (an engine with a state cache would update
// its cache here).
int32_t LIGHTVOL_CDECL set_render_state(int32_t state, int32_t value) {
    g_device->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state), static_cast<DWORD>(value));
    return 0;
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_SIZE:
            g_client_size = {LOWORD(lparam), HIWORD(lparam)};
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, wparam, lparam);
    }
}

// A window whose client area is `size`.
void size_window(HWND window, Size size) {
    RECT rect{0, 0, size.width, size.height};
    AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
    SetWindowPos(window, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER);
}

// The room's boxes as triangles: four vertices and two triangles per face,
// each face with its own normal's ambient term.
struct RoomMesh {
    IDirect3DVertexBuffer9* vertices = nullptr;  // managed pool: survives Reset
    IDirect3DIndexBuffer9* indices = nullptr;
    UINT vertex_count = 0;
    UINT triangle_count = 0;
};

HRESULT create_room(IDirect3DDevice9* device, RoomMesh* mesh) {
    std::vector<Vertex> vertices;
    std::vector<WORD> indices;
    for (const Box& box : room_boxes()) {
        const float lo[3] = {box.min.x, box.min.y, box.min.z};
        const float hi[3] = {box.max.x, box.max.y, box.max.z};
        for (int axis = 0; axis < 3; ++axis) {
            for (int side = 0; side < 2; ++side) {
                const int u = (axis + 1) % 3, v = (axis + 2) % 3;
                float normal[3] = {0, 0, 0};
                normal[axis] = side ? 1.0f : -1.0f;
                const float a = ambient(Vec3{normal[0], normal[1], normal[2]});
                const WORD first = static_cast<WORD>(vertices.size());
                for (int corner = 0; corner < 4; ++corner) {
                    float p[3];
                    p[axis] = side ? hi[axis] : lo[axis];
                    p[u] = (corner & 1) ? hi[u] : lo[u];
                    p[v] = (corner & 2) ? hi[v] : lo[v];
                    vertices.push_back({{p[0], p[1], p[2]},
                                        {box.albedo.x, box.albedo.y, box.albedo.z, a}});
                }
                for (WORD i : {0, 1, 2, 2, 1, 3}) indices.push_back(static_cast<WORD>(first + i));
            }
        }
    }
    mesh->vertex_count = static_cast<UINT>(vertices.size());
    mesh->triangle_count = static_cast<UINT>(indices.size() / 3);
    const UINT vertex_bytes = static_cast<UINT>(vertices.size() * sizeof(Vertex));
    const UINT index_bytes = static_cast<UINT>(indices.size() * sizeof(WORD));
    HRESULT hr = device->CreateVertexBuffer(vertex_bytes, D3DUSAGE_WRITEONLY, 0, D3DPOOL_MANAGED,
                                            &mesh->vertices, nullptr);
    if (SUCCEEDED(hr))
        hr = device->CreateIndexBuffer(index_bytes, D3DUSAGE_WRITEONLY, D3DFMT_INDEX16,
                                       D3DPOOL_MANAGED, &mesh->indices, nullptr);
    void* data = nullptr;
    if (SUCCEEDED(hr)) hr = mesh->vertices->Lock(0, 0, &data, 0);
    if (SUCCEEDED(hr)) {
        std::memcpy(data, vertices.data(), vertex_bytes);
        mesh->vertices->Unlock();
        hr = mesh->indices->Lock(0, 0, &data, 0);
    }
    if (SUCCEEDED(hr)) {
        std::memcpy(data, indices.data(), index_bytes);
        mesh->indices->Unlock();
    }
    return hr;
}

// lightvol's part of a frame, inside BeginScene / EndScene: the volume centred
// on the camera, then the light map and its constants bound where
// sampling.hlsl reads them, for both shader types.
void light_frame(ILightingSystem* ls, IDirect3DDevice9* device, const VolumeRequest& request) {
    ls->render(&request.focus, request.movement, &request.box_min, &request.box_max);

    const LightMapInfo* info = ls->get_light_map();
    if (!info->texture) return;  // no light map (refused by the device)
    D3DSURFACE_DESC desc;
    info->texture->GetLevelDesc(0, &desc);
    const float w = static_cast<float>(desc.Width), h = static_cast<float>(desc.Height);
    const float constants[16] = {
        info->layer_step[0], info->layer_step[1], 0, 0,
        info->origin.x,      info->origin.y,      info->origin.z, 0,
        info->scale.x,       info->scale.y,       info->scale.z,  0,
        w,                   h,                   1 / w,          1 / h,
    };
    device->SetPixelShaderConstantF(kLightConstants, constants, 4);
    device->SetVertexShaderConstantF(kLightConstants, constants, 4);
    device->SetTexture(kLightMapStage, info->texture);
    device->SetSamplerState(kLightMapStage, D3DSAMP_MINFILTER, D3DTEXF_LINEAR);
    device->SetSamplerState(kLightMapStage, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR);
    device->SetSamplerState(kLightMapStage, D3DSAMP_MIPFILTER, D3DTEXF_NONE);
    device->SetSamplerState(kLightMapStage, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP);
    device->SetSamplerState(kLightMapStage, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP);
    device->SetSamplerState(kLightMapStage, D3DSAMP_SRGBTEXTURE, FALSE);
}

// The reset protocol: unbind the light map, let lightvol release its
// default-pool objects, Reset, let lightvol make them again. The room's
// buffers are managed and the shaders are not pool resources: they survive.
HRESULT reset_device(ILightingSystem* ls, IDirect3DDevice9* device,
                     D3DPRESENT_PARAMETERS* parameters) {
    device->SetTexture(kLightMapStage, nullptr);
    ls->on_lost_device();
    D3DPRESENT_PARAMETERS copy = *parameters;  // Reset may change its argument
    const HRESULT hr = device->Reset(&copy);
    if (SUCCEEDED(hr)) ls->on_reset_device();
    return hr;
}

// Reads the back buffer back and writes it as a PNG.
bool save_screenshot(IDirect3DDevice9* device, const char* path) {
    IDirect3DSurface9* back = nullptr;
    IDirect3DSurface9* copy = nullptr;
    D3DSURFACE_DESC desc{};
    HRESULT hr = device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
    if (SUCCEEDED(hr)) hr = back->GetDesc(&desc);
    if (SUCCEEDED(hr))
        hr = device->CreateOffscreenPlainSurface(desc.Width, desc.Height, desc.Format,
                                                 D3DPOOL_SYSTEMMEM, &copy, nullptr);
    if (SUCCEEDED(hr)) hr = device->GetRenderTargetData(back, copy);
    D3DLOCKED_RECT locked{};
    if (SUCCEEDED(hr)) hr = copy->LockRect(&locked, nullptr, D3DLOCK_READONLY);
    bool written = false;
    if (SUCCEEDED(hr)) {
        std::vector<uint8_t> rgb(static_cast<size_t>(desc.Width) * desc.Height * 3);
        for (UINT y = 0; y < desc.Height; ++y) {
            const auto* row = static_cast<const uint8_t*>(locked.pBits) + y * locked.Pitch;
            for (UINT x = 0; x < desc.Width; ++x) {  // X8R8G8B8: B, G, R, X in memory
                uint8_t* out = &rgb[(static_cast<size_t>(y) * desc.Width + x) * 3];
                out[0] = row[x * 4 + 2];
                out[1] = row[x * 4 + 1];
                out[2] = row[x * 4 + 0];
            }
        }
        copy->UnlockRect();
        written = write_png(path, static_cast<int32_t>(desc.Width),
                            static_cast<int32_t>(desc.Height), rgb.data());
    }
    if (copy) copy->Release();
    if (back) back->Release();
    if (FAILED(hr)) fail("reading the back buffer back", hr);
    return SUCCEEDED(hr) && written;
}

struct Options {
    bool test = false;  // --frames given: fixed steps, then exit
    int frames = 0;
    std::vector<int> shots;
    std::string out = ".";
};

bool parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (arg == "--frames") {
            options->test = true;
            options->frames = std::atoi(value);
        } else if (arg == "--shots") {
            for (const char* p = value; *p;) {
                char* end = nullptr;
                options->shots.push_back(static_cast<int>(std::strtol(p, &end, 10)));
                if (end == p) return false;
                p = *end == ',' ? end + 1 : end;
            }
        } else if (arg == "--out") {
            options->out = value;
        } else {
            return false;
        }
    }
    return !options->test || options->frames > 0;
}

// A colour channel in 0..1 as a byte, rounded.
DWORD to_byte(float channel) { return static_cast<DWORD>(channel * 255.0f + 0.5f); }

bool is_shot(const Options& options, int frame) {
    for (int shot : options.shots)
        if (shot == frame) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, &options)) {
        std::fprintf(stderr, "usage: lit_room [--frames N [--shots F1,F2,...] [--out DIR]]\n");
        return 2;
    }

    // The window, sized to the first back buffer.
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
    window_class.lpszClassName = "lit_room";
    RegisterClassA(&window_class);
    Size size = back_buffer_size(0);
    RECT rect{0, 0, size.width, size.height};
    AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
    HWND window = CreateWindowA("lit_room", "lit_room - lightvol", WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, rect.right - rect.left,
                                rect.bottom - rect.top, nullptr, nullptr,
                                window_class.hInstance, nullptr);
    if (!window) return fail("CreateWindow failed");
    ShowWindow(window, SW_SHOWNORMAL);

    // The device: hardware vertex processing, else software.
    IDirect3D9* d3d = Direct3DCreate9(D3D_SDK_VERSION);
    if (!d3d) return fail("Direct3DCreate9 failed");
    D3DPRESENT_PARAMETERS present{};
    present.BackBufferWidth = static_cast<UINT>(size.width);
    present.BackBufferHeight = static_cast<UINT>(size.height);
    present.BackBufferFormat = D3DFMT_X8R8G8B8;
    present.BackBufferCount = 1;
    present.SwapEffect = D3DSWAPEFFECT_DISCARD;
    present.hDeviceWindow = window;
    present.Windowed = TRUE;
    present.EnableAutoDepthStencil = TRUE;
    present.AutoDepthStencilFormat = D3DFMT_D24X8;
    present.PresentationInterval =
        options.test ? D3DPRESENT_INTERVAL_IMMEDIATE : D3DPRESENT_INTERVAL_ONE;
    IDirect3DDevice9* device = nullptr;
    HRESULT hr = S_OK;
    for (DWORD processing : {D3DCREATE_HARDWARE_VERTEXPROCESSING,
                             D3DCREATE_SOFTWARE_VERTEXPROCESSING}) {
        D3DPRESENT_PARAMETERS copy = present;
        hr = d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window, processing, &copy,
                               &device);
        if (SUCCEEDED(hr)) break;
    }
    if (FAILED(hr)) {
        d3d->Release();
        return fail("CreateDevice", hr);
    }
    g_device = device;

    // The room's shaders are vs_3_0 / ps_3_0.
    D3DCAPS9 caps{};
    device->GetDeviceCaps(&caps);
    if (caps.VertexShaderVersion < D3DVS_VERSION(3, 0) ||
        caps.PixelShaderVersion < D3DPS_VERSION(3, 0)) {
        device->Release();
        d3d->Release();
        return fail("the device has no shader model 3.0");
    }

    // The room: geometry, vertex layout and shaders.
    RoomMesh room;
    IDirect3DVertexDeclaration9* declaration = nullptr;
    IDirect3DVertexShader9* vertex_shader = nullptr;
    IDirect3DPixelShader9* pixel_shader = nullptr;
    const D3DVERTEXELEMENT9 elements[] = {
        {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0},
        {0, 12, D3DDECLTYPE_FLOAT4, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
        D3DDECL_END()};
    hr = create_room(device, &room);
    if (SUCCEEDED(hr)) hr = device->CreateVertexDeclaration(elements, &declaration);
    if (SUCCEEDED(hr)) hr = device->CreateVertexShader(kRoomVertexShader, &vertex_shader);
    if (SUCCEEDED(hr)) hr = device->CreatePixelShader(kRoomPixelShader, &pixel_shader);

    // lightvol: the lighting system, its volume and the lights.
    ILightingSystem* ls = create_ILightingSystem();
    ls->init(device, &set_render_state);
    ls->set_volume(kVolume.width, kVolume.height, kVolume.depth, kVolume.cell_size);
    ls->set_base_layer(kVolume.base_layer);
    IPointLight* lamps[kLightCount];
    for (IPointLight*& lamp : lamps) lamp = ls->create_point_light();
    Light lights[kLightCount];

    int status = FAILED(hr) ? fail("creating the room's resources", hr) : 0;
    if (status == 0 && !ls->get_light_map()->texture) status = fail("the device refused the light map");
    int shots_written = 0;
    const DWORD start = GetTickCount();
    for (int step = 0; status == 0 && (!options.test || step < options.frames); ++step) {
        // Interactive: frames follow the clock; test: one fixed step each.
        const int frame =
            options.test ? step : static_cast<int>((GetTickCount() - start) / (1000 * kTimeStep));

        MSG message;
        bool quit = false;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) quit = true;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (quit) break;

        // A new back-buffer size: the scene's at its resize frame when testing,
        // the window's client area otherwise.
        Size wanted = size;
        if (options.test) {
            wanted = back_buffer_size(frame);
            if (wanted.width != size.width || wanted.height != size.height)
                size_window(window, wanted);
        } else if (g_client_size.width > 0 && g_client_size.height > 0) {
            wanted = g_client_size;
        }
        HRESULT cooperative = device->TestCooperativeLevel();
        if (cooperative == D3DERR_DEVICELOST) {  // lost: wait until it can be reset
            Sleep(50);
            continue;
        }
        if (cooperative == D3DERR_DEVICENOTRESET || wanted.width != size.width ||
            wanted.height != size.height) {
            present.BackBufferWidth = static_cast<UINT>(wanted.width);
            present.BackBufferHeight = static_cast<UINT>(wanted.height);
            hr = reset_device(ls, device, &present);
            if (FAILED(hr)) {
                status = fail("Reset", hr);
                break;
            }
            size = wanted;
        }

        // The lights of this frame.
        lights_at(frame, lights);
        for (int i = 0; i < kLightCount; ++i) {
            lamps[i]->set_position(&lights[i].position);
            lamps[i]->set_color(&lights[i].color);
            lamps[i]->set_radius(lights[i].radius);
        }

        const Camera camera = camera_at(frame);
        float m[16], transposed[16];
        view_projection(camera, size.width, size.height, m);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) transposed[c * 4 + r] = m[r * 4 + c];

        hr = device->BeginScene();
        if (FAILED(hr)) {
            status = fail("BeginScene", hr);
            break;
        }
        device->Clear(0, nullptr, D3DCLEAR_TARGET | D3DCLEAR_ZBUFFER,
                      D3DCOLOR_XRGB(to_byte(kClearColor.x), to_byte(kClearColor.y),
                                    to_byte(kClearColor.z)),
                      1.0f, 0);
        light_frame(ls, device, volume_request(frame));

        // The room, with the states this draw relies on (render leaves
        // culling and blending as its callback was told).
        device->SetRenderState(D3DRS_CULLMODE, D3DCULL_NONE);
        device->SetRenderState(D3DRS_ZENABLE, D3DZB_TRUE);
        device->SetRenderState(D3DRS_ZWRITEENABLE, TRUE);
        device->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
        device->SetVertexDeclaration(declaration);
        device->SetStreamSource(0, room.vertices, 0, sizeof(Vertex));
        device->SetIndices(room.indices);
        device->SetVertexShader(vertex_shader);
        device->SetPixelShader(pixel_shader);
        device->SetVertexShaderConstantF(0, transposed, 4);
        device->DrawIndexedPrimitive(D3DPT_TRIANGLELIST, 0, 0, room.vertex_count, 0,
                                     room.triangle_count);
        device->EndScene();

        if (is_shot(options, frame)) {
            const std::string path = options.out + "/lit_room_" + std::to_string(frame) + ".png";
            if (!save_screenshot(device, path.c_str())) {
                status = fail(("writing " + path).c_str());
                break;
            }
            ++shots_written;
        }
        hr = device->Present(nullptr, nullptr, nullptr, nullptr);
        if (FAILED(hr) && hr != D3DERR_DEVICELOST) status = fail("Present", hr);
    }

    // Everything released exactly once: lightvol (and its lights) while the
    // device still exists, the room, then the device and Direct3D.
    device->SetTexture(kLightMapStage, nullptr);
    device->SetStreamSource(0, nullptr, 0, 0);
    device->SetIndices(nullptr);
    device->SetVertexDeclaration(nullptr);
    device->SetVertexShader(nullptr);
    device->SetPixelShader(nullptr);
    ls->release();
    if (pixel_shader) pixel_shader->Release();
    if (vertex_shader) vertex_shader->Release();
    if (declaration) declaration->Release();
    if (room.indices) room.indices->Release();
    if (room.vertices) room.vertices->Release();
    g_device = nullptr;
    const ULONG device_references = device->Release();
    d3d->Release();
    if (IsWindow(window)) DestroyWindow(window);  // closing it destroyed it already
    if (status == 0 && device_references != 0)
        status = fail("the device still had references after everything was released");
    if (status == 0 && options.test)
        std::printf("lit_room ran %d frames and wrote %d screenshots\n", options.frames,
                    shots_written);
    return status;
}
