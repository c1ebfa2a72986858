// One frame: place the volume, cull and batch the lights, and redraw the whole
// light map through the light effect. Whatever state the host left, the pass
// sets what it needs; everything it changes apart from the seven callback
// states ends the frame with the host's value (HostState).
#include "device/com_ref.h"
#include "device/device_context.h"
#include "device/effect.h"
#include "device/host_state.h"
#include "device/point_light_mesh.h"
#include "device/render_target.h"
#include "device/vertex_decl.h"
#include "lighting/lighting_system.h"
#include "lighting/render_state.h"

namespace {

void set_render_state(D3DRENDERSTATETYPE state, DWORD value) {
    if (g_set_render_state)
        g_set_render_state(static_cast<int32_t>(state), static_cast<int32_t>(value));
}

// Turns layer starts into viewports and batches into uploads and draws,
// through the compiled effect or, without one, through the built-in programs.
class LightPass final : public BatchConsumer {
public:
    LightPass(ID3DXEffect* effect, LightPrograms* programs, int32_t width, int32_t height)
        : effect_(effect), programs_(programs), width_(width), height_(height) {}

    void begin_layer(int32_t layer) override {
        const D3DVIEWPORT9 viewport{static_cast<DWORD>(width_) * static_cast<DWORD>(layer),
                                    0,
                                    static_cast<DWORD>(width_),
                                    static_cast<DWORD>(height_),
                                    0.0f,
                                    1.0f};
        g_device->SetViewport(&viewport);
    }

    void flush_batch(const float* light_info, const float* light_color, int32_t n) override {
        if (effect_) {
            const UINT floats = static_cast<UINT>(3 * n);
            effect_->SetFloatArray("light_info", light_info, floats);
            effect_->SetFloatArray("light_color", light_color, floats);
            effect_->CommitChanges();
        } else {
            programs_->upload_batch(light_info, light_color, n);
        }
        if (g_point_light_mesh) g_point_light_mesh->draw(2 * n);
    }

private:
    ID3DXEffect* effect_;
    LightPrograms* programs_;
    int32_t width_;
    int32_t height_;
};

}  // namespace

void LightingSystem::render(const Vec3* focus, const float* movement, const Vec3* box_min,
                            const Vec3* box_max) {
    if (!light_map || !effect || !enabled) return;
    if (!focus || !movement || !box_min || !box_max) return;

    // Targets without surfaces (refused, or the device is lost): binding them
    // would change nothing, and the clear and draws would land on the host's
    // own target. Without the state block nothing could be given back. In
    // both cases the light map is not published.
    if (!light_map->surface || !depth_target || !depth_target->surface || !host_state.ready())
        return;

    // The placement is kept aside until the light map is bound: a frame that
    // does not redraw the map leaves light_map_info and world2scr describing
    // the map it keeps.
    const VolumePlacement placement = compute_placement(*focus, movement, *box_min, *box_max);

    // Everything that may allocate comes before the first device call, so an
    // allocation failure leaves the frame with the host's state untouched.
    ID3DXEffect* const fx = effect->compiled_effect;
    const bool can_draw = effect->can_draw();
    try {
        collect_visible_lights(placement.volume_min, placement.volume_max);
        // Batches are planned only for a frame that will draw them.
        if (can_draw && !visible_lights.empty()) plan_batches(placement.volume_min.z);
    } catch (...) {
        visible_lights.clear();
        throw;
    }

    // What cannot be saved cannot be restored: the frame is skipped rather
    // than leave the host's state changed.
    const bool saved = host_state.save(light_map->texture);
    if (saved && SUCCEEDED(light_map->bind())) {
        apply_placement(placement);
        depth_target->bind();
        host_state.pin();
        g_device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);

        if (!visible_lights.empty() && can_draw) {
            set_render_state(D3DRS_ZENABLE, 0);
            set_render_state(D3DRS_ZWRITEENABLE, 0);
            set_render_state(D3DRS_ALPHABLENDENABLE, 1);
            set_render_state(D3DRS_BLENDOP, D3DBLENDOP_MAX);
            set_render_state(D3DRS_SRCBLEND, D3DBLEND_ONE);
            set_render_state(D3DRS_DESTBLEND, D3DBLEND_ONE);
            set_render_state(D3DRS_CULLMODE, D3DCULL_CCW);

            if (g_point_light_mesh) g_point_light_mesh->bind();
            if (g_vertex_decl && g_vertex_decl->declaration)
                g_device->SetVertexDeclaration(g_vertex_decl->declaration);

            if (fx) {
                fx->SetTechnique("Render");
                UINT passes = 0;
                fx->Begin(&passes, 0);
                fx->BeginPass(0);
                fx->SetFloatArray("world2scr", world2scr, 4);
                LightPass pass(fx, nullptr, width, height);
                emit_batches(pass);
                fx->EndPass();
                fx->End();
            } else if (effect->programs.begin(world2scr)) {
                LightPass pass(nullptr, &effect->programs, width, height);
                emit_batches(pass);
            }
            set_render_state(D3DRS_ZENABLE, 1);
            set_render_state(D3DRS_ZWRITEENABLE, 1);
            set_render_state(D3DRS_BLENDOP, D3DBLENDOP_ADD);
            set_render_state(D3DRS_ALPHABLENDENABLE, 0);
        }
    }
    visible_lights.clear();
    if (saved) host_state.restore();
}
