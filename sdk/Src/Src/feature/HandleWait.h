// The one point where the SDK core tells the feature layer that a thread is about to wait
// for a busy HandleLock (and when it got it). A node-event dispatch thread that waits there
// inside the application's node callback must not be waited for by the call holding that
// lock: QX_XML_SetNodeMapPoll(false) and QX_DisconnectDevice stop waiting for such a thread
// and leave it to finish on its own (NodeEvents.h). On any other thread this does nothing.
#pragma once

namespace qx::feature {

void noteHandleWait(bool waiting);

} // namespace qx::feature
