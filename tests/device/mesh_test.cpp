#include <gtest/gtest.h>

#include <cstring>

#include "device/point_light_mesh.h"
#include "device/vertex_decl.h"
#include "support/device_fixture.h"

namespace {

using lightvol_sw::SoftwareDevice;
using test_support::calls_starting;
using test_support::DeviceTest;
using test_support::message_texts;

class Meshes : public DeviceTest {};

std::vector<LightVertex> read_vertices(IDirect3DVertexBuffer9* vb) {
    void* data = nullptr;
    std::vector<LightVertex> out(light_mesh_vertex_count);
    if (SUCCEEDED(vb->Lock(0, 7200, &data, D3DLOCK_READONLY))) {
        std::memcpy(out.data(), data, 7200);
        vb->Unlock();
    }
    return out;
}

TEST_F(Meshes, LightMeshHoldsAHundredClockwiseQuadsInAManagedBuffer) {
    PointLightMesh mesh;
    EXPECT_EQ(calls_starting(dev, "CreateVertexBuffer"),
              (std::vector<std::string>{"CreateVertexBuffer(7200,0,0,1)"}));
    EXPECT_EQ(calls_starting(dev, "IDirect3DVertexBuffer9::Lock"),
              (std::vector<std::string>{"IDirect3DVertexBuffer9::Lock(0,7200,0)"}));
    ASSERT_NE(mesh.vertex_buffer, nullptr);
    EXPECT_EQ(mesh.primitive_count, 200);
    EXPECT_EQ(mesh.stride, 12u);
    const auto v = read_vertices(mesh.vertex_buffer);
    auto expect = [&](int i, float x, float y, float z) {
        EXPECT_EQ(v[i].x, x) << i;
        EXPECT_EQ(v[i].y, y) << i;
        EXPECT_EQ(v[i].z, z) << i;
    };
    expect(0, -1, 1, 0);
    expect(1, 1, 1, 0);
    expect(2, 1, -1, 0);
    expect(3, -1, 1, 0);
    expect(4, 1, -1, 0);
    expect(5, -1, -1, 0);
    expect(6, -1, 1, 1);
    expect(599, -1, -1, 99);
    // Both triangles of every quad wind clockwise with y up.
    for (int t = 0; t < 200; ++t) {
        const LightVertex& a = v[3 * t];
        const LightVertex& b = v[3 * t + 1];
        const LightVertex& c = v[3 * t + 2];
        const float cross = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
        EXPECT_LT(cross, 0) << t;
    }
    // Lost and reset leave a managed buffer alone.
    IDirect3DVertexBuffer9* vb = mesh.vertex_buffer;
    mesh.on_lost_device();
    mesh.on_reset_device();
    EXPECT_EQ(mesh.vertex_buffer, vb);
}

TEST_F(Meshes, DrawClampsToThePrimitiveCount) {
    PointLightMesh mesh;
    mesh.bind();
    dev.clear_calls();
    for (int n : {0, -5, 6, 200, 250, 2}) mesh.draw(n);
    // Without shaders bound the device refuses the draws; the arguments are
    // what counts here.
    std::vector<std::string> draws;
    for (const std::string& c : dev.calls()) draws.push_back(c.substr(0, c.find(" ->")));
    EXPECT_EQ(draws, (std::vector<std::string>{"DrawPrimitive(4,0,200)", "DrawPrimitive(4,0,200)",
                                               "DrawPrimitive(4,0,6)", "DrawPrimitive(4,0,200)",
                                               "DrawPrimitive(4,0,200)", "DrawPrimitive(4,0,2)"}));
}

TEST_F(Meshes, MeshWithoutBufferMakesNoDeviceCall) {
    g_device = nullptr;
    PointLightMesh mesh;
    g_device = &dev;
    dev.clear_calls();
    EXPECT_EQ(mesh.primitive_count, 200);
    EXPECT_EQ(mesh.vertex_buffer, nullptr);
    mesh.bind();
    mesh.draw(4);
    EXPECT_TRUE(dev.calls().empty());
}

TEST_F(Meshes, PrimitiveCountsByType) {
    Mesh mesh;
    mesh.vertex_count = 600;
    mesh.index_count = 999;  // ignored without an index buffer
    struct Case {
        D3DPRIMITIVETYPE type;
        int32_t expected;
    };
    const Case cases[] = {{D3DPT_POINTLIST, 600},     {D3DPT_LINELIST, 300},
                          {D3DPT_LINESTRIP, 599},     {D3DPT_TRIANGLELIST, 200},
                          {D3DPT_TRIANGLESTRIP, 598}, {D3DPT_TRIANGLEFAN, 598}};
    for (const Case& c : cases) {
        mesh.primitive_type = c.type;
        mesh.update_primitive_count();
        EXPECT_EQ(mesh.primitive_count, c.expected) << c.type;
    }
    mesh.vertex_count = 601;
    mesh.primitive_type = D3DPT_TRIANGLELIST;
    mesh.update_primitive_count();
    EXPECT_EQ(mesh.primitive_count, 200);
    mesh.primitive_type = static_cast<D3DPRIMITIVETYPE>(9);
    mesh.update_primitive_count();
    EXPECT_EQ(mesh.primitive_count, 200);
}

TEST_F(Meshes, VertexBufferFallbackAndMessages) {
    const char data[16] = {1, 2, 3};
    // Refused in the default pool, made in the managed one: filled, no message.
    dev.fail("CreateVertexBuffer", 1, D3DERR_OUTOFVIDEOMEMORY);
    D3DPOOL pool = D3DPOOL_DEFAULT;
    IDirect3DVertexBuffer9* vb = create_vertex_buffer(data, pool, 16);
    ASSERT_NE(vb, nullptr);
    EXPECT_EQ(pool, D3DPOOL_MANAGED);
    EXPECT_TRUE(lightvol_sw::message_boxes().empty());
    vb->Release();

    // Refused in the managed pool (occurrences count every call so far).
    dev.fail("CreateVertexBuffer", 3, D3DERR_OUTOFVIDEOMEMORY);
    pool = D3DPOOL_MANAGED;
    EXPECT_EQ(create_vertex_buffer(data, pool, 7200), nullptr);
    EXPECT_EQ(pool, D3DPOOL_MANAGED);

    // Refused in both: the message names the managed pool.
    dev.fail("CreateVertexBuffer", 4, D3DERR_OUTOFVIDEOMEMORY);
    dev.fail("CreateVertexBuffer", 5, D3DERR_OUTOFVIDEOMEMORY);
    pool = D3DPOOL_DEFAULT;
    EXPECT_EQ(create_vertex_buffer(data, pool, 64), nullptr);
    EXPECT_EQ(message_texts(),
              (std::vector<std::string>{
                  "D3D9RenderEngine::create_vertex_buffer(Length:7200, Usage:0, Pool:1)",
                  "D3D9RenderEngine::create_vertex_buffer(Length:64, Usage:0, Pool:1)"}));

    // No data: no lock. A failed lock gives the new buffer back.
    dev.clear_calls();
    pool = D3DPOOL_MANAGED;
    vb = create_vertex_buffer(nullptr, pool, 16);
    ASSERT_NE(vb, nullptr);
    EXPECT_TRUE(calls_starting(dev, "IDirect3DVertexBuffer9::Lock").empty());
    vb->Release();
    dev.fail("IDirect3DVertexBuffer9::Lock", 0, E_FAIL);
    EXPECT_EQ(create_vertex_buffer(data, pool, 16), nullptr);
    EXPECT_EQ(message_texts().size(), 2u);
    dev.clear_failures();

    // A refused unlock is made again; a buffer that stays locked is given
    // back, never handed out locked (the device then reports its release).
    const int unlocks =
        static_cast<int>(calls_starting(dev, "IDirect3DVertexBuffer9::Unlock").size());
    dev.fail("IDirect3DVertexBuffer9::Unlock", unlocks + 1, E_FAIL);
    vb = create_vertex_buffer(data, pool, 16);
    ASSERT_NE(vb, nullptr);
    vb->Release();
    dev.fail("IDirect3DVertexBuffer9::Unlock", 0, E_FAIL);
    EXPECT_EQ(create_vertex_buffer(data, pool, 16), nullptr);
    EXPECT_EQ(dev.misuses().size(), 1u);
    dev.clear_misuses();
}

TEST_F(Meshes, DefaultPoolBuffersFollowLossAndReset) {
    struct DefaultMesh : Mesh {
        void create_vertex_buffer() override {
            ++made;
            vertex_buffer = ::create_vertex_buffer(nullptr, vertex_pool, 48);
        }
        int made = 0;
    } mesh;
    mesh.vertex_pool = D3DPOOL_DEFAULT;
    mesh.vertex_count = 4;
    mesh.stride = 12;
    mesh.create();
    EXPECT_EQ(mesh.made, 1);
    mesh.on_reset_device();  // still has its buffer
    EXPECT_EQ(mesh.made, 1);
    mesh.on_lost_device();
    EXPECT_EQ(mesh.vertex_buffer, nullptr);
    mesh.on_reset_device();
    EXPECT_EQ(mesh.made, 2);
    EXPECT_NE(mesh.vertex_buffer, nullptr);
    // A buffer the mesh does not own is never released.
    mesh.owns_vertex_buffer = 0;
    IDirect3DVertexBuffer9* kept = mesh.vertex_buffer;
    mesh.on_lost_device();
    EXPECT_EQ(mesh.vertex_buffer, kept);
    mesh.owns_vertex_buffer = 1;
}

TEST_F(Meshes, VertexDeclarationIsOneFloat3Position) {
    create_light_vertex_decl();
    ASSERT_NE(g_vertex_decl, nullptr);
    EXPECT_EQ(g_device_objects.count(g_vertex_decl), 1u);
    EXPECT_EQ(calls_starting(dev, "CreateVertexDeclaration"),
              (std::vector<std::string>{"CreateVertexDeclaration([0,0,2,0,0,0])"}));
    EXPECT_NE(g_vertex_decl->declaration, nullptr);
    notify_lost_device();
    notify_reset_device();
    EXPECT_NE(g_vertex_decl->declaration, nullptr);
    release_device_objs();
    g_vertex_decl = nullptr;
}

}  // namespace
