#include "tools/preview/module_host.h"

#include <cstring>

namespace lightvol_preview {

namespace {

lightvol_sw::SoftwareDevice* g_host_device = nullptr;

int32_t set_state_on_device(int32_t state, int32_t value) {
    if (g_host_device)
        g_host_device->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state),
                                      static_cast<DWORD>(value));
    return 0;
}

}  // namespace

lightvol_sw::SoftwareDevice* ModuleHost::current_device() { return g_host_device; }

ModuleHost::ModuleHost(RenderStateCallback set_render_state, bool effect_refused) {
    g_host_device = &device_;
    if (effect_refused)
        device_.fail_effect_creation(0, D3DXERR_INVALIDDATA, "the light effect is refused");
    boxes_at_start_ = lightvol_sw::message_boxes().size();
    // The call log is for tests of the module; a host has no use for it.
    device_.set_recording(false);
    system_ = create_ILightingSystem();
    system_->init(&device_, set_render_state ? set_render_state : set_state_on_device);
    info_ = system_->get_light_map();
}

ModuleHost::~ModuleHost() {
    release_system();
    if (g_host_device == &device_) g_host_device = nullptr;
}

void ModuleHost::release_system() {
    release_readback();
    if (system_) system_->release();
    system_ = nullptr;
    info_ = nullptr;
}

void ModuleHost::release_readback() {
    if (readback_) readback_->Release();
    readback_ = nullptr;
    readback_width_ = readback_height_ = 0;
}

bool ModuleHost::set_volume(int32_t width, int32_t height, int32_t depth, float cell_size,
                            int32_t base_layer, std::string& error) {
    system_->set_volume(width, height, depth, cell_size);
    system_->set_base_layer(base_layer);
    // Every failure the module meets while making its device objects shows a
    // message box; the software device records them.
    const auto& boxes = lightvol_sw::message_boxes();
    if (info_->texture && boxes.size() == boxes_at_start_) return true;
    if (!info_->texture)
        error = "the device refused the light map (" + std::to_string(depth) +
                (depth == 1 ? " layer of " : " layers of ") + std::to_string(width) + " x " +
                std::to_string(height) + " texels, a " +
                std::to_string(static_cast<int64_t>(width) * depth) + " x " +
                std::to_string(height) + " texture)";
    else
        error = "the module could not make its device objects";
    for (size_t i = boxes_at_start_; i < boxes.size(); ++i)
        error += "; message box \"" + boxes[i].caption + "\": " + boxes[i].text;
    return false;
}

IPointLight* ModuleHost::add_light(const SceneLight& light) {
    IPointLight* l = system_->create_point_light();
    l->set_position(&light.position);
    l->set_radius(light.radius);
    l->set_color(&light.color);
    l->set_auto_cull(light.auto_cull);
    l->set_visible(light.visible);
    return l;
}

void ModuleHost::render(const SceneFrame& frame) {
    device_.BeginScene();
    system_->render(&frame.focus, frame.movement, &frame.box_min, &frame.box_max);
    device_.EndScene();
}

bool ModuleHost::read_light_map(LightMapReadback& out) {
    IDirect3DTexture9* texture = info_->texture;
    if (!texture) return false;
    IDirect3DSurface9* level = nullptr;
    if (FAILED(texture->GetSurfaceLevel(0, &level)) || !level) return false;
    D3DSURFACE_DESC desc{};
    bool ok = SUCCEEDED(level->GetDesc(&desc)) && desc.Format == D3DFMT_X8R8G8B8;
    if (ok && (!readback_ || readback_width_ != desc.Width || readback_height_ != desc.Height)) {
        release_readback();
        ok = SUCCEEDED(device_.CreateOffscreenPlainSurface(
                 desc.Width, desc.Height, desc.Format, D3DPOOL_SYSTEMMEM, &readback_, nullptr)) &&
             readback_;
        if (ok) {
            readback_width_ = desc.Width;
            readback_height_ = desc.Height;
        }
    }
    ok = ok && SUCCEEDED(device_.GetRenderTargetData(level, readback_));
    level->Release();
    D3DLOCKED_RECT locked{};
    if (!ok || FAILED(readback_->LockRect(&locked, nullptr, D3DLOCK_READONLY))) return false;
    out.width = static_cast<int32_t>(desc.Width);
    out.height = static_cast<int32_t>(desc.Height);
    out.texels.resize(static_cast<size_t>(desc.Width) * desc.Height);
    for (UINT y = 0; y < desc.Height; ++y)
        std::memcpy(
            out.texels.data() + static_cast<size_t>(y) * desc.Width,
            static_cast<const uint8_t*>(locked.pBits) + static_cast<size_t>(y) * locked.Pitch,
            static_cast<size_t>(desc.Width) * 4);
    readback_->UnlockRect();
    return true;
}

}  // namespace lightvol_preview
