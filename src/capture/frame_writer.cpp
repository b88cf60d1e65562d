// The thread that writes the video's frames into the encoder's pipe, so that
// rendering and converting the next frames overlap with the encoder reading
// them.  A few frame buffers go round: the main thread fills a free one and
// queues it; the writer writes the oldest queued one and frees it.
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "capture/capture_local.h"

namespace {

void write_frames(FrameWriter* w)
{
    std::unique_lock<std::mutex> lock(w->mutex);
    for (;;) {
        w->changed.wait(lock, [w] { return w->queued > 0 || w->closing; });
        if (w->queued == 0)
            return;  // closing, and everything queued is written
        const uint8_t* data = w->slots[w->first].data();
        size_t size = w->slots[w->first].size();
        lock.unlock();
        int error = 0;
        while (size > 0) {
            const ssize_t n = ::write(w->fd, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = n < 0 ? errno : EPIPE;
                break;
            }
            data += n;
            size -= size_t(n);
        }
        lock.lock();
        w->first = (w->first + 1) % FrameWriter::SLOTS;
        --w->queued;
        if (error != 0) {
            // The encoder stopped reading: nothing more is written, and the
            // main thread hears of it at its next frame.
            w->error = error;
            w->queued = 0;
            w->changed.notify_all();
            return;
        }
        w->changed.notify_all();
    }
}

}  // namespace

FrameWriter::~FrameWriter()
{
    if (thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
        }
        changed.notify_all();
        thread.join();
    }
}

void start_frame_writer(FrameWriter& w, int fd, size_t frame_bytes)
{
    w.fd = fd;
    for (std::vector<uint8_t>& slot : w.slots)
        slot.resize(frame_bytes);
    w.thread = std::thread(write_frames, &w);
}

uint8_t* frame_writer_slot(FrameWriter& w, int& error)
{
    std::unique_lock<std::mutex> lock(w.mutex);
    w.changed.wait(lock, [&w] { return w.queued < FrameWriter::SLOTS || w.error != 0; });
    error = w.error;
    return error != 0 ? nullptr : w.slots[(w.first + w.queued) % FrameWriter::SLOTS].data();
}

void frame_writer_push(FrameWriter& w)
{
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        ++w.queued;
    }
    w.changed.notify_all();
}

int frame_writer_finish(FrameWriter& w)
{
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.closing = true;
    }
    w.changed.notify_all();
    if (w.thread.joinable())
        w.thread.join();
    return w.error;
}
