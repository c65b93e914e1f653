// PendingCommand: the mailbox between the port callbacks (any thread, inside a feature access)
// and the GUI thread, which turns each command into a table row in MainWindow::appendRow.
//
// The plain fields describe the last command recorded; a callback compares a new access with
// them to drop a repeat. Recorded commands wait in `queue` until appendRow takes them, so a
// command recorded while an earlier one has not been shown yet does not replace it.
// Everything here is guarded by `mutex`.
#pragma once
#include <QByteArray>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

struct PendingCommand {
    struct Command {
        QByteArray data;       // the written bytes, empty for a read
        int64_t address = 0;   // 0: take the address learned for the key
        bool isRead = false;
        std::string key;
        std::string valueText;
    };

    std::mutex mutex;
    QByteArray data;
    int64_t address = 0;
    bool isRead = false;
    std::string key;
    std::string valueText;
    bool pending = false; // commands are waiting for appendRow
    std::deque<Command> queue;

    // Records a command as the last one and queues it. The caller holds `mutex`. The bytes
    // are copied, not shared: the queued command goes to the GUI thread while a port callback
    // on another thread may replace `data`.
    void record(Command command) {
        data = QByteArray(command.data.constData(), command.data.size());
        address = command.address;
        isRead = command.isRead;
        key = command.key;
        valueText = command.valueText;
        queue.push_back(std::move(command));
        pending = true;
    }
};
