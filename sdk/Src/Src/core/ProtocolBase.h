// ProtocolBase: a device register protocol (the USB3 camera's register and file channel).
// Owned by the camera's DeviceBase; the USB3 file access sends through it.
#pragma once
#include <cstdint>

class ProtocolBase {
public:
    virtual ~ProtocolBase() = default;
    virtual bool onOpen() { return true; }
    virtual void onClose() {}
    virtual bool read(uint32_t address, void* buffer, uint32_t length, uint32_t timeoutMs) = 0;
    virtual bool write(uint32_t address, const void* buffer, uint32_t length, uint32_t timeoutMs) = 0;
};
