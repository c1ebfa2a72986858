// The light quad mesh: BATCH_NUM quads from -1 to +1 in x and y, every vertex of
// quad i carrying i in z, each quad two clockwise triangles.
#pragma once

#include "device/batch_num.h"
#include "device/mesh.h"

// A position-only light vertex: the quad corner in x and y, the quad's slot in
// its batch in z.
struct LightVertex {
    float x, y, z;
};

constexpr int light_mesh_vertex_count = BATCH_NUM * 6;

class PointLightMesh : public Mesh {
public:
    // Sets the fields and, when g_device is set, makes the vertex buffer: in
    // the managed pool, or in the default pool (D3DUSAGE_WRITEONLY) on a
    // device that answers as a 9Ex device or refuses the managed pool.
    PointLightMesh();
    // Builds the vertex data and makes the buffer in vertex_pool with
    // vertex_usage (which record where it ended up). A buffer in the default
    // pool is made again this way after a reset.
    void create_vertex_buffer() override;
};

// Fills the light mesh's vertices, quad after quad.
void fill_light_vertices(LightVertex (&vertices)[light_mesh_vertex_count]);

// The light mesh, made by init and deleted by release. It is registered for
// device loss and reset only while its buffer lives in the default pool.
extern PointLightMesh* g_point_light_mesh;
