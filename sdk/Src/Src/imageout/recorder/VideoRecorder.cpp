// Video recorder. Interface and overview: VideoRecorder.h.
//
// Lock order (never taken the other way round):
//     imageEncodeQueue.mutex -> m_orderMutex -> encodedFrameQueue.mutex
// Every other queue mutex is taken alone.
#include "imageout/recorder/VideoRecorder.h"

#include "imageout/CxFile.h"
#include "imageout/CxImage.h"
#include "imageout/PixelConverter.h"
#include "imageout/recorder/AviLayout.h"
#include "imageout/recorder/AviWriter.h"

#include "Sys/ByteOrder.h"
#include "Sys/Log.h"
#include "Sys/PixelFormat.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

namespace qx::imageout::recorder {

namespace {

constexpr int kPoolImages = 4;
constexpr int kPopTimeoutMs = 1000;
constexpr auto kTaskStopWait = std::chrono::seconds(2);
// stop gives up on the frames still in flight when none of them is finished for this long.
constexpr auto kDrainStallLimit = std::chrono::seconds(10);
constexpr size_t kRawHeaderBytes = 18;
// libjpeg refuses pictures wider or higher than this (JPEG_MAX_DIMENSION).
constexpr uint32_t kJpegMaxDimension = 65500;
// Frame rates an AVI header carries: from 0.001 fps (below, it holds no rate) to one frame a
// microsecond (the main header counts whole microseconds per frame).
constexpr double kMinAviFrameRate = qx::imageout::recorder::kMinFps;
constexpr double kMaxAviFrameRate = 1000000.0;

bool widthIsMultipleOf4(uint32_t width) { return (width & 3u) == 0; }

// fFrameRate x 100 in single precision, truncated toward zero, saturated to 32 bits (NaN: 0).
int32_t rawFrameRateField(float frameRate) {
    const float scaled = frameRate * 100.0f;
    if (std::isnan(scaled)) return 0;
    if (scaled >= 2147483647.0f) return INT32_MAX;
    if (scaled <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(scaled);
}

} // namespace

VideoRecorder::VideoRecorder() = default;

VideoRecorder::~VideoRecorder() {
    if (!m_stopped.load()) {
        if (m_param.enRecordFmtType == QX_RECORD_RAW) stopRaw();
        else stopAvi();
    }
    // The pool objects are owned by the queues and go with them.
}

// ---- queues -----------------------------------------------------------------------------------

template <typename T>
void VideoRecorder::pushAndNotify(PoolQueue<T>& queue, std::unique_ptr<T> item) {
    {
        qx::sys::MutexLock lock(queue.mutex);
        queue.items.push_back(std::move(item));
    }
    queue.cv.notify_all();
}

// Waits under `lock` until the queue has an element or the deadline passes; a task's wait
// (`endOnStop`) also ends when the recording stops, without a timeout line.
template <typename T>
bool VideoRecorder::waitForFront(PoolQueue<T>& queue, qx::sys::UniqueLock& lock, int timeoutMs, bool endOnStop,
                                 const char* func) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    const bool woken = queue.cv.wait_until(lock, deadline, [&]() QX_REQUIRES(queue.mutex) {
        return !queue.items.empty() || (endOnStop && m_stopped.load());
    });
    if (endOnStop && m_stopped.load()) return false;
    if (!woken) {
        QX_LOG_NAMED(spdlog::level::err, func, "func:{}, cv.wait_for timeout");
        return false;
    }
    return true;
}

bool VideoRecorder::popCxImage(PoolQueue<CxImage>& queue, std::unique_ptr<CxImage>& out, int timeoutMs,
                               bool endOnStop) {
    qx::sys::UniqueLock lock(queue.mutex);
    if (!waitForFront(queue, lock, timeoutMs, endOnStop, "popCxImage")) return false;
    out = std::move(queue.items.front());
    queue.items.pop_front();
    return true;
}

bool VideoRecorder::popCxMemFile(PoolQueue<CxMemFile>& queue, std::unique_ptr<CxMemFile>& out, int timeoutMs,
                                 bool endOnStop) {
    qx::sys::UniqueLock lock(queue.mutex);
    if (!waitForFront(queue, lock, timeoutMs, endOnStop, "popCxMemFile")) return false;
    out = std::move(queue.items.front());
    queue.items.pop_front();
    return true;
}

bool VideoRecorder::waitForImageToEncode(int timeoutMs) {
    qx::sys::UniqueLock lock(imageEncodeQueue.mutex);
    return waitForFront(imageEncodeQueue, lock, timeoutMs, true, "popCxImage");
}

bool VideoRecorder::popImageForEncoding(std::unique_ptr<CxImage>& out, uint32_t& seq) {
    qx::sys::MutexLock lock(imageEncodeQueue.mutex);
    if (imageEncodeQueue.items.empty()) return false; // another encoder was quicker
    out = std::move(imageEncodeQueue.items.front());
    imageEncodeQueue.items.pop_front();
    // Still under the queue's lock: the next encoder cannot take the next image before this
    // one has its number, so numbers follow the order in which frames arrived.
    qx::sys::MutexLock orderLock(m_orderMutex);
    seq = m_sequence.fetch_add(1);
    encodeOrderQueue.push_back(OrderEntry{seq, nullptr, false});
    return true;
}

template <typename T>
void VideoRecorder::wakeAll(PoolQueue<T>& queue) {
    { qx::sys::MutexLock lock(queue.mutex); }
    queue.cv.notify_all();
}

void VideoRecorder::finishSequence(uint32_t seq, std::unique_ptr<CxMemFile> encoded) {
    qx::sys::MutexLock lock(m_orderMutex);
    for (auto& entry : encodeOrderQueue) {
        if (entry.seq == seq) {
            if (encoded && &entry != &encodeOrderQueue.front()) m_framesParked.fetch_add(1);
            entry.frame = std::move(encoded);
            entry.finished = true;
            break;
        }
    }
    // Every finished frame at the front goes to the writer, in sequence order; a frame whose
    // predecessors are still being encoded stays parked until the last of them finishes.
    while (!encodeOrderQueue.empty() && encodeOrderQueue.front().finished) {
        if (encodeOrderQueue.front().frame) pushAndNotify(encodedFrameQueue, std::move(encodeOrderQueue.front().frame));
        encodeOrderQueue.pop_front();
    }
}

void VideoRecorder::recyclePendingFrames() {
    std::deque<std::unique_ptr<CxImage>> images;
    {
        qx::sys::MutexLock lock(imageEncodeQueue.mutex);
        images.swap(imageEncodeQueue.items);
    }
    for (auto& image : images) pushAndNotify(freeImageQueue, std::move(image));
    std::deque<std::unique_ptr<CxMemFile>> streams;
    {
        qx::sys::MutexLock lock(encodedFrameQueue.mutex);
        streams.swap(encodedFrameQueue.items);
    }
    {
        qx::sys::MutexLock lock(m_orderMutex);
        for (auto& entry : encodeOrderQueue)
            if (entry.frame) streams.push_back(std::move(entry.frame));
        encodeOrderQueue.clear();
    }
    for (auto& stream : streams) pushAndNotify(m_cxMemQueueForRecycle, std::move(stream));
}

// ---- start ------------------------------------------------------------------------------------

uint32_t VideoRecorder::start(RecordParam& param) {
    if (!m_stopped.load()) {
        QX_LOG_ERROR("func:{}, m_stopped=");
        return QX_ERR_WRONG_STATE;
    }
    if (param.enPixelType == 0 || (param.enRecordFmtType != QX_RECORD_AVI && param.enRecordFmtType != QX_RECORD_RAW) ||
        param.fFrameRate == 0.0f || param.nBpp == 0 || param.nHeight == 0 || param.nWidth == 0 ||
        param.strFilePath == nullptr || param.strFilePath[0] == '\0') {
        return QX_ERR_INVALID_PARAM;
    }
    // The path must fit the 256-character copy with its terminator.
    if (strnlen(param.strFilePath, sizeof m_path) >= sizeof m_path) return QX_ERR_INVALID_PARAM;
    // No frame of such a size could be encoded: refused here rather than lost frame by frame.
    if (param.enRecordFmtType == QX_RECORD_AVI &&
        (param.nWidth > kJpegMaxDimension || param.nHeight > kJpegMaxDimension))
        return QX_ERR_INVALID_PARAM;
    // A rate both AVI headers can carry (NaN fails both comparisons).
    if (param.enRecordFmtType == QX_RECORD_AVI &&
        !(double(param.fFrameRate) >= kMinAviFrameRate && double(param.fFrameRate) <= kMaxAviFrameRate))
        return QX_ERR_INVALID_PARAM;

    m_sequence.store(0);
    m_param = param;
    std::memset(m_path, 0, sizeof m_path);
    std::memcpy(m_path, param.strFilePath, std::strlen(param.strFilePath));
    m_param.strFilePath = m_path;

    uint32_t result;
    if (m_param.enRecordFmtType == QX_RECORD_AVI) {
        // Any pixel format starts; one the converter does not take is named now, as no frame
        // of it can be recorded (each answers 0x80000003).
        if (!PixelConverter::convertsToMono8(m_param.enPixelType))
            QX_LOG_WARN("func:{}, pixel format 0x{:x} cannot be converted to Mono8: every frame will be refused",
                        m_param.enPixelType);
        m_param.nBpp = 8;
        result = startAvi();
    } else {
        result = startRaw();
    }
    m_stopped.store(false);
    return result;
}

bool VideoRecorder::buildPools() {
    const uint32_t width = m_param.nWidth, height = m_param.nHeight;
    {
        qx::sys::MutexLock lock(freeImageQueue.mutex);
        if (!freeImageQueue.items.empty()) {
            const CxImage& last = *freeImageQueue.items.back();
            if (last.IsValid() && last.GetWidth() == width && last.GetHeight() == height && last.GetBpp() == 8u)
                return false; // the pools of the last recording fit
        }
    }
    // New pools. No task runs and every pool object is back in a free queue, so the objects of
    // an earlier size are all here and are deleted: none can receive a frame of the new size.
    dropPools();
    return true;
}

void VideoRecorder::dropPools() {
    {
        qx::sys::MutexLock lock(freeImageQueue.mutex);
        freeImageQueue.items.clear();
    }
    {
        qx::sys::MutexLock lock(m_cxMemQueueForRecycle.mutex);
        m_cxMemQueueForRecycle.items.clear();
    }
    m_memStreamCount.store(0);
}

uint32_t VideoRecorder::startAvi() {
    m_aviFileIndex = 1;
    m_aviFailed.store(false);
    m_framesAccepted.store(0);
    m_framesWritten.store(0);
    m_framesDropped.store(0);
    m_framesParked.store(0);
    m_filesOpened.store(0);
    m_encoderFutures.clear(); // tasks of the last recording have ended (stopAvi waited)
    m_writerFuture = std::future<void>();
    recyclePendingFrames();

    if (createNewAviFile() != QX_OK) return QX_ERR_GENERAL;

    const uint32_t width = m_param.nWidth, height = m_param.nHeight;
    const bool rebuilt = buildPools();
    if (rebuilt) {
        for (int i = 0; i < kPoolImages; ++i) {
            auto image = std::make_unique<CxImage>(width, height, 8u, 0u);
            if (!image->IsValid()) {
                QX_LOG_ERROR("func:{}, CxImage::Create failed, err={}", image->GetErrorText());
                dropPools();
                return QX_ERR_GENERAL;
            }
            image->SetGrayPalette();
            // Pages are faulted in now rather than while the first frames are copied in.
            std::memset(image->GetBits(0), 0, size_t(image->GetLineBytes()) * height);
            pushAndNotify(freeImageQueue, std::move(image));
        }
        const int streams = widthIsMultipleOf4(width) ? 4 : 7;
        // Room for one frame of nWidth x nHeight x ceil(nBpp / 8) bytes (nBpp is 8 here).
        const int64_t room = int64_t(width) * int64_t(height) * int64_t((m_param.nBpp + 7) / 8);
        for (int i = 0; i < streams; ++i) {
            auto mem = std::make_unique<CxMemFile>();
            if (!mem->Open() || !mem->Seek(room - 1, SEEK_SET) || !mem->PutByte(0) || !mem->Seek(0, SEEK_SET)) {
                QX_LOG_ERROR("func:{}, mem->Open() failed");
                dropPools();
                return QX_ERR_GENERAL;
            }
            std::memset(mem->GetBuffer(false), 0, size_t(room)); // faulted in before the first frame
            pushAndNotify(m_cxMemQueueForRecycle, std::move(mem));
            m_memStreamCount.fetch_add(1);
        }
    }

    const uint32_t encoders = (rebuilt && !widthIsMultipleOf4(width)) ? 6u : 3u;
    m_encoderTasks.store(encoders);
    // The tasks test m_stopped, so it is cleared before they start.
    m_stopped.store(false);
    try {
        for (uint32_t i = 0; i < encoders; ++i)
            m_encoderFutures.push_back(std::async(std::launch::async, &VideoRecorder::encodeImgLoop, this));
        m_writerFuture = std::async(std::launch::async, &VideoRecorder::writeImgLoop, this);
    } catch (const std::exception& e) {
        QX_LOG_ERROR("func:{}, std::async failed, err={}", e.what());
        return QX_ERR_GENERAL;
    }
    return QX_OK;
}

bool VideoRecorder::closeAviFile() {
    // The record is freed whatever the outcome.
    const bool ok = AVI_close(m_avi) == 0;
    if (!ok) {
        QX_LOG_ERROR("func:{}, AVI_close failed");
        m_aviFailed.store(true);
    }
    m_avi = nullptr;
    return ok;
}

uint32_t VideoRecorder::createNewAviFile() {
    if (m_avi != nullptr) closeAviFile();
    char name[sizeof m_path] = {};
    int length;
    const size_t pathLength = std::strlen(m_path);
    if (m_aviFileIndex == 1) {
        length = std::snprintf(name, sizeof name, "%s", m_path);
    } else if (pathLength < 5) {
        length = std::snprintf(name, sizeof name, "%s_%u.avi", m_path, m_aviFileIndex);
    } else {
        length = std::snprintf(name, sizeof name, "%.*s_%u.avi", int(pathLength - 4), m_path, m_aviFileIndex);
    }
    if (length < 0 || size_t(length) >= sizeof name) {
        // The name would not fit 256 characters: no file rather than a cut name.
        QX_LOG_ERROR("func:{}, AVI_open_output_file failed");
        return QX_ERR_GENERAL;
    }
    m_avi = AVI_open_output_file(name);
    if (m_avi == nullptr) {
        QX_LOG_ERROR("func:{}, AVI_open_output_file failed");
        return QX_ERR_GENERAL;
    }
    AVI_set_video(m_avi, m_param.nWidth, m_param.nHeight, double(m_param.fFrameRate), "MJPG");
    ++m_aviFileIndex;
    m_filesOpened.fetch_add(1);
    return QX_OK;
}

uint32_t VideoRecorder::startRaw() {
    m_rawFirstLengthWritten.store(false);
    m_rawFile.reset();
    m_rawFile = std::make_unique<std::ofstream>();
    try {
        m_rawFile->exceptions(std::ios_base::failbit | std::ios_base::badbit);
        m_rawFile->open(m_path, std::ios_base::binary | std::ios_base::out | std::ios_base::trunc);
        if (m_param.bRawHeaderEnabled) {
            uint8_t header[kRawHeaderBytes];
            header[0] = 0x01;
            header[1] = uint8_t(m_param.enPixelType >> 16);
            qx::sys::storeBe32(header + 2, m_param.enPixelType);
            qx::sys::storeBe32(header + 6, m_param.nWidth);
            qx::sys::storeBe32(header + 10, m_param.nHeight);
            qx::sys::storeBe32(header + 14, static_cast<uint32_t>(rawFrameRateField(m_param.fFrameRate)));
            m_rawFile->write(reinterpret_cast<const char*>(header), sizeof header);
        }
    } catch (const std::ios_base::failure& e) {
        QX_LOG_ERROR("func:{}, std::ios_base::failure={}", e.what());
        return QX_ERR_GENERAL;
    }
    return QX_OK;
}

// ---- write ------------------------------------------------------------------------------------

uint32_t VideoRecorder::write(RecordFrameInfo& frame) {
    if (frame.pData == nullptr || frame.nDataLen == 0) return QX_ERR_INVALID_PARAM;
    if (m_stopped.load() || m_draining.load()) { // stopped, or a stop is writing the last frames
        QX_LOG_ERROR("func:{}, m_stopped={}", true);
        return QX_ERR_GENERAL;
    }
    if (m_param.enRecordFmtType == QX_RECORD_RAW) return writeRaw(frame);
    if (m_param.enRecordFmtType == QX_RECORD_AVI) {
        if (m_aviFailed.load()) {
            // A frame taken earlier was lost (a full disk, a file that could not be opened or
            // completed): no more frames are taken, so that the caller learns of it now.
            QX_LOG_ERROR("func:{}, the recording failed: {} frames not written", m_framesDropped.load());
            return QX_ERR_GENERAL;
        }
        return writeAvi(frame);
    }
    return QX_ERR_GENERAL;
}

uint32_t VideoRecorder::writeRaw(RecordFrameInfo& frame) {
    if (!m_rawFile || !m_rawFile->is_open()) {
        QX_LOG_ERROR("func:{}, std::ios_base::failure={}", "file not open");
        return QX_ERR_GENERAL;
    }
    try {
        if (m_param.bRawHeaderEnabled && !m_rawFirstLengthWritten.load()) {
            uint8_t length[4];
            qx::sys::storeBe32(length, frame.nDataLen);
            m_rawFile->write(reinterpret_cast<const char*>(length), sizeof length);
            m_rawFirstLengthWritten.store(true);
        }
        m_rawFile->write(reinterpret_cast<const char*>(frame.pData), static_cast<std::streamsize>(frame.nDataLen));
        m_rawFile->flush();
    } catch (const std::ios_base::failure& e) {
        QX_LOG_ERROR("func:{}, std::ios_base::failure={}", e.what());
        return QX_ERR_GENERAL;
    }
    return QX_OK;
}

uint32_t VideoRecorder::writeAvi(RecordFrameInfo& frame) {
    std::unique_ptr<CxImage> image;
    if (!popCxImage(freeImageQueue, image, 0)) return QX_ERR_NO_FREE_BUFFER;
    // A frame shorter than the recording's size in its pixel format is refused unread: a Mono8
    // one as a bad argument, any other as a frame the converter cannot take.
    const uint64_t needed =
        qx::sys::frameBytes(m_param.enPixelType, uint64_t(m_param.nWidth) * uint64_t(m_param.nHeight));
    if (uint64_t(frame.nDataLen) < needed) {
        pushAndNotify(freeImageQueue, std::move(image));
        return m_param.enPixelType == QX_PIXEL_MONO8 ? QX_ERR_INVALID_PARAM : QX_ERR_NOT_SUPPORTED;
    }
    if (!copyMono8FrameData(frame, *image)) {
        pushAndNotify(freeImageQueue, std::move(image));
        return QX_ERR_NOT_SUPPORTED;
    }
    m_framesAccepted.fetch_add(1);
    pushAndNotify(imageEncodeQueue, std::move(image));
    return QX_OK;
}

bool VideoRecorder::copyMono8FrameData(const RecordFrameInfo& frame, CxImage& image) {
    const uint32_t width = m_param.nWidth, height = m_param.nHeight;
    const bool mono8 = m_param.enPixelType == QX_PIXEL_MONO8;
    if (!image.IsValid() || image.GetWidth() != width || image.GetHeight() != height || image.GetBpp() != 8u)
        return false; // never a frame into an image of another size

    ConvertParam cvt{};
    cvt.nWidth = m_param.nWidth;
    cvt.nHeight = m_param.nHeight;
    cvt.enSrcPixelType = m_param.enPixelType;
    cvt.pSrcData = frame.pData;
    cvt.nSrcDataLen = frame.nDataLen;
    cvt.enDstPixelType = QX_PIXEL_MONO8;
    const uint32_t pixels = width * height; // at most 65535 x 65535, fits 32 bits

    if (widthIsMultipleOf4(width)) {
        // Rows are exactly `width` bytes: the picture's top line goes to the last stored row,
        // the conversion (a copy for Mono8) and the vertical flip in one pass.
        cvt.pDstData = image.GetBits(0);
        cvt.nDstDataSize = pixels;
        return PixelConverter::getConverterInstance()->convertToMono8Lines(cvt, width, true) == QX_OK;
    }

    if (mono8) return image.CreateFromArray(frame.pData, width, height, 8, width, true);

    std::unique_ptr<CxMemFile> scratch;
    if (!popCxMemFile(m_cxMemQueueForRecycle, scratch, kPopTimeoutMs)) {
        QX_LOG_WARN("func:{}, popCxMemFile m_cxMemQueueForRecycle: false");
        return false;
    }
    bool ok = true;
    if (scratch->Size() < int64_t(pixels)) { // streams are made with this room; keep it so
        ok = scratch->Seek(int64_t(pixels) - 1, SEEK_SET) && scratch->PutByte(0);
    }
    if (ok) {
        cvt.pDstData = scratch->GetBuffer(false);
        cvt.nDstDataSize = pixels;
        ok = PixelConverter::getConverterInstance()->convertPixels(cvt) == QX_OK &&
             image.CreateFromArray(cvt.pDstData, width, height, 8, width, true);
    }
    scratch->Seek(0, SEEK_SET);
    pushAndNotify(m_cxMemQueueForRecycle, std::move(scratch));
    return ok;
}

// ---- tasks ------------------------------------------------------------------------------------

void VideoRecorder::encodeImgLoop() {
    // This task's libjpeg object, set up once and used for every frame it encodes.
    CxJpegCompressor compressor;
    do {
        try {
            // The stream is taken before the image and its sequence number: every numbered
            // frame has its stream, so frames parked behind a slower one can never leave it
            // without. The encoder first waits for an image, so that an idle encoder holds no
            // stream.
            if (!waitForImageToEncode(kPopTimeoutMs)) continue;
            std::unique_ptr<CxMemFile> mem;
            if (!popCxMemFile(m_cxMemQueueForRecycle, mem, kPopTimeoutMs, true)) continue; // the image stays queued
            std::unique_ptr<CxImage> image;
            uint32_t seq = 0;
            if (!popImageForEncoding(image, seq)) {
                pushAndNotify(m_cxMemQueueForRecycle, std::move(mem));
                continue;
            }

            {
                qx::sys::UniqueLock hold(m_holdMutex);
                m_holdCv.wait(hold, [&]() QX_REQUIRES(m_holdMutex) {
                    return !m_holdEncoding || m_draining.load() || m_stopped.load();
                });
            }
            if (m_stopped.load()) { // stop gave up waiting for this frame
                pushAndNotify(freeImageQueue, std::move(image));
                pushAndNotify(m_cxMemQueueForRecycle, std::move(mem));
                frameLost();
                finishSequence(seq, nullptr);
                continue;
            }

            mem->Seek(0, SEEK_SET);
            const bool encoded = image->EncodeJpeg(mem.get(), compressor);
            if (!encoded) QX_LOG_WARN("func:{}, Encode failed, err={}", image->GetErrorText());
            // The pixels are in the stream now: the image goes back to the free pool at once.
            pushAndNotify(freeImageQueue, std::move(image));
            if (!encoded) {
                frameLost();
                pushAndNotify(m_cxMemQueueForRecycle, std::move(mem));
                finishSequence(seq, nullptr);
            } else {
                // Handed to the writer now, or parked until the frames before it are done.
                finishSequence(seq, std::move(mem));
            }
        } catch (const std::exception& e) {
            QX_LOG_ERROR("func:{}, exception={}", e.what());
        }
    } while (!m_stopped.load());
}

void VideoRecorder::writeImgLoop() {
    while (!m_stopped.load()) {
        std::unique_ptr<CxMemFile> mem;
        if (!popCxMemFile(encodedFrameQueue, mem, kPopTimeoutMs, true)) continue;

        // The next part is opened here, by the frame that goes into it, so that no part is
        // left without frames at the end of the recording.
        if (m_avi != nullptr && m_avi->video_frames > 0 && AVI_bytes_remain(m_avi) < kNewFileThreshold)
            createNewAviFile();
        if (m_avi == nullptr) {
            // The next file could not be opened (logged once by createNewAviFile): the frames
            // are recycled until stop.
            frameLost();
            pushAndNotify(m_cxMemQueueForRecycle, std::move(mem));
            continue;
        }
        const int64_t length = mem->Tell(); // the end of this frame, not the stream's size
        const uint8_t* data = mem->GetBuffer(false);
        int rc = AVI_write_frame(m_avi, data, uint64_t(std::max<int64_t>(length, 0)), 1);
        if (rc != 0 && m_avi->last_error == AVI_ERR_SIZELIM && m_avi->video_frames > 0) {
            // The frame does not fit before the limit: it opens the next file instead.
            if (createNewAviFile() == QX_OK) rc = AVI_write_frame(m_avi, data, uint64_t(length), 1);
        }
        if (rc == 0) {
            m_framesWritten.fetch_add(1);
            notifyProgress();
        } else {
            QX_LOG_WARN("func:{}, AVI_write_frame failed, err=={}",
                        m_avi != nullptr ? AVI_strerror(m_avi) : "no AVI file");
            frameLost();
        }
        pushAndNotify(m_cxMemQueueForRecycle, std::move(mem));
    }
}

// ---- stop -------------------------------------------------------------------------------------

uint32_t VideoRecorder::stop() {
    if (m_stopped.load()) return QX_OK;
    if (m_param.enRecordFmtType == QX_RECORD_AVI) return stopAvi();
    if (m_param.enRecordFmtType == QX_RECORD_RAW) return stopRaw();
    return QX_ERR_GENERAL;
}

void VideoRecorder::notifyProgress() {
    { qx::sys::MutexLock lock(m_progressMutex); }
    m_progressCv.notify_all();
}

void VideoRecorder::frameLost() {
    m_aviFailed.store(true);
    m_framesDropped.fetch_add(1);
    notifyProgress();
}

bool VideoRecorder::drainAcceptedFrames() {
    const uint64_t accepted = m_framesAccepted.load();
    auto done = [&] { return m_framesWritten.load() + m_framesDropped.load(); };
    qx::sys::UniqueLock lock(m_progressMutex);
    uint64_t seen = done();
    auto deadline = std::chrono::steady_clock::now() + kDrainStallLimit;
    while (seen < accepted) {
        if (m_progressCv.wait_until(lock, deadline) == std::cv_status::timeout && done() == seen) {
            QX_LOG_ERROR("func:{}, {} frames not written after {} s without progress", accepted - seen,
                         std::chrono::duration_cast<std::chrono::seconds>(kDrainStallLimit).count());
            return false;
        }
        if (done() != seen) {
            seen = done();
            deadline = std::chrono::steady_clock::now() + kDrainStallLimit;
        }
    }
    return true;
}

uint32_t VideoRecorder::stopAvi() {
    if (m_stopped.load()) return QX_OK;
    // Every frame taken by write is encoded and written before the tasks end: held encoders are
    // let go, and stop waits while the frames in flight keep finishing.
    m_draining.store(true);
    { qx::sys::MutexLock hold(m_holdMutex); }
    m_holdCv.notify_all();
    const bool drained = drainAcceptedFrames();
    m_stopped.store(true);
    // Wake the tasks' waits, so that each ends its pass now rather than at its timeout. The
    // lock makes sure no task is between testing m_stopped and starting to wait.
    wakeAll(imageEncodeQueue);
    wakeAll(m_cxMemQueueForRecycle);
    wakeAll(encodedFrameQueue);
    { qx::sys::MutexLock hold(m_holdMutex); }
    m_holdCv.notify_all();
    const auto waitFor = [](std::future<void>& task, const char* what) {
        if (!task.valid()) return;
        if (task.wait_for(kTaskStopWait) != std::future_status::ready) {
            // Each task ends at the end of its pass; the file stays open until it has.
            QX_LOG_WARN("func:{}, {} task still running after 2 s, waiting", what);
            task.wait();
        }
    };
    for (auto& task : m_encoderFutures) waitFor(task, "encoder");
    waitFor(m_writerFuture, "writer");
    bool closed = true;
    if (m_avi != nullptr) {
        closed = closeAviFile();
        m_avi = nullptr;
    }
    // Frames that stop gave up on are dropped here, so none opens the next recording.
    recyclePendingFrames();
    m_draining.store(false);
    if (!drained || !closed || m_aviFailed.load()) {
        QX_LOG_ERROR("func:{}, the recording failed: {} of {} frames written", m_framesWritten.load(),
                     m_framesAccepted.load());
        return QX_ERR_GENERAL;
    }
    return QX_OK;
}

uint32_t VideoRecorder::stopRaw() {
    if (m_stopped.load()) return QX_OK;
    m_stopped.store(true);
    if (!m_rawFile) return QX_OK;
    uint32_t result = QX_OK;
    if (m_rawFile->is_open()) {
        try {
            m_rawFile->flush();
            m_rawFile->close();
        } catch (const std::ios_base::failure& e) {
            QX_LOG_ERROR("func:{}, std::ios_base::failure={}", e.what());
            result = QX_ERR_GENERAL;
        }
    }
    m_rawFile.reset();
    return result;
}

void VideoRecorder::holdEncodingForTesting(bool hold) {
    {
        qx::sys::MutexLock lock(m_holdMutex);
        m_holdEncoding = hold;
    }
    m_holdCv.notify_all();
}

// ---- observation ------------------------------------------------------------------------------

VideoRecorder::Stats VideoRecorder::stats() const {
    Stats s;
    s.recording = !m_stopped.load();
    s.framesWritten = m_framesWritten.load();
    s.framesDropped = m_framesDropped.load();
    s.framesParked = m_framesParked.load();
    s.filesOpened = m_filesOpened.load();
    s.encoderTasks = m_encoderTasks.load();
    {
        qx::sys::MutexLock lock(freeImageQueue.mutex);
        s.freeImages = static_cast<uint32_t>(freeImageQueue.items.size());
    }
    s.memStreams = m_memStreamCount.load();
    return s;
}

} // namespace qx::imageout::recorder
