// Binding a lighting system to the host's device: creation, volume targets,
// device loss and reset, and teardown.
#include <cstdint>
#include <limits>
#include <memory>

#include "device/device_context.h"
#include "device/device_obj.h"
#include "device/effect.h"
#include "device/light_effect_source.h"
#include "device/point_light_mesh.h"
#include "device/render_target.h"
#include "device/vertex_decl.h"
#include "lighting/lighting_system.h"
#include "lighting/render_state.h"

RenderStateCallback g_set_render_state = nullptr;

namespace {

// Unregisters and deletes a target that is being replaced; the field is null
// from then until its successor exists.
void drop_target(RenderTarget*& target) {
    if (!target) return;
    unregister_device_obj(target);
    delete target;
    target = nullptr;
}

// Deletes the light mesh, unregistering it first when it was registered.
void drop_light_mesh() {
    if (!g_point_light_mesh) return;
    unregister_device_obj(g_point_light_mesh);
    delete g_point_light_mesh;
    g_point_light_mesh = nullptr;
}

}  // namespace

void LightingSystem::init(IDirect3DDevice9* device, RenderStateCallback set_render_state) {
    // Without a device there is nothing to bind; a second init would orphan the
    // first one's objects. Both leave the system as it is.
    if (!device || effect) return;
    g_device = device;
    g_set_render_state = set_render_state;

    create_light_vertex_decl();

    drop_light_mesh();
    g_point_light_mesh = new PointLightMesh();
    // A device without the managed pool gets the buffer in the default pool,
    // which must follow device loss and reset like the light map.
    if (g_point_light_mesh->vertex_pool == D3DPOOL_DEFAULT) register_device_obj(g_point_light_mesh);

    light_map = nullptr;
    depth_target = nullptr;

    auto created = std::make_unique<Effect>();
    register_device_obj(created.get());
    effect = created.release();
    effect->compile(light_effect_source);

    RegisterRange vertex_registers, pixel_registers;
    effect->constant_ranges(&vertex_registers, &pixel_registers);
    host_state.create(vertex_registers, pixel_registers);
}

void LightingSystem::publish_light_map() {
    const bool drawable = light_map && light_map->texture && light_map->surface && depth_target &&
                          depth_target->surface && host_state.ready();
    light_map_info.texture =
        drawable ? static_cast<IDirect3DTexture9*>(light_map->texture) : nullptr;
}

void LightingSystem::rebuild_targets() {
    // The targets need the device that init bound.
    if (!effect) return;

    // A width beyond 32 bits is refused like any size the device refuses,
    // without a device call.
    const int64_t wide = static_cast<int64_t>(width) * depth;
    const int atlas_width =
        wide > std::numeric_limits<int32_t>::max() ? -1 : static_cast<int>(wide);

    drop_target(light_map);
    light_map_info.texture = nullptr;
    light_map = new_render_target();
    light_map->init_target(atlas_width, height, D3DFMT_X8R8G8B8, TargetKind::texture);

    drop_target(depth_target);
    depth_target = new_render_target();
    depth_target->init_target(atlas_width, height, D3DFMT_D24X8, TargetKind::depth_stencil);

    // A state block the device refused before is asked for again, like the
    // targets.
    if (!host_state.ready()) host_state.recreate();
    publish_light_map();
}

void LightingSystem::on_lost_device() {
    notify_lost_device();
    // State blocks go before Reset like every default-pool object.
    host_state.release();
    // The texture it named is gone until on_reset_device.
    light_map_info.texture = nullptr;
}

void LightingSystem::on_reset_device() {
    notify_reset_device();
    // Only a bound system has a block to make again.
    if (effect) host_state.recreate();
    publish_light_map();
}

void LightingSystem::release() {
    host_state.release();
    drop_light_mesh();
    clear_point_lights();
    delete this;
    release_device_objs();
    g_vertex_decl = nullptr;
}
