// A minimal host for lightvol on the software Direct3D 9 device: it drives the
// module through its public interface only, as an engine does, and reads the
// light map back through GetRenderTargetData and LockRect.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lightvol.h"
#include "platform/software/software_device.h"
#include "tools/preview/scene.h"
#include "tools/sampling/light_sampler.h"

namespace lightvol_preview {

// The light map's texels as read back, row by row (X8R8G8B8).
struct LightMapReadback {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint32_t> texels;

    lightvol_sampling::LightMapPixels pixels() const {
        return {texels.data(), width, height, width * 4};
    }
};

class ModuleHost {
public:
    // With a null callback the host passes one that sets the render state on
    // its device. One host at a time: the module is bound to one device. With
    // effect_refused the device's D3DX refuses the light effect, as Wine's
    // does, and the module draws through its built-in shaders.
    explicit ModuleHost(RenderStateCallback set_render_state = nullptr,
                        bool effect_refused = false);
    ~ModuleHost();
    ModuleHost(const ModuleHost&) = delete;
    ModuleHost& operator=(const ModuleHost&) = delete;

    lightvol_sw::SoftwareDevice& device() { return device_; }
    ILightingSystem& system() { return *system_; }
    const LightMapInfo& info() const { return *info_; }

    // The device of the live host (for render-state callbacks), or null.
    static lightvol_sw::SoftwareDevice* current_device();

    // set_volume then set_base_layer. False when the device refused the light
    // map (LightMapInfo::texture stays null) or the module showed any failure
    // message since the host started; `error` then carries the messages.
    bool set_volume(int32_t width, int32_t height, int32_t depth, float cell_size,
                    int32_t base_layer, std::string& error);

    IPointLight* add_light(const SceneLight& light);

    // Releases the lighting system and the host's own surfaces ahead of the
    // destructor, so that the device's counts can be checked afterwards.
    void release_system();

    // One frame: render inside BeginScene / EndScene.
    void render(const SceneFrame& frame);

    // Copies the light map into `out` as a host reads it. False when there is
    // no light map or the device refuses the copy.
    bool read_light_map(LightMapReadback& out);

private:
    void release_readback();

    lightvol_sw::SoftwareDevice device_{64, 64};
    ILightingSystem* system_ = nullptr;
    const LightMapInfo* info_ = nullptr;
    IDirect3DSurface9* readback_ = nullptr;  // system-memory copy target
    UINT readback_width_ = 0;
    UINT readback_height_ = 0;
    size_t boxes_at_start_ = 0;
};

}  // namespace lightvol_preview
