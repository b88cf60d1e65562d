// Shared by the benchmark programs: a console reporter that also keeps each
// benchmark's time, so main can print ratios against a reference measured in
// the same run (the machines are shared and noisy; absolute times are not).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>
#include <unistd.h>

struct RatioReporter : benchmark::ConsoleReporter {
    // Colours only on a terminal: piped or saved output stays plain text.
    RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

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

    // One line per benchmark: its time as a multiple of the reference's,
    // with the setting it ran under when there is one.
    void print_ratios(const char* reference, const char* what, const char* setting = nullptr) const
    {
        const double base = time_of(reference);
        if (base <= 0)
            return;
        if (output_options_ & OO_Color)
            std::printf("\033[m");  // the table's last colour ends here
        for (const auto& [name, t] : times)
            std::printf("ratio %-28s %6.2fx %s%s%s\n", name.c_str(), t / base, what, setting ? " at " : "",
                        setting ? setting : "");
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

// A buffer on a 64-byte boundary, as the frames and surfaces of the program are.
template <class T>
struct Aligned64 : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Aligned64<U>;
    };
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(64))); }
    void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t(64)); }
};
template <class T>
using AlignedVector = std::vector<T, Aligned64<T>>;

// One run of every benchmark under a setting (an instruction-set level, say):
// apply makes it current and returns false when it cannot be had here.
struct RatioSetting {
    std::string name;
    std::function<bool()> apply;
};

// main of a benchmark program run once per setting, each run with its own
// reference.  Unless the command line says otherwise, every benchmark is
// repeated with the repetitions of all of them interleaved in random order
// and the median kept, so that a noisy neighbour moves the reference and the
// kernels alike.
inline int run_with_ratios_each(int argc, char** argv, const char* reference, const char* what,
                                const std::vector<RatioSetting>& settings)
{
    std::vector<char*> args = {argv[0]};
    char repetitions[] = "--benchmark_repetitions=7";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char aggregates[] = "--benchmark_report_aggregates_only=true";
    char min_time[] = "--benchmark_min_time=0.05";
    for (char* a : {repetitions, interleave, aggregates, min_time})
        args.push_back(a);
    args.insert(args.end(), argv + 1, argv + argc);  // later flags win
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    for (const RatioSetting& setting : settings) {
        if (!setting.apply())
            continue;
        std::printf("== %s\n", setting.name.c_str());
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        reporter.print_ratios(reference, what, setting.name.c_str());
    }
    benchmark::Shutdown();
    return 0;
}
