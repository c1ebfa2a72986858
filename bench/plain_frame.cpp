#include "bench/plain_frame.h"

#include "device/com_ref.h"
#include "device/device_context.h"
#include "device/effect.h"
#include "device/point_light_mesh.h"
#include "device/render_target.h"
#include "device/vertex_decl.h"
#include "lighting/render_state.h"

namespace bench {
namespace {

void set_render_state(D3DRENDERSTATETYPE state, DWORD value) {
    if (g_set_render_state)
        g_set_render_state(static_cast<int32_t>(state), static_cast<int32_t>(value));
}

}  // namespace

PointLight* PlainFrame::create() {
    PointLight* light = new PointLight();
    lights_.insert(light);
    return light;
}

void PlainFrame::destroy(PointLight* light) {
    if (lights_.erase(light) != 0) delete light;
}

void PlainFrame::clear() {
    for (PointLight* light : lights_) delete light;
    lights_.clear();
}

void PlainFrame::flush(ID3DXEffect* fx, int32_t n, BatchConsumer* tap) {
    const UINT floats = static_cast<UINT>(3 * n);
    fx->SetFloatArray("light_info", light_info_, floats);
    fx->SetFloatArray("light_color", light_color_, floats);
    fx->CommitChanges();
    if (g_point_light_mesh) g_point_light_mesh->draw(2 * n);
    if (tap) tap->flush_batch(light_info_, light_color_, n);
}

void PlainFrame::render(LightingSystem& sys, const Vec3& focus, const float movement[2],
                        const Vec3& box_min, const Vec3& box_max, BatchConsumer* tap) {
    if (!sys.light_map || !sys.effect || !sys.enabled) return;
    sys.place_volume(focus, movement, box_min, box_max);
    if (!sys.light_map->surface || !sys.depth_target || !sys.depth_target->surface ||
        !sys.host_state.ready())
        return;

    visible_.clear();
    for (PointLight* light : lights_)
        if (light_takes_part(*light, sys.volume_min, sys.volume_max)) visible_.push_back(light);

    // The host's state is kept and given back as the module's frame does.
    const bool saved = sys.host_state.save(sys.light_map->texture);
    if (saved && SUCCEEDED(sys.light_map->bind())) {
        sys.depth_target->bind();
        sys.host_state.pin();
        g_device->Clear(0, nullptr, D3DCLEAR_TARGET, 0, 1.0f, 0);

        ID3DXEffect* fx = sys.effect->compiled_effect;
        if (!visible_.empty() && fx) {
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

            fx->SetTechnique("Render");
            UINT passes = 0;
            fx->Begin(&passes, 0);
            fx->BeginPass(0);
            fx->SetFloatArray("world2scr", sys.world2scr, 4);

            for (int32_t i = 0; i < sys.depth; ++i) {
                const D3DVIEWPORT9 viewport{static_cast<DWORD>(sys.width) * static_cast<DWORD>(i),
                                            0,
                                            static_cast<DWORD>(sys.width),
                                            static_cast<DWORD>(sys.height),
                                            0.0f,
                                            1.0f};
                g_device->SetViewport(&viewport);
                if (tap) tap->begin_layer(i);

                const float z = layer_height(i, sys.cell_size, sys.volume_min.z);
                int32_t n = 0;
                for (const PointLight* light : visible_) {
                    float chord;
                    if (!light_enters_layer(*light, z, sys.cell_size, &chord)) continue;
                    float* info = light_info_ + 3 * n;
                    float* color = light_color_ + 3 * n;
                    info[0] = chord;
                    info[1] = light->position.x;
                    info[2] = light->position.y;
                    color[0] = light->color.x;
                    color[1] = light->color.y;
                    color[2] = light->color.z;
                    if (++n == BATCH_NUM) {
                        flush(fx, n, tap);
                        n = 0;
                    }
                }
                if (n > 0) flush(fx, n, tap);
            }

            fx->EndPass();
            fx->End();
            set_render_state(D3DRS_ZENABLE, 1);
            set_render_state(D3DRS_ZWRITEENABLE, 1);
            set_render_state(D3DRS_BLENDOP, D3DBLENDOP_ADD);
            set_render_state(D3DRS_ALPHABLENDENABLE, 0);
        }
    }
    visible_.clear();

    if (saved) sys.host_state.restore();
}

}  // namespace bench
