// The GigE Vision library's stream channel: opening and closing a camera's GVSP channel,
// starting and stopping acquisition (one grab thread per acquiring camera, with its ring of
// image buffers), taking delivered images with their 72-byte header, packet resend and the
// frame-rate meter. Every function takes the camera number `cam_nr` (1..50) of an open camera
// (GEVInit) and returns a GevStatus; IP addresses are uint32 values in network byte order.
#pragma once
#include <cstddef>
#include <cstdint>

#include "gige/GevStatus.h"

// The description of one delivered block, filled by GEVGetImage (host byte order).
#pragma pack(push, 1)
struct GevImageHeader {
    uint64_t BlockId;
    uint64_t Timestamp; // from the leader
    uint32_t PixelFormat;
    uint32_t SizeX; // 0xFFFFFFFF for payloads that are not images
    uint32_t SizeY; // the data size in bytes for payloads that are not images
    uint32_t OffsetX;
    uint32_t OffsetY;
    uint16_t PaddingX;
    uint16_t PaddingY;
    uint32_t MissingPackets; // 0 for a complete block
    uint32_t MissingBlocks;  // blocks lost just before this one
    uint16_t PayloadType;
    uint16_t Reserved;
    uint32_t ChunkLayoutId; // first trailer/leader word
    uint32_t ChunkLength;   // second trailer/leader word
    uint32_t ResendRequested;
    uint32_t ResendReceived;
    uint32_t FilledUpTo; // end of the last data written into the block
};
#pragma pack(pop)
static_assert(sizeof(GevImageHeader) == 72, "GevImageHeader is 72 bytes");

// Marks the payload type of non-image blocks in GevImageHeader::SizeX.
constexpr uint32_t GEV_NON_IMAGE_WIDTH = 0xFFFFFFFFu;

// hostIp 0 keeps the adapter IP given to GEVInit; hostPort 0 picks a free port; multicastGroup
// 0 is unicast. With open access (CCP mode 0) port and group are read from the camera.
GevStatus GEVOpenStreamChannel(uint8_t cam_nr, uint32_t hostIp, uint16_t hostPort, uint32_t multicastGroup);
GevStatus GEVCloseStreamChannel(uint8_t cam_nr);

// Starts the grab thread for blocks of `payloadSize` bytes of the given geometry; framesToGrab
// 0 grabs until stopped. Width, height and pixel format 0 accept any geometry of that size.
GevStatus GEVAcquisitionStart(uint8_t cam_nr, uint32_t framesToGrab, uint32_t payloadSize, uint32_t width,
                              uint32_t height, uint32_t pixelFormat);
GevStatus GEVAcquisitionStop(uint8_t cam_nr);
GevStatus GEVAcquisitionStopEx(uint8_t cam_nr, uint32_t mode);

// Takes the oldest delivered block, waiting up to the grab stop timeout, copies it packed into
// `buffer` (at least the payload size given at start: `bufferSize`) and fills `header` (may be
// null) and `*size` (may be null; the payload size). 0 complete, GEV_STATUS_GRAB_ERROR for an
// incomplete block (image and header delivered all the same), GEV_STATUS_TIMEOUT when none came,
// GEV_STATUS_HEARTBEAT_READ_ERROR when none came and the control channel is lost,
// GEV_STATUS_BUFFERS_NOT_INI without a running acquisition, GEV_STATUS_INVALID_PARAMETER for a
// missing or too small buffer (no block is taken).
GevStatus GEVGetImage(uint8_t cam_nr, GevImageHeader* header, void* buffer, uint32_t bufferSize,
                      uint32_t* size = nullptr);
// The header of the last image GEVGetImage gave out.
GevStatus GEVGetLastImageHeader(uint8_t cam_nr, GevImageHeader* header);

// Frames per second of the running acquisition (or of the last one after it stopped).
GevStatus GEVGetFrameRate(uint8_t cam_nr, double* fps);

// Packet resend on or off (needs the camera's PACKETRESEND capability, else 0xC020).
GevStatus GEVGetPacketResend(uint8_t cam_nr, uint8_t* enabled);
GevStatus GEVSetPacketResend(uint8_t cam_nr, uint8_t enabled);

// Counters of the current (or last) acquisition.
struct GevStreamStatistics {
    uint64_t DeliveredBlocks;
    uint64_t MissingBlocks;
    uint64_t MissingPackets;
    uint64_t DeviceDiscardedBlocks;
    uint64_t ResendRequestedPackets;
    uint64_t RingFullBlocks; // blocks that found every ring buffer taken (socket path only)
    // Datagrams on the stream port that were not the camera's stream (another address, or
    // another port than the camera's stream channel source port) and were dropped. Socket path
    // only: the filter driver drops them in the kernel.
    uint64_t ForeignDatagrams;
};
GevStatus GEVGetStreamStatistics(uint8_t cam_nr, GevStreamStatistics* stats);
