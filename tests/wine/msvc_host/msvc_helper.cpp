// lightvol_msvc_helper.dll: the Direct3D side of the MSVC-ABI test host,
// reusing the Wine test host's device and message box watcher.
#define LIGHTVOL_MSVC_HELPER_BUILDING
#include "msvc_helper.h"

#include <string>

#include "../host/host_device.h"
#include "../host/message_boxes.h"

namespace {

HostDevice* g_device = nullptr;
MessageBoxWatcher* g_boxes = nullptr;
Image g_image;
std::string g_error;

}  // namespace

extern "C" {

int32_t LVH_CALL lvh_start(void) {
    if (g_device) return 0;
    g_boxes = new MessageBoxWatcher();
    if (!g_boxes->start()) {
        g_error = "cannot start the message box watcher";
        return 1;
    }
    g_device = new HostDevice();
    if (!g_device->create(g_error) || !g_device->create_host_targets(g_error)) return 1;
    return 0;
}

void LVH_CALL lvh_stop(void) {
    if (g_device) g_device->destroy();
    delete g_device;
    g_device = nullptr;
    if (g_boxes) g_boxes->stop();
    delete g_boxes;
    g_boxes = nullptr;
}

IDirect3DDevice9* LVH_CALL lvh_device(void) { return g_device ? g_device->device() : nullptr; }

const char* LVH_CALL lvh_error(void) { return g_error.c_str(); }

int32_t LVH_CALL lvh_begin_scene(void) {
    return g_device ? static_cast<int32_t>(g_device->device()->BeginScene()) : -1;
}

int32_t LVH_CALL lvh_end_scene(void) {
    return g_device ? static_cast<int32_t>(g_device->device()->EndScene()) : -1;
}

int32_t LVH_CALL lvh_set_render_state(int32_t state, int32_t value) {
    if (!g_device) return -1;
    return static_cast<int32_t>(g_device->device()->SetRenderState(
        static_cast<D3DRENDERSTATETYPE>(state), static_cast<DWORD>(value)));
}

int32_t LVH_CALL lvh_reset(void) {
    if (!g_device) return -1;
    g_device->release_host_targets();
    const HRESULT hr = g_device->reset();
    if (SUCCEEDED(hr) && !g_device->create_host_targets(g_error)) return -1;
    return static_cast<int32_t>(hr);
}

uint32_t LVH_CALL lvh_device_refs(void) {
    return g_device ? static_cast<uint32_t>(ref_count(g_device->device())) : 0;
}

uint32_t LVH_CALL lvh_message_boxes(void) {
    return g_boxes ? static_cast<uint32_t>(g_boxes->take().size()) : 0;
}

int32_t LVH_CALL lvh_read_texture(IDirect3DTexture9* texture, uint32_t* width, uint32_t* height) {
    g_image = Image{};
    if (!g_device || !g_device->read_texture(texture, g_image, g_error)) return 1;
    if (width) *width = g_image.width;
    if (height) *height = g_image.height;
    return 0;
}

uint32_t LVH_CALL lvh_texel(uint32_t x, uint32_t y) {
    if (x >= g_image.width || y >= g_image.height) return 0xFFFFFFFFu;
    return g_image.at(x, y) & 0x00FFFFFFu;
}

}  // extern "C"
