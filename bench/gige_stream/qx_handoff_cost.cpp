// qx-handoff-cost: what one hand-off between threads costs on this machine, the reference for
// the thread table of compare.py --threads. A thread woken RATE times a second by a timer (as a
// receive thread is woken by its packets) passes each "frame" to a relay thread (as the
// acquisition thread takes a frame and queues it), which passes it to a sink thread (as the
// image-callback thread takes it). Both wait on a mutex and condition variable and do nothing
// else, so their CPU is the price of a sleep and a wake-up. Prints one line:
//   rate=HZ frames=N waker_us=U relay_us=U relay_sleeps=S sink_us=U sink_sleeps=S
// with CPU microseconds and sleeps (voluntary context switches) per frame of each thread.
// Options: --rate HZ (default 50) --seconds S (default 4).
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "ThreadUse.h"

namespace {

using qxbench::ThreadUse;

ThreadUse since(const ThreadUse& start) {
    const ThreadUse now = qxbench::readThreadUse("/proc/thread-self");
    return {now.cpu - start.cpu, now.sleeps - start.sleeps};
}

// A queue of frame counts with the SDK's kind of wait: a bounded wait, again while empty.
class Channel {
public:
    void put() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_queued;
        }
        m_ready.notify_one();
    }
    void close() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_ready.notify_one();
    }
    // False once closed and drained.
    bool take() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_queued == 0 && !m_closed) m_ready.wait_for(lock, std::chrono::milliseconds(1000));
        if (m_queued == 0) return false;
        --m_queued;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    long m_queued = 0;
    bool m_closed = false;
};

} // namespace

int main(int argc, char** argv) {
    double rate = 50;
    double seconds = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rate")) rate = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
        else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (rate <= 0 || rate > 100000 || seconds <= 0 || seconds > 600) {
        std::fprintf(stderr, "--rate must be in (0, 100000], --seconds in (0, 600]\n");
        return 2;
    }
    const long frames = static_cast<long>(rate * seconds);
    if (frames < 1) {
        std::fprintf(stderr, "fewer than one frame: raise --rate or --seconds\n");
        return 2;
    }
    Channel toRelay, toSink;
    ThreadUse relay, sink;
    std::thread relayThread([&] {
        const ThreadUse start = qxbench::readThreadUse("/proc/thread-self");
        while (toRelay.take()) toSink.put();
        relay = since(start);
        toSink.close();
    });
    std::thread sinkThread([&] {
        const ThreadUse start = qxbench::readThreadUse("/proc/thread-self");
        while (toSink.take()) {
        }
        sink = since(start);
    });
    const ThreadUse start = qxbench::readThreadUse("/proc/thread-self");
    const auto period =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / rate));
    auto due = std::chrono::steady_clock::now();
    for (long i = 0; i < frames; ++i) {
        due += period;
        std::this_thread::sleep_until(due);
        toRelay.put();
    }
    const ThreadUse waker = since(start);
    toRelay.close();
    relayThread.join();
    sinkThread.join();
    const double n = double(frames);
    std::printf("rate=%g frames=%ld waker_us=%.1f relay_us=%.1f relay_sleeps=%.2f sink_us=%.1f sink_sleeps=%.2f\n",
                rate, frames, 1e6 * waker.cpu / n, 1e6 * relay.cpu / n, double(relay.sleeps) / n, 1e6 * sink.cpu / n,
                double(sink.sleeps) / n);
    return 0;
}
