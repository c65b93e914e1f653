// VideoRecorder: records the frames an application hands it, behind
// QX_StartRecord, QX_RecordFrame and QX_StopRecord. Each DeviceProxy makes one on first use
// and destroys it with the handle; the three calls run under the handle's HandleLock.
//
// AVI (enRecordFmtType 1): every frame is converted to 8-bit grey into one of four pool
// images, JPEG-encoded by three encoder tasks (six when the pools were just built for a
// width that is not a multiple of 4) and written in arrival order by one writer task into
// Motion-JPEG AVI files (AviWriter.h); a new file, named after the first ("rec.avi",
// "rec_2.avi", ...), is started for the next frame once less than 100 MiB remain before the
// AVI size limit, so no file is left without frames.
// `write` never waits for the encoders: with no free pool image it answers 0x80000004.
//
// RAW (enRecordFmtType 2): the frames' bytes are written back to back into one file on the
// caller's thread, optionally after an 18-byte big-endian header and the first frame's length.
//
// Usage:
//     VideoRecorder rec;
//     RecordParam p{}; p.enPixelType = QX_PIXEL_MONO8; p.nWidth = 1920; p.nHeight = 1200;
//     p.nBpp = 8; p.fFrameRate = 30.f; p.enRecordFmtType = QX_RECORD_AVI; p.strFilePath = "rec.avi";
//     rec.start(p);                     // QX_OK, or a status code
//     RecordFrameInfo f{data, len};
//     rec.write(f);                     // once per frame
//     rec.stop();                       // writes the frames still in flight, then closes
#pragma once

#include "QxCamApi.h"
#include "Sys/Mutex.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace qx::imageout {
class CxImage;
class CxMemFile;
} // namespace qx::imageout

namespace qx::imageout::recorder {

struct avi_t;

class VideoRecorder {
public:
    VideoRecorder();
    // Stops a running recording, then frees every pool image and memory stream.
    ~VideoRecorder();
    VideoRecorder(const VideoRecorder&) = delete;
    VideoRecorder& operator=(const VideoRecorder&) = delete;

    // QX_StartRecord. 0x80000002 while a recording runs; 0x80000001 for a bad record
    // (including a path of 256 characters or more, and an AVI recording wider or higher than
    // libjpeg's 65500 pixels or at a frame rate outside 0.001 to 1000000 fps, the rates both
    // AVI headers carry); 0x800000ff when the file cannot be
    // opened or the pools not built. After a failed start the recorder counts as recording
    // until stop(), which releases what the start opened.
    uint32_t start(RecordParam& param);
    // QX_RecordFrame. 0x80000001 for null or empty data; 0x800000ff when stopped; AVI:
    // 0x80000004 when no pool image is free (whatever the frame), a frame shorter than the
    // image (qx::sys::frameBytes) 0x80000001 in Mono8 and 0x80000003 in any other format,
    // 0x80000003 when the frame cannot be converted to Mono8, 0x800000ff
    // (frame not taken) once an earlier frame could not be written (a full disk, a file that
    // could not be opened or completed).
    uint32_t write(RecordFrameInfo& frame);
    // QX_StopRecord; 0 when already stopped. AVI: every frame write answered QX_OK for is
    // encoded and written first (the wait lasts as long as the frames in flight keep
    // finishing; when none finishes for 10 s the rest are dropped), then the tasks end and
    // the file is closed. 0x800000ff when any accepted frame was lost or the file could not
    // be completed; the file then holds the frames up to the last one written.
    uint32_t stop();

    // Observation for tests and benchmarks (any thread).
    struct Stats {
        bool recording = false;     // !m_stopped
        uint64_t framesWritten = 0; // AVI frames written into files, this recording
        uint64_t framesDropped = 0; // AVI frames lost inside the tasks, this recording
        uint64_t framesParked = 0;  // frames encoded before an earlier one, this recording
        uint32_t filesOpened = 0;   // AVI files opened, this recording
        uint32_t encoderTasks = 0;  // encoder tasks of the current or last AVI recording
        uint32_t freeImages = 0;    // images in the free pool now
        uint32_t memStreams = 0;    // memory streams in the pool (all queues and tasks)
    };
    Stats stats() const;

    // Test seam: while held, each encoder task keeps the image it has taken (with its sequence
    // number) and waits before encoding it; releasing, or stopping, lets them go on.
    void holdEncodingForTesting(bool hold);

    // Bytes left before the size limit below which the next frame starts the next file
    // (0x6400000, 100 MiB).
    static constexpr int64_t kNewFileThreshold = 0x6400000;

private:
    // A double-ended queue of owned pool objects with its own mutex and condition variable.
    template <typename T>
    struct PoolQueue {
        mutable qx::sys::Mutex mutex;
        std::deque<std::unique_ptr<T>> items QX_GUARDED_BY(mutex);
        std::condition_variable cv;
    };

    uint32_t startAvi();
    uint32_t startRaw();
    uint32_t writeAvi(RecordFrameInfo& frame);
    uint32_t writeRaw(RecordFrameInfo& frame);
    uint32_t stopAvi();
    uint32_t stopRaw();
    uint32_t createNewAviFile();
    // Closes the open AVI file (index, final header); false, logged, when that failed.
    bool closeAviFile();
    bool copyMono8FrameData(const RecordFrameInfo& frame, CxImage& image);
    void encodeImgLoop();
    void writeImgLoop();
    // A frame is in the file or lost: wakes a stop that waits for the frames in flight.
    void notifyProgress();
    void frameLost();
    // stop's wait until every accepted frame is written or lost; false when the frames in
    // flight stopped finishing (none for 10 s).
    bool drainAcceptedFrames();

    // Timed pops from the front (a timeout of 0 or less is already past); false, with the
    // "cv.wait_for timeout" line, when the queue stays empty.
    // A task's pop (`endOnStop`) also ends, without the line, when the recording stops.
    bool popCxImage(PoolQueue<CxImage>& queue, std::unique_ptr<CxImage>& out, int timeoutMs, bool endOnStop = false);
    bool popCxMemFile(PoolQueue<CxMemFile>& queue, std::unique_ptr<CxMemFile>& out, int timeoutMs,
                      bool endOnStop = false);
    template <typename T>
    bool waitForFront(PoolQueue<T>& queue, qx::sys::UniqueLock& lock, int timeoutMs, bool endOnStop, const char* func)
        QX_REQUIRES(queue.mutex);
    template <typename T>
    void wakeAll(PoolQueue<T>& queue);
    // The encoders' wait for a queued image (with the popCxImage timeout line when none comes).
    bool waitForImageToEncode(int timeoutMs);
    // The encoders' pop, without waiting: takes the front image of imageEncodeQueue and, under
    // the same lock, draws its sequence number and appends it to encodeOrderQueue, so that the
    // order of sequence numbers is the order in which the frames arrived.
    bool popImageForEncoding(std::unique_ptr<CxImage>& out, uint32_t& seq);
    template <typename T>
    void pushAndNotify(PoolQueue<T>& queue, std::unique_ptr<T> item);
    // Records that frame `seq` is done (its JPEG stream, or null when it was lost) and hands
    // every finished frame at the front of encodeOrderQueue to the writer, in sequence order.
    void finishSequence(uint32_t seq, std::unique_ptr<CxMemFile> encoded);
    // Returns queued images and encoded streams to the free pools; empties encodeOrderQueue.
    // Only while no task runs.
    void recyclePendingFrames();
    // True when the pools must be (re)built for this recording's size; the old ones are gone.
    bool buildPools();
    // Deletes the free images and streams (only while no task runs and nothing is in flight).
    void dropPools();

    RecordParam m_param{};
    char m_path[256] = {};
    std::atomic<bool> m_stopped{true};
    std::atomic<bool> m_draining{false};  // stop waits for the frames in flight
    std::atomic<bool> m_aviFailed{false}; // an accepted frame was lost or a file not completed
    std::atomic<uint32_t> m_sequence{0};
    std::unique_ptr<std::ofstream> m_rawFile;
    std::atomic<bool> m_rawFirstLengthWritten{false};

    PoolQueue<CxImage> imageEncodeQueue;
    PoolQueue<CxImage> freeImageQueue;
    PoolQueue<CxMemFile> encodedFrameQueue;
    PoolQueue<CxMemFile> m_cxMemQueueForRecycle;

    avi_t* m_avi = nullptr; // the writer task's during recording, start's and stop's otherwise
    std::vector<std::future<void>> m_encoderFutures;
    std::future<void> m_writerFuture;

    // Frames between their sequence number and the writer, in sequence order: a finished
    // frame waits here (with its stream) only while an earlier one is still being encoded.
    struct OrderEntry {
        uint32_t seq;
        std::unique_ptr<CxMemFile> frame;
        bool finished;
    };
    // Lock order: imageEncodeQueue.mutex, then m_orderMutex, then encodedFrameQueue.mutex;
    // every other queue mutex is taken alone.
    qx::sys::Mutex m_orderMutex QX_ACQUIRED_AFTER(imageEncodeQueue.mutex) QX_ACQUIRED_BEFORE(encodedFrameQueue.mutex);
    std::deque<OrderEntry> encodeOrderQueue QX_GUARDED_BY(m_orderMutex);

    uint32_t m_aviFileIndex = 1;

    qx::sys::Mutex m_holdMutex;
    bool m_holdEncoding QX_GUARDED_BY(m_holdMutex) = false; // test seam
    std::condition_variable m_holdCv;

    std::atomic<uint64_t> m_framesAccepted{0}; // AVI frames write answered QX_OK for
    std::atomic<uint64_t> m_framesWritten{0};
    std::atomic<uint64_t> m_framesDropped{0};
    std::atomic<uint64_t> m_framesParked{0};
    std::atomic<uint32_t> m_filesOpened{0};
    std::atomic<uint32_t> m_encoderTasks{0};
    std::atomic<uint32_t> m_memStreamCount{0};

    qx::sys::Mutex m_progressMutex;
    std::condition_variable m_progressCv;
};

} // namespace qx::imageout::recorder
