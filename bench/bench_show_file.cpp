// Reading a show file of 10,000 stage records (5,000 photographs and the
// cross-fades between them; the text only, as yurn --show reads it before it
// opens the data files) against a wait of 10 ms, the time it must stay well
// under, measured in the same run on the same clock: the ratio is the share
// of that budget the reader takes.  Decoding one photograph of the show is
// shown beside it, for scale.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_ratio.h"
#include "files/files.h"
#include "files/show_file.h"

namespace {

constexpr int32_t PHOTOGRAPHS = 5000;

std::string ten_thousand_records()
{
    std::string text = "version = 1\ntitle = \"10000 registros\"\nexit_code = 0\n\n[music]\nfile = \"datos/cancion.mp3\"\n";
    for (int32_t k = 0; k < PHOTOGRAPHS; ++k) {
        if (k > 0)
            text += "\n[[stage]]\ntype = \"crossfade\"\n";
        text += "\n[[stage]]\ntype = \"photo\"\nfile = \"datos/f" + std::to_string(k % 1000) + ".pcx\"\nuntil = " +
                std::to_string(4 * (k + 1)) + "\n";
    }
    // One record more, so the table holds exactly 10,000.
    text += "\n[[stage]]\ntype = \"fadeout\"\nuntil = " + std::to_string(4 * PHOTOGRAPHS + 3) + "\n";
    return text;
}

void BM_read_show_10000_records(benchmark::State& state)
{
    const std::string text = ten_thousand_records();
    for (auto _ : state) {
        ShowFile show;
        std::vector<ShowProblem> problems;
        if (!parse_show("bench.toml", text.data(), text.size(), &show, &problems) || show.stages.size() != 10000u) {
            state.SkipWithError("the benchmark's show does not read");
            return;
        }
        benchmark::DoNotOptimize(show.schedule.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void BM_budget_10_ms(benchmark::State& state)
{
    for (auto _ : state) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
        while (std::chrono::steady_clock::now() < end) {
        }
    }
}

void BM_decode_one_photograph(benchmark::State& state)
{
    std::vector<uint32_t> pixels(320 * 240);
    const std::string path = std::string(YURN_SOURCE_DIR) + "/datos/Foto1.pcx";
    for (auto _ : state)
        read_pcx(path.c_str(), pixels.data(), pixels.size() * 4, nullptr);
}

}  // namespace

BENCHMARK(BM_read_show_10000_records)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_10_ms)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_decode_one_photograph)->Unit(benchmark::kMillisecond);

// Wall time for all three: the budget is a wait on the clock, and the reader
// must meet it as the user waits for it.
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    reporter.wall_time = true;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios("BM_budget_10_ms", "of the 10 ms budget (wall time)");
    benchmark::Shutdown();
    return 0;
}
