// Console output as usual, then summary tables in Markdown: the module's frame
// cost beside the plain frame's, measured in turns, as a speed-up; the cost of
// doubling the depth; churn and fill rate; and whether the targets held.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>

namespace bench {

class RatioReporter final : public benchmark::ConsoleReporter {
public:
    // `summary`, when given, receives the tables too.
    RatioReporter(OutputOptions options, std::ostream* summary)
        : ConsoleReporter(options), summary_(summary) {}

    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

    // Whether every target held; valid after Finalize.
    bool targets_met() const { return targets_met_; }

private:
    struct Figure {
        double cpu_ns = 0;
        std::map<std::string, double> counters;
        int rank = 0;  // 1: a single run, 2: the "median" aggregate
        double counter(const char* name) const;
    };
    const Figure* find(const std::string& name) const;
    std::string tables();

    std::map<std::string, Figure> figures_;
    std::ostream* summary_;
    bool targets_met_ = true;
};

}  // namespace bench
