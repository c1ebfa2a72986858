#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "bench/plain_frame.h"
#include "bench/scenarios.h"
#include "bench/scene.h"

namespace bench {

SceneConfig FrameScenario::scene() const {
    if (family == "frame_reach3") return {lights, 0.5f, 1.0f, 1.0f, 7.0f};
    return {lights, 1.0f, 4.0f, 0.0f, static_cast<float>(depth)};
}

std::vector<FrameScenario> frame_scenarios() {
    std::vector<FrameScenario> out;
    for (int32_t lights : {1000, 10000, 50000})
        for (int32_t depth : {8, 32, 64}) out.push_back({"frame", lights, depth});
    return out;
}

std::vector<FrameScenario> reach3_scenarios() {
    std::vector<FrameScenario> out;
    for (int32_t lights : {10000, 50000})
        for (int32_t depth : {8, 16, 32, 64}) out.push_back({"frame_reach3", lights, depth});
    return out;
}

std::vector<FrameScenario> fill_scenarios() {
    return {FrameScenario{"fill", 1000, 8}, FrameScenario{"fill", 10000, 32}};
}

SceneConfig MemoryScenario::scene() const {
    // Radii beyond the volume's whole height from anywhere in it: every light
    // overlaps the volume and reaches every layer.
    const float reach = static_cast<float>(2 * depth);
    return {lights, reach, reach + 8.0f, 0.0f, static_cast<float>(depth)};
}

std::vector<MemoryScenario> memory_scenarios() { return {MemoryScenario{20000, 128}}; }

std::string memory_args(const MemoryScenario& s) {
    return "lights:" + std::to_string(s.lights) + "/depth:" + std::to_string(s.depth);
}

std::string frame_args(const FrameScenario& s) {
    return "lights:" + std::to_string(s.lights) + "/depth:" + std::to_string(s.depth);
}

namespace {

// Layer starts and batches folded into one hash, with counts.
class BatchDigest final : public BatchConsumer {
public:
    void begin_layer(int32_t layer) override {
        mix(0x4c41u);
        mix(static_cast<uint32_t>(layer));
        ++layers;
    }
    void flush_batch(const float* light_info, const float* light_color, int32_t n) override {
        mix(static_cast<uint32_t>(n));
        for (int32_t k = 0; k < 3 * n; ++k) {
            mix(bits(light_info[k]));
            mix(bits(light_color[k]));
        }
        ++batches;
        entries += static_cast<uint64_t>(n);
    }
    bool operator==(const BatchDigest& o) const {
        return hash == o.hash && layers == o.layers && batches == o.batches && entries == o.entries;
    }

    uint64_t hash = 1469598103934665603ull;
    uint64_t layers = 0;
    uint64_t batches = 0;
    uint64_t entries = 0;

private:
    static uint32_t bits(float f) {
        uint32_t u;
        std::memcpy(&u, &f, sizeof u);
        return u;
    }
    void mix(uint32_t v) {
        hash ^= v;
        hash *= 1099511628211ull;
    }
};

// Per-frame times of one side of a comparison, summarized by their median
// (a frame that another process interrupted does not move it).
class FrameTimes {
public:
    void reserve(size_t frames) { ns_.reserve(frames); }
    void add(std::chrono::steady_clock::duration d) {
        ns_.push_back(
            static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()));
    }
    double median_us() {
        if (ns_.empty()) return 0;
        auto mid = ns_.begin() + static_cast<std::ptrdiff_t>(ns_.size() / 2);
        std::nth_element(ns_.begin(), mid, ns_.end());
        return *mid / 1e3;
    }

private:
    std::vector<double> ns_;
};

using Clock = std::chrono::steady_clock;

// The module's render and the plain frame on the same focus path, taking
// turns in blocks of frames, the side going first alternating from block to
// block: both meet the same machine, however its load changes.
constexpr int kFramesPerBlock = 8;

void run_frames(benchmark::State& state, const FrameScenario& s) {
    const std::vector<LightParams> params = make_lights(s.scene());
    Stage stage(s.depth);
    stage.add_lights(params);
    PlainFrame plain;
    for (int32_t i = 0; i < s.lights; ++i) plain.create();
    assign_in_order(plain.lights(), params);
    LightingSystem& sys = stage.internals();

    FocusPath path;
    sys.place_volume(path.focus, path.movement, path.box_min, path.box_max);
    sys.collect_visible_lights();
    const double visible_share =
        static_cast<double>(sys.visible_lights.size()) / static_cast<double>(s.lights);
    sys.visible_lights.clear();
    stage.render(path);
    plain.render(sys, path.focus, path.movement, path.box_min, path.box_max);
    // Side 0 the module, 1 the plain frame.
    FrameTimes times[2];
    for (FrameTimes& side : times)
        side.reserve(static_cast<size_t>(state.max_iterations) * kFramesPerBlock);
    uint64_t draws = 0;
    uint64_t frames = 0;
    int first = 0;
    for (auto _ : state) {
        const FocusPath start = path;
        for (int turn = 0; turn < 2; ++turn) {
            const int side = turn ^ first;
            path = start;
            for (int f = 0; f < kFramesPerBlock; ++f) {
                path.advance();
                const uint64_t before = stage.device.draw_calls();
                const Clock::time_point t0 = Clock::now();
                if (side == 0)
                    stage.render(path);
                else
                    plain.render(sys, path.focus, path.movement, path.box_min, path.box_max);
                times[side].add(Clock::now() - t0);
                if (side == 0) {
                    draws += stage.device.draw_calls() - before;
                    ++frames;
                }
            }
        }
        first ^= 1;
    }
    const double module_us = times[0].median_us();
    const double plain_us = times[1].median_us();
    state.counters["module_us"] = module_us;
    state.counters["plain_us"] = plain_us;
    state.counters["speedup"] = module_us > 0 ? plain_us / module_us : 0;
    state.counters["visible"] = visible_share;
    state.counters["draws"] = frames ? static_cast<double>(draws) / static_cast<double>(frames) : 0;
    // Storage only grows, so what is held after the run is the run's peak.
    state.counters["planner_bytes"] = static_cast<double>(sys.batch_planner_bytes());
    state.counters["frame_bytes"] = static_cast<double>(sys.frame_bytes());
}

// Every light reaching every layer of a deep volume: the frame's working
// storage against its bound, and the time such a frame takes.
void run_memory(benchmark::State& state, const MemoryScenario& s) {
    Stage stage(s.depth);
    std::vector<LightParams> params = make_lights(s.scene());
    stage.add_lights(params);
    LightingSystem& sys = stage.internals();
    FocusPath path;
    FrameTimes times;
    times.reserve(static_cast<size_t>(state.max_iterations));
    uint64_t entries = 0;
    for (auto _ : state) {
        path.advance();
        const Clock::time_point start = Clock::now();
        stage.render(path);
        times.add(Clock::now() - start);
    }
    {
        BatchDigest digest;
        sys.place_volume(path.focus, path.movement, path.box_min, path.box_max);
        sys.collect_visible_lights();
        sys.batch_layers(digest);
        sys.visible_lights.clear();
        entries = digest.entries;
    }
    state.counters["frame_us"] = times.median_us();
    state.counters["entries"] = static_cast<double>(entries);
    state.counters["planner_bytes"] = static_cast<double>(sys.batch_planner_bytes());
    state.counters["frame_bytes"] = static_cast<double>(sys.frame_bytes());
}

// The module alone at depth D and 2D with the same lights, switching depth
// every few frames.
void run_depth_doubling(benchmark::State& state, const FrameScenario& s) {
    Stage stage(s.depth);
    stage.add_lights(make_lights(s.scene()));
    FocusPath path;
    FrameTimes times[2];
    times[0].reserve(static_cast<size_t>(state.max_iterations));
    times[1].reserve(static_cast<size_t>(state.max_iterations));
    constexpr int kFramesPerSwitch = 16;
    int deep = 1;
    int frame = 0;
    for (auto _ : state) {
        if (frame++ % kFramesPerSwitch == 0) {
            deep = 1 - deep;
            stage.system->set_volume(kLayerSize, kLayerSize, s.depth << deep, kCellSize);
            stage.render(path);  // untimed: the first frame on new targets
        }
        path.advance();
        const Clock::time_point start = Clock::now();
        stage.render(path);
        times[deep].add(Clock::now() - start);
    }
    const double shallow_us = times[0].median_us();
    const double deep_us = times[1].median_us();
    state.counters["depth_us"] = shallow_us;
    state.counters["double_depth_us"] = deep_us;
    state.counters["growth"] = shallow_us > 0 ? deep_us / shallow_us : 0;
}

// Churn: with `lights` live, each iteration destroys one light picked at
// random and creates and sets up a new one.
constexpr size_t kChurnPicks = 4096;

std::vector<uint32_t> churn_picks(int32_t lights) {
    std::mt19937 rng(777u);
    std::vector<uint32_t> picks(kChurnPicks);
    for (uint32_t& p : picks) p = static_cast<uint32_t>(rng() % static_cast<uint32_t>(lights));
    return picks;
}

void run_module_churn(benchmark::State& state, int32_t lights) {
    ILightingSystem* sys = create_ILightingSystem();
    std::vector<IPointLight*> live;
    for (int32_t i = 0; i < lights; ++i) live.push_back(sys->create_point_light());
    const std::vector<uint32_t> picks = churn_picks(lights);
    const Vec3 position{1, 2, 3};
    size_t k = 0;
    for (auto _ : state) {
        IPointLight*& slot = live[picks[k++ % kChurnPicks]];
        sys->destroy_point_light(slot);
        slot = sys->create_point_light();
        slot->set_position(&position);
        slot->set_radius(1.5f);
    }
    sys->release();
}

void run_plain_churn(benchmark::State& state, int32_t lights) {
    PlainFrame plain;
    std::vector<PointLight*> live;
    for (int32_t i = 0; i < lights; ++i) live.push_back(plain.create());
    const std::vector<uint32_t> picks = churn_picks(lights);
    const Vec3 position{1, 2, 3};
    size_t k = 0;
    for (auto _ : state) {
        PointLight*& slot = live[picks[k++ % kChurnPicks]];
        plain.destroy(slot);
        slot = plain.create();
        slot->set_position(&position);
        slot->set_radius(1.5f);
    }
}

// The software device drawing for real (the preview tool's path): pixels
// shaded per second.
void run_fill(benchmark::State& state, const FrameScenario& s) {
    Stage stage(s.depth, /*null_mode=*/false);
    stage.add_lights(make_lights(s.scene()));
    FocusPath path;
    stage.render(path);
    const uint64_t pixels = stage.device.pixels_shaded();
    const uint64_t triangles = stage.device.triangles_rasterized();
    for (auto _ : state) {
        path.advance();
        stage.render(path);
    }
    const double shaded = static_cast<double>(stage.device.pixels_shaded() - pixels);
    state.counters["pixels"] = benchmark::Counter(shaded, benchmark::Counter::kAvgIterations);
    state.counters["triangles"] =
        benchmark::Counter(static_cast<double>(stage.device.triangles_rasterized() - triangles),
                           benchmark::Counter::kAvgIterations);
}

}  // namespace

void register_benchmarks() {
    for (const FrameScenario& s : frame_scenarios())
        benchmark::RegisterBenchmark(("frame/" + frame_args(s)).c_str(), run_frames, s)
            ->Unit(benchmark::kMicrosecond);
    for (const FrameScenario& s : reach3_scenarios())
        benchmark::RegisterBenchmark(("frame_reach3/" + frame_args(s)).c_str(), run_frames, s)
            ->Unit(benchmark::kMicrosecond);
    for (const FrameScenario& s : reach3_scenarios()) {
        if (s.depth * 2 > 64) continue;
        benchmark::RegisterBenchmark(("depth_doubling/" + frame_args(s)).c_str(),
                                     run_depth_doubling, s)
            ->Unit(benchmark::kMicrosecond);
    }
    for (int32_t lights : {1000, 10000, 50000}) {
        const std::string args = "lights:" + std::to_string(lights);
        benchmark::RegisterBenchmark(("churn/module/" + args).c_str(), run_module_churn, lights);
        benchmark::RegisterBenchmark(("churn/plain/" + args).c_str(), run_plain_churn, lights);
    }
    for (const MemoryScenario& s : memory_scenarios())
        benchmark::RegisterBenchmark(("memory/" + memory_args(s)).c_str(), run_memory, s)
            ->Unit(benchmark::kMillisecond);
    for (const FrameScenario& s : fill_scenarios())
        benchmark::RegisterBenchmark(("fill/" + frame_args(s)).c_str(), run_fill, s)
            ->Unit(benchmark::kMillisecond);
}

namespace {

bool verify_scenario(const FrameScenario& s, bool compare_calls) {
    const std::vector<LightParams> params = make_lights(s.scene());
    Stage stage(s.depth, /*null_mode=*/!compare_calls);
    stage.add_lights(params);
    PlainFrame plain;
    for (int32_t i = 0; i < s.lights; ++i) plain.create();
    assign_in_order(plain.lights(), params);
    LightingSystem& sys = stage.internals();

    FocusPath path;
    for (int frame = 0; frame < 4; ++frame) {
        for (int skip = 0; skip < 37; ++skip) path.advance();

        BatchDigest ours;
        sys.place_volume(path.focus, path.movement, path.box_min, path.box_max);
        sys.collect_visible_lights();
        sys.batch_layers(ours);
        sys.visible_lights.clear();
        BatchDigest theirs;
        plain.render(sys, path.focus, path.movement, path.box_min, path.box_max, &theirs);
        if (!(ours == theirs) || ours.entries == 0) {
            std::fprintf(stderr,
                         "%s %s frame %d: batches differ (module %llu batches / %llu entries, "
                         "plain %llu / %llu)\n",
                         s.family.c_str(), frame_args(s).c_str(), frame,
                         static_cast<unsigned long long>(ours.batches),
                         static_cast<unsigned long long>(ours.entries),
                         static_cast<unsigned long long>(theirs.batches),
                         static_cast<unsigned long long>(theirs.entries));
            return false;
        }

        if (compare_calls) {
            stage.device.set_recording(true);
            stage.device.clear_calls();
            stage.render(path);
            const std::vector<std::string> module_calls = stage.device.calls();
            stage.device.clear_calls();
            plain.render(sys, path.focus, path.movement, path.box_min, path.box_max);
            const bool same = module_calls == stage.device.calls();
            stage.device.clear_calls();
            stage.device.set_recording(false);
            if (!same) {
                std::fprintf(stderr, "%s %s frame %d: device calls differ\n", s.family.c_str(),
                             frame_args(s).c_str(), frame);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool verify_scenarios() {
    bool ok = verify_scenario(FrameScenario{"frame", 2000, 16}, true) &&
              verify_scenario(FrameScenario{"frame_reach3", 2000, 16}, true);
    std::vector<FrameScenario> all = frame_scenarios();
    for (const FrameScenario& s : reach3_scenarios()) all.push_back(s);
    for (const FrameScenario& s : all) ok = ok && verify_scenario(s, false);
    return ok;
}

}  // namespace bench
