// The scenarios of the Wine tier. Each reports one PASS or FAIL line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "../common/scene_file.h"
#include "../effect_provider/effect_provider.h"
#include "host_device.h"
#include "lightvol.h"
#include "message_boxes.h"

using CreateLightingSystemFn = ILightingSystem* (*)();

struct HostContext {
    HostDevice* device = nullptr;
    MessageBoxWatcher* boxes = nullptr;
    CreateLightingSystemFn create = nullptr;
    // Null unless the test effect provider is the loaded d3dx9_43.dll.
    EffectProviderStatsFn provider_stats = nullptr;
    std::vector<scene_file::Scene> scenes;
    std::string dump_dir;  // where pictures are written; empty: nowhere
    // Light maps of the example scenes by name: drawn on the plain device and
    // kept here; on a 9Ex device compared with them texel for texel.
    std::map<std::string, std::vector<uint32_t>>* plain_pictures = nullptr;
};

// printf-style formatting into a string (up to 1023 characters).
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Failures collected by one scenario.
class Outcome {
public:
    void expect(bool ok, const std::string& what) {
        if (!ok) failures_.push_back(what);
    }
    void fail(const std::string& what) { failures_.push_back(what); }
    bool passed() const { return failures_.empty(); }
    std::string reasons() const;
    // Figures printed on the scenario's PASS or FAIL line.
    void note(const std::string& figures) { note_ = figures; }
    const std::string& note() const { return note_; }

private:
    std::vector<std::string> failures_;
    std::string note_;
};

// With the test effect provider.
Outcome scenario_abi(HostContext& ctx);
Outcome scenario_resources(HostContext& ctx);
Outcome scenario_failure_messages(HostContext& ctx);
Outcome scenario_device_loss(HostContext& ctx);
Outcome scenario_host_state(HostContext& ctx);
Outcome scenario_picture(HostContext& ctx, const scene_file::Scene& scene, std::string& figures);
Outcome scenario_leaks(HostContext& ctx);
// World points drawn through the compiled docs/sampling.hlsl (vs_3_0 and
// ps_3_0), one pixel each, within a derived bound of LightSampler on the
// light map read back (sampler_scenario.cpp).
Outcome scenario_sampler(HostContext& ctx);
Outcome scenario_effect_use(HostContext& ctx);
// Render states, clip plane, scissor, a second target, the light map on a
// sampler and an instancing frequency left by the host, singly and all at
// once: the light map within 1/255 of a clean frame's, the host's values back
// after render, and a Reset right after. Both D3DX modes.
Outcome scenario_hostile_host(HostContext& ctx);

// The module's built-in shader bytecode is what its assembly text assembles to
// with Wine's D3DXAssembleShader (from Wine's d3dx9_42.dll).
Outcome scenario_builtin_bytecode(HostContext& ctx);

// On a Direct3D 9Ex device, with either D3DX. Init shows no message box (the
// line printed says whether the device has a managed pool).
Outcome scenario_ex_init(HostContext& ctx);
// Two cycles of Reset (or ResetEx) with frames before and after, which must
// all be the same lit light map; with lost_and_reset the host follows the
// guide (on_lost_device, reset, on_reset_device), without it the host resets
// with lightvol's objects alive and never tells lightvol.
Outcome scenario_ex_resets(HostContext& ctx, bool reset_ex, bool lost_and_reset);

// With Wine's own D3DX, which cannot compile the light effect: init shows no
// message, as the module draws through its built-in shaders. The device loss,
// host state, picture and leak scenarios above run in this mode too.
Outcome scenario_init_without_message(HostContext& ctx);
