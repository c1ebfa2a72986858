// A vertex buffer and an optional index buffer with what it takes to draw them.
#pragma once

#include <cstdint>

#include "device/device_obj.h"
#include "platform/d3d9_api.h"

class Mesh : public DeviceObj {
public:
    ~Mesh() override;
    // Releases owned buffers of the default pool / makes them again.
    void on_lost_device() override;
    void on_reset_device() override;

    // create_vertex_buffer(), create_index_buffer(), then update_primitive_count().
    virtual void create();
    // Hooks that (re)make buffers kept in the default pool. Empty here.
    virtual void create_vertex_buffer() {}
    virtual void create_index_buffer() {}
    // Stream 0 and the indices; the vertex declaration is the caller's.
    virtual void bind();
    // Draws primitive_count primitives, or max_primitives when that is in
    // 1 .. primitive_count - 1.
    virtual void draw(int32_t max_primitives);

    // primitive_count from the counts, the index buffer's presence and the type.
    void update_primitive_count();

    IDirect3DVertexBuffer9* vertex_buffer = nullptr;
    IDirect3DIndexBuffer9* index_buffer = nullptr;
    int32_t vertex_count = 0;
    int32_t index_count = 0;
    int32_t primitive_count = 0;
    uint32_t stride = 0;
    D3DPOOL vertex_pool = D3DPOOL_MANAGED;
    // Usage the vertex buffer was made with; kept with the pool so that a
    // buffer remade after a reset is asked for exactly as before.
    DWORD vertex_usage = 0;
    D3DPOOL index_pool = D3DPOOL_MANAGED;
    D3DPRIMITIVETYPE primitive_type = D3DPT_TRIANGLELIST;
    uint8_t owns_vertex_buffer = 1;
    uint8_t owns_index_buffer = 1;
};

// Makes a vertex buffer of length bytes in pool with usage 0 and fills it from
// data when data is not null. Returns the buffer with one reference, or null.
// A refusal in the default pool is tried again in the managed pool. A refusal
// of the managed pool as an invalid call (a Direct3D 9Ex device has no managed
// pool) is tried again in the default pool with D3DUSAGE_WRITEONLY, the usage
// for a buffer written once. pool (and usage) record where the buffer was made.
// When no attempt succeeds, a message names the request that failed: the
// default-pool one on a device without the managed pool, else the managed one.
IDirect3DVertexBuffer9* create_vertex_buffer(const void* data, D3DPOOL& pool, int32_t length);
IDirect3DVertexBuffer9* create_vertex_buffer(const void* data, D3DPOOL& pool, DWORD& usage,
                                             int32_t length);
