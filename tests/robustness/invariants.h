// What a host can hold the module to after every call, whatever the device
// refused and whatever the host passed. Shared by the robustness suites and the
// fuzz harness, so it needs no test framework: each check returns an empty
// string when everything holds, otherwise what does not.
#pragma once

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/device_context.h"
#include "device/device_obj.h"
#include "device/effect.h"
#include "device/point_light_mesh.h"
#include "device/render_target.h"
#include "device/vertex_decl.h"
#include "lighting/lighting_system.h"
#include "lightvol.h"
#include "platform/software/software_device.h"

namespace robustness {

using lightvol_sw::SoftwareDevice;
using lightvol_sw::StateSnapshot;

// The device the host's render-state callback forwards to.
inline SoftwareDevice*& callback_target() {
    static SoftwareDevice* device = nullptr;
    return device;
}

inline int32_t host_set_render_state(int32_t state, int32_t value) {
    if (callback_target())
        callback_target()->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state),
                                          static_cast<DWORD>(value));
    return 0;
}

// The whole device state the software device holds, and the references that
// others hold on the host's render target, depth surface and shaders.
struct HostSnapshot {
    StateSnapshot device;
    IDirect3DSurface9* target = nullptr;
    IDirect3DSurface9* depth = nullptr;
    D3DVIEWPORT9 viewport{};
    ULONG target_refs = 0;
    ULONG depth_refs = 0;
    IDirect3DVertexShader9* vertex_shader = nullptr;
    IDirect3DPixelShader9* pixel_shader = nullptr;
    ULONG vertex_shader_refs = 0;
    ULONG pixel_shader_refs = 0;
    float constants[256][4] = {};
};

// Reads the state through the device's getters, giving back the references
// they add. The getters count as calls: callers that inject failures make sure
// none of them is refused.
inline HostSnapshot capture_host_state(SoftwareDevice& dev) {
    HostSnapshot s;
    s.device = dev.state_snapshot();
    dev.GetRenderTarget(0, &s.target);
    dev.GetDepthStencilSurface(&s.depth);
    dev.GetViewport(&s.viewport);
    if (s.target) {
        s.target_refs = SoftwareDevice::ref_count(s.target) - 1;
        s.target->Release();
    }
    if (s.depth) {
        s.depth_refs = SoftwareDevice::ref_count(s.depth) - 1;
        s.depth->Release();
    }
    dev.GetVertexShader(&s.vertex_shader);
    dev.GetPixelShader(&s.pixel_shader);
    if (s.vertex_shader) {
        s.vertex_shader_refs = SoftwareDevice::ref_count(s.vertex_shader) - 1;
        s.vertex_shader->Release();
    }
    if (s.pixel_shader) {
        s.pixel_shader_refs = SoftwareDevice::ref_count(s.pixel_shader) - 1;
        s.pixel_shader->Release();
    }
    for (UINT r = 0; r < 256; ++r) std::memcpy(s.constants[r], dev.vertex_shader_constant(r), 16);
    return s;
}

inline std::string describe(const D3DVIEWPORT9& v) {
    char text[128];
    std::snprintf(text, sizeof text, "(%u,%u,%u,%u,%g,%g)", static_cast<unsigned>(v.X),
                  static_cast<unsigned>(v.Y), static_cast<unsigned>(v.Width),
                  static_cast<unsigned>(v.Height), static_cast<double>(v.MinZ),
                  static_cast<double>(v.MaxZ));
    return text;
}

// What differs between two device states, each item followed by `end`. The
// seven states the module sets through the host's callback are the host's own
// doing; everything else must come back as it was.
inline std::string device_state_changes(const StateSnapshot& before, const StateSnapshot& after,
                                        const char* end = "; ") {
    static const std::bitset<StateSnapshot::kRenderStates> told = [] {
        std::bitset<StateSnapshot::kRenderStates> states;
        for (D3DRENDERSTATETYPE state :
             {D3DRS_ZENABLE, D3DRS_ZWRITEENABLE, D3DRS_SRCBLEND, D3DRS_DESTBLEND, D3DRS_CULLMODE,
              D3DRS_ALPHABLENDENABLE, D3DRS_BLENDOP})
            states.set(state);
        return states;
    }();
    return lightvol_sw::describe_differences(before, after, told, end);
}

inline std::string compare_host_state(const HostSnapshot& before, const HostSnapshot& after) {
    std::string out = device_state_changes(before.device, after.device);
    if (after.target != before.target) out += "render target changed; ";
    if (after.depth != before.depth) out += "depth surface changed; ";
    if (std::memcmp(&after.viewport, &before.viewport, sizeof(D3DVIEWPORT9)) != 0)
        out +=
            "viewport " + describe(before.viewport) + " became " + describe(after.viewport) + "; ";
    if (after.target_refs != before.target_refs)
        out += "render target references " + std::to_string(before.target_refs) + " -> " +
               std::to_string(after.target_refs) + "; ";
    if (after.depth_refs != before.depth_refs)
        out += "depth surface references " + std::to_string(before.depth_refs) + " -> " +
               std::to_string(after.depth_refs) + "; ";
    if (after.vertex_shader != before.vertex_shader) out += "vertex shader changed; ";
    if (after.pixel_shader != before.pixel_shader) out += "pixel shader changed; ";
    if (after.vertex_shader_refs != before.vertex_shader_refs ||
        after.pixel_shader_refs != before.pixel_shader_refs)
        out += "shader references changed; ";
    if (std::memcmp(after.constants, before.constants, sizeof before.constants) != 0)
        out += "vertex shader constants changed; ";
    return out;
}

inline bool registered(const DeviceObj* obj) {
    return g_device_objects.count(const_cast<DeviceObj*>(obj)) != 0;
}

// The system's device references: every object it points at is still
// registered (so not freed), and the texture the host reads is the light map's
// own texture or null, of the light map's size. Reads texels through the
// device's backdoor, which makes no call.
inline std::string check_system(ILightingSystem* iface) {
    auto* sys = static_cast<LightingSystem*>(iface);
    std::string out;
    if (sys->effect && !registered(sys->effect)) out += "effect not registered; ";
    if (sys->light_map && !registered(sys->light_map)) out += "light map freed or unlisted; ";
    if (sys->depth_target && !registered(sys->depth_target))
        out += "depth target freed or unlisted; ";
    if (g_vertex_decl && !registered(g_vertex_decl)) out += "vertex declaration unlisted; ";
    if (!sys->visible_lights.empty()) out += "visible lights kept between calls; ";
    IDirect3DTexture9* texture = sys->light_map_info.texture;
    if (texture) {
        if (!sys->light_map ||
            static_cast<IDirect3DBaseTexture9*>(texture) != sys->light_map->texture) {
            out += "LightMapInfo.texture is not the light map's texture; ";
        } else {
            const size_t texels = SoftwareDevice::read_pixels(texture).size();
            const int64_t expected =
                static_cast<int64_t>(sys->width) * sys->depth * static_cast<int64_t>(sys->height);
            if (static_cast<int64_t>(texels) != expected)
                out += "light map holds " + std::to_string(texels) + " texels, the volume " +
                       std::to_string(expected) + "; ";
        }
    }
    if (sys->get_light_map() != &sys->light_map_info) out += "get_light_map moved; ";
    return out;
}

// Whether a message box text is one of the three failure messages.
inline bool is_failure_message(const std::string& text, const std::string& compiler_text) {
    int w = 0, h = 0, fmt = 0, kind = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "w:%d, h:%d, fmt:%d, type:%d%c", &w, &h, &fmt, &kind, &tail) ==
        4) {
        char again[96];
        std::snprintf(again, sizeof again, "w:%i, h:%i, fmt:%i, type:%i", w, h, fmt, kind);
        return text == again && ((fmt == 22 && kind == 1) || (fmt == 77 && kind == 0));
    }
    // The managed request, or the default-pool one made after a managed pool
    // refused as an invalid call.
    if (text == "D3D9RenderEngine::create_vertex_buffer(Length:7200, Usage:0, Pool:1)" ||
        text == "D3D9RenderEngine::create_vertex_buffer(Length:7200, Usage:8, Pool:0)")
        return true;
    return text == "unknow" || (!compiler_text.empty() && text == compiler_text);
}

// Message boxes from index `first` on: caption "error", MB_OK, and a text
// that is one of the module's failure messages.
inline std::string check_message_boxes(size_t first, const std::string& compiler_text) {
    std::string out;
    const auto& boxes = lightvol_sw::message_boxes();
    for (size_t i = first; i < boxes.size(); ++i) {
        const auto& box = boxes[i];
        if (box.caption != "error" || box.flags != MB_OK ||
            !is_failure_message(box.text, compiler_text))
            out += "unexpected message box \"" + box.caption + "\" \"" + box.text + "\" flags " +
                   std::to_string(box.flags) + "; ";
    }
    return out;
}

// After release: nothing the module made is alive or was released twice, the
// registry and the light mesh are gone, and the device's own count is back.
inline std::string check_released(SoftwareDevice& dev, ULONG device_refs_before) {
    std::string out;
    if (dev.live_object_count() != 0) {
        out += "alive after release:";
        for (const std::string& label : dev.live_objects()) out += " " + label;
        out += "; ";
    }
    if (dev.over_releases() != 0)
        out += std::to_string(dev.over_releases()) + " releases of dead objects; ";
    for (const std::string& misuse : dev.misuses()) out += "misuse: " + misuse + "; ";
    if (!g_device_objects.empty())
        out += std::to_string(g_device_objects.size()) + " objects still registered; ";
    if (g_point_light_mesh) out += "light mesh not freed; ";
    if (SoftwareDevice::ref_count(&dev) != device_refs_before)
        out += "device references " + std::to_string(device_refs_before) + " -> " +
               std::to_string(SoftwareDevice::ref_count(&dev)) + "; ";
    return out;
}

}  // namespace robustness
