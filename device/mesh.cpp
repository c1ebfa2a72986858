#include "device/mesh.h"

#include <cstdio>
#include <cstring>

#include "device/com_ref.h"
#include "device/device_context.h"

Mesh::~Mesh() {
    if (owns_vertex_buffer) release_ref(vertex_buffer);
    if (owns_index_buffer) release_ref(index_buffer);
}

void Mesh::on_lost_device() {
    if (vertex_pool == D3DPOOL_DEFAULT && owns_vertex_buffer) release_ref(vertex_buffer);
    if (index_pool == D3DPOOL_DEFAULT && owns_index_buffer) release_ref(index_buffer);
}

void Mesh::on_reset_device() {
    if (vertex_pool == D3DPOOL_DEFAULT && !vertex_buffer && owns_vertex_buffer)
        create_vertex_buffer();
    if (index_pool == D3DPOOL_DEFAULT && !index_buffer && owns_index_buffer) create_index_buffer();
}

void Mesh::create() {
    create_vertex_buffer();
    create_index_buffer();
    update_primitive_count();
}

void Mesh::update_primitive_count() {
    const bool indexed = index_buffer != nullptr;
    switch (primitive_type) {
        case D3DPT_POINTLIST:
            primitive_count = indexed ? index_count : vertex_count;
            break;
        case D3DPT_LINELIST:
            primitive_count = (indexed ? index_count : vertex_count) / 2;
            break;
        case D3DPT_TRIANGLELIST:
            primitive_count = (indexed ? index_count : vertex_count) / 3;
            break;
        case D3DPT_LINESTRIP:
            if (!indexed) primitive_count = vertex_count - 1;
            break;
        case D3DPT_TRIANGLESTRIP:
        case D3DPT_TRIANGLEFAN:
            if (!indexed) primitive_count = vertex_count - 2;
            break;
        default:
            break;
    }
}

void Mesh::bind() {
    if (vertex_buffer && FAILED(g_device->SetStreamSource(0, vertex_buffer, 0, stride))) return;
    if (index_buffer) g_device->SetIndices(index_buffer);
}

void Mesh::draw(int32_t max_primitives) {
    int32_t n = primitive_count;
    if (max_primitives > 0 && max_primitives < primitive_count) n = max_primitives;
    if (!vertex_buffer) return;
    if (index_buffer) {
        g_device->DrawIndexedPrimitive(primitive_type, 0, 0, static_cast<UINT>(vertex_count), 0,
                                       static_cast<UINT>(n));
    } else {
        g_device->DrawPrimitive(primitive_type, 0, static_cast<UINT>(n));
    }
}

IDirect3DVertexBuffer9* create_vertex_buffer(const void* data, D3DPOOL& pool, int32_t length) {
    DWORD usage = 0;
    return create_vertex_buffer(data, pool, usage, length);
}

IDirect3DVertexBuffer9* create_vertex_buffer(const void* data, D3DPOOL& pool, DWORD& usage,
                                             int32_t length) {
    IDirect3DVertexBuffer9* buffer = nullptr;
    const UINT size = static_cast<UINT>(length);
    HRESULT hr = g_device->CreateVertexBuffer(size, usage, 0, pool, &buffer, nullptr);
    if (FAILED(hr) && pool == D3DPOOL_DEFAULT) {
        const DWORD default_usage = usage;
        pool = D3DPOOL_MANAGED;
        usage = 0;
        buffer = nullptr;
        hr = g_device->CreateVertexBuffer(size, usage, 0, D3DPOOL_MANAGED, &buffer, nullptr);
        if (hr == D3DERR_INVALIDCALL) {
            // A device without the managed pool: the default-pool request is
            // the one that failed for want of resources.
            pool = D3DPOOL_DEFAULT;
            usage = default_usage;
        }
    } else if (hr == D3DERR_INVALIDCALL && pool == D3DPOOL_MANAGED) {
        // Not a lack of memory: a device without the managed pool.
        pool = D3DPOOL_DEFAULT;
        usage = D3DUSAGE_WRITEONLY;
        buffer = nullptr;
        hr = g_device->CreateVertexBuffer(size, usage, 0, D3DPOOL_DEFAULT, &buffer, nullptr);
    }
    if (FAILED(hr)) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "D3D9RenderEngine::create_vertex_buffer(Length:%i, Usage:%i, Pool:%i)",
                      length, static_cast<int>(usage), static_cast<int>(pool));
        show_error_message(text);
        return nullptr;
    }
    if (!buffer) return nullptr;
    if (!data) return buffer;
    void* locked = nullptr;
    if (FAILED(buffer->Lock(0, size, &locked, 0)) || !locked) {
        // Nobody else holds the new buffer: give it back rather than leak it.
        release_ref(buffer);
        return nullptr;
    }
    std::memcpy(locked, data, size);
    // A locked buffer cannot be drawn from: a refused unlock is made once
    // more, and a buffer that stays locked is given back rather than used.
    if (FAILED(buffer->Unlock()) && FAILED(buffer->Unlock())) {
        release_ref(buffer);
        return nullptr;
    }
    return buffer;
}
