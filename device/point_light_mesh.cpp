#include "device/point_light_mesh.h"

#include "device/device_context.h"
#include "device/device_kind.h"

PointLightMesh* g_point_light_mesh = nullptr;

void fill_light_vertices(LightVertex (&vertices)[light_mesh_vertex_count]) {
    // Top left, top right, bottom right; top left, bottom right, bottom left.
    static const float corners[6][2] = {{-1, 1}, {1, 1}, {1, -1}, {-1, 1}, {1, -1}, {-1, -1}};
    for (int quad = 0; quad < BATCH_NUM; ++quad) {
        for (int corner = 0; corner < 6; ++corner) {
            vertices[quad * 6 + corner] = {corners[corner][0], corners[corner][1],
                                           static_cast<float>(quad)};
        }
    }
}

PointLightMesh::PointLightMesh() {
    vertex_buffer = nullptr;
    index_buffer = nullptr;
    vertex_count = light_mesh_vertex_count;
    index_count = 0;
    primitive_count = 0;
    stride = sizeof(LightVertex);
    vertex_pool = D3DPOOL_MANAGED;
    vertex_usage = 0;
    index_pool = D3DPOOL_MANAGED;
    primitive_type = D3DPT_TRIANGLELIST;
    owns_vertex_buffer = 1;
    owns_index_buffer = 1;

    // A 9Ex device has no managed pool; one that says so is asked for the
    // default pool at once (some accept the managed pool on a 9Ex device, but
    // a plain Reset there spoils such a buffer). One that does not say so is
    // asked for the managed pool, and its refusal leads to the default pool.
    if (g_device && answers_as_9ex(g_device)) {
        vertex_pool = D3DPOOL_DEFAULT;
        vertex_usage = D3DUSAGE_WRITEONLY;
    }
    if (g_device) PointLightMesh::create_vertex_buffer();
    update_primitive_count();
}

void PointLightMesh::create_vertex_buffer() {
    LightVertex vertices[light_mesh_vertex_count];
    fill_light_vertices(vertices);
    vertex_buffer = ::create_vertex_buffer(vertices, vertex_pool, vertex_usage,
                                           static_cast<int32_t>(sizeof vertices));
}
