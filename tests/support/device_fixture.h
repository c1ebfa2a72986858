// Fixtures for tests that drive the module on the software device.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_context.h"
#include "platform/software/software_device.h"

namespace test_support {

// The device the render-state callback below forwards to.
inline lightvol_sw::SoftwareDevice*& callback_device() {
    static lightvol_sw::SoftwareDevice* device = nullptr;
    return device;
}

// A host's render-state callback: sets the state on the device.
inline int32_t set_render_state_on_device(int32_t state, int32_t value) {
    if (callback_device())
        callback_device()->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state),
                                          static_cast<DWORD>(value));
    return 0;
}

inline std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

// Calls in the log that start with prefix.
inline std::vector<std::string> calls_starting(const lightvol_sw::SoftwareDevice& dev,
                                               const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& call : dev.calls())
        if (call.compare(0, prefix.size(), prefix) == 0) out.push_back(call);
    return out;
}

inline std::vector<std::string> message_texts() {
    std::vector<std::string> out;
    for (const auto& box : lightvol_sw::message_boxes()) out.push_back(box.text);
    return out;
}

// A software device bound as the module's device, inside a scene. On teardown nothing the
// module made may still hold a reference, nothing may be released twice, and the
// device may have seen no misuse.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        lightvol_sw::clear_message_boxes();
        g_device = &dev;
        callback_device() = &dev;
        // The module draws within the host's scene, as a host sets it up.
        dev.BeginScene();
    }
    void TearDown() override {
        dev.EndScene();
        g_device = nullptr;
        callback_device() = nullptr;
        EXPECT_EQ(dev.live_object_count(), 0u) << joined(dev.live_objects());
        EXPECT_EQ(dev.over_releases(), 0);
        EXPECT_TRUE(dev.misuses().empty()) << joined(dev.misuses());
        lightvol_sw::clear_message_boxes();
    }

    lightvol_sw::SoftwareDevice dev{64, 64};
};

}  // namespace test_support
