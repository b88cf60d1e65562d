// The capture's run: capture_begin sets it up, every presented frame is
// handed on to the folder or the video, capture_end finishes it.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>

#include "capture/capture.h"
#include "capture/capture_local.h"
#include "display/error.h"
#include "files/signals.h"
#include "platform/frame_rgb.h"
#include "platform/platform.h"

std::unique_ptr<Capture> capture;

TempName::~TempName() { clear(true); }

void TempName::set(const std::string& name)
{
    clear(true);
    path = name;
    slot = signals_watch_file(path);
}

void TempName::clear(bool remove)
{
    if (!path.empty() && remove)
        ::unlink(path.c_str());
    signals_forget_file(slot);
    path.clear();
}

Capture::~Capture()
{
    // Ended by fatal_error with the encoder running: it is stopped first, so
    // that the threads writing to it (frames, sound) fail at once and are
    // joined; then its pipe is closed.
    if (encoder >= 0)
        ::kill(encoder, SIGKILL);
    frame_writer.reset();
    sound_feed.reset();
    if (encoder_input >= 0)
        ::close(encoder_input);
    if (encoder >= 0)
        wait_child(encoder);
}

namespace {

int64_t result_frames = 0;
double result_last_ms = 0.0;

void on_present(const PresentedFrame& frame, void*)
{
    if (capture->stopping)
        return;
    if (signals_caught(false) != 0) {
        // Interrupted: this frame is not recorded; the show is closed as if
        // its window were, and capture_end finishes what was written.
        capture->stopping = true;
        headless_queue_event({.type = EVENT_CLOSE, .key = 0, .minimised = 0}, 0);
        return;
    }
    if (capture->expected == 0) {
        // Frames are rendered at every T up to the show's end, as long as the
        // script says it runs: only an estimate for the bar.
        const double end_ms = capture->options.show_length_ms > 0.0 ? capture->options.show_length_ms : 50000.0;
        capture->expected = static_cast<int64_t>(end_ms * static_cast<double>(capture->options.fps_numerator) /
                                                 (1000.0 * static_cast<double>(capture->options.fps_denominator))) +
                            1;
    }
    if (capture->options.format == CAPTURE_VIDEO) {
        // Started at the first frame, when its size is known; the frame is
        // converted straight into the writer thread's next buffer.
        if (capture->encoder < 0)
            start_encoder(frame.width, frame.height);
        frame_to_rgb(frame, RGB_BYTES, encoder_frame_slot());
        encoder_frame_ready();
    } else {
        capture->rgb.resize(static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 3);
        if (capture->options.format != CAPTURE_RAW)
            frame_to_rgb(frame, RGB_BYTES, capture->rgb.data());
        write_image(frame);
        add_table_row(frame);
    }
    ++capture->written;
    capture->last_frame = frame.frame;
    capture->last_time_ms = frame.time_ms;
    if (capture->terminal)
        draw_progress(false);
}

}  // namespace

void capture_begin(const CaptureOptions& options)
{
    capture = std::make_unique<Capture>();
    capture->options = options;
    result_frames = 0;
    result_last_ms = 0.0;
    char error[256];
    if (!capture_target_valid(options.target, error, sizeof error) ||
        !capture_target_free(options.target, options.overwrite, error, sizeof error))
        fatal_error("%s", error);
    if (options.fps_numerator <= 0 || options.fps_denominator <= 0)
        fatal_error("Frecuencia de grabación no válida: %lld/%lld", static_cast<long long>(options.fps_numerator),
                    static_cast<long long>(options.fps_denominator));
    if (is_video_target(options.target)) {
        capture->options.format = CAPTURE_VIDEO;
        capture->video_path = replaced_path(options.target);
    }
    capture->terminal = ::isatty(2) != 0;
    capture->started_ms = steady_ms();
    // A write to a pipe whose reader died must come back as an error we can
    // report, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT, SIGTERM and SIGHUP now end the show at the next frame, and
    // what was captured is finished.
    signals_catch(true);
    if (capture->options.format != CAPTURE_VIDEO) {
        capture->folder = options.target;
        while (capture->folder.size() > 1 && capture->folder.back() == '/')
            capture->folder.pop_back();
        prepare_folder();
        open_table();
    }
    headless_set_present_hook(on_present, nullptr);
}

int32_t capture_end(int32_t exit_code)
{
    if (!capture)
        return exit_code;
    headless_set_present_hook(nullptr, nullptr);
    if (capture->options.format == CAPTURE_VIDEO) {
        finish_encoder();
    } else {
        finish_folder(signals_caught(false) != 0);
    }
    result_frames = capture->written;
    result_last_ms = capture->last_time_ms;
    print_summary();
    const int32_t signal_number = signals_caught(true);
    signals_catch(false);
    capture.reset();
    if (signal_number != 0) {
        std::fprintf(stderr, "yurn: grabación interrumpida (%s): se guardó lo grabado hasta T = %.3f ms\n",
                     signal_number == SIGINT    ? "SIGINT, Ctrl+C"
                     : signal_number == SIGTERM ? "SIGTERM"
                     : signal_number == SIGHUP  ? "SIGHUP"
                                                : "una señal",
                     result_last_ms);
        return CAPTURE_INTERRUPTED_BASE + signal_number;
    }
    return exit_code;
}

int64_t capture_frames_written() { return result_frames; }
double capture_last_time_ms() { return result_last_ms; }
