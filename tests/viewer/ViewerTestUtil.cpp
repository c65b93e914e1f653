#include "ViewerTestUtil.h"

#include "WaitUntil.h"

#include <QThread>

namespace viewertest {

QString dataFile(const char* name) { return QStringLiteral(QX_VIEWER_TEST_DATA "/") + QString::fromUtf8(name); }

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    return qxtest::waitUntil(done, std::chrono::milliseconds(timeoutMs), [] {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    });
}

BoxCloser::BoxCloser() {
    m_timer.setInterval(5);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        m_title = box->windowTitle();
        m_text = box->text();
        ++m_count;
        box->done(QMessageBox::Ok);
    });
    m_timer.start();
}

BoxCloser::~BoxCloser() { m_timer.stop(); }

} // namespace viewertest
