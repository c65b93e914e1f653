// Per-device context of an open USB3 camera.
//  - Control link over the default control endpoint: a reader thread issues link reads
//    continuously and decodes the received link frames: byte-channel data go into
//    ByteChannelRing, register replies into the reply map.
//  - Image stream on the bulk IN endpoint 0x81: while streaming, UsbBulkReaderThread keeps 64
//    bulk transfers queued and appends what arrives to a 40 MiB receive ring;
//    UsbFrameAssemblerThread cuts the ring into 4096-byte pages and assembles frames into the
//    frame cache slots, which UsbTakeFrame hands out oldest first.
//  - The removed flag, kept for the USB manager.
#pragma once
#include "Usb/UsbBackend.h"
#include "usb3/UsbDriverDevice.h"
#include "usb3/UsbFrameAssembler.h"
#include "usb3/UsbLinkWire.h"
#include "Sys/JoiningThread.h"
#include "Sys/Mutex.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qx::usb3 {

using UsbOfflineCallback = void (*)(void* context);

class QxUsbDevice {
public:
    static constexpr size_t kRingSize = 2048;
    static constexpr uint32_t kLinkReadTimeoutMs = 2000;
    static constexpr uint32_t kRegFrameSendTimeoutMs = 2000;

    // `path` as enumerated (compared with the driver's paths in lower case).
    QxUsbDevice(std::string path, std::shared_ptr<usb::UsbBackend> backend);
    ~QxUsbDevice();
    QxUsbDevice(const QxUsbDevice&) = delete;
    QxUsbDevice& operator=(const QxUsbDevice&) = delete;

    bool UsbOpenLink();
    bool UsbCloseLink();
    bool isOpen() const { return m_open.load(); }
    std::string devicePath() const { return m_path; }

    bool UsbChannelSend(const uint8_t* bytes, int count, int timeoutMs);
    // `count`: capacity in, bytes delivered out.
    bool UsbChannelReceive(uint8_t* buffer, int& count, int timeoutMs);
    // Discards the unread byte-channel bytes; answers how many.
    size_t UsbChannelDrain();
    bool UsbRegRead(uint32_t address, uint8_t* buffer, int count, int timeoutMs);
    // The caller's buffer gets back the data of the camera's reply (unchanged when the reply
    // carries none).
    bool UsbRegWrite(uint32_t address, uint8_t* buffer, int count, int timeoutMs);
    // Builds a register frame (kind 0 write, 2 read) into `out` (512 bytes); answers the
    // escaped length, also stored in `count`; 0 when the frame cannot be built.
    static int UsbBuildRegFrame(uint8_t* out, uint32_t address, const uint8_t* data, int& count, int kind);
    bool UsbWaitReply(uint32_t address, int timeoutMs);
    // A register access that gave up leaves its reply owed: when it comes within this time it
    // is dropped, so it never completes a later access of the same address.
    static constexpr int kLateReplyWindowMs = 5000;
    // How long an access whose address owed a reply waits for its own after the owed one.
    static constexpr int kLateReplyGraceMs = 50;
    // Register replies dropped because their access had already given up.
    uint64_t lateReplies() const { return m_lateReplies.load(); }

    // Runs received link bytes through the decoder and dispatcher (the reader thread's path).
    void UsbLinkReceive(const uint8_t* bytes, size_t size);

    // Byte-channel bytes that arrived while the ring was full and were dropped.
    uint64_t channelDroppedBytes() const;
    // Link reads that could not be started (each is followed by a 10 ms pause).
    uint64_t linkReadFailures() const { return m_linkReadFailures.load(); }
    // Link frames dropped by the decoder (CRC, reserved bits, broken escapes).
    uint64_t droppedFrames() const { return m_droppedFrames.load(); }

    UsbDriverDevice& driverDevice() { return *m_driver; }

    // ---- image stream ----
    static constexpr size_t kRxRingSize = 0x2800000;
    static constexpr int kBulkTransfers = 64;
    static constexpr uint8_t kBulkInEndpoint = 0x81;
    static constexpr uint32_t kBulkWaitMs = 2000;
    static constexpr uint32_t kStreamStartTimeoutMs = 2000;
    // Bulk transfers failing this long without a success end the stream as a lost device.
    static constexpr int kBulkFailureLimitMs = 3000;
    // Longest pause between failed bulk transfers.
    static constexpr int kBulkRetryMaxMs = 100;

    // Sends the stream-start request and starts the reader and the assembler. True when
    // streaming (also when it already was).
    bool UsbStartStream();
    // Stops and joins both threads; nothing is sent to the camera. Always true.
    bool UsbStopStream();
    // Oldest complete frame within timeoutMs. The slot stays valid and untouched by the
    // assembler until the next take, UsbReleaseFrame, the next start or the context's end.
    bool UsbTakeFrame(FrameCacheSlot*& slot, int timeoutMs);
    void UsbReleaseFrame();
    // Ends a take that waits now, and fails every later one until the next stream start.
    void UsbCancelTakes() { m_frames.cancelTakes(true); }
    bool isAcquiring() const { return m_acquiring.load(); }
    // False when the reader thread has ended on its own (no endpoint, transfer start failed).
    bool bulkReaderAlive() const { return m_readerAlive.load(); }

    void SetImageInfo(int width, int height, int bitsPerPixel);
    void SetTransferParams(int cacheSlots, int transferUnits);
    void SetPixelBytes(int bytesPerPixel);
    int imageWidth() const { return m_width.load(); }
    int imageHeight() const { return m_height.load(); }
    int bitsPerPixel() const { return m_bitsPerPixel.load(); }
    int cacheSlotCount() const { return m_cacheSlots.load(); }
    int transferUnits() const { return m_transferUnits.load(); }
    int pixelBytes() const { return m_pixelBytes.load(); }
    UsbStreamStats streamStats() const { return m_frames.stats(); }
    // Request length the reader gives a slot after a transfer of `received` bytes in which
    // the pages of the frame headers are at the given offsets.
    static long nextRequestLength(const uint8_t* data, long received, long current, long full);

    // ---- removal ----
    // Marks the device removed; answers true the first time only.
    bool markRemoved();
    // Called (on the bulk reader thread) when the stream fails for good; it must not wait for
    // the stream to stop.
    void setLostHandler(std::function<void()> handler);
    bool removed() const { return m_removed.load() != 0; }

private:
    void UsbBulkReaderThread();
    void UsbFrameAssemblerThread();
    // One step of the assembler; false when there was nothing to do.
    bool UsbAssembleStep();
    void appendRing(const uint8_t* data, size_t size);
    void pushGap(uint64_t at);
    void signalRing();
    void stopStreamThreads();
    void reportLost();

    void UsbIoReadThread();
    void UsbLinkDispatchFrame(const UsbLinkFrame& frame);
    bool sendRegFrame(const uint8_t* frame, int size);
    // Starts waiting for the reply of `address`.
    void awaitReply(uint32_t address);
    void stopReader();
    // Ends the link reader's pause: a request went out, its reply is due.
    void kickReader();
    static constexpr int kFastPollMs = 100;

    const std::string m_path;
    std::unique_ptr<UsbDriverDevice> m_driver;
    std::unique_ptr<CCyControlEndPoint> m_readerEp;
    std::unique_ptr<CCyControlEndPoint> m_sendEp;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_readerRunning{false};
    sys::JoiningThread m_reader;
    // Lock order inside one device: life, send, register, reply, channel, stream (then the
    // frame assembler's own).
    sys::Mutex m_lifeMutex QX_ACQUIRED_BEFORE(m_sendMutex); // open and close
    sys::Mutex m_readerWakeMutex;
    std::condition_variable m_readerWake;
    bool m_readerKick QX_GUARDED_BY(m_readerWakeMutex) = false;
    std::atomic<int64_t> m_fastPollUntil{0}; // steady clock ticks

    std::vector<uint8_t> m_readerBuffer = std::vector<uint8_t>(kLinkReadSize);
    sys::Mutex m_decoderMutex;
    LinkDecoder m_decoder QX_GUARDED_BY(m_decoderMutex);
    std::atomic<uint64_t> m_droppedFrames{0};
    std::atomic<uint64_t> m_linkReadFailures{0};

    // Byte channel.
    mutable sys::Mutex m_channelMutex QX_ACQUIRED_BEFORE(m_streamMutex);
    std::condition_variable m_channelCv;
    uint8_t ByteChannelRing[kRingSize] QX_GUARDED_BY(m_channelMutex) = {};
    int m_ringWrite QX_GUARDED_BY(m_channelMutex) = 0;
    int m_ringRead QX_GUARDED_BY(m_channelMutex) = 0;
    size_t m_ringFill QX_GUARDED_BY(m_channelMutex) = 0;
    bool m_dataArrived QX_GUARDED_BY(m_channelMutex) = false;
    uint64_t m_channelDropped QX_GUARDED_BY(m_channelMutex) = 0;

    // Register replies.
    sys::Mutex m_replyMutex QX_ACQUIRED_BEFORE(m_channelMutex);
    std::condition_variable m_replyCv;
    std::map<uint32_t, std::vector<uint8_t>> m_replies QX_GUARDED_BY(m_replyMutex);
    uint32_t m_awaited QX_GUARDED_BY(m_replyMutex) = 0;
    bool m_replyArrived QX_GUARDED_BY(m_replyMutex) = false;
    // Replies owed to accesses that gave up, per address, and until when they are expected.
    struct OwedReplies {
        int count = 0;
        std::chrono::steady_clock::time_point until;
    };
    std::map<uint32_t, OwedReplies> m_owed QX_GUARDED_BY(m_replyMutex);
    // A late reply of the awaited address was set aside meanwhile.
    bool m_awaitedGotLate QX_GUARDED_BY(m_replyMutex) = false;
    std::vector<uint8_t> m_lateCandidate QX_GUARDED_BY(m_replyMutex);
    std::atomic<uint64_t> m_lateReplies{0};

    // The send endpoint: one request at a time.
    sys::Mutex m_sendMutex QX_ACQUIRED_BEFORE(m_regMutex);
    // One register operation at a time (the awaited address is one slot).
    sys::Mutex m_regMutex QX_ACQUIRED_BEFORE(m_replyMutex);

    // Image stream.
    std::atomic<int> m_width{1000};
    std::atomic<int> m_height{1000};
    std::atomic<int> m_bitsPerPixel{8};
    std::atomic<int> m_cacheSlots{4};
    std::atomic<int> m_transferUnits{16};
    std::atomic<int> m_pixelBytes{2};
    std::unique_ptr<uint8_t[]> m_rxRing;
    // Absolute stream positions; the ring index is the position modulo the ring size. Only the
    // reader moves the write position and writes ring bytes at or after it, only the assembler
    // moves the read position; the reader never writes over bytes the assembler has not taken.
    std::atomic<uint64_t> m_rxWrite{0};
    std::atomic<uint64_t> m_rxRead{0};
    // Stream positions after which data were lost or a page was cut short, oldest first.
    sys::Mutex m_gapMutex;
    std::deque<uint64_t> m_gaps QX_GUARDED_BY(m_gapMutex);
    std::atomic<uint64_t> m_gapCount{0};
    // Ring event (auto-reset).
    sys::Mutex m_ringEventMutex;
    std::condition_variable m_ringEventCv;
    bool m_ringEvent QX_GUARDED_BY(m_ringEventMutex) = false;
    sys::Mutex m_streamMutex; // start and stop
    std::atomic<bool> m_acquiring{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_readerAlive{false};
    std::atomic<CCyUSBEndPoint*> m_bulkEp{nullptr};
    sys::JoiningThread m_bulkReader;
    sys::JoiningThread m_assembler;
    std::vector<uint8_t> m_stage = std::vector<uint8_t>(kStreamPageSize);
    size_t m_stageFill = 0;
    UsbFrameAssembler m_frames;

    std::condition_variable m_bulkWake; // with m_ringEventMutex: ends a reader's pause
    sys::Mutex m_lostMutex;
    std::function<void()> m_lostHandler QX_GUARDED_BY(m_lostMutex);
    std::atomic<int32_t> m_removed{0};
};

} // namespace qx::usb3
