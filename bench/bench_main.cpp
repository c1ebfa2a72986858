// lightvol_bench: Google Benchmark's usual flags, plus
//   --summary_out=FILE   also write the summary tables (Markdown) to FILE
//   --skip_verify        skip the check that both frames draw the same batches
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/scenarios.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string summary_path;
    bool verify = true;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--summary_out=", 14) == 0)
            summary_path = argv[i] + 14;
        else if (std::strcmp(argv[i], "--skip_verify") == 0)
            verify = false;
        else
            rest.push_back(argv[i]);
    }
    int rest_count = static_cast<int>(rest.size());
    if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) return 1;

    if (verify) {
        std::fprintf(stderr, "checking that the module and the plain frame draw the same...\n");
        if (!bench::verify_scenarios()) return 1;
    }

    std::ofstream summary;
    if (!summary_path.empty()) {
        summary.open(summary_path);
        if (!summary) {
            std::fprintf(stderr, "cannot write %s\n", summary_path.c_str());
            return 1;
        }
    }
    bench::register_benchmarks();
    // Colour only on a terminal.
    const auto options = isatty(fileno(stdout)) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                : benchmark::ConsoleReporter::OO_Tabular;
    bench::RatioReporter reporter(options, summary_path.empty() ? nullptr : &summary);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
