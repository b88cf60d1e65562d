// What a capture says on standard error: a progress bar on a terminal, a
// one-line summary otherwise.
#include <cstdio>
#include <string>

#include "capture/capture_local.h"
#include "platform/platform.h"

void draw_progress(bool final)
{
    const double now = steady_ms();
    if (!final && now - capture->last_bar_ms < 100.0)
        return;
    capture->last_bar_ms = now;
    const double seconds = (now - capture->started_ms) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(capture->written) / seconds : 0.0;
    const int64_t total = capture->expected > capture->written ? capture->expected : capture->written;
    const double eta = rate > 0 ? static_cast<double>(total - capture->written) / rate : 0.0;
    constexpr int32_t WIDTH = 30;
    const int32_t filled = total > 0 ? static_cast<int32_t>(capture->written * WIDTH / total) : WIDTH;
    char bar[WIDTH + 1];
    for (int32_t i = 0; i < WIDTH; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[WIDTH] = 0;
    std::fprintf(stderr, "\r[%s] %lld/%lld fotogramas  %.1f fps  quedan %.1f s ", bar,
                 static_cast<long long>(capture->written), static_cast<long long>(total), rate, eta);
    if (final)
        std::fputc('\n', stderr);
    std::fflush(stderr);
}

void print_summary()
{
    const double seconds = (steady_ms() - capture->started_ms) / 1000.0;
    // On a terminal the bar ends the line before; the summary then says
    // where the files went, as it does in a log.
    if (capture->terminal)
        draw_progress(true);
    const std::string& where = capture->saved_to.empty() ? std::string(capture->options.target) : capture->saved_to;
    std::fprintf(stderr, "yurn: %lld fotogramas grabados en \"%s\" en %.2f s (%.1f fps), T final %.3f ms\n",
                 static_cast<long long>(capture->written), where.c_str(), seconds,
                 seconds > 0 ? static_cast<double>(capture->written) / seconds : 0.0, capture->last_time_ms);
}
