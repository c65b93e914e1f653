// The packet filter driver, in user space inside the library. Each slot owns an AF_PACKET socket
// with a TPACKET_V3 memory-mapped receive ring and a classic BPF filter that passes only UDP
// datagrams from the camera's IP to the host stream port (and never the outgoing copy a
// loopback device shows a packet socket). A thread per streaming slot walks the ring and hands
// the GVSP packets to the library's GvspReceiver, which reassembles blocks into the slot's image
// ring and asks the camera for lost packets. The adapter named in the enable request
// ("\DEVICE\<name>") is the Linux network interface of that name. Opening a slot needs
// CAP_NET_RAW (root, or `setcap cap_net_raw+ep` on the application).
#pragma once
#include <memory>

#include "gige/GevFilterDriver.h"

namespace qx::gige::filter {

// Opens the driver by its device path (qx::gige::kFilterDriverPath); null with ENOENT for any
// other path.
std::unique_ptr<qx::gige::GevDriverHandle> openDevice(const char* path, int* error);

// Makes this driver the one the GigE Vision library opens (its driver seam,
// gevInstallFilterDriver). Called by the floor above both before the driver is opened.
inline void install() { qx::gige::gevInstallFilterDriver(&openDevice); }

// Slots the driver serves at most.
constexpr int kMaxSlots = 64;

} // namespace qx::gige::filter
