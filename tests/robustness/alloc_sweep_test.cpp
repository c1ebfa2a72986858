// Each public operation run with its k-th heap allocation failing, for every k
// until the operation no longer reaches a k-th: std::bad_alloc may leave the
// operation, but the system stays consistent, keeps working afterwards and is
// released without a leak. The software device's own allocations are failed
// too; it turns them into refused calls or lets the exception through, and the
// module has to cope with either.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "robustness/invariants.h"
#include "support/counting_allocator.h"

namespace {

using lightvol_sw::SoftwareDevice;
using namespace robustness;

// A host with a fresh device and a lighting system, built up to the point
// where an operation is probed.
struct Host {
    // With programs the device's D3DX cannot compile the effect, and the
    // module draws through its built-in shaders.
    explicit Host(bool programs) {
        lightvol_sw::clear_message_boxes();
        callback_target() = &dev;
        dev.set_recording(false);
        device_refs = SoftwareDevice::ref_count(&dev);
        if (programs) {
            compiler_text = "no techniques";
            dev.fail_effect_creation(0, D3DXERR_INVALIDDATA, compiler_text.c_str());
        }
    }
    ~Host() {
        callback_target() = nullptr;
        g_device = nullptr;
        lightvol_sw::clear_message_boxes();
    }
    LightingSystem& system() { return *static_cast<LightingSystem*>(sys); }

    IPointLight* add_light(Vec3 position, float radius) {
        IPointLight* light = sys->create_point_light();
        const Vec3 color{1, 0.5f, 0.25f};
        light->set_position(&position);
        light->set_radius(radius);
        light->set_color(&color);
        return light;
    }
    void add_lights(int count, int width, int height, int depth) {
        for (int i = 0; i < count; ++i)
            add_light(
                {0.5f + static_cast<float>(i % width),
                 0.5f + static_cast<float>(i / width % height), static_cast<float>(i % depth)},
                1.5f);
    }
    void render(float extent_x, float extent_y) {
        const Vec3 focus{extent_x / 2, extent_y / 2, 0};
        const float movement[2] = {1, 1};
        const Vec3 lo{0, 0, 0}, hi{extent_x, extent_y, 0};
        dev.BeginScene();
        sys->render(&focus, movement, &lo, &hi);
        dev.EndScene();
    }
    void setup(int lights) {
        sys = create_ILightingSystem();
        sys->init(&dev, host_set_render_state);
        sys->set_volume(8, 8, 4, 1);
        sys->set_base_layer(0);
        add_lights(lights, 8, 8, 4);
    }

    SoftwareDevice dev{64, 64};
    ULONG device_refs = 0;
    ILightingSystem* sys = nullptr;
    // What the refused effect says, shown when its shaders could not be made.
    std::string compiler_text;
};

struct Probe {
    const char* name;
    // Builds the host up to the operation; nothing here is failed.
    std::function<void(Host&)> before;
    std::function<void(Host&)> operation;
    // Checks after the operation threw; returns what does not hold.
    std::function<std::string(Host&)> after_throw;
};

std::string joined(const std::vector<std::string>& lines, size_t limit) {
    std::string out;
    for (size_t i = 0; i < lines.size() && i < limit; ++i) out += lines[i] + "\n";
    if (lines.size() > limit) out += "... " + std::to_string(lines.size() - limit) + " more\n";
    return out;
}

// After a probe, whatever happened: the host finishes a session on the system
// (making it if the probe did not get that far), and release leaves nothing.
std::string finish_session(Host& h) {
    std::string out;
    if (!h.sys) h.sys = create_ILightingSystem();
    h.sys->init(&h.dev, host_set_render_state);  // ignored once the effect exists
    h.sys->set_volume(6, 6, 2, 1);
    h.sys->set_base_layer(0);
    h.sys->set_enabled(true);
    h.add_light({3, 3, 1}, 2);
    const HostSnapshot before = capture_host_state(h.dev);
    h.render(6, 6);
    out += compare_host_state(before, capture_host_state(h.dev));
    out += check_system(h.sys);
    // A system whose effect and mesh were made draws again.
    LightingSystem& sys = h.system();
    const bool can_draw = sys.effect && sys.effect->can_draw() && g_point_light_mesh &&
                          g_point_light_mesh->vertex_buffer && g_vertex_decl &&
                          g_vertex_decl->declaration;
    if (can_draw) {
        const std::vector<uint32_t> texels =
            SoftwareDevice::read_pixels(sys.get_light_map()->texture);
        size_t lit = 0;
        for (uint32_t t : texels) lit += (t & 0xFFFFFFu) != 0;
        if (lit == 0) out += "the frame after the failure drew nothing; ";
    }
    h.sys->release();
    h.sys = nullptr;
    out += check_released(h.dev, h.device_refs);
    out += check_message_boxes(0, h.compiler_text);
    return out;
}

// Runs the probe for k = 1, 2, ... until the operation makes fewer than k
// allocations. Returns the number of allocation points failed.
size_t sweep(const Probe& probe, bool programs, std::vector<std::string>& problems) {
    size_t points = 0;
    for (size_t k = 1;; ++k) {
        Host h(programs);
        probe.before(h);
        // Frames in null mode: a real device draws without throwing, and the
        // software device's rasterizer scratch is not the module's concern.
        h.dev.set_null_mode(true);
        bool threw = false;
        alloc_probe::start();
        alloc_probe::fail_at(k);
        try {
            probe.operation(h);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        const size_t made = alloc_probe::stop();
        h.dev.set_null_mode(false);
        const std::string where =
            std::string(probe.name) + ", allocation " + std::to_string(k) + ": ";
        if (made < k) {
            if (threw) problems.push_back(where + "threw without reaching the failed allocation");
            std::string rest = finish_session(h);
            if (!rest.empty()) problems.push_back(where + "(none failed) " + rest);
            return points;
        }
        ++points;
        std::string problem;
        if (threw && probe.after_throw) problem += probe.after_throw(h);
        if (h.sys) problem += check_system(h.sys);
        problem += finish_session(h);
        if (!problem.empty()) problems.push_back(where + (threw ? "threw; " : "") + problem);
    }
}

size_t light_count(Host& h) { return h.sys ? h.system().lights.size() : 0; }

class AllocationSweep : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Paths, AllocationSweep, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "BuiltInShaders" : "Effect");
                         });

TEST_P(AllocationSweep, EveryAllocationOfEveryOperationFails) {
    // Light counts before an operation, to check that a failed one added none.
    static size_t lights_before = 0;
    static HostSnapshot host_before;
    static IPointLight* doomed[3];

    const std::vector<Probe> probes = {
        {"create_ILightingSystem", [](Host&) {}, [](Host& h) { h.sys = create_ILightingSystem(); },
         nullptr},
        {"init", [](Host& h) { h.sys = create_ILightingSystem(); },
         [](Host& h) { h.sys->init(&h.dev, host_set_render_state); }, nullptr},
        {"set_volume (first)",
         [](Host& h) {
             h.sys = create_ILightingSystem();
             h.sys->init(&h.dev, host_set_render_state);
         },
         [](Host& h) { h.sys->set_volume(8, 4, 3, 1); }, nullptr},
        {"set_volume (replacing)", [](Host& h) { h.setup(4); },
         [](Host& h) { h.sys->set_volume(12, 4, 6, 0.5f); }, nullptr},
        {"create_point_light (first)",
         [](Host& h) {
             h.setup(0);
             lights_before = 0;
         },
         [](Host& h) { h.sys->create_point_light(); },
         [](Host& h) {
             return light_count(h) == lights_before ? "" : "a failed creation added a light; ";
         }},
        {"create_point_light (new block)",
         [](Host& h) {
             h.setup(256);
             lights_before = light_count(h);
         },
         [](Host& h) { h.sys->create_point_light(); },
         [](Host& h) {
             return light_count(h) == lights_before ? "" : "a failed creation added a light; ";
         }},
        {"render (more visible lights than ever)",
         [](Host& h) {
             h.setup(3);
             h.render(8, 8);
             h.add_lights(400, 8, 8, 4);
             host_before = capture_host_state(h.dev);
         },
         [](Host& h) { h.render(8, 8); },
         [](Host& h) {
             // The scene the host began is still open; end it as the host would.
             h.dev.EndScene();
             return compare_host_state(host_before, capture_host_state(h.dev));
         }},
        {"render (deeper volume)",
         [](Host& h) {
             h.setup(50);
             h.render(8, 8);
             h.sys->set_volume(8, 8, 64, 0.25f);
             host_before = capture_host_state(h.dev);
         },
         [](Host& h) { h.render(8, 8); },
         [](Host& h) {
             h.dev.EndScene();
             return compare_host_state(host_before, capture_host_state(h.dev));
         }},
        {"on_lost_device", [](Host& h) { h.setup(4); }, [](Host& h) { h.sys->on_lost_device(); },
         nullptr},
        {"on_reset_device",
         [](Host& h) {
             h.setup(4);
             h.sys->on_lost_device();
         },
         [](Host& h) { h.sys->on_reset_device(); }, nullptr},
        {"destroy_point_light and clear_point_lights",
         [](Host& h) {
             h.setup(0);
             for (IPointLight*& l : doomed) l = h.sys->create_point_light();
             h.add_lights(300, 8, 8, 4);
         },
         [](Host& h) {
             for (IPointLight* l : doomed) h.sys->destroy_point_light(l);
             h.sys->clear_point_lights();
         },
         nullptr},
        {"set_base_layer, set_enabled, get_light_map", [](Host& h) { h.setup(4); },
         [](Host& h) {
             h.sys->set_base_layer(-3);
             h.sys->set_enabled(false);
             h.sys->set_enabled(true);
             (void)h.sys->get_light_map();
             (void)h.sys->is_enabled();
         },
         nullptr},
        {"release", [](Host& h) { h.setup(300); },
         [](Host& h) {
             h.sys->release();
             h.sys = nullptr;
         },
         nullptr},
    };

    std::vector<std::string> problems;
    size_t total = 0;
    for (const Probe& probe : probes) {
        const size_t points = sweep(probe, GetParam(), problems);
        std::printf("  %-45s %zu allocation points\n", probe.name, points);
        total += points;
    }
    std::printf("allocation points swept: %zu\n", total);
    EXPECT_GT(total, 0u);
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems:\n" << joined(problems, 40);
}

// A frame whose working storage failed to grow, at any of its allocations,
// leaves nothing half grown behind: the light map's record still describes
// the map it keeps, and the next frame draws exactly what a host that never
// ran out of memory gets.
TEST_P(AllocationSweep, FrameAfterFailedGrowthDrawsAsIfNothingFailed) {
    auto scene = [](Host& h) {
        h.setup(3);
        h.render(8, 8);
        h.add_lights(250, 8, 8, 4);
    };
    Host clean(GetParam());
    scene(clean);
    clean.render(8, 8);
    const std::vector<uint32_t> expected =
        SoftwareDevice::read_pixels(clean.sys->get_light_map()->texture);
    clean.sys->release();
    clean.sys = nullptr;

    size_t failed = 0;
    for (size_t k = 1;; ++k) {
        Host h(GetParam());
        scene(h);
        h.dev.set_null_mode(true);
        LightMapInfo before;
        std::memcpy(&before, h.sys->get_light_map(), sizeof before);
        alloc_probe::start();
        alloc_probe::fail_at(k);
        try {
            h.render(12, 8);  // a volume placed elsewhere
        } catch (const std::bad_alloc&) {
            h.dev.EndScene();
            EXPECT_EQ(std::memcmp(&before, h.sys->get_light_map(), sizeof before), 0)
                << "allocation " << k;
        }
        const size_t made = alloc_probe::stop();
        h.dev.set_null_mode(false);
        h.render(8, 8);
        EXPECT_EQ(SoftwareDevice::read_pixels(h.sys->get_light_map()->texture), expected)
            << "allocation " << k;
        h.sys->release();
        h.sys = nullptr;
        EXPECT_EQ(check_released(h.dev, h.device_refs), "");
        if (made < k) break;
        ++failed;
    }
    EXPECT_GT(failed, 0u);
}

}  // namespace
