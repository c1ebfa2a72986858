#include "bench/ratio_reporter.h"

#include <cstdio>
#include <sstream>

#include "bench/scenarios.h"

namespace bench {
namespace {

std::string fixed(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

}  // namespace

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    // Per benchmark: its "median" aggregate when repeated, else its one run.
    for (const Run& run : runs) {
        if (run.error_occurred) continue;
        int rank = 0;
        if (run.run_type == Run::RT_Iteration)
            rank = run.repetitions > 1 ? 0 : 1;
        else if (run.aggregate_name == "median")
            rank = 2;
        if (rank == 0) continue;
        Figure& f = figures_[run.run_name.function_name];
        if (rank < f.rank) continue;
        f.rank = rank;
        f.cpu_ns = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
        f.counters.clear();
        for (const auto& c : run.counters) f.counters[c.first] = c.second.value;
    }
}

const RatioReporter::Figure* RatioReporter::find(const std::string& name) const {
    auto it = figures_.find(name);
    return it == figures_.end() ? nullptr : &it->second;
}

double RatioReporter::Figure::counter(const char* name) const {
    auto it = counters.find(name);
    return it == counters.end() ? 0.0 : it->second;
}

std::string RatioReporter::tables() {
    std::ostringstream out;
    targets_met_ = true;
    int targets = 0;
    auto judge = [&](bool met) {
        targets_met_ = targets_met_ && met;
        ++targets;
        return met ? "met" : "MISSED";
    };

    out << "\n### Frame cost: render against the plain frame, taking turns in blocks of 8 "
           "frames\n\n"
        << "Median frame time of each run; speed-up = plain / module within each run "
           "(the median over repetitions of each figure).\n\n"
        << "Planner: peak storage held by the batch planner; frame: with visible_lights.\n\n"
        << "| lights | depth | visible | module us | plain us | speed-up | draws per frame | "
           "planner KiB | frame KiB | target |\n"
        << "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n";
    for (const FrameScenario& s : frame_scenarios()) {
        const Figure* f = find("frame/" + frame_args(s));
        if (!f) continue;
        const double ratio = f->counter("speedup");
        std::string target;
        const double want = s.lights != 10000 ? 0 : s.depth == 32 ? 6 : s.depth == 64 ? 8 : 0;
        if (want > 0) target = ">= " + fixed(want, 0) + "x: " + judge(ratio >= want);
        out << "| " << s.lights << " | " << s.depth << " | "
            << fixed(100 * f->counter("visible"), 0) << "% | " << fixed(f->counter("module_us"), 1)
            << " | " << fixed(f->counter("plain_us"), 1) << " | " << fixed(ratio, 2) << "x | "
            << fixed(f->counter("draws"), 0) << " | "
            << fixed(f->counter("planner_bytes") / 1024, 1) << " | "
            << fixed(f->counter("frame_bytes") / 1024, 1) << " | " << target << " |\n";
    }

    out << "\n### Frame storage with every light reaching every layer\n\n"
        << "Peak bytes held by the batch planner (frame: with visible_lights) against "
           "32 bytes per light + 64 KiB.\n\n"
        << "| lights | depth | entries per frame | ms per frame | planner bytes | per light | "
           "frame bytes | target |\n|---:|---:|---:|---:|---:|---:|---:|---|\n";
    for (const MemoryScenario& s : memory_scenarios()) {
        const Figure* f = find("memory/" + memory_args(s));
        if (!f) continue;
        const double bytes = f->counter("planner_bytes");
        out << "| " << s.lights << " | " << s.depth << " | " << fixed(f->counter("entries"), 0)
            << " | " << fixed(f->counter("frame_us") / 1e3, 2) << " | " << fixed(bytes, 0) << " | "
            << fixed(bytes / s.lights, 1) << " | " << fixed(f->counter("frame_bytes"), 0)
            << " | <= " << fixed(s.bound_bytes(), 0) << ": " << judge(bytes <= s.bound_bytes())
            << " |\n";
    }

    out << "\n### Deeper volume, same light: every light reaches at most 3 of the lowest 8 "
           "layers\n\n"
        << "| lights | depth | module us | plain us | speed-up |\n|---:|---:|---:|---:|---:|\n";
    for (const FrameScenario& s : reach3_scenarios()) {
        const Figure* f = find("frame_reach3/" + frame_args(s));
        if (!f) continue;
        out << "| " << s.lights << " | " << s.depth << " | " << fixed(f->counter("module_us"), 1)
            << " | " << fixed(f->counter("plain_us"), 1) << " | " << fixed(f->counter("speedup"), 2)
            << "x |\n";
    }
    out << "\nThe module at depth D and 2D, taking turns every 16 frames (growth within each "
           "run):\n\n"
        << "| lights | depth | us | at twice the depth | growth | target |\n"
        << "|---:|---:|---:|---:|---:|---|\n";
    for (const FrameScenario& s : reach3_scenarios()) {
        const Figure* f = find("depth_doubling/" + frame_args(s));
        if (!f) continue;
        const double growth = f->counter("growth");
        out << "| " << s.lights << " | " << s.depth << " -> " << 2 * s.depth << " | "
            << fixed(f->counter("depth_us"), 1) << " | " << fixed(f->counter("double_depth_us"), 1)
            << " | " << (growth >= 1 ? "+" : "") << fixed((growth - 1) * 100, 1)
            << "% | < +25%: " << judge(growth < 1.25) << " |\n";
    }

    out << "\n### Light churn: destroy one light, create and set up another\n\n"
        << "| lights | module ns | plain ns | speed-up |\n|---:|---:|---:|---:|\n";
    for (int lights : {1000, 10000, 50000}) {
        const std::string args = "lights:" + std::to_string(lights);
        const Figure* m = find("churn/module/" + args);
        const Figure* l = find("churn/plain/" + args);
        if (!m || !l) continue;
        out << "| " << lights << " | " << fixed(m->cpu_ns, 1) << " | " << fixed(l->cpu_ns, 1)
            << " | " << fixed(l->cpu_ns / m->cpu_ns, 2) << "x |\n";
    }

    out << "\n### Software rasterizer (drawing on, as in the preview tool)\n\n"
        << "| lights | depth | ms per frame | pixels per frame | triangles per frame | "
           "Mpixels/s |\n|---:|---:|---:|---:|---:|---:|\n";
    for (const FrameScenario& s : fill_scenarios()) {
        const Figure* f = find("fill/" + frame_args(s));
        if (!f) continue;
        out << "| " << s.lights << " | " << s.depth << " | " << fixed(f->cpu_ns / 1e6, 2) << " | "
            << fixed(f->counter("pixels"), 0) << " | " << fixed(f->counter("triangles"), 0) << " | "
            << fixed(f->counter("pixels") / f->cpu_ns * 1e3, 1) << " |\n";
    }
    if (targets == 0)
        out << "\nNo target measured in this run.\n";
    else
        out << "\nTargets (" << targets << "): " << (targets_met_ ? "all met." : "MISSED.") << "\n";
    return out.str();
}

void RatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    const std::string text = tables();
    GetOutputStream() << text;
    GetOutputStream().flush();
    if (summary_) *summary_ << text;
}

}  // namespace bench
