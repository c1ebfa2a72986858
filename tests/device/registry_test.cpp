#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "device/device_obj.h"
#include "device/point_light_mesh.h"

namespace {

std::vector<std::string> g_events;

class Probe : public DeviceObj {
public:
    explicit Probe(char name) : name_(name) {}
    ~Probe() override { g_events.push_back(std::string("delete ") + name_); }
    void on_lost_device() override { g_events.push_back(std::string("lost ") + name_); }
    void on_reset_device() override { g_events.push_back(std::string("reset ") + name_); }

private:
    char name_;
};

class Registry : public ::testing::Test {
protected:
    void SetUp() override { g_events.clear(); }
    void TearDown() override {
        release_device_objs();
        EXPECT_TRUE(g_device_objects.empty());
    }
};

TEST_F(Registry, BroadcastsFollowAddressesNotRegistration) {
    // Consecutive storage fixes the addresses: A < B < C.
    Probe* storage = static_cast<Probe*>(::operator new(3 * sizeof(Probe)));
    Probe* a = new (&storage[0]) Probe('A');
    Probe* b = new (&storage[1]) Probe('B');
    Probe* c = new (&storage[2]) Probe('C');
    register_device_obj(c);
    register_device_obj(a);
    register_device_obj(b);
    notify_lost_device();
    notify_reset_device();
    EXPECT_EQ(g_events, (std::vector<std::string>{"lost A", "lost B", "lost C", "reset A",
                                                  "reset B", "reset C"}));
    // The registry deletes through the virtual destructor; here the storage is
    // ours, so unregister and destroy by hand.
    for (Probe* p : {a, b, c}) {
        EXPECT_EQ(unregister_device_obj(p), 1u);
        p->~Probe();
    }
    ::operator delete(storage);
}

TEST_F(Registry, RegistrationIsIdempotentAndUnregisterNeverDeletes) {
    auto* a = new Probe('A');
    register_device_obj(a);
    register_device_obj(a);
    notify_lost_device();
    EXPECT_EQ(g_events, (std::vector<std::string>{"lost A"}));
    EXPECT_EQ(unregister_device_obj(a), 1u);
    EXPECT_EQ(unregister_device_obj(a), 0u);
    Probe never('N');
    EXPECT_EQ(unregister_device_obj(&never), 0u);
    notify_reset_device();
    release_device_objs();
    EXPECT_EQ(g_events, (std::vector<std::string>{"lost A"}));  // neither told nor deleted
    delete a;
}

TEST_F(Registry, ReleaseDeletesEveryObjectOnceAndEmpties) {
    register_device_obj(new Probe('A'));
    register_device_obj(new Probe('B'));
    release_device_objs();
    EXPECT_EQ(g_events.size(), 2u);
    EXPECT_TRUE(g_device_objects.empty());
    release_device_objs();
    notify_lost_device();
    EXPECT_EQ(g_events.size(), 2u);
}

TEST_F(Registry, LightMeshIsNeverRegistered) {
    PointLightMesh mesh;  // no device: no buffer
    EXPECT_TRUE(g_device_objects.empty());
    release_device_objs();
    EXPECT_EQ(mesh.primitive_count, 200);
}

}  // namespace
