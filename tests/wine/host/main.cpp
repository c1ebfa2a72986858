// Test host of the Wine tier: loads lightvol.dll as a game engine does, drives
// it on a real Direct3D 9 device (Wine's, over Mesa) and prints one PASS or FAIL
// line per scenario and a closing "N passed, M failed".
//
//   lightvol_wine_host provider <scene dir> [<picture dump dir>]
//       with the test effect provider as d3dx9_43.dll (WINEDLLOVERRIDES=d3dx9_43=n)
//   lightvol_wine_host wine-d3dx <scene dir> [<picture dump dir>]
//       with Wine's own d3dx9_43.dll (WINEDLLOVERRIDES=d3dx9_43=b), which cannot
//       compile the light effect: the module draws through its built-in shaders
// Each mode first prints the process it runs in (common/process_report.h).
//
// Each mode runs its scenarios on a plain device (Direct3DCreate9 /
// CreateDevice), then a subset on a Direct3D 9Ex device (Direct3DCreate9Ex /
// CreateDeviceEx), named "9ex ...": init, the example pictures (which must
// equal the plain device's texel for texel), Reset and ResetEx cycles, and
// release.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../common/process_report.h"
#include "host_device.h"
#include "message_boxes.h"
#include "scenarios.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void report(const std::string& name, const Outcome& outcome) {
    const std::string note = outcome.note().empty() ? "" : " (" + outcome.note() + ")";
    if (outcome.passed()) {
        std::printf("PASS %s%s\n", name.c_str(), note.c_str());
        ++g_passed;
    } else {
        std::printf("FAIL %s: %s%s\n", name.c_str(), outcome.reasons().c_str(), note.c_str());
        ++g_failed;
    }
    std::fflush(stdout);
}

// Runs one scenario on a usable device; a device that an earlier failure left
// lost fails the scenario without running it.
template <class Scenario>
void run(const std::string& name, HostContext& ctx, Scenario scenario) {
    std::string error;
    if (!ctx.device->recover(error)) {
        Outcome outcome;
        outcome.fail(error);
        report(name, outcome);
        return;
    }
    report(name, scenario(ctx));
}

void report_setup_failure(const std::string& name, const std::string& why) {
    Outcome outcome;
    outcome.fail(why);
    report(name, outcome);
}

bool read_file(const std::string& path, std::string& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buffer[65536];
    size_t n;
    out.clear();
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return true;
}

bool load_scenes(const std::string& dir, std::vector<scene_file::Scene>& scenes,
                 std::string& error) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*.scene").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        error = "no *.scene files in " + dir;
        return false;
    }
    std::vector<std::string> names;
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string text;
        scene_file::Scene scene;
        if (!read_file(dir + "\\" + name, text)) {
            error = "cannot read " + name;
            return false;
        }
        if (!scene_file::read(text, scene, error)) {
            error = name + ": " + error;
            return false;
        }
        scenes.push_back(std::move(scene));
    }
    return true;
}

int finish() {
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    std::fflush(stdout);
    return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "provider" && mode != "wine-d3dx") {
        std::fprintf(stderr, "usage: %s provider|wine-d3dx <scene dir> [<dump dir>]\n", argv[0]);
        return 2;
    }
    print_process_report();
    const bool with_provider = mode == "provider";

    MessageBoxWatcher boxes;
    if (!boxes.start()) {
        report_setup_failure("setup", "cannot start the message box watcher");
        return finish();
    }

    HostDevice device;
    std::string error;
    if (!device.create(error) || !device.create_host_targets(error)) {
        report_setup_failure("setup", error);
        return finish();
    }

    HMODULE module = LoadLibraryA("lightvol.dll");
    auto create = module ? reinterpret_cast<CreateLightingSystemFn>(reinterpret_cast<void*>(
                               GetProcAddress(module, "create_ILightingSystem")))
                         : nullptr;
    if (!create) {
        report_setup_failure("setup", module ? "lightvol.dll has no create_ILightingSystem"
                                             : "LoadLibrary(lightvol.dll) failed");
        return finish();
    }

    HostContext ctx;
    ctx.device = &device;
    ctx.boxes = &boxes;
    ctx.create = create;
    HMODULE d3dx = GetModuleHandleA("d3dx9_43.dll");
    ctx.provider_stats = d3dx ? reinterpret_cast<EffectProviderStatsFn>(reinterpret_cast<void*>(
                                    GetProcAddress(d3dx, "lightvol_effect_provider_stats")))
                              : nullptr;
    if (with_provider != (ctx.provider_stats != nullptr)) {
        report_setup_failure("setup", with_provider
                                          ? "d3dx9_43.dll is not the test effect provider "
                                            "(WINEDLLOVERRIDES=d3dx9_43=n?)"
                                          : "d3dx9_43.dll is the test effect provider, not Wine's");
        return finish();
    }

    std::map<std::string, std::vector<uint32_t>> plain_pictures;
    ctx.plain_pictures = &plain_pictures;
    if (argc > 3) ctx.dump_dir = argv[3];
    const bool have_scenes = argc > 2 && load_scenes(argv[2], ctx.scenes, error);
    run("builtin shader bytecode", ctx, scenario_builtin_bytecode);
    if (with_provider) {
        run("abi", ctx, scenario_abi);
        run("resources", ctx, scenario_resources);
        run("failure messages", ctx, scenario_failure_messages);
    } else {
        run("init without message", ctx, scenario_init_without_message);
    }
    run("device loss", ctx, scenario_device_loss);
    run("host state", ctx, scenario_host_state);
    run("hostile host", ctx, scenario_hostile_host);
    if (!have_scenes) report_setup_failure("pictures", argc > 2 ? error : "no scene directory");
    for (const scene_file::Scene& scene : ctx.scenes) {
        run("picture " + scene.name, ctx, [&scene](HostContext& c) {
            std::string figures;
            Outcome outcome = scenario_picture(c, scene, figures);
            if (!figures.empty())
                std::printf("picture %s: %s\n", scene.name.c_str(), figures.c_str());
            return outcome;
        });
    }
    run("sampler", ctx, scenario_sampler);
    run("leaks", ctx, scenario_leaks);
    if (with_provider) run("effect use", ctx, scenario_effect_use);

    HostDevice ex_device;
    if (!ex_device.create(error, true) || !ex_device.create_host_targets(error)) {
        report_setup_failure("9ex setup", error);
    } else {
        HostContext ex_ctx = ctx;
        ex_ctx.device = &ex_device;
        ex_ctx.dump_dir.clear();
        run("9ex init without message", ex_ctx, scenario_ex_init);
        for (const scene_file::Scene& scene : ex_ctx.scenes) {
            run("9ex picture " + scene.name, ex_ctx, [&scene](HostContext& c) {
                std::string figures;
                return scenario_picture(c, scene, figures);
            });
        }
        run("9ex Reset with on_lost_device/on_reset_device", ex_ctx,
            [](HostContext& c) { return scenario_ex_resets(c, false, true); });
        run("9ex ResetEx with on_lost_device/on_reset_device", ex_ctx,
            [](HostContext& c) { return scenario_ex_resets(c, true, true); });
        run("9ex ResetEx without on_lost_device/on_reset_device", ex_ctx,
            [](HostContext& c) { return scenario_ex_resets(c, true, false); });
        run("9ex leaks", ex_ctx, scenario_leaks);
        ex_device.destroy();
    }

    device.destroy();
    boxes.stop();
    return finish();
}
