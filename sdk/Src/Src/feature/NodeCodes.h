// The i32 codes the feature access hands out, with node values and node information, for
// GenApi's access modes, interface types, visibilities and representations: GenApi's own
// numbers where the interface defines them, a fixed "other" code for anything else; and which
// entries an enumeration getter reports.
#pragma once
#include "QxCamApi.h"

#include "GenApi/GenApi.h"

#include <cstdint>

namespace qx::feature {

// 0 NI, 1 NA, 2 WO, 3 RO, 4 RW, 6 cycle detect; anything else 5 (undefined).
inline int32_t accessModeCode(QxGenApi::EAccessMode mode) {
    const int32_t m = static_cast<int32_t>(mode);
    return (m >= 0 && m <= 4) || m == 6 ? m : QX_NODE_ACCESS_UNDEFINED;
}

// 0 IValue .. 11 IPort; anything else 12.
inline int32_t interfaceTypeCode(QxGenApi::EInterfaceType type) {
    const int32_t t = static_cast<int32_t>(type);
    return t >= 0 && t <= 11 ? t : QX_NODE_IOTHER;
}

// 0 Beginner .. 3 Invisible; anything else 99.
inline int32_t visibilityCode(QxGenApi::EVisibility visibility) {
    const int32_t v = static_cast<int32_t>(visibility);
    return v >= 0 && v <= 3 ? v : QX_NODE_VISIBILITY_UNDEFINED;
}

// 0 Linear .. 6 MACAddress; anything else 7.
inline int32_t representationCode(QxGenApi::ERepresentation representation) {
    const int32_t r = static_cast<int32_t>(representation);
    return r >= 0 && r <= 6 ? r : QX_REPR_UNDEFINED;
}

// Walks the entries an enumeration getter reports: entries that are readable (RO or RW), at
// most QX_MAX_ENUM_ENTRIES in all, in the node's order; keep(entry, index) takes each and
// *count counts them.
template <typename Keep>
void walkEnumEntries(QxGenApi::IEnumeration* enumeration, int32_t* count, Keep&& keep) {
    QxGenApi::node_vector entries;
    enumeration->GetEntries(entries);
    for (QxGenApi::INode* entryNode : entries) {
        if (*count >= QX_MAX_ENUM_ENTRIES) break;
        if (!entryNode || entryNode->GetPrincipalInterfaceType() != QxGenApi::intfIEnumEntry) continue;
        const QxGenApi::EAccessMode mode = entryNode->GetAccessMode();
        if (mode != QxGenApi::RO && mode != QxGenApi::RW) continue;
        QxGenApi::CEnumEntryPtr entry = entryNode;
        keep(entry, *count);
        ++*count;
    }
}

} // namespace qx::feature
