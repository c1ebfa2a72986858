// A lighting system bound to a software device through the public interface.
#pragma once

#include <string>
#include <vector>

#include "device/point_light_mesh.h"
#include "lightvol.h"
#include "support/device_fixture.h"

namespace test_support {

// Operation names of calls, arguments stripped.
inline std::vector<std::string> op_names(const std::vector<std::string>& calls) {
    std::vector<std::string> out;
    for (const std::string& call : calls) out.push_back(call.substr(0, call.find('(')));
    return out;
}

class SystemTest : public DeviceTest {
protected:
    // True: the device acts as a Direct3D 9Ex device from before init on,
    // answering QueryInterface for IDirect3DDevice9Ex unless told otherwise.
    virtual bool ex_device() const { return false; }
    virtual bool answers_ex_query() const { return true; }

    void SetUp() override {
        DeviceTest::SetUp();
        dev.set_ex_mode(ex_device(), answers_ex_query());
        device_refs_before = lightvol_sw::SoftwareDevice::ref_count(&dev);
        sys = create_ILightingSystem();
        sys->init(&dev, set_render_state_on_device);
    }
    void TearDown() override {
        if (sys) sys->release();
        EXPECT_TRUE(g_device_objects.empty());
        EXPECT_EQ(g_point_light_mesh, nullptr);
        EXPECT_EQ(lightvol_sw::SoftwareDevice::ref_count(&dev), device_refs_before);
        DeviceTest::TearDown();
    }

    IPointLight* light(Vec3 pos, float radius, Vec3 color = {1, 1, 1}) {
        IPointLight* l = sys->create_point_light();
        l->set_position(&pos);
        l->set_radius(radius);
        l->set_color(&color);
        return l;
    }
    // Renders with the requested box [0, extent] in x and y, which sits on the
    // grid for a positive movement.
    void render_box(float extent_x, float extent_y) {
        const Vec3 focus{extent_x / 2, extent_y / 2, 0};
        const float movement[2] = {1, 1};
        const Vec3 lo{0, 0, 0}, hi{extent_x, extent_y, 0};
        sys->render(&focus, movement, &lo, &hi);
    }

    ILightingSystem* sys = nullptr;
    ULONG device_refs_before = 0;
};

}  // namespace test_support
