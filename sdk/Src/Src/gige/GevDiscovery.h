// Discovery of GigE Vision cameras on every IPv4 adapter of the host (GEVDiscovery), and FORCEIP,
// which gives a camera a temporary IP configuration by its MAC address (GEVForceIp). Neither
// needs an open camera number. IP addresses and masks are in network byte order.
#pragma once
#include <cstdint>

#include "gige/GevStatus.h"

constexpr int GEV_MAX_ADAPTERS = 255;
constexpr int GEV_MAX_DISCOVERED = 255;

// Access byte of a discovery entry.
enum : uint8_t {
    GEV_ACCESS_AVAILABLE = 0,
    GEV_ACCESS_EXCLUSIVE_OR_DENIED = 1,
    GEV_ACCESS_OTHER_SUBNET = 2,
    GEV_ACCESS_CONTROL_HELD = 3,
    GEV_ACCESS_READ_FAILED = 4,
    GEV_ACCESS_NOT_DETERMINED = 5,
};

struct GevAdapterEntry {
    uint32_t Ip = 0;
    uint32_t Mask = 0;
    char Name[260] = {};
    uint8_t Mac[8] = {};
};

struct GevAdapterList {
    uint8_t Count = 0;
    GevAdapterEntry Adapters[GEV_MAX_ADAPTERS];
};

struct GevDiscoveryEntry {
    uint32_t CameraIp = 0;
    char ManufacturerName[32] = {}; // texts fill their field without a terminator when long
    char ModelName[32] = {};
    char DeviceVersion[32] = {};
    uint32_t AdapterIp = 0;
    uint32_t AdapterMask = 0;
    uint8_t Mac[6] = {}; // as on the wire: 2 bytes MAC high, 4 bytes MAC low
    uint32_t SubnetMask = 0;
    uint32_t Gateway = 0;
    char AdapterName[260] = {};
    uint8_t AdapterMac[8] = {};
    char SerialNumber[16] = {};
    char UserDefinedName[16] = {};
    uint8_t Access = 0; // GEV_ACCESS_*
};

struct GevDiscoveryList {
    uint8_t Count = 0;
    GevDiscoveryEntry Entries[GEV_MAX_DISCOVERED];
};

// Progress: percent, and the entry just found (callback mode) or none.
typedef void (*GevDiscoveryCallback)(uint32_t percent, GevDiscoveryEntry* entry);

// Searches every adapter at once for `timeoutMs` (0: 2000 ms). With a list the entries are
// collected, their access probed (all cameras together) and sorted; without one each entry goes
// to the callback (access 5).
// Returns the last non-zero status of any adapter, else 0.
GevStatus GEVDiscovery(GevDiscoveryList* list, GevDiscoveryCallback callback, uint32_t timeoutMs,
                       uint8_t allowBroadcastAck, uint16_t localPort);
// FORCEIP takes only the acknowledge of its own request, sent from the new address.
GevStatus GEVForceIp(uint32_t ip, uint32_t mask, uint32_t gateway, const uint8_t mac[6], uint32_t adapterIp);
// The same, also taking the acknowledge from the camera's current address `currentIp` (0: none).
GevStatus GEVForceIpEx(uint32_t ip, uint32_t mask, uint32_t gateway, const uint8_t mac[6], uint32_t adapterIp,
                       uint32_t currentIp);

// The adapters discovery searches (the installed provider's list, else the system's).
GevStatus GetAdapterList(GevAdapterList* list);
// The system's own list, whatever provider is installed.
GevStatus GevGetSystemAdapterList(GevAdapterList* list);
// One adapter's discovery; `list` may be none (callback mode).
GevStatus DiscoverOnAdapter(GevDiscoveryList* list, const GevAdapterEntry* adapter, GevDiscoveryCallback callback,
                            uint32_t timeoutMs, uint8_t allowBroadcastAck, uint16_t localPort);
// Sets *access from the camera's privilege register; always returns 0.
GevStatus ReadAccessStatus(uint32_t cameraIp, uint32_t adapterIp, uint32_t adapterMask, uint16_t localPort,
                           uint32_t firstTimeoutMs, uint8_t* access);
