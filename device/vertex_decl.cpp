#include "device/vertex_decl.h"

#include <memory>

#include "device/com_ref.h"
#include "device/device_context.h"

VertexDecl* g_vertex_decl = nullptr;

const D3DVERTEXELEMENT9 light_vertex_elements[2] = {
    {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITION, 0}, D3DDECL_END()};

VertexDecl::~VertexDecl() { release_ref(declaration); }

void create_light_vertex_decl() {
    auto decl = std::make_unique<VertexDecl>();
    register_device_obj(decl.get());
    g_vertex_decl = decl.release();
    release_ref(g_vertex_decl->declaration);
    g_device->CreateVertexDeclaration(light_vertex_elements, &g_vertex_decl->declaration);
}
