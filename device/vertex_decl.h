// The light mesh's vertex declaration: three floats of position, nothing else.
#pragma once

#include "device/device_obj.h"
#include "platform/d3d9_api.h"

class VertexDecl : public DeviceObj {
public:
    ~VertexDecl() override;

    // One owned reference, or null when the device refused it.
    IDirect3DVertexDeclaration9* declaration = nullptr;
};

// The elements the declaration is made from: one FLOAT3 position, then the end.
extern const D3DVERTEXELEMENT9 light_vertex_elements[2];

// Makes the declaration object, registers it, stores it in g_vertex_decl and
// creates its Direct3D declaration (a refusal is not reported).
void create_light_vertex_decl();

extern VertexDecl* g_vertex_decl;
