// The GigE Vision library: status codes, camera records and control channel, discovery and
// FORCEIP, XML retrieval, the stream channel with its image ring (GevStream.h), plus the
// library-wide options (camera GVCP port, adapter source, report sink and the FORCEIP and
// access-probe waits).
#pragma once
#include "gige/GevCamera.h"
#include "gige/GevChannels.h"
#include "gige/GevDiscovery.h"
#include "gige/GevStatus.h"
#include "gige/GevStream.h"
#include "gige/GevXml.h"

typedef GevStatus (*GevAdapterProvider)(GevAdapterList* list, void* user);
typedef void (*GevReportCallback)(const char* text, void* user);

struct GevLibraryOptions {
    uint16_t DeviceGvcpPort = 3956;           // cameras' GVCP port for discovery, FORCEIP and GEVInit
    uint32_t ForceIpWaitMs = 1000;            // wait for each FORCEIP acknowledge
    uint32_t AccessProbeFirstTimeoutMs = 200; // first wait of the discovery privilege probe
    // What PENDING_ACK may add to the waits of a camera's requests: at most this much in all,
    // given again once the camera has completed a request it delayed.
    uint32_t PendingAckLimitMs = 20000;
    GevAdapterProvider AdapterProvider = nullptr; // none: the system's adapters
    void* AdapterProviderUser = nullptr;
    GevReportCallback ReportCallback = nullptr; // none: reports are dropped
    void* ReportUser = nullptr;
};

void GEVGetLibraryOptions(GevLibraryOptions* options);
void GEVSetLibraryOptions(const GevLibraryOptions* options);
