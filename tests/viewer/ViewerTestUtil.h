// Helpers of the viewer tests: bounded waits that keep the event loop running, closing the
// message boxes the viewer opens, and the path of the test description file.
#pragma once
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace viewertest {

QString dataFile(const char* name);

// Runs the event loop until `done` holds or `timeoutMs` passes; answers `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Closes every message box that opens while it lives and keeps their title and text.
class BoxCloser {
public:
    BoxCloser();
    ~BoxCloser();
    int count() const { return m_count; }
    QString lastTitle() const { return m_title; }
    QString lastText() const { return m_text; }

private:
    QTimer m_timer;
    int m_count = 0;
    QString m_title;
    QString m_text;
};

} // namespace viewertest
