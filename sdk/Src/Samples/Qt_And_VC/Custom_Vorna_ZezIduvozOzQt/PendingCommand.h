// PendingCommand: the mailbox between the port callbacks (any thread, inside a feature access)
// and the GUI thread, which turns each command into a table row in MainWindow::appendRow.
//
// The plain fields describe the last command recorded; a callback compares a new access with
// them to drop a repeat. Recorded commands wait in `queue` until appendRow takes them:
//  - a read is one slot: any newer access replaces a read not shown yet, so a burst of reads
//    (the refresh worker's first fill) lists only the latest one instead of every one late;
//  - a write is never replaced: the writes the user made are each shown once, in order.
// So the queue holds writes, and at most one read, always at its back.
// Everything here is guarded by `mutex`.
#pragma once
#include "Sys/Mutex.h"

#include <QByteArray>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace viewer {

struct PendingCommand {
    struct Command {
        QByteArray data;     // the written bytes, empty for a read
        int64_t address = 0; // 0: take the address learned for the key
        bool isRead = false;
        std::string key;
        std::string valueText;
        // A frame that cannot be built is reported with a warning box only for an access the
        // user made on the GUI thread; the refresh worker's reads only mark their rows.
        bool mayWarn = true;
    };

    qx::sys::Mutex mutex;
    QByteArray data QX_GUARDED_BY(mutex);
    int64_t address QX_GUARDED_BY(mutex) = 0;
    bool isRead QX_GUARDED_BY(mutex) = false;
    std::string key QX_GUARDED_BY(mutex);
    std::string valueText QX_GUARDED_BY(mutex);
    bool pending QX_GUARDED_BY(mutex) = false; // commands are waiting for appendRow
    std::deque<Command> queue QX_GUARDED_BY(mutex);

    // Records a command as the last one and queues it. The bytes are copied, not shared: the
    // queued command goes to the GUI thread while a port callback on another thread may
    // replace `data`.
    void record(Command command) QX_REQUIRES(mutex) {
        if (!queue.empty() && queue.back().isRead) queue.pop_back();
        data = QByteArray(command.data.constData(), command.data.size());
        address = command.address;
        isRead = command.isRead;
        key = command.key;
        valueText = command.valueText;
        queue.push_back(std::move(command));
        pending = true;
    }

    // A load starts afresh: no access after it repeats one made before it (the node map is
    // new, and the user's first write to it must be listed even when it writes what the last
    // write before the load wrote). Commands still queued are shown as usual.
    // (A read with an empty key is never recorded, so an empty read matches nothing.)
    void forgetLast() QX_REQUIRES(mutex) {
        data.clear();
        address = 0;
        isRead = true;
        key.clear();
        valueText.clear();
    }
};

} // namespace viewer
