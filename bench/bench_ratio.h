// Shared by the benchmark programs: a console reporter that also keeps each
// benchmark's time, so main can print ratios against a reference measured in
// the same run (the machines are shared and noisy; absolute times are not).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct RatioReporter : benchmark::ConsoleReporter {
    // Wall time per iteration instead of this process's CPU time; for work
    // done in child processes.
    bool wall_time = false;
    // By function name ("BM_memcpy"); with repetitions, the median.
    std::map<std::string, double> times;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred || !(r.aggregate_name.empty() || r.aggregate_name == "median"))
                continue;
            times[r.run_name.function_name] =
                wall_time ? r.real_accumulated_time / double(r.iterations) : r.GetAdjustedCPUTime();
        }
    }

    double time_of(const char* name) const
    {
        auto it = times.find(name);
        return it == times.end() ? 0.0 : it->second;
    }

    // One line per benchmark: its time as a multiple of the reference's.
    void print_ratios(const char* reference, const char* what) const
    {
        const double base = time_of(reference);
        if (base <= 0)
            return;
        for (const auto& [name, t] : times)
            std::printf("ratio %-28s %6.2fx %s\n", name.c_str(), t / base, what);
    }
};

// main of a benchmark program whose every benchmark is compared with one.
inline int run_with_ratios(int argc, char** argv, const char* reference, const char* what)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios(reference, what);
    benchmark::Shutdown();
    return 0;
}
