// Per-device context of an open USB3 camera: the control link over the default control
// endpoint. A reader thread issues link reads continuously and decodes the received link
// frames: byte-channel data go into ByteChannelRing, register replies into the reply map.
// Bulk streaming and the offline-callback fields join this class later.
#pragma once
#include "UsbBackend.h"
#include "UsbDriverDevice.h"
#include "UsbLinkWire.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qx::usb3 {

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
    bool UsbRegRead(uint32_t address, uint8_t* buffer, int count, int timeoutMs);
    // The caller's buffer gets back the data of the camera's reply (unchanged when the reply
    // carries none).
    bool UsbRegWrite(uint32_t address, uint8_t* buffer, int count, int timeoutMs);
    // Builds a register frame (kind 0 write, 2 read) into `out` (512 bytes); answers the
    // escaped length, also stored in `count`; 0 when the frame cannot be built.
    static int UsbBuildRegFrame(uint8_t* out, uint32_t address, const uint8_t* data, int& count, int kind);
    bool UsbWaitReply(uint32_t address, int timeoutMs);

    // Runs received link bytes through the decoder and dispatcher (the reader thread's path).
    void UsbLinkReceive(const uint8_t* bytes, size_t size);

    // Byte-channel bytes that arrived while the ring was full and were dropped.
    uint64_t channelDroppedBytes() const;
    // Link frames dropped by the decoder (CRC, reserved bits, broken escapes).
    uint64_t droppedFrames() const { return m_droppedFrames.load(); }

    UsbDriverDevice& driverDevice() { return *m_driver; }

private:
    void UsbIoReadThread();
    void UsbLinkDispatchFrame(const LinkFrame& frame);
    bool sendRegFrame(const uint8_t* frame, int size);
    void stopReader();

    const std::string m_path;
    std::unique_ptr<UsbDriverDevice> m_driver;
    std::unique_ptr<CCyControlEndPoint> m_readerEp;
    std::unique_ptr<CCyControlEndPoint> m_sendEp;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_readerRunning{false};
    std::thread m_reader;
    std::mutex m_lifeMutex;     // open and close
    std::mutex m_readerWakeMutex;
    std::condition_variable m_readerWake;

    std::vector<uint8_t> m_readerBuffer = std::vector<uint8_t>(kLinkReadSize);
    std::mutex m_decoderMutex;
    LinkDecoder m_decoder;
    std::atomic<uint64_t> m_droppedFrames{0};

    // Byte channel.
    mutable std::mutex m_channelMutex;
    std::condition_variable m_channelCv;
    uint8_t ByteChannelRing[kRingSize] = {};
    int m_ringWrite = 0;
    int m_ringRead = 0;
    size_t m_ringFill = 0;
    bool m_dataArrived = false;
    uint64_t m_channelDropped = 0;

    // Register replies.
    std::mutex m_replyMutex;
    std::condition_variable m_replyCv;
    std::map<uint32_t, std::vector<uint8_t>> m_replies;
    uint32_t m_awaited = 0;
    bool m_replyArrived = false;

    std::mutex m_sendMutex; // the send endpoint: one request at a time
    std::mutex m_regMutex;  // one register operation at a time (the awaited address is one slot)
};

} // namespace qx::usb3
