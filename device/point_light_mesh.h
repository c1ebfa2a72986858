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
    // Sets the fields, builds the vertex data and, when g_device is set, makes
    // the managed vertex buffer from it.
    PointLightMesh();
};

// Fills the light mesh's vertices, quad after quad.
void fill_light_vertices(LightVertex (&vertices)[light_mesh_vertex_count]);

// The light mesh, made by init and deleted by release; not registered.
extern PointLightMesh* g_point_light_mesh;
